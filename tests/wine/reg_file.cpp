#include "reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace winetest {
namespace {

std::string Upper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-16LE bytes (without BOM) to UTF-8; stops at an odd trailing byte.
std::string Utf16ToUtf8(const uint8_t* bytes, size_t size) {
    std::string out;
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t code = bytes[i] | (bytes[i + 1] << 8);
        if (code >= 0xD800 && code < 0xDC00 && i + 3 < size) {
            const uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, code);
    }
    return out;
}

const struct {
    const char* alias;
    const char* canonical;
} kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE"}, {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKEY_CURRENT_USER", "HKEY_CURRENT_USER"},   {"HKCU", "HKEY_CURRENT_USER"},
    {"HKEY_CLASSES_ROOT", "HKEY_CLASSES_ROOT"},   {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKEY_USERS", "HKEY_USERS"},                 {"HKU", "HKEY_USERS"},
    {"HKEY_CURRENT_CONFIG", "HKEY_CURRENT_CONFIG"}, {"HKCC", "HKEY_CURRENT_CONFIG"},
    {"HKEY_DYN_DATA", "HKEY_DYN_DATA"},
};

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Hex(const std::vector<uint8_t>& data) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", data[i]);
        text += byte;
    }
    return text;
}

// One "name"=data line of a .reg file.
class ValueLine {
public:
    ValueLine(const std::string& line, bool unicode) : line_(line), unicode_(unicode) {}

    bool Parse(std::string& name, bool& isDelete, RegValue& value, std::string& error) {
        if (line_[0] == '@') {
            name.clear();
            pos_ = 1;
        } else if (!QuotedText(name)) {
            error = "bad value name";
            return false;
        }
        SkipBlanks();
        if (pos_ >= line_.size() || line_[pos_] != '=') {
            error = "missing '='";
            return false;
        }
        ++pos_;
        SkipBlanks();
        value.name = name;
        isDelete = false;
        const std::string rest = line_.substr(pos_);
        if (rest == "-") {
            isDelete = true;
            return true;
        }
        if (!rest.empty() && rest[0] == '"') {
            std::string text;
            if (!QuotedText(text)) {
                error = "bad string data";
                return false;
            }
            value.type = kRegSz;
            value.data.assign(text.begin(), text.end());
            value.data.push_back(0);
            return true;
        }
        if (rest.compare(0, 6, "dword:") == 0) {
            const std::string digits = rest.substr(6);
            if (digits.size() != 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                error = "bad dword data";
                return false;
            }
            const uint32_t number = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
            value.type = kRegDword;
            value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                          static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
            return true;
        }
        size_t colon = rest.find(':');
        if (rest.compare(0, 3, "hex") != 0 || colon == std::string::npos) {
            error = "unknown data form";
            return false;
        }
        value.type = kRegBinary;
        if (rest[3] == '(') {
            const size_t close = rest.find(')');
            if (close == std::string::npos || close + 1 != colon) {
                error = "bad hex type";
                return false;
            }
            value.type = static_cast<uint32_t>(std::stoul(rest.substr(4, close - 4), nullptr, 16));
        } else if (colon != 3) {
            error = "bad hex data";
            return false;
        }
        std::vector<uint8_t> bytes;
        std::string digits;
        for (size_t i = colon + 1; i <= rest.size(); ++i) {
            const char c = i < rest.size() ? rest[i] : ',';
            if (c == ',') {
                if (digits.empty()) {
                    if (i < rest.size()) {
                        error = "empty hex byte";
                        return false;
                    }
                    break;
                }
                if (digits.size() > 2 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    error = "bad hex byte";
                    return false;
                }
                bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
                digits.clear();
            } else if (!std::isspace(static_cast<unsigned char>(c))) {
                digits.push_back(c);
            }
        }
        // Text types of a 5.00 file are UTF-16: narrowed like the ANSI API does.
        if (unicode_ && (value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz)) {
            const std::string text = Utf16ToUtf8(bytes.data(), bytes.size());
            bytes.assign(text.begin(), text.end());
        }
        value.data = bytes;
        return true;
    }

private:
    void SkipBlanks() {
        while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
    }

    bool QuotedText(std::string& text) {
        text.clear();
        if (pos_ >= line_.size() || line_[pos_] != '"') return false;
        for (++pos_; pos_ < line_.size(); ++pos_) {
            char c = line_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c == '\\' && pos_ + 1 < line_.size()) {
                c = line_[++pos_];
                if (c == 'n') c = '\n';
                else if (c == 'r') c = '\r';
                else if (c == 't') c = '\t';
                else if (c == '0') c = '\0';
            }
            text.push_back(c);
        }
        return false;
    }

    const std::string& line_;
    bool unicode_;
    size_t pos_ = 0;
};

}  // namespace

std::string RegImage::CanonicalPath(const std::string& path) {
    std::string clean;
    for (char c : path) {
        if (c == '\\' && (clean.empty() || clean.back() == '\\')) continue;
        clean.push_back(c);
    }
    while (!clean.empty() && clean.back() == '\\') clean.pop_back();
    const size_t slash = clean.find('\\');
    const std::string root = Upper(clean.substr(0, slash));
    for (const auto& r : kRoots) {
        if (root == r.alias)
            return std::string(r.canonical) + (slash == std::string::npos ? "" : clean.substr(slash));
    }
    return clean;
}

RegKey& RegImage::Create(const std::string& path) {
    const std::string canonical = CanonicalPath(path);
    const std::string parent = Parent(canonical);
    if (!parent.empty() && keys_.count(Upper(parent)) == 0) Create(parent);
    RegKey& key = keys_[Upper(canonical)];
    if (key.path.empty()) key.path = canonical;
    return key;
}

bool RegImage::DeleteTree(const std::string& path) {
    const std::string upper = Upper(CanonicalPath(path));
    const auto first = keys_.find(upper);
    if (first == keys_.end()) return false;
    const std::string below = upper + "\\";
    auto it = keys_.lower_bound(below);
    while (it != keys_.end() && it->first.compare(0, below.size(), below) == 0) it = keys_.erase(it);
    keys_.erase(upper);
    return true;
}

void RegImage::SetValue(const std::string& path, const RegValue& value) {
    Create(path).values[Upper(value.name)] = value;
}

void RegImage::DeleteValue(const std::string& path, const std::string& name) {
    const auto key = keys_.find(Upper(CanonicalPath(path)));
    if (key != keys_.end()) key->second.values.erase(Upper(name));
}

const RegKey* RegImage::Find(const std::string& path) const {
    const auto key = keys_.find(Upper(CanonicalPath(path)));
    return key == keys_.end() ? nullptr : &key->second;
}

const RegValue* RegImage::FindValue(const std::string& path, const std::string& name) const {
    const RegKey* key = Find(path);
    if (key == nullptr) return nullptr;
    const auto value = key->values.find(Upper(name));
    return value == key->values.end() ? nullptr : &value->second;
}

RegImage RegImage::Subtree(const std::string& path) const {
    RegImage part;
    const std::string upper = Upper(CanonicalPath(path));
    const std::string below = upper + "\\";
    for (auto it = keys_.lower_bound(upper); it != keys_.end(); ++it) {
        if (it->first != upper && it->first.compare(0, below.size(), below) != 0) {
            if (it->first.compare(0, upper.size(), upper) != 0) break;
            continue;  // a sibling whose name merely starts the same
        }
        part.keys_[it->first] = it->second;
    }
    return part;
}

std::string DescribeValue(const RegValue& value) {
    const std::string name = value.name.empty() ? "@" : "\"" + value.name + "\"";
    switch (value.type) {
    case kRegSz:
    case kRegExpandSz: {
        std::string text(value.data.begin(), value.data.end());
        const bool terminated = !text.empty() && text.back() == '\0';
        if (terminated) text.pop_back();
        if (text.find('\0') == std::string::npos)
            return name + " = " + (value.type == kRegSz ? "REG_SZ" : "REG_EXPAND_SZ") + " \"" + text + "\"" +
                   (terminated ? "" : " (unterminated)");
        break;
    }
    case kRegDword:
        if (value.data.size() == 4) {
            char text[32];
            std::snprintf(text, sizeof text, "REG_DWORD 0x%08x",
                          value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                              (static_cast<uint32_t>(value.data[3]) << 24));
            return name + " = " + text;
        }
        break;
    default:
        break;
    }
    return name + " = type " + std::to_string(value.type) + " hex:" + Hex(value.data);
}

std::vector<std::string> RegImage::Lines() const {
    std::vector<std::string> lines;
    for (const auto& entry : keys_) {
        lines.push_back("[" + entry.second.path + "]");
        for (const auto& value : entry.second.values)
            lines.push_back("[" + entry.second.path + "] " + DescribeValue(value.second));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> Differences(const RegImage& expected, const RegImage& actual) {
    // Compared without case in key and value names, with case in the data.
    auto keyed = [](const RegImage& image) {
        std::map<std::string, std::string> lines;
        for (const auto& entry : image.Keys()) {
            lines[entry.first] = "[" + entry.second.path + "]";
            for (const auto& value : entry.second.values)
                lines[entry.first + "|" + value.first + "|" + DescribeValue(value.second)] =
                    "[" + entry.second.path + "] " + DescribeValue(value.second);
        }
        return lines;
    };
    const auto want = keyed(expected);
    const auto have = keyed(actual);
    std::vector<std::string> differences;
    for (const auto& line : want)
        if (have.count(line.first) == 0) differences.push_back("missing    " + line.second);
    for (const auto& line : have)
        if (want.count(line.first) == 0) differences.push_back("unexpected " + line.second);
    return differences;
}

bool ApplyRegText(const std::vector<uint8_t>& bytes, RegImage& image, std::string& error) {
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        text = Utf16ToUtf8(bytes.data() + 2, bytes.size() - 2);
    } else {
        size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
        text.assign(bytes.begin() + static_cast<long>(start), bytes.end());
    }
    return ApplyRegText(text, image, error);
}

bool ApplyRegText(const std::string& text, RegImage& image, std::string& error) {
    // Logical lines: a hex list may continue over lines ending in a backslash.
    std::vector<std::pair<int, std::string>> lines;
    std::string pending;
    int pendingLine = 0;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        line = first == std::string::npos ? "" : line.substr(first);
        if (pending.empty()) pendingLine = number;
        pending += line;
        const bool continued = !pending.empty() && pending.back() == '\\' && pending[0] != '[' &&
                               pending.find("=hex") != std::string::npos;
        if (continued) {
            pending.pop_back();
            continue;
        }
        lines.emplace_back(pendingLine, pending);
        pending.clear();
        if (end == text.size()) break;
    }

    bool unicode = false;
    bool header = false;
    std::string key;
    bool skipKey = false;
    for (const auto& [line, content] : lines) {
        if (content.empty() || content[0] == ';') continue;
        auto fail = [&, line = line](const std::string& what) {
            error = "line " + std::to_string(line) + ": " + what + ": " + content;
            return false;
        };
        if (!header) {
            if (content == "REGEDIT4") unicode = false;
            else if (content == "Windows Registry Editor Version 5.00") unicode = true;
            else return fail("not a .reg header");
            header = true;
            continue;
        }
        if (content[0] == '[') {
            const size_t close = content.rfind(']');
            if (close == std::string::npos) return fail("unterminated key");
            std::string path = content.substr(1, close - 1);
            if (!path.empty() && path[0] == '-') {
                image.DeleteTree(path.substr(1));
                key.clear();
                skipKey = true;
                continue;
            }
            key = RegImage::CanonicalPath(path);
            skipKey = false;
            image.Create(key);
            continue;
        }
        if (key.empty()) {
            if (skipKey) continue;
            return fail("value outside a key");
        }
        std::string name;
        bool isDelete = false;
        RegValue value;
        std::string why;
        ValueLine parser(content, unicode);
        if (!parser.Parse(name, isDelete, value, why)) return fail(why);
        if (isDelete) image.DeleteValue(key, name);
        else image.SetValue(key, value);
    }
    if (!header) {
        error = "empty .reg text";
        return false;
    }
    return true;
}

}  // namespace winetest
