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

#include <algorithm>

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

// A package device without a disk: its record's disk fields stay empty and
// its USB node is its own hardware key.
std::vector<std::string> Letterless(const std::string& id, const std::string& driver) {
    std::string match = id, flat = id.substr(4);  // the tail after "USB\"
    std::replace(match.begin(), match.end(), '\\', '&');
    std::replace(flat.begin(), flat.end(), '\\', '&');
    return {id, match + "00", "", flat, "", "", "", "", driver, driver};
}

// One machine a row, the records the inventory gives (every field).
TEST(Inventory, RecordsOfEachMachine) {
    struct Row {
        const char* name;
        sim::Machine machine;
        int capacity;
        std::vector<std::vector<std::string>> records;
    };
    const std::string prefix = "USB\\VID_1234&PID_5678";  // 21 characters
    const std::string id = prefix + "\\SN01";
    const std::string disk = std::string(kEnum) + "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100";

    // The section line USB\VID_1234&PID_5678 and the one sub-key SN01 give
    // one candidate; the present package device becomes record 0 and the
    // present disk with its rewritten id after the second backslash fills
    // its disk fields.
    const sim::Machine worked = Windows98WithPackage();
    const std::vector<std::string> workedRecord = {
        id, "USB&VID_1234&PID_5678&SN0100", "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
        "VID_1234&PID_5678&SN01", "E", "ZAV USB DISK", "Zav", "DiskDrive\\0003", "ZavStorage\\0000",
        "ZavStorage\\0000"};

    // Values and the device description that need more than 256 bytes give
    // an empty field; 255 and 256 bytes are read whole; data without a
    // terminator is read no further than the size the registry returned.
    sim::Machine limits = Windows98WithPackage();
    limits.registry.SetString(kEnum + id, "Driver", std::string(254, 'd'));                  // 255 bytes
    limits.registry.SetString(disk, "Driver", std::string(255, 'k'));                        // 256 bytes
    limits.registry.SetString(disk, "CurrentDriveLetterAssignment", std::string(256, 'E'));  // 257 bytes
    limits.registry.SetValue(disk, "Mfg", REG_BINARY, std::vector<uint8_t>(256, 'M'));       // no terminator
    limits.devices.back().description = std::string(256, 'D');                              // 257 bytes

    // Ids longer than 253 characters leave no room for the rewrite's suffix:
    // such a device gets no record. A prefix listed twice makes two equal
    // candidates, and the device's second record repeats its first.
    sim::Machine longIds = sim::MakeWindows98();
    AddInf(longIds, "inf\\other", InfText({"A=Install," + prefix, "B=Install," + prefix}));
    std::vector<std::string> ids;
    for (size_t length : {253u, 254u, 255u}) {
        ids.push_back(prefix + "\\" + std::string(length - prefix.size() - 2, 'S') +
                      static_cast<char>('0' + length % 10));
        longIds.registry.SetString(kEnum + ids.back(), "Driver", "ZavStorage\\" + std::to_string(length));
        AddDevice(longIds, ids.back(), kPackageGuid);
    }

    // Damaged device lists: two present devices with one instance id (the
    // one candidate gives one record; the second device finds the table
    // full), a device whose class GUID differs from the package's in its
    // last byte or the low byte of Data1 only (no record: class GUIDs are
    // equal on all 16 bytes), and the device unplugged (no record: its
    // hardware key, which keeps the package class as Windows 98 writes it,
    // is not a present device).
    const auto unplugged = [&id](std::vector<const char*> classes) {
        sim::Machine m = sim::MakeWindows98();
        AddInf(m, "inf\\other", InfText({"ZavDisk=Install,USB\\VID_1234&PID_5678"}));
        m.registry.SetString(kEnum + id, "Driver", "ZavStorage\\0000");
        m.registry.SetString(kEnum + id, "Class", kPackageClass);
        m.registry.SetString(kEnum + id, "ClassGUID", kPackageGuid);
        for (const char* guid : classes) AddDevice(m, id, guid);
        return m;
    };

    const Row rows[] = {
        {"the worked example", worked, 1, {workedRecord}},
        {"values at the buffer limit", limits, 1,
         {{id, "USB&VID_1234&PID_5678&SN0100", "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
           "VID_1234&PID_5678&SN01", "", "", std::string(256, 'M'), std::string(255, 'k'), std::string(254, 'd'),
           std::string(254, 'd')}}},
        {"ids of 253 to 255 characters, the prefix listed twice", longIds, 6,  // three sub-keys, each twice
         {Letterless(ids[0], "ZavStorage\\253"), Letterless(ids[0], "ZavStorage\\253")}},
        {"the same id listed twice", unplugged({kPackageGuid, kPackageGuid}), 1,
         {Letterless(id, "ZavStorage\\0000")}},
        {"class differing in the last byte", unplugged({"{7F1E3A20-5B6C-4D8E-9F01-23456789ABCE}"}), 1, {}},
        {"class differing in the first byte", unplugged({"{7F1E3A21-5B6C-4D8E-9F01-23456789ABCD}"}), 1, {}},
        {"the device unplugged", unplugged({}), 1, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.machine;
        RunStep(m, [&] {
            EXPECT_EQ(BuildDeviceInventory(), 0);
            EXPECT_EQ(DeviceInventory.capacity, row.capacity);
            EXPECT_EQ(Records(), row.records);
            ReleaseDeviceInventory();
        });
    }
}

// No device list: result 1, no valid record, the old array left as it was.
TEST(Inventory, DeviceListUnobtainable) {
    sim::Machine m = Windows98WithPackage();
    m.InjectFault({sim::Api::SetupDiGetClassDevsA, 2});
    RunStep(m, [] {
        ASSERT_EQ(BuildDeviceInventory(), 0);
        my_devdriData* const old = DeviceInventory.records;
        EXPECT_EQ(BuildDeviceInventory(), 1);
        EXPECT_EQ(DeviceInventory.count, 0);
        EXPECT_EQ(DeviceInventory.records, old);
        ReleaseDeviceInventory();
    });
}

}  // namespace
