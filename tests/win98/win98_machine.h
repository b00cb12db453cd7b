// Small Windows 98 machines with the driver package installed, for the
// scenarios of the Windows 98 path.
#pragma once

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace win98 {

// The package's setup class as its INF declares it, the classes the system
// knows, and the Windows 98 spelling of the keys the scenarios use.
const char kPackageClass[] = "ZavStorage";
const char kPackageGuid[] = "{7F1E3A20-5B6C-4D8E-9F01-23456789ABCD}";
const char kDiskGuid[] = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char kHdcGuid[] = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char kUsbGuid[] = "{36FC9E60-C465-11CF-8056-444553540000}";
const char kEnum[] = "HKLM\\Enum\\";
const char kClass[] = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";

inline GUID Guid(const char* text) { return *sim::ParseGuid(text); }

// An INF of the package's form: its [Version] class and the device section
// with the given lines ("key=values").
inline std::string InfText(const std::vector<std::string>& sectionLines,
                           const std::string& className = kPackageClass,
                           const std::string& classGuid = kPackageGuid) {
    std::string text = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=" + className +
                       "\r\nClassGUID=" + classGuid + "\r\nProvider=%Maker%\r\n\r\n[MSZAV03SECTION]\r\n";
    for (const std::string& line : sectionLines) text += line + "\r\n";
    return text + "\r\n[Strings]\r\nMaker=\"Zav\"\r\n";
}

// "inf\other" (where the setup services copy an OEM INF on 9x) or "inf".
inline void AddInf(sim::Machine& m, const std::string& directory, const std::string& text) {
    m.files.AddFile(m.windowsDirectory + "\\" + directory + "\\USBZAV03.inf", text);
}

inline void AddDevice(sim::Machine& m, const std::string& id, const char* classGuid,
                      const std::string& description = "") {
    sim::Device device;
    device.instanceId = id;
    device.classGuid = Guid(classGuid);
    if (!description.empty()) device.description = description;
    m.devices.push_back(device);
}

inline std::vector<std::string> Targets(const sim::Machine& m, sim::Api api) {
    std::vector<std::string> targets;
    for (const sim::Event& event : m.EventsOf(api)) targets.push_back(event.target);
    return targets;
}

// The scenario machine of the package: one package device with its disk and
// drive letter (SN01), and the registry around it that must stay.
//   Enum\USB\VID_1234&PID_5678\SN01               Driver ZavStorage\0000
//   Enum\SCSI\DISK&VEN_ZAV\USB&VID_1234&PID_5678&SN0100
//                                                 Driver DiskDrive\0003, letter E
//   Class\ZavStorage\0000, Class\DiskDrive\0003   the package's driver keys
//   Enum\SCSI\DISK&VEN_SYS\..., Class\DiskDrive\0000, Class\USB\0000: the system's
inline sim::Machine PackageMachine() {
    sim::Machine m = sim::MakeWindows98();
    AddInf(m, "inf\\other", InfText({"ZavDisk=Install,USB\\VID_1234&PID_5678"}));
    sim::Registry& r = m.registry;
    const std::string device = std::string(kEnum) + "USB\\VID_1234&PID_5678\\SN01";
    const std::string disk = std::string(kEnum) + "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100";
    r.SetString(device, "Driver", "ZavStorage\\0000");
    r.SetString(disk, "Driver", "DiskDrive\\0003");
    r.SetString(disk, "Mfg", "Zav");
    r.SetString(disk, "CurrentDriveLetterAssignment", "E");
    r.SetString(std::string(kEnum) + "SCSI\\DISK&VEN_SYS\\5&0&0", "Driver", "DiskDrive\\0000");
    r.SetString(std::string(kEnum) + "USB\\ROOT_HUB\\0000", "Driver", "USB\\0000");
    r.SetString(std::string(kClass) + "ZavStorage\\0000", "DriverDesc", "Zav USB storage");
    r.SetString(std::string(kClass) + "DiskDrive\\0003", "DriverDesc", "Disk drive");
    r.SetString(std::string(kClass) + "DiskDrive\\0000", "DriverDesc", "Disk drive");
    r.SetString(std::string(kClass) + "USB\\0000", "DriverDesc", "USB root hub");
    AddDevice(m, "USB\\ROOT_HUB\\0000", kUsbGuid);
    AddDevice(m, "USB\\VID_1234&PID_5678\\SN01", kPackageGuid);
    AddDevice(m, "SCSI\\DISK&VEN_SYS\\5&0&0", kDiskGuid, "System disk");
    AddDevice(m, "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100", kDiskGuid, "ZAV USB DISK");
    return m;
}

}  // namespace win98
