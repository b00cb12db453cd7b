// The run's global state: what one step of the run records for the steps
// after it, each written by one subsystem and read by others.
#pragma once

#include "inventory/inventory.h"

// The Windows directory, zero-terminated; all zero until WinMain records it,
// and all zero again when it could not be read or did not fit.
// Written by: RecordWindowsDirectory (run), WinMain's first step.
// Read by: the package INF lookup (inventory), the driver file removal and
// the storage driver restoration (files), each after IsWindowsDirectoryKnown.
extern char WindowsDirectory[100];

// True when WindowsDirectory holds a path. Every operation that builds a path
// from it asks first: an empty directory would make "\system32\..." name the
// root of the current drive.
bool IsWindowsDirectoryKnown();

// The package's present devices, with every name their removal needs.
// Written by: BuildDeviceInventory and ReleaseDeviceInventory (inventory).
// Read by: RemovePackageDevices (removal), between the two.
extern DeviceInventoryTable DeviceInventory;
