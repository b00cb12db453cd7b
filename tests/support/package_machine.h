// Machines with the driver package installed: one builder for each family,
// with options, and the pieces that scenarios add to them. Shared by the
// tests, the fault sweep, the property tests, the fuzz targets and the
// benchmarks.
#pragma once

#include "support/text_bytes.h"

#include "platform/sim/sim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace support {

// The package's setup class as its INF declares it, the classes the system
// knows, and the Windows 98 spelling of the keys the scenarios use.
const char kPackageClass[] = "ZavStorage";
const char kPackageGuid[] = "{7F1E3A20-5B6C-4D8E-9F01-23456789ABCD}";
const char kDiskGuid[] = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char kHdcGuid[] = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char kUsbGuid[] = "{36FC9E60-C465-11CF-8056-444553540000}";
const char kEnum[] = "HKLM\\Enum\\";
const char kClass[] = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";
const char kDriveIcons[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

// The storage driver on Windows 2000: USBSTOR's key in the two control sets,
// the ImagePath the package sets and the system's own, usbstor.inf and the
// package's replacement driver.
const char kUsbstor1[] = "HKLM\\System\\ControlSet001\\Services\\USBSTOR";
const char kUsbstor2[] = "HKLM\\System\\ControlSet002\\Services\\USBSTOR";
const char kPackageImage[] = "System32\\DRIVERS\\USBSTORSP3.SYS";
const char kSystemImage[] = "System32\\DRIVERS\\USBSTOR.SYS";
const char kUsbstorInf[] = "C:\\WINNT\\inf\\usbstor.inf";
const char kReplacementDriver[] = "C:\\WINNT\\System32\\DRIVERS\\USBSTORSP3.SYS";

GUID Guid(const char* text);

// ---------------------------------------------------------------- pieces

// An INF of the package's form: its [Version] class and the device section
// with the given lines ("key=values").
std::string InfText(const std::vector<std::string>& sectionLines,
                    const std::string& className = kPackageClass, const std::string& classGuid = kPackageGuid);

// The package INF in `folder` below the Windows directory: "inf\other"
// (where the setup services copy an OEM INF on 9x) or "inf".
void AddInf(sim::Machine& m, const std::string& folder, const std::string& text);

// A present device, of an explicit class.
void AddDevice(sim::Machine& m, const std::string& id, const char* classGuid,
               const std::string& description = "");

// The package's files on Windows 98 below `windows` (its drivers, the PNF),
// as setup leaves them, and the system's own files beside them.
void AddWindows98Files(sim::FileSystem& files, const std::string& windows);

// usbstor.inf (16-bit text with its byte order mark) whose service binary is
// `driverReference` ("%12%\USBSTORSP3.SYS" once the package installed).
std::vector<uint8_t> UsbstorInf(const std::string& driverReference);

// On Windows 2000 below `windows`: usbstor.inf naming the package's
// replacement driver, that driver (read-only) and the system's own driver.
void AddStorageDriverFiles(sim::FileSystem& files, const std::string& windows);

// The USB storage service of each control set pointed at the replacement
// driver (usbhub beside it), and the control set selection and setup keys.
void AddStorageDriverService(sim::Machine& m, const std::vector<std::string>& controlSets);

// A drive letter's icon and label registration: the package's carries the
// TEVDRIVE marker key, another program's does not.
void AddDriveIcon(sim::Machine& m, char letter, bool package);

// The targets of the events of one call, in order.
std::vector<std::string> Targets(const sim::Machine& m, sim::Api api);

// ---------------------------------------------------------------- Windows 98

struct Windows98Package {
    // The package INF's device section, and the folders below the Windows
    // directory that hold a copy of it.
    std::vector<std::string> sectionLines = {"ZavDisk=Install,USB\\VID_1234&PID_5678"};
    std::vector<std::string> infFolders = {"inf\\other"};
    // The package device SN01 with its disk and drive letter E, and the
    // system's own devices (a USB root hub, a disk), with their keys.
    bool devices = true;
    // A second model's line and device (SN02, no disk), and an instance of
    // the first model that is recorded but not present (SN99).
    bool secondModel = false;
    // Everything else setup leaves: the class registration, the package's
    // files (the INF copy in "inf" read-only), drive icons (E the
    // package's, C another program's) and the companion program's window.
    bool whole = false;
};

// The machine of the Windows 98 scenarios. With the defaults:
//   Enum\USB\VID_1234&PID_5678\SN01               Driver ZavStorage\0000
//   Enum\SCSI\DISK&VEN_ZAV\USB&VID_1234&PID_5678&SN0100
//                                                 Driver DiskDrive\0003, letter E
//   Class\ZavStorage\0000, Class\DiskDrive\0003   the package's driver keys
//   Enum\SCSI\DISK&VEN_SYS\..., Class\DiskDrive\0000, Class\USB\0000: the system's
// present devices in the order root hub, SN01, system disk, SN01's disk.
sim::Machine Windows98WithPackage(const Windows98Package& options = Windows98Package());

// What the run's device removal does to that machine: SN01's and its disk's
// hardware keys and driver keys gone. False when one of them was not there.
bool PackageDeviceRemoved(sim::Machine& m);

// ---------------------------------------------------------------- Windows 2000

struct Windows2000Package {
    std::string servicePack = "Service Pack 2";
    // Each with USBSTOR pointed at the replacement driver.
    std::vector<std::string> controlSets = {"ControlSet001", "ControlSet002"};
    // The drive icons (E the package's, C another program's) and the
    // companion program's window.
    bool whole = false;
};

// Windows 2000 whose USB storage service the package redirected to its
// replacement driver: USBSTOR in every control set (usbhub beside it), the
// control set selection and setup keys, usbstor.inf and the drivers.
sim::Machine Windows2000WithPackage(const Windows2000Package& options = Windows2000Package());

// What the storage driver restoration does to a machine with the two
// control sets: ImagePath the system's driver as expandable text, usbstor.inf
// (below the machine's Windows directory) rewritten as a new file, the
// replacement driver gone.
void StorageDriverRestored(sim::Machine& m);

}  // namespace support
