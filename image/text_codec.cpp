// Texts of the machine image: lower case, blanks trimmed, UTF-8 written as
// UTF-16LE, and text files of any of the image's encodings read line by line.
#include "image/text_codec.h"

#include "imageformat/machine_ini.h"

#include <cstdint>
#include <cstring>

namespace image {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(std::string_view text) { return imageformat::TrimBlanks(text.data(), text.size()); }

bool LineSource::Next(TextLine& line, std::string* error) {
    if (pos_ >= bytes_.size()) return false;
    line.number = ++number_;
    line.begin = pos_;
    switch (encoding_) {
    case TextEncoding::Ansi: {
        const size_t stop = FindEnd(pos_, 1);
        const std::string_view bytes = bytes_.substr(pos_, stop - pos_);
        if (sim::IsAscii(bytes)) {
            line.text = bytes;
        } else {
            line.converted = AnsiToUtf8(codePage_, bytes);
            line.text = line.converted;
        }
        pos_ = stop;
        break;
    }
    case TextEncoding::Utf16le: {
        line.converted.clear();
        if (!NextAsciiWideLine(line)) {
            while (pos_ < bytes_.size()) {
                if (pos_ + 1 >= bytes_.size()) {
                    *error = "UTF-16 text with an odd number of bytes";
                    return false;
                }
                const char16_t unit = Utf16Unit(bytes_, pos_);
                if (unit == '\n' || unit == '\r') break;
                AppendUtf8(line.converted, DecodeUtf16(bytes_, pos_, bytes_.size()));
            }
        }
        line.text = line.converted;
        break;
    }
    case TextEncoding::Utf8: {
        // UTF-8 is the text as it stands, once checked.
        const size_t stop = FindEnd(pos_, 1);
        const std::string_view bytes = bytes_.substr(pos_, stop - pos_);
        for (size_t i = 0; i < bytes.size();) {
            char32_t cp = 0;
            if (static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
            else if (!DecodeUtf8(bytes, i, &cp)) {
                *error = "not valid UTF-8";
                return false;
            }
        }
        line.text = bytes;
        pos_ = stop;
        break;
    }
    }
    // pos_ is at the line ending or the end of the file.
    line.end = pos_;
    const size_t unit = encoding_ == TextEncoding::Utf16le ? 2 : 1;
    line.newline = pos_ < bytes_.size();
    const bool cr = line.newline && CharAt(pos_) == '\r';
    line.crlf = cr && pos_ + unit < bytes_.size() && CharAt(pos_ + unit) == '\n';
    line.loneCr = cr && !line.crlf;
    if (line.newline) pos_ += line.crlf ? 2 * unit : unit;
    return true;
}

std::u32string LineSource::Wide(size_t begin, size_t end) const {
    std::u32string out;
    size_t p = begin;
    while (p < end) {
        if (encoding_ == TextEncoding::Ansi) {
            out += AnsiToUnicode(codePage_, static_cast<unsigned char>(bytes_[p++]));
        } else if (encoding_ == TextEncoding::Utf16le) {
            out += DecodeUtf16(bytes_, p, end);
        } else {
            char32_t cp = 0;
            if (!DecodeUtf8(bytes_, p, &cp)) break;
            out += cp;
        }
    }
    return out;
}

// The character at byte `at` of a line ending's place: a byte, or a
// UTF-16LE unit (0 when the file ends in the middle of one).
char32_t LineSource::CharAt(size_t at) const {
    if (encoding_ != TextEncoding::Utf16le) return static_cast<unsigned char>(bytes_[at]);
    return at + 1 < bytes_.size() ? Utf16Unit(bytes_, at) : 0;
}

// The first line ending ('\n' or '\r', as a byte or as a UTF-16LE unit at
// an even distance from `from`) at or after `from`; the end of the file when
// there is none. memchr finds the candidates: the line feeds first, then a
// carriage return before the line feed found.
size_t LineSource::FindEnd(size_t from, size_t unit) const {
    const char* b = bytes_.data();
    const size_t size = bytes_.size();
    size_t stop = size;
    for (const char c : {'\n', '\r'}) {
        size_t at = from;
        while (at < stop) {
            const void* found = std::memchr(b + at, c, stop - at);
            if (found == nullptr) break;
            at = static_cast<size_t>(static_cast<const char*>(found) - b);
            if (unit == 1 || ((at - from) % 2 == 0 && at + 1 < size && b[at + 1] == 0)) {
                stop = at;
                break;
            }
            ++at;
        }
    }
    return stop;
}

// A UTF-16LE line of ASCII characters only, taken in one pass; false, with
// nothing consumed, for any other line, which the character by character
// path then reads.
bool LineSource::NextAsciiWideLine(TextLine& line) {
    const size_t stop = FindEnd(pos_, 2);
    if ((stop - pos_) % 2 != 0) return false;
    const size_t units = (stop - pos_) / 2;
    line.converted.resize(units);
    char* __restrict out = &line.converted[0];
    const unsigned char* __restrict in = reinterpret_cast<const unsigned char*>(bytes_.data() + pos_);
    // Four units at a time: their high bytes and bit 7 of their low bytes
    // gathered for the test, and their low bytes packed together.
    uint64_t ascii = 0;
    size_t k = 0;
    for (; k + 4 <= units; k += 4) {
        uint64_t w;
        std::memcpy(&w, in + 2 * k, 8);
        ascii |= w & 0xFF80FF80FF80FF80ull;
        w = (w | w >> 8) & 0x0000FFFF0000FFFFull;
        const uint32_t four = static_cast<uint32_t>(w | w >> 16);
        std::memcpy(out + k, &four, 4);
    }
    for (; k < units; ++k) {
        ascii |= (in[2 * k] & 0x80u) | in[2 * k + 1];
        out[k] = static_cast<char>(in[2 * k]);
    }
    if (ascii != 0) {
        line.converted.clear();
        return false;
    }
    pos_ = stop;
    return true;
}

}  // namespace image
