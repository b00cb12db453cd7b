// Conversions through the ANSI code page, and UTF-8 / UTF-16 text.
#include "platform/sim/sim_code_page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

const detail::CodePageTable* FindTable(unsigned codePage) {
    for (size_t i = 0; i < detail::kCodePageTableCount; ++i)
        if (detail::kCodePageTables[i].codePage == codePage) return &detail::kCodePageTables[i];
    return nullptr;
}

// A machine's code page is checked where it is set (machine.ini); one that
// slips past is a mistake in the caller, never a silent 1252.
const detail::CodePageTable& Table(unsigned codePage) {
    const detail::CodePageTable* table = FindTable(codePage);
    if (table == nullptr) {
        std::fprintf(stderr, "sim: code page %u is not simulated\n", codePage);
        std::abort();
    }
    return *table;
}

}  // namespace

bool IsKnownCodePage(unsigned codePage) { return FindTable(codePage) != nullptr; }

char16_t AnsiToUnicode(unsigned codePage, uint8_t byte) {
    if (byte < 0x80) return byte;
    return Table(codePage).high[byte - 0x80];
}

uint8_t UnicodeToAnsi(unsigned codePage, char32_t character, bool* exact) {
    if (exact != nullptr) *exact = character < 0x80;
    if (character < 0x80) return static_cast<uint8_t>(character);
    const detail::CodePageTable& table = Table(codePage);
    if (character > 0xFFFF) return '?';
    const detail::ToAnsi* end = table.toAnsi + table.toAnsiCount;
    const detail::ToAnsi* at = std::lower_bound(
        table.toAnsi, end, character,
        [](const detail::ToAnsi& entry, char32_t c) { return entry.unicode < c; });
    if (at == end || at->unicode != character) return '?';
    if (exact != nullptr) *exact = at->byte >= 0x80 && table.high[at->byte - 0x80] == character;
    return at->byte;
}

std::string AnsiToUtf8(unsigned codePage, std::string_view ansi) {
    if (IsAscii(ansi)) return std::string(ansi);
    std::string out;
    out.reserve(ansi.size() * 2);
    for (unsigned char c : ansi) AppendUtf8(out, AnsiToUnicode(codePage, c));
    return out;
}

std::string Utf8ToAnsi(unsigned codePage, std::string_view utf8, bool* exact) {
    if (exact != nullptr) *exact = true;
    if (IsAscii(utf8)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c = 0;
        bool same = false;
        if (!DecodeUtf8(utf8, pos, &c)) {
            out += '?';
            ++pos;
        } else if (c > 0xFFFF) {
            out += "??";
        } else {
            out += static_cast<char>(UnicodeToAnsi(codePage, c, &same));
        }
        if (!same && exact != nullptr) *exact = false;
    }
    return out;
}

size_t Utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;  // a lead byte or an ASCII byte starts a character
        if (c >= 0xF0) ++units;           // four bytes: a surrogate pair
    }
    return units;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16le(std::string& out, char32_t cp) {
    auto unit = [&out](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    };
    if (cp >= 0x10000) {
        const uint32_t v = cp - 0x10000;
        unit(0xD800 + (v >> 10));
        unit(0xDC00 + (v & 0x3FF));
    } else {
        unit(cp);
    }
}

bool DecodeUtf8(std::string_view bytes, size_t& pos, char32_t* cp) {
    const auto b0 = static_cast<unsigned char>(bytes[pos]);
    if (b0 < 0x80) {
        *cp = b0;
        ++pos;
        return true;
    }
    int extra;
    char32_t value;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        value = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        value = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        value = b0 & 0x07;
    } else {
        return false;
    }
    if (pos + static_cast<size_t>(extra) >= bytes.size()) return false;
    for (int i = 1; i <= extra; ++i) {
        const auto b = static_cast<unsigned char>(bytes[pos + static_cast<size_t>(i)]);
        if ((b & 0xC0) != 0x80) return false;
        value = (value << 6) | (b & 0x3F);
    }
    static const char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (value < kMin[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    *cp = value;
    pos += static_cast<size_t>(extra) + 1;
    return true;
}

char32_t DecodeUtf16(std::string_view bytes, size_t& pos, size_t end, bool bigEndian) {
    const char32_t unit = Utf16Unit(bytes, pos, bigEndian);
    pos += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF && pos + 1 < end) {
        const char32_t low = Utf16Unit(bytes, pos, bigEndian);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            pos += 2;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return unit;
}

bool DecodeName(std::string_view text, size_t& pos, char32_t* unit) {
    if (DecodeUtf8(text, pos, unit)) return true;
    // Three bytes that spell a UTF-16 surrogate (U+D800 to U+DFFF).
    if (pos + 2 < text.size() && static_cast<unsigned char>(text[pos]) == 0xED &&
        (static_cast<unsigned char>(text[pos + 1]) & 0xE0) == 0xA0 &&
        (static_cast<unsigned char>(text[pos + 2]) & 0xC0) == 0x80) {
        *unit = 0xD000 | ((static_cast<unsigned char>(text[pos + 1]) & 0x3F) << 6) |
                (static_cast<unsigned char>(text[pos + 2]) & 0x3F);
        pos += 3;
        return true;
    }
    return false;
}

std::string AnsiToUtf16le(unsigned codePage, std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() * 2);
    for (const unsigned char b : ansi) AppendUtf16le(out, AnsiToUnicode(codePage, b));
    return out;
}

std::string Utf8ToUtf16le(std::string_view utf8, bool* wellFormed) {
    if (wellFormed != nullptr) *wellFormed = true;
    std::string out;
    out.reserve(2 * utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        if (!DecodeUtf8(utf8, i, &c)) {
            if (wellFormed != nullptr) *wellFormed = false;
            if (!DecodeName(utf8, i, &c)) {
                c = 0xFFFD;
                ++i;
            }
        }
        AppendUtf16le(out, c);
    }
    return out;
}

std::string Utf16leToUtf8(std::string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    const size_t end = utf16.size() - utf16.size() % 2;
    for (size_t pos = 0; pos < end;) AppendUtf8(out, DecodeUtf16(utf16, pos, end));
    return out;
}

}  // namespace sim
