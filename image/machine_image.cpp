// Machine images: machine.ini read and written, image folders loaded from
// and saved to the host.
#include "image/machine_image.h"

#include "image/text_codec.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace image {

namespace fs = std::filesystem;

namespace {

struct AttributeName {
    DWORD bit;
    const char* word;
};
const AttributeName kAttributeNames[] = {
    {FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
    {FILE_ATTRIBUTE_SYSTEM, "system"},     {FILE_ATTRIBUTE_ARCHIVE, "archive"},
    {FILE_ATTRIBUTE_NORMAL, "normal"},     {FILE_ATTRIBUTE_TEMPORARY, "temporary"}};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The line without a comment: ";" at the start, or after a blank outside quotes.
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted && (i == 0 || IsBlank(line[i - 1]))) return line.substr(0, i);
    }
    return line;
}

// A text that may be quoted to keep blanks at its ends.
bool Unquote(const std::string& text, std::string* out) {
    if (!text.empty() && text.front() == '"') {
        if (text.size() < 2 || text.back() != '"') return false;
        *out = text.substr(1, text.size() - 2);
        return true;
    }
    *out = text;
    return true;
}

// machine.ini has no escape for a quote: a text that held one would be
// written back with a different meaning (a later " ;" would start a comment
// once the text is enclosed in quotes), so a text holds none.
const char kQuoteInside[] = "a quote inside a text; machine.ini texts cannot hold one";

bool NeedsQuotes(const std::string& text) {
    return text.empty() || IsBlank(text.front()) || IsBlank(text.back()) || text.front() == '"' ||
           text.find(';') != std::string::npos || text.find('=') != std::string::npos;
}

std::string Quoted(const std::string& text) { return NeedsQuotes(text) ? "\"" + text + "\"" : text; }

bool ParseNumber(const std::string& text, DWORD* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0' || v > 0xFFFFFFFFull || text[0] == '-')
        return false;
    *value = static_cast<DWORD>(v);
    return true;
}

// What a file and a folder get when they come from the host.
DWORD DefaultAttributes(bool directory) {
    sim::FileSystem probe;
    if (directory) {
        probe.AddDirectory("C:\\D");
        return probe.Find("C:\\D")->attributes;
    }
    probe.AddFile("C:\\F", std::string());
    return probe.Find("C:\\F")->attributes;
}

}  // namespace

bool ParseAttributes(const std::string& words, DWORD* attributes) {
    DWORD bits = 0;
    std::string word;
    std::istringstream in(words);
    while (in >> word) {
        while (!word.empty() && word.back() == ',') word.pop_back();
        if (word.empty()) continue;
        const std::string lower = LowerAscii(word);
        bool known = lower == "none";
        for (const AttributeName& a : kAttributeNames) {
            if (lower == a.word) {
                bits |= a.bit;
                known = true;
            }
        }
        DWORD number = 0;
        if (!known && lower.rfind("0x", 0) == 0 && ParseNumber(lower, &number)) {
            bits |= number;
            known = true;
        }
        if (!known) return false;
    }
    *attributes = bits;
    return true;
}

std::string AttributeWords(DWORD attributes) {
    std::string out;
    DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
    for (const AttributeName& a : kAttributeNames) {
        if (rest & a.bit) {
            if (!out.empty()) out += ' ';
            out += a.word;
            rest &= ~a.bit;
        }
    }
    if (rest != 0) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(rest));
        if (!out.empty()) out += ' ';
        out += buffer;
    }
    return out.empty() ? "none" : out;
}

bool ReadMachineIni(const std::string& text, const std::string& fileName, sim::Machine& machine,
                    InputError* diag) {
    auto fail = [&](int line, const std::string& message) {
        if (diag != nullptr) {
            diag->file = fileName;
            diag->line = line;
            diag->message = message;
        }
        return false;
    };
    enum class Section { None, System, Devices, Windows, Attributes } section = Section::None;
    std::set<std::string> seen;
    std::set<std::string> sections;
    machine.devices.clear();
    machine.windowTitles.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (number == 1 && raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        if (raw.find('\0') != std::string::npos)
            return fail(number, "a zero byte in the line; machine.ini is a text file");
        const std::string line = Trim(StripComment(raw));
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail(number, "a section line without its closing \"]\"");
            const std::string name = LowerAscii(Trim(line.substr(1, line.size() - 2)));
            if (name == "system") section = Section::System;
            else if (name == "devices") section = Section::Devices;
            else if (name == "windows") section = Section::Windows;
            else if (name == "attributes") section = Section::Attributes;
            else
                return fail(number, "unknown section [" + name +
                                        "]; expected [system], [devices], [windows] or [attributes]");
            if (!sections.insert(name).second)
                return fail(number, "section [" + name + "] appears twice");
            continue;
        }
        const size_t eq = line.find('=');
        switch (section) {
        case Section::None:
            return fail(number, "a line before the first section");
        case Section::System: {
            if (eq == std::string::npos) return fail(number, "expected \"name = value\"");
            const std::string key = LowerAscii(Trim(line.substr(0, eq)));
            std::string value;
            if (!Unquote(Trim(line.substr(eq + 1)), &value))
                return fail(number, "a quoted value without its closing quote");
            if (value.find('"') != std::string::npos) return fail(number, kQuoteInside);
            if (!seen.insert(key).second) return fail(number, "\"" + key + "\" is given twice");
            DWORD n = 0;
            if (key == "platform" || key == "major" || key == "minor" || key == "build") {
                if (!ParseNumber(value, &n))
                    return fail(number, "\"" + key + "\" takes a number, not \"" + value + "\"");
                if (key == "platform") {
                    machine.platformId = n;
                } else if (key == "major") {
                    machine.majorVersion = n;
                } else if (key == "minor") {
                    machine.minorVersion = n;
                } else {
                    machine.buildNumber = n;
                }
            } else if (key == "service_pack") {
                if (value.size() > 127)
                    return fail(number, "a service pack text longer than the 127 characters "
                                        "Windows reports");
                machine.csdVersion = value;
            } else if (key == "codepage") {
                if (!ParseNumber(value, &n))
                    return fail(number, "\"codepage\" takes a number, not \"" + value + "\"");
                if (n == 932 || n == 936 || n == 949 || n == 950)
                    return fail(number, "code page " + value + " is a double-byte code page, which "
                                        "the simulated machine does not have; it has 874 and "
                                        "1250 to 1258");
                if (!sim::IsKnownCodePage(n))
                    return fail(number, "code page " + value + " is no ANSI code page of Windows the "
                                        "simulated machine has; it has 874 and 1250 to 1258");
                machine.codePage = n;
            } else if (key == "windows_directory") {
                if (sim::FileSystem::Normalize(value).empty())
                    return fail(number, "windows_directory is not an absolute Windows path: \"" +
                                            value + "\"");
                machine.windowsDirectory = value;
            } else {
                return fail(number, "unknown setting \"" + key +
                                        "\"; [system] takes platform, major, minor, build, "
                                        "service_pack, windows_directory and codepage");
            }
            break;
        }
        case Section::Devices: {
            sim::Device device;
            device.instanceId = Trim(line.substr(0, eq));
            if (device.instanceId.empty()) return fail(number, "a device line without an instance id");
            if (device.instanceId.find('"') != std::string::npos) return fail(number, kQuoteInside);
            if (eq != std::string::npos) {
                std::string rest = Trim(line.substr(eq + 1));
                if (!rest.empty() && rest[0] == '{') {
                    const size_t close = rest.find('}');
                    if (close == std::string::npos)
                        return fail(number, "a class GUID without its closing \"}\"");
                    const auto guid = sim::ParseGuid(rest.substr(0, close + 1));
                    if (!guid)
                        return fail(number, "bad class GUID \"" + rest.substr(0, close + 1) +
                                                "\"; expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
                    device.classGuid = *guid;
                    rest = Trim(rest.substr(close + 1));
                }
                if (!rest.empty()) {
                    if (rest[0] != ',')
                        return fail(number, "expected \"= {class GUID}, description\" after the "
                                            "instance id");
                    std::string description;
                    if (!Unquote(Trim(rest.substr(1)), &description))
                        return fail(number, "a quoted description without its closing quote");
                    if (description.find('"') != std::string::npos) return fail(number, kQuoteInside);
                    device.description = description;
                }
            }
            machine.devices.push_back(device);
            break;
        }
        case Section::Windows: {
            std::string title;
            if (!Unquote(line, &title)) return fail(number, "a quoted title without its closing quote");
            if (title.find('"') != std::string::npos) return fail(number, kQuoteInside);
            machine.windowTitles.push_back(title);
            break;
        }
        case Section::Attributes: {
            if (eq == std::string::npos) return fail(number, "expected \"PATH = attributes\"");
            const std::string path = Trim(line.substr(0, eq));
            DWORD attributes = 0;
            if (!ParseAttributes(line.substr(eq + 1), &attributes))
                return fail(number, "unknown attribute in \"" + Trim(line.substr(eq + 1)) +
                                        "\"; expected readonly, hidden, system, archive, normal, "
                                        "temporary, none or a 0x number");
            sim::FileEntry* entry = machine.files.Find(path);
            if (entry == nullptr) return fail(number, "\"" + path + "\" names no file in the image");
            entry->attributes =
                entry->directory ? (attributes | FILE_ATTRIBUTE_DIRECTORY) : attributes;
            break;
        }
        }
    }
    for (const char* required : {"platform", "major", "minor", "windows_directory"})
        if (seen.count(required) == 0)
            return fail(0, std::string("[system] must give \"") + required + "\"");
    return true;
}

std::string WriteMachineIni(const sim::Machine& machine) {
    std::ostringstream out;
    out << "; A machine image (registry.reg, drive_c/ ...) written by zavuninst-sim.\n"
        << "[system]\n"
        << "platform = " << machine.platformId << "\n"
        << "major = " << machine.majorVersion << "\n"
        << "minor = " << machine.minorVersion << "\n"
        << "build = " << machine.buildNumber << "\n"
        << "service_pack = \"" << machine.csdVersion << "\"\n"
        << "windows_directory = " << machine.windowsDirectory << "\n";
    if (machine.codePage != sim::kDefaultCodePage) out << "codepage = " << machine.codePage << "\n";
    out << "\n[devices]\n";
    for (const sim::Device& d : machine.devices) {
        out << d.instanceId;
        if (d.classGuid || d.description) {
            out << " =";
            if (d.classGuid) out << " " << sim::GuidText(*d.classGuid);
            if (d.description) out << ", " << Quoted(*d.description);
        }
        out << "\n";
    }
    out << "\n[windows]\n";
    for (const std::string& title : machine.windowTitles) out << Quoted(title) << "\n";
    out << "\n[attributes]\n";
    const DWORD fileDefault = DefaultAttributes(false);
    const DWORD folderDefault = DefaultAttributes(true);
    for (const sim::FileEntry* e : machine.files.Entries()) {
        if (e->attributes != (e->directory ? folderDefault : fileDefault))
            out << e->path << " = " << AttributeWords(e->attributes) << "\n";
    }
    return out.str();
}

namespace {

// A registry export mapped read-only, so that the pages the reader is done
// with can be given back as it goes: a large export is then not held whole
// beside the registry built from it. (Private file pages that are dropped are
// read again from the file should they be touched.)
class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        struct stat st;
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
        size_ = static_cast<size_t>(st.st_size);
        if (size_ > 0) {
            void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
            if (p == MAP_FAILED) return;
            data_ = static_cast<const char*>(p);
        }
        mapped_ = true;
    }
    ~MappedFile() {
        if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
        if (fd_ >= 0) close(fd_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool Mapped() const { return mapped_; }
    std::string_view View() const { return data_ != nullptr ? std::string_view(data_, size_) : ""; }
    // Gives back the whole pages below `upTo`.
    void Release(size_t upTo) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t end = std::min(upTo, size_) / page * page;
        if (data_ != nullptr && end > 0) madvise(const_cast<char*>(data_), end, MADV_DONTNEED);
    }

private:
    int fd_ = -1;
    const char* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace

bool LoadImage(const std::string& folder, MachineImage* image, InputError* diag) {
    auto fail = [&](const std::string& file, const std::string& message) {
        diag->file = file;
        diag->line = 0;
        diag->message = message;
        return false;
    };
    std::error_code ec;
    if (!fs::exists(folder, ec)) return fail(folder, "no such image folder");
    if (!fs::is_directory(folder, ec)) return fail(folder, "not a folder; an image is a folder "
                                                           "with registry.reg, machine.ini and drive_c/");
    const std::string iniPath = (fs::path(folder) / "machine.ini").string();
    const std::string regPath = (fs::path(folder) / "registry.reg").string();
    std::string iniText, regBytes;
    if (!fs::is_regular_file(regPath, ec))
        return fail(regPath, "missing or unreadable; an image holds the registry as registry.reg");
    MappedFile mapped(regPath);
    if (!mapped.Mapped() && !ReadHostFile(regPath, &regBytes))
        return fail(regPath, "missing or unreadable; an image holds the registry as registry.reg");
    if (!fs::is_regular_file(iniPath, ec) || !ReadHostFile(iniPath, &iniText))
        return fail(iniPath, "missing or unreadable; an image describes its system in machine.ini");

    sim::Machine& m = image->machine;
    std::string error;
    if (!LoadFromHost(m.files, folder, &error)) return fail(folder, error);
    if (!ReadMachineIni(iniText, iniPath, m, diag)) return false;
    image->registryFormat.codePage = m.codePage;
    if (mapped.Mapped()) {
        if (!ReadRegFile(mapped.View(), regPath, m.registry, &image->registryFormat, diag,
                         &image->skippedLines, [&mapped](size_t done) { mapped.Release(done); }))
            return false;
    } else if (!ReadRegFile(regBytes, regPath, m.registry, &image->registryFormat, diag,
                            &image->skippedLines)) {
        return false;
    }
    return true;
}

bool SaveImage(const sim::Machine& machine, const RegFormat& format, const std::string& folder,
               std::string* error) {
    std::error_code ec;
    if (!fs::create_directory(folder, ec)) {
        *error = folder + ": cannot create the folder (" + ec.message() + ")";
        return false;
    }
    // The files first: the file system writes only into an empty folder.
    std::string fsError;
    if (!SaveToHost(machine.files, folder, &fsError)) {
        *error = folder + ": " + fsError;
        return false;
    }
    const std::string regPath = (fs::path(folder) / "registry.reg").string();
    const std::string iniPath = (fs::path(folder) / "machine.ini").string();
    RegFormat inCodePage = format;
    inCodePage.codePage = machine.codePage;
    if (!WriteHostFile(regPath, WriteRegFile(machine.registry, inCodePage))) {
        *error = regPath + ": cannot write";
        return false;
    }
    if (!WriteHostFile(iniPath, WriteMachineIni(machine))) {
        *error = iniPath + ": cannot write";
        return false;
    }
    return true;
}

}  // namespace image
