// The reader of regedit exports: bytes of either format and encoding into
// the simulated registry.
//
// One rule: what regedit imports is read as regedit reads it; a line regedit
// skips is skipped and named (file and line) among the reader's notes; what
// regedit refuses is refused, named by file and line. regedit here is the
// NT family's (2000 and later), as Wine's regedit and its conformance tests,
// which run on Windows, record it:
//   - a file with the UTF-16LE byte order mark is UTF-16 (a stray byte after
//     the last character is dropped); any other is 8-bit text, and UTF-16
//     without its mark is "not a registry script"; the first line is
//     "REGEDIT4" or "Windows Registry Editor Version 5.00";
//   - a line is a key line ("[" after blanks), a value line ("@" or '"'),
//     or skipped; ";" and "#" start comments;
//   - a key line names its key up to its last "]"; a root other than the six
//     full names (HKEY_LOCAL_MACHINE, ..., no "HKLM") opens no key, and the
//     values after it go nowhere; a blank after "[" or no "]" skips the line
//     and the key before it stays open; "[-ROOT\key]" deletes the key with its
//     subtree, and a root regedit does not know, or a whole root, there stops
//     the import;
//   - a value line whose name, "=", type tag (exactly "dword:", "hex:",
//     "hex(N):" or a quote), data or trailing comment is malformed is skipped;
//     hex data goes on at the next line that is neither blank nor a ";"
//     comment after a comma and a backslash, and a line there that starts
//     with no hex digit is skipped with the value; the end of the file ends
//     the value.
// Where this tool is stricter: a NUL character in a key or value line, and a
// value name longer than the registry allows, are refused (regedit cuts the
// line at the NUL, and the registry refuses the name). Where it reads more:
// a file with the UTF-8 byte order mark is read as UTF-8 (regedit finds no
// header in it).
//
// Time is linear in the file in every shape: a key's children and values are
// found by name through a table once they are many, new keys are appended
// and each key's children sorted once at the end, and the chain of open
// headers is one path with the lengths of its headers.
//
// Two stages: the parser reads the text into statements (a key line, a value
// with its continuation lines, a note, the refusal), knowing nothing of the
// registry; the reader applies them in file order. From a megabyte of text
// on the parser runs a few batches ahead in a thread of its own; everything
// the caller sees (the registry, the notes, `consumed`) happens on the
// caller's thread, in file order.
#include "image/reg_file.h"

#include "image/reg_syntax.h"
#include "image/text_codec.h"
#include "image/value_text.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace image {

namespace {

// Windows keeps value names to 16,383 characters.
const size_t kMaxValueName = 16383;

// How often the reader says how far it has read, and how far behind the
// statement it applies it stays (nothing reads before that statement: a
// value's lines are read again from its first line only). The pages of a
// mapped export are given back about as fast as they are read.
const size_t kConsumedStep = 256u << 10;
const size_t kConsumedMargin = 64u << 10;

// The room for hex bytes kept for the next value: a larger value takes its
// buffer along, and one grown larger for a value the code page converts is
// given back.
const size_t kKeptHexRoom = 64u << 10;

// The text is read into batches of statements of about this many, or of
// this much text; from this much text on the parser runs a few batches
// ahead of the reader in a thread of its own.
const size_t kBatchStatements = 512;
const size_t kBatchText = 32u << 10;
const size_t kBatchesAhead = 4;
const size_t kParseAheadFrom = 1u << 20;

// Notes named one by one; the rest are counted in one more.
const size_t kMaxNotes = 1000;

// From how many children or values on a key's names are found through a
// table rather than by comparing each.
const size_t kTableFrom = 16;

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",   "HKEY_CLASSES_ROOT",
                              "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
const char kRootList[] = "HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, "
                         "HKEY_CURRENT_CONFIG and HKEY_DYN_DATA";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(std::string_view s, size_t p) {
    while (p < s.size() && IsBlank(s[p])) ++p;
    return p;
}

// Whether the rest of the line from `p` is blank or a ";" comment, which
// regedit takes after a value ("#" only at the start of a line).
bool RestBlank(std::string_view s, size_t p) {
    p = SkipBlanks(s, p);
    return p == s.size() || s[p] == ';';
}

// The value of each byte as a hex digit, or -1: a table, as hex data is most
// of an export.
struct HexDigits {
    int8_t value[256];
    HexDigits() {
        for (int c = 0; c < 256; ++c)
            value[c] = static_cast<int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                  : -1);
    }
};
const HexDigits kHexDigits;

int HexDigit(char c) { return kHexDigits.value[static_cast<unsigned char>(c)]; }

bool StartsWith(std::string_view s, size_t p, std::string_view word) { return s.substr(p, word.size()) == word; }

// The start of a line for a note: at most 40 characters in quotes, control
// characters as \xNN.
std::string Excerpt(std::string_view utf8) {
    size_t end = 0;
    for (int n = 0; n < 40 && end < utf8.size(); ++n) {
        char32_t cp = 0;
        if (!DecodeName(utf8, end, &cp)) ++end;
    }
    std::string out = "\"";
    for (size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        out += c < 0x20 ? std::string(escape) : std::string(1, static_cast<char>(c));
    }
    return out + (end < utf8.size() ? "\"..." : "\"");
}

// A value's type as the line spells it: up to its colon, at most 40 characters.
std::string TypeText(std::string_view s, size_t p) {
    const size_t colon = s.find(':', p);
    return Excerpt(s.substr(p, colon == std::string_view::npos ? colon : colon + 1 - p));
}

// The length of the part two key paths start with, compared as the registry
// compares names (ASCII letters without regard to case); equal bytes are
// compared eight at a time, as nearly every header repeats the one before it.
size_t CommonPrefix(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (true) {
        for (uint64_t x, y; i + 8 <= n; i += 8) {
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y) break;
        }
        while (i < n && a[i] == b[i]) ++i;
        if (i == n || UpperAscii(a[i]) != UpperAscii(b[i])) return i;
        ++i;
    }
}

// The first eight bytes of a name with the ASCII letters upper-cased, as a
// number that orders names as sim::NameLess does wherever it differs: a
// shorter name is padded with zero bytes, which sort before every other.
uint64_t NamePrefix(std::string_view name) {
    uint64_t prefix = 0;
    for (size_t i = 0; i < 8; ++i)
        prefix = prefix << 8 | (i < name.size() ? static_cast<unsigned char>(UpperAscii(name[i])) : 0u);
    return prefix;
}

// The index of the root a key path starts with (its name up to the first
// backslash, in any case), or -1.
int RootOf(std::string_view path) {
    const std::string_view root = path.substr(0, path.find('\\'));
    for (size_t i = 0; i < sizeof kRoots / sizeof kRoots[0]; ++i)
        if (NamesEqual(root, kRoots[i])) return static_cast<int>(i);
    return -1;
}

// Why the registry cannot hold a key of this name (`path` is the whole key
// path, for the message); "" when it can.
std::string CheckKeyName(std::string_view name, std::string_view path) {
    if (name.empty()) return "an empty key name in \"" + std::string(path) + "\"";
    // A name of 255 bytes of UTF-8 or fewer has 255 UTF-16 units or fewer.
    if (name.size() > kMaxKeyName && sim::Utf16Length(name) > kMaxKeyName)
        return "a key name longer than the 255 characters Windows allows";
    return "";
}

// Each name of a key path after byte `from` (a backslash), in turn, until
// `visit` returns false; false then.
template <class Visit>
bool ForEachName(std::string_view path, size_t from, const Visit& visit) {
    for (size_t at = from; at != std::string_view::npos;) {
        const size_t next = path.find('\\', at + 1);
        if (!visit(path.substr(at + 1, next == std::string_view::npos ? next : next - at - 1))) return false;
        at = next;
    }
    return true;
}

// UTF-16LE string data of a version 5 export as the ANSI functions read it;
// false when the conversion loses something (odd length, a character the
// code page lacks).
bool Utf16DataToAnsi(const sim::ValueData& in, unsigned codePage, sim::ValueData* out) {
    bool exact = in.size() % 2 == 0;
    out->clear();
    out->reserve(in.size() / 2);
    const std::string_view bytes(reinterpret_cast<const char*>(in.data()), in.size());
    for (size_t i = 0; i + 1 < in.size(); i += 2) {
        bool same = false;
        out->push_back(UnicodeToAnsi(codePage, Utf16Unit(bytes, i), &same));
        exact = exact && same;
    }
    return exact;
}

// The children or the values of one key, found by name in constant time:
// their positions (1-based; 0 is a free slot), placed by a hash of the ASCII
// upper case of the name, which is how the registry compares names.
class NameTable {
public:
    size_t Count() const { return count_; }

    // The position of `name`, or npos; `nameAt(position)` names a position.
    template <class NameAt>
    size_t Find(std::string_view name, const NameAt& nameAt) const {
        if (slots_.empty()) return std::string::npos;
        const size_t mask = slots_.size() - 1;
        for (size_t i = Hash(name) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == 0) return std::string::npos;
            if (NamesEqual(nameAt(slots_[i] - 1), name)) return slots_[i] - 1;
        }
    }

    template <class NameAt>
    void Add(size_t position, const NameAt& nameAt) {
        if (2 * (count_ + 1) > slots_.size()) {
            std::vector<uint32_t> old(std::max<size_t>(64, 2 * slots_.size()), 0);
            old.swap(slots_);
            for (const uint32_t slot : old)
                if (slot != 0) Place(slot - 1, nameAt(slot - 1));
        }
        Place(position, nameAt(position));
        ++count_;
    }

private:
    // Eight bytes at a time, each byte from 'a' to 'z' upper-cased by
    // clearing its 0x20 bit (found with the high bit of each byte as its
    // carry): the hashing was a sixth of reading a key line.
    static size_t Hash(std::string_view name) {
        const uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
        uint64_t h = name.size();
        for (size_t i = 0; i < name.size(); i += 8) {
            uint64_t w = 0;
            std::memcpy(&w, name.data() + i, std::min<size_t>(8, name.size() - i));
            const uint64_t seven = w & ~high;
            const uint64_t fromA = seven + (0x80 - 'a') * ones, pastZ = seven + (0x80 - 'z' - 1) * ones;
            w ^= (fromA & ~pastZ & ~w & high) >> 2;
            h = (h ^ w) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
        return h;
    }
    void Place(size_t position, std::string_view name) {
        const size_t mask = slots_.size() - 1;
        size_t i = Hash(name) & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = static_cast<uint32_t>(position + 1);
    }

    std::vector<uint32_t> slots_;
    size_t count_ = 0;
};

using NameTables = std::unordered_map<const sim::RegKey*, NameTable>;

std::string_view NameOf(const sim::RegKey* key) { return key->name; }
std::string_view NameOf(const sim::RegValue& value) { return value.name; }

// What one key line, or one value line with the lines that continue it,
// says, read from the text alone; and a note or the refusal the text itself
// gives. The registry is built from them in file order.
struct Statement {
    enum class Kind : uint8_t { OpenKey, DeleteKey, Value, Note, Refuse };
    Kind kind = Kind::Note;
    bool remove = false;  // a value line "name"=-
    bool lossy = false;   // a value whose data has characters the code page lacks
    int line = 0;         // its (first) line
    size_t begin = 0;  // a key or value: where its first line starts
    size_t end = 0;    // a value: where its last line ends
    size_t textAt = 0, textSize = 0;  // in its batch's text: a key's path, a value's name, a message
    // A value's type and data: in its batch's data, or a large one in a
    // buffer of its own (no second copy of it alive).
    DWORD type = REG_NONE;
    size_t dataAt = 0, dataSize = 0;
    sim::ValueData large;
};

// Statements in file order, their texts one after the other.
struct Batch {
    std::vector<Statement> statements;
    std::string text;
    std::vector<uint8_t> data;

    std::string_view Text(const Statement& s) const { return std::string_view(text).substr(s.textAt, s.textSize); }
    bool Full() const {
        return statements.size() >= kBatchStatements || text.size() + data.size() >= kBatchText;
    }
    void Clear() {
        statements.clear();
        text.clear();
        data.clear();
    }
};

// Batches handed from the thread that reads the text to the one that
// builds the registry, in order, at most kBatchesAhead waiting; the
// batches applied come back to be filled again.
class BatchQueue {
public:
    // The parser's: hands `batch` over and gets an empty one; false when the
    // reader wants no more.
    bool Put(Batch& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || ready_.size() < kBatchesAhead; });
        if (stopped_) return false;
        ready_.push_back(std::move(batch));
        batch = Batch();
        if (!spare_.empty()) {
            batch = std::move(spare_.back());
            spare_.pop_back();
        }
        changed_.notify_all();
        return true;
    }
    // The reader's: the next batch in `batch` (the applied one it held goes
    // back); false once the parser is done and every batch taken.
    bool Take(Batch& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        batch.Clear();
        spare_.push_back(std::move(batch));
        changed_.wait(lock, [&] { return done_ || !ready_.empty(); });
        if (ready_.empty()) return false;
        batch = std::move(ready_.front());
        ready_.pop_front();
        changed_.notify_all();
        return true;
    }
    void Done() { Set(done_); }     // the parser's: no more batches
    void Stop() { Set(stopped_); }  // the reader's: no more wanted

private:
    void Set(bool& flag) {
        std::lock_guard<std::mutex> lock(mutex_);
        flag = true;
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> ready_;
    std::vector<Batch> spare_;
    bool done_ = false, stopped_ = false;
};

// The text of an export after its header line into statements, a batch at a
// time, each given to a sink (false: no more wanted). It knows nothing of
// the registry, so that it can run ahead of the reader in a thread of its
// own.
class Parser {
public:
    using Sink = std::function<bool(Batch&)>;

    Parser(std::string_view bytes, size_t start, const RegFormat& format, bool strayByte)
        : source_(bytes, start, format.encoding, format.codePage), version5_(format.version5),
          codePage_(format.codePage), strayByte_(strayByte) {}

    // To the end of the text or its refusal, or until the sink wants no more.
    void Run(const Sink& sink);

    // How the text ends, once read: blank lines after the last line, and
    // whether the last line has its line end.
    int blankRun = 0;
    bool lastNewline = false;

private:
    Statement& Add(Statement::Kind kind, int line, size_t begin, std::string_view text);
    bool Note(int line, std::string_view message) {
        Add(Statement::Kind::Note, line, 0, message);
        return true;
    }
    bool Refuse(int line, std::string_view message) {
        Add(Statement::Kind::Refuse, line, 0, message);
        return false;
    }
    // A line passed over as regedit passes over it: named, and the reading
    // goes on.
    bool SkipValue(int line, int first, const std::string* name, const std::string& why);
    void KeyLine(const TextLine& line);
    bool ValueLine(const TextLine& line);  // false when the text is refused
    enum class Hex { Read, Skipped, Refused };
    Hex ParseHex(const TextLine& first, size_t p, const std::string* name, sim::ValueData* out,
                 size_t* endOffset);

    LineSource source_;
    const bool version5_;
    const unsigned codePage_;
    const bool strayByte_;  // a UTF-16 file's last odd byte, dropped
    Batch batch_;
    TextLine continuation_;
    std::string name_, text_;   // a value line's name and string, unquoted
    sim::ValueData hex_;   // a value's hex bytes
    sim::ValueData data_;  // a value's data, when not its hex bytes
};

class Reader {
public:
    Reader(std::string_view bytes, const std::string& file, sim::Registry& registry,
           RegFormat& format, InputError& diag, std::vector<InputError>* notes,
           const std::function<void(size_t)>& consumed)
        : bytes_(bytes), file_(file), registry_(registry), format_(format), diag_(diag),
          notes_(notes), consumed_(consumed) {}

    bool Run();
    // The open key's values given to it, and each key's children in the
    // sorted order the registry keeps, once: the reader appends new keys
    // (the stored order is the file's).
    void Finish();

private:
    bool Fail(int line, const std::string& message) {
        diag_.file = file_;
        diag_.line = line;
        diag_.message = message;
        return false;
    }
    bool Note(int line, const std::string& message);
    bool ReadHeader(size_t start, TextLine& line, std::string* error);
    // The parser in a thread of its own while this one applies its batches.
    void ParseAhead(Parser& parser, const Parser::Sink& apply);
    bool Apply(Batch& batch);  // false once the text is refused
    bool OpenKey(int line, std::string_view path);
    bool CannotOpen(int line, const std::string& why);
    bool DeleteKey(int line, std::string_view path);
    void Store(Statement& value, const Batch& batch);
    void ComputeBranches();

    // A key's child or value by name (npos when it has none), and the table
    // told of one appended.
    template <class Items>
    size_t Position(NameTables& tables, const sim::RegKey& key, const Items& items, std::string_view name);
    template <class Items>
    void Appended(NameTables& tables, const sim::RegKey& key, const Items& items);
    sim::RegKey& Child(sim::RegKey& parent, std::string_view name);
    sim::RegKey* FindKey(std::string_view path);
    void SetKey(sim::RegKey* key);
    void SortKey(sim::RegKey& key);
    sim::RegKey* Root(int root) const;

    std::string_view bytes_;
    const std::string& file_;
    sim::Registry& registry_;
    RegFormat& format_;
    InputError& diag_;
    std::vector<InputError>* notes_;
    size_t notesLeftOut_ = 0;
    int firstLeftOut_ = 0, lastLeftOut_ = 0;

    // The open key, and why there is none ("" before the first key line).
    // The values of a key that had none are gathered first and given to it
    // at once when it is closed, each list allocated once at its size.
    sim::RegKey* key_ = nullptr;
    bool gathering_ = false;
    sim::ValueList gathered_;  // on the heap: given to the key at their number
    std::string noKey_;
    // The chain of open headers, each an ancestor of the next (regedit
    // writes a tree depth-first): the deepest one's path as the file spells
    // it (the open key's path), its root, and for each header the length of
    // its path in it, its depth and its key.
    std::string chainPath_;
    int chainRoot_ = -1;
    struct Open {
        size_t end;
        size_t depth;
        sim::RegKey* key;
    };
    std::vector<Open> chain_;
    std::vector<std::string> branches_;
    NameTables childTables_, valueTables_;
    std::unordered_set<sim::RegKey*> unsorted_;  // keys given a child out of the sorted order
    const std::function<void(size_t)>& consumed_;  // told how far the bytes are read
    size_t toldConsumed_ = 0;
};

Statement& Parser::Add(Statement::Kind kind, int line, size_t begin, std::string_view text) {
    Statement& s = batch_.statements.emplace_back();
    s.kind = kind;
    s.line = line;
    s.begin = begin;
    s.textAt = batch_.text.size();
    s.textSize = text.size();
    batch_.text.append(text);
    return s;
}

// The note on a value regedit skips (`name` when it was read), whose lines
// run from `first` to `line`.
std::string SkippedValue(int line, int first, const std::string* name, const std::string& why) {
    std::string what = name == nullptr ? std::string("a value")
                       : name->empty() ? std::string("the default value")
                                       : "the value " + QuoteText(*name);
    if (first != line) what += " of line " + std::to_string(first) + " and this line";
    return "regedit skips " + what + ": " + why;
}

bool Parser::SkipValue(int line, int first, const std::string* name, const std::string& why) {
    return Note(line, SkippedValue(line, first, name, why));
}

void Parser::Run(const Sink& sink) {
    TextLine line;
    std::string error;
    source_.Next(line, &error);  // the header line, read before
    lastNewline = line.newline;
    bool refused = false;
    while (!refused) {
        if (batch_.Full() && !sink(batch_)) return;
        if (!source_.Next(line, &error)) {
            refused = !error.empty() && !Refuse(source_.LineNumber(), error);
            break;
        }
        lastNewline = line.newline;
        const std::string_view s = line.text;
        const size_t p = SkipBlanks(s, 0);
        if (p == s.size()) {
            ++blankRun;
            continue;
        }
        blankRun = 0;
        const char c = s[p];
        if (c == ';' || c == '#') continue;  // a comment, a backslash at its end included
        if (c != '[' && c != '@' && c != '"') {
            Note(line.number, "regedit skips the line " + Excerpt(s.substr(p)) +
                                  ": it begins with none of \"[\", \"@\" and '\"'");
            continue;
        }
        if (s.find('\0') != std::string_view::npos) {
            refused = !Refuse(line.number, c == '[' ? "a NUL character in a key line; no registry holds such a "
                                                      "name (regedit reads the line only up to it)"
                                                    : "a NUL character in a value line; regedit reads the "
                                                      "line only up to it");
        } else if (c == '[') {
            KeyLine(line);
        } else {
            refused = !ValueLine(line);
            lastNewline = continuation_.number > line.number ? continuation_.newline : line.newline;
        }
    }
    if (!refused && strayByte_)
        Note(source_.LineNumber(), "a stray byte after the last UTF-16 character: regedit drops it");
    if (!batch_.statements.empty()) sink(batch_);
}

void Parser::KeyLine(const TextLine& line) {
    const std::string_view s = line.text;
    const size_t open = SkipBlanks(s, 0) + 1;
    // regedit takes the name up to the last "]" of the line.
    const size_t close = s.rfind(']');
    if (open < s.size() && IsBlank(s[open])) {
        Note(line.number, "regedit skips the key line " + Excerpt(s) +
                              " (a blank after \"[\"); the lines after it stay with the key before it");
        return;
    }
    if (close == std::string_view::npos || close < open) {
        Note(line.number, "regedit skips the key line " + Excerpt(s) +
                              " (no closing \"]\"); the lines after it stay with the key before it");
        return;
    }
    std::string_view path = s.substr(open, close - open);
    // regedit drops the backslashes a key name ends with: "[HKEY_...\Software\]".
    const bool deletion = !path.empty() && path[0] == '-';
    if (deletion) path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    Add(deletion ? Statement::Kind::DeleteKey : Statement::Kind::OpenKey, line.number, line.begin, path);
    // The deletion closes the open key all the same.
    if (deletion && (path.empty() || (path[0] != 'H' && path[0] != 'h')))
        Note(line.number, "regedit ignores the deletion line " + Excerpt(s) +
                              ": no root key name right after \"[-\"");
}

bool Reader::Note(int line, const std::string& message) {
    if (notes_ == nullptr) return true;
    if (notes_->size() < kMaxNotes) {
        notes_->push_back(InputError{file_, line, message});
    } else {
        if (notesLeftOut_++ == 0) firstLeftOut_ = line;
        lastLeftOut_ = line;
    }
    return true;
}
template <class Items>
size_t Reader::Position(NameTables& tables, const sim::RegKey& key, const Items& items,
                        std::string_view name) {
    if (items.size() < kTableFrom) {
        for (size_t i = 0; i < items.size(); ++i)
            if (NamesEqual(NameOf(items[i]), name)) return i;
        return std::string::npos;
    }
    const auto nameAt = [&items](size_t i) { return NameOf(items[i]); };
    NameTable& table = tables[&key];
    if (table.Count() != items.size()) {
        table = NameTable();
        for (size_t i = 0; i < items.size(); ++i) table.Add(i, nameAt);
    }
    return table.Find(name, nameAt);
}

template <class Items>
void Reader::Appended(NameTables& tables, const sim::RegKey& key, const Items& items) {
    if (items.size() <= kTableFrom) return;  // no table yet: Position makes one from kTableFrom on
    const auto found = tables.find(&key);
    if (found != tables.end() && found->second.Count() + 1 == items.size())
        found->second.Add(items.size() - 1, [&items](size_t i) { return NameOf(items[i]); });
}

sim::RegKey& Reader::Child(sim::RegKey& parent, std::string_view name) {
    // A name after every child of a key whose children are in order (as in a
    // sorted export) is new without a search.
    const bool last = parent.subkeys.empty() ||
                      (sim::NameLess(parent.subkeys.back()->name, name) && unsorted_.count(&parent) == 0);
    if (!last) {
        const size_t at = Position(childTables_, parent, parent.subkeys, name);
        if (at != std::string::npos) return *parent.subkeys[at];
        unsorted_.insert(&parent);
    }
    sim::RegKey& created = registry_.NewKey(parent, name);
    if (parent.subkeys.empty()) {
        // Room for three children costs the heap no more than room for one
        // (its smallest block), and most keys have no more.
        parent.subkeys.reserve(3);
        parent.stored.reserve(3);
    }
    parent.subkeys.push_back(&created);
    parent.stored.push_back(&created);
    Appended(childTables_, parent, parent.subkeys);
    return created;
}

// The key of a path whose root is known, or nullptr.
sim::RegKey* Reader::FindKey(std::string_view path) {
    sim::RegKey* key = Root(RootOf(path));
    ForEachName(path, path.find('\\'), [&](std::string_view name) {
        const size_t found = Position(childTables_, *key, key->subkeys, name);
        key = found == std::string::npos ? nullptr : key->subkeys[found];
        return key != nullptr;
    });
    return key;
}

// The registry's root key of kRoots[root].
sim::RegKey* Reader::Root(int root) const {
    for (const auto& key : registry_.Roots())
        if (NamesEqual(key->name, kRoots[root])) return key;
    return nullptr;
}

// A key's children in the sorted order the registry keeps (its table, which
// holds their positions, goes with the old order).
// The children are sorted by the first eight bytes of their names as one
// number, held beside each, and by the whole names only where those are equal:
// a 9x export lists nearly every key's children out of order, and comparing
// names through the keys spread over the heap was a tenth of its load.
void Reader::SortKey(sim::RegKey& key) {
    struct Entry {
        uint64_t prefix;
        sim::RegKey* key;
    };
    std::vector<Entry> entries;
    entries.reserve(key.subkeys.size());
    for (sim::RegKey* sub : key.subkeys) entries.push_back({NamePrefix(sub->name), sub});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : sim::NameLess(a.key->name, b.key->name);
    });
    for (size_t i = 0; i < entries.size(); ++i) key.subkeys[i] = entries[i].key;
    childTables_.erase(&key);
}

// The open key becomes `key`; the values gathered for the one before go to it.
void Reader::SetKey(sim::RegKey* key) {
    if (gathering_ && !gathered_.empty()) {
        key_->values.reserve(gathered_.size());
        std::move(gathered_.begin(), gathered_.end(), std::back_inserter(key_->values));
        gathered_.clear();  // the positions in its table stay those of the list
    }
    key_ = key;
    gathering_ = key_ != nullptr && key_->values.empty();
}

void Reader::Finish() {
    SetKey(nullptr);
    for (sim::RegKey* key : unsorted_) SortKey(*key);
    unsorted_.clear();
}

bool Reader::ReadHeader(size_t start, TextLine& line, std::string* error) {
    LineSource headerSource(bytes_, start, format_.encoding, format_.codePage);
    if (!headerSource.Next(line, error))
        return Fail(1, error->empty() ? "empty file; a registry export starts with \"REGEDIT4\" or "
                                        "\"Windows Registry Editor Version 5.00\""
                                      : *error);
    // Blanks before the header are no matter to regedit; a blank line is.
    const std::string header = Trim(line.text);
    if (header == kVersion5) {
        format_.version5 = true;
    } else if (header == kRegedit4) {
        format_.version5 = false;
    } else {
        return Fail(1, "not a registry export: the first line is neither \"REGEDIT4\" nor "
                       "\"Windows Registry Editor Version 5.00\"");
    }
    // Written back with the header's line end: CR LF, LF alone or CR alone
    // (CR LF when the header is all there is).
    format_.crlf = line.crlf || !line.newline;
    format_.loneCr = line.loneCr;
    return true;
}

bool Reader::Run() {
    size_t start = 0;
    bool strayByte = false;
    const auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes_[i]); };
    if (bytes_.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF)
        return Fail(1, "UTF-16 big-endian text; regedit writes UTF-16 little-endian");
    if (bytes_.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        format_.encoding = RegEncoding::Utf16le;
        format_.byteOrderMark = true;
        start = 2;
        // regedit reads UTF-16 by whole characters: a last odd byte is dropped.
        strayByte = bytes_.size() % 2 != 0;
        if (strayByte) bytes_.remove_suffix(1);
    } else if (bytes_.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        format_.encoding = RegEncoding::Utf8;
        format_.byteOrderMark = true;
        start = 3;
    } else if (bytes_.size() >= 2 && byteAt(0) != 0 && byteAt(1) == 0) {
        return Fail(1, "UTF-16 text without its byte order mark: regedit reads it as 8-bit text, "
                       "finds no header and imports nothing (\"not a registry script\")");
    } else {
        format_.encoding = RegEncoding::Ansi;  // 8-bit text in the ANSI code page, either header
    }

    TextLine line;
    std::string error;
    if (!ReadHeader(start, line, &error)) return false;
    Parser parser(bytes_, start, format_, strayByte);
    bool applied = true;  // false once the text is refused
    const Parser::Sink apply = [&](Batch& batch) {
        applied = Apply(batch);
        batch.Clear();
        return applied;
    };
    if (bytes_.size() - start < kParseAheadFrom) {
        parser.Run(apply);
    } else {
        ParseAhead(parser, apply);
    }
    if (!applied) return false;
    format_.trailingBlankLines = parser.blankRun;
    format_.finalNewline = parser.lastNewline;
    if (notesLeftOut_ > 0)
        notes_->push_back(InputError{file_, firstLeftOut_,
                                     std::to_string(notesLeftOut_) + " more lines regedit skips, up to line " +
                                         std::to_string(lastLeftOut_) + ", not named one by one"});
    ComputeBranches();
    return true;
}

// On two cores the text and the registry are each about half of reading a
// large export: the parser runs ahead in a thread of its own, at most
// kBatchesAhead batches, while this thread builds the registry. Whatever
// either throws reaches the caller once both have stopped.
void Reader::ParseAhead(Parser& parser, const Parser::Sink& apply) {
    BatchQueue queue;
    std::future<void> parsed;
    try {
        parsed = std::async(std::launch::async, [&] {
            struct Done {
                BatchQueue& queue;
                ~Done() { queue.Done(); }  // also when the parser throws
            } done{queue};
            parser.Run([&](Batch& batch) { return queue.Put(batch); });
        });
    } catch (const std::system_error&) {
        parser.Run(apply);  // no thread to be had: the same work in this one
        return;
    }
    {
        // However this thread leaves the loop, the parser is stopped before
        // `parsed` waits for it.
        struct Stopped {
            BatchQueue& queue;
            ~Stopped() { queue.Stop(); }
        } stopped{queue};
        for (Batch batch; queue.Take(batch) && apply(batch);) {
        }
    }
    parsed.get();
}

bool Reader::Apply(Batch& batch) {
    for (Statement& s : batch.statements) {
        // The bytes well before this statement are done with (a value's
        // lines are read again from its first line only).
        if (consumed_ && s.begin > toldConsumed_ + kConsumedStep + kConsumedMargin) {
            toldConsumed_ = s.begin - kConsumedMargin;
            consumed_(toldConsumed_);
        }
        switch (s.kind) {
        case Statement::Kind::OpenKey: OpenKey(s.line, batch.Text(s)); break;
        case Statement::Kind::DeleteKey:
            if (!DeleteKey(s.line, batch.Text(s))) return false;
            break;
        case Statement::Kind::Value: Store(s, batch); break;
        case Statement::Kind::Note: Note(s.line, std::string(batch.Text(s))); break;
        case Statement::Kind::Refuse: return Fail(s.line, std::string(batch.Text(s)));
        }
    }
    return true;
}

bool Reader::DeleteKey(int line, std::string_view path) {
    // The deletion closes the open key; what follows goes nowhere.
    SetKey(nullptr);
    noKey_ = "the deletion on line " + std::to_string(line) + " closed the key before it";
    if (path.empty() || (path[0] != 'H' && path[0] != 'h')) return true;  // the parser's note follows
    const size_t rootEnd = std::min(path.find('\\'), path.size());
    const int root = RootOf(path);
    if (root < 0)
        return Fail(line, "\"" + std::string(path.substr(0, rootEnd)) + "\" is no root key regedit knows (" +
                                     kRootList + "): regedit stops the import here (invalid system key)");
    if (rootEnd == path.size())
        return Fail(line, "a deletion of the whole root " + std::string(kRoots[root]) +
                                     ": regedit refuses it and stops the import here");
    // As regedit: the key goes with its subtree; a missing key is no error.
    // The registry finds it through sorted children.
    sim::RegKey* key = Root(root);
    ForEachName(path, rootEnd, [&](std::string_view name) {
        if (unsorted_.erase(key) != 0) SortKey(*key);
        const size_t found = Position(childTables_, *key, key->subkeys, name);
        key = found == std::string::npos ? nullptr : key->subkeys[found];
        return key != nullptr;
    });
    if (key != nullptr) {
        // Its subtree leaves the tables (a later key may take the place of one).
        std::vector<sim::RegKey*> below = {key};
        for (size_t i = 0; i < below.size(); ++i) {
            unsorted_.erase(below[i]);
            for (sim::RegKey* sub : below[i]->subkeys) below.push_back(sub);
        }
        childTables_.clear();
        valueTables_.clear();
        registry_.DeleteTree(kRoots[root] + std::string(path.substr(rootEnd)));
    }
    chainPath_.clear();  // the open headers may lie in the deleted subtree
    chain_.clear();
    return true;
}


bool Reader::CannotOpen(int line, const std::string& why) {
    SetKey(nullptr);
    noKey_ = "regedit could not open the key of line " + std::to_string(line);
    return Note(line, why);
}

bool Reader::OpenKey(int line, std::string_view path) {
    // The open headers that stay: the new one's ancestors and itself, found
    // by the part of their path the new one shares, as the registry
    // compares names.
    const size_t common = CommonPrefix(chainPath_, path);
    size_t stay = chain_.size();
    while (stay > 0 && !(chain_[stay - 1].end <= common &&
                         (chain_[stay - 1].end == path.size() || path[chain_[stay - 1].end] == '\\')))
        --stay;
    // The root is the open headers' when it stays; else it is looked up.
    const size_t rootEnd = std::min(path.find('\\'), path.size());
    const int root = stay > 0 ? chainRoot_ : RootOf(path);
    if (root < 0)
        return CannotOpen(line, "regedit opens no key for " + Excerpt(path) + ": it knows no root key \"" +
                                    std::string(path.substr(0, rootEnd)) + "\" (only " + kRootList +
                                    "), and the values after it go nowhere");
    // The names below the headers that stay must be names the registry holds.
    const size_t from = stay > 0 ? chain_[stay - 1].end : rootEnd;
    size_t depth = stay > 0 ? chain_[stay - 1].depth : 0;
    std::string problem;
    ForEachName(path, from < path.size() ? from : std::string_view::npos, [&](std::string_view name) {
        problem = CheckKeyName(name, path);
        if (problem.empty() && ++depth > kMaxDepth)
            problem = "a key deeper than the " + std::to_string(kMaxDepth) + " levels Windows allows";
        return problem.empty();
    });
    if (!problem.empty())
        return CannotOpen(line, "regedit cannot open the key: " + problem + "; the values after it go nowhere");

    chain_.resize(stay);
    // The last open header is the parent when the path goes on from it with
    // one more name; any other header that is not the same starts a branch.
    const bool same = stay > 0 && from == path.size();
    chainPath_.assign(path);
    if (same) {
        SetKey(chain_.back().key);
        return true;
    }
    const bool continues = stay > 0 && path.find('\\', from + 1) == std::string_view::npos;
    if (!continues) branches_.push_back(kRoots[root] + std::string(path.substr(rootEnd)));
    sim::RegKey* key = stay > 0 ? chain_.back().key : Root(root);
    ForEachName(path, from < path.size() ? from : std::string_view::npos, [&](std::string_view name) {
        key = &Child(*key, name);
        return true;
    });
    SetKey(key);
    chainRoot_ = root;
    chain_.push_back({path.size(), depth, key_});
    return true;
}


// A quoted text at s[p] (the opening quote), unescaped into `out`, with `p`
// moved past the closing quote; "" or why regedit skips it.
std::string Unquote(std::string_view s, size_t& p, std::string* out) {
    // regedit writes only the backslash and the quote escaped. The next
    // quote, and the next backslash before it, are found with memchr and
    // searched for again only once passed, so that a text of many escapes
    // stays linear (and the rest of a long line after it is not searched).
    const char* const b = s.data();
    const auto next = [&](char c, size_t from, size_t to) {
        const void* found = std::memchr(b + from, c, to - from);
        return found == nullptr ? to : static_cast<size_t>(static_cast<const char*>(found) - b);
    };
    ++p;
    size_t quote = next('"', p, s.size());
    size_t backslash = next('\\', p, quote);  // `quote` when there is none before it
    while (true) {
        if (quote < p) quote = next('"', p, s.size());
        if (backslash < p) backslash = next('\\', p, quote);
        const size_t q = backslash;
        out->append(b + p, q - p);
        p = q;
        if (p + 1 >= s.size() && (p >= s.size() || s[p] == '\\')) return "no closing quote";
        if (s[p] == '"') {
            ++p;
            return "";
        }
        const char e = s[p + 1];
        if (e != '\\' && e != '"') return std::string("an escape \"\\") + e + "\" other than \\\\ and \\\"";
        *out += e;
        p += 2;
    }
}

bool Parser::ValueLine(const TextLine& line) {
    const std::string_view s = line.text;
    size_t p = SkipBlanks(s, 0);
    continuation_.number = 0;
    std::string& name = name_;  // one buffer for every line's name and text
    name.clear();
    if (s[p] == '@') {
        ++p;
    } else {
        const std::string problem = Unquote(s, p, &name);
        if (!problem.empty()) return SkipValue(line.number, line.number, nullptr, "its name has " + problem);
        if (name.size() > kMaxValueName && sim::Utf16Length(name) > kMaxValueName)
            return Refuse(line.number, "a value name longer than the 16,383 characters the registry allows");
    }
    p = SkipBlanks(s, p);
    if (p >= s.size() || s[p] != '=') return SkipValue(line.number, line.number, &name, "no \"=\" after its name");
    p = SkipBlanks(s, p + 1);

    DWORD type = REG_NONE;
    sim::ValueData* data = &data_;  // the value's bytes
    data_.clear();
    bool lossy = false;  // whether the data read has characters the code page lacks
    size_t endOffset = line.end;
    bool remove = false;
    if (p < s.size() && s[p] == '-') {
        if (!RestBlank(s, p + 1)) return SkipValue(line.number, line.number, &name, "text after \"=-\"");
        remove = true;
    } else if (p < s.size() && s[p] == '"') {
        std::string& text = text_;
        text.clear();
        const std::string problem = Unquote(s, p, &text);
        if (!problem.empty()) return SkipValue(line.number, line.number, &name, "its string has " + problem);
        if (!RestBlank(s, p))
            return SkipValue(line.number, line.number, &name, "text after the closing quote of its string");
        type = REG_SZ;
        if (sim::IsAscii(text)) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
            data_.assign(bytes, bytes + text.size());
        } else {
            bool exact = true;
            const std::string ansi = Utf8ToAnsi(codePage_, text, &exact);
            lossy = !exact;
            data_.assign(ansi.begin(), ansi.end());
        }
        data_.push_back(0);
    } else if (StartsWith(s, p, "dword:")) {
        size_t q = SkipBlanks(s, p + 6);
        uint32_t v = 0;
        int digits = 0;
        for (; q < s.size() && HexDigit(s[q]) >= 0; ++q, ++digits) v = v * 16 + static_cast<uint32_t>(HexDigit(s[q]));
        if (digits == 0 || digits > 8 || !RestBlank(s, q))
            return SkipValue(line.number, line.number, &name, "not 1 to 8 hex digits after \"dword:\"");
        type = REG_DWORD;
        data_ = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                 static_cast<uint8_t>(v >> 24)};
    } else if (StartsWith(s, p, "hex:") || StartsWith(s, p, "hex(")) {
        size_t q = p + 4;
        type = REG_BINARY;
        if (s[p + 3] == '(') {
            // hex(N): N in hex digits, up to what 32 bits hold.
            uint64_t n = 0;
            const size_t digits = q;
            for (; q < s.size() && HexDigit(s[q]) >= 0 && n <= 0xFFFFFFFFu; ++q)
                n = n * 16 + static_cast<uint64_t>(HexDigit(s[q]));
            if (q == digits || n > 0xFFFFFFFFu || !StartsWith(s, q, "):"))
                return SkipValue(line.number, line.number, &name,
                                 "its type " + TypeText(s, p) + " is not \"hex(N):\" with N in hex digits");
            type = static_cast<DWORD>(n);
            q += 2;
        }
        // The bytes are gathered in one buffer for all values.
        hex_.clear();
        switch (ParseHex(line, q, &name, &hex_, &endOffset)) {
        case Hex::Refused: return false;
        case Hex::Skipped: return true;
        case Hex::Read: break;
        }
        if (version5_ && IsStringType(type)) {
            if (!Utf16DataToAnsi(hex_, codePage_, &data_)) lossy = true;
        } else {
            data = &hex_;
        }
    } else {
        return SkipValue(line.number, line.number, &name,
                         "its type " + TypeText(s, p) + " is none regedit knows (it knows \"dword:\", \"hex:\" and \"hex(N):\", in "
                             "lower case, and a quoted string)");
    }
    Statement& statement = Add(Statement::Kind::Value, line.number, line.begin, name);
    statement.end = endOffset;
    statement.remove = remove;
    statement.lossy = lossy;
    statement.type = type;
    if (data->size() <= kKeptHexRoom) {
        statement.dataAt = batch_.data.size();
        statement.dataSize = data->size();
        batch_.data.insert(batch_.data.end(), data->begin(), data->end());
    } else {
        // A large value takes the buffer itself, without the room its lines grew.
        if (data->capacity() - data->size() > 16) data->shrink_to_fit();
        statement.large.swap(*data);
    }
    if (hex_.capacity() > kKeptHexRoom) sim::ValueData().swap(hex_);
    return true;
}

Parser::Hex Parser::ParseHex(const TextLine& first, size_t p, const std::string* name, sim::ValueData* out,
                             size_t* endOffset) {
    const TextLine* line = &first;
    *endOffset = first.end;
    bool afterComma = false;
    size_t lineStart = 0;  // the size of `out` when this line began
    const auto skip = [&](const std::string& why) {
        SkipValue(line->number, first.number, name, why);
        return Hex::Skipped;
    };
    while (true) {
        const std::string_view s = line->text;
        // The common run "xx,xx,...": two hex digits and a comma per byte,
        // written in place. Room for every byte of the line (n bytes take
        // 3n - 1 characters), so that the last one needs no new buffer; it
        // grows geometrically over the lines of a value.
        if (afterComma || out->size() == lineStart) {
            const size_t at = out->size();
            out->resize(at + (s.size() - std::min(p, s.size()) + 1) / 3);
            uint8_t* write = out->data() + at;
            while (p + 2 < s.size() && s[p + 2] == ',') {
                const int high = HexDigit(s[p]), low = HexDigit(s[p + 1]);
                if (high < 0 || low < 0) break;
                *write++ = static_cast<uint8_t>(high * 16 + low);
                p += 3;
                afterComma = true;
            }
            out->resize(static_cast<size_t>(write - out->data()));
        }
        p = SkipBlanks(s, p);
        if (p >= s.size() || s[p] == ';') {
            // The end of the value: a trailing comma and a comment after the
            // data are taken, as regedit takes them.
            return Hex::Read;
        }
        if (s[p] == '\\') {
            // regedit goes on after a comma that ends a line's bytes, or right
            // after "hex:"; a continuation line starts with a byte.
            if (!(afterComma || (line == &first && out->empty())))
                return skip("a line continuation \"\\\" must follow a comma after the bytes");
            if (!RestBlank(s, p + 1)) return skip("text after the line continuation \"\\\"");
            // The data goes on at the next line that is neither blank nor a
            // ";" comment; the end of the file ends the value.
            std::string error;
            bool more = false;
            while ((more = source_.Next(continuation_, &error))) {
                const size_t start = SkipBlanks(continuation_.text, 0);
                if (start != continuation_.text.size() && continuation_.text[start] != ';') break;
            }
            if (!more) {
                if (!error.empty()) {
                    Refuse(source_.LineNumber(), error);
                    return Hex::Refused;
                }
                return Hex::Read;
            }
            line = &continuation_;
            *endOffset = continuation_.end;
            if (continuation_.text.find('\0') != std::string_view::npos) {
                Refuse(line->number, "a NUL character in a value line; regedit reads the line only up to it");
                return Hex::Refused;
            }
            p = SkipBlanks(continuation_.text, 0);
            if (HexDigit(continuation_.text[p]) < 0)
                return skip("the line continuing its data " + Excerpt(continuation_.text.substr(p)) +
                            " starts with no hex byte");
            lineStart = out->size();
            afterComma = false;
            continue;
        }
        // A byte is the text up to the next comma, blank, continuation or comment.
        const size_t from = p;
        while (p < s.size() && s[p] != ',' && s[p] != '\\' && s[p] != ';' && !IsBlank(s[p])) ++p;
        int value = 0;
        bool good = p - from >= 1 && p - from <= 2;
        for (size_t i = from; good && i < p; ++i) {
            good = HexDigit(s[i]) >= 0;
            value = value * 16 + HexDigit(s[i]);
        }
        if (!good) return skip("a bad hex byte " + Excerpt(s.substr(from, std::max<size_t>(p - from, 1))));
        out->push_back(static_cast<uint8_t>(value));
        afterComma = p < s.size() && s[p] == ',';
        if (afterComma) {
            ++p;
        } else {
            // After a byte: a comma right away, or the end of the value.
            const size_t q = SkipBlanks(s, p);
            if (q < s.size() && s[q] == '\\')
                return skip("a line continuation \"\\\" must follow a comma after the bytes");
            if (!RestBlank(s, q)) return skip("no \",\" right after a byte");
        }
    }
}

void Reader::Store(Statement& statement, const Batch& batch) {
    const std::string_view name = batch.Text(statement);
    if (key_ == nullptr) {
        const std::string named(name);
        Note(statement.line, SkippedValue(statement.line, statement.line, &named,
                                          "it goes nowhere: " + (noKey_.empty() ? std::string("no key line before it") : noKey_)));
        return;
    }

    // Value names are matched without regard to case, as the registry does.
    sim::ValueList& values = gathering_ ? gathered_ : key_->values;
    const size_t at = Position(valueTables_, *key_, values, name);
    sim::RegValue* value = at == std::string::npos ? nullptr : &values[at];
    if (statement.remove) {
        if (value != nullptr) {
            values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
            valueTables_.erase(key_);
        }
    } else {
        // The data in the key's store (a large one stays in its own buffer).
        const uint8_t* data = batch.data.data() + statement.dataAt;
        if (value != nullptr) {
            value->type = statement.type;
            if (statement.large.empty()) value->data.assign(data, data + statement.dataSize);
            else value->data = std::move(statement.large);
        } else {
            if (statement.large.empty())
                values.push_back(key_->NewValue(std::string(name), statement.type, data, statement.dataSize));
            else
                values.push_back(sim::RegValue{std::string(name), statement.type, std::move(statement.large)});
            value = &values.back();
            Appended(valueTables_, *key_, values);
        }
    }

    const bool lossy = statement.lossy;
    if (!lossy && format_.verbatim.empty()) return;
    // The open key's path is the deepest open header's.
    const std::string verbatimKey = UpperAscii(chainPath_) + "\n" + UpperAscii(std::string(name));
    format_.verbatim.erase(verbatimKey);
    if (lossy && !statement.remove) {
        RegFormat::Verbatim v;
        v.name = name;
        v.type = value->type;
        v.data.assign(value->data.begin(), value->data.end());
        // The value's lines as they stand in the file.
        LineSource again(bytes_, statement.begin, format_.encoding, format_.codePage);
        TextLine l;
        std::string error;
        while (again.Next(l, &error)) {
            v.lines.push_back(again.Wide(l.begin, l.end));
            if (l.end >= statement.end) break;
        }
        // A value the file ends in after its continuation: its last line
        // keeps no "\" (nor the comma before it), or the line written after
        // it would be taken as more of its data.
        std::u32string& last = v.lines.back();
        size_t end = last.size();
        while (end > 0 && (last[end - 1] == U' ' || last[end - 1] == U'\t')) --end;
        if (end > 0 && last[end - 1] == U'\\') {
            --end;
            while (end > 0 && (last[end - 1] == U' ' || last[end - 1] == U'\t')) --end;
            if (end > 0 && last[end - 1] == U',') --end;
            last.resize(end);
        }
        format_.verbatim[verbatimKey] = std::move(v);
    }
}

// The branches the writer writes, each with its subtree: those that are still
// there, in file order, but for those inside another branch and repeats.
void Reader::ComputeBranches() {
    std::vector<sim::RegKey*> keys;
    std::unordered_set<const sim::RegKey*> all;
    for (const std::string& path : branches_) {
        keys.push_back(FindKey(path));
        if (keys.back() != nullptr) all.insert(keys.back());
    }
    std::unordered_set<const sim::RegKey*> taken;
    for (size_t i = 0; i < branches_.size(); ++i) {
        if (keys[i] == nullptr || !taken.insert(keys[i]).second) continue;
        bool inside = false;
        for (const sim::RegKey* up = keys[i]->parent; up != nullptr && !inside; up = up->parent)
            inside = all.count(up) > 0;
        if (!inside) format_.branches.push_back(branches_[i]);
    }
}

}  // namespace

std::string InputError::Text() const {
    if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
    return file + ": " + message;
}

RegFormat RegFormat::Regedit4() {
    RegFormat f;
    f.version5 = false;
    f.encoding = RegEncoding::Ansi;
    return f;
}

RegFormat RegFormat::Version5() {
    RegFormat f;
    f.version5 = true;
    f.encoding = RegEncoding::Utf16le;
    f.byteOrderMark = true;
    return f;
}

bool ReadRegFile(std::string_view bytes, const std::string& fileName, sim::Registry& registry,
                 RegFormat* format, InputError* diag, std::vector<InputError>* notes,
                 const std::function<void(size_t)>& consumed) {
    RegFormat local;
    InputError localDiag;
    Reader reader(bytes, fileName, registry, format ? *format : local, diag ? *diag : localDiag, notes,
                  consumed);
    const bool read = reader.Run();
    reader.Finish();  // a refused file leaves what it read in order too
    return read;
}

}  // namespace image
