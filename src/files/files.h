// Files and services: the package's files deleted, a text replaced inside a
// 16-bit text file, and the system's own USB storage driver restored.
#pragma once

#include <string>

// DeleteFileA; when that fails, clear the attribute bits and try once more.
void ForceDeleteFile(const std::string& path);

// 1: the WDM driver file; 2: the I/O subsystem driver file; 3: the package
// INF copies and the precompiled INF. Any other selector does nothing.
void RemoveDriverFiles(int selector);

// Replaces the first occurrence of `search` (8-bit characters matched against
// the low bytes of a 16-bit little-endian file) by `replacement` and writes
// the file anew. True when the file was written anew.
bool ReplaceTextInFile(const std::string& path, const std::string& search,
                       const std::string& replacement);

// 1: USBSTOR's ImagePath in every control set and usbstor.inf back to the
// system's driver; 2: the replacement driver file deleted.
void RestoreStorageDriver(int selector);
