// Text encodings the machine image uses, and text files read line by line.
//
// The simulated machine holds registry names in Unicode (UTF-8) and string
// data as the ANSI API sees it: bytes in the machine's ANSI code page (1252
// unless machine.ini names another). Registry exports of the NT family are
// UTF-16LE (or UTF-8), Windows 98 exports are ANSI in that code page; the
// report is UTF-8. The conversions themselves are the simulator's
// (sim_code_page.h); this header adds what only the image files need.
#pragma once

#include "platform/sim/sim.h"
#include "platform/sim/sim_code_page.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace image {

using sim::AnsiToUnicode;
using sim::AnsiToUtf8;
using sim::AppendUtf16le;
using sim::AppendUtf8;
using sim::DecodeName;
using sim::DecodeUtf16;
using sim::DecodeUtf8;
using sim::UnicodeToAnsi;
using sim::Utf16Unit;
using sim::Utf8ToUtf16le;
using sim::Utf8ToAnsi;

// Names compared as the registry and the file system compare them.
using sim::NamesEqual;
using sim::UpperAscii;
// `text` with the ASCII letters lower-cased: machine.ini's words as its
// messages repeat them, the drive letters of an image's folders.
std::string LowerAscii(std::string text);

// `text` without the blanks (spaces, tabs, carriage returns) at its ends.
std::string Trim(std::string_view text);

enum class TextEncoding { Ansi, Utf16le, Utf8 };

// One physical line of a text file: its text in UTF-8 (an ANSI file's bytes
// converted through the machine's code page, which loses nothing) and where
// it is. A line ends at a line feed, a carriage return and line feed, or a
// carriage return alone (as an old Mac editor leaves it), as regedit reads
// them.
struct TextLine {
    TextLine() = default;
    TextLine(const TextLine&) = delete;  // `text` may point into `converted`
    TextLine& operator=(const TextLine&) = delete;

    // The text: the file's own bytes where they are UTF-8 already (an ANSI
    // line of ASCII characters, a UTF-8 line), else `converted`.
    std::string_view text;
    std::string converted;
    int number = 0;
    size_t begin = 0, end = 0;  // byte range of the text, line ending excluded
    bool newline = false;       // ended by a line ending
    bool crlf = false;          // ... and that ending is CR LF
    bool loneCr = false;        // ... or CR alone
};

// The lines of a file's bytes in one encoding, from byte `start` on (after a
// byte order mark). Lines of ASCII characters only, nearly every line of an
// export, are taken in one pass; the bytes must outlive the lines.
class LineSource {
public:
    LineSource(std::string_view bytes, size_t start, TextEncoding encoding, unsigned codePage)
        : bytes_(bytes), pos_(start), encoding_(encoding), codePage_(codePage) {}

    // False at the end of the file, or on a decoding error (`error` set).
    bool Next(TextLine& line, std::string* error);

    int LineNumber() const { return number_; }

    // The code points of a byte range that Next() returned lines from.
    std::u32string Wide(size_t begin, size_t end) const;

private:
    char32_t CharAt(size_t at) const;
    size_t FindEnd(size_t from, size_t unit) const;
    bool NextAsciiWideLine(TextLine& line);

    std::string_view bytes_;
    size_t pos_;
    TextEncoding encoding_;
    unsigned codePage_;
    int number_ = 0;
};

}  // namespace image
