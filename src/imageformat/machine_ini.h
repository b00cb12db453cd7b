// The rules of machine.ini, an image's description of its system, shared by
// the collector, which writes it on the machine, and the image library,
// which reads it (and writes it for the dry run's --write):
//
//   [image]        written by the collector, first: each file it wrote with
//                  its size in bytes ("registry.reg = 48213", a copied file
//                  by its Windows path); the file then ends with the line
//                  "[end]", written last. A reader refuses such an image
//                  when a file is not there whole or the closing line is
//                  missing: the collector did not finish it.
//   [system]       platform, major, minor, build, service_pack,
//                  windows_directory, codepage
//   [devices]      INSTANCE_ID [= {CLASS GUID}][, description]
//   [windows]      a window title a line
//   [attributes]   PATH = attribute words
//
// ";" starts a comment at the start of a line or after a blank, outside
// quotes; a text with blanks at its ends, a ";" or "=", or a start that
// would read as a section, comment or quote is written in quotes. No text
// holds a quote character, a line break or a NUL: the format has no escape.
//
// Platform-free, like reg_export.h: plain functions over std::string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace imageformat {

// Section names, as the reader compares them (lower case).
extern const char kImageSection[];
extern const char kSystemSection[];
extern const char kDevicesSection[];
extern const char kWindowsSection[];
extern const char kAttributesSection[];
extern const char kEndSection[];
// The last line of a collected machine.ini, "[end]".
extern const char kClosingLine[];

// The settings of [system].
extern const char kPlatformSetting[];
extern const char kMajorSetting[];
extern const char kMinorSetting[];
extern const char kBuildSetting[];
extern const char kServicePackSetting[];
extern const char kWindowsDirectorySetting[];
extern const char kCodePageSetting[];
// "setupapi = missing": the machine has no setupapi.dll, or one without the
// device list (a Windows 98 may lack it): every device setup call fails.
extern const char kSetupApiSetting[];
extern const char kMissingWord[];

// The files at the top of an image folder, as [image] names them, and the
// folder of a drive's files: "drive_c" holds C:\.
extern const char kRegistryFile[];    // "registry.reg"
extern const char kMachineIniFile[];  // "machine.ini"
extern const char kNotesFile[];       // "notes.txt"
extern const char kUnreadableKeysFile[];  // "unreadable-keys.txt": the keys the collector could not open
extern const char kDriveFolderPrefix[];  // "drive_"
std::string DriveFolder(char driveLetter);  // the letter in lower case

// Blanks the reader trims: space, tab, carriage return.
bool IsBlank(char c);
std::string TrimBlanks(const char* text, size_t size);
inline std::string TrimBlanks(const std::string& text) { return TrimBlanks(text.data(), text.size()); }

// Why machine.ini cannot hold `text` (a quote, a line break, a NUL);
// nullptr when it can.
const char* Unwritable(const std::string& text);

// `text` as machine.ini holds it, quoted when it has to be.
bool NeedsQuotes(const std::string& text);
std::string IniText(const std::string& text);

// The line without its comment; a text with its quotes taken off (false
// when the closing quote is missing).
std::string StripComment(const std::string& line);
bool Unquote(const std::string& text, std::string* out);

// Lines (without their line end).
std::string SectionLine(const char* section);
std::string SettingLine(const char* setting, const std::string& value);        // quoted when it must be
std::string QuotedSettingLine(const char* setting, const std::string& value);  // always quoted
std::string WrittenFileLine(const std::string& name, uint64_t size);           // in [image]

// A number in decimal.
std::string DecimalText(uint64_t value);
// Decimal, or hex after "0x"; false for anything else or more than 32 bits.
bool ParseNumber(const std::string& text, uint32_t* value);

// File attribute words: readonly hidden system archive normal temporary, a
// 0x number for other bits, "none" for no bit. The directory bit is told by
// the entry itself and never written.
std::string AttributeWords(uint32_t attributes);
// Words separated by blanks (or commas); false for an unknown word.
bool ParseAttributes(const std::string& words, uint32_t* attributes);

// A class GUID as "{4D36E967-E325-11CE-BFC1-08002BE10318}" (upper case,
// braces); read back in either case, braces required.
struct GuidFields {
    uint32_t data1 = 0;
    uint16_t data2 = 0, data3 = 0;
    uint8_t data4[8] = {};
};
std::string GuidText(const GuidFields& guid);
bool ParseGuid(const std::string& text, GuidFields* guid);

}  // namespace imageformat
