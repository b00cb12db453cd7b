// Whole runs through WinMain: on Windows 98 the package's devices, keys,
// files and drive registrations all gone; on Windows 2000 and XP the storage
// driver restoration where the service pack asks for it and the drive icons
// emptied; the icons each time after the completion message and the
// installer start and before the companion program is asked to close.
#include "files/file_bytes.h"
#include "platform/sim/sim.h"
#include "win98/win98_machine.h"

#include <gtest/gtest.h>

#include <functional>

using sim::Api;

namespace {

using files_test::Join;
using files_test::kByteOrderMark;
using files_test::Wide;

const std::string kDriveIcons =
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
const char kSet1[] = "HKLM\\System\\ControlSet001\\Services\\USBSTOR";
const char kSet2[] = "HKLM\\System\\ControlSet002\\Services\\USBSTOR";
const char kInf[] = "C:\\WINNT\\inf\\usbstor.inf";
const char kPackageDriver[] = "C:\\WINNT\\System32\\DRIVERS\\USBSTORSP3.SYS";
const DWORD kNewFileAttributes = FILE_ATTRIBUTE_ARCHIVE;

std::vector<uint8_t> Inf(const std::string& reference) {
    return Join(kByteOrderMark, Wide("[USBSTOR.AddService]\r\nServiceBinary = " + reference +
                                     "\r\n"));
}

// The package installed: its replacement storage driver (Windows 2000 only),
// its drive registrations for E, another program's for C, the companion
// program running.
sim::Machine Installed(sim::Machine m) {
    if (m.windowsDirectory == "C:\\WINNT") {
        for (const char* set : {kSet1, kSet2}) {
            m.registry.SetString(set, "ImagePath", "System32\\DRIVERS\\USBSTORSP3.SYS");
            m.registry.SetDword(set, "Start", 3);
        }
        m.registry.SetDword("HKLM\\System\\Select", "Current", 1);
        m.registry.Create("HKLM\\System\\Setup");
        m.files.AddFile(kInf, Inf("%12%\\USBSTORSP3.SYS"));
        m.files.AddFile(kPackageDriver, std::string("package driver"), FILE_ATTRIBUTE_READONLY);
    }
    m.registry.Create(kDriveIcons + "\\E\\TEVDRIVE");
    m.registry.SetString(kDriveIcons + "\\E\\DefaultIcon", "", "C:\\Zav\\disk.ico");
    m.registry.SetString(kDriveIcons + "\\E\\DefaultLabel", "", "ZAV Disk");
    m.registry.SetString(kDriveIcons + "\\C\\DefaultIcon", "", "C:\\other.ico");
    m.windowTitles = {"Program Manager", "Glovix"};
    return m;
}

void IconsEmptied(sim::Machine& m) {
    m.registry.SetValue(kDriveIcons + "\\E\\DefaultIcon", "", REG_SZ, {});
    m.registry.SetValue(kDriveIcons + "\\E\\DefaultLabel", "", REG_SZ, {});
}

void StorageDriverRestored(sim::Machine& m) {
    for (const char* set : {kSet1, kSet2})
        m.registry.SetString(set, "ImagePath", "System32\\DRIVERS\\USBSTOR.SYS", REG_EXPAND_SZ);
    m.files.AddFile(kInf, Inf("%12%\\USBSTOR.SYS"), kNewFileAttributes);
    m.files.Remove(kPackageDriver);
}

size_t IndexOf(const sim::Machine& m, sim::Api api) {
    for (size_t i = 0; i < m.events.size(); ++i)
        if (m.events[i].api == api) return i;
    return m.events.size();
}

struct RunRow {
    const char* name;
    sim::Machine machine;
    bool restores;
};

TEST(WholeRun, RestorationAndIconsInTheirPlaceInTheSequence) {
    const RunRow rows[] = {
        {"Windows 2000 SP2: driver restored, icons emptied",
         Installed(sim::MakeWindows2000("Service Pack 2")), true},
        {"Windows 2000 without a service pack: driver restored", Installed(sim::MakeWindows2000("")),
         true},
        {"Windows 2000 SP4: icons only", Installed(sim::MakeWindows2000("Service Pack 4")), false},
        {"Windows XP: icons only", Installed(sim::MakeWindowsXP()), false},
    };
    for (const RunRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.machine;
        sim::Machine expected = m;
        IconsEmptied(expected);
        if (row.restores) StorageDriverRestored(expected);
        expected.windowTitles = {"Program Manager"};
        int exitCode = -1;
        {
            sim::ActiveMachine active(m);
            exitCode = WinMain(nullptr, nullptr, const_cast<char*>(""), SW_SHOWNORMAL);
        }
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(m.registry.Dump(), expected.registry.Dump());
        EXPECT_EQ(m.files.Dump(), expected.files.Dump());
        EXPECT_EQ(m.windowTitles, expected.windowTitles);
        EXPECT_EQ(m.OpenHandles().Total(), 0u);

        // Restoration, completion message, installer, icons, companion close.
        const size_t message = IndexOf(m, Api::MessageBoxA);
        const size_t installer = IndexOf(m, Api::ShellExecuteA);
        const size_t close = IndexOf(m, Api::SendMessageA);
        ASSERT_LT(message, installer);
        ASSERT_LT(installer, close);
        ASSERT_LT(close, m.events.size());
        EXPECT_EQ(m.events[close].target, "Glovix");
        EXPECT_EQ(m.events[close].number, static_cast<uint32_t>(WM_CLOSE));
        size_t iconEvents = 0, restorationEvents = 0;
        for (size_t i = 0; i < m.events.size(); ++i) {
            const sim::Event& e = m.events[i];
            if (e.target.find("DriveIcons") != std::string::npos) {
                ++iconEvents;
                EXPECT_GT(i, installer) << e.api << " " << e.target;
                EXPECT_LT(i, close) << e.api << " " << e.target;
            } else if (i < message) {
                ++restorationEvents;
            } else if (e.api != Api::MessageBoxA && e.api != Api::ShellExecuteA &&
                       e.api != Api::SendMessageA) {
                ADD_FAILURE() << "unexpected " << e.api << " " << e.target;
            }
        }
        EXPECT_GT(iconEvents, 0u);
        EXPECT_EQ(restorationEvents > 0, row.restores);
    }
}

TEST(WholeRun, Windows98PackageAllGone) {
    sim::Machine m = Installed(win98::PackageMachine());
    const std::string windows = m.windowsDirectory;
    const char* packageFiles[] = {"\\system32\\drivers\\WDMZAV03.sys",
                                  "\\system\\iosubsys\\PDRZAV03.pdr",
                                  "\\inf\\USBZAV03.inf", "\\inf\\MSTEVUmss.PNF"};
    for (const char* file : packageFiles)
        m.files.AddFile(windows + file, std::string("package"), FILE_ATTRIBUTE_READONLY);
    m.files.AddFile(windows + "\\inf\\usb.inf", std::string("[Version]"));

    sim::Machine expected = m;
    for (const char* key : {"Enum\\USB\\VID_1234&PID_5678\\SN01",
                            "Enum\\SCSI\\DISK&VEN_ZAV\\USB&VID_1234&PID_5678&SN0100",
                            "System\\CurrentControlSet\\Services\\Class\\DiskDrive\\0003",
                            "System\\CurrentControlSet\\Services\\Class\\ZavStorage\\0000"})
        ASSERT_TRUE(expected.registry.DeleteTree("HKLM\\" + std::string(key))) << key;
    ASSERT_TRUE(expected.registry.DeleteTree(kDriveIcons + "\\E"));
    // The two INF copies and the drivers go; the read-only PNF gets one
    // plain attempt and stays.
    for (const char* file : packageFiles)
        if (std::string(file) != "\\inf\\MSTEVUmss.PNF") expected.files.Remove(windows + file);
    expected.files.Remove(windows + "\\inf\\other\\USBZAV03.inf");
    expected.windowTitles = {"Program Manager"};

    {
        sim::ActiveMachine active(m);
        EXPECT_EQ(WinMain(nullptr, nullptr, const_cast<char*>(""), SW_SHOW), 0);
    }
    EXPECT_EQ(m.registry.Dump(), expected.registry.Dump());
    EXPECT_EQ(m.files.Dump(), expected.files.Dump());
    EXPECT_EQ(m.windowTitles, expected.windowTitles);
    EXPECT_EQ(m.OpenHandles().Total(), 0u);
    for (const sim::Device& device : m.devices)
        EXPECT_NE(device.instanceId, "USB\\VID_1234&PID_5678\\SN01");

    // Files after the device walk, before the completion message; the icons
    // between the installer start and the companion close.
    const size_t message = IndexOf(m, Api::MessageBoxA);
    const size_t installer = IndexOf(m, Api::ShellExecuteA);
    const size_t close = IndexOf(m, Api::SendMessageA);
    ASSERT_LT(message, installer);
    ASSERT_LT(installer, close);
    ASSERT_LT(close, m.events.size());
    size_t lastRemoval = 0, firstFile = m.events.size(), lastFile = 0;
    for (size_t i = 0; i < m.events.size(); ++i) {
        const Api api = m.events[i].api;
        if (api == Api::SetupDiRemoveDevice) lastRemoval = i;
        if (api == Api::DeleteFileA || api == Api::SetFileAttributesA) {
            if (firstFile == m.events.size()) firstFile = i;
            lastFile = i;
        }
        if (m.events[i].target.find("DriveIcons") != std::string::npos) {
            EXPECT_GT(i, installer);
            EXPECT_LT(i, close);
        }
    }
    EXPECT_LT(lastRemoval, firstFile);
    EXPECT_LT(lastFile, message);
}

}  // namespace
