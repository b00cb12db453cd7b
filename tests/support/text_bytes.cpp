#include "support/text_bytes.h"

#include "image/text_codec.h"

#include <stdexcept>

namespace support {

std::string Utf16le(const std::string& utf8, bool bom) {
    bool wellFormed = true;
    const std::string text = image::Utf8ToUtf16le(utf8, &wellFormed);
    if (!wellFormed) throw std::invalid_argument("test text is not UTF-8");
    return (bom ? "\xFF\xFE" : "") + text;
}

std::vector<uint8_t> Utf16Bytes(const std::string& text, uint8_t high) {
    std::string wide;
    for (char c : text) image::AppendUtf16le(wide, static_cast<char32_t>(static_cast<uint8_t>(c) | high << 8));
    return TextBytes(wide);
}

std::vector<uint8_t> TextBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace support
