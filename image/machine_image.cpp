// Machine images: machine.ini read and written, image folders loaded from
// the host or from a simulated machine's files, and saved to the host.
#include "image/machine_image.h"

#include "image/text_codec.h"
#include "imageformat/machine_ini.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

namespace image {

namespace fs = std::filesystem;
namespace ini = imageformat;

namespace {

// machine.ini has no escape for a quote: a text that held one would be
// written back with a different meaning (a later " ;" would start a comment
// once the text is enclosed in quotes), so a text holds none.
const char kQuoteInside[] = "a quote inside a text; machine.ini texts cannot hold one";

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

// Whether `text` ends with the collector's closing line, line end included.
bool EndsClosed(const std::string& text) {
    for (const char* end : {"\n", "\r\n"}) {
        const std::string last = ini::kClosingLine + std::string(end);
        if (text.size() < last.size() || text.compare(text.size() - last.size(), last.size(), last) != 0)
            continue;
        const size_t at = text.size() - last.size();
        return at == 0 || text[at - 1] == '\n';
    }
    return false;
}

}  // namespace

bool ParseAttributes(const std::string& words, DWORD* attributes) {
    uint32_t bits = 0;
    if (!ini::ParseAttributes(words, &bits)) return false;
    *attributes = bits;
    return true;
}

std::string AttributeWords(DWORD attributes) { return ini::AttributeWords(attributes); }

bool ReadMachineIni(const std::string& text, const std::string& fileName, sim::Machine& machine,
                    InputError* diag, WrittenFiles* written) {
    auto fail = [&](int line, const std::string& message) {
        if (diag != nullptr) {
            diag->file = fileName;
            diag->line = line;
            diag->message = message;
        }
        return false;
    };
    enum class Section { None, Image, System, Devices, Windows, Attributes, End } section = Section::None;
    static const struct {
        const char* name;
        Section section;
    } kSections[] = {{ini::kImageSection, Section::Image},     {ini::kSystemSection, Section::System},
                     {ini::kDevicesSection, Section::Devices}, {ini::kWindowsSection, Section::Windows},
                     {ini::kAttributesSection, Section::Attributes}, {ini::kEndSection, Section::End}};
    WrittenFiles local;
    WrittenFiles& image = written != nullptr ? *written : local;
    image = WrittenFiles();
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
        const std::string line = Trim(ini::StripComment(raw));
        if (line.empty() || line[0] == '#') continue;
        if (section == Section::End)
            return fail(number, "a line after [end], which closes machine.ini");
        if (line[0] == '[') {
            if (line.back() != ']') return fail(number, "a section line without its closing \"]\"");
            const std::string name = LowerAscii(Trim(line.substr(1, line.size() - 2)));
            section = Section::None;
            for (const auto& known : kSections)
                if (name == known.name) section = known.section;
            if (section == Section::None)
                return fail(number, "unknown section [" + name +
                                        "]; expected [system], [devices], [windows] or [attributes]");
            if (!sections.insert(name).second)
                return fail(number, "section [" + name + "] appears twice");
            if (section == Section::Image) image.collected = true;
            continue;
        }
        const size_t eq = line.find('=');
        switch (section) {
        case Section::None:
            return fail(number, "a line before the first section");
        case Section::End:
            break;
        case Section::Image: {
            // NAME = SIZE: the name may hold "=", the size does not.
            const size_t last = line.rfind('=');
            uint32_t size = 0;
            if (last == std::string::npos || Trim(line.substr(0, last)).empty() ||
                !ini::ParseNumber(Trim(line.substr(last + 1)), &size))
                return fail(number, "expected \"FILE = size in bytes\"");
            image.files.emplace_back(Trim(line.substr(0, last)), size);
            break;
        }
        case Section::System: {
            if (eq == std::string::npos) return fail(number, "expected \"name = value\"");
            const std::string key = LowerAscii(Trim(line.substr(0, eq)));
            std::string value;
            if (!ini::Unquote(Trim(line.substr(eq + 1)), &value))
                return fail(number, "a quoted value without its closing quote");
            if (value.find('"') != std::string::npos) return fail(number, kQuoteInside);
            if (!seen.insert(key).second) return fail(number, "\"" + key + "\" is given twice");
            uint32_t n = 0;
            if (key == ini::kPlatformSetting || key == ini::kMajorSetting || key == ini::kMinorSetting ||
                key == ini::kBuildSetting) {
                if (!ini::ParseNumber(value, &n))
                    return fail(number, "\"" + key + "\" takes a number, not \"" + value + "\"");
                if (key == ini::kPlatformSetting) {
                    machine.platformId = n;
                } else if (key == ini::kMajorSetting) {
                    machine.majorVersion = n;
                } else if (key == ini::kMinorSetting) {
                    machine.minorVersion = n;
                } else {
                    machine.buildNumber = n;
                }
            } else if (key == ini::kServicePackSetting) {
                if (value.size() > 127)
                    return fail(number, "a service pack text longer than the 127 characters "
                                        "Windows reports");
                machine.csdVersion = value;
            } else if (key == ini::kCodePageSetting) {
                if (!ini::ParseNumber(value, &n))
                    return fail(number, "\"codepage\" takes a number, not \"" + value + "\"");
                if (n == 932 || n == 936 || n == 949 || n == 950)
                    return fail(number, "code page " + value + " is a double-byte code page, which "
                                        "the simulated machine does not have; it has 874 and "
                                        "1250 to 1258");
                if (!sim::IsKnownCodePage(n))
                    return fail(number, "code page " + value + " is no ANSI code page of Windows the "
                                        "simulated machine has; it has 874 and 1250 to 1258");
                machine.codePage = n;
            } else if (key == ini::kSetupApiSetting) {
                if (value != ini::kMissingWord)
                    return fail(number, "\"setupapi\" takes \"missing\", not \"" + value + "\"");
                sim::RemoveLibrary(machine, "SETUPAPI");
            } else if (key == ini::kWindowsDirectorySetting) {
                if (sim::FileSystem::Normalize(value).empty())
                    return fail(number, "windows_directory is not an absolute Windows path: \"" +
                                            value + "\"");
                machine.windowsDirectory = value;
            } else {
                return fail(number, "unknown setting \"" + key +
                                        "\"; [system] takes platform, major, minor, build, "
                                        "service_pack, windows_directory, codepage and setupapi");
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
                    if (!ini::Unquote(Trim(rest.substr(1)), &description))
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
            if (!ini::Unquote(line, &title)) return fail(number, "a quoted title without its closing quote");
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
    for (const char* required : {ini::kPlatformSetting, ini::kMajorSetting, ini::kMinorSetting,
                                 ini::kWindowsDirectorySetting})
        if (seen.count(required) == 0)
            return fail(0, std::string("[system] must give \"") + required + "\"");
    image.closed = EndsClosed(text);
    return true;
}

std::string WriteMachineIni(const sim::Machine& machine) {
    std::string out = "; A machine image (registry.reg, drive_c/ ...) written by zavuninst-sim.\n";
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    line(ini::SectionLine(ini::kSystemSection));
    line(ini::SettingLine(ini::kPlatformSetting, ini::DecimalText(machine.platformId)));
    line(ini::SettingLine(ini::kMajorSetting, ini::DecimalText(machine.majorVersion)));
    line(ini::SettingLine(ini::kMinorSetting, ini::DecimalText(machine.minorVersion)));
    line(ini::SettingLine(ini::kBuildSetting, ini::DecimalText(machine.buildNumber)));
    line(ini::QuotedSettingLine(ini::kServicePackSetting, machine.csdVersion));
    line(ini::SettingLine(ini::kWindowsDirectorySetting, machine.windowsDirectory));
    if (machine.codePage != sim::kDefaultCodePage)
        line(ini::SettingLine(ini::kCodePageSetting, ini::DecimalText(machine.codePage)));
    if (machine.missingCalls.test(static_cast<size_t>(sim::Api::SetupDiGetClassDevsA)))
        line(ini::SettingLine(ini::kSetupApiSetting, ini::kMissingWord));
    line("");
    line(ini::SectionLine(ini::kDevicesSection));
    for (const sim::Device& d : machine.devices) {
        std::string text = d.instanceId;
        if (d.classGuid || d.description) {
            text += " =";
            if (d.classGuid) text += " " + sim::GuidText(*d.classGuid);
            if (d.description) text += ", " + ini::IniText(*d.description);
        }
        line(text);
    }
    line("");
    line(ini::SectionLine(ini::kWindowsSection));
    for (const std::string& title : machine.windowTitles) line(ini::IniText(title));
    line("");
    line(ini::SectionLine(ini::kAttributesSection));
    const DWORD fileDefault = DefaultAttributes(false);
    const DWORD folderDefault = DefaultAttributes(true);
    for (const sim::FileEntry* e : machine.files.Entries()) {
        if (e->attributes != (e->directory ? folderDefault : fileDefault))
            line(e->path + " = " + AttributeWords(e->attributes));
    }
    return out;
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

// An image folder's parts, wherever it is kept, and how to name them.
struct ImageParts {
    std::function<std::string(const std::string&)> pathOf;  // a name below the folder, for messages
    std::string iniText;
    std::string_view regBytes;
    std::function<void(size_t)> consumed;  // told how far the export is read
    // The files of lines, when there: notes.txt and unreadable-keys.txt.
    struct LineFile {
        const char* name;
        bool there = false;
        std::string text;
    };
    enum { kNotes, kUnreadableKeys, kLineFileCount };
    LineFile lineFiles[kLineFileCount] = {{ini::kNotesFile, false, {}}, {ini::kUnreadableKeysFile, false, {}}};
    sim::FileSystem files;  // the drive folders, until they become the machine's
};

bool Fail(InputError* diag, const std::string& file, const std::string& message) {
    diag->file = file;
    diag->line = 0;
    diag->message = message;
    return false;
}

// A collected image is whole when every file [image] names is there with
// its size, no file is there that it does not name, and machine.ini ends
// with its closing line.
bool CheckWhole(const WrittenFiles& written, const ImageParts& parts, const sim::FileSystem& files,
                InputError* diag) {
    const char* const kNotWhole = ": the collector did not finish this image";
    if (!written.closed)
        return Fail(diag, parts.pathOf(ini::kMachineIniFile),
                    std::string("cut short: it does not end with its closing line \"") + ini::kClosingLine +
                        "\"" + kNotWhole);
    std::set<std::string> listed;
    bool lineFileListed[ImageParts::kLineFileCount] = {};
    for (const auto& [name, size] : written.files) {
        uint64_t actual = 0;
        bool there = true;
        std::string path = parts.pathOf(name);
        const ImageParts::LineFile* lines = nullptr;
        for (size_t i = 0; i < ImageParts::kLineFileCount; ++i)
            if (name == parts.lineFiles[i].name) {
                lines = &parts.lineFiles[i];
                lineFileListed[i] = true;
            }
        if (name == ini::kRegistryFile) {
            actual = parts.regBytes.size();
        } else if (lines != nullptr) {
            there = lines->there;
            actual = lines->text.size();
        } else {
            const sim::FileEntry* entry = files.Find(name);
            if (sim::FileSystem::Normalize(name).empty())
                return Fail(diag, parts.pathOf(ini::kMachineIniFile), "[image] names \"" + name + "\", no file of an image");
            path = parts.pathOf(HostRelativePath(name));
            there = entry != nullptr && !entry->directory;
            actual = there ? entry->data.size() : 0;
            listed.insert(sim::FileSystem::Normalize(name));
        }
        if (!there)
            return Fail(diag, path, "missing, though machine.ini says the collector wrote it (" +
                                        std::to_string(size) + " bytes)" + kNotWhole);
        if (actual != size)
            return Fail(diag, path, std::to_string(actual) + " bytes, where machine.ini says the collector wrote " +
                                        std::to_string(size) + kNotWhole);
    }
    for (size_t i = 0; i < ImageParts::kLineFileCount; ++i)
        if (parts.lineFiles[i].there && !lineFileListed[i])
            return Fail(diag, parts.pathOf(parts.lineFiles[i].name),
                        std::string("not among the files machine.ini says the collector wrote") + kNotWhole);
    for (const sim::FileEntry* entry : files.Entries())
        if (!entry->directory && listed.count(sim::FileSystem::Normalize(entry->path)) == 0)
            return Fail(diag, parts.pathOf(HostRelativePath(entry->path)),
                        std::string("not among the files machine.ini says the collector wrote") + kNotWhole);
    return true;
}

std::vector<std::string> NoteLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool ReadImage(ImageParts& parts, MachineImage* image, InputError* diag) {
    sim::Machine& m = image->machine;
    m.files = std::move(parts.files);
    WrittenFiles written;
    if (!ReadMachineIni(parts.iniText, parts.pathOf(ini::kMachineIniFile), m, diag, &written)) return false;
    if (written.collected && !CheckWhole(written, parts, m.files, diag)) return false;
    const auto lines = [&](int file) {
        const ImageParts::LineFile& f = parts.lineFiles[file];
        return f.there ? NoteLines(f.text) : std::vector<std::string>();
    };
    image->notes = lines(ImageParts::kNotes);
    image->unreadableKeys = lines(ImageParts::kUnreadableKeys);
    image->registryFormat.codePage = m.codePage;
    return ReadRegFile(parts.regBytes, parts.pathOf(ini::kRegistryFile), m.registry, &image->registryFormat,
                       diag, &image->skippedLines, parts.consumed);
}

const char kRegistryMissing[] = "missing or unreadable; an image holds the registry as registry.reg";
const char kIniMissing[] = "missing or unreadable; an image describes its system in machine.ini";

}  // namespace

bool LoadImage(const std::string& folder, MachineImage* image, InputError* diag) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) return Fail(diag, folder, "no such image folder");
    if (!fs::is_directory(folder, ec))
        return Fail(diag, folder, "not a folder; an image is a folder with registry.reg, machine.ini and drive_c/");
    ImageParts parts;
    parts.pathOf = [&folder](const std::string& name) { return (fs::path(folder) / name).string(); };
    const std::string regPath = parts.pathOf(ini::kRegistryFile);
    const std::string iniPath = parts.pathOf(ini::kMachineIniFile);
    std::string regBytes;
    if (!fs::is_regular_file(regPath, ec)) return Fail(diag, regPath, kRegistryMissing);
    MappedFile mapped(regPath);
    if (!mapped.Mapped() && !ReadHostFile(regPath, &regBytes)) return Fail(diag, regPath, kRegistryMissing);
    if (!fs::is_regular_file(iniPath, ec) || !ReadHostFile(iniPath, &parts.iniText))
        return Fail(diag, iniPath, kIniMissing);
    for (ImageParts::LineFile& lines : parts.lineFiles) {
        const std::string path = parts.pathOf(lines.name);
        lines.there = fs::is_regular_file(path, ec) && ReadHostFile(path, &lines.text);
    }
    std::string error;
    if (!LoadFromHost(parts.files, folder, &error)) return Fail(diag, folder, error);
    if (mapped.Mapped()) {
        parts.regBytes = mapped.View();
        parts.consumed = [&mapped](size_t done) { mapped.Release(done); };
    } else {
        parts.regBytes = regBytes;
    }
    return ReadImage(parts, image, diag);
}

bool LoadImage(const sim::FileSystem& files, const std::string& folder, MachineImage* image,
               InputError* diag) {
    const sim::FileEntry* top = files.Find(folder);
    if (top == nullptr) return Fail(diag, folder, "no such image folder");
    if (!top->directory)
        return Fail(diag, folder, "not a folder; an image is a folder with registry.reg, machine.ini and drive_c/");
    ImageParts parts;
    parts.pathOf = [&top](const std::string& name) {
        std::string path = top->path + "\\" + name;
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    const auto reg = files.Read(parts.pathOf(ini::kRegistryFile));
    if (!reg) return Fail(diag, parts.pathOf(ini::kRegistryFile), kRegistryMissing);
    const std::string regBytes(reg->begin(), reg->end());
    const auto iniBytes = files.Read(parts.pathOf(ini::kMachineIniFile));
    if (!iniBytes) return Fail(diag, parts.pathOf(ini::kMachineIniFile), kIniMissing);
    parts.iniText.assign(iniBytes->begin(), iniBytes->end());
    for (ImageParts::LineFile& lines : parts.lineFiles)
        if (const auto bytes = files.Read(parts.pathOf(lines.name))) {
            lines.there = true;
            lines.text.assign(bytes->begin(), bytes->end());
        }
    std::string error;
    if (!LoadFromFolder(parts.files, files, folder, &error)) return Fail(diag, folder, error);
    parts.regBytes = regBytes;
    return ReadImage(parts, image, diag);
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
    const std::string iniPath = (fs::path(folder) / ini::kMachineIniFile).string();
    RegFormat inCodePage = format;
    inCodePage.codePage = machine.codePage;
    if (!WriteRegFileTo(regPath, machine.registry, inCodePage)) {
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
