// ForceDeleteFile and the removal of the package's driver files on a
// Windows 98 machine.
#include "files/files.h"
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <cstring>

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

// A Windows 98 machine with the package's files (both INF copies) and some
// of the system's own beside them.
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

        sim::Machine expected = m;
        if (row.gone) expected.files.Remove(kWdm);
        else expected.files.Find(kWdm)->attributes = row.attributes & 0x11111110;
        {
            support::ActiveMachine active(m);
            ForceDeleteFile(kWdm);
        }
        EXPECT_EQ(m.EventsOf(Api::DeleteFileA).size(), row.deletions);
        ASSERT_EQ(m.EventsOf(Api::SetFileAttributesA).size(), row.attributeSets);
        if (row.attributeSets == 1) {
            // The attributes as read, masked: the failure value of a missing
            // file is passed on masked as well.
            const DWORD read = row.present ? row.attributes : INVALID_FILE_ATTRIBUTES;
            EXPECT_EQ(m.EventsOf(Api::SetFileAttributesA)[0].attributes, read & 0x11111110);
        }
        if (row.heldOpen) {
            const sim::FileEntry* kept = m.files.Find(kWdm);
            ASSERT_NE(kept, nullptr);
            EXPECT_EQ(kept->attributes & kFourAttributes, 0u);
            sim::ReleaseFile(m, holder);
        }
        EXPECT_FALSE(!row.present && m.files.Exists(kWdm)) << "a missing file was created";
        EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
    }
}

struct SelectorRow {
    const char* name;
    int selector;
    std::vector<const char*> deleted;
};

TEST(RemoveDriverFiles, EachSelectorDeletesItsFilesAndNothingElse) {
    const SelectorRow rows[] = {
        {"1: WDM driver", 1, {kWdm}},
        {"2: I/O subsystem driver", 2, {kPdr}},
        {"3: both INF copies and the PNF", 3, {kInfOther, kInf, kPnf}},
        {"0: nothing", 0, {}},
        {"4: nothing", 4, {}},
        {"-1: nothing", -1, {}},
    };
    for (const SelectorRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = PackageMachine();
        sim::Machine expected = m;
        for (const char* path : row.deleted) expected.files.Remove(path);
        {
            support::ActiveMachine active(m);
            RecordWindowsDirectory();
            RemoveDriverFiles(row.selector);
        }
        EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
        if (row.deleted.empty()) {
            EXPECT_EQ(m.callCounts[Api::DeleteFileA], 0u);
            EXPECT_EQ(m.callCounts[Api::SetFileAttributesA], 0u);
        }
    }
}

TEST(RemoveDriverFiles, ReadOnlyDriversGoTheReadOnlyPnfStays) {
    sim::Machine m = PackageMachine();
    m.files.AddFile(kWdm, std::string("wdm driver"), FILE_ATTRIBUTE_READONLY);
    m.files.AddFile(kPdr, std::string("port driver"), kFourAttributes);
    m.files.AddFile(kInf, std::string("[Version]"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    m.files.AddFile(kPnf, std::string("pnf"), FILE_ATTRIBUTE_READONLY);
    sim::Machine expected = m;
    for (const char* path : {kWdm, kPdr, kInfOther, kInf}) expected.files.Remove(path);
    {
        support::ActiveMachine active(m);
        RecordWindowsDirectory();
        for (int selector = 1; selector <= 3; ++selector) RemoveDriverFiles(selector);
    }
    EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
    // The PNF gets one plain attempt: no attribute step, no retry.
    std::vector<std::string> pnfDeletions;
    for (const std::string& target : Targets(m, Api::DeleteFileA))
        if (target == kPnf) pnfDeletions.push_back(target);
    EXPECT_EQ(pnfDeletions.size(), 1u);
    for (const std::string& target : Targets(m, Api::SetFileAttributesA)) EXPECT_NE(target, kPnf);
}

TEST(RemoveDriverFiles, MissingInfCopiesAreNotAttemptedThePnfIs) {
    sim::Machine m = PackageMachine();
    m.files.Remove(kInfOther);
    m.files.Remove(kInf);
    m.files.Remove(kPnf);
    // A directory bearing the INF's name fails the existence test.
    m.files.AddDirectory(kInfOther);
    m.files.AddFile(std::string(kInfOther) + "\\inside.txt", std::string("kept"));
    sim::Machine expected = m;
    {
        support::ActiveMachine active(m);
        RecordWindowsDirectory();
        RemoveDriverFiles(3);
    }
    EXPECT_EQ(Targets(m, Api::DeleteFileA), std::vector<std::string>{kPnf});
    EXPECT_EQ(m.EventsOf(Api::SetFileAttributesA).size(), 0u);
    EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
}

TEST(RemoveDriverFiles, UnknownWindowsDirectoryTouchesNoFile) {
    sim::Machine m = PackageMachine();
    // The same names below the root of the drive must survive.
    m.files.AddFile("C:\\system32\\drivers\\WDMZAV03.sys", std::string("not ours"));
    m.files.AddFile("C:\\inf\\USBZAV03.inf", std::string("not ours"));
    m.files.AddFile("C:\\inf\\MSTEVUmss.PNF", std::string("not ours"));
    sim::Machine expected = m;
    {
        support::ActiveMachine active(m);
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
        for (int selector = 1; selector <= 3; ++selector) RemoveDriverFiles(selector);
    }
    EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
    for (const Api api :
         {Api::DeleteFileA, Api::SetFileAttributesA, Api::GetFileAttributesA, Api::FindFirstFileA})
        EXPECT_EQ(m.callCounts[api], 0u) << api;
}

}  // namespace
