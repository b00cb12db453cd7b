// Bytes of test texts: 8-bit text, 16-bit little-endian text as regedit and
// the setup INFs hold it, and their concatenation. Shared by the tests, the
// random machines and the fuzz targets (no GoogleTest here).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace support {

inline const std::vector<uint8_t> kByteOrderMark = {0xFF, 0xFE};

// UTF-8 text as UTF-16LE bytes (characters beyond U+FFFF as surrogate
// pairs), with the byte order mark regedit writes when `bom`. Text that is
// not UTF-8 is a mistake of the test: std::invalid_argument.
std::string Utf16le(const std::string& utf8, bool bom = true);

// UTF-16 units as UTF-16LE bytes, without a byte order mark: any units, one
// that pairs with none included (the registry holds such names).
std::string Utf16leUnits(const std::u16string& units);

// JSON text with each escape of a UTF-16 unit that pairs with none ("\ud800")
// written as "\ufffd", for a parser that refuses such escapes (the report
// writes them for names the registry holds).
std::string LoneUnitEscapesReplaced(const std::string& json);

// 16-bit little-endian text byte by byte: each byte of `text` followed by
// `high` (0 for plain text; another high byte makes characters that only
// the low bytes tell apart).
std::vector<uint8_t> Utf16Bytes(const std::string& text, uint8_t high = 0);

// 8-bit text: the bytes of `text` as they are.
std::vector<uint8_t> TextBytes(const std::string& text);

// `a` followed by `b`.
std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b);

}  // namespace support
