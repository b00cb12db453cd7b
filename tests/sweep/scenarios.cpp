#include "scenarios.h"

namespace scenarios {

namespace {

const char kPackageClass[] = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
const char kDiskClass[] = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const char kHdcClass[] = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
const char kDriveIcons[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";

const char kPackageInf[] =
    "; package INF\r\n"
    "[Version]\r\n"
    "Signature=\"$Chicago$\"\r\n"
    "Class=ZavStorage\r\n"
    "ClassGUID={A5DCBF10-6530-11D2-901F-00C04FB951ED}\r\n"
    "Provider=%Maker%\r\n"
    "\r\n"
    "[MSZAV03SECTION]\r\n"
    "%Disk.Desc%=ZAV.Install,USB\\VID_1234&PID_5678\r\n"
    "%Disk2.Desc%=ZAV.Install,USB\\VID_1234&PID_9ABC,USB\\CLASS_08\r\n"
    "\r\n"
    "[Strings]\r\n"
    "Maker=\"Maker\"\r\n"
    "Disk.Desc=\"USB disk\"\r\n"
    "Disk2.Desc=\"USB disk, second model\"\r\n";

void AddFile(sim::Machine& m, const std::string& path, const std::string& text, DWORD attributes) {
    m.files.AddFile(path, text, attributes);
}

void Device(sim::Machine& m, const std::string& id, const char* classGuid, const std::string& desc,
            const std::string& driver) {
    const std::string key = m.HardwareKeyPath(id);
    m.registry.SetString(key, "ClassGUID", classGuid);
    m.registry.SetString(key, "DeviceDesc", desc);
    if (!driver.empty()) m.registry.SetString(key, "Driver", driver);
    m.registry.SetString(key, "Mfg", "Maker");
}

void DriveIcon(sim::Machine& m, char letter, bool package) {
    const std::string key = std::string(kDriveIcons) + "\\" + letter;
    m.registry.SetString(key + "\\DefaultIcon", "", "C:\\PROGRA~1\\ZAV\\disk.ico,0");
    m.registry.SetString(key + "\\DefaultIcon", "Owner", "kept");
    m.registry.SetString(key + "\\DefaultLabel", "", "USB DISK");
    if (package) m.registry.Create(key + "\\TEVDRIVE");
}

}  // namespace

std::vector<uint8_t> Utf16File(const std::string& text) {
    std::vector<uint8_t> out = {0xFF, 0xFE};
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

sim::Machine Windows98WithPackage() {
    sim::Machine m = sim::MakeWindows98();
    const std::string w = m.windowsDirectory;
    AddFile(m, w + "\\inf\\other\\USBZAV03.inf", kPackageInf, FILE_ATTRIBUTE_ARCHIVE);
    AddFile(m, w + "\\inf\\USBZAV03.inf", kPackageInf, FILE_ATTRIBUTE_READONLY);
    AddFile(m, w + "\\inf\\MSTEVUmss.PNF", "PNF", FILE_ATTRIBUTE_ARCHIVE);
    AddFile(m, w + "\\inf\\usb.inf", "[Version]\r\nSignature=\"$Chicago$\"\r\n", FILE_ATTRIBUTE_ARCHIVE);
    AddFile(m, w + "\\system32\\drivers\\WDMZAV03.sys", "MZ driver",
            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    AddFile(m, w + "\\system32\\drivers\\usbhub.sys", "MZ hub", FILE_ATTRIBUTE_ARCHIVE);
    AddFile(m, w + "\\system\\iosubsys\\PDRZAV03.pdr", "MZ pdr", FILE_ATTRIBUTE_ARCHIVE);
    AddFile(m, w + "\\system\\iosubsys\\disktsd.vxd", "MZ vxd", FILE_ATTRIBUTE_ARCHIVE);

    const std::string cls = "HKLM\\System\\CurrentControlSet\\Services\\Class\\";
    m.registry.SetString(cls + kPackageClass, "Class", "ZavStorage");
    m.registry.SetString(cls + "ZavStorage\\0000", "DriverDesc", "USB disk");
    m.registry.SetString(cls + "ZavStorage\\0001", "DriverDesc", "USB disk, second model");
    m.registry.SetString(cls + "DiskDrive\\0000", "DriverDesc", "Fixed disk");
    m.registry.SetString(cls + "DiskDrive\\0003", "DriverDesc", "USB disk drive");
    m.registry.SetString(cls + "hdc\\0000", "DriverDesc", "IDE controller");

    // The first package device, with a disk drive and a drive letter.
    Device(m, "USB\\VID_1234&PID_5678\\SN01", kPackageClass, "USB disk", "ZavStorage\\0000");
    Device(m, "SCSI\\DISK&VEN_X\\USB&VID_1234&PID_5678&SN0100", kDiskClass, "USB disk drive",
           "DiskDrive\\0003");
    m.registry.SetString(m.HardwareKeyPath("SCSI\\DISK&VEN_X\\USB&VID_1234&PID_5678&SN0100"),
                         "CurrentDriveLetterAssignment", "E");
    // The second package device, without a disk.
    Device(m, "USB\\VID_1234&PID_9ABC\\SN02", kPackageClass, "USB disk, second model",
           "ZavStorage\\0001");
    // A recorded instance that is not present.
    Device(m, "USB\\VID_1234&PID_5678\\SN99", kPackageClass, "USB disk", "ZavStorage\\0009");
    // Devices that are not the package's.
    Device(m, "PCI\\VEN_8086&DEV_7111\\0", kHdcClass, "IDE controller", "hdc\\0000");
    Device(m, "ESDI\\GENERIC_IDE_DISK\\0", kDiskClass, "Fixed disk", "DiskDrive\\0000");

    m.devices = {
        {"PCI\\VEN_8086&DEV_7111\\0", std::nullopt, std::nullopt},
        {"USB\\VID_1234&PID_5678\\SN01", std::nullopt, std::nullopt},
        {"ESDI\\GENERIC_IDE_DISK\\0", std::nullopt, std::nullopt},
        {"USB\\VID_1234&PID_9ABC\\SN02", std::nullopt, std::nullopt},
        {"SCSI\\DISK&VEN_X\\USB&VID_1234&PID_5678&SN0100", std::nullopt, std::nullopt},
    };
    DriveIcon(m, 'C', false);
    DriveIcon(m, 'E', true);
    m.windowTitles = {"Glovix"};
    return m;
}

sim::Machine Windows2000Sp2WithPackage() {
    sim::Machine m = sim::MakeWindows2000("Service Pack 2");
    const std::string w = m.windowsDirectory;
    for (const char* set : {"ControlSet001", "ControlSet002"}) {
        const std::string service = std::string("HKLM\\System\\") + set + "\\Services\\USBSTOR";
        m.registry.SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTORSP3.SYS");
        m.registry.SetDword(service, "Start", 3);
        m.registry.SetString(std::string("HKLM\\System\\") + set + "\\Services\\usbhub", "ImagePath",
                             "System32\\DRIVERS\\usbhub.sys", REG_EXPAND_SZ);
    }
    m.registry.SetDword("HKLM\\System\\Select", "Current", 1);
    m.registry.SetString("HKLM\\System\\Setup", "SystemPartition", "\\Device\\HarddiskVolume1");
    m.files.AddFile(w + "\\inf\\usbstor.inf",
                    Utf16File("[Version]\r\nSignature=\"$Windows NT$\"\r\n[USBSTOR.CopyFiles]\r\n"
                              "USBSTOR.SYS,%12%\\USBSTORSP3.SYS\r\n"),
                    FILE_ATTRIBUTE_ARCHIVE);
    m.files.AddFile(w + "\\System32\\DRIVERS\\USBSTORSP3.SYS", "MZ replacement",
                    FILE_ATTRIBUTE_READONLY);
    m.files.AddFile(w + "\\System32\\DRIVERS\\USBSTOR.SYS", "MZ system driver",
                    FILE_ATTRIBUTE_ARCHIVE);
    DriveIcon(m, 'E', true);
    DriveIcon(m, 'F', false);
    m.windowTitles = {"Glovix"};
    return m;
}

}  // namespace scenarios
