// The rules of a registry export as regedit writes it, shared by the two
// writers of one: the collector (zavcollect.exe), which writes the machine's
// registry as it reads it, and the image library (image/reg_write.cpp),
// which writes a simulated one; the image library's reader takes its header
// lines and limits from here too.
//
// Platform-free: plain functions over std::string, no Windows header and no
// simulator; it is built into the shipped collector (no exceptions, no
// iostreams, no floating point) as well as into the host libraries.
//
// Lines and their pieces are appended to a string (a writer builds each
// line in one buffer); a whole header or value line also comes as one.
//
// A line is built in the units of the text it is written in: bytes of the
// ANSI code page (REGEDIT4 as Windows 98 writes it), UTF-8 (the image
// library's lines, which it converts to the file's encoding afterwards) or
// UTF-16LE units of two bytes each (version 5 as Windows 2000 writes it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace imageformat {

enum class TextUnits { Ansi, Utf8, Utf16le };

// The lines of an image's files end in CR LF, as Windows writes text, and a
// version 5 export starts with the UTF-16LE byte order mark, as regedit
// writes one.
extern const char kLineEnd[];              // "\r\n"
extern const char kUtf16leByteOrderMark[];  // FF FE

// The first line of the two formats.
extern const char kRegedit4[];  // Windows 95/98/ME and NT 4
extern const char kVersion5[];  // "Windows Registry Editor Version 5.00", Windows 2000 and later

// Windows keeps key names to 255 characters and keys to 512 levels.
const size_t kMaxKeyName = 255;
const size_t kMaxKeyDepth = 512;

// regedit breaks a hex line after the comma that brings it to this many
// characters or more, and goes on indented by two blanks.
const size_t kHexLineWidth = 77;

// ASCII text in `units` (each character widened to a unit of UTF-16LE).
std::string Ascii(const char* text, TextUnits units);

// How many characters regedit counts in `text` (UTF-16 units of UTF-8 text).
size_t CharacterCount(std::string_view text, TextUnits units);

// Whether `text` holds a carriage return or a line feed, which would end
// the line of an export early.
bool HasLineBreak(std::string_view text, TextUnits units);

// Why a key name cannot stand in an export's header (a line break, more
// than kMaxKeyName characters); nullptr when it can.
const char* UnexportableKeyName(const std::string& name, TextUnits units);

// "[path]", the header line of a key.
std::string KeyLine(const std::string& path, TextUnits units);
void AppendKeyLine(std::string& out, std::string_view path, TextUnits units);

// How regedit writes a value's data.
enum class ValueForm {
    Text,   // REG_SZ data that is one string with its terminator: no other NUL, no line break
    Dword,  // REG_DWORD data of four bytes: dword:0000002a
    Hex,    // anything else: hex:01,02 (REG_BINARY) or hex(N):01,02, the bytes as they are
};
// `data` in the file's units (a REG_SZ's string in UTF-16LE in version 5).
ValueForm FormOf(uint32_t type, std::string_view data, TextUnits units);

// "text" with the backslash and the quote escaped, as regedit writes a name
// or a string, appended to `out`.
void AppendQuoted(std::string& out, std::string_view text, TextUnits units);

// The start of a value's line: "name"= or @= for the unnamed value.
void AppendValueStart(std::string& out, std::string_view name, TextUnits units);

// Hex data after the value's start, `column` being the characters the line
// holds before it; each wrapped line ends with `lineEnd` (in `units`).
void AppendHexData(std::string& out, uint32_t type, std::string_view bytes, size_t column,
                   TextUnits units, const char* lineEnd);

// The data after the value's start, in the form FormOf chooses; the line
// began at byte `lineStart` of `out` (the column hex data wraps by).
void AppendValueData(std::string& out, size_t lineStart, uint32_t type, std::string_view data, TextUnits units,
                     const char* lineEnd);

// The whole line of a value whose data is in the file's form (no line end
// at its end).
std::string ValueLine(const std::string& name, uint32_t type, const std::string& data,
                      TextUnits units, const char* lineEnd);
void AppendValueLine(std::string& out, std::string_view name, uint32_t type, std::string_view data,
                     TextUnits units, const char* lineEnd);

}  // namespace imageformat
