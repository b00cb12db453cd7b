// Run control's own steps: the identification table and the work it
// chooses, the identification from the platform's query, and the Windows
// directory. Whole runs of WinMain, the work of each system among them, are
// in tests/runs.
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using sim::Api;

namespace {

const UninstallWork kNone = UninstallWork::None;
const UninstallWork kRemoval = UninstallWork::DeviceRemoval;
const UninstallWork kRestore = UninstallWork::StorageDriverRestore;

struct IdentityRow {
    DWORD platform, major, minor;
    const char* reported;
    const char* name;
    double version;
    const char* servicePack;
    UninstallWork work;
};

// Each row starts from a name an earlier identification left: a platform
// the table does not know keeps it.
TEST(IdentifyFromVersion, FollowsTheIdentificationTableAndChoosesTheWork) {
    const IdentityRow rows[] = {
        {0, 3, 10, "Win32s 1.3", "Windows 31", 3.1, "", kNone},  // Win32s: service pack emptied
        {1, 4, 0, "", "Windows 95", 4.0, "", kNone},
        {1, 4, 0, " C", "Windows 95", 4.0, " C", kNone},
        {1, 4, 10, " A ", "Windows 98", 4.1, " A ", kRemoval},  // 98 SE reports " A "
        {1, 4, 10, "", "Windows 98", 4.1, "", kRemoval},
        {1, 7, 10, "x", "Windows 98", 7.1, "x", kRemoval},  // only the minor version decides on 9x
        {1, 4, 90, " ", "Windows ME", 4.9, " ", kNone},
        {1, 4, 3, "", "Unknown OS", 4.3, "", kNone},
        {2, 3, 51, "Service Pack 5", "Windows NT3", 3.51, "Service Pack 5", kNone},
        {2, 4, 0, "Service Pack 6", "Windows NT4", 4.0, "Service Pack 6", kNone},
        {2, 5, 0, "Service Pack 4", "Windows 2000", 5.0, "Service Pack 4", kNone},
        {2, 5, 0, "", "Windows 2000", 5.0, "", kRestore},
        {2, 5, 1, "Service Pack 3", "Windows XP", 5.1, "Service Pack 3", kNone},
        {2, 5, 2, "Service Pack 2", "Unknown OS", 5.2, "Service Pack 2", kNone},
        {2, 6, 0, "", "Unknown OS", 6.0, "", kNone},
        {3, 5, 0, "CE", "Windows XP", 5.0, "CE", kNone},  // unknown platforms: the name stays
        {7, 1, 0, "", "Windows XP", 1.0, "", kNone},
    };
    for (const IdentityRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.platform << " " << row.major << "." << row.minor << " '"
                                        << row.reported << "'");
        OsIdentity os;
        os.SystemName = "Windows XP";
        IdentifyFromVersion(os, row.platform, row.major, row.minor, row.reported);
        EXPECT_EQ(os.SystemName, row.name);
        EXPECT_DOUBLE_EQ(os.VersionNumber, row.version);
        EXPECT_EQ(os.ServicePack, row.servicePack);
        EXPECT_EQ(WorkFor(os), row.work);
    }
}

// The platform's query read, or failed: then both texts are emptied and the
// number is kept.
TEST(IdentifyOperatingSystem, ReadsThePlatformQuery) {
    struct Row {
        const char* name;
        std::string servicePack;
        bool fails;
        const char* systemName;
        std::string servicePackRead;
        double version;
    };
    const Row rows[] = {
        {"Windows 2000 SP2", "Service Pack 2", false, "Windows 2000", "Service Pack 2", 5.0},
        {"the longest service pack text, read whole", std::string(127, 'x'), false, "Windows 2000",
         std::string(127, 'x'), 5.0},
        {"the query fails", "Service Pack 2", true, "", "", 7.5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = sim::MakeWindows2000(row.servicePack);
        if (row.fails) m.InjectFault({Api::GetVersionExA, 1, false, ERROR_INVALID_PARAMETER});
        support::ActiveMachine active(m);
        OsIdentity os;
        os.SystemName = "stale";
        os.ServicePack = "stale";
        os.VersionNumber = 7.5;
        EXPECT_EQ(IdentifyOperatingSystem(os), !row.fails);
        EXPECT_EQ(os.SystemName, row.systemName);
        EXPECT_EQ(os.ServicePack, row.servicePackRead);
        EXPECT_DOUBLE_EQ(os.VersionNumber, row.version);
    }
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

}  // namespace
