// The report as text and as JSON: each change in words, the summary, the
// residue.
#include "dryrun/dry_run.h"

#include "image/text_codec.h"
#include "image/value_text.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace dryrun {

using image::AnsiToUtf8;
using image::DecodeName;
using image::DescribeValue;
using image::HexBytes;
using image::MultiStrings;
using image::QuoteAnsi;
using image::QuoteText;
using image::TypeName;
using image::ValueDetail;

namespace {

// Registry paths are UTF-8 (a UTF-16 unit of a name that pairs with none
// as the reader holds it); file paths come from the host's file names and
// machine.ini (UTF-8) or from the program (ANSI in the machine's code page):
// text that reads as the reader's UTF-8 is shown as it is.
std::string DisplayPath(const std::string& text, unsigned codePage) {
    size_t pos = 0;
    char32_t unit = 0;
    while (pos < text.size())
        if (!DecodeName(text, pos, &unit)) return AnsiToUtf8(codePage, text);
    return text;
}

// Each character of `text` in turn, with its bytes: a code point of UTF-8,
// a UTF-16 unit of a name that pairs with none, or U+FFFD for a byte that
// is neither.
template <class Visit>
void ForEachCharacter(const std::string& text, const Visit& visit) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t from = pos;
        char32_t unit = 0;
        if (DecodeName(text, pos, &unit)) {
            visit(unit, std::string_view(text).substr(from, pos - from));
        } else {
            ++pos;
            visit(U'\uFFFD', std::string_view("\xEF\xBF\xBD"));
        }
    }
}

bool Unpaired(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// "\uD800" (`upper`) or "\ud800".
std::string UnitEscape(char32_t unit, bool upper) {
    char escape[8];
    std::snprintf(escape, sizeof escape, upper ? "\\u%04X" : "\\u%04x", static_cast<unsigned>(unit));
    return escape;
}

// The report for people, UTF-8 throughout: a unit that pairs with none
// shown as "\uD800".
std::string Visible(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    ForEachCharacter(text, [&out](char32_t unit, std::string_view bytes) {
        if (Unpaired(unit)) out += UnitEscape(unit, true);
        else out += bytes;
    });
    return out;
}

// A JSON string as the JSON library writes one (quotes, backslashes and
// control characters escaped), with a unit that pairs with none as "\ud800",
// which the library would not write.
void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    ForEachCharacter(text, [&out](char32_t unit, std::string_view bytes) {
        switch (unit) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (unit < 0x20 || Unpaired(unit)) out += UnitEscape(unit, false);
            else out += bytes;
        }
    });
    out += '"';
}

// A JSON value, indented by two blanks a level as the JSON library's own
// dump indents it.
void AppendJson(std::string& out, const nlohmann::ordered_json& j, size_t depth) {
    if (j.is_string()) {
        AppendJsonString(out, j.get_ref<const std::string&>());
        return;
    }
    if (!j.is_object() && !j.is_array()) {
        out += j.dump();
        return;
    }
    const bool object = j.is_object();
    if (j.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    out += object ? "{\n" : "[\n";
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (it != j.begin()) out += ",\n";
        out.append(2 * (depth + 1), ' ');
        if (object) {
            AppendJsonString(out, it.key());
            out += ": ";
        }
        AppendJson(out, it.value(), depth + 1);
    }
    out += '\n';
    out.append(2 * depth, ' ');
    out += object ? '}' : ']';
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

namespace {

std::string ChangeText(const Change& c, unsigned codePage) {
    const std::string target = DisplayPath(c.target, codePage);
    auto attrs = [](DWORD a) {
        std::string words;
        const DWORD rest = a & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
        static const std::pair<DWORD, const char*> names[] = {
            {FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
            {FILE_ATTRIBUTE_SYSTEM, "system"},     {FILE_ATTRIBUTE_ARCHIVE, "archive"},
            {FILE_ATTRIBUTE_NORMAL, "normal"},     {FILE_ATTRIBUTE_TEMPORARY, "temporary"}};
        for (const auto& n : names)
            if (rest & n.first) words += (words.empty() ? "" : " ") + std::string(n.second);
        return words.empty() ? std::string("no attributes") : words;
    };
    switch (c.kind) {
    case Change::Kind::DeviceRemoved:
        return c.done ? "removed device " + target
                      : "attempted to remove device " + target + ", not done: " + c.reason;
    case Change::Kind::KeyDeleted: {
        if (!c.done) return "attempted to delete key " + target + ", not done: " + c.reason;
        const std::string how = c.byDeviceRemoval ? " with the removed device" : "";
        std::string held = "it held ";
        if (c.values > 0 || c.subkeys == 0) held += Plural(c.values, "value", "values");
        if (c.values > 0 && c.subkeys > 0) held += " and ";
        if (c.subkeys > 0) held += Plural(c.subkeys, "subkey", "subkeys");
        if (c.keysBelow > c.subkeys || c.valuesBelow > 0)
            held += "; below it " + Plural(c.keysBelow, "key", "keys") + " with " +
                    Plural(c.valuesBelow, "value", "values");
        return "deleted key " + target + how + " (" + held + ")";
    }
    case Change::Kind::ValueSet: {
        const std::string name =
            c.valueName.empty() ? std::string("(default)") : QuoteText(c.valueName);
        auto describe = [codePage](const std::optional<sim::RegValue>& v) {
            return v ? DescribeValue(*v, ValueDetail::Brief, codePage) : std::string("(no value)");
        };
        const std::string change = describe(c.oldValue) + " -> " + describe(c.newValue);
        if (!c.done) return "attempted to set value " + name + " of " + target + ", not done: " + c.reason;
        return "set value " + name + " of " + target + ": " + change;
    }
    case Change::Kind::FileDeleted: {
        if (!c.done) {
            std::string text = "attempted to delete file " + target + ", not done: " + c.reason;
            if (c.attributesChanged)
                text += "; its attributes went from " + attrs(c.oldAttributes) + " to " +
                        attrs(c.newAttributes);
            return text;
        }
        return "deleted file " + target + " (" + Plural(c.oldSize, "byte", "bytes") + ", " +
               attrs(c.oldAttributes) + ")";
    }
    case Change::Kind::FileRewritten: {
        if (!c.done) return "attempted to rewrite file " + target + ", not done: " + c.reason;
        std::string text = "rewrote file " + target + " (" + std::to_string(c.oldSize) + " -> " +
                           Plural(c.newSize, "byte", "bytes");
        if (c.oldSize == c.newSize && !c.attributesChanged) text += ", the same content";
        text += ")";
        if (c.attributesChanged)
            text += "; attributes " + attrs(c.oldAttributes) + " -> " + attrs(c.newAttributes);
        return text;
    }
    case Change::Kind::FileCreated:
        return "created file " + target + " (" + Plural(c.newSize, "byte", "bytes") + ")";
    case Change::Kind::FileAttributes:
        return "changed the attributes of file " + target + ": " + attrs(c.oldAttributes) + " -> " +
               attrs(c.newAttributes);
    case Change::Kind::MessageBox:
        return "showed the message box " + QuoteAnsi(c.caption, codePage) + ": " +
               QuoteAnsi(c.target, codePage) + " (answered " + c.answer + ")";
    case Change::Kind::ProgramStarted:
        return (c.done ? "started the program " : "attempted to start the program ") + target +
               " " + AnsiToUtf8(codePage, c.parameters) + (c.done ? "" : ", not done: " + c.reason);
    case Change::Kind::WindowClosed:
        return (c.done ? "sent WM_CLOSE to the window " : "attempted to send WM_CLOSE to the window ") +
               QuoteAnsi(c.target, codePage) + (c.done ? "" : ", not done: " + c.reason);
    }
    return "";
}

const char* KindName(Change::Kind kind) {
    switch (kind) {
    case Change::Kind::DeviceRemoved: return "device_removed";
    case Change::Kind::KeyDeleted: return "key_deleted";
    case Change::Kind::ValueSet: return "value_set";
    case Change::Kind::FileDeleted: return "file_deleted";
    case Change::Kind::FileRewritten: return "file_rewritten";
    case Change::Kind::FileCreated: return "file_created";
    case Change::Kind::FileAttributes: return "file_attributes";
    case Change::Kind::MessageBox: return "message_box";
    case Change::Kind::ProgramStarted: return "program_started";
    case Change::Kind::WindowClosed: return "window_closed";
    }
    return "";
}

std::string SummaryText(const Summary& s) {
    std::string out = "Summary: " + Plural(s.devicesRemoved, "device", "devices") + " removed, " +
                      Plural(s.keysDeleted, "key", "keys") + " deleted";
    if (s.keysInside > 0)
        out += " (holding " + Plural(s.keysInside, "subkey", "subkeys") + " and " +
               Plural(s.valuesInside, "value", "values") + ")";
    else if (s.valuesInside > 0)
        out += " (holding " + Plural(s.valuesInside, "value", "values") + ")";
    out += ", " + Plural(s.valuesSet, "value", "values") + " set, " +
           Plural(s.filesDeleted, "file", "files") + " deleted, " +
           Plural(s.filesRewritten, "file", "files") + " rewritten";
    if (s.filesCreated) out += ", " + Plural(s.filesCreated, "file", "files") + " created";
    if (s.attributeChanges)
        out += ", " + Plural(s.attributeChanges, "file", "files") + " with changed attributes";
    out += ", " + Plural(s.messageBoxes, "message box", "message boxes") + " shown, " +
           Plural(s.programsStarted, "program", "programs") + " started, " +
           Plural(s.windowsClosed, "window", "windows") + " sent WM_CLOSE. Not done: " +
           Plural(s.refused, "change", "changes") + " refused, " +
           Plural(s.absent, "attempt", "attempts") + " that found nothing to change.";
    return out;
}

nlohmann::ordered_json ValueJson(const sim::RegValue& v, unsigned codePage) {
    nlohmann::ordered_json j;
    j["type"] = TypeName(v.type);
    j["size"] = v.data.size();
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
        std::string text(v.data.begin(), v.data.end());
        const size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
        j["text"] = AnsiToUtf8(codePage, text);
    } else if (v.type == REG_MULTI_SZ) {
        j["strings"] = nlohmann::ordered_json::array();
        for (const std::string& s : MultiStrings(v.data)) j["strings"].push_back(AnsiToUtf8(codePage, s));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        j["dword"] = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
    } else {
        j["hex"] = HexBytes(v.data, v.data.size());
    }
    return j;
}

}  // namespace

std::string ReportText(const Report& r) {
    std::string out;
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u", static_cast<unsigned>(r.majorVersion),
                  static_cast<unsigned>(r.minorVersion));
    out += "Dry run of " + r.image + "\n";
    out += "System: " + (r.systemName.empty() ? std::string("(not identified)") : r.systemName) +
           " (platform " + std::to_string(r.platformId) + ", version " + version +
           ", service pack " + QuoteAnsi(r.servicePack, r.codePage) + "), Windows directory " +
           DisplayPath(r.windowsDirectory, r.codePage) + "\n";
    out += "The image was only read: the uninstaller ran on a simulated copy of the machine.\n\n";
    if (!r.imageNotes.empty()) {
        out += "The image lacks what its collector could not read (notes.txt); the report cannot "
               "tell what the uninstaller would do there:\n";
        for (const std::string& note : r.imageNotes) out += "  " + AnsiToUtf8(r.codePage, note) + "\n";
        out += "\n";
    }
    if (!r.skippedLines.empty()) {
        out += "Lines of the registry export that regedit skips, and so did the dry run; the machine "
               "lacks what they hold:\n";
        for (const image::InputError& line : r.skippedLines) out += "  " + line.Text() + "\n";
        out += "\n";
    }
    out += "What the uninstaller did, in order:\n";
    size_t n = 0;
    for (const Change& c : r.changes) {
        char number[16];
        std::snprintf(number, sizeof number, "%4zu. ", ++n);
        out += number + ChangeText(c, r.codePage) + "\n";
    }
    if (r.changes.empty()) out += "  nothing\n";
    out += "\n" + SummaryText(r.summary) + "\n";
    if (r.exitCode != 0) out += "The program returned " + std::to_string(r.exitCode) + ", not 0.\n";
    out += "\n";
    if (r.residue.empty()) {
        out += "Residue: nothing on the machine names the package any more.\n";
    } else {
        out += "Residue: " + Plural(r.residue.size(), "item still names", "items still name") +
               " the package after the run:\n";
        for (const Residue& x : r.residue) {
            std::string what = x.kind + " " + DisplayPath(x.path, r.codePage);
            if (x.kind == "value")
                what = "value " + (x.name.empty() ? std::string("(default)") : QuoteText(x.name)) +
                       " of " + DisplayPath(x.path, r.codePage);
            out += "  " + what + " (" + AnsiToUtf8(r.codePage, x.marker) + " in its " + x.where + "): " +
                   x.note + "\n";
        }
    }
    return Visible(out);
}

std::string ReportJson(const Report& r) {
    nlohmann::ordered_json j;
    j["image"] = r.image;
    j["system"] = {{"name", r.systemName},
                   {"platform", r.platformId},
                   {"major", r.majorVersion},
                   {"minor", r.minorVersion},
                   {"service_pack", AnsiToUtf8(r.codePage, r.servicePack)},
                   {"windows_directory", DisplayPath(r.windowsDirectory, r.codePage)}};
    if (!r.imageNotes.empty()) {
        j["image_notes"] = nlohmann::ordered_json::array();
        for (const std::string& note : r.imageNotes) j["image_notes"].push_back(AnsiToUtf8(r.codePage, note));
    }
    if (!r.skippedLines.empty()) {
        j["skipped_lines"] = nlohmann::ordered_json::array();
        for (const image::InputError& line : r.skippedLines)
            j["skipped_lines"].push_back({{"file", line.file}, {"line", line.line}, {"what", line.message}});
    }
    j["exit_code"] = r.exitCode;
    j["changes"] = nlohmann::ordered_json::array();
    for (const Change& c : r.changes) {
        nlohmann::ordered_json e;
        e["kind"] = KindName(c.kind);
        e["done"] = c.done;
        e["target"] = DisplayPath(c.target, r.codePage);
        if (!c.done) e["reason"] = c.reason;
        switch (c.kind) {
        case Change::Kind::KeyDeleted:
            if (c.byDeviceRemoval) e["by_device_removal"] = true;
            e["values"] = c.values;
            e["subkeys"] = c.subkeys;
            e["keys_below"] = c.keysBelow;
            e["values_below"] = c.valuesBelow;
            break;
        case Change::Kind::ValueSet:
            e["name"] = c.valueName;
            e["old"] = c.oldValue ? ValueJson(*c.oldValue, r.codePage) : nlohmann::ordered_json();
            e["new"] = c.newValue ? ValueJson(*c.newValue, r.codePage) : nlohmann::ordered_json();
            break;
        case Change::Kind::FileDeleted:
        case Change::Kind::FileRewritten:
        case Change::Kind::FileCreated:
        case Change::Kind::FileAttributes:
            e["old_size"] = c.oldSize;
            e["new_size"] = c.newSize;
            e["old_attributes"] = c.oldAttributes;
            e["new_attributes"] = c.newAttributes;
            break;
        case Change::Kind::MessageBox:
            e["caption"] = AnsiToUtf8(r.codePage, c.caption);
            e["answer"] = c.answer;
            break;
        case Change::Kind::ProgramStarted:
            e["parameters"] = AnsiToUtf8(r.codePage, c.parameters);
            break;
        default:
            break;
        }
        j["changes"].push_back(e);
    }
    const Summary& s = r.summary;
    j["summary"] = {{"devices_removed", s.devicesRemoved}, {"keys_deleted", s.keysDeleted},
                    {"subkeys_deleted_with_them", s.keysInside},
                    {"values_deleted_with_them", s.valuesInside},
                    {"values_set", s.valuesSet},           {"files_deleted", s.filesDeleted},
                    {"files_rewritten", s.filesRewritten}, {"files_created", s.filesCreated},
                    {"attribute_changes", s.attributeChanges},
                    {"message_boxes", s.messageBoxes},     {"programs_started", s.programsStarted},
                    {"windows_closed", s.windowsClosed},   {"refused", s.refused},
                    {"found_nothing", s.absent}};
    j["markers"] = nlohmann::ordered_json::array();
    for (const std::string& m : r.markers) j["markers"].push_back(AnsiToUtf8(r.codePage, m));
    j["residue"] = nlohmann::ordered_json::array();
    for (const Residue& x : r.residue) {
        nlohmann::ordered_json e;
        e["kind"] = x.kind;
        e["path"] = DisplayPath(x.path, r.codePage);
        if (x.kind == "value") e["name"] = x.name;
        e["marker"] = AnsiToUtf8(r.codePage, x.marker);
        e["in"] = x.where;
        e["note"] = x.note;
        j["residue"].push_back(e);
    }
    // Texts from the image are converted to UTF-8 above; host file names may
    // still hold bytes that are not UTF-8, which are written as U+FFFD.
    std::string out;
    AppendJson(out, j, 0);
    return out + "\n";
}

}  // namespace dryrun
