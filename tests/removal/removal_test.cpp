// Device removal: which present devices are removed, which record names
// the keys to delete, and the five deletions of one record.
#include "removal/removal.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include "image/machine_state.h"

#include <gtest/gtest.h>

#include <algorithm>

using sim::Api;

using namespace support;

namespace {

const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kClassPath = "System\\CurrentControlSet\\Services\\Class\\";

my_devdriData Record(const char* deviceId, const char* diskId, const char* diskDriver,
                     const char* deviceDriver, const char* usbDriver) {
    my_devdriData r;
    r.deviceInstanceId = deviceId;
    r.diskInstanceId = diskId;
    r.diskDriver = diskDriver;
    r.deviceDriver = deviceDriver;
    r.usbDriver = usbDriver;
    r.flatIdTail = "unused";
    r.currentDriveLetterAssignment = "unused";
    return r;
}

// The five deletions in their order, an empty field passed over, and a
// field that would name "Enum", "...\Services\Class" or a key above them
// passed over too.
TEST(DeviceRegistryKeys, FiveDeletionsInOrder) {
    struct Row {
        const char* name;
        my_devdriData record;
        std::vector<std::string> targets;  // below HKEY_LOCAL_MACHINE
    };
    const Row rows[] = {
        {"all five",
         Record("USB\\VID_1&PID_2\\SN1", "SCSI\\DISK\\USB&VID_1&PID_2&SN100", "DiskDrive\\0003",
                "ZavStorage\\0000", "USB\\0004"),
         {"Enum\\USB\\VID_1&PID_2\\SN1", "Enum\\SCSI\\DISK\\USB&VID_1&PID_2&SN100",
          kClassPath + "DiskDrive\\0003", kClassPath + "ZavStorage\\0000", kClassPath + "USB\\0004"}},
        {"no disk, first key already gone",
         Record("USB\\VID_1&PID_2\\SN1", "", "", "ZavStorage\\0001", "USB\\0005"),
         {"Enum\\USB\\VID_1&PID_2\\SN1", kClassPath + "ZavStorage\\0001", kClassPath + "USB\\0005"}},
        {"all empty", Record("", "", "", "", ""), {}},
        {"unsafe", Record("\\", "SCSI\\", "\\DiskDrive", "ZavStorage\\\\0000", "\\\\\\"), {}},
        {"unsafe ids", Record("\\USB\\VID_1&PID_2\\SN1", "USB\\\\SN1", "", "DiskDrive\\", ""), {}},
        // Too few segments: a whole enumerator or device, a whole class.
        {"whole class or enumerator", Record("USB\\VID_1&PID_2", "SCSI", "DiskDrive", "USB", ""), {}},
    };

    sim::Machine m = sim::MakeWindows98();
    for (const char* key : {"USB\\VID_1&PID_2\\SN1", "SCSI\\DISK\\USB&VID_1&PID_2&SN100",
                            "SCSI\\DISK\\OTHER", "USB\\ROOT_HUB\\0000"})
        m.registry.SetString(kEnum + std::string(key), "Driver", "x");
    for (const char* key : {"DiskDrive\\0000", "DiskDrive\\0003", "ZavStorage\\0000",
                            "ZavStorage\\0001", "USB\\0000", "USB\\0004", "USB\\0005"})
        m.registry.SetString(kClass + std::string(key), "DriverDesc", "x");
    m.registry.SetString(kClass + std::string("ZavStorage\\0000\\Sub"), "x", "x");
    sim::Machine expected = m;
    for (const char* key : {"Enum\\USB\\VID_1&PID_2\\SN1", "Enum\\SCSI\\DISK\\USB&VID_1&PID_2&SN100"})
        expected.registry.DeleteTree("HKLM\\" + std::string(key));
    for (const char* key : {"DiskDrive\\0003", "ZavStorage\\0000", "ZavStorage\\0001", "USB\\0004",
                            "USB\\0005"})
        expected.registry.DeleteTree(kClass + std::string(key));

    ActiveMachine active(m);
    for (const Row& row : rows) {
        m.events.clear();
        RemoveDeviceRegistryKeys(row.record);
        std::vector<std::string> targets;
        for (const std::string& target : row.targets) targets.push_back(kHklm + target);
        EXPECT_EQ(Targets(m, Api::RegDeleteKeyA), targets) << row.name;
    }
    // Enum\USB\VID_1&PID_2 stays, though left without sub-keys.
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    EXPECT_TRUE(m.registry.Exists("HKLM\\Enum\\USB\\VID_1&PID_2"));
}

// Two package devices of the INF's class: SN01 with its disk and drive
// letter, and ZAVBUS\...\SN01 without a disk, whose sibling (same flattened
// id tail) is SN01. Around them: an instance of the package class that was
// unplugged (SN02: its hardware key, class and driver key remain, and only
// a device walk without DIGCF_PRESENT would meet it), a device of another
// class whose id is a candidate (SN03), a device of the package class whose
// id differs from its candidate only in letter case (SN05), and a foreign
// device of the package class. Exactly the two package devices go; the keys
// deleted are those named by SN01's record, for SN01 and again for its
// sibling. (Removing a device takes its own hardware key and driver key with
// it, as on Windows.) The device list's order decides the records' order:
// with the letterless device listed first, its own record comes before its
// sibling's, and the sibling search must pass over it. Ids without an "&"
// in their second or third segment have an empty flattened tail, which names
// no sibling: each such letterless device hands over its own record, and the
// keys of another one (whose removal fails here, so that it stays) remain.
// A removal that fails deletes no key; an empty inventory (no INF)
// removes nothing and still succeeds. The package's INF goes each time.
TEST(DeviceRemoval, PackageDevicesAndTheirKeysOnly) {
    const std::string sn01 = "USB\\VID_1234&PID_5678\\SN01", zavbus = "ZAVBUS\\VID_1234&PID_5678\\SN01";
    const std::string root0 = "ZAVROOT\\DISK\\0000", root1 = "ZAVROOT\\DISK\\0001";
    const auto machine = [&](bool letterlessFirst, bool emptyTails) {
        sim::Machine m = Windows98WithPackage();
        std::vector<std::string> infLines = {"ZavDisk=Install,USB\\VID_1234&PID_5678",
                                             "ZavBus=Install,ZAVBUS\\VID_1234&PID_5678"};
        if (emptyTails) infLines.push_back("ZavRoot=Install,ZAVROOT\\DISK");
        AddInf(m, "inf\\other", InfText(infLines));
        sim::Registry& r = m.registry;
        const std::string usb = std::string(kEnum) + "USB\\VID_1234&PID_5678\\";
        r.SetString(std::string(kEnum) + zavbus, "Driver", "ZavStorage\\0001");
        r.SetString(usb + "SN02", "Driver", "ZavStorage\\0002");
        r.SetString(usb + "SN02", "Class", kPackageClass);
        r.SetString(usb + "SN02", "ClassGUID", kPackageGuid);
        r.SetString(usb + "SN03", "Driver", "USB\\0003");
        r.SetString(usb + "SN05", "Driver", "ZavStorage\\0005");
        r.SetString(std::string(kEnum) + "USB\\VID_9999&PID_0001\\X1", "Driver", "ZavStorage\\0009");
        for (const char* key : {"ZavStorage\\0001", "ZavStorage\\0002", "ZavStorage\\0005",
                                "ZavStorage\\0009", "USB\\0003"})
            r.SetString(kClass + std::string(key), "DriverDesc", "x");
        AddDevice(m, zavbus, kPackageGuid);
        if (letterlessFirst) {
            // ZAVBUS\...\SN01 moves before USB\...\SN01 (the second device).
            std::rotate(m.devices.begin() + 1, m.devices.end() - 1, m.devices.end());
        }
        AddDevice(m, "USB\\VID_1234&PID_5678\\SN03", kUsbGuid);
        AddDevice(m, "usb\\vid_1234&pid_5678\\SN05", kPackageGuid);
        AddDevice(m, "USB\\VID_9999&PID_0001\\X1", kPackageGuid);
        if (emptyTails) {
            for (const std::string& id : {root0, root1}) {
                const std::string driver = "ZavStorage\\001" + id.substr(id.size() - 1);
                r.SetString(kEnum + id, "Driver", driver);
                r.SetString(kClass + driver, "DriverDesc", "x");
                AddDevice(m, id, kPackageGuid);
            }
        }
        return m;
    };
    sim::Machine noInf = Windows98WithPackage();
    noInf.files.Remove("C:\\WINDOWS\\inf\\other\\USBZAV03.inf");

    // The keys SN01's record names (the driver key twice: device and USB
    // node), deleted for SN01 and again for its sibling.
    const std::vector<std::string> sn01Keys = {
        "Enum\\" + sn01, "Enum\\SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100", kClassPath + "DiskDrive\\0003",
        kClassPath + "ZavStorage\\0000", kClassPath + "ZavStorage\\0000"};
    std::vector<std::string> twice = sn01Keys;
    twice.insert(twice.end(), sn01Keys.begin(), sn01Keys.end());
    std::vector<std::string> withRoot0 = twice;
    withRoot0.push_back("Enum\\" + root0);
    withRoot0.push_back(kClassPath + "ZavStorage\\0010");
    const std::vector<std::string> both = {"Enum\\" + zavbus, kClassPath + "ZavStorage\\0001"};

    struct Row {
        const char* name;
        sim::Machine before;
        std::vector<sim::Fault> faults;
        std::vector<std::string> removed;    // SetupDiRemoveDevice, in order
        std::vector<std::string> failed;     // of those, the removals that fail
        std::vector<std::string> deletions;  // RegDeleteKeyA below HKEY_LOCAL_MACHINE, in order
        std::vector<std::string> gone;       // keys gone besides the deleted ones
    };
    const Row rows[] = {
        {"device with a drive letter listed first", machine(false, false), {}, {sn01, zavbus}, {}, twice, both},
        {"letterless device listed first", machine(true, false), {}, {zavbus, sn01}, {}, twice, both},
        {"letterless devices with empty id tails", machine(false, true), {{Api::SetupDiRemoveDevice, 4}},
         {sn01, zavbus, root0, root1}, {root1}, withRoot0, both},
        {"the removal fails", Windows98WithPackage(), {{Api::SetupDiRemoveDevice, 1}}, {sn01}, {sn01}, {}, {}},
        {"no INF: nothing to remove", noInf, {}, {}, {}, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.before;
        sim::Machine expected = m;
        for (const std::vector<std::string>* keys : {&row.deletions, &row.gone})
            for (const std::string& key : *keys) expected.registry.DeleteTree("HKLM\\" + key);
        for (const std::string& id : row.removed)
            if (std::find(row.failed.begin(), row.failed.end(), id) == row.failed.end())
                expected.devices.erase(std::find_if(expected.devices.begin(), expected.devices.end(),
                                                    [&id](const sim::Device& d) { return d.instanceId == id; }));
        expected.files.Remove("C:\\WINDOWS\\inf\\other\\USBZAV03.inf");
        for (const sim::Fault& fault : row.faults) m.InjectFault(fault);

        EXPECT_TRUE(RunStep(m, RemovePackageDevices));
        EXPECT_EQ(Targets(m, Api::SetupDiRemoveDevice), row.removed);
        std::vector<std::string> deletions;
        for (const std::string& key : row.deletions) deletions.push_back(kHklm + key);
        EXPECT_EQ(Targets(m, Api::RegDeleteKeyA), deletions);
        ExpectMachine(m, expected);
        EXPECT_EQ(DeviceInventory.records, nullptr);
        EXPECT_EQ(DeviceInventory.count, 0);
    }
}

}  // namespace
