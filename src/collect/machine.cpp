// machine.ini (version, present devices, window titles, file attributes,
// the files written and their sizes) and the copies of the package's files.
#include "collect/collect.h"

#include "imageformat/machine_ini.h"
#include "imageformat/reg_export.h"
#include "package.h"

#include <cstring>

namespace {

namespace ini = imageformat;

const size_t kCopyChunk = 64 * 1024;

std::string Line(const std::string& text) { return text + ini::kLineEnd; }

std::string Section(const char* name) { return ini::kLineEnd + ini::SectionLine(name) + ini::kLineEnd; }

std::string GuidText(const GUID& g) {
    ini::GuidFields fields;
    fields.data1 = g.Data1;
    fields.data2 = g.Data2;
    fields.data3 = g.Data3;
    std::memcpy(fields.data4, g.Data4, sizeof fields.data4);
    return ini::GuidText(fields);
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
std::string Devices(CollectResult& result) {
    std::string lines = Section(ini::kDevicesSection);
    HDEVINFO list =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (list == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // The platform door's failure for a setupapi.dll without the call,
        // or none at all: the image says so, for the uninstaller meets it.
        result.setupApiMissing = error == ERROR_CALL_NOT_IMPLEMENTED;
        AddNote(result, "devices: cannot list the present devices (" + ErrorText(error) + ")");
        return lines;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA element;
        std::memset(&element, 0, sizeof element);
        element.cbSize = sizeof element;
        if (!SetupDiEnumDeviceInfo(list, index, &element)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
                AddNote(result, FormatText("devices: cannot list the devices after the first %lu (%s)",
                                           static_cast<unsigned long>(index), ErrorText(error).c_str()));
            break;
        }
        std::string id, description;
        if (!DeviceText(id, [&](char* buffer, DWORD size, DWORD* required) {
                return SetupDiGetDeviceInstanceIdA(list, &element, buffer, size, required);
            })) {
            AddNote(result, FormatText("devices: device %lu left out: cannot read its instance id (%s)",
                                       static_cast<unsigned long>(index + 1), ErrorText(GetLastError()).c_str()));
            continue;
        }
        // The reader takes an instance id as it stands, unquoted.
        if (id.empty() || ini::Unwritable(id) != nullptr || ini::NeedsQuotes(id)) {
            AddNote(result, "devices: " + id + ": left out: machine.ini cannot hold its instance id");
            continue;
        }
        std::string line = id + " = " + GuidText(element.ClassGuid);
        if (DeviceText(description, [&](char* buffer, DWORD size, DWORD* required) {
                return SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_DEVICEDESC, nullptr,
                                                         reinterpret_cast<BYTE*>(buffer), size, required);
            })) {
            if (const char* why = ini::Unwritable(description))
                AddNote(result, "devices: " + id + ": its description \"" + description + "\" left out: " + why);
            else
                line += ", " + ini::IniText(description);
        } else if (GetLastError() != ERROR_INVALID_DATA) {
            // ERROR_INVALID_DATA: the device has no description.
            AddNote(result, "devices: " + id + ": cannot read its description (" + ErrorText(GetLastError()) + ")");
        }
        lines += Line(line);
        ++result.devices;
    }
    SetupDiDestroyDeviceInfoList(list);
    return lines;
}

BOOL CALLBACK AddWindowHandle(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

// [windows]: the titles of the top-level windows in enumeration order; a
// window without a title, which no program finds by its title, is left out.
std::string Windows(CollectResult& result) {
    std::string lines = Section(ini::kWindowsSection);
    std::vector<HWND> windows;
    if (!EnumWindows(AddWindowHandle, reinterpret_cast<LPARAM>(&windows))) {
        AddNote(result, "windows: cannot list the windows (" + ErrorText(GetLastError()) + ")");
        return lines;
    }
    for (HWND window : windows) {
        // GetWindowTextLengthA gives 0 both for no title and for a failure,
        // which alone sets the last error.
        SetLastError(ERROR_SUCCESS);
        const int length = GetWindowTextLengthA(window);
        std::string title(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
        const int got = length > 0 ? GetWindowTextA(window, &title[0], length + 1) : 0;
        if (got <= 0) {
            if (const DWORD error = GetLastError())
                AddNote(result, "windows: a window's title cannot be read (" + ErrorText(error) + ")");
            continue;
        }
        title = Terminated(title, static_cast<DWORD>(got));
        if (const char* why = ini::Unwritable(title)) {
            AddNote(result, "windows: the title \"" + title + "\" left out: " + why);
            continue;
        }
        lines += Line(ini::IniText(title));
        ++result.windows;
    }
    return lines;
}

// Each folder of `path` below `base` (which exists), the last one too when
// `whole`: 0, or the error of the first that can be neither made nor found.
DWORD MakeFolders(const std::string& base, const std::string& path, bool whole) {
    for (size_t slash = path.find('\\', base.size() + 1);; slash = path.find('\\', slash + 1)) {
        if (slash == std::string::npos && !whole) return 0;
        const std::string folder = path.substr(0, slash);
        if (!CreateDirectoryA(folder.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            const DWORD attributes = GetFileAttributesA(folder.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return error;
        }
        if (slash == std::string::npos) return 0;
    }
}

// Copies `source` to the new file `target`; 0, or the error with `what`
// saying which side failed. A part copy is removed. `size` is the copy's.
DWORD CopyBytes(const std::string& source, const std::string& target, bool ntFamily, const char*& what,
                unsigned long& size) {
    what = "cannot read it";
    // Every kind of sharing another program may need: the NT family also
    // shares delete, so that a program renaming or deleting the file is
    // not refused, nor is the copy while it holds the file so. The 9x family
    // refuses FILE_SHARE_DELETE.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (ntFamily ? FILE_SHARE_DELETE : 0);
    HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
    if (in == INVALID_HANDLE_VALUE) return GetLastError();
    OutFile out;
    DWORD error = 0;
    if (OpenOutFile(out, target)) {
        std::string chunk(kCopyChunk, '\0');
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, &chunk[0], kCopyChunk, &got, nullptr)) error = GetLastError();
            if (error != 0 || got == 0) break;
            Put(out, chunk.data(), got);
        }
        if (error != 0) out.error = error;  // the copy is not finished: removed
    }
    if (!FinishOutFile(out) && error == 0) {
        what = "cannot write its copy";
        error = out.error;
    }
    size = out.size;
    CloseHandle(in);
    return error;
}

}  // namespace

std::string CopyPackageFiles(const std::string& folder, const std::string& windowsDirectory, bool ntFamily,
                             CollectResult& result) {
    const std::string& w = windowsDirectory;
    if (w.size() < 3 || w[1] != ':' || w[2] != '\\' ||
        !((w[0] | 0x20) >= 'a' && (w[0] | 0x20) <= 'z')) {
        AddNote(result, "files: " + w + ": the Windows directory is on no drive letter; no file copied");
        return std::string();
    }
    const std::string windows = w[w.size() - 1] == '\\' ? w.substr(0, w.size() - 1) : w;
    const std::string drive = folder + "\\" + ini::DriveFolder(w[0]);
    std::string lines;
    for (const PackageFile& file : kPackageFiles) {
        const std::string source = windows + "\\" + file.folder + "\\" + file.name;
        const DWORD attributes = GetFileAttributesA(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                AddNote(result, "files: " + source + ": cannot read its attributes (" + ErrorText(error) + ")");
            continue;
        }
        const std::string target = drive + source.substr(2);
        const bool folderThere = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const char* what = "cannot make its folder";
        unsigned long size = 0;
        // A folder where the file would be is made, without its content: the
        // uninstaller meets it there.
        DWORD error = MakeFolders(folder, target, folderThere);
        if (error == 0 && !folderThere) error = CopyBytes(source, target, ntFamily, what, size);
        if (error != 0) {
            AddNote(result, "files: " + source + ": " + what + " (" + ErrorText(error) + ")");
            continue;
        }
        lines += Line(source + " = " + ini::AttributeWords(attributes));
        if (!folderThere) {
            result.written.push_back({source, size});
            ++result.files;
        }
    }
    return lines;
}

std::string MachineIniSections(const OSVERSIONINFOA& version, const std::string& windowsDirectory,
                               const std::string& attributeLines, CollectResult& result) {
    std::string servicePack =
        Terminated(std::string(version.szCSDVersion, sizeof version.szCSDVersion),
                   sizeof version.szCSDVersion);
    if (const char* why = ini::Unwritable(servicePack)) {
        AddNote(result, "system: the service pack text \"" + servicePack + "\" left out: " + why);
        servicePack.clear();
    }
    const std::string devices = Devices(result);
    std::string text = Section(ini::kSystemSection);
    text += Line(ini::SettingLine(ini::kPlatformSetting, ini::DecimalText(version.dwPlatformId)));
    text += Line(ini::SettingLine(ini::kMajorSetting, ini::DecimalText(version.dwMajorVersion)));
    text += Line(ini::SettingLine(ini::kMinorSetting, ini::DecimalText(version.dwMinorVersion)));
    text += Line(ini::SettingLine(ini::kBuildSetting, ini::DecimalText(version.dwBuildNumber)));
    text += Line(ini::QuotedSettingLine(ini::kServicePackSetting, servicePack));
    text += Line(ini::SettingLine(ini::kWindowsDirectorySetting, windowsDirectory));
    text += Line(ini::SettingLine(ini::kCodePageSetting, ini::DecimalText(GetACP())));
    if (result.setupApiMissing) text += Line(ini::SettingLine(ini::kSetupApiSetting, ini::kMissingWord));
    text += devices;
    text += Windows(result);
    return text + Section(ini::kAttributesSection) + attributeLines;
}

bool WriteMachineIni(const std::string& folder, const std::string& sections, CollectResult& result) {
    std::string text = Line("; A machine image written by zavcollect.exe.");
    text += Line(ini::SectionLine(ini::kImageSection));
    for (const WrittenFile& file : result.written) text += Line(ini::WrittenFileLine(file.name, file.size));
    text += sections + ini::kLineEnd + Line(ini::kClosingLine);
    OutFile out;
    if (OpenOutFile(out, folder + "\\" + ini::kMachineIniFile)) Put(out, text);
    if (!FinishOutFile(out)) {
        AddNote(result, "machine.ini: cannot write it (" + ErrorText(out.error) + ")");
        return false;
    }
    return true;
}
