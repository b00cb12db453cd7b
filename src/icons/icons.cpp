// Drive icon cleanup: the package's per-drive icon and label registrations
// below Explorer's DriveIcons key taken away.
#include "icons/icons.h"

#include "package.h"

#include <string>

namespace {
// Sets the unnamed value of an existing key to an empty REG_SZ; a missing key
// is not created.
void EmptyDefaultValue(HKEY driveIcons, const std::string& keyName) {
    HKEY key = 0;
    if (RegOpenKeyA(driveIcons, keyName.c_str(), &key) != ERROR_SUCCESS || key == 0) return;
    static const BYTE kNoData[1] = {0};
    RegSetValueExA(key, nullptr, 0, REG_SZ, kNoData, 0);
    RegCloseKey(key);
}

// False when the DriveIcons key cannot be opened.
bool ClearDriveLetter(char letter) {
    HKEY driveIcons = 0;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kDriveIconsKey, &driveIcons) != ERROR_SUCCESS) return false;

    // Only letters that carry the package's marker are the package's.
    HKEY marker = 0;
    if (RegOpenKeyA(driveIcons, FormatText("%c\\%s", letter, kDriveIconMarker).c_str(), &marker) ==
        ERROR_SUCCESS) {
        if (marker != 0) RegCloseKey(marker);
        const std::string letterKey = FormatText("%c", letter);
        // Windows 95/98/ME delete the letter key with its marker, icon and
        // label keys. Windows NT/2000/XP refuse a key that has subkeys: the
        // registrations are emptied instead, and the marker stays.
        if (RegDeleteKeyA(driveIcons, letterKey.c_str()) != ERROR_SUCCESS) {
            EmptyDefaultValue(driveIcons, FormatText("%s\\DefaultIcon", letterKey.c_str()));
            EmptyDefaultValue(driveIcons, FormatText("%s\\DefaultLabel", letterKey.c_str()));
        }
    }
    if (driveIcons != 0) RegCloseKey(driveIcons);
    return true;
}
}  // namespace

bool ClearDriveIcons(DWORD driveMask) {
    DWORD rest = driveMask;
    for (char letter = 'A'; rest != 0 && letter <= 'Z'; ++letter, rest >>= 1) {
        if ((rest & 1) != 0 && !ClearDriveLetter(letter)) return false;
    }
    return true;
}
