// Run control: WinMain's fixed steps, the dispatch by operating system and
// the operating-system identification.
#include "run/run.h"

#include "files/files.h"
#include "icons/icons.h"
#include "package.h"
#include "removal/removal.h"
#include "run/run_state.h"

#include <cstring>

char WindowsDirectory[100] = {0};

namespace {
const char kCompletionText[] = "UnInstall finished!";
const char kCompletionCaption[] = " Success!";
}  // namespace

bool IsWindowsDirectoryKnown() { return WindowsDirectory[0] != '\0'; }

void RecordWindowsDirectory() {
    std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
    const UINT length = GetWindowsDirectoryA(WindowsDirectory, sizeof WindowsDirectory);
    // 0 is a failure; a result of the buffer size or more is the size the
    // path would need, and the buffer holds nothing usable.
    if (length == 0 || length >= sizeof WindowsDirectory) {
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
        return;
    }
    WindowsDirectory[sizeof WindowsDirectory - 1] = '\0';
}

void IdentifyFromVersion(OsIdentity& os, DWORD platformId, DWORD majorVersion,
                         DWORD minorVersion, const char* servicePack) {
    // A two-digit minor version is hundredths: 4.10 is Windows 98 and 4.90
    // Windows ME, 3.51 is NT 3.51; 4.0, 5.0 and 5.1 are tenths.
    const double scale = minorVersion >= 10 ? 0.01 : 0.1;
    os.VersionNumber = static_cast<double>(majorVersion) + static_cast<double>(minorVersion) * scale;
    os.ServicePack = servicePack != nullptr ? servicePack : "";

    switch (platformId) {
    case VER_PLATFORM_WIN32s:
        os.SystemName = "Windows 31";
        os.ServicePack.clear();
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        // The 9x family is told apart by its minor version alone.
        if (minorVersion == 0) os.SystemName = "Windows 95";
        else if (minorVersion == 10) os.SystemName = "Windows 98";
        else if (minorVersion == 90) os.SystemName = "Windows ME";
        else os.SystemName = "Unknown OS";
        break;
    case VER_PLATFORM_WIN32_NT:
        if (majorVersion == 3) os.SystemName = "Windows NT3";
        else if (majorVersion == 4) os.SystemName = "Windows NT4";
        else if (majorVersion == 5 && minorVersion == 0) os.SystemName = "Windows 2000";
        else if (majorVersion == 5 && minorVersion == 1) os.SystemName = "Windows XP";
        else os.SystemName = "Unknown OS";
        break;
    default:
        break;  // an unknown platform leaves the name as it was
    }
}

bool IdentifyOperatingSystem(OsIdentity& os) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
        os.SystemName.clear();
        os.ServicePack.clear();
        return false;
    }
    info.szCSDVersion[sizeof info.szCSDVersion - 1] = '\0';
    IdentifyFromVersion(os, info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                        info.szCSDVersion);
    return true;
}

UninstallWork WorkFor(const OsIdentity& os) {
    if (os.SystemName == "Windows 98") return UninstallWork::DeviceRemoval;
    // Whole texts, byte for byte: "Service Pack 3 " or "service pack 3" is
    // another service pack.
    if (os.SystemName == "Windows 2000" && os.ServicePack != "Service Pack 3" &&
        os.ServicePack != "Service Pack 4")
        return UninstallWork::StorageDriverRestore;
    return UninstallWork::None;
}

void RunUninstall() {
    OsIdentity os;
    IdentifyOperatingSystem(os);

    switch (WorkFor(os)) {
    case UninstallWork::DeviceRemoval:
        if (!RemovePackageDevices()) return;  // no device list: no completion message
        break;
    case UninstallWork::StorageDriverRestore:
        RestoreStorageDriver(1);
        RestoreStorageDriver(2);
        break;
    case UninstallWork::None:
        break;
    }
    MessageBoxA(nullptr, kCompletionText, kCompletionCaption, MB_OK);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RecordWindowsDirectory();
    RunUninstall();
    // Runs after the completion message was dismissed; not waited for.
    ShellExecuteA(nullptr, nullptr, kInstallerProgram, kInstallerParameters, nullptr, SW_SHOW);
    ClearDriveIcons(0xFFFFFFFF);
    HWND companion = FindWindowA(nullptr, kCompanionWindowTitle);
    if (companion != nullptr) SendMessageA(companion, WM_CLOSE, 0, 0);
    return 0;
}
