// Files and services: the package's files deleted, a text replaced inside a
// 16-bit text file, and the system's own USB storage driver restored.
#pragma once

#include "package.h"
#include "platform/platform.h"

#include <string>

// The path of one of the package's files below WindowsDirectory (which the
// caller has found known).
std::string WindowsPath(const PackageFile& file);

// DeleteFileA; when that fails, clear the attribute bits and try once more.
void ForceDeleteFile(const std::string& path);

// True when a directory search (FindFirstFileA) for the exact path finds an
// entry, file or directory; `attributes` then holds the entry's.
bool FindEntry(const std::string& path, DWORD& attributes);
// True when FindEntry finds an entry that is not a directory.
bool IsExistingFile(const std::string& path);

// 1: the WDM driver file; 2: the I/O subsystem driver file; 3: the package
// INF copies and the precompiled INF. Any other selector does nothing, and
// so does every selector while the Windows directory is not known.
void RemoveDriverFiles(int selector);

// Replaces the first occurrence of `search` (8-bit characters matched against
// the low bytes of a 16-bit little-endian file) by `replacement` and writes
// the file anew, with normal attributes. True when the file was written anew,
// whether or not an occurrence was found. False, with the file as it was,
// when it is missing, a directory, in use or read-only, too large for a
// 32-bit signed length, cannot be read whole, or the new content cannot be
// written whole; also for an empty search text.
bool ReplaceTextInFile(const std::string& path, const std::string& search,
                       const std::string& replacement);

// 1: USBSTOR's ImagePath in every control set and usbstor.inf back to the
// system's driver; 2: the replacement driver file deleted. Any other selector
// does nothing. While the Windows directory is not known no file is touched
// (selector 1 still writes the registry values).
void RestoreStorageDriver(int selector);
