#include "pe_image.h"

#include <fstream>
#include <iterator>

namespace pe {
namespace {

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    uint8_t U8(uint64_t offset) const { return bytes_[offset]; }
    uint16_t U16(uint64_t offset) const {
        return static_cast<uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
    }
    uint32_t U32(uint64_t offset) const {
        return static_cast<uint32_t>(U16(offset)) | (static_cast<uint32_t>(U16(offset + 2)) << 16);
    }
    // A zero-terminated 8-bit text; false when it runs off the end.
    bool Text(uint64_t offset, std::string& text, size_t limit = 512) const {
        text.clear();
        for (size_t i = 0; i < limit; ++i) {
            if (!Has(offset + i, 1)) return false;
            const char c = static_cast<char>(bytes_[offset + i]);
            if (c == '\0') return true;
            text.push_back(c);
        }
        return false;
    }

private:
    const std::vector<uint8_t>& bytes_;
};

// File offset of an RVA, through the section that holds it (or the headers).
bool RvaToOffset(const Image& image, uint32_t rva, uint32_t& offset) {
    if (rva < image.sizeOfHeaders) {
        offset = rva;
        return true;
    }
    for (const Section& s : image.sections) {
        const uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
            const uint32_t delta = rva - s.virtualAddress;
            if (delta >= s.rawSize) return false;  // in the zero-filled tail: no bytes in the file
            offset = s.rawOffset + delta;
            return true;
        }
    }
    return false;
}

bool ParseImports(const Reader& r, Image& image, std::string& error) {
    const DataDirectory& dir = image.directories[kImportDirectory];
    if (dir.rva == 0) return true;
    uint32_t descriptor = 0;
    if (!RvaToOffset(image, dir.rva, descriptor)) {
        error = "import directory outside the file";
        return false;
    }
    for (int d = 0; d < 256; ++d, descriptor += 20) {
        if (!r.Has(descriptor, 20)) {
            error = "import descriptor outside the file";
            return false;
        }
        const uint32_t lookup = r.U32(descriptor);
        const uint32_t nameRva = r.U32(descriptor + 12);
        const uint32_t iat = r.U32(descriptor + 16);
        if (lookup == 0 && nameRva == 0 && iat == 0) return true;
        uint32_t nameOffset = 0;
        std::string dll;
        if (!RvaToOffset(image, nameRva, nameOffset) || !r.Text(nameOffset, dll)) {
            error = "import DLL name outside the file";
            return false;
        }
        uint32_t thunk = 0;
        if (!RvaToOffset(image, lookup != 0 ? lookup : iat, thunk)) {
            error = "import lookup table of " + dll + " outside the file";
            return false;
        }
        for (int i = 0; i < 65536; ++i, thunk += 4) {
            if (!r.Has(thunk, 4)) {
                error = "import lookup table of " + dll + " runs off the file";
                return false;
            }
            const uint32_t entry = r.U32(thunk);
            if (entry == 0) break;
            Import import;
            import.dll = dll;
            if (entry & 0x80000000u) {
                import.byOrdinal = true;
                import.ordinal = static_cast<uint16_t>(entry & 0xFFFF);
            } else {
                uint32_t hintName = 0;
                if (!RvaToOffset(image, entry, hintName) || !r.Text(hintName + 2, import.function)) {
                    error = "imported name of " + dll + " outside the file";
                    return false;
                }
            }
            image.imports.push_back(import);
        }
    }
    error = "import directory without its terminating entry";
    return false;
}

bool ParseTls(const Reader& r, Image& image, std::string& error) {
    const DataDirectory& dir = image.directories[kTlsDirectory];
    if (dir.rva == 0) return true;
    uint32_t offset = 0;
    if (!RvaToOffset(image, dir.rva, offset) || !r.Has(offset, 24)) {
        error = "TLS directory outside the file";
        return false;
    }
    image.hasTls = true;
    image.tlsAddressOfIndex = r.U32(offset + 8);
    const uint32_t callbacksVa = r.U32(offset + 12);
    if (callbacksVa == 0) return true;
    uint32_t list = 0;
    if (callbacksVa < image.imageBase || !RvaToOffset(image, callbacksVa - image.imageBase, list)) {
        error = "TLS callback list outside the file";
        return false;
    }
    for (int i = 0; i < 64; ++i, list += 4) {
        if (!r.Has(list, 4)) break;
        const uint32_t callback = r.U32(list);
        if (callback == 0) return true;
        image.tlsCallbacks.push_back(callback);
    }
    error = "TLS callback list without its terminating zero";
    return false;
}

// One node of VS_VERSIONINFO: length, value length, type, UTF-16 key, value, children.
void ParseVersionNode(const Reader& r, uint32_t start, uint32_t end, int depth,
                      const std::string& parentKey, Image& image) {
    if (depth > 4 || !r.Has(start, 6)) return;
    const uint16_t length = r.U16(start);
    const uint16_t valueLength = r.U16(start + 2);
    const uint16_t type = r.U16(start + 4);
    if (length < 6 || start + length > end || !r.Has(start, length)) return;
    const uint32_t nodeEnd = start + length;
    std::string key;
    uint32_t p = start + 6;
    while (p + 2 <= nodeEnd && r.U16(p) != 0) {
        const uint16_t c = r.U16(p);
        key.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        p += 2;
    }
    p += 2;
    p = (p + 3) & ~3u;
    const uint32_t valueBytes = type == 1 ? valueLength * 2u : valueLength;
    if (p + valueBytes > nodeEnd) return;
    if (depth == 0 && key == "VS_VERSION_INFO" && valueBytes >= 52 && r.U32(p) == 0xFEEF04BDu) {
        image.hasVersionResource = true;
        image.fileVersionMs = r.U32(p + 8);
        image.fileVersionLs = r.U32(p + 12);
    }
    if (depth == 3 && parentKey != "" && type == 1) {
        std::string text;
        for (uint32_t q = p; q + 2 <= p + valueBytes && r.U16(q) != 0; q += 2) {
            const uint16_t c = r.U16(q);
            text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        image.versionStrings[key] = text;
    }
    p = (p + valueBytes + 3) & ~3u;
    // Only the string tables below StringFileInfo hold texts worth reading.
    if (depth == 1 && key != "StringFileInfo") return;
    while (p + 6 <= nodeEnd) {
        const uint16_t childLength = r.U16(p);
        if (childLength < 6) break;
        ParseVersionNode(r, p, nodeEnd, depth + 1, key, image);
        p = (p + childLength + 3) & ~3u;
    }
}

bool ParseVersionResource(const Reader& r, Image& image) {
    const DataDirectory& dir = image.directories[kResourceDirectory];
    uint32_t root = 0;
    if (dir.rva == 0 || !RvaToOffset(image, dir.rva, root)) return true;
    // Walks type -> name -> language, taking the first entry below RT_VERSION (16).
    uint32_t table = root;
    uint32_t wantedId = 16;
    for (int level = 0; level < 3; ++level) {
        if (!r.Has(table, 16)) return true;
        const uint32_t entries = r.U16(table + 12) + r.U16(table + 14);
        bool found = false;
        for (uint32_t i = 0; i < entries && i < 4096; ++i) {
            const uint32_t entry = table + 16 + 8 * i;
            if (!r.Has(entry, 8)) return true;
            const uint32_t id = r.U32(entry);
            const uint32_t target = r.U32(entry + 4);
            if (level == 0 && id != wantedId) continue;
            found = true;
            if (level < 2) {
                if (!(target & 0x80000000u)) return true;
                table = root + (target & 0x7FFFFFFFu);
            } else {
                if (target & 0x80000000u) return true;
                const uint32_t dataEntry = root + target;
                uint32_t data = 0;
                if (!r.Has(dataEntry, 16) || !RvaToOffset(image, r.U32(dataEntry), data)) return true;
                const uint32_t size = r.U32(dataEntry + 4);
                if (!r.Has(data, size)) return true;
                ParseVersionNode(r, data, data + size, 0, "", image);
            }
            break;
        }
        if (!found) return true;
    }
    return true;
}

}  // namespace

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool Parse(const std::vector<uint8_t>& bytes, Image& image, std::string& error) {
    image = Image();
    const Reader r(bytes);
    if (!r.Has(0, 64) || r.U16(0) != 0x5A4D) {
        error = "no MZ header";
        return false;
    }
    const uint32_t peOffset = r.U32(0x3C);
    if (!r.Has(peOffset, 24) || r.U32(peOffset) != 0x00004550) {
        error = "no PE signature";
        return false;
    }
    const uint32_t coff = peOffset + 4;
    image.machine = r.U16(coff);
    image.numberOfSections = r.U16(coff + 2);
    const uint16_t optionalSize = r.U16(coff + 16);
    image.fileCharacteristics = r.U16(coff + 18);
    const uint32_t opt = coff + 20;
    if (!r.Has(opt, 2)) {
        error = "no optional header";
        return false;
    }
    image.magic = r.U16(opt);
    if (image.magic != 0x10B) {
        error = image.magic == 0x20B ? "a PE32+ (64-bit) image, not PE32" : "unknown optional header magic";
        return false;
    }
    if (optionalSize < 96 || !r.Has(opt, optionalSize)) {
        error = "optional header too short";
        return false;
    }
    image.addressOfEntryPoint = r.U32(opt + 16);
    image.imageBase = r.U32(opt + 28);
    image.sectionAlignment = r.U32(opt + 32);
    image.fileAlignment = r.U32(opt + 36);
    image.majorOsVersion = r.U16(opt + 40);
    image.minorOsVersion = r.U16(opt + 42);
    image.majorSubsystemVersion = r.U16(opt + 48);
    image.minorSubsystemVersion = r.U16(opt + 50);
    image.win32VersionValue = r.U32(opt + 52);
    image.sizeOfImage = r.U32(opt + 56);
    image.sizeOfHeaders = r.U32(opt + 60);
    image.subsystem = r.U16(opt + 68);
    image.dllCharacteristics = r.U16(opt + 70);
    const uint32_t directoryCount = r.U32(opt + 92);
    image.directories.assign(16, DataDirectory());
    for (uint32_t i = 0; i < directoryCount && i < 16 && 96 + 8 * (i + 1) <= optionalSize; ++i) {
        image.directories[i].rva = r.U32(opt + 96 + 8 * i);
        image.directories[i].size = r.U32(opt + 100 + 8 * i);
    }
    const uint32_t sectionTable = opt + optionalSize;
    if (!r.Has(sectionTable, 40ull * image.numberOfSections)) {
        error = "section table outside the file";
        return false;
    }
    for (uint16_t i = 0; i < image.numberOfSections; ++i) {
        const uint32_t s = sectionTable + 40u * i;
        Section section;
        for (int k = 0; k < 8 && r.U8(s + k) != 0; ++k) section.name.push_back(static_cast<char>(r.U8(s + k)));
        section.virtualSize = r.U32(s + 8);
        section.virtualAddress = r.U32(s + 12);
        section.rawSize = r.U32(s + 16);
        section.rawOffset = r.U32(s + 20);
        section.characteristics = r.U32(s + 36);
        if (section.rawSize != 0 && !r.Has(section.rawOffset, section.rawSize)) {
            error = "section " + section.name + " runs off the file";
            return false;
        }
        image.sections.push_back(section);
    }
    if (!ParseImports(r, image, error) || !ParseTls(r, image, error)) return false;
    return ParseVersionResource(r, image);
}

}  // namespace pe
