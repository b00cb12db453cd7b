// Drive icons: the package's per-drive icon and label registrations cleared.
#pragma once

#include "platform/platform.h"

// Bit i selects the drive letter 'A' + i (bits 26..31 select none). False
// when the DriveIcons key could not be opened.
bool ClearDriveIcons(DWORD driveMask);
