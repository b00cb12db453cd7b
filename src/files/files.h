// Files and services: the package's files deleted, a text replaced inside a
// 16-bit text file, and the system's own USB storage driver restored.
#pragma once

#include <string>

// The package's driver files and precompiled INF, by name (the INF itself:
// kDriverInfName in inventory/inventory.h).
inline constexpr char kWdmDriverFile[] = "WDMZAV03.sys";      // <windows>\system32\drivers
inline constexpr char kIosDriverFile[] = "PDRZAV03.pdr";      // <windows>\system\iosubsys
inline constexpr char kPrecompiledInfFile[] = "MSTEVUmss.PNF";  // <windows>\inf
// The replacement USB storage driver the package puts in on Windows 2000
// (<windows>\System32\DRIVERS), and that usbstor.inf then names.
inline constexpr char kReplacementDriverFile[] = "USBSTORSP3.SYS";
// The system's own INF of that driver, below the Windows directory; the
// restoration rewrites it.
inline constexpr char kStorageInf[] = "inf\\usbstor.inf";

// DeleteFileA; when that fails, clear the attribute bits and try once more.
void ForceDeleteFile(const std::string& path);

// True when a directory search for the exact path finds an entry that is not
// a directory.
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
