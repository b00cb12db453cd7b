// The writer of regedit exports: the simulated registry, or a file built
// line by line, in the format and encoding an export was read in.
#include "image/reg_file.h"

#include "image/reg_syntax.h"
#include "image/text_codec.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace image {

namespace {

// With a file, what is built is written out in parts of about this size.
constexpr size_t kSpillBytes = size_t{1} << 20;
// The longest line end in bytes: CR LF in UTF-16LE.
constexpr size_t kLongestLineEnd = 4;

// The line end the export was read with.
const char* LineEnd(const RegFormat& format) {
    return format.loneCr ? "\r" : format.crlf ? "\r\n" : "\n";
}

// The subkeys that are still there, in the order an export lists them: a
// REGEDIT4 export (the 9x family's) as the registry stores them, a version 5
// export (the NT family's) sorted, as that family enumerates them.
template <class Visit>
void ForEachSubkey(const sim::RegKey& key, bool storedOrder, const Visit& visit) {
    if (storedOrder) {
        for (const sim::RegKey* sub : key.stored)
            if (!sub->deleted) visit(*sub);
    } else {
        for (const auto& sub : key.subkeys)
            if (!sub->deleted) visit(*sub);
    }
}

// `path` is the key's path; the subkeys' paths are built on it and cut back
// (one buffer for the whole walk).
void WriteTree(RegWriter& writer, const sim::RegKey& key, std::string& path, bool storedOrder, size_t depth) {
    writer.Key(path);
    for (const sim::RegValue& value : key.values) writer.Value(path, value);
    if (depth >= kMaxDepth) return;
    const size_t length = path.size();
    ForEachSubkey(key, storedOrder, [&](const sim::RegKey& sub) {
        path += '\\';
        path += sub.name;
        WriteTree(writer, sub, path, storedOrder, depth + 1);
        path.resize(length);
    });
}

// The keys outside every branch, each written with its header as regedit
// exports a key: whole, with its subtree. Only the keys above a branch, which
// regedit's export of that branch leaves implied, are passed through (as are
// the roots, unless a root holds values).
void WriteOutsideBranches(RegWriter& writer, const sim::RegKey& key, const std::string& path,
                          const std::set<std::string>& branches,
                          const std::set<std::string>& aboveBranches, bool storedOrder, size_t depth) {
    const std::string upper = UpperAscii(path);
    if (branches.count(upper) > 0) return;
    if (aboveBranches.count(upper) == 0 && (depth > 0 || !key.values.empty())) {
        std::string treePath = path;
        WriteTree(writer, key, treePath, storedOrder, depth);
        return;
    }
    if (depth >= kMaxDepth) return;
    ForEachSubkey(key, storedOrder, [&](const sim::RegKey& sub) {
        WriteOutsideBranches(writer, sub, path + "\\" + sub.name, branches, aboveBranches,
                             storedOrder, depth + 1);
    });
}

}  // namespace

void AppendRegValue(std::string& out, const sim::RegValue& value, bool version5, const char* lineEnd,
                    unsigned codePage) {
    // The line in UTF-8, as the writer's lines are, by the format's rules.
    const imageformat::TextUnits utf8 = imageformat::TextUnits::Utf8;
    const std::string_view ansi(reinterpret_cast<const char*>(value.data.data()), value.data.size());
    const size_t start = out.size();
    imageformat::AppendValueStart(out, value.name, utf8);
    switch (imageformat::FormOf(value.type, ansi, imageformat::TextUnits::Ansi)) {
    case imageformat::ValueForm::Text: {
        const std::string_view text = ansi.substr(0, ansi.size() - 1);
        if (sim::IsAscii(text)) imageformat::AppendQuoted(out, text, utf8);
        else imageformat::AppendQuoted(out, AnsiToUtf8(codePage, text), utf8);
        return;
    }
    case imageformat::ValueForm::Dword:
        imageformat::AppendValueData(out, start, value.type, ansi, utf8, lineEnd);
        return;
    case imageformat::ValueForm::Hex:
        break;
    }
    const size_t column = imageformat::CharacterCount(std::string_view(out).substr(start), utf8);
    if (version5 && IsStringType(value.type))
        imageformat::AppendHexData(out, value.type, sim::AnsiToUtf16le(codePage, ansi), column, utf8, lineEnd);
    else
        imageformat::AppendHexData(out, value.type, ansi, column, utf8, lineEnd);
}

std::string FormatRegValue(const sim::RegValue& value, bool version5, const char* lineEnd,
                           unsigned codePage) {
    std::string out;
    AppendRegValue(out, value, version5, lineEnd, codePage);
    return out;
}

RegWriter::RegWriter(const RegFormat& format, std::FILE* file) : format_(format), file_(file) {
    if (format_.byteOrderMark) {
        if (format_.encoding == RegEncoding::Utf16le) out_ += imageformat::kUtf16leByteOrderMark;
        if (format_.encoding == RegEncoding::Utf8) out_ += "\xEF\xBB\xBF";
    }
    Line(format_.version5 ? kVersion5 : kRegedit4);
}

void RegWriter::Line(const std::string& utf8) {
    const char* eol = LineEnd(format_);
    switch (format_.encoding) {
    case RegEncoding::Ansi:
        // A name from a REGEDIT4 export converts back to the bytes it was.
        if (sim::IsAscii(utf8)) out_ += utf8;
        else out_ += Utf8ToAnsi(format_.codePage, utf8);
        out_ += eol;
        break;
    case RegEncoding::Utf16le: {
        // Nearly every line is ASCII, widened at once.
        const size_t at = out_.size();
        out_.resize(at + 2 * utf8.size());
        char* wide = &out_[at];
        unsigned char high = 0;
        for (const char c : utf8) {
            high |= static_cast<unsigned char>(c);
            *wide++ = c;
            *wide++ = '\0';
        }
        if (high >= 0x80) {
            // A name may hold a 16-bit unit that pairs with none (the
            // registry keeps any units): it is written back as the unit it
            // was.
            out_.resize(at);
            out_ += Utf8ToUtf16le(utf8);
        }
        for (const char* e = eol; *e; ++e) {
            out_ += *e;
            out_ += '\0';
        }
        break;
    }
    case RegEncoding::Utf8:
        out_ += utf8;
        out_ += eol;
        break;
    }
    SpillWhenFull();
}

// With a file, writes out what is built once it is a part's worth, but its
// last line end, which Finish may take back (a file that ended without one).
void RegWriter::SpillWhenFull() {
    if (file_ == nullptr || out_.size() < kSpillBytes) return;
    const size_t keep = std::min(out_.size(), kLongestLineEnd);
    const size_t size = out_.size() - keep;
    if (std::fwrite(out_.data(), 1, size, file_) != size) failed_ = true;
    out_.erase(0, size);
}

void RegWriter::WideLine(const std::u32string& text) {
    const char* eol = LineEnd(format_);
    for (char32_t cp : text) {
        if (format_.encoding == RegEncoding::Utf16le) {
            AppendUtf16le(out_, cp);
        } else if (format_.encoding == RegEncoding::Utf8) {
            AppendUtf8(out_, cp);
        } else {
            out_ += static_cast<char>(UnicodeToAnsi(format_.codePage, cp));
        }
    }
    for (const char* e = eol; *e; ++e) {
        out_ += *e;
        if (format_.encoding == RegEncoding::Utf16le) out_ += '\0';
    }
    SpillWhenFull();
}

void RegWriter::Key(const std::string& path) {
    Line("");
    line_.clear();
    imageformat::AppendKeyLine(line_, path, imageformat::TextUnits::Utf8);
    Line(line_);
}

void RegWriter::Value(const std::string& keyPath, const sim::RegValue& value) {
    if (!format_.verbatim.empty()) {
        auto found = format_.verbatim.find(UpperAscii(keyPath) + "\n" + UpperAscii(value.name));
        if (found != format_.verbatim.end() && found->second.name == value.name &&
            found->second.type == value.type && found->second.data == value.data) {
            for (const std::u32string& line : found->second.lines) WideLine(line);
            return;
        }
    }
    // Wrapped hex data carries its line ends inside; the writer's encoding
    // applies to them as to any other text.
    line_.clear();
    AppendRegValue(line_, value, format_.version5, LineEnd(format_), format_.codePage);
    Line(line_);
}

void RegWriter::DeleteValue(const std::string& name) {
    line_.clear();
    imageformat::AppendValueStart(line_, name, imageformat::TextUnits::Utf8);
    line_ += '-';
    Line(line_);
}

std::string RegWriter::Finish() {
    for (int i = 0; i < format_.trailingBlankLines; ++i) Line("");
    if (!format_.finalNewline) {
        const size_t eol =
            std::strlen(LineEnd(format_)) * (format_.encoding == RegEncoding::Utf16le ? 2 : 1);
        if (out_.size() >= eol) out_.resize(out_.size() - eol);
    }
    return std::move(out_);
}

bool RegWriter::FinishFile() {
    const std::string rest = Finish();
    if (std::fwrite(rest.data(), 1, rest.size(), file_) != rest.size()) failed_ = true;
    return !failed_;
}

namespace {

void WriteRegistry(RegWriter& writer, const sim::Registry& registry, const RegFormat& format) {
    std::set<std::string> branches, aboveBranches;  // upper-case paths
    for (const std::string& branch : format.branches) {
        const sim::RegKey* key = registry.Find(branch);
        if (key == nullptr || key->deleted) continue;
        const std::string path = sim::KeyPath(*key);
        const std::string upper = UpperAscii(path);
        branches.insert(upper);
        for (size_t slash = upper.rfind('\\'); slash != std::string::npos;
             slash = upper.rfind('\\', slash - 1)) {
            aboveBranches.insert(upper.substr(0, slash));
            if (slash == 0) break;
        }
        std::string treePath = path;
        WriteTree(writer, *key, treePath, !format.version5, 0);
    }
    for (const auto& root : registry.Roots())
        if (root)
            WriteOutsideBranches(writer, *root, root->name, branches, aboveBranches, !format.version5, 0);
}

}  // namespace

std::string WriteRegFile(const sim::Registry& registry, const RegFormat& format) {
    RegWriter writer(format);
    WriteRegistry(writer, registry, format);
    return writer.Finish();
}

bool WriteRegFileTo(const std::string& path, const sim::Registry& registry, const RegFormat& format) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    RegWriter writer(format, file);
    WriteRegistry(writer, registry, format);
    const bool written = writer.FinishFile();
    return std::fclose(file) == 0 && written;
}

}  // namespace image
