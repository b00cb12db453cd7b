// The reader of regedit exports: bytes of either format and encoding into
// the simulated registry, as regedit imports them.
#include "image/reg_file.h"

#include "image/reg_syntax.h"
#include "image/text_codec.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string_view>

namespace image {

namespace {

// How often the reader says how far it has read, and how far behind the
// current line it stays.
const size_t kConsumedStep = 4u << 20;
const size_t kConsumedMargin = 1u << 20;

// Whether the first `n` bytes of `text` are `upperWord` without regard to
// the case of ASCII letters (and `text` has no more than `n`).
bool SameUpper(const char* text, size_t n, const char* upperWord) {
    size_t i = 0;
    for (; i < n && upperWord[i] != '\0'; ++i) {
        if (UpperAscii(text[i]) != upperWord[i]) return false;
    }
    return i == n && upperWord[i] == '\0';
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// UTF-16LE string data of a version 5 export as the ANSI functions read it;
// false when the conversion loses something (odd length, a character the
// code page lacks).
bool Utf16DataToAnsi(const std::vector<uint8_t>& in, unsigned codePage, std::vector<uint8_t>* out) {
    bool exact = in.size() % 2 == 0;
    out->clear();
    out->reserve(in.size() / 2);
    for (size_t i = 0; i + 1 < in.size(); i += 2) {
        bool same = false;
        const std::string_view bytes(reinterpret_cast<const char*>(in.data()), in.size());
        out->push_back(UnicodeToAnsi(codePage, Utf16Unit(bytes, i), &same));
        exact = exact && same;
    }
    return exact;
}

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                              "HKEY_USERS",         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
                              "HKLM",               "HKCU",               "HKCR",
                              "HKU",                "HKCC"};

// Checks a key path of a header line; "" when it is sound.
std::string CheckKeyPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return "a NUL character in a key name; no registry can hold such a name";
    const size_t slash = path.find('\\');
    const size_t rootLength = slash == std::string::npos ? path.size() : slash;
    bool known = false;
    for (const char* r : kRoots) known = known || SameUpper(path.data(), rootLength, r);
    if (!known)
        return "unknown root key \"" + path.substr(0, slash) +
               "\"; expected HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
               "HKEY_USERS, HKEY_CURRENT_CONFIG or HKEY_DYN_DATA";
    size_t depth = 0;
    size_t start = slash;
    while (start != std::string::npos) {
        const size_t next = path.find('\\', start + 1);
        const size_t len = (next == std::string::npos ? path.size() : next) - start - 1;
        if (len == 0) return "empty key name in \"" + path + "\"";
        if (sim::Utf16Length(std::string_view(path).substr(start + 1, len)) > kMaxKeyName)
            return "a key name longer than the 255 characters Windows allows";
        if (++depth > kMaxDepth)
            return "a key deeper than the " + std::to_string(kMaxDepth) + " levels Windows allows";
        start = next;
    }
    return "";
}

// The parent path of a key path, "" for a root.
std::string ParentPath(const std::string& path) {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Whether `ancestor` (upper case) is `path` (upper case) or one of its parents.
bool IsSelfOrAncestor(const std::string& ancestor, const std::string& path) {
    return path.size() >= ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           (path.size() == ancestor.size() || path[ancestor.size()] == '\\');
}

class Reader {
public:
    Reader(std::string_view bytes, const std::string& file, sim::Registry& registry,
           RegFormat& format, InputError& diag, const std::function<void(size_t)>& consumed)
        : bytes_(bytes), file_(file), registry_(registry), format_(format), diag_(diag),
          consumed_(consumed) {}

    bool Run();

private:
    bool Fail(int line, const std::string& message) {
        diag_.file = file_;
        diag_.line = line;
        diag_.message = message;
        return false;
    }
    bool ParseKeyLine(const TextLine& line);
    bool ParseValue(LineSource& source, const TextLine& first);
    bool ParseQuoted(const std::string& s, size_t& p, int lineNumber, std::string* out);
    bool ParseHex(LineSource& source, const TextLine& first, size_t p, std::vector<uint8_t>* out,
                  size_t* endOffset);

    std::string_view bytes_;
    const std::string& file_;
    sim::Registry& registry_;
    RegFormat& format_;
    InputError& diag_;

    enum class State { NoKey, Key, DeletedKey } state_ = State::NoKey;
    sim::RegKey* key_ = nullptr;
    std::vector<std::string> openHeaders_;  // upper case, each an ancestor of the next
    std::vector<sim::RegKey*> openKeys_;    // the keys of openHeaders_
    std::vector<std::string> branches_;
    TextLine continuation_;
    const std::function<void(size_t)>& consumed_;  // told how far the bytes are read
    size_t toldConsumed_ = 0;
};

bool Reader::Run() {
    size_t start = 0;
    const auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes_[i]); };
    if (bytes_.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF)
        return Fail(1, "UTF-16 big-endian text; regedit writes UTF-16 little-endian");
    if (bytes_.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        format_.encoding = RegEncoding::Utf16le;
        format_.byteOrderMark = true;
        start = 2;
    } else if (bytes_.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        format_.encoding = RegEncoding::Utf8;
        format_.byteOrderMark = true;
        start = 3;
    } else if (bytes_.size() >= 2 && byteAt(0) != 0 && byteAt(1) == 0) {
        format_.encoding = RegEncoding::Utf16le;  // UTF-16LE without its byte order mark
    } else {
        format_.encoding = RegEncoding::Ansi;  // decided by the header below
    }

    LineSource headerSource(bytes_, start, format_.encoding, format_.codePage);
    TextLine line;
    std::string error;
    if (!headerSource.Next(line, &error))
        return Fail(1, error.empty() ? "empty file; a registry export starts with \"REGEDIT4\" or "
                                       "\"Windows Registry Editor Version 5.00\""
                                     : error);
    // Blanks before the header are no matter to regedit; a blank line is.
    const std::string header = Trim(line.text);
    if (header == kVersion5) {
        format_.version5 = true;
        if (format_.encoding == RegEncoding::Ansi) format_.encoding = RegEncoding::Utf8;
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

    LineSource source(bytes_, start, format_.encoding, format_.codePage);
    source.Next(line, &error);  // the header again, now in the file's encoding
    int blankRun = 0;
    bool lastNewline = line.newline;
    while (true) {
        if (!source.Next(line, &error)) {
            if (!error.empty()) return Fail(source.LineNumber(), error);
            break;
        }
        // The bytes well before this line are done with (a value's lines are
        // read again from its first line only).
        if (consumed_ && line.begin > toldConsumed_ + kConsumedStep + kConsumedMargin) {
            toldConsumed_ = line.begin - kConsumedMargin;
            consumed_(toldConsumed_);
        }
        lastNewline = line.newline;
        size_t p = 0;
        while (p < line.text.size() && IsBlank(line.text[p])) ++p;
        if (p == line.text.size()) {
            ++blankRun;
            continue;
        }
        blankRun = 0;
        const char c = line.text[p];
        if (c == ';' || c == '#') continue;  // comment, a backslash at its end included
        if (c == '[') {
            if (!ParseKeyLine(line)) return false;
        } else if (c == '"' || c == '@') {
            if (!ParseValue(source, line)) return false;
            lastNewline = continuation_.number > line.number ? continuation_.newline
                                                             : line.newline;
        } else {
            return Fail(line.number, "a line that is neither a key \"[...]\", a value "
                                     "(\"name\"=... or @=...) nor a comment");
        }
    }
    format_.trailingBlankLines = blankRun;
    format_.finalNewline = lastNewline;

    // Branches inside other branches are written with those.
    std::set<std::string> upper;
    for (const std::string& b : branches_) upper.insert(UpperAscii(b));
    for (const std::string& b : branches_) {
        bool inside = false;
        for (std::string p = ParentPath(UpperAscii(b)); !p.empty() && !inside; p = ParentPath(p))
            inside = upper.count(p) > 0;
        bool duplicate = false;
        for (const std::string& kept : format_.branches)
            duplicate = duplicate || UpperAscii(kept) == UpperAscii(b);
        if (!inside && !duplicate) format_.branches.push_back(b);
    }
    return true;
}

bool Reader::ParseKeyLine(const TextLine& line) {
    const std::string& text = line.text;
    size_t n = text.size();  // the text without trailing blanks and CR
    while (n > 0 && (IsBlank(text[n - 1]) || text[n - 1] == '\r')) --n;
    size_t p = 0;
    while (IsBlank(text[p])) ++p;
    if (text[n - 1] != ']') return Fail(line.number, "a key line without its closing \"]\"");
    std::string path = text.substr(p + 1, n - p - 2);
    const bool deletion = !path.empty() && path[0] == '-';
    if (deletion) path.erase(0, 1);
    // regedit drops the backslashes a header ends with: "[HKLM\Software\]".
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return Fail(line.number, "a key line without a key");
    const std::string problem = CheckKeyPath(path);
    if (!problem.empty()) return Fail(line.number, problem);
    {
        // Short root names ("HKLM") are written out in full, as regedit does.
        static const char* const kShort[][2] = {{"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKCU", "HKEY_CURRENT_USER"},
                                                {"HKCR", "HKEY_CLASSES_ROOT"},  {"HKU", "HKEY_USERS"},
                                                {"HKCC", "HKEY_CURRENT_CONFIG"}};
        const size_t slash = path.find('\\');
        const size_t rootLength = slash == std::string::npos ? path.size() : slash;
        if (rootLength <= 4) {
            for (const auto& names : kShort)
                if (SameUpper(path.data(), rootLength, names[0]))
                    path = names[1] + (slash == std::string::npos ? "" : path.substr(slash));
        }
    }
    if (deletion) {
        // As regedit: the key goes with its subtree; a missing key is no error.
        registry_.DeleteTree(path);
        openHeaders_.clear();  // they may lie in the deleted subtree
        openKeys_.clear();
        state_ = State::DeletedKey;
        key_ = nullptr;
        return true;
    }
    // regedit writes a tree depth-first: a header whose parent's header is
    // on the chain of open headers continues it; any other starts a branch.
    // The key whose values are complete gives back the room its list grew by.
    if (key_ != nullptr && key_->values.capacity() > key_->values.size()) key_->values.shrink_to_fit();
    std::string upper = UpperAscii(path);
    while (!openHeaders_.empty() && !IsSelfOrAncestor(openHeaders_.back(), upper)) {
        // A closed header's subkeys are complete (regedit writes a tree
        // depth-first): the room their list grew by goes back.
        sim::RegKey& closed = *openKeys_.back();
        if (closed.subkeys.capacity() > closed.subkeys.size()) closed.subkeys.shrink_to_fit();
        if (closed.stored.capacity() > closed.stored.size()) closed.stored.shrink_to_fit();
        openHeaders_.pop_back();
        openKeys_.pop_back();
    }
    // The last open header is the parent when the path goes on from it with
    // one more name (IsSelfOrAncestor has checked the start).
    const bool continues = !openHeaders_.empty() && upper.size() > openHeaders_.back().size() &&
                           upper.find('\\', openHeaders_.back().size() + 1) == std::string::npos;
    const bool same = !openHeaders_.empty() && openHeaders_.back() == upper;
    if (!continues && !same) branches_.push_back(path);
    if (same) {
        key_ = openKeys_.back();
    } else {
        // A new key goes after its siblings in the stored order, which is
        // then the export's order.
        key_ = continues ? &openKeys_.back()->Subkey(path.substr(path.rfind('\\') + 1))
                         : &registry_.Create(path);
        openHeaders_.push_back(std::move(upper));
        openKeys_.push_back(key_);
    }
    state_ = State::Key;
    return true;
}

bool Reader::ParseQuoted(const std::string& s, size_t& p, int lineNumber, std::string* out) {
    // s[p] is the opening quote. regedit escapes only the backslash and the quote.
    ++p;
    while (p < s.size()) {
        const char c = s[p];
        if (c == '"') {
            ++p;
            return true;
        }
        if (c == '\\') {
            if (p + 1 >= s.size()) break;
            const char e = s[p + 1];
            if (e != '\\' && e != '"')
                return Fail(lineNumber, std::string("unknown escape \"\\") + e +
                                            "\" in a string; regedit writes only \\\\ and \\\"");
            *out += e;
            p += 2;
            continue;
        }
        *out += c;
        ++p;
    }
    return Fail(lineNumber, "unterminated string: the closing quote is missing");
}

bool Reader::ParseHex(LineSource& source, const TextLine& first, size_t p,
                      std::vector<uint8_t>* out, size_t* endOffset) {
    const TextLine* line = &first;
    *endOffset = first.end;
    bool afterComma = false;
    size_t lineStart = 0;  // the size of `out` when this line began
    const std::string* reserved = nullptr;  // the line whose bytes have room in `out`
    while (true) {
        const std::string& s = line->text;
        if (reserved != &s) {
            // Room for the bytes of this line ("xx," each), grown geometrically.
            const size_t room = (s.size() - std::min(p, s.size())) / 3 + 1;
            if (out->capacity() - out->size() < room)
                out->reserve(std::max(out->capacity() * 2, out->size() + room));
            reserved = &s;
        }
        // The common run "xx,xx,...": two hex digits and a comma per byte.
        while (p + 2 < s.size() && (afterComma || out->empty()) && s[p + 2] == ',') {
            const int high = HexDigit(s[p]), low = HexDigit(s[p + 1]);
            if (high < 0 || low < 0) break;
            out->push_back(static_cast<uint8_t>(high * 16 + low));
            p += 3;
            afterComma = true;
        }
        while (p < s.size() && IsBlank(s[p])) ++p;
        if (p >= s.size() || s[p] == ';') {
            // The end of the value: a trailing comma and a comment after the
            // data are taken, as regedit takes them.
            // Growth by lines may leave room that a large export would keep
            // by the hundred thousand.
            if (out->capacity() - out->size() > 16) out->shrink_to_fit();
            return true;
        }
        if (s[p] == '\\') {
            // regedit continues after a comma that ends a line's bytes, or
            // right after "hex:"; a continuation line starts with a byte.
            const bool continues = line == &first ? afterComma || out->empty()
                                                  : afterComma && out->size() > lineStart;
            if (!continues)
                return Fail(line->number, "bad hex data: a line continuation \"\\\" must follow "
                                          "a comma after the line's bytes");
            size_t q = p + 1;
            while (q < s.size() && IsBlank(s[q])) ++q;
            if (q != s.size() && s[q] != ';')
                return Fail(line->number, "bad hex data: text after the line continuation \"\\\"");
            // The data goes on at the next line that is neither blank nor a
            // ";" comment. A file that ends right after the backslash ends
            // the value, as on import.
            const bool lastLine = !line->newline;
            std::string error;
            bool more = false;
            while ((more = source.Next(continuation_, &error))) {
                const size_t start = continuation_.text.find_first_not_of(" \t");
                if (start != std::string::npos && continuation_.text[start] != ';') break;
            }
            if (!more) {
                if (!error.empty()) return Fail(source.LineNumber(), error);
                if (lastLine) return true;
                return Fail(line->number, "the value continues past the end of the file");
            }
            line = &continuation_;
            *endOffset = continuation_.end;
            lineStart = out->size();
            p = 0;
            continue;
        }
        if (!out->empty() && !afterComma)
            return Fail(line->number, "bad hex data: expected \",\" between bytes");
        // A byte is the text up to the next comma, blank, continuation or comment.
        const size_t from = p;
        while (p < s.size() && s[p] != ',' && s[p] != '\\' && s[p] != ';' && !IsBlank(s[p])) ++p;
        int value = 0;
        bool good = p - from >= 1 && p - from <= 2;
        for (size_t i = from; good && i < p; ++i) {
            good = HexDigit(s[i]) >= 0;
            value = value * 16 + HexDigit(s[i]);
        }
        if (!good)
            return Fail(line->number, "bad hex byte \"" +
                                          s.substr(from, std::max<size_t>(p - from, 1)) +
                                          "\": each byte is one or two hex digits");
        out->push_back(static_cast<uint8_t>(value));
        while (p < s.size() && IsBlank(s[p])) ++p;
        afterComma = false;
        if (p < s.size() && s[p] == ',') {
            afterComma = true;
            ++p;
        } else if (p < s.size() && s[p] != '\\' && s[p] != ';') {
            return Fail(line->number, "bad hex data: expected \",\" between bytes");
        }
    }
}

bool Reader::ParseValue(LineSource& source, const TextLine& line) {
    const std::string& s = line.text;
    size_t p = 0;
    while (IsBlank(s[p])) ++p;
    std::string name;
    if (s[p] == '@') {
        ++p;
    } else if (!ParseQuoted(s, p, line.number, &name)) {
        if (diag_.message.rfind("unterminated", 0) == 0)
            diag_.message = "unterminated value name: the closing quote is missing";
        return false;
    }
    while (p < s.size() && IsBlank(s[p])) ++p;
    if (p >= s.size() || s[p] != '=')
        return Fail(line.number, "expected \"=\" after the value name");
    ++p;
    while (p < s.size() && IsBlank(s[p])) ++p;

    // Whether the rest of the line is blank or a ";" comment, which regedit
    // takes after a value ("#" only at the start of a line).
    auto restBlank = [&](size_t from) {
        while (from < s.size() && IsBlank(s[from])) ++from;
        return from == s.size() || s[from] == ';';
    };

    continuation_.number = 0;
    sim::RegValue value;
    value.name = name;  // `name` is read again below
    bool lossy = false;  // whether the data read has characters the code page lacks
    size_t endOffset = line.end;
    bool remove = false;
    if (p < s.size() && s[p] == '-' && restBlank(p + 1)) {
        remove = true;
    } else if (p < s.size() && s[p] == '"') {
        std::string text;
        if (!ParseQuoted(s, p, line.number, &text)) return false;
        if (!restBlank(p))
            return Fail(line.number, "unexpected text after the closing quote of the string");
        value.type = REG_SZ;
        bool exact = true;
        const std::string ansi = Utf8ToAnsi(format_.codePage, text, &exact);
        lossy = !exact;
        value.data.assign(ansi.begin(), ansi.end());
        value.data.push_back(0);
    } else {
        const size_t colon = s.find(':', p);
        if (colon == std::string::npos)
            return Fail(line.number, "unknown value type: expected a string, dword:, hex: or "
                                     "hex(N):");
        const std::string word = UpperAscii(Trim(std::string_view(s).substr(p, colon - p)));
        size_t q = colon + 1;
        if (word == "DWORD") {
            while (q < s.size() && IsBlank(s[q])) ++q;
            uint32_t v = 0;
            int digits = 0;
            while (q < s.size() && HexDigit(s[q]) >= 0) {
                v = v * 16 + static_cast<uint32_t>(HexDigit(s[q]));
                ++digits;
                ++q;
            }
            if (digits == 0 || digits > 8 || !restBlank(q))
                return Fail(line.number, "bad dword: expected 1 to 8 hex digits after \"dword:\"");
            value.type = REG_DWORD;
            value.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        } else if (word == "HEX" || (word.size() > 5 && word.compare(0, 4, "HEX(") == 0 &&
                                     word.back() == ')')) {
            DWORD type = REG_BINARY;
            if (word != "HEX") {
                const std::string digits = word.substr(4, word.size() - 5);
                if (digits.empty() || digits.size() > 8)
                    return Fail(line.number, "bad value type \"" + word +
                                                 "\": hex(N) takes 1 to 8 hex digits");
                type = 0;
                for (char d : digits) {
                    if (HexDigit(d) < 0)
                        return Fail(line.number, "bad value type \"" + word +
                                                     "\": hex(N) takes 1 to 8 hex digits");
                    type = type * 16 + static_cast<DWORD>(HexDigit(d));
                }
            }
            value.type = type;
            if (!ParseHex(source, line, q, &value.data, &endOffset)) return false;
            if (format_.version5 && IsStringType(type)) {
                std::vector<uint8_t> ansi;
                if (!Utf16DataToAnsi(value.data, format_.codePage, &ansi)) lossy = true;
                value.data.swap(ansi);
            }
        } else {
            return Fail(line.number, "unknown value type \"" + s.substr(p, colon - p) +
                                         "\": expected a string, dword:, hex: or hex(N):");
        }
    }

    if (state_ == State::NoKey) return Fail(line.number, "a value before the first key");
    if (state_ == State::DeletedKey) return true;  // regedit ignores values of a deleted key

    // Value names are matched without regard to case, as the registry does.
    auto& values = key_->values;
    sim::RegValue* existing = key_->FindValue(name);
    if (remove) {
        if (existing != nullptr) values.erase(values.begin() + (existing - values.data()));
    } else if (existing != nullptr) {
        existing->type = value.type;
        existing->data = value.data;
    } else if (!lossy && format_.verbatim.empty()) {
        values.push_back(std::move(value));  // the common case: nothing below reads it
        return true;
    } else {
        values.push_back(value);
    }

    if (!lossy && format_.verbatim.empty()) return true;
    const std::string verbatimKey = UpperAscii(sim::KeyPath(*key_)) + "\n" + UpperAscii(name);
    format_.verbatim.erase(verbatimKey);
    if (lossy && !remove) {
        RegFormat::Verbatim v;
        v.type = value.type;
        v.data = value.data;
        // The value's lines as they stand in the file.
        LineSource again(bytes_, line.begin, format_.encoding, format_.codePage);
        TextLine l;
        std::string error;
        while (again.Next(l, &error)) {
            v.lines.push_back(again.Wide(l.begin, l.end));
            if (l.end >= endOffset) break;
        }
        format_.verbatim[verbatimKey] = std::move(v);
    }
    return true;
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
                 RegFormat* format, InputError* diag, const std::function<void(size_t)>& consumed) {
    RegFormat local;
    InputError localDiag;
    Reader reader(bytes, fileName, registry, format ? *format : local, diag ? *diag : localDiag,
                  consumed);
    return reader.Run();
}

}  // namespace image
