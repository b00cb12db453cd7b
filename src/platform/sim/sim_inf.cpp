// The simulator's INF reader (see sim_inf.h). It keeps no state and touches
// no machine, so that its tests can run it on bytes alone.
#include "platform/sim/sim_inf.h"

#include "platform/sim/sim.h"
#include "platform/sim/sim_code_page.h"

#include <string_view>

namespace sim {

namespace {

// SETUPAPI limits a section name to 255 characters (MAX_SECT_NAME_LEN).
const size_t kMaxSectionName = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

char Narrow(uint32_t codePoint) { return codePoint <= 0xFF ? static_cast<char>(codePoint) : '?'; }

// The text of UTF-16 (after its byte order mark) and UTF-8 (after its
// signature) files as 8-bit characters.
std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::string text;
    for (size_t pos = 2; pos + 1 < bytes.size();) text += Narrow(DecodeUtf16(bytes, pos, bytes.size(), bigEndian));
    return text;
}

std::string FromUtf8(std::string_view bytes) {
    std::string text;
    for (size_t pos = 3; pos < bytes.size();) {
        char32_t codePoint = 0;
        if (DecodeUtf8(bytes, pos, &codePoint)) text += Narrow(codePoint);
        else text += bytes[pos++];  // a stray byte kept as it stands
    }
    return text;
}

// One field while it is read: its characters, and for each whether it came
// from inside quotes (quoted blanks are kept when the field is trimmed).
struct Field {
    std::string chars;
    std::vector<bool> quoted;
    bool hadQuotes = false;

    void Add(char c, bool inQuotes) {
        chars += c;
        quoted.push_back(inQuotes);
    }
    std::string Trimmed() const {
        size_t begin = 0, end = chars.size();
        while (begin < end && !quoted[begin] && IsBlank(chars[begin])) ++begin;
        while (end > begin && !quoted[end - 1] && IsBlank(chars[end - 1])) --end;
        return chars.substr(begin, end - begin);
    }
};

// "%key%" from [Strings]; "%%" is a literal percent; an unknown key stays
// as written, percent signs included.
std::string Substitute(const std::string& text, const InfSection* strings) {
    if (text.find('%') == std::string::npos) return text;
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        const size_t close = text.find('%', i + 1);
        if (close == std::string::npos) {
            out += text.substr(i);
            break;
        }
        if (close == i + 1) {
            out += '%';
        } else {
            const std::string name = text.substr(i + 1, close - i - 1);
            const InfLine* line = strings ? FindInfLine(*strings, name) : nullptr;
            out += line ? InfLineText(*line) : text.substr(i, close - i + 1);
        }
        i = close + 1;
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// A backslash continues the line when nothing but blanks, or blanks and a
// comment, follow it on the line.
bool ContinuesLine(const std::string& line, size_t backslash) {
    for (size_t k = backslash + 1; k < line.size(); ++k) {
        if (line[k] == ';') return true;
        if (!IsBlank(line[k])) return false;
    }
    return true;
}

}  // namespace

std::string DecodeInfText(const std::vector<uint8_t>& bytes) {
    const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)
        text = FromUtf16(view, false);
    else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF)
        text = FromUtf16(view, true);
    else if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        text = FromUtf8(view);
    else
        text.assign(bytes.begin(), bytes.end());
    const size_t end = text.find_first_of(std::string("\0\x1A", 2));
    if (end != std::string::npos) text.resize(end);
    return text;
}

const InfSection* FindInfSection(const std::vector<InfSection>& sections, const std::string& name) {
    for (const InfSection& section : sections)
        if (NamesEqual(section.name, name)) return &section;
    return nullptr;
}

const InfLine* FindInfLine(const InfSection& section, const std::string& key) {
    for (const InfLine& line : section.lines)
        if (line.hasKey && NamesEqual(line.key, key)) return &line;
    return nullptr;
}

std::string InfLineText(const InfLine& line) {
    std::string text;
    for (size_t i = 0; i < line.values.size(); ++i) {
        if (i > 0) text += ',';
        text += line.values[i];
    }
    return text;
}

InfParse ParseInf(const std::vector<uint8_t>& bytes) {
    InfParse result;
    const std::vector<std::string> lines = SplitLines(DecodeInfText(bytes));

    InfSection* section = nullptr;
    bool continuing = false;  // the previous physical line ended in a continuation
    InfLine line;
    Field field;
    std::vector<Field> fields;
    bool sawComma = false;

    auto fail = [&](DWORD error, unsigned lineNumber) {
        result.error = error;
        result.errorLine = lineNumber;
        result.sections.clear();
        return result;
    };

    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& text = lines[n];
        const unsigned lineNumber = static_cast<unsigned>(n + 1);
        size_t i = 0;
        while (i < text.size() && IsBlank(text[i])) ++i;

        if (!continuing) {
            if (i == text.size() || text[i] == ';') continue;  // blank or comment only
            if (text[i] == '[') {
                const size_t close = text.find(']', i + 1);
                if (close == std::string::npos) return fail(ERROR_BAD_SECTION_NAME_LINE, lineNumber);
                Field name;
                for (size_t k = i + 1; k < close; ++k) name.Add(text[k], false);
                const std::string sectionName = name.Trimmed();
                if (sectionName.size() > kMaxSectionName)
                    return fail(ERROR_SECTION_NAME_TOO_LONG, lineNumber);
                // Sections of the same name are one section, their lines in
                // file order, as SETUPAPI merges them.
                section = nullptr;
                for (InfSection& existing : result.sections)
                    if (NamesEqual(existing.name, sectionName)) section = &existing;
                if (section == nullptr) {
                    result.sections.push_back(InfSection{sectionName, {}});
                    section = &result.sections.back();
                }
                continue;  // text after "]" is ignored
            }
            if (section == nullptr) return fail(ERROR_EXPECTED_SECTION_NAME, lineNumber);
            line = InfLine();
            line.sourceLine = lineNumber;
            field = Field();
            fields.clear();
            sawComma = false;
        }
        continuing = false;

        bool inQuotes = false;
        for (; i < text.size(); ++i) {
            const char c = text[i];
            if (inQuotes) {
                if (c != '"') {
                    field.Add(c, true);
                } else if (i + 1 < text.size() && text[i + 1] == '"') {
                    field.Add('"', true);  // "" inside quotes is one quote
                    ++i;
                } else {
                    inQuotes = false;
                }
                continue;
            }
            if (c == ';') break;
            if (c == '"') {
                inQuotes = true;
                field.hadQuotes = true;
            } else if (c == ',') {
                fields.push_back(field);
                field = Field();
                sawComma = true;
            } else if (c == '=' && !line.hasKey && !sawComma) {
                // Only the first "=" before any comma separates the key.
                line.hasKey = true;
                line.key = field.Trimmed();
                field = Field();
            } else if (c == '\\' && ContinuesLine(text, i)) {
                continuing = true;
                break;
            } else {
                field.Add(c, false);
            }
        }
        // A quote left open ends with its line.
        if (continuing && n + 1 < lines.size()) continue;

        // "key =" with nothing after it has no values; any other line has at
        // least one, possibly empty.
        if (!(line.hasKey && fields.empty() && !field.hadQuotes && field.Trimmed().empty()))
            fields.push_back(field);
        for (const Field& f : fields) line.values.push_back(f.Trimmed());
        section->lines.push_back(line);
        continuing = false;
    }

    // The strings themselves are taken as written.
    const InfSection* strings = FindInfSection(result.sections, "Strings");
    for (InfSection& s : result.sections) {
        if (&s == strings) continue;
        for (InfLine& l : s.lines) {
            l.key = Substitute(l.key, strings);
            for (std::string& v : l.values) v = Substitute(v, strings);
        }
    }
    return result;
}

}  // namespace sim
