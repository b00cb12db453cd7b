// Whole runs through WinMain on Windows 98 machines with the package
// installed. The drive icon cleanup and the driver file removal run too:
// these machines give the icon cleanup nothing to do, and only the registry
// and the devices are compared.
#include "image/machine_state.h"
#include "inventory/inventory.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

using sim::Api;

using namespace support;

namespace {

std::vector<Api> OutwardCalls(const sim::Machine& m) {
    std::vector<Api> apis;
    for (const sim::Event& e : m.events)
        if (e.api == Api::MessageBoxA || e.api == Api::ShellExecuteA || e.api == Api::SendMessageA)
            apis.push_back(e.api);
    return apis;
}

// The package device and its disk go, with their Enum and driver keys; then
// the completion message, the installer, and WM_CLOSE to the companion.
TEST(Windows98Run, RemovesThePackageThenFinishes) {
    sim::Machine m = Windows98WithPackage();
    m.windowTitles.push_back("Glovix");
    sim::Machine expected = m;
    ASSERT_TRUE(PackageDeviceRemoved(expected));

    EXPECT_EQ(RunWinMainChecked(m), 0);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    EXPECT_EQ(Targets(m, Api::SetupDiRemoveDevice),
              std::vector<std::string>{"USB\\VID_1234&PID_5678\\SN01"});
    EXPECT_EQ(OutwardCalls(m),
              (std::vector<Api>{Api::MessageBoxA, Api::ShellExecuteA, Api::SendMessageA}));
    EXPECT_EQ(m.EventsOf(Api::MessageBoxA).at(0).message, "UnInstall finished!");
}

// No list of present devices: nothing removed, no completion message, yet
// the installer is started and the companion asked to close.
TEST(Windows98Run, DeviceListUnobtainable) {
    sim::Machine m = Windows98WithPackage();
    m.windowTitles.push_back("Glovix");
    m.InjectFault({Api::SetupDiGetClassDevsA, 1, true});
    const std::string before = image::RegistryText(m.registry);
    EXPECT_EQ(RunWinMainChecked(m), 0);
    EXPECT_EQ(image::RegistryText(m.registry), before);
    EXPECT_TRUE(m.EventsOf(Api::SetupDiRemoveDevice).empty());
    EXPECT_EQ(OutwardCalls(m), (std::vector<Api>{Api::ShellExecuteA, Api::SendMessageA}));
    EXPECT_EQ(DeviceInventory.records, nullptr);
}

// A hostile registry: "Driver" values that would name "Enum", the driver
// class key or keys above them, values at and past the buffer size, and
// package devices with ids too long to rewrite. Only keys of the package's
// devices are deleted, and never through an unsafe field. (Removing a device
// takes its hardware key and a well-formed driver key with it, as on Windows.)
TEST(Windows98Run, HostileRegistryDeletesOnlyPackageKeys) {
    sim::Machine m = Windows98WithPackage();
    const std::string prefix = "USB\\VID_1234&PID_5678";
    const std::string enumPrefix = "Enum\\" + prefix + "\\";
    const std::string classPath = "System\\CurrentControlSet\\Services\\Class\\";
    const std::string longKey = "ZavStorage\\" + std::string(244, 'k');  // 255 characters
    const std::pair<const char*, std::string> devices[] = {
        {"H1", "ZavStorage\\"}, {"H2", "\\"}, {"H3", "\\\\"}, {"H4", "\\ZavStorage\\0004"},
        {"H5", "ZavStorage\\\\0005"}, {"H6", ""},
        {"H7", longKey},         // 256 bytes with its terminator: read whole
        {"H8", longKey + "X"}};  // 257 bytes: unreadable, names no key
    for (const auto& d : devices) {
        m.registry.SetString(kEnum + prefix + "\\" + d.first, "Driver", d.second);
        AddDevice(m, prefix + "\\" + d.first, kPackageGuid);
    }
    for (const std::string& key : {longKey, longKey + "X", std::string("ZavStorage\\0004"),
                                   std::string("ZavStorage\\0005")})
        m.registry.SetString(kClass + key, "DriverDesc", "x");
    // H1's disk, with a drive letter and a driver value that ends in a backslash.
    const std::string disk = "SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&H100";
    m.registry.SetString(kEnum + disk, "Driver", "DiskDrive\\");
    m.registry.SetString(kEnum + disk, "CurrentDriveLetterAssignment", "F");
    AddDevice(m, disk, kDiskGuid);
    // Package devices whose ids are candidates of 254 and 255 characters:
    // no record, so they stay, with their keys.
    for (size_t length : {254u, 255u}) {
        const std::string id = prefix + "\\" + std::string(length - prefix.size() - 1, 'L');
        m.registry.SetString(kEnum + id, "Driver", "ZavStorage\\0000");
        AddDevice(m, id, kPackageGuid);
    }

    sim::Machine expected = m;
    std::vector<std::string> gone = {enumPrefix + "SN01",
                                     "Enum\\SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
                                     "Enum\\" + disk, classPath + "DiskDrive\\0003",
                                     classPath + "ZavStorage\\0000", classPath + longKey,
                                     classPath + longKey + "X"};  // the last with H8 itself
    for (const auto& d : devices) gone.push_back(enumPrefix + d.first);
    for (const std::string& key : gone)
        ASSERT_TRUE(expected.registry.DeleteTree("HKLM\\" + key)) << key;

    // The program's own deletions: SN01's five, H1's device and disk keys,
    // H2 to H8 their device keys, and H7 its driver key (device and USB node).
    std::vector<std::string> deletions = {
        enumPrefix + "SN01", "Enum\\SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
        classPath + "DiskDrive\\0003", classPath + "ZavStorage\\0000",
        classPath + "ZavStorage\\0000", enumPrefix + "H1", "Enum\\" + disk};
    for (const char* serial : {"H2", "H3", "H4", "H5", "H6", "H7"})
        deletions.push_back(enumPrefix + serial);
    deletions.push_back(classPath + longKey);
    deletions.push_back(classPath + longKey);
    deletions.push_back(enumPrefix + "H8");
    for (std::string& target : deletions) target = "HKEY_LOCAL_MACHINE\\" + target;

    EXPECT_EQ(RunWinMainChecked(m), 0);
    EXPECT_EQ(Targets(m, Api::RegDeleteKeyA), deletions);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    EXPECT_EQ(m.EventsOf(Api::SetupDiRemoveDevice).size(), 9u);  // SN01 and H1 to H8
    EXPECT_EQ(m.EventsOf(Api::MessageBoxA).size(), 1u);
}

}  // namespace
