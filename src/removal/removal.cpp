// Device removal (not yet built: nothing is removed).
#include "removal/removal.h"

bool RemovePackageDevices() { return true; }

void RemoveDeviceRegistryKeys(my_devdriData) {}
