// The kernel file functions over the simulated tree.
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/call_result.h"

#include "image/machine_state.h"

#include <gtest/gtest.h>

#include <cstring>

using sim::Api;

namespace {

const char kDriver[] = "C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys";

sim::Machine MachineWithDriver(sim::Family family) {
    sim::Machine m = family == sim::Family::Win9x ? sim::MakeWindows98() : sim::MakeWindowsXP();
    m.files.AddFile(kDriver, std::string("driver"), FILE_ATTRIBUTE_ARCHIVE);
    m.files.AddDirectory("C:\\WINDOWS\\inf\\USBZAV03.inf");  // a directory with a file's name
    return m;
}

TEST(SimFilesAttributes, ReadAndMissingEntries) {
    sim::Machine m = MachineWithDriver(sim::Family::Win9x);
    support::ActiveMachine active(m);
    const DWORD missing = INVALID_FILE_ATTRIBUTES;
    struct Row {
        const char* path;
        DWORD attributes, error;
    } rows[] = {
        {kDriver, FILE_ATTRIBUTE_ARCHIVE, 0},
        {"c:/windows/INF/usbzav03.inf", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"C:\\WINDOWS\\inf\\other\\USBZAV03.inf", missing, ERROR_PATH_NOT_FOUND},  // "other" is missing
        {"C:\\WINDOWS\\inf\\USBZAV03.PNF", missing, ERROR_FILE_NOT_FOUND},
        {"C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys\\x", missing, ERROR_PATH_NOT_FOUND},  // a file on the way
        {"Q:\\x", missing, ERROR_PATH_NOT_FOUND},
        {"inf\\x.inf", missing, ERROR_PATH_NOT_FOUND},
        {"C:\\WINDOWS\\a|b", missing, ERROR_INVALID_NAME},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesA(row.path), row.attributes);
        EXPECT_EQ(GetLastError(), row.error);
    }
}

// The file removal passes the attributes it read, masked with 0x11111110.
TEST(SimFilesAttributes, SetKeepsOnlySettableBitsPerFamily) {
    const char* const dir = "C:\\WINDOWS\\inf\\USBZAV03.inf";
    struct Row {
        sim::Family family;
        const char* path;
        DWORD before, given, after;
        DWORD error;  // 0: set
    } rows[] = {
        {sim::Family::Win9x, kDriver, 0x27, 0x27 & 0x11111110, 0x00, 0},
        {sim::Family::NT, kDriver, 0x27, 0x27 & 0x11111110, 0x00, 0},
        {sim::Family::Win9x, kDriver, 0x20, 0xFFFFFFFF & 0x11111110, 0x00, 0},   // temporary, offline: not on FAT
        {sim::Family::NT, kDriver, 0x20, 0xFFFFFFFF & 0x11111110, 0x1100, 0},    // temporary and offline kept
        {sim::Family::NT, kDriver, 0x20, FILE_ATTRIBUTE_NORMAL, 0x00, 0},
        {sim::Family::NT, kDriver, 0x00, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL, 0x01, 0},
        {sim::Family::Win9x, kDriver, 0x01, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, 0x02, 0},
        {sim::Family::NT, dir, FILE_ATTRIBUTE_DIRECTORY, 0x11111110, FILE_ATTRIBUTE_DIRECTORY | 0x1100, 0},  // still a directory
        {sim::Family::NT, "C:\\WINDOWS\\missing.sys", 0, 0x11111110, 0, ERROR_FILE_NOT_FOUND},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.path << " " << std::hex << row.given);
        sim::Machine m = MachineWithDriver(row.family);
        sim::FileEntry* entry = m.files.Find(row.path);
        if (entry != nullptr) entry->attributes = row.before;
        support::ActiveMachine active(m);
        EXPECT_EQ(support::Called(SetFileAttributesA(row.path, row.given)), support::Outcome(row.error));
        if (entry != nullptr) {
            EXPECT_EQ(entry->attributes, row.after);
        }
        ASSERT_EQ(m.events.size(), 1u);
        EXPECT_EQ(m.events[0].api, Api::SetFileAttributesA);
        EXPECT_EQ(m.events[0].ok, row.error == 0);
        EXPECT_EQ(m.events[0].attributes, row.given);
    }
}

TEST(SimFilesDelete, ReadOnlyFileGoesOnceItsAttributesAreCleared) {
    sim::Machine m = MachineWithDriver(sim::Family::Win9x);
    m.files.Find(kDriver)->attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    const sim::FileEntry before = *m.files.Find(kDriver);
    support::ActiveMachine active(m);
    EXPECT_EQ(support::Called(DeleteFileA(kDriver)), support::Outcome(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SetFileAttributesA(kDriver, GetFileAttributesA(kDriver) & 0x11111110));
    EXPECT_TRUE(DeleteFileA(kDriver));
    EXPECT_FALSE(m.files.Exists(kDriver));
    const std::vector<sim::Event> deletions = m.EventsOf(Api::DeleteFileA);
    ASSERT_EQ(deletions.size(), 2u);
    EXPECT_FALSE(deletions[0].ok);
    EXPECT_EQ(deletions[0].error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(deletions[0].oldFile->attributes, before.attributes);
    EXPECT_TRUE(deletions[1].ok);
    EXPECT_EQ(deletions[1].oldFile->data, before.data);
}

TEST(SimFilesDelete, FailuresLeaveTheTreeAsItWas) {
    struct Row {
        sim::Family family;
        const char* path;
        DWORD holderShare;  // another process holds the driver open with this share mode
        bool hold;
        DWORD error;  // 0: deleted
    } rows[] = {
        {sim::Family::Win9x, "C:\\WINDOWS\\inf\\USBZAV03.inf", 0, false, ERROR_ACCESS_DENIED},
        {sim::Family::NT, "C:\\WINDOWS\\inf\\USBZAV03.inf", 0, false, ERROR_ACCESS_DENIED},
        {sim::Family::NT, "C:\\WINDOWS\\inf\\MSTEVUmss.PNF", 0, false, ERROR_FILE_NOT_FOUND},
        {sim::Family::NT, "C:\\WINDOWS\\system\\iosubsys\\PDRZAV03.pdr", 0, false,
         ERROR_PATH_NOT_FOUND},
        {sim::Family::Win9x, kDriver, FILE_SHARE_READ, true, ERROR_SHARING_VIOLATION},
        {sim::Family::NT, kDriver, FILE_SHARE_READ, true, ERROR_SHARING_VIOLATION},
        // Delete sharing: NT lets the file go, the 9x family does not know it.
        {sim::Family::Win9x, kDriver, FILE_SHARE_READ | FILE_SHARE_DELETE, true,
         ERROR_SHARING_VIOLATION},
        {sim::Family::NT, kDriver, FILE_SHARE_READ | FILE_SHARE_DELETE, true, 0},
    };
    for (const Row& row : rows) {
        sim::Machine m = MachineWithDriver(row.family);
        const uintptr_t holder = row.hold ? sim::HoldFileOpen(m, kDriver, GENERIC_READ, row.holderShare) : 0;
        EXPECT_EQ(holder != 0, row.hold);
        const std::string before = image::FilesText(m.files);
        support::ActiveMachine active(m);
        SCOPED_TRACE(row.path);
        EXPECT_EQ(support::Called(DeleteFileA(row.path)), support::Outcome(row.error));
        if (row.error != 0) EXPECT_EQ(image::FilesText(m.files), before);
        else EXPECT_FALSE(m.files.Exists(row.path));
        EXPECT_EQ(m.OpenHandles().files, 0u);  // the other process's handle is not the program's
        sim::ReleaseFile(m, holder);
    }
}

TEST(SimFilesCreateDirectory, InAnExistingFolderUnderANewName) {
    struct Row {
        const char* path;
        DWORD error;  // 0: made
    } rows[] = {
        {"C:\\WINDOWS\\Image", 0},
        {"c:\\windows\\SYSTEM32\\DRIVERS\\New", 0},
        {"C:\\WINDOWS\\system32", ERROR_ALREADY_EXISTS},
        {kDriver, ERROR_ALREADY_EXISTS},  // a file's name
        {"C:\\WINDOWS\\Missing\\Image", ERROR_PATH_NOT_FOUND},
        {"C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys\\Image", ERROR_PATH_NOT_FOUND},
        {"C:\\", ERROR_ACCESS_DENIED},
        {"C:\\WINDOWS\\a|b", ERROR_INVALID_NAME},
    };
    for (const Row& row : rows) {
        sim::Machine m = MachineWithDriver(sim::Family::NT);
        const std::string before = image::FilesText(m.files);
        support::ActiveMachine active(m);
        SCOPED_TRACE(row.path);
        EXPECT_EQ(support::Called(CreateDirectoryA(row.path, nullptr)), support::Outcome(row.error));
        ASSERT_EQ(m.events.size(), 1u);
        EXPECT_EQ(m.events[0].ok, row.error == 0);
        if (row.error != 0) EXPECT_EQ(image::FilesText(m.files), before);
        else EXPECT_TRUE(m.files.Find(row.path)->directory);
    }
}

TEST(SimFilesMove, RenamesFilesAndDirectories) {
    sim::Machine m = MachineWithDriver(sim::Family::NT);
    m.files.AddFile("C:\\WINDOWS\\inf\\USBZAV03.inf\\inner.txt", std::string("in"));
    m.files.Find(kDriver)->attributes = FILE_ATTRIBUTE_READONLY;
    support::ActiveMachine active(m);
    EXPECT_TRUE(MoveFileA(kDriver, "C:\\WINDOWS\\wdmzav03.old"));
    EXPECT_EQ(m.files.Find("C:\\WINDOWS\\WDMZAV03.OLD")->path, "C:\\WINDOWS\\wdmzav03.old");
    EXPECT_EQ(m.files.Find("C:\\WINDOWS\\WDMZAV03.OLD")->attributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(m.files.Exists(kDriver));
    EXPECT_TRUE(MoveFileA("C:\\WINDOWS\\inf\\USBZAV03.inf", "C:\\WINDOWS\\Moved"));
    EXPECT_EQ(*m.files.Read("C:\\WINDOWS\\Moved\\inner.txt"), (std::vector<uint8_t>{'i', 'n'}));
    EXPECT_TRUE(MoveFileA("C:\\WINDOWS\\Moved", "C:\\WINDOWS\\MOVED"));  // case only
    EXPECT_EQ(m.files.Find("C:\\WINDOWS\\moved\\INNER.TXT")->path, "C:\\WINDOWS\\MOVED\\inner.txt");

    const std::string before = image::FilesText(m.files);
    // Onto a file, from nothing, into itself, and with a file below it held open.
    EXPECT_EQ(support::Called(MoveFileA("C:\\WINDOWS\\MOVED", "C:\\WINDOWS\\wdmzav03.old")),
              support::Outcome(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(support::Called(MoveFileA("C:\\WINDOWS\\nothing", "C:\\WINDOWS\\x")), support::Outcome(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(support::Called(MoveFileA("C:\\WINDOWS\\MOVED", "C:\\WINDOWS\\MOVED\\sub")),
              support::Outcome(ERROR_ACCESS_DENIED));
    const uintptr_t holder = sim::HoldFileOpen(m, "C:\\WINDOWS\\MOVED\\inner.txt", GENERIC_READ, 0);
    EXPECT_EQ(support::Called(MoveFileA("C:\\WINDOWS\\MOVED", "C:\\WINDOWS\\x")), support::Outcome(ERROR_SHARING_VIOLATION));
    sim::ReleaseFile(m, holder);
    EXPECT_EQ(image::FilesText(m.files), before);
    EXPECT_EQ(m.EventsOf(Api::MoveFileA).size(), 7u);
    EXPECT_EQ(m.EventsOf(Api::MoveFileA)[0].newPath, "C:\\WINDOWS\\wdmzav03.old");
}

TEST(SimFilesFind, ExactNamesAndWildcards) {
    sim::Machine m = MachineWithDriver(sim::Family::Win9x);
    m.files.AddFile("C:\\WINDOWS\\inf\\usbstor.inf", std::string(300, 'x'));
    m.files.AddFile("C:\\WINDOWS\\system32\\drivers\\ABC", std::string());  // no extension
    support::ActiveMachine active(m);
    const DWORD archive = FILE_ATTRIBUTE_ARCHIVE;
    struct Row {
        const char* path;
        const char* found;  // nullptr: nothing found, with `error`
        DWORD attributes, size, error;
    } rows[] = {
        {"c:\\windows\\SYSTEM32\\drivers\\wdmzav03.SYS", "WDMZAV03.sys", archive, 6, 0},
        {"C:\\WINDOWS\\inf\\USBZAV03.inf", "USBZAV03.inf", FILE_ATTRIBUTE_DIRECTORY, 0, 0},  // the directory
        {"C:\\WINDOWS\\system32\\drivers\\*.*", "ABC", archive, 0, 0},
        {"C:\\WINDOWS\\inf\\U?B*.INF", "usbstor.inf", archive, 300, 0},  // first in name order
        {"C:\\WINDOWS\\inf\\MSTEVUmss.PNF", nullptr, 0, 0, ERROR_FILE_NOT_FOUND},
        {"C:\\WINDOWS\\inf\\*.pnf", nullptr, 0, 0, ERROR_FILE_NOT_FOUND},
        {"C:\\WINDOWS\\inf\\other\\USBZAV03.inf", nullptr, 0, 0, ERROR_PATH_NOT_FOUND},
        {"C:\\WINDOWS\\", nullptr, 0, 0, ERROR_FILE_NOT_FOUND},
        {"C:\\*\\x", nullptr, 0, 0, ERROR_INVALID_NAME},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(row.path, &data);
        if (row.found == nullptr) {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), row.error);
            continue;
        }
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(data.cFileName, row.found);
        EXPECT_EQ(data.dwFileAttributes, row.attributes);
        EXPECT_EQ(data.nFileSizeLow, row.size);
        EXPECT_EQ(m.OpenHandles().finds, 1u);
        EXPECT_TRUE(FindClose(h));
        EXPECT_EQ(support::Called(FindClose(h)), support::Outcome(ERROR_INVALID_HANDLE));  // closed already
    }
}

}  // namespace
