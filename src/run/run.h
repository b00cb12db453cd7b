// Run control: the entry point, the fixed order of the uninstall steps, the
// choice of work by operating system, and the Windows directory that the
// other subsystems build their paths from.
#pragma once

#include "platform/platform.h"

#include <string>

// The Windows directory, zero-terminated; all zero until WinMain records it,
// and all zero again when it could not be read or did not fit.
extern char WindowsDirectory[100];

// True when WindowsDirectory holds a path. Every operation that builds a path
// from it asks first: an empty directory would make "\system32\..." name the
// root of the current drive.
bool IsWindowsDirectoryKnown();

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

// The system-dependent work, ending with the completion message.
void RunUninstall();
