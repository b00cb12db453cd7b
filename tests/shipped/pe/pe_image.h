// A small reader of 32-bit PE images (PE32, i386): the headers, sections,
// imports, TLS directory and version resource that decide whether old
// Windows loads the shipped exe. It reads a file's bytes and never trusts an
// offset it has not checked against them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pe {

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct Import {
    std::string dll;       // as the import directory names it
    std::string function;  // empty when imported by ordinal
    bool byOrdinal = false;
    uint16_t ordinal = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// Indexes into Image::directories.
enum DirectoryIndex {
    kExportDirectory = 0,
    kImportDirectory = 1,
    kResourceDirectory = 2,
    kTlsDirectory = 9,
    kBoundImportDirectory = 11,
    kDelayImportDirectory = 13,
    kClrDirectory = 14,
};

struct Image {
    // COFF file header
    uint16_t machine = 0;
    uint16_t numberOfSections = 0;
    uint16_t fileCharacteristics = 0;
    // optional header (PE32)
    uint16_t magic = 0;
    uint32_t addressOfEntryPoint = 0;
    uint32_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint16_t majorOsVersion = 0, minorOsVersion = 0;
    uint16_t majorSubsystemVersion = 0, minorSubsystemVersion = 0;
    uint32_t win32VersionValue = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<DataDirectory> directories;  // always 16 entries after parsing
    std::vector<Section> sections;
    std::vector<Import> imports;

    bool hasTls = false;
    uint32_t tlsAddressOfIndex = 0;           // a VA
    std::vector<uint32_t> tlsCallbacks;       // VAs, up to the terminating zero

    bool hasVersionResource = false;
    uint32_t fileVersionMs = 0, fileVersionLs = 0;  // VS_FIXEDFILEINFO
    std::map<std::string, std::string> versionStrings;  // StringFileInfo, ASCII only
};

// Fills `image` from the bytes of a PE32 file. False, with a reason in
// `error`, when the bytes are not a well-formed PE32 image.
bool Parse(const std::vector<uint8_t>& bytes, Image& image, std::string& error);

// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace pe
