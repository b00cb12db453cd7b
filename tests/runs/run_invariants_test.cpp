// The checker of the property tests and fuzz targets, checked itself: its
// reference models give the documented results, and a run that breaks an
// invariant is caught.
#include "support/id_rewrite_rows.h"
#include "support/package_machine.h"
#include "support/run_invariants.h"

#include "dryrun/run_winmain.h"

#include <gtest/gtest.h>

#include <functional>

using sim::Api;

namespace {

using support::CheckRun;
using support::ReferenceLineField;
using support::ReferenceReplace;
using support::ReferenceRewrite;

TEST(ReferenceModels, IdRewriteOfTheDocumentedRows) {
    for (const IdRewriteRow& row : kIdRewriteRows) {
        const support::IdRewrite r = ReferenceRewrite(row.id);
        EXPECT_EQ(r.diskMatchId, row.diskMatchId) << row.id;
        EXPECT_EQ(r.flatIdTail, row.flatIdTail) << row.id;
        EXPECT_EQ(r.usbKeyTail, row.usbKeyTail) << row.id;
    }
}

TEST(ReferenceModels, LineFieldAndReplacement) {
    EXPECT_EQ(ReferenceLineField("Install,USB\\VID_1234&PID_5678"), "USB\\VID_1234&PID_5678");
    EXPECT_EQ(ReferenceLineField("Install,USB\\VID_1234&PID_5678,USB\\CLASS_08"), "USB\\VID_1234&PID_5678");
    EXPECT_EQ(ReferenceLineField("Install"), "");
    EXPECT_EQ(ReferenceLineField("Install,"), "");
    EXPECT_EQ(ReferenceLineField(",X"), "X");

    const std::vector<uint8_t> file = support::Utf16Bytes("a=%12%\\USBSTORSP3.SYS;%12%\\USBSTORSP3.SYS");
    EXPECT_EQ(ReferenceReplace(file, "%12%\\USBSTORSP3.SYS", "%12%\\USBSTOR.SYS"),
              support::Utf16Bytes("a=%12%\\USBSTOR.SYS;%12%\\USBSTORSP3.SYS"));
    // Odd offset, last character on the last byte; a candidate cut short.
    const std::vector<uint8_t> odd = {'x', 'A', 0, 'B'};
    EXPECT_EQ(ReferenceReplace(odd, "AB", "C"), (std::vector<uint8_t>{'x', 'C', 0}));
    EXPECT_EQ(ReferenceReplace({'A', 0}, "AB", "C"), (std::vector<uint8_t>{'A', 0}));
}

bool Mentions(const std::vector<std::string>& problems, const std::string& part) {
    for (const std::string& p : problems)
        if (p.find(part) != std::string::npos) return true;
    return false;
}

// A RegDeleteKeyA the run did not make, added to its events.
std::function<int(sim::Machine&)> Deletion(const char* target) {
    return [target](sim::Machine& m) {
        sim::Event e(Api::RegDeleteKeyA);
        e.target = target;
        m.events.push_back(e);
        return 0;
    };
}

// Windows 98 with the package whole: one package device with its disk and
// drive letter, the package's files, and the system's own devices and files
// around them.
TEST(RunInvariants, AFaithfulRunPassesAndEveryDoctoredOneIsCaught) {
    support::Windows98Package whole;
    whole.whole = true;
    const sim::Machine before = support::Windows98WithPackage(whole);
    {
        sim::Machine after = before;
        const int exitCode = dryrun::RunWinMain(after);
        EXPECT_EQ(CheckRun(before, after, exitCode), std::vector<std::string>{});
        EXPECT_EQ(support::ScopeOf(before).recordDeviceIds,
                  std::set<std::string>{"USB\\VID_1234&PID_5678\\SN01"});
    }

    struct Row {
        const char* what;
        std::function<int(sim::Machine&)> doctor;  // returns the exit code to check with
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"Enum deleted", [](sim::Machine& m) { m.registry.DeleteTree("HKLM\\Enum"); return 0; },
         "protected key gone: HKEY_LOCAL_MACHINE\\ENUM"},
        {"a system disk key deleted",
         [](sim::Machine& m) { m.registry.DeleteTree("HKLM\\Enum\\SCSI\\DISK&VEN_SYS\\5&0&0"); return 0; },
         "key gone: HKEY_LOCAL_MACHINE\\ENUM\\SCSI\\DISK&VEN_SYS\\5&0&0"},
        {"a system driver key deleted",
         [](sim::Machine& m) {
             m.registry.DeleteTree("HKLM\\System\\CurrentControlSet\\Services\\Class\\DiskDrive\\0000");
             return 0;
         },
         "key gone: HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS\\DISKDRIVE\\0000"},
        {"a value changed",
         [](sim::Machine& m) {
             m.registry.SetString("HKLM\\Enum\\SCSI\\DISK&VEN_SYS\\5&0&0", "Driver", "x");
             return 0;
         },
         "value changed or gone"},
        {"a key added", [](sim::Machine& m) { m.registry.Create("HKLM\\Enum\\NEW"); return 0; }, "key added"},
        {"a foreign file deleted",
         [](sim::Machine& m) { m.files.Remove("C:\\WINDOWS\\system32\\drivers\\usbhub.sys"); return 0; },
         "file gone: C:\\WINDOWS\\SYSTEM32\\DRIVERS\\USBHUB.SYS"},
        {"a file added", [](sim::Machine& m) { m.files.AddFile("C:\\WINDOWS\\new.txt", "x"); return 0; },
         "file added"},
        {"a package file left",
         [](sim::Machine& m) { m.files.AddFile("C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys", "MZ"); return 0; },
         "package file left"},
        {"a deletion the records do not name", Deletion("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678"),
         sim::ApiName(Api::RegDeleteKeyA) + std::string(" on a key no selected record names")},
        {"a deletion of the driver class key",
         Deletion("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"),
         sim::ApiName(Api::RegDeleteKeyA) + std::string(" on a protected key")},
        {"the package device left",
         [](sim::Machine& m) {
             m.devices.push_back({"USB\\VID_1234&PID_5678\\SN01", std::nullopt, std::nullopt});
             return 0;
         },
         "package device still present"},
        {"a key handle left open",
         [](sim::Machine& m) {
             sim::ActiveMachine active(m);
             HKEY key = nullptr;
             RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &key);
             return 0;
         },
         "handles left open: keys 1"},
        {"a non-zero exit code", [](sim::Machine&) { return 1; }, "exit code 1"},
    };
    for (const Row& row : rows) {
        sim::Machine after = before;
        dryrun::RunWinMain(after);
        const int exitCode = row.doctor(after);
        EXPECT_TRUE(Mentions(CheckRun(before, after, exitCode), row.expected)) << row.what;
    }
}

// A run with a failing call may stop short of its work, but the storage
// INF's content must survive: at its path, or in a sibling the rewrite left.
TEST(RunInvariants, AFailedRunMayStopShortButNeverLosesTheStorageInf) {
    sim::Machine before = sim::MakeWindows2000("Service Pack 2");
    const std::string inf = "C:\\WINNT\\inf\\usbstor.inf";
    before.files.AddFile(inf, std::vector<uint8_t>{0xFF, 0xFE, '%', 0, '1', 0});
    before.registry.SetString("HKLM\\System\\ControlSet001\\Services\\USBSTOR", "ImagePath", "x");

    sim::Machine stopped = before;
    stopped.InjectFault({Api::RegOpenKeyA, 1, true, ERROR_ACCESS_DENIED, false});
    const int exitCode = dryrun::RunWinMain(stopped);
    EXPECT_TRUE(Mentions(CheckRun(before, stopped, exitCode), "ImagePath not restored"));
    EXPECT_EQ(CheckRun(before, stopped, exitCode, true), std::vector<std::string>{});

    sim::Machine lost = before;
    dryrun::RunWinMain(lost);
    lost.files.Remove(inf);
    EXPECT_TRUE(Mentions(CheckRun(before, lost, 0, true), "storage INF lost"));
    lost.files.AddFile(inf + ".~zb00", before.files.Read(inf).value());
    EXPECT_EQ(CheckRun(before, lost, 0, true), std::vector<std::string>{});
    lost.files.AddFile(inf + ".~zt00", std::string("other bytes"));
    EXPECT_TRUE(Mentions(CheckRun(before, lost, 0, true), "file added"));
}

}  // namespace
