#include "support/package_machine.h"

namespace support {

GUID Guid(const char* text) { return *sim::ParseGuid(text); }

// ---------------------------------------------------------------- pieces

std::string InfText(const std::vector<std::string>& sectionLines, const std::string& className,
                    const std::string& classGuid) {
    std::string text = "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=" + className +
                       "\r\nClassGUID=" + classGuid + "\r\nProvider=%Maker%\r\n\r\n[MSZAV03SECTION]\r\n";
    for (const std::string& line : sectionLines) text += line + "\r\n";
    return text + "\r\n[Strings]\r\nMaker=\"Zav\"\r\n";
}

void AddInf(sim::Machine& m, const std::string& folder, const std::string& text) {
    m.files.AddFile(m.windowsDirectory + "\\" + folder + "\\USBZAV03.inf", text);
}

void AddDevice(sim::Machine& m, const std::string& id, const char* classGuid,
               const std::string& description) {
    sim::Device device;
    device.instanceId = id;
    device.classGuid = Guid(classGuid);
    if (!description.empty()) device.description = description;
    m.devices.push_back(device);
}

void AddWindows98Files(sim::FileSystem& files, const std::string& w) {
    files.AddFile(w + "\\system32\\drivers\\WDMZAV03.sys", "MZ driver",
                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    files.AddFile(w + "\\system\\iosubsys\\PDRZAV03.pdr", "MZ pdr");
    files.AddFile(w + "\\inf\\MSTEVUmss.PNF", "PNF");
    files.AddFile(w + "\\system32\\drivers\\usbhub.sys", "MZ hub");
    files.AddFile(w + "\\system32\\drivers\\USBSTOR.SYS", "MZ storage driver");
    files.AddFile(w + "\\system\\iosubsys\\disktsd.vxd", "MZ vxd");
    files.AddFile(w + "\\inf\\usb.inf", "[Version]\r\nSignature=\"$Chicago$\"\r\n");
    files.AddFile(w + "\\inf\\other\\OTHER.inf", "[Version]\r\nSignature=\"$Chicago$\"\r\n");
}

std::vector<uint8_t> UsbstorInf(const std::string& driverReference) {
    return Concat(kByteOrderMark, Utf16Bytes("[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n\r\n"
                                     "[USBSTOR.AddService]\r\nServiceBinary = " + driverReference +
                                     "\r\nStartType = 3\r\n"));
}

void AddStorageDriverFiles(sim::FileSystem& files, const std::string& w) {
    files.AddFile(w + "\\inf\\usbstor.inf", UsbstorInf("%12%\\USBSTORSP3.SYS"));
    files.AddFile(w + "\\inf\\usb.inf", Utf16Bytes("[Version]"));
    files.AddFile(w + "\\System32\\DRIVERS\\USBSTORSP3.SYS", "MZ replacement", FILE_ATTRIBUTE_READONLY);
    files.AddFile(w + "\\System32\\DRIVERS\\USBSTOR.SYS", "MZ system driver");
}

void AddDriveIcon(sim::Machine& m, char letter, bool package) {
    const std::string key = std::string(kDriveIcons) + "\\" + letter;
    m.registry.SetString(key + "\\DefaultIcon", "", "C:\\PROGRA~1\\ZAV\\disk.ico,0");
    m.registry.SetString(key + "\\DefaultIcon", "Owner", "kept");
    m.registry.SetString(key + "\\DefaultLabel", "", "USB DISK");
    if (package) m.registry.Create(key + "\\TEVDRIVE");
}

std::vector<std::string> Targets(const sim::Machine& m, sim::Api api) {
    std::vector<std::string> targets;
    for (const sim::Event& event : m.EventsOf(api)) targets.push_back(event.target);
    return targets;
}

// ---------------------------------------------------------------- Windows 98

namespace {

const char kSn01[] = "USB\\VID_1234&PID_5678\\SN01";
const char kSn01Disk[] = "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100";

// The drive icons (E the package's, C another program's) and the companion
// program's window, on either family.
void AddIconsAndCompanion(sim::Machine& m) {
    AddDriveIcon(m, 'C', false);
    AddDriveIcon(m, 'E', true);
    m.windowTitles = {"Glovix"};
}

}  // namespace

sim::Machine Windows98WithPackage(const Windows98Package& options) {
    sim::Machine m = sim::MakeWindows98();
    std::vector<std::string> lines = options.sectionLines;
    if (options.secondModel) lines.push_back("ZavDisk2=Install,USB\\VID_1234&PID_9ABC,USB\\CLASS_08");
    for (const std::string& folder : options.infFolders) AddInf(m, folder, InfText(lines));
    sim::Registry& r = m.registry;
    const std::string enumRoot = kEnum, classRoot = kClass;
    if (options.devices) {
        r.SetString(enumRoot + kSn01, "Driver", "ZavStorage\\0000");
        r.SetString(enumRoot + kSn01Disk, "Driver", "DiskDrive\\0003");
        r.SetString(enumRoot + kSn01Disk, "Mfg", "Zav");
        r.SetString(enumRoot + kSn01Disk, "CurrentDriveLetterAssignment", "E");
        r.SetString(enumRoot + "SCSI\\DISK&VEN_SYS\\5&0&0", "Driver", "DiskDrive\\0000");
        r.SetString(enumRoot + "USB\\ROOT_HUB\\0000", "Driver", "USB\\0000");
        r.SetString(classRoot + "ZavStorage\\0000", "DriverDesc", "Zav USB storage");
        r.SetString(classRoot + "DiskDrive\\0003", "DriverDesc", "Disk drive");
        r.SetString(classRoot + "DiskDrive\\0000", "DriverDesc", "Disk drive");
        r.SetString(classRoot + "USB\\0000", "DriverDesc", "USB root hub");
        AddDevice(m, "USB\\ROOT_HUB\\0000", kUsbGuid);
        AddDevice(m, kSn01, kPackageGuid);
        AddDevice(m, "SCSI\\DISK&VEN_SYS\\5&0&0", kDiskGuid, "System disk");
        AddDevice(m, kSn01Disk, kDiskGuid, "ZAV USB DISK");
    }
    if (options.secondModel) {
        r.SetString(enumRoot + "USB\\VID_1234&PID_9ABC\\SN02", "Driver", "ZavStorage\\0001");
        r.SetString(classRoot + "ZavStorage\\0001", "DriverDesc", "Zav USB storage, second model");
        AddDevice(m, "USB\\VID_1234&PID_9ABC\\SN02", kPackageGuid);
        r.SetString(enumRoot + "USB\\VID_1234&PID_5678\\SN99", "Driver", "ZavStorage\\0009");
    }
    if (options.whole) {
        r.SetString(classRoot + kPackageGuid, "Class", kPackageClass);
        AddWindows98Files(m.files, m.windowsDirectory);
        if (sim::FileEntry* copy = m.files.Find(m.windowsDirectory + "\\inf\\USBZAV03.inf"))
            copy->attributes = FILE_ATTRIBUTE_READONLY;
        AddIconsAndCompanion(m);
    }
    return m;
}

bool PackageDeviceRemoved(sim::Machine& m) {
    const std::string enumRoot = kEnum, classRoot = kClass;
    bool all = true;
    for (const std::string& key : {enumRoot + kSn01, enumRoot + kSn01Disk, classRoot + "DiskDrive\\0003",
                                   classRoot + "ZavStorage\\0000"})
        all = m.registry.DeleteTree(key) && all;
    return all;
}

// ---------------------------------------------------------------- Windows 2000

void AddStorageDriverService(sim::Machine& m, const std::vector<std::string>& controlSets) {
    for (const std::string& set : controlSets) {
        const std::string services = "HKLM\\System\\" + set + "\\Services\\";
        m.registry.SetString(services + "USBSTOR", "ImagePath", kPackageImage);
        m.registry.SetDword(services + "USBSTOR", "Type", 1);
        m.registry.SetDword(services + "USBSTOR", "Start", 3);
        m.registry.SetString(services + "usbhub", "ImagePath", "System32\\DRIVERS\\usbhub.sys",
                             REG_EXPAND_SZ);
    }
    m.registry.SetDword("HKLM\\System\\Select", "Current", 1);
    m.registry.SetDword("HKLM\\System\\Select", "LastKnownGood", 2);
    m.registry.SetString("HKLM\\System\\Setup", "SystemPartition", "\\Device\\HarddiskVolume1");
    m.registry.SetDword("HKLM\\System\\Setup", "SystemSetupInProgress", 0);
}

sim::Machine Windows2000WithPackage(const Windows2000Package& options) {
    sim::Machine m = sim::MakeWindows2000(options.servicePack);
    AddStorageDriverService(m, options.controlSets);
    AddStorageDriverFiles(m.files, m.windowsDirectory);
    if (options.whole) {
        AddIconsAndCompanion(m);
    }
    return m;
}

void StorageDriverRestored(sim::Machine& m) {
    for (const char* service : {kUsbstor1, kUsbstor2})
        m.registry.SetString(service, "ImagePath", kSystemImage, REG_EXPAND_SZ);
    m.files.AddFile(m.windowsDirectory + "\\inf\\usbstor.inf", UsbstorInf("%12%\\USBSTOR.SYS"),
                    FILE_ATTRIBUTE_ARCHIVE);
    m.files.Remove(m.windowsDirectory + "\\System32\\DRIVERS\\USBSTORSP3.SYS");
}

}  // namespace support
