// Run control: the identification table, the Windows directory, and the
// dispatch and order of WinMain's steps on simulated machines.
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using sim::Api;

namespace {

struct IdentityRow {
    DWORD platform, major, minor;
    const char* reported;
    const char* name;
    double version;
    const char* servicePack;
};

TEST(IdentifyFromVersion, FollowsTheIdentificationTable) {
    const IdentityRow rows[] = {
        {0, 3, 10, "Win32s 1.3", "Windows 31", 3.1, ""},  // Win32s: service pack emptied
        {1, 4, 0, "", "Windows 95", 4.0, ""},
        {1, 4, 0, " C", "Windows 95", 4.0, " C"},
        {1, 4, 10, " A ", "Windows 98", 4.1, " A "},  // 98 SE reports " A "
        {1, 4, 10, "", "Windows 98", 4.1, ""},
        {1, 7, 10, "x", "Windows 98", 7.1, "x"},  // only the minor version decides on 9x
        {1, 4, 90, " ", "Windows ME", 4.9, " "},
        {1, 4, 3, "", "Unknown OS", 4.3, ""},
        {2, 3, 51, "Service Pack 5", "Windows NT3", 3.51, "Service Pack 5"},
        {2, 4, 0, "Service Pack 6", "Windows NT4", 4.0, "Service Pack 6"},
        {2, 5, 0, "Service Pack 4", "Windows 2000", 5.0, "Service Pack 4"},
        {2, 5, 0, "", "Windows 2000", 5.0, ""},
        {2, 5, 1, "Service Pack 3", "Windows XP", 5.1, "Service Pack 3"},
        {2, 5, 2, "Service Pack 2", "Unknown OS", 5.2, "Service Pack 2"},
        {2, 6, 0, "", "Unknown OS", 6.0, ""},
        {3, 5, 0, "CE", "", 5.0, "CE"},  // unknown platform: name left as it was
    };
    for (const IdentityRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.platform << " " << row.major << "." << row.minor);
        OsIdentity os;
        IdentifyFromVersion(os, row.platform, row.major, row.minor, row.reported);
        EXPECT_EQ(os.SystemName, row.name);
        EXPECT_DOUBLE_EQ(os.VersionNumber, row.version);
        EXPECT_EQ(os.ServicePack, row.servicePack);
    }
}

TEST(IdentifyFromVersion, UnknownPlatformKeepsAnEarlierName) {
    OsIdentity os;
    os.SystemName = "Windows XP";
    IdentifyFromVersion(os, 7, 1, 0, "");
    EXPECT_EQ(os.SystemName, "Windows XP");
}

TEST(IdentifyOperatingSystem, ReadsThePlatformQuery) {
    sim::Machine m = sim::MakeWindows2000("Service Pack 2");
    support::ActiveMachine active(m);
    OsIdentity os;
    EXPECT_TRUE(IdentifyOperatingSystem(os));
    EXPECT_EQ(os.SystemName, "Windows 2000");
    EXPECT_EQ(os.ServicePack, "Service Pack 2");
    EXPECT_DOUBLE_EQ(os.VersionNumber, 5.0);
}

TEST(IdentifyOperatingSystem, AFailedQueryEmptiesBothTextsAndKeepsTheNumber) {
    sim::Machine m = sim::MakeWindows2000("Service Pack 2");
    m.InjectFault({Api::GetVersionExA, 1, false, ERROR_INVALID_PARAMETER});
    support::ActiveMachine active(m);
    OsIdentity os;
    os.SystemName = "stale";
    os.ServicePack = "stale";
    os.VersionNumber = 7.5;
    EXPECT_FALSE(IdentifyOperatingSystem(os));
    EXPECT_EQ(os.SystemName, "");
    EXPECT_EQ(os.ServicePack, "");
    EXPECT_DOUBLE_EQ(os.VersionNumber, 7.5);
}

TEST(IdentifyOperatingSystem, ALongestServicePackTextIsReadWhole) {
    sim::Machine m = sim::MakeWindows2000(std::string(127, 'x'));
    support::ActiveMachine active(m);
    OsIdentity os;
    EXPECT_TRUE(IdentifyOperatingSystem(os));
    EXPECT_EQ(os.ServicePack, std::string(127, 'x'));
}

struct DirectoryRow {
    std::string directory;
    bool fails;
    bool known;
};

TEST(RecordWindowsDirectory, KnownOnlyWhenTheWholePathFits) {
    const DirectoryRow rows[] = {
        {"C:\\WINDOWS", false, true},
        {"C:\\" + std::string(96, 'W'), false, true},   // 99 characters and the terminator
        {"C:\\" + std::string(97, 'W'), false, false},  // 100 characters: no room for the zero
        {"C:\\" + std::string(300, 'W'), false, false},
        {"C:\\WINDOWS", true, false},  // the call fails
    };
    for (const DirectoryRow& row : rows) {
        SCOPED_TRACE(row.directory.size());
        sim::Machine m = sim::MakeWindows98();
        m.windowsDirectory = row.directory;
        if (row.fails) m.InjectFault({Api::GetWindowsDirectoryA, 1, false, ERROR_ACCESS_DENIED});
        support::ActiveMachine active(m);
        std::strcpy(WindowsDirectory, "C:\\STALE");
        RecordWindowsDirectory();
        EXPECT_EQ(IsWindowsDirectoryKnown(), row.known);
        EXPECT_EQ(std::string(WindowsDirectory), row.known ? row.directory : "");
        for (size_t i = std::strlen(WindowsDirectory); i < sizeof WindowsDirectory; ++i)
            ASSERT_EQ(WindowsDirectory[i], '\0') << "byte " << i;
    }
}

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

const std::string kMessage = "message:UnInstall finished!| Success!";
const std::string kInstaller = "start:MsiExec.exe /X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn";
const std::string kCompanion = "close:Glovix";

// WinMain's steps in their order on three systems: the message, then the
// installer, the drive icon cleanup over every letter from A to Z, and the
// companion's close. The package's drive letters A and Z (marker, icon and
// label) are deleted on Windows 98 and emptied on the NT family; another
// program's letter stays.
TEST(WinMain, RunSequence) {
    struct Row {
        const char* name;
        sim::Machine machine;
        std::vector<std::string> windows;
        std::optional<sim::Fault> fault;
        std::vector<std::string> effects;
        std::vector<std::string> windowsAfter;
    };
    const Row rows[] = {
        {"Windows 2000 SP4 with the companion", sim::MakeWindows2000("Service Pack 4"), {"Glovix"},
         std::nullopt, {kMessage, kInstaller, kCompanion}, {}},
        {"Windows XP without the companion", sim::MakeWindowsXP(), {"Glovix Setup", "Notepad"},
         std::nullopt, {kMessage, kInstaller}, {"Glovix Setup", "Notepad"}},
        {"Windows 98 without a device list: no message, the other steps run", sim::MakeWindows98(),
         {"Glovix"}, sim::Fault{Api::SetupDiGetClassDevsA, 1, true, ERROR_NOT_ENOUGH_MEMORY},
         {kInstaller, kCompanion}, {}},
    };
    const std::string icons = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.machine;
        m.windowTitles = row.windows;
        if (row.fault) m.InjectFault(*row.fault);
        for (const char* letter : {"A", "Z"}) {
            m.registry.Create(icons + letter + "\\TEVDRIVE");
            m.registry.SetString(icons + letter + "\\DefaultIcon", "", "C:\\zav.ico");
            m.registry.SetString(icons + letter + "\\DefaultLabel", "", "ZAV");
        }
        m.registry.SetString(icons + "Y\\DefaultIcon", "", "C:\\other.ico");
        sim::Machine expected = m;
        for (const char* letter : {"A", "Z"}) {
            if (m.family() == sim::Family::Win9x) {
                expected.registry.DeleteTree(icons + letter);
            } else {
                expected.registry.SetValue(icons + letter + "\\DefaultIcon", "", REG_SZ, {});
                expected.registry.SetValue(icons + letter + "\\DefaultLabel", "", REG_SZ, {});
            }
        }

        support::ActiveMachine active(m);
        EXPECT_EQ(WinMain(nullptr, nullptr, const_cast<char*>("ignored /x"), SW_HIDE), 0);
        EXPECT_EQ(Effects(m), row.effects);
        for (const sim::Event& e : m.EventsOf(Api::ShellExecuteA)) {
            EXPECT_EQ(e.verb, "");  // the default verb
            EXPECT_EQ(e.showCommand, static_cast<uint32_t>(SW_SHOW));
        }
        for (const sim::Event& e : m.EventsOf(Api::MessageBoxA))
            EXPECT_EQ(e.boxType, static_cast<uint32_t>(MB_OK));
        for (const sim::Event& e : m.EventsOf(Api::SendMessageA))
            EXPECT_EQ(e.windowMessage, static_cast<uint32_t>(WM_CLOSE));
        EXPECT_EQ(m.windowTitles, row.windowsAfter);
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    }
}

// Which system-dependent work a run did, told by the platform calls that
// only that work makes.
struct DispatchRow {
    DWORD platform, major, minor;
    const char* servicePack;
    bool restores;       // the storage driver restoration ran
    bool removes;        // the device removal ran
};

TEST(RunUninstall, ChoosesTheWorkBySystemNameAndServicePack) {
    const DispatchRow rows[] = {
        {2, 5, 0, "Service Pack 3", false, false},
        {2, 5, 0, "Service Pack 4", false, false},
        {2, 5, 0, "", true, false},
        {2, 5, 0, "Service Pack 2", true, false},
        {2, 5, 0, "service pack 3", true, false},   // other letter case: another service pack
        {2, 5, 0, "Service Pack 3 ", true, false},  // further characters: another service pack
        {2, 5, 0, "Service Pack 4a", true, false},
        {1, 4, 10, " A ", false, true},
        {1, 4, 10, "Service Pack 3", false, true},
        {2, 5, 1, "Service Pack 2", false, false},  // Windows XP
        {1, 4, 90, "", false, false},               // Windows ME
        {1, 4, 0, "", false, false},                // Windows 95
        {2, 4, 0, "Service Pack 6", false, false},  // Windows NT 4
        {0, 3, 10, "", false, false},               // Win32s
        {2, 6, 0, "", false, false},                // Unknown OS
    };
    for (const DispatchRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.platform << " " << row.major << "." << row.minor
                                        << " '" << row.servicePack << "'");
        sim::Machine m;
        m.platformId = row.platform;
        m.majorVersion = row.major;
        m.minorVersion = row.minor;
        m.csdVersion = row.servicePack;
        m.files.AddDirectory(m.windowsDirectory);
        m.registry.Create("HKLM\\System\\ControlSet001\\Services\\USBSTOR");
        support::ActiveMachine active(m);
        RecordWindowsDirectory();
        RunUninstall();
        EXPECT_EQ(m.callCounts[Api::RegEnumKeyExA] > 0, row.restores);
        EXPECT_EQ(m.callCounts[Api::SetupDiGetClassDevsA] > 0, row.removes);
        EXPECT_EQ(Effects(m), std::vector<std::string>{kMessage});
    }
}

}  // namespace
