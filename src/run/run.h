// Run control: the entry point, the fixed order of the uninstall steps, the
// choice of work by operating system, and the recording of the Windows
// directory that the other subsystems build their paths from
// (run/run_state.h).
#pragma once

#include "platform/platform.h"

#include <string>

// Step 1 of WinMain: fills WindowsDirectory from GetWindowsDirectoryA, or
// leaves it all zero when the call fails or the path needs more than 100
// characters with its terminator.
void RecordWindowsDirectory();

struct OsIdentity {
    std::string SystemName;
    double VersionNumber = 0.0;
    std::string ServicePack;
};

// The identification table over the four values the platform reports.
// Fills SystemName, VersionNumber and ServicePack (a platform id the table
// does not know leaves SystemName as it was).
void IdentifyFromVersion(OsIdentity& os, DWORD platformId, DWORD majorVersion,
                         DWORD minorVersion, const char* servicePack);

// GetVersionExA, then IdentifyFromVersion. False (both texts emptied,
// VersionNumber unchanged) when the query fails.
bool IdentifyOperatingSystem(OsIdentity& os);

// The system-dependent work of a run.
enum class UninstallWork {
    None,
    DeviceRemoval,         // the package's devices, their keys and files
    StorageDriverRestore,  // the system's USB storage driver back in place
};

// Windows 98: the device removal. Windows 2000 with a service pack other
// than exactly "Service Pack 3" or "Service Pack 4": the storage driver
// restoration. Any other system: none.
UninstallWork WorkFor(const OsIdentity& os);

// The system-dependent work, ending with the completion message.
void RunUninstall();
