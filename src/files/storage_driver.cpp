// Storage driver restoration (Windows 2000): the USB mass-storage service and
// the system's usbstor.inf pointed back at the system's own driver, and the
// package's replacement driver deleted.
#include "files/files.h"

#include "package.h"
#include "run/run_state.h"

#include <cstring>

namespace {
const char kSystemKey[] = "System";

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
        if (RegOpenKeyA(system, FormatText("%s\\%s", subkey.c_str(), kStorageServiceKey).c_str(),
                        &service) != ERROR_SUCCESS)
            continue;
        // Written whatever the value held, a REG_SZ becoming REG_EXPAND_SZ.
        // With its terminating zero: 29 bytes.
        RegSetValueExA(service, kStorageServiceImagePath, 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(kSystemStorageDriverPath),
                       sizeof kSystemStorageDriverPath);
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
            ReplaceTextInFile(WindowsPath(kStorageInf),
                              FormatText("%%12%%\\%s", kReplacementDriverFile.name),
                              kSystemStorageDriverReference);
        break;
    case 2:
        if (IsWindowsDirectoryKnown())
            ForceDeleteFile(WindowsPath(kReplacementDriverFile));
        break;
    default:
        break;
    }
}
