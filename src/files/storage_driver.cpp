// Storage driver restoration (Windows 2000): the USB mass-storage service and
// the system's usbstor.inf pointed back at the system's own driver, and the
// package's replacement driver deleted.
#include "files/files.h"

#include "platform/platform.h"
#include "run/run_state.h"

#include <cstring>

namespace {
const char kSystemKey[] = "System";
const char kServiceKeyFormat[] = "%s\\Services\\USBSTOR";
const char kImagePathName[] = "ImagePath";
// Written with its terminating zero: 29 bytes.
const char kSystemDriverPath[] = "System32\\DRIVERS\\USBSTOR.SYS";
const char kSystemDriverReference[] = "%12%\\USBSTOR.SYS";

// ImagePath in every subkey of "System" that has Services\USBSTOR: each
// control set, whichever one the next boot selects. False when the key
// "System" cannot be opened.
bool RestoreServiceImagePaths() {
    HKEY system = 0;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kSystemKey, &system) != ERROR_SUCCESS) return false;
    char name[256];
    std::memset(name, 0, sizeof name);
    FILETIME lastWrite;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(system, index, name, &nameLength, nullptr, nullptr, nullptr,
                          &lastWrite) != ERROR_SUCCESS)
            break;
        const std::string subkey(name, strnlen(name, sizeof name));
        HKEY service = 0;
        if (RegOpenKeyA(system, FormatText(kServiceKeyFormat, subkey.c_str()).c_str(), &service) !=
            ERROR_SUCCESS)
            continue;
        // Written whatever the value held, a REG_SZ becoming REG_EXPAND_SZ.
        RegSetValueExA(service, kImagePathName, 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(kSystemDriverPath), sizeof kSystemDriverPath);
        if (service != 0) RegCloseKey(service);
    }
    if (system != 0) RegCloseKey(system);
    return true;
}
}  // namespace

void RestoreStorageDriver(int selector) {
    switch (selector) {
    case 1:
        // When the key "System" cannot be opened, usbstor.inf is left alone
        // as well. The registry values need no Windows directory.
        if (!RestoreServiceImagePaths()) return;
        if (IsWindowsDirectoryKnown())
            ReplaceTextInFile(FormatText("%s\\%s", WindowsDirectory, kStorageInf),
                              FormatText("%%12%%\\%s", kReplacementDriverFile),
                              kSystemDriverReference);
        break;
    case 2:
        if (IsWindowsDirectoryKnown())
            ForceDeleteFile(FormatText("%s\\System32\\DRIVERS\\%s", WindowsDirectory,
                                       kReplacementDriverFile));
        break;
    default:
        break;
    }
}
