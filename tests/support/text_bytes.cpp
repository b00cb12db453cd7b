#include "support/text_bytes.h"

#include "image/text_codec.h"

#include <stdexcept>

namespace support {

std::string Utf16le(const std::string& utf8, bool bom) {
    std::string out = bom ? "\xFF\xFE" : "";
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t cp = 0;
        if (!image::DecodeUtf8(utf8, pos, &cp)) throw std::invalid_argument("test text is not UTF-8");
        image::AppendUtf16le(out, cp);
    }
    return out;
}

std::vector<uint8_t> Utf16Bytes(const std::string& text, uint8_t high) {
    std::vector<uint8_t> out;
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(high);
    }
    return out;
}

std::vector<uint8_t> TextBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace support
