// machine.ini (version, present devices, window titles, file attributes) and
// the copies of the package's files.
#include "collect/collect.h"

#include "package.h"

#include <cstring>

namespace {

const size_t kCopyChunk = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Why machine.ini cannot hold a text (it has no escape for a quote, and a
// line ends at a line break); nullptr when it can.
const char* Unwritable(const std::string& text) {
    if (text.find('"') != std::string::npos) return "it holds a quote character";
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return "it holds a line break or a NUL";
    return nullptr;
}

// Quoted as the dry run's reader needs: blanks at the ends, ";" or "=", or a
// start that would read as a section or a comment.
std::string IniText(const std::string& text) {
    const bool quote = text.empty() || IsBlank(text[0]) || IsBlank(text[text.size() - 1]) ||
                       text[0] == '[' || text[0] == '#' ||
                       text.find_first_of(";=") != std::string::npos;
    return quote ? "\"" + text + "\"" : text;
}

std::string GuidText(const GUID& g) {
    return FormatText("{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                      static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                      g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

// The text up to its first NUL, within the bytes the call filled.
std::string Terminated(const std::string& buffer, DWORD filled) {
    const size_t limit = filled < buffer.size() ? filled : buffer.size();
    const void* nul = std::memchr(buffer.data(), 0, limit);
    return buffer.substr(0, nul ? static_cast<const char*>(nul) - buffer.data() : limit);
}

// A text a device call fills: into 256 bytes first, then into the size it
// asks for. False when the call fails.
template <typename Call>
bool DeviceText(std::string& text, Call call) {
    std::string buffer(256, '\0');
    DWORD required = 0;
    if (!call(&buffer[0], static_cast<DWORD>(buffer.size()), &required)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size()) return false;
        buffer.assign(required, '\0');
        if (!call(&buffer[0], required, &required)) return false;
    }
    text = Terminated(buffer, static_cast<DWORD>(buffer.size()));  // zero-filled
    return true;
}

// [devices]: the present devices in enumeration order.
void AddDevices(std::string& ini, CollectResult& result) {
    ini += "\r\n[devices]\r\n";
    HDEVINFO list =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (list == INVALID_HANDLE_VALUE) {
        result.notes.push_back("devices: cannot list the present devices (" +
                               ErrorText(GetLastError()) + ")");
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA element;
        std::memset(&element, 0, sizeof element);
        element.cbSize = sizeof element;
        if (!SetupDiEnumDeviceInfo(list, index, &element)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                result.notes.push_back(
                    FormatText("devices: cannot list the devices after the first %lu (%s)",
                               static_cast<unsigned long>(index), ErrorText(error).c_str()));
            break;
        }
        std::string id, description;
        if (!DeviceText(id, [&](char* buffer, DWORD size, DWORD* required) {
                return SetupDiGetDeviceInstanceIdA(list, &element, buffer, size, required);
            })) {
            result.notes.push_back(FormatText(
                "devices: device %lu left out: cannot read its instance id (%s)",
                static_cast<unsigned long>(index + 1), ErrorText(GetLastError()).c_str()));
            continue;
        }
        // The reader takes an instance id as it stands, unquoted.
        if (id.empty() || Unwritable(id) != nullptr || IniText(id) != id) {
            result.notes.push_back("devices: " + id +
                                   " left out: machine.ini cannot hold its instance id");
            continue;
        }
        std::string line = id + " = " + GuidText(element.ClassGuid);
        if (DeviceText(description, [&](char* buffer, DWORD size, DWORD* required) {
                return SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_DEVICEDESC, nullptr,
                                                         reinterpret_cast<BYTE*>(buffer), size,
                                                         required);
            })) {
            if (const char* why = Unwritable(description))
                result.notes.push_back("devices: " + id + ": description \"" + description +
                                       "\" left out: " + why);
            else
                line += ", " + IniText(description);
        }
        ini += line + "\r\n";
        ++result.devices;
    }
    SetupDiDestroyDeviceInfoList(list);
}

BOOL CALLBACK AddWindowHandle(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

// [windows]: the titles of the top-level windows in enumeration order.
void AddWindows(std::string& ini, CollectResult& result) {
    ini += "\r\n[windows]\r\n";
    std::vector<HWND> windows;
    EnumWindows(AddWindowHandle, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
        const int length = GetWindowTextLengthA(window);
        if (length <= 0) continue;
        std::string title(static_cast<size_t>(length) + 1, '\0');
        const int got = GetWindowTextA(window, &title[0], length + 1);
        if (got <= 0) continue;
        title = Terminated(title, static_cast<DWORD>(got));
        if (const char* why = Unwritable(title)) {
            result.notes.push_back("windows: the title \"" + title + "\" left out: " + why);
            continue;
        }
        ini += IniText(title) + "\r\n";
        ++result.windows;
    }
}

// The attribute words of machine.ini.
std::string AttributeWords(DWORD attributes) {
    static const struct {
        DWORD bit;
        const char* word;
    } kWords[] = {{FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
                  {FILE_ATTRIBUTE_SYSTEM, "system"},     {FILE_ATTRIBUTE_ARCHIVE, "archive"},
                  {FILE_ATTRIBUTE_NORMAL, "normal"},     {FILE_ATTRIBUTE_TEMPORARY, "temporary"}};
    std::string words;
    for (const auto& w : kWords) {
        if ((attributes & w.bit) == 0) continue;
        words += (words.empty() ? "" : " ") + std::string(w.word);
        attributes &= ~w.bit;
    }
    if (attributes != 0)
        words +=
            FormatText("%s0x%lx", words.empty() ? "" : " ", static_cast<unsigned long>(attributes));
    return words.empty() ? "none" : words;
}

// Each folder of `path` below `base` (which exists): 0, or the error of the
// first that can be neither made nor found.
DWORD MakeFolders(const std::string& base, const std::string& path) {
    for (size_t slash = path.find('\\', base.size() + 1); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (CreateDirectoryA(folder.c_str(), nullptr)) continue;
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return error;
    }
    return 0;
}

// Copies `source` to the new file `target` (normal attributes); 0, or the
// error with `what` saying which side failed. A part copy is removed.
DWORD CopyBytes(const std::string& source, const std::string& target, const char*& what) {
    what = "cannot read it";
    HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) return GetLastError();
    OutFile out;
    DWORD error = 0;
    if (!OpenOutFile(out, target)) {
        what = "cannot write its copy";
        error = out.error;
    } else {
        std::string chunk(kCopyChunk, '\0');
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, &chunk[0], kCopyChunk, &got, nullptr)) error = GetLastError();
            if (error != 0 || got == 0) break;
            Put(out, chunk.data(), got);
        }
        if (!CloseOutFile(out) && error == 0) {
            what = "cannot write its copy";
            error = out.error;
        }
        if (error != 0) DeleteFileA(target.c_str());
    }
    CloseHandle(in);
    return error;
}

}  // namespace

std::string CopyPackageFiles(const std::string& folder, const std::string& windowsDirectory,
                             CollectResult& result) {
    const std::string& w = windowsDirectory;
    if (w.size() < 3 || w[1] != ':' || w[2] != '\\' ||
        !((w[0] | 0x20) >= 'a' && (w[0] | 0x20) <= 'z')) {
        result.notes.push_back("files: the Windows directory \"" + w +
                               "\" is on no drive letter; no file copied");
        return std::string();
    }
    const std::string windows = w[w.size() - 1] == '\\' ? w.substr(0, w.size() - 1) : w;
    const std::string drive = folder + "\\drive_" + static_cast<char>(w[0] | 0x20);
    std::string lines;
    for (const PackageFile& file : kPackageFiles) {
        const std::string source = windows + "\\" + file.folder + "\\" + file.name;
        const DWORD attributes = GetFileAttributesA(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                result.notes.push_back("files: " + source + ": cannot read its attributes (" +
                                       ErrorText(error) + ")");
            continue;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::string target = drive + source.substr(2);
        const char* what = "cannot make its folder";
        DWORD error = MakeFolders(folder, target);
        if (error == 0) error = CopyBytes(source, target, what);
        if (error != 0) {
            result.notes.push_back("files: " + source + ": " + what + " (" + ErrorText(error) +
                                   ")");
            continue;
        }
        lines += source + " = " + AttributeWords(attributes) + "\r\n";
        ++result.files;
    }
    return lines;
}

bool CollectMachineIni(const std::string& folder, const OSVERSIONINFOA& version,
                       const std::string& windowsDirectory, const std::string& attributeLines,
                       CollectResult& result) {
    std::string servicePack =
        Terminated(std::string(version.szCSDVersion, sizeof version.szCSDVersion),
                   sizeof version.szCSDVersion);
    if (const char* why = Unwritable(servicePack)) {
        result.notes.push_back("system: the service pack text \"" + servicePack +
                               "\" left out: " + why);
        servicePack.clear();
    }
    std::string ini = "; A machine image written by zavcollect.exe.\r\n[system]\r\n";
    ini += FormatText("platform = %lu\r\nmajor = %lu\r\nminor = %lu\r\nbuild = %lu\r\n",
                      static_cast<unsigned long>(version.dwPlatformId),
                      static_cast<unsigned long>(version.dwMajorVersion),
                      static_cast<unsigned long>(version.dwMinorVersion),
                      static_cast<unsigned long>(version.dwBuildNumber));
    ini += "service_pack = \"" + servicePack + "\"\r\n";
    ini += "windows_directory = " + IniText(windowsDirectory) + "\r\n";
    ini += FormatText("codepage = %u\r\n", GetACP());
    AddDevices(ini, result);
    AddWindows(ini, result);
    ini += "\r\n[attributes]\r\n" + attributeLines;

    OutFile out;
    if (OpenOutFile(out, folder + "\\machine.ini")) Put(out, ini);
    if (!CloseOutFile(out)) {
        result.notes.push_back("machine.ini: cannot write it (" + ErrorText(out.error) + ")");
        return false;
    }
    return true;
}
