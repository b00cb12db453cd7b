// The ANSI code page of a simulated machine, and the UTF-8 and UTF-16 text
// the simulator and the machine images keep names in.
//
// The simulated registry holds key and value names in Unicode (UTF-8 here),
// as the NT family does; what a program sees of them through the ANSI ("A")
// functions is converted through the machine's ANSI code page, as Windows
// converts it. The 9x family holds names as code-page bytes, which convert
// to Unicode and back without loss, so one model serves both families.
//
// Known code pages: the single-byte ones of Windows, 874 (Thai) and 1250 to
// 1258. The double-byte ones (932, 936, 949, 950) are not simulated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sim {

inline constexpr unsigned kDefaultCodePage = 1252;

bool IsKnownCodePage(unsigned codePage);

// The UTF-16 unit MultiByteToWideChar gives for one byte. Every byte has
// one: the bytes a code page leaves undefined map to control or private-use
// characters of their own, as Windows maps them.
char16_t AnsiToUnicode(unsigned codePage, uint8_t byte);

// The byte WideCharToMultiByte gives for a character: its own byte, else a
// "best fit" look-alike (U+0101 gives 'a' in 1252), else '?'. `exact`, when
// given, tells whether it was the character's own byte.
uint8_t UnicodeToAnsi(unsigned codePage, char32_t character, bool* exact = nullptr);

// ANSI bytes as UTF-8 (exact: every byte has its character).
std::string AnsiToUtf8(unsigned codePage, std::string_view ansi);

// UTF-8 text as an ANSI function gives it: each character through
// UnicodeToAnsi; a character beyond the BMP, two UTF-16 units, gives "??"
// as Windows 2000 converts each unit; a malformed byte gives '?'. `exact`,
// when given, tells whether every character had its own byte.
std::string Utf8ToAnsi(unsigned codePage, std::string_view utf8, bool* exact = nullptr);

// The length in UTF-16 units (the unit Windows counts name lengths in).
size_t Utf16Length(std::string_view utf8);

// Appends the UTF-8 / UTF-16LE form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);
void AppendUtf16le(std::string& out, char32_t codePoint);

// Decodes one code point from UTF-8 at `pos` (advanced past it); false on a
// malformed sequence (pos is left on the bad byte).
bool DecodeUtf8(std::string_view bytes, size_t& pos, char32_t* codePoint);

// The UTF-16 unit at byte `at` (`at + 1` lies within `bytes`): little-endian,
// or big-endian with `bigEndian`.
inline char16_t Utf16Unit(std::string_view bytes, size_t at, bool bigEndian = false) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    return static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first);
}

// Decodes one code point from UTF-16 at byte `pos` (advanced past it; `pos
// + 1` lies before `end`): a high surrogate followed, before `end`, by a low
// one is their pair's code point; any other unit stands for itself, a
// surrogate that pairs with none included (the registry keeps such units).
char32_t DecodeUtf16(std::string_view bytes, size_t& pos, size_t end, bool bigEndian = false);

// Decodes one character of a name as the simulator holds it, at `pos`
// (advanced past it): a code point of UTF-8, or a UTF-16 unit that pairs with
// none (the registry keeps any units) as the three bytes UTF-8 would spell
// its number with; false on any other byte, `pos` unmoved.
bool DecodeName(std::string_view text, size_t& pos, char32_t* unit);

// ANSI bytes as UTF-16LE units, each byte its character (what the W
// functions give of string data).
std::string AnsiToUtf16le(unsigned codePage, std::string_view ansi);

// UTF-8 text as UTF-16LE bytes, without a byte order mark. Three bytes that
// spell a UTF-16 surrogate as UTF-8 would spell its number (how a name holds
// a unit that pairs with none: the registry keeps any units) are that unit;
// any other byte that is not UTF-8 is U+FFFD. `wellFormed`, when given,
// tells whether the text was UTF-8 throughout.
std::string Utf8ToUtf16le(std::string_view utf8, bool* wellFormed = nullptr);

// UTF-16LE units (an even number of bytes) as UTF-8: pairs of surrogates as
// their character, a surrogate that pairs with none as the three bytes
// Utf8ToUtf16le takes back.
std::string Utf16leToUtf8(std::string_view utf16);

// Whether `text` is ASCII, eight bytes at a time (the export reader and
// writer ask it of every line).
inline bool IsAscii(std::string_view text) {
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0) return false;
    }
    for (; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    return true;
}

namespace detail {
// The generated tables (sim_code_page_tables.cpp).
struct ToAnsi {
    char16_t unicode;
    uint8_t byte;
};
struct CodePageTable {
    unsigned codePage;
    char16_t high[128];   // bytes 0x80-0xFF; bytes below are ASCII
    const ToAnsi* toAnsi;  // every character from U+0080 that gives one byte, by character
    size_t toAnsiCount;
};
extern const CodePageTable kCodePageTables[];
extern const size_t kCodePageTableCount;
}  // namespace detail

}  // namespace sim
