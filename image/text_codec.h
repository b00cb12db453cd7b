// Text encodings the machine image uses.
//
// The simulated machine holds every name and string value as the ANSI API
// sees it: bytes in the Western ANSI code page (Windows-1252). Registry
// exports of the NT family are UTF-16LE (or UTF-8), Windows 98 exports are
// ANSI; the report is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace image {

// The code point an ANSI byte stands for. The five bytes that code page 1252
// leaves undefined map to the control code points of the same value, as
// MultiByteToWideChar does, so that every byte has exactly one code point.
char32_t AnsiToCodePoint(uint8_t byte);

// The ANSI byte of a code point; false when the code page has none.
bool CodePointToAnsi(char32_t codePoint, uint8_t* byte);

// ANSI bytes as UTF-8 (for the report, JSON and host file names).
std::string AnsiToUtf8(const std::string& ansi);

// Appends the UTF-8 / UTF-16LE form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);
void AppendUtf16le(std::string& out, char32_t codePoint);

// `text` with the ASCII letters upper-cased, as the registry and the file
// system compare names (bytes above 0x7F are left as they are).
std::string UpperAscii(std::string text);

// Decodes one code point from UTF-8 at `pos` (advanced past it); false on a
// malformed sequence (pos is left on the bad byte).
bool DecodeUtf8(std::string_view bytes, size_t& pos, char32_t* codePoint);

}  // namespace image
