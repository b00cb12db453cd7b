// The writer of regedit exports: the simulated registry, or a file built
// line by line, in the format and encoding an export was read in.
#include "image/reg_file.h"

#include "image/reg_syntax.h"
#include "image/text_codec.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace image {

namespace {

std::vector<uint8_t> AnsiDataToUtf16(const std::vector<uint8_t>& in, unsigned codePage) {
    std::string out;
    out.reserve(in.size() * 2);
    for (uint8_t b : in) AppendUtf16le(out, AnsiToUnicode(codePage, b));
    return std::vector<uint8_t>(out.begin(), out.end());
}

// The line end the export was read with.
const char* LineEnd(const RegFormat& format) {
    return format.loneCr ? "\r" : format.crlf ? "\r\n" : "\n";
}

void AppendHex(std::string& out, uint8_t b) {
    static const char kDigits[] = "0123456789abcdef";
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
}

std::string EscapeQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// A REG_SZ that regedit writes as a quoted string: one terminating zero and
// no other, and no line break inside (which would break the file's lines).
bool IsPlainString(const std::vector<uint8_t>& data) {
    if (data.empty() || data.back() != 0) return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
    return true;
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

void WriteTree(RegWriter& writer, const sim::RegKey& key, const std::string& path, bool storedOrder,
               size_t depth) {
    writer.Key(path);
    for (const sim::RegValue& value : key.values) writer.Value(path, value);
    if (depth >= kMaxDepth) return;
    ForEachSubkey(key, storedOrder, [&](const sim::RegKey& sub) {
        WriteTree(writer, sub, path + "\\" + sub.name, storedOrder, depth + 1);
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
        WriteTree(writer, key, path, storedOrder, depth);
        return;
    }
    if (depth >= kMaxDepth) return;
    ForEachSubkey(key, storedOrder, [&](const sim::RegKey& sub) {
        WriteOutsideBranches(writer, sub, path + "\\" + sub.name, branches, aboveBranches,
                             storedOrder, depth + 1);
    });
}

}  // namespace

std::string FormatRegValue(const sim::RegValue& value, bool version5, const char* lineEnd,
                           unsigned codePage) {
    std::string out = value.name.empty() ? "@=" : EscapeQuoted(value.name) + "=";
    if (value.type == REG_SZ && IsPlainString(value.data)) {
        const std::string_view ansi(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1);
        out += EscapeQuoted(AnsiToUtf8(codePage, ansi));
        return out;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char buffer[16];
        const uint32_t v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                           (static_cast<uint32_t>(value.data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", v);
        return out + buffer;
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(value.type));
        out += buffer;
    }
    const std::vector<uint8_t> data =
        version5 && IsStringType(value.type) ? AnsiDataToUtf16(value.data, codePage) : value.data;
    // regedit breaks the line after the comma that brings it to 77
    // characters or more, and goes on indented by two blanks.
    size_t lineLength = out.size();
    out.reserve(out.size() + data.size() * 3 + data.size() / 25 * 6);
    for (size_t i = 0; i < data.size(); ++i) {
        AppendHex(out, data[i]);
        if (i + 1 == data.size()) break;
        out += ',';
        lineLength += 3;
        if (lineLength >= 77) {
            out += '\\';
            out += lineEnd;
            out += "  ";
            lineLength = 2;
        }
    }
    return out;
}

RegWriter::RegWriter(const RegFormat& format) : format_(format) {
    if (format_.byteOrderMark) {
        if (format_.encoding == RegEncoding::Utf16le) out_ += "\xFF\xFE";
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
    case RegEncoding::Utf16le:
        if (sim::IsAscii(utf8)) {  // nearly every line, widened at once
            const size_t at = out_.size();
            out_.resize(at + 2 * utf8.size());
            char* wide = &out_[at];
            for (const char c : utf8) {
                *wide++ = c;
                *wide++ = '\0';
            }
        } else {
            // A name may hold a 16-bit unit that pairs with none (the
            // registry keeps any units): it is written back as the unit it
            // was.
            out_ += Utf8ToUtf16le(utf8);
        }
        for (const char* e = eol; *e; ++e) {
            out_ += *e;
            out_ += '\0';
        }
        break;
    case RegEncoding::Utf8:
        out_ += utf8;
        out_ += eol;
        break;
    }
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
}

void RegWriter::Key(const std::string& path) {
    Line("");
    Line("[" + path + "]");
}

void RegWriter::Value(const std::string& keyPath, const sim::RegValue& value) {
    if (!format_.verbatim.empty()) {
        auto found = format_.verbatim.find(UpperAscii(keyPath) + "\n" + UpperAscii(value.name));
        if (found != format_.verbatim.end() && found->second.type == value.type &&
            found->second.data == value.data) {
            for (const std::u32string& line : found->second.lines) WideLine(line);
            return;
        }
    }
    // Wrapped hex data carries its line ends inside; the writer's encoding
    // applies to them as to any other text.
    const std::string text =
        FormatRegValue(value, format_.version5, LineEnd(format_), format_.codePage);
    Line(text);
}

void RegWriter::DeleteValue(const std::string& name) {
    Line((name.empty() ? std::string("@") : EscapeQuoted(name)) + "=-");
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

std::string WriteRegFile(const sim::Registry& registry, const RegFormat& format) {
    RegWriter writer(format);
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
        WriteTree(writer, *key, path, !format.version5, 0);
    }
    for (const auto& root : registry.Roots())
        if (root)
            WriteOutsideBranches(writer, *root, root->name, branches, aboveBranches, !format.version5, 0);
    return writer.Finish();
}

}  // namespace image
