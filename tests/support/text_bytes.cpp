#include "support/text_bytes.h"

#include "image/text_codec.h"

#include <stdexcept>

namespace support {

std::string Utf16le(const std::string& utf8, bool bom) {
    bool wellFormed = true;
    const std::string text = image::Utf8ToUtf16le(utf8, &wellFormed);
    if (!wellFormed) throw std::invalid_argument("test text is not UTF-8");
    return (bom ? "\xFF\xFE" : "") + text;
}

std::string Utf16leUnits(const std::u16string& units) {
    std::string bytes;
    for (const char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

namespace {

// The unit of a "\uXXXX" escape at `at` (the backslash), or -1.
long EscapedUnit(const std::string& json, size_t at) {
    if (at + 6 > json.size() || json[at] != '\\' || json[at + 1] != 'u') return -1;
    const std::string digits = json.substr(at + 2, 4);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return -1;
    return std::stol(digits, nullptr, 16);
}

bool High(long unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool Low(long unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string LoneUnitEscapesReplaced(const std::string& json) {
    std::string out;
    for (size_t i = 0; i < json.size();) {
        if (json[i] != '\\') {
            out += json[i++];
            continue;
        }
        const long unit = EscapedUnit(json, i);
        if (High(unit) && Low(EscapedUnit(json, i + 6))) {
            out.append(json, i, 12);
            i += 12;
        } else if (High(unit) || Low(unit)) {
            out += "\\ufffd";
            i += 6;
        } else {
            out.append(json, i, 2);  // any other escape, "\\" included
            i += 2;
        }
    }
    return out;
}

std::vector<uint8_t> Utf16Bytes(const std::string& text, uint8_t high) {
    std::string wide;
    for (char c : text) image::AppendUtf16le(wide, static_cast<char32_t>(static_cast<uint8_t>(c) | high << 8));
    return TextBytes(wide);
}

std::vector<uint8_t> TextBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace support
