// Registry values in words: type names, quoted texts, hex bytes.
#include "image/value_text.h"

#include "image/text_codec.h"

#include <cstdio>

namespace image {

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "type %u", static_cast<unsigned>(type));
        return buffer;
    }
    }
}

std::string QuoteText(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string QuoteAnsi(const std::string& ansi, unsigned codePage) {
    return QuoteText(AnsiToUtf8(codePage, ansi));
}

std::string HexBytes(const sim::ValueData& data, size_t limit) {
    std::string out;
    char buffer[4];
    for (size_t i = 0; i < data.size() && i < limit; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
        if (i > 0) out += ',';
        out += buffer;
    }
    return out;
}

std::vector<std::string> MultiStrings(const sim::ValueData& data) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] == 0) {
            if (current.empty()) break;  // the empty string that ends the list
            out.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

namespace {

std::string Bytes(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Whether the strings, each with its zero and the empty string after them,
// are the whole data.
bool IsWholeList(const std::vector<std::string>& strings, const sim::ValueData& data) {
    std::vector<uint8_t> list;
    for (const std::string& s : strings) {
        list.insert(list.end(), s.begin(), s.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list == data;
}

}  // namespace

std::string DescribeValue(const sim::RegValue& value, ValueDetail detail, unsigned codePage) {
    const bool exact = detail == ValueDetail::Exact;
    const std::string type = TypeName(value.type);
    const auto& d = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        std::string text(d.begin(), d.end());
        const size_t zero = text.find('\0');
        const bool clean = !d.empty() && zero == text.size() - 1;
        if (!exact && d.empty()) return type + " \"\" (no data)";
        if (!exact || clean) {
            if (zero != std::string::npos) text.resize(zero);
            return type + " " + QuoteAnsi(text, codePage) + (clean ? "" : " (" + Bytes(d.size()) + ")");
        }
    } else if (value.type == REG_MULTI_SZ) {
        const auto strings = MultiStrings(d);
        if (!exact || IsWholeList(strings, d)) {
            std::string out = type + " [";
            for (size_t i = 0; i < strings.size(); ++i)
                out += (i ? ", " : "") + QuoteAnsi(strings[i], codePage);
            return out + "]";
        }
    } else if (value.type == REG_DWORD && d.size() == 4) {
        const uint32_t v = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, " 0x%08x (%u)", v, v);
        return type + buffer;
    }
    const size_t limit = exact ? d.size() : 32;
    std::string out = type + " " + (d.empty() ? std::string("(no data)") : HexBytes(d, limit));
    if (d.size() > limit) out += ",... (" + Bytes(d.size()) + ")";
    return out;
}

}  // namespace image
