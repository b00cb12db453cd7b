// Byte helpers for the file tests: texts as 16-bit little-endian characters,
// as the system's setup information files hold them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace files_test {

// Each character as its low byte followed by `high` (0 for plain text).
inline std::vector<uint8_t> Wide(const std::string& text, uint8_t high = 0) {
    std::vector<uint8_t> out;
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(high);
    }
    return out;
}

inline std::vector<uint8_t> Narrow(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline const std::vector<uint8_t> kByteOrderMark = {0xFF, 0xFE};

}  // namespace files_test
