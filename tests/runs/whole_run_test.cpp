// Whole runs of WinMain, one scenario a row: a machine before, the run, the
// exact machine after (what must remain included), the outward effects in
// their order, and the order of WinMain's steps: the system's work (on
// Windows 98 the device removal, then the package's files; on Windows 2000
// the storage driver restoration), the completion message, the installer,
// the drive icon cleanup, the companion program's close.
#include "inventory/inventory.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using sim::Api;

using namespace support;

namespace {

const std::string kMessage = "message:UnInstall finished!| Success!";
const std::string kInstaller = "start:MsiExec.exe /X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn";
const std::string kCompanion = "close:Glovix";
const std::vector<std::string> kAllThree = {kMessage, kInstaller, kCompanion};
const char kSn01[] = "USB\\VID_1234&PID_5678\\SN01";

// The outward effects of a run, one word each, in order.
std::vector<std::string> Effects(const sim::Machine& m) {
    std::vector<std::string> out;
    for (const sim::Event& e : m.events) {
        if (e.api == Api::MessageBoxA) out.push_back("message:" + e.message + "|" + e.caption);
        else if (e.api == Api::ShellExecuteA) out.push_back("start:" + e.target + " " + e.parameters);
        else if (e.api == Api::SendMessageA) out.push_back("close:" + e.target);
    }
    return out;
}

// WinMain's step an event belongs to, in their order.
int Step(const sim::Event& e) {
    if (e.api == Api::MessageBoxA) return 2;
    if (e.api == Api::ShellExecuteA) return 3;
    if (e.api == Api::SendMessageA) return 5;
    if (e.target.find("DriveIcons") != std::string::npos) return 4;
    if (e.api == Api::SetupDiRemoveDevice || e.api == Api::DeviceKeyDeleted || e.api == Api::RegDeleteKeyA)
        return 0;  // the device removal
    return 1;      // the package's files; the storage driver restoration
}

// The package's files on Windows 98, all read-only: the drivers and both
// INF copies are deleted after their attributes are cleared; the
// precompiled INF gets one plain attempt and stays.
const char* const kPackageFiles[] = {"\\system32\\drivers\\WDMZAV03.sys", "\\system\\iosubsys\\PDRZAV03.pdr",
                                     "\\inf\\USBZAV03.inf", "\\inf\\MSTEVUmss.PNF"};

// A machine of the given version with the package as either family leaves
// it: the Windows 98 package whole (both INF copies, the device SN01 with
// its disk and keys, the class, the files read-only) and the USB storage
// service pointed at the replacement driver in two control sets, with
// usbstor.inf and the drivers. Drive letters E, A and Z are the package's
// (A and Z the first and last of the cleanup's walk), C and Y another
// program's; the companion runs beside another window.
sim::Machine Packaged(DWORD platform, DWORD major, DWORD minor, const std::string& servicePack) {
    Windows98Package options;
    options.infFolders = {"inf\\other", "inf"};
    options.whole = true;
    sim::Machine m = Windows98WithPackage(options);
    for (const char* file : kPackageFiles)
        m.files.Find(m.windowsDirectory + file)->attributes = FILE_ATTRIBUTE_READONLY;
    AddStorageDriverService(m, {"ControlSet001", "ControlSet002"});
    AddStorageDriverFiles(m.files, m.windowsDirectory);
    AddDriveIcon(m, 'A', true);
    AddDriveIcon(m, 'Z', true);
    AddDriveIcon(m, 'Y', false);
    m.windowTitles = {"Program Manager", "Glovix"};
    m.platformId = platform;
    m.majorVersion = major;
    m.minorVersion = minor;
    m.csdVersion = servicePack;
    return m;
}

sim::Machine WithWindows(sim::Machine m, const std::vector<std::string>& titles) {
    m.windowTitles = titles;
    return m;
}

// A Windows 98 whose setupapi.dll is missing, or lacks `calls`.
sim::Machine WithoutSetupCalls(sim::Machine m, const std::vector<Api>& calls = {}) {
    if (calls.empty()) sim::RemoveLibrary(m, "SETUPAPI");
    for (Api call : calls) m.missingCalls.set(static_cast<size_t>(call));
    return m;
}

// The system's work as the expected machine shows it.
void NoWork(sim::Machine&) {}
void PackageFilesRemoved(sim::Machine& m) {
    for (const char* file : kPackageFiles)
        if (std::string(file) != "\\inf\\MSTEVUmss.PNF") m.files.Remove(m.windowsDirectory + file);
    m.files.Remove(m.windowsDirectory + "\\inf\\other\\USBZAV03.inf");
}
void DeviceRemoval(sim::Machine& m) {
    ASSERT_TRUE(PackageDeviceRemoved(m));
    PackageFilesRemoved(m);
}

// The drive icon cleanup of every run: the letters with the package's
// marker deleted on the 9x family; on the NT family, which refuses to delete
// a key with subkeys, their icon and label emptied.
void IconsCleared(sim::Machine& m) {
    for (const std::string& letter : m.registry.SubkeyNames(kDriveIcons)) {
        const std::string key = std::string(kDriveIcons) + "\\" + letter;
        if (!m.registry.Exists(key + "\\TEVDRIVE")) continue;
        if (m.platformId != VER_PLATFORM_WIN32_NT) {
            m.registry.DeleteTree(key);
            continue;
        }
        for (const char* sub : {"\\DefaultIcon", "\\DefaultLabel"})
            if (m.registry.Exists(key + sub)) m.registry.SetValue(key + sub, "", REG_SZ, {});
    }
}

struct Scenario {
    const char* name;
    sim::Machine before;
    std::function<void(sim::Machine&)> work;
    std::vector<std::string> effects;
    std::vector<std::string> removed = {};  // devices, in order
    std::vector<sim::Fault> faults = {};
    std::vector<std::string> deletions = {};  // when given: every RegDeleteKeyA, in order
};

// A hostile registry: "Driver" values that would name "Enum", the driver
// class key or keys above them, values at and past the buffer size, and
// package devices with ids too long to rewrite. Only keys of the package's
// devices are deleted, and never through an unsafe field. (Removing a device
// takes its hardware key and a well-formed driver key with it, as on Windows.)
Scenario HostileRegistry() {
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
    std::vector<std::string> removed = {kSn01};
    for (const auto& d : devices) {
        m.registry.SetString(kEnum + prefix + "\\" + d.first, "Driver", d.second);
        AddDevice(m, prefix + "\\" + d.first, kPackageGuid);
        removed.push_back(prefix + "\\" + d.first);
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

    std::vector<std::string> gone = {enumPrefix + "SN01",
                                     "Enum\\SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
                                     "Enum\\" + disk, classPath + "DiskDrive\\0003",
                                     classPath + "ZavStorage\\0000", classPath + longKey,
                                     classPath + longKey + "X"};  // the last with H8 itself
    for (const auto& d : devices) gone.push_back(enumPrefix + d.first);

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

    const auto work = [gone](sim::Machine& expected) {
        for (const std::string& key : gone) ASSERT_TRUE(expected.registry.DeleteTree("HKLM\\" + key)) << key;
        expected.files.Remove("C:\\WINDOWS\\inf\\other\\USBZAV03.inf");  // the package's one file here
    };
    return {"Windows 98, a hostile registry: only the package's keys go", m, work, {kMessage, kInstaller},
            removed, {}, deletions};
}

TEST(WholeRun, EachSystemGetsItsWorkAndTheStepsComeInTheirOrder) {
    const sim::Fault noDeviceList = {Api::SetupDiGetClassDevsA, 1, true, ERROR_NOT_ENOUGH_MEMORY};
    const Scenario rows[] = {
        {"Windows 98: the device removal, then the package's files", Packaged(1, 4, 10, " A "), DeviceRemoval,
         kAllThree, {kSn01}},
        {"Windows 98 reporting \"Service Pack 3\": the device removal", Packaged(1, 4, 10, "Service Pack 3"),
         DeviceRemoval, kAllThree, {kSn01}},
        {"Windows 98 without a device list: no message, the other steps run", Packaged(1, 4, 10, " A "), NoWork,
         {kInstaller, kCompanion}, {}, {noDeviceList}},
        {"Windows 98 without setupapi.dll: no device list, so no device or file removed and no message; "
         "the installer, the icons and the companion as usual",
         WithoutSetupCalls(Packaged(1, 4, 10, " A ")), NoWork, {kInstaller, kCompanion}},
        {"Windows 98 whose setupapi.dll lacks SetupDiGetDeviceInstanceIdA: no device is known, the files go",
         WithoutSetupCalls(Packaged(1, 4, 10, " A "), {Api::SetupDiGetDeviceInstanceIdA}), PackageFilesRemoved,
         kAllThree},
        HostileRegistry(),
        {"Windows 2000 SP2: the storage driver restored", Packaged(2, 5, 0, "Service Pack 2"),
         StorageDriverRestored, kAllThree},
        {"Windows 2000 SP2 without setupapi.dll: restored, the device setup calls are not needed",
         WithoutSetupCalls(Packaged(2, 5, 0, "Service Pack 2")), StorageDriverRestored, kAllThree},
        {"Windows 2000 without a service pack: restored", Packaged(2, 5, 0, ""), StorageDriverRestored, kAllThree},
        {"Windows 2000 \"service pack 3\", another letter case: restored", Packaged(2, 5, 0, "service pack 3"),
         StorageDriverRestored, kAllThree},
        {"Windows 2000 \"Service Pack 3 \", a character more: restored", Packaged(2, 5, 0, "Service Pack 3 "),
         StorageDriverRestored, kAllThree},
        {"Windows 2000 \"Service Pack 4a\": restored", Packaged(2, 5, 0, "Service Pack 4a"),
         StorageDriverRestored, kAllThree},
        {"Windows 2000 SP3: no system work", Packaged(2, 5, 0, "Service Pack 3"), NoWork, kAllThree},
        {"Windows 2000 SP4: no system work", Packaged(2, 5, 0, "Service Pack 4"), NoWork, kAllThree},
        {"Windows XP: no system work", Packaged(2, 5, 1, "Service Pack 2"), NoWork, kAllThree},
        {"Windows XP without the companion: nothing closed, like titles stay",
         WithWindows(Packaged(2, 5, 1, "Service Pack 3"), {"Glovix Setup", "Notepad"}), NoWork,
         {kMessage, kInstaller}},
        {"Windows ME: no system work", Packaged(1, 4, 90, ""), NoWork, kAllThree},
        {"Windows 95: no system work", Packaged(1, 4, 0, ""), NoWork, kAllThree},
        {"Windows NT 4: no system work", Packaged(2, 4, 0, "Service Pack 6"), NoWork, kAllThree},
        {"Win32s: no system work", Packaged(0, 3, 10, ""), NoWork, kAllThree},
        {"a later NT (6.0): no system work", Packaged(2, 6, 0, ""), NoWork, kAllThree},
    };
    for (const Scenario& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.before;
        sim::Machine expected = m;
        row.work(expected);
        IconsCleared(expected);
        for (const std::string& id : row.removed)
            expected.devices.erase(std::find_if(expected.devices.begin(), expected.devices.end(),
                                                [&id](const sim::Device& d) { return d.instanceId == id; }));
        if (std::count(row.effects.begin(), row.effects.end(), kCompanion) != 0)
            expected.windowTitles.erase(
                std::find(expected.windowTitles.begin(), expected.windowTitles.end(), "Glovix"));
        for (const sim::Fault& fault : row.faults) m.InjectFault(fault);

        {
            // As Windows starts it: the program ignores its command line.
            ActiveMachine active(m);
            EXPECT_EQ(WinMain(nullptr, nullptr, const_cast<char*>("ignored /x"), SW_HIDE), 0);
        }
        ExpectMachine(m, expected);
        EXPECT_EQ(Effects(m), row.effects);
        EXPECT_EQ(Targets(m, Api::SetupDiRemoveDevice), row.removed);
        if (!row.deletions.empty()) {
            EXPECT_EQ(Targets(m, Api::RegDeleteKeyA), row.deletions);
        }
        int step = 0;
        for (const sim::Event& e : m.events) {
            EXPECT_GE(Step(e), step) << e.api << " " << e.target;
            step = std::max(step, Step(e));
            if (e.api == Api::ShellExecuteA) {
                EXPECT_EQ(e.verb, "");  // the default verb
                EXPECT_EQ(e.showCommand, static_cast<uint32_t>(SW_SHOW));
            }
            if (e.api == Api::MessageBoxA) {
                EXPECT_EQ(e.boxType, static_cast<uint32_t>(MB_OK));
            }
            if (e.api == Api::SendMessageA) {
                EXPECT_EQ(e.windowMessage, static_cast<uint32_t>(WM_CLOSE));
            }
        }
        // The inventory is released on every way out.
        EXPECT_EQ(DeviceInventory.records, nullptr);
        EXPECT_EQ(DeviceInventory.count, 0);
    }
}

}  // namespace
