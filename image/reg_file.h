// Registry exports as regedit reads and writes them, into and out of the
// simulated registry.
//
// Two formats: "REGEDIT4" (Windows 95/98/ME and NT 4; ANSI text in the
// machine's code page, string data of hex(2)/hex(7) values in ANSI bytes) and
// "Windows Registry Editor Version 5.00" (Windows 2000 and later; UTF-16LE
// text with a byte order mark, or UTF-8, string data of hex(N) values in
// UTF-16LE bytes). The registry holds key and value names in Unicode, each
// exactly as the export spells it, and string data as the ANSI API sees it
// (bytes in the machine's code page), so string data of a version 5 export
// is converted on the way in and out.
#pragma once

#include "image/text_codec.h"

#include "platform/sim/sim.h"

#include <cstdint>
#include <functional>
#include <map>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace image {

// A problem in an input file, with the file and the 1-based line it is on
// (0 when it concerns the file as a whole).
struct InputError {
    std::string file;
    int line = 0;
    std::string message;
    std::string Text() const;  // "file:line: message"
};

using RegEncoding = TextEncoding;

// How an export was written, so that it can be written back the same way.
struct RegFormat {
    bool version5 = false;  // "Windows Registry Editor Version 5.00"; else "REGEDIT4"
    // The machine's ANSI code page, which ANSI text and string data convert
    // through: given to the reader (which keeps it), used by the writer.
    unsigned codePage = sim::kDefaultCodePage;
    RegEncoding encoding = RegEncoding::Ansi;
    bool byteOrderMark = false;
    bool crlf = true;     // lines end with CR LF; else LF alone
    bool loneCr = false;  // lines end with CR alone (as an old Mac editor leaves them)
    int trailingBlankLines = 1;  // empty lines after the last key's values
    bool finalNewline = true;
    // The keys the export starts from (a header whose parent header is not in
    // the file), in file order; the writer writes each with its subtree.
    std::vector<std::string> branches;
    // Values whose text the ANSI code page cannot hold (characters outside it,
    // odd-length UTF-16 data): their lines as read, written back unchanged as
    // long as the value is. Keyed by upper-case key path, "\n", upper-case name.
    struct Verbatim {
        // The name as the lines spell it: a value set again under another
        // case of its name keeps the case it was created with, and is then
        // written from the registry.
        std::string name;
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
        std::vector<std::u32string> lines;
    };
    std::map<std::string, Verbatim> verbatim;

    static RegFormat Regedit4();   // ANSI, CRLF, as Windows 98 writes it
    static RegFormat Version5();   // UTF-16LE with byte order mark, CRLF
};

// Applies an export to `registry` as regedit imports it: keys are created
// (a key new to the registry is stored after its siblings, as the 9x family
// stores it), values set, "[-key]" deletes a key with its subtree and
// "name"=- a value. `format->codePage` is the code page to read ANSI text
// and string data in; the rest of `format` is filled.
// What regedit reads is read as regedit reads it; a line regedit skips is
// skipped and told in `notes` (file, line, what regedit does with it: a
// value that goes nowhere, a key line it cannot open, a line that begins
// with none of "[", "@" and '"'); what regedit refuses (and a NUL character
// in a key or value line, a value name longer than the registry holds)
// returns false with `diag` filled, and the registry may then hold part of
// the file (callers load into a fresh registry).
// `consumed`, when given, is told now and then how many bytes from the start
// the reader is done with (a caller that maps a large file can let them go).
bool ReadRegFile(std::string_view bytes, const std::string& fileName, sim::Registry& registry,
                 RegFormat* format, InputError* diag, std::vector<InputError>* notes = nullptr,
                 const std::function<void(size_t)>& consumed = std::function<void(size_t)>());

// The export of `registry` in `format`: each branch of the format with its
// whole subtree, keys depth-first in enumeration order (a REGEDIT4 export's
// subkeys in the order the 9x family stores them, a version 5 export's
// sorted as the NT family enumerates them), each key followed by
// its values, one empty line between keys; hex data wrapped as regedit wraps
// it. Then every other key of the registry the same way, each with its
// header line, but for those above a branch (which the branch's header
// implies, as in regedit's export of the branch) and the roots: reading
// the file back gives every key.
std::string WriteRegFile(const sim::Registry& registry, const RegFormat& format);
// The same written to the host file `path` as it is built, a part at a time
// (an export of tens of megabytes is never held whole); false when the file
// cannot be written.
bool WriteRegFileTo(const std::string& path, const sim::Registry& registry, const RegFormat& format);

// Builds an export line by line (the undo file is made with it), in memory,
// or with a `file` written as it goes. Paths and names are UTF-8.
class RegWriter {
public:
    explicit RegWriter(const RegFormat& format, std::FILE* file = nullptr);
    void Key(const std::string& path);         // an empty line, then [path]
    void Value(const std::string& keyPath, const sim::RegValue& value);
    void DeleteValue(const std::string& name); // "name"=-
    std::string Finish();                       // the file's bytes (with a file: the bytes not yet written)
    bool FinishFile();                          // with a file: the rest written; false when a write failed

private:
    void Line(const std::string& utf8);
    void WideLine(const std::u32string& text);
    void SpillWhenFull();
    const RegFormat& format_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    std::string out_;
    std::string line_;  // the line being built, one buffer for all
};

// The text of one value as regedit writes it (without line ending; wrapped
// hex data contains "\\" + line ending + two blanks). Exposed for tests.
// The text is UTF-8; string data converts from `codePage`.
std::string FormatRegValue(const sim::RegValue& value, bool version5, const char* lineEnd,
                           unsigned codePage = sim::kDefaultCodePage);
// The same appended to `out`.
void AppendRegValue(std::string& out, const sim::RegValue& value, bool version5, const char* lineEnd,
                    unsigned codePage);

}  // namespace image
