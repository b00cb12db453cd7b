// The inventory of the package's present devices: candidates from the INF
// section and the Enum tree, pass A over the package devices, pass B over
// the disk drives, and the registry reads that fill the records.
#include "inventory/inventory.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/id_rewrite_rows.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

using namespace support;

namespace {

std::vector<std::string> Fields(const my_devdriData& r) {
    return {r.deviceInstanceId, r.diskMatchId,  r.diskInstanceId, r.flatIdTail,   r.currentDriveLetterAssignment,
            r.diskDeviceDesc,   r.diskMfg,      r.diskDriver,     r.deviceDriver, r.usbDriver};
}

std::vector<std::vector<std::string>> Records() {
    std::vector<std::vector<std::string>> out;
    for (int i = 0; i < DeviceInventory.count; ++i) out.push_back(Fields(DeviceInventory.records[i]));
    return out;
}

TEST(IdRewrite, RewriteTable) {
    for (const IdRewriteRow& row : kIdRewriteRows) {
        std::string match, flat, usb;
        EXPECT_TRUE(RewriteInstanceId(row.id, match, flat, usb)) << row.id;
        EXPECT_EQ(match, row.diskMatchId) << row.id;
        EXPECT_EQ(flat, row.flatIdTail) << row.id;
        EXPECT_EQ(usb, row.usbKeyTail) << row.id;
    }
    // 253 characters leave room for "00" and the terminator; 254 do not.
    const std::string id253 = "X\\A&B\\" + std::string(247, 'C');
    std::string match = "x", flat = "x", usb = "x";
    EXPECT_TRUE(RewriteInstanceId(id253, match, flat, usb));
    EXPECT_EQ(match, "X&A&B&" + std::string(247, 'C') + "00");
    EXPECT_EQ(match.size(), 255u);
    EXPECT_FALSE(RewriteInstanceId(id253 + "C", match, flat, usb));
    EXPECT_EQ(match + flat + usb, "");
}

// The section line USB\VID_1234&PID_5678 and the one sub-key SN01 give one
// candidate; the present package device becomes record 0 and the present
// disk with its rewritten id after the second backslash fills its disk fields.
TEST(Inventory, WorkedExample) {
    sim::Machine m = Windows98WithPackage();
    support::ActiveMachine active(m);
    RecordWindowsDirectory();
    EXPECT_EQ(BuildDeviceInventory(), 0);
    EXPECT_EQ(DeviceInventory.capacity, 1);
    const std::vector<std::vector<std::string>> expected = {
        {"USB\\VID_1234&PID_5678\\SN01", "USB&VID_1234&PID_5678&SN0100",
         "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100", "VID_1234&PID_5678&SN01", "E",
         "ZAV USB DISK", "Zav", "DiskDrive\\0003", "ZavStorage\\0000", "ZavStorage\\0000"}};
    EXPECT_EQ(Records(), expected);
    ReleaseDeviceInventory();
}

// Ids longer than 253 characters leave no room for the rewrite's suffix:
// such a device gets no record. A prefix listed twice makes two equal
// candidates, and the device's second record repeats its first.
TEST(Inventory, LongIdsAndRepeatedPrefix) {
    sim::Machine m = sim::MakeWindows98();
    const std::string prefix = "USB\\VID_1234&PID_5678";  // 21 characters
    AddInf(m, "inf\\other", InfText({"A=Install," + prefix, "B=Install," + prefix}));
    std::vector<std::string> ids;
    for (size_t length : {253u, 254u, 255u}) {
        const std::string id = prefix + "\\" + std::string(length - prefix.size() - 2, 'S') +
                               static_cast<char>('0' + length % 10);
        ASSERT_EQ(id.size(), length);
        m.registry.SetString(kEnum + id, "Driver", "ZavStorage\\" + std::to_string(length));
        AddDevice(m, id, kPackageGuid);
        ids.push_back(id);
    }
    support::ActiveMachine active(m);
    RecordWindowsDirectory();
    EXPECT_EQ(BuildDeviceInventory(), 0);
    EXPECT_EQ(DeviceInventory.capacity, 6);  // three sub-keys, each listed twice
    ASSERT_EQ(DeviceInventory.count, 2);
    EXPECT_EQ(DeviceInventory.records[0].deviceInstanceId, ids[0]);
    EXPECT_EQ(DeviceInventory.records[0].deviceDriver, "ZavStorage\\253");
    EXPECT_EQ(Fields(DeviceInventory.records[1]), Fields(DeviceInventory.records[0]));
    ReleaseDeviceInventory();
}

// Values and the device description that need more than 256 bytes give an
// empty field; 255 and 256 bytes are read whole; data without a terminator
// is read no further than the size the registry returned.
TEST(Inventory, ValuesAtTheBufferLimit) {
    sim::Machine m = Windows98WithPackage();
    const std::string device = std::string(kEnum) + "USB\\VID_1234&PID_5678\\SN01";
    const std::string disk = std::string(kEnum) + "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100";
    m.registry.SetString(device, "Driver", std::string(254, 'd'));                   // 255 bytes
    m.registry.SetString(disk, "Driver", std::string(255, 'k'));                     // 256 bytes
    m.registry.SetString(disk, "CurrentDriveLetterAssignment", std::string(256, 'E'));  // 257 bytes
    m.registry.SetValue(disk, "Mfg", REG_BINARY, std::vector<uint8_t>(256, 'M'));    // no terminator
    m.devices.back().description = std::string(256, 'D');                           // 257 bytes
    support::ActiveMachine active(m);
    RecordWindowsDirectory();
    EXPECT_EQ(BuildDeviceInventory(), 0);
    ASSERT_EQ(DeviceInventory.count, 1);
    const my_devdriData& r = DeviceInventory.records[0];
    EXPECT_EQ(r.deviceDriver, std::string(254, 'd'));
    EXPECT_EQ(r.diskDriver, std::string(255, 'k'));
    EXPECT_EQ(r.currentDriveLetterAssignment, "");
    EXPECT_EQ(r.diskMfg, std::string(256, 'M'));
    EXPECT_EQ(r.diskDeviceDesc, "");
    ReleaseDeviceInventory();
}

// Damaged device lists: two present devices with one instance id (the
// one candidate gives one record; the second device finds the table full),
// a device whose class GUID differs from the package's in its last byte
// only (no record: class GUIDs are equal on all 16 bytes), and the device
// unplugged (no record: its hardware key, which keeps the package class as
// Windows 98 writes it, is not a present device).
TEST(Inventory, HostileDeviceLists) {
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> devices;  // id, class GUID
        std::vector<std::string> recordIds;
    };
    const std::string id = "USB\\VID_1234&PID_5678\\SN01";
    const Row rows[] = {
        {"the same id listed twice", {{id, kPackageGuid}, {id, kPackageGuid}}, {id}},
        {"class differing in the last byte",
         {{id, "{7F1E3A20-5B6C-4D8E-9F01-23456789ABCE}"}}, {}},
        {"class differing in the first byte",
         {{id, "{7F1E3A21-5B6C-4D8E-9F01-23456789ABCD}"}}, {}},  // the low byte of Data1
        {"the device unplugged", {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = sim::MakeWindows98();
        AddInf(m, "inf\\other", InfText({"ZavDisk=Install,USB\\VID_1234&PID_5678"}));
        m.registry.SetString(kEnum + id, "Driver", "ZavStorage\\0000");
        m.registry.SetString(kEnum + id, "Class", kPackageClass);
        m.registry.SetString(kEnum + id, "ClassGUID", kPackageGuid);
        for (const auto& device : row.devices) AddDevice(m, device.first, device.second.c_str());
        support::ActiveMachine active(m);
        RecordWindowsDirectory();
        EXPECT_EQ(BuildDeviceInventory(), 0);
        EXPECT_EQ(DeviceInventory.capacity, 1);
        std::vector<std::string> ids;
        for (int i = 0; i < DeviceInventory.count; ++i) ids.push_back(DeviceInventory.records[i].deviceInstanceId);
        EXPECT_EQ(ids, row.recordIds);
        ReleaseDeviceInventory();
    }
}

// No device list: result 1, no valid record, the old array left as it was.
TEST(Inventory, DeviceListUnobtainable) {
    sim::Machine m = Windows98WithPackage();
    support::ActiveMachine active(m);
    RecordWindowsDirectory();
    ASSERT_EQ(BuildDeviceInventory(), 0);
    my_devdriData* const old = DeviceInventory.records;
    m.InjectFault({sim::Api::SetupDiGetClassDevsA, 2});
    EXPECT_EQ(BuildDeviceInventory(), 1);
    EXPECT_EQ(DeviceInventory.count, 0);
    EXPECT_EQ(DeviceInventory.records, old);
    ReleaseDeviceInventory();
}

}  // namespace
