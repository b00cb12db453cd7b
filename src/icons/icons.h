// Drive icons: the package's per-drive icon and label registrations cleared.
#pragma once

#include "platform/platform.h"

// Explorer's per-drive registrations, below HKEY_LOCAL_MACHINE.
inline constexpr char kDriveIconsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

// The subkey that marks a drive letter's registrations as the package's.
inline constexpr char kDriveIconMarker[] = "TEVDRIVE";

// Bit i selects the drive letter 'A' + i (bits 26..31 select none). False
// when the DriveIcons key could not be opened.
bool ClearDriveIcons(DWORD driveMask);
