// machine.ini's texts, lines, numbers, attribute words and GUIDs.
#include "imageformat/machine_ini.h"

namespace imageformat {

const char kImageSection[] = "image";
const char kSystemSection[] = "system";
const char kDevicesSection[] = "devices";
const char kWindowsSection[] = "windows";
const char kAttributesSection[] = "attributes";
const char kEndSection[] = "end";
const char kClosingLine[] = "[end]";

const char kPlatformSetting[] = "platform";
const char kMajorSetting[] = "major";
const char kMinorSetting[] = "minor";
const char kBuildSetting[] = "build";
const char kServicePackSetting[] = "service_pack";
const char kWindowsDirectorySetting[] = "windows_directory";
const char kCodePageSetting[] = "codepage";
const char kSetupApiSetting[] = "setupapi";
const char kMissingWord[] = "missing";

const char kRegistryFile[] = "registry.reg";
const char kMachineIniFile[] = "machine.ini";
const char kNotesFile[] = "notes.txt";
const char kUnreadableKeysFile[] = "unreadable-keys.txt";
const char kDriveFolderPrefix[] = "drive_";

namespace {

// The attribute bits with words, in the order they are written (Windows'
// FILE_ATTRIBUTE_* values).
struct AttributeName {
    uint32_t bit;
    const char* word;
};
const AttributeName kAttributeNames[] = {{0x001, "readonly"}, {0x002, "hidden"}, {0x004, "system"},
                                         {0x020, "archive"},  {0x080, "normal"}, {0x100, "temporary"}};
const uint32_t kDirectoryBit = 0x010;

const char kUpperDigits[] = "0123456789ABCDEF";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void AppendHex(std::string& out, uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kUpperDigits[(value >> shift) & 15];
}

// `digits` hex digits of `text` from `at`; false on any other character.
bool ReadHex(const std::string& text, size_t at, size_t digits, uint32_t* value) {
    uint32_t v = 0;
    for (size_t i = at; i < at + digits; ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

}  // namespace

std::string DriveFolder(char driveLetter) { return kDriveFolderPrefix + std::string(1, LowerAscii(driveLetter)); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string TrimBlanks(const char* text, size_t size) {
    size_t begin = 0, end = size;
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return std::string(text + begin, end - begin);
}

const char* Unwritable(const std::string& text) {
    for (const char c : text) {
        if (c == '"') return "it holds a quote character";
        if (c == '\r' || c == '\n' || c == '\0') return "it holds a line break or a NUL";
    }
    return nullptr;
}

bool NeedsQuotes(const std::string& text) {
    if (text.empty() || IsBlank(text[0]) || IsBlank(text[text.size() - 1])) return true;
    if (text[0] == '"' || text[0] == '[' || text[0] == '#') return true;
    return text.find_first_of(";=") != std::string::npos;
}

std::string IniText(const std::string& text) { return NeedsQuotes(text) ? "\"" + text + "\"" : text; }

std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted && (i == 0 || IsBlank(line[i - 1]))) return line.substr(0, i);
    }
    return line;
}

bool Unquote(const std::string& text, std::string* out) {
    if (!text.empty() && text[0] == '"') {
        if (text.size() < 2 || text[text.size() - 1] != '"') return false;
        *out = text.substr(1, text.size() - 2);
        return true;
    }
    *out = text;
    return true;
}

std::string SectionLine(const char* section) { return "[" + std::string(section) + "]"; }

std::string SettingLine(const char* setting, const std::string& value) {
    return std::string(setting) + " = " + IniText(value);
}

std::string QuotedSettingLine(const char* setting, const std::string& value) {
    return std::string(setting) + " = \"" + value + "\"";
}

std::string WrittenFileLine(const std::string& name, uint64_t size) { return name + " = " + DecimalText(size); }

std::string DecimalText(uint64_t value) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::string out;
    while (count > 0) out += digits[--count];
    return out;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (text.size() <= start) return false;
    uint64_t v = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0 || (!hex && d > 9)) return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

std::string AttributeWords(uint32_t attributes) {
    std::string out;
    uint32_t rest = attributes & ~kDirectoryBit;
    for (const AttributeName& a : kAttributeNames) {
        if ((rest & a.bit) == 0) continue;
        if (!out.empty()) out += ' ';
        out += a.word;
        rest &= ~a.bit;
    }
    if (rest != 0) {
        if (!out.empty()) out += ' ';
        out += "0x";
        std::string digits;
        for (; rest != 0; rest >>= 4) digits.insert(digits.begin(), "0123456789abcdef"[rest & 15]);
        out += digits;
    }
    return out.empty() ? "none" : out;
}

bool ParseAttributes(const std::string& words, uint32_t* attributes) {
    uint32_t bits = 0;
    size_t at = 0;
    while (at < words.size()) {
        if (IsBlank(words[at]) || words[at] == ',') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < words.size() && !IsBlank(words[end]) && words[end] != ',') ++end;
        std::string word = words.substr(at, end - at);
        at = end;
        for (char& c : word) c = LowerAscii(c);
        bool known = word == "none";
        for (const AttributeName& a : kAttributeNames) {
            if (word == a.word) {
                bits |= a.bit;
                known = true;
            }
        }
        uint32_t number = 0;
        if (!known && word.compare(0, 2, "0x") == 0 && ParseNumber(word, &number)) {
            bits |= number;
            known = true;
        }
        if (!known) return false;
    }
    *attributes = bits;
    return true;
}

std::string GuidText(const GuidFields& g) {
    std::string out = "{";
    AppendHex(out, g.data1, 8);
    out += '-';
    AppendHex(out, g.data2, 4);
    out += '-';
    AppendHex(out, g.data3, 4);
    out += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) out += '-';
        AppendHex(out, g.data4[i], 2);
    }
    return out + "}";
}

bool ParseGuid(const std::string& text, GuidFields* guid) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return false;
    GuidFields g;
    uint32_t v = 0;
    if (!ReadHex(text, 1, 8, &g.data1) || !ReadHex(text, 10, 4, &v)) return false;
    g.data2 = static_cast<uint16_t>(v);
    if (!ReadHex(text, 15, 4, &v)) return false;
    g.data3 = static_cast<uint16_t>(v);
    static const size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
        g.data4[i] = static_cast<uint8_t>(v);
    }
    *guid = g;
    return true;
}

}  // namespace imageformat
