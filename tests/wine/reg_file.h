// The registry as the Wine tests see it: a flat, case-insensitive image of
// keys and values, filled from .reg text (the REGEDIT4 files the scenarios
// are written in, and the "Windows Registry Editor Version 5.00" files that
// Wine's regedit /E exports in UTF-16), and compared line by line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace winetest {

enum : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
};

struct RegValue {
    std::string name;  // "" is the unnamed value
    uint32_t type = kRegNone;
    // Text types hold 8-bit text with its terminating zero (UTF-16 data of
    // 5.00 files is narrowed), as the ANSI API reads them.
    std::vector<uint8_t> data;
};

struct RegKey {
    std::string path;                       // full path as first written, root spelled out
    std::map<std::string, RegValue> values;  // by upper-case name
};

class RegImage {
public:
    // Creates the key and every missing key above it.
    RegKey& Create(const std::string& path);
    // Removes the key with everything below it; false when it did not exist.
    bool DeleteTree(const std::string& path);
    void SetValue(const std::string& path, const RegValue& value);
    void DeleteValue(const std::string& path, const std::string& name);
    const RegKey* Find(const std::string& path) const;
    const RegValue* FindValue(const std::string& path, const std::string& name) const;
    // The key and everything below it (empty when the key is absent).
    RegImage Subtree(const std::string& path) const;
    // Every key and value, one readable line each, sorted.
    std::vector<std::string> Lines() const;
    const std::map<std::string, RegKey>& Keys() const { return keys_; }

    // "HKLM\x" -> "HKEY_LOCAL_MACHINE\x"; single backslashes, no trailing one.
    static std::string CanonicalPath(const std::string& path);

private:
    std::map<std::string, RegKey> keys_;  // by upper-case canonical path
};

// Applies .reg text (REGEDIT4, or 5.00 in UTF-16LE with BOM or in UTF-8):
// "[key]" creates, "[-key]" deletes a tree, "name"=- deletes a value.
bool ApplyRegText(const std::vector<uint8_t>& bytes, RegImage& image, std::string& error);
bool ApplyRegText(const std::string& text, RegImage& image, std::string& error);

// Readable form of one value: REG_SZ "text", REG_DWORD 0x..., else hex bytes.
std::string DescribeValue(const RegValue& value);

// Lines present in `expected` and missing in `actual` ("missing  ...") and
// lines present only in `actual` ("unexpected ..."), sorted by line.
std::vector<std::string> Differences(const RegImage& expected, const RegImage& actual);

}  // namespace winetest
