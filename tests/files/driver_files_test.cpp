// ForceDeleteFile and the removal of the package's driver files on a
// Windows 98 machine.
#include "files/files.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <functional>

using sim::Api;
using support::Targets;

namespace {

const DWORD kFourAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

const char kWdm[] = "C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys";
const char kPdr[] = "C:\\WINDOWS\\system\\iosubsys\\PDRZAV03.pdr";
const char kInfOther[] = "C:\\WINDOWS\\inf\\other\\USBZAV03.inf";
const char kInf[] = "C:\\WINDOWS\\inf\\USBZAV03.inf";
const char kPnf[] = "C:\\WINDOWS\\inf\\MSTEVUmss.PNF";

// A Windows 98 machine with the package's files (the WDM driver read-only
// and hidden, both INF copies, the one in "inf" read-only) and some of the
// system's own beside them.
sim::Machine PackageMachine() {
    support::Windows98Package options;
    options.infFolders = {"inf\\other", "inf"};
    options.whole = true;
    return support::Windows98WithPackage(options);
}

struct ForceDeleteRow {
    const char* name;
    bool present;
    DWORD attributes;
    bool heldOpen;  // by another process, with no sharing
    bool gone;
    size_t deletions;
    size_t attributeSets;
};

TEST(ForceDeleteFile, DeletesWithOneRetryAfterClearingAttributes) {
    const ForceDeleteRow rows[] = {
        {"plain file: first attempt", true, FILE_ATTRIBUTE_ARCHIVE, false, true, 1, 0},
        {"read-only: second attempt", true, FILE_ATTRIBUTE_READONLY, false, true, 2, 1},
        {"read-only hidden system: second attempt", true, kFourAttributes, false, true, 2, 1},
        {"held open without sharing: stays", true, kFourAttributes, true, false, 2, 1},
        {"missing: both attempts fail", false, 0, false, true, 2, 1},
    };
    for (const ForceDeleteRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = PackageMachine();
        if (row.present) m.files.AddFile(kWdm, std::string("wdm driver"), row.attributes);
        else m.files.Remove(kWdm);
        const uintptr_t holder = row.heldOpen ? sim::HoldFileOpen(m, kWdm, GENERIC_READ, 0) : 0;
        if (row.heldOpen) {
            ASSERT_NE(holder, 0u);
        }

        // The attributes as read, masked: the failure value of a missing
        // file is passed on masked as well.
        sim::Machine expected = m;
        if (row.gone) expected.files.Remove(kWdm);
        else expected.files.Find(kWdm)->attributes = row.attributes & 0x11111110;
        support::RunStep(m, [] { ForceDeleteFile(kWdm); });
        sim::ReleaseFile(m, holder);
        EXPECT_EQ(m.EventsOf(Api::DeleteFileA).size(), row.deletions);
        ASSERT_EQ(m.EventsOf(Api::SetFileAttributesA).size(), row.attributeSets);
        if (row.attributeSets == 1) {
            const DWORD read = row.present ? row.attributes : INVALID_FILE_ATTRIBUTES;
            EXPECT_EQ(m.EventsOf(Api::SetFileAttributesA)[0].attributes, read & 0x11111110);
        }
        support::ExpectMachine(m, expected);
    }
}

// Each selector deletes its files and nothing else: every deletion attempt
// and attribute change named, in order. A read-only file is deleted after
// its attributes are cleared; the precompiled INF gets one plain attempt.
TEST(RemoveDriverFiles, EachSelectorDeletesItsFilesAndNothingElse) {
    struct Row {
        const char* name;
        std::function<void(sim::Machine&)> before;
        std::vector<int> selectors;
        bool windowsDirectoryKnown;
        std::vector<std::string> gone;
        std::vector<std::string> deletions;      // DeleteFileA, in order
        std::vector<std::string> attributeSets;  // SetFileAttributesA, in order
    };
    const auto asInstalled = [](sim::Machine&) {};
    const Row rows[] = {
        {"1: WDM driver", asInstalled, {1}, true, {kWdm}, {kWdm, kWdm}, {kWdm}},
        {"2: I/O subsystem driver", asInstalled, {2}, true, {kPdr}, {kPdr}, {}},
        {"3: both INF copies and the PNF", asInstalled, {3}, true, {kInfOther, kInf, kPnf},
         {kInfOther, kInf, kInf, kPnf}, {kInf}},
        {"0, 4 and -1: nothing", asInstalled, {0, 4, -1}, true, {}, {}, {}},
        {"read-only drivers go, the read-only PNF stays",
         [](sim::Machine& m) {
             m.files.AddFile(kWdm, std::string("wdm driver"), FILE_ATTRIBUTE_READONLY);
             m.files.AddFile(kPdr, std::string("port driver"), kFourAttributes);
             m.files.AddFile(kInf, std::string("[Version]"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
             m.files.AddFile(kPnf, std::string("pnf"), FILE_ATTRIBUTE_READONLY);
         },
         {1, 2, 3}, true, {kWdm, kPdr, kInfOther, kInf}, {kWdm, kWdm, kPdr, kPdr, kInfOther, kInf, kInf, kPnf},
         {kWdm, kPdr, kInf}},
        {"missing INF copies are not attempted, the PNF is",
         [](sim::Machine& m) {
             m.files.Remove(kInfOther);
             m.files.Remove(kInf);
             m.files.Remove(kPnf);
             // A directory bearing the INF's name fails the existence test.
             m.files.AddDirectory(kInfOther);
             m.files.AddFile(std::string(kInfOther) + "\\inside.txt", std::string("kept"));
         },
         {3}, true, {}, {kPnf}, {}},
        {"Windows directory unknown: no file touched, not even below the drive's root",
         [](sim::Machine& m) {
             m.files.AddFile("C:\\system32\\drivers\\WDMZAV03.sys", std::string("not ours"));
             m.files.AddFile("C:\\inf\\USBZAV03.inf", std::string("not ours"));
             m.files.AddFile("C:\\inf\\MSTEVUmss.PNF", std::string("not ours"));
         },
         {1, 2, 3}, false, {}, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = PackageMachine();
        row.before(m);
        sim::Machine expected = m;
        for (const std::string& path : row.gone) expected.files.Remove(path);
        support::RunStep(
            m, [&] { for (int selector : row.selectors) RemoveDriverFiles(selector); }, row.windowsDirectoryKnown);
        support::ExpectMachine(m, expected);
        EXPECT_EQ(Targets(m, Api::DeleteFileA), row.deletions);
        EXPECT_EQ(Targets(m, Api::SetFileAttributesA), row.attributeSets);
        if (!row.windowsDirectoryKnown) {
            EXPECT_EQ(m.callCounts[Api::GetFileAttributesA], 0u);
            EXPECT_EQ(m.callCounts[Api::FindFirstFileA], 0u);
        }
    }
}

}  // namespace
