// Device removal: the package's present devices taken out through the device
// setup services, and the registry keys of each removed device deleted.
#pragma once

#include "inventory/inventory.h"

// False only when the list of present devices cannot be obtained.
bool RemovePackageDevices();

// The five deletions (two hardware keys below "Enum", three driver keys
// below "System\CurrentControlSet\Services\Class") named by one record.
void RemoveDeviceRegistryKeys(my_devdriData record);
