// The lines of a registry export, in the units of the text they go into.
#include "imageformat/reg_export.h"

#include <algorithm>
#include <cstring>

namespace imageformat {

const char kLineEnd[] = "\r\n";
const char kUtf16leByteOrderMark[] = "\xFF\xFE";
const char kRegedit4[] = "REGEDIT4";
const char kVersion5[] = "Windows Registry Editor Version 5.00";

namespace {

const char kDigits[] = "0123456789abcdef";

size_t UnitSize(TextUnits units) { return units == TextUnits::Utf16le ? 2 : 1; }

unsigned UnitAt(std::string_view text, size_t at, TextUnits units) {
    const unsigned low = static_cast<unsigned char>(text[at]);
    return units == TextUnits::Utf16le ? low | static_cast<unsigned char>(text[at + 1]) << 8 : low;
}

void AppendAscii(std::string& out, char c, TextUnits units) {
    out += c;
    if (units == TextUnits::Utf16le) out += '\0';
}

// `value` in lower-case hex digits, at least `width` of them, appended.
void AppendHexNumber(std::string& out, uint32_t value, int width) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kDigits[value & 15];
        value >>= 4;
    } while (value != 0);
    for (int i = count; i < width; ++i) out += '0';
    while (count > 0) out += digits[--count];
}

// The ASCII text from byte `from` of `out` on widened in place to UTF-16LE.
void WidenFrom(std::string& out, size_t from) {
    const size_t count = out.size() - from;
    out.resize(from + 2 * count);
    for (size_t i = count; i-- > 0;) {
        out[from + 2 * i] = out[from + i];
        out[from + 2 * i + 1] = '\0';
    }
}

// "dword:" and eight hex digits.
void AppendDwordData(std::string& out, uint32_t value, TextUnits units) {
    const size_t start = out.size();
    out += "dword:";
    AppendHexNumber(out, value, 8);
    if (units == TextUnits::Utf16le) WidenFrom(out, start);
}

}  // namespace

std::string Ascii(const char* text, TextUnits units) {
    if (units != TextUnits::Utf16le) return text;
    std::string out(2 * std::strlen(text), '\0');
    for (size_t i = 0; text[i] != '\0'; ++i) out[2 * i] = text[i];
    return out;
}

size_t CharacterCount(std::string_view text, TextUnits units) {
    if (units == TextUnits::Ansi) return text.size();
    if (units == TextUnits::Utf16le) return text.size() / 2;
    size_t count = 0;
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) ++count;  // a sequence's first byte
        if (b >= 0xF0) ++count;           // beyond the BMP: two UTF-16 units
    }
    return count;
}

bool HasLineBreak(std::string_view text, TextUnits units) {
    if (UnitSize(units) == 1) return text.find('\r') != std::string_view::npos || text.find('\n') != std::string_view::npos;
    for (size_t i = 0; i + UnitSize(units) <= text.size(); i += UnitSize(units)) {
        const unsigned u = UnitAt(text, i, units);
        if (u == '\r' || u == '\n') return true;
    }
    return false;
}

const char* UnexportableKeyName(const std::string& name, TextUnits units) {
    if (HasLineBreak(name, units)) return "a line break in its name, which an export cannot hold";
    if (CharacterCount(name, units) > kMaxKeyName)
        return "a name longer than the 255 characters Windows allows";
    return nullptr;
}

void AppendKeyLine(std::string& out, std::string_view path, TextUnits units) {
    AppendAscii(out, '[', units);
    out += path;
    AppendAscii(out, ']', units);
}

std::string KeyLine(const std::string& path, TextUnits units) {
    std::string out;
    out.reserve(path.size() + 2 * UnitSize(units));
    AppendKeyLine(out, path, units);
    return out;
}

ValueForm FormOf(uint32_t type, std::string_view data, TextUnits units) {
    const size_t unit = UnitSize(units);
    if (type == 1 /* REG_SZ */ && data.size() >= unit && data.size() % unit == 0 &&
        UnitAt(data, data.size() - unit, units) == 0 && !HasLineBreak(data, units)) {
        bool inner = unit == 1 && std::memchr(data.data(), 0, data.size() - 1) != nullptr;
        for (size_t i = 0; unit != 1 && i + unit < data.size() && !inner; i += unit) inner = UnitAt(data, i, units) == 0;
        if (!inner) return ValueForm::Text;
    }
    if (type == 4 /* REG_DWORD */ && data.size() == 4) return ValueForm::Dword;
    return ValueForm::Hex;
}

void AppendQuoted(std::string& out, std::string_view text, TextUnits units) {
    const size_t unit = UnitSize(units);
    AppendAscii(out, '"', units);
    // The text between two characters that take a backslash goes in whole
    // (an odd byte after the last unit is no character and is left out).
    const size_t end = text.size() - text.size() % unit;
    // 8-bit text: the next quote and the next backslash, each found with
    // memchr and searched for again only once passed.
    const auto next = [&](char c, size_t from) {
        const void* found = std::memchr(text.data() + from, c, end - from);
        return found == nullptr ? end : static_cast<size_t>(static_cast<const char*>(found) - text.data());
    };
    size_t quote = unit == 1 ? next('"', 0) : 0, backslash = unit == 1 ? next('\\', 0) : 0;
    size_t from = 0;
    for (size_t i = 0; i < end; i += unit) {
        if (unit == 1) {
            if (quote < i) quote = next('"', i);
            if (backslash < i) backslash = next('\\', i);
            i = std::min(quote, backslash);
        }
        if (i == end) break;
        const unsigned u = UnitAt(text, i, units);
        if (u != '\\' && u != '"') continue;
        out.append(text, from, i - from);
        AppendAscii(out, '\\', units);
        from = i;
    }
    out.append(text, from, end - from);
    AppendAscii(out, '"', units);
}

void AppendValueStart(std::string& out, std::string_view name, TextUnits units) {
    if (name.empty()) AppendAscii(out, '@', units);
    else AppendQuoted(out, name, units);
    AppendAscii(out, '=', units);
}

void AppendHexData(std::string& out, uint32_t type, std::string_view bytes, size_t column, TextUnits units,
                   const char* lineEnd) {
    // Built in ASCII, written in place (at most three characters a byte and
    // a wrap every 24 bytes or more), and widened once for UTF-16.
    const size_t first = out.size();
    if (type == 3 /* REG_BINARY */) {
        out += "hex:";
    } else {
        out += "hex(";
        AppendHexNumber(out, type, 1);
        out += "):";
    }
    column += out.size() - first;
    const size_t lineEndSize = std::strlen(lineEnd);
    const size_t wrapSize = 1 + lineEndSize + 2;  // "\", the line end, two blanks
    const size_t start = out.size();
    out.resize(start + bytes.size() * 3 + (bytes.size() / 24 + 1) * wrapSize);
    char* write = &out[start];
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        *write++ = kDigits[b >> 4];
        *write++ = kDigits[b & 15];
        if (i + 1 == bytes.size()) break;
        *write++ = ',';
        column += 3;
        if (column >= kHexLineWidth) {
            *write++ = '\\';
            write = std::copy(lineEnd, lineEnd + lineEndSize, write);
            *write++ = ' ';
            *write++ = ' ';
            column = 2;
        }
    }
    out.resize(static_cast<size_t>(write - out.data()));
    if (units == TextUnits::Utf16le) WidenFrom(out, first);
}

void AppendValueData(std::string& out, size_t lineStart, uint32_t type, std::string_view data, TextUnits units,
                     const char* lineEnd) {
    switch (FormOf(type, data, units)) {
    case ValueForm::Text:
        AppendQuoted(out, data.substr(0, data.size() - UnitSize(units)), units);
        break;
    case ValueForm::Dword: {
        const uint32_t v = static_cast<unsigned char>(data[0]) |
                           static_cast<uint32_t>(static_cast<unsigned char>(data[1])) << 8 |
                           static_cast<uint32_t>(static_cast<unsigned char>(data[2])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(data[3])) << 24;
        AppendDwordData(out, v, units);
        break;
    }
    case ValueForm::Hex:
        AppendHexData(out, type, data, CharacterCount(std::string_view(out).substr(lineStart), units), units,
                      lineEnd);
        break;
    }
}

void AppendValueLine(std::string& out, std::string_view name, uint32_t type, std::string_view data,
                     TextUnits units, const char* lineEnd) {
    const size_t start = out.size();
    AppendValueStart(out, name, units);
    AppendValueData(out, start, type, data, units, lineEnd);
}

std::string ValueLine(const std::string& name, uint32_t type, const std::string& data,
                      TextUnits units, const char* lineEnd) {
    std::string line;
    AppendValueLine(line, name, type, data, units, lineEnd);
    return line;
}

}  // namespace imageformat
