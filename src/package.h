// The package's fixed names, each written here once: its INF and device
// section, its files and the folders they lie in below the Windows
// directory, the USB storage service whose driver it replaces on Windows
// 2000, Explorer's drive icon key and the package's marker there, the
// installer's command and the companion program's window. The uninstaller,
// the collector and the dry run's residue scan take every name from here.
// A leaf: it includes nothing, and nothing here is configurable.
#pragma once

// A file by the folder it lies in below the Windows directory (no backslash
// at either end) and its name.
struct PackageFile {
    const char* folder;
    const char* name;
};

// The package INF and the section that lists its device id prefixes. The
// setup services copy a third-party INF into "inf\other" on Windows 98;
// "inf" is where the package's own setup may have left it.
inline constexpr char kDriverInfName[] = "USBZAV03.inf";
inline constexpr char kDriverInfSection[] = "MSZAV03SECTION";
inline constexpr char kInfFolder[] = "inf";
inline constexpr char kOtherInfFolder[] = "inf\\other";

// The package's files (Windows 98).
inline constexpr PackageFile kWdmDriverFile = {"system32\\drivers", "WDMZAV03.sys"};
inline constexpr PackageFile kIosDriverFile = {"system\\iosubsys", "PDRZAV03.pdr"};
inline constexpr PackageFile kOtherInfCopy = {kOtherInfFolder, kDriverInfName};
inline constexpr PackageFile kInfCopy = {kInfFolder, kDriverInfName};
inline constexpr PackageFile kPrecompiledInfFile = {kInfFolder, "MSTEVUmss.PNF"};

// Windows 2000: the replacement USB storage driver the package puts in, the
// system's INF of that driver (rewritten by the restoration), and the
// system's own driver that both are pointed back at.
inline constexpr PackageFile kReplacementDriverFile = {"System32\\DRIVERS", "USBSTORSP3.SYS"};
inline constexpr PackageFile kStorageInf = {kInfFolder, "usbstor.inf"};
// The service, and its key below each control set (each subkey of
// HKEY_LOCAL_MACHINE\System); the system's files of its driver carry its
// name.
inline constexpr char kStorageServiceName[] = "USBSTOR";
inline constexpr char kStorageServiceKey[] = "Services\\USBSTOR";
inline constexpr char kStorageServiceImagePath[] = "ImagePath";
inline constexpr char kSystemStorageDriverPath[] = "System32\\DRIVERS\\USBSTOR.SYS";
// How usbstor.inf names the system's driver ("%12%" is the drivers folder).
inline constexpr char kSystemStorageDriverReference[] = "%12%\\USBSTOR.SYS";

// Every file the uninstaller deletes or rewrites on either family, in the
// order it reaches them.
inline constexpr PackageFile kPackageFiles[] = {
    kWdmDriverFile, kIosDriverFile, kOtherInfCopy,          kInfCopy,
    kPrecompiledInfFile, kStorageInf, kReplacementDriverFile,
};

// Explorer's per-drive registrations below HKEY_LOCAL_MACHINE, and the
// subkey that marks a drive letter's registrations as the package's.
inline constexpr char kDriveIconsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
inline constexpr char kDriveIconMarker[] = "TEVDRIVE";

// The Windows Installer removal of the product, with no user interface.
inline constexpr char kInstallerProgram[] = "MsiExec.exe";
inline constexpr char kInstallerParameters[] = "/X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn";
// The package's companion program, reached through its top-level window.
inline constexpr char kCompanionWindowTitle[] = "Glovix";
