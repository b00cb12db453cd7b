#include "pe_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace pe {
namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

const Section* SectionOf(const Image& image, uint32_t rva) {
    for (const Section& s : image.sections) {
        const uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span) return &s;
    }
    return nullptr;
}

const uint32_t kSectionCode = 0x20;
const uint32_t kSectionExecute = 0x20000000;

}  // namespace

std::string DllKey(const std::string& dll) {
    std::string key;
    for (char c : dll) key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (key.size() > 4 && key.compare(key.size() - 4, 4, ".DLL") == 0) key.resize(key.size() - 4);
    return key;
}

const std::set<std::string>& AllowedDlls() {
    // Not SETUPAPI: Windows 98's may lack a call, or be missing; its calls
    // are found at run time (src/platform/win32/setupapi.cpp).
    static const std::set<std::string> dlls = {"KERNEL32", "USER32", "ADVAPI32", "SHELL32", "MSVCRT"};
    return dlls;
}

bool LoadAllowList(const std::string& path, AllowList& list, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    list = AllowList();
    std::string line;
    std::string section;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = Trim(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        if (text.front() == '[') {
            if (text.back() != ']') {
                error = path + ":" + std::to_string(number) + ": unterminated section";
                return false;
            }
            section = Trim(text.substr(1, text.size() - 2));
            continue;
        }
        if (section.empty()) {
            error = path + ":" + std::to_string(number) + ": entry before the first section";
            return false;
        }
        std::istringstream words(text);
        std::string name;
        words >> name;
        std::string rest;
        std::getline(words, rest);
        if (section == "msvcrt.dll lacks") {
            list.msvcrtLacks[name] = Trim(rest);
        } else {
            const std::string key = DllKey(section);
            if (AllowedDlls().count(key) == 0) {
                error = path + ":" + std::to_string(number) + ": " + section + " is no allowed DLL";
                return false;
            }
            list.functions[key].insert(name);
        }
    }
    return true;
}

std::vector<std::string> CheckHeaders(const Image& image) {
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) { problems.push_back(text); };

    if (image.machine != 0x14C) problem("machine is " + Hex(image.machine) + ", not i386 (0x14C)");
    if (image.magic != 0x10B) problem("optional header is not PE32");
    if (!(image.fileCharacteristics & 0x0002)) problem("not marked as an executable image");
    if (image.fileCharacteristics & 0x2000) problem("marked as a DLL");
    if (image.subsystem != 2) problem("subsystem is " + std::to_string(image.subsystem) + ", not the GUI subsystem (2)");
    // Windows 95/98 and NT 4 refuse an image that asks for a newer subsystem;
    // 4.0 also gives the 4.0 look to the one message box.
    if (image.majorSubsystemVersion != 4 || image.minorSubsystemVersion != 0)
        problem("subsystem version is " + std::to_string(image.majorSubsystemVersion) + "." +
                std::to_string(image.minorSubsystemVersion) + ", not 4.0");
    if (image.majorOsVersion != 4 || image.minorOsVersion != 0)
        problem("operating system version is " + std::to_string(image.majorOsVersion) + "." +
                std::to_string(image.minorOsVersion) + ", not 4.0");
    // Reserved; the NT loader takes a non-zero value as a version override.
    if (image.win32VersionValue != 0) problem("Win32VersionValue is " + Hex(image.win32VersionValue) + ", not 0");
    // The conventional exe base: the bottom of a Windows 95/98 process's
    // private arena (the lowest 4 MB are reserved there), so that no loader
    // has to relocate the exe.
    if (image.imageBase != 0x400000) problem("image base is " + Hex(image.imageBase) + ", not 0x400000");
    // Windows 95/98 map sections page by page: they need the 4 KB page
    // size as section alignment, which NT does not insist on.
    if (image.sectionAlignment != 0x1000) problem("section alignment is " + Hex(image.sectionAlignment) + ", not 0x1000");
    if (!IsPowerOfTwo(image.fileAlignment) || image.fileAlignment < 0x200 || image.fileAlignment > 0x10000 ||
        image.fileAlignment > image.sectionAlignment)
        problem("file alignment " + Hex(image.fileAlignment) + " is not a power of two from 0x200 to the section alignment");
    if (image.sectionAlignment != 0 && image.sizeOfImage % image.sectionAlignment != 0)
        problem("image size " + Hex(image.sizeOfImage) + " is not a multiple of the section alignment");
    for (const Section& s : image.sections) {
        if (image.sectionAlignment != 0 && s.virtualAddress % image.sectionAlignment != 0)
            problem("section " + s.name + " does not start on a section-alignment boundary");
        if (image.fileAlignment != 0 && s.rawSize != 0 && s.rawOffset % image.fileAlignment != 0)
            problem("section " + s.name + " does not start on a file-alignment boundary in the file");
    }
    const Section* entry = SectionOf(image, image.addressOfEntryPoint);
    if (entry == nullptr || !(entry->characteristics & (kSectionCode | kSectionExecute)))
        problem("entry point " + Hex(image.addressOfEntryPoint) + " is not in a code section");
    // Loaders of Windows 95/98 and NT 4 know neither binding against
    // another system's DLLs nor delay loading nor managed code.
    if (image.directories[kBoundImportDirectory].rva != 0) problem("has bound imports");
    if (image.directories[kDelayImportDirectory].rva != 0) problem("has delay-load imports");
    if (image.directories[kClrDirectory].rva != 0) problem("has a CLR header");
    if (image.directories[kImportDirectory].rva == 0) problem("has no import directory");
    // Windows 95/98 loaders call no TLS callbacks, but they do fill the
    // exe's TLS index slot; mingw's start-up code runs its TLS initializer
    // itself for that reason. Both must lie inside the image.
    if (image.hasTls) {
        if (image.tlsAddressOfIndex < image.imageBase ||
            image.tlsAddressOfIndex - image.imageBase >= image.sizeOfImage)
            problem("TLS index slot " + Hex(image.tlsAddressOfIndex) + " is outside the image");
        for (uint32_t callback : image.tlsCallbacks) {
            const Section* s = callback >= image.imageBase ? SectionOf(image, callback - image.imageBase) : nullptr;
            if (s == nullptr || !(s->characteristics & (kSectionCode | kSectionExecute)))
                problem("TLS callback " + Hex(callback) + " is not in a code section");
        }
    }
    return problems;
}

std::vector<std::string> CheckImports(const Image& image, const AllowList& list) {
    std::vector<std::string> problems;
    for (const Import& import : image.imports) {
        const std::string key = DllKey(import.dll);
        if (AllowedDlls().count(key) == 0) {
            problems.push_back(import.dll + " is not a DLL the program may import from" +
                               (import.byOrdinal ? "" : " (" + import.function + ")"));
            continue;
        }
        // Ordinals of the system DLLs differ between Windows 9x and NT.
        if (import.byOrdinal) {
            problems.push_back(import.dll + " ordinal " + std::to_string(import.ordinal) +
                               " is imported by ordinal, not by name");
            continue;
        }
        if (key == "MSVCRT") {
            const auto lack = list.msvcrtLacks.find(import.function);
            if (lack != list.msvcrtLacks.end()) {
                problems.push_back("msvcrt.dll " + import.function +
                                   ": Windows 98's msvcrt.dll (6.0) lacks it (first in " + lack->second + ")");
                continue;
            }
        }
        const auto allowed = list.functions.find(key);
        if (allowed == list.functions.end() || allowed->second.count(import.function) == 0)
            problems.push_back(import.dll + " " + import.function +
                               " is not on the list of functions that Windows 98 and Windows 2000 both export");
    }
    return problems;
}

}  // namespace pe

namespace pe {

// GNU ld's PE script writes the two lists into the code section, each a
// word of -1, the entries and a word of 0: constructors, then destructors.
// A stripped exe has no symbols to find them by, so they are found by that
// shape, their entries code addresses of the image. C++ destructors of
// static objects are registered with atexit by the constructors, so a
// program without constructors has none of those either.
std::vector<std::string> CheckStaticConstructors(const Image& image, const std::vector<uint8_t>& bytes) {
    auto word = [&bytes](size_t at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    auto inCode = [&image](uint32_t va) {
        const Section* s = va >= image.imageBase ? SectionOf(image, va - image.imageBase) : nullptr;
        return s != nullptr && (s->characteristics & (kSectionCode | kSectionExecute)) != 0;
    };
    // The entries of a list at `at` (a word of -1), and where it ends; false
    // when no list of code addresses stands there.
    auto list = [&](size_t at, size_t end, std::vector<uint32_t>& entries, size_t& next) {
        if (at + 4 > end || word(at) != 0xFFFFFFFFu) return false;
        entries.clear();
        for (size_t p = at + 4; p + 4 <= end; p += 4) {
            const uint32_t value = word(p);
            if (value == 0) {
                next = p + 4;
                return true;
            }
            if (!inCode(value)) return false;
            entries.push_back(value);
        }
        return false;
    };
    std::vector<std::string> problems;
    size_t found = 0;
    for (const Section& s : image.sections) {
        if (!(s.characteristics & (kSectionCode | kSectionExecute))) continue;
        const size_t end = std::min<size_t>(bytes.size(), size_t(s.rawOffset) + s.rawSize);
        for (size_t at = s.rawOffset; at + 16 <= end; ++at) {
            std::vector<uint32_t> constructors, destructors;
            size_t next = 0, last = 0;
            if (!list(at, end, constructors, next) || !list(next, end, destructors, last)) continue;
            ++found;
            for (uint32_t va : constructors)
                problems.push_back("a static constructor at " + Hex(va) +
                                   ": the program's own entry point never runs it");
            for (uint32_t va : destructors)
                problems.push_back("a static destructor at " + Hex(va) + ": the program's own entry point never runs it");
        }
    }
    if (found != 1)
        problems.push_back(std::to_string(found) +
                           " constructor and destructor lists in the code, where the linker writes one");
    return problems;
}

}  // namespace pe
