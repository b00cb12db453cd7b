// CreateFileA, sharing, reading, writing and seeking over the simulated tree.
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/call_result.h"

#include <gtest/gtest.h>

#include <cstring>

using sim::Api;

namespace {

const char kInf[] = "C:\\WINNT\\inf\\usbstor.inf";

sim::Machine Windows2000WithInf(DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
    sim::Machine m = sim::MakeWindows2000("Service Pack 2");
    m.files.AddFile(kInf, std::string("0123456789"), attributes);
    return m;
}

TEST(SimFilesCreate, Dispositions) {
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    struct Row {
        const char* name;
        const char* path;
        DWORD attributes;  // of the existing file
        DWORD access, disposition, flags;
        DWORD error;        // last error afterwards (the call fails unless `opens`)
        bool opens;
        const char* content;  // of the file afterwards; nullptr: absent
        DWORD after;          // its attributes afterwards
    } rows[] = {
        {"open existing", kInf, 0x20, rw, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0, true, "0123456789", 0x20},
        {"open missing", "C:\\WINNT\\inf\\x.inf", 0x20, rw, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND, false, nullptr, 0},
        {"missing parent", "C:\\WINNT\\nope\\x.inf", 0x20, rw, OPEN_ALWAYS, 0, ERROR_PATH_NOT_FOUND, false, nullptr, 0},
        {"a directory", "C:\\WINNT\\inf", 0x20, GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED, false, "", 0x10},
        {"create new", "C:\\WINNT\\inf\\x.inf", 0x20, rw, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0, true, "", 0x20},
        {"create new exists", kInf, 0x20, rw, CREATE_NEW, 0, ERROR_FILE_EXISTS, false, "0123456789", 0x20},
        {"create always new", "C:\\WINNT\\inf\\x.inf", 0x20, rw, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, 0, true, "", 0x22},
        {"create always over", kInf, 0x21 & ~1u, rw, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ALREADY_EXISTS, true, "", 0x20},
        {"create always read-only", kInf, 0x21, rw, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED, false, "0123456789", 0x21},
        {"create always hidden", kInf, 0x22, rw, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED, false, "0123456789", 0x22},
        {"create always hidden named", kInf, 0x22, rw, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, ERROR_ALREADY_EXISTS, true, "", 0x22},
        {"open always exists", kInf, 0x20, rw, OPEN_ALWAYS, 0, ERROR_ALREADY_EXISTS, true, "0123456789", 0x20},
        {"open always new", "C:\\WINNT\\inf\\x.inf", 0x20, rw, OPEN_ALWAYS, 0, 0, true, "", 0x20},
        {"truncate", kInf, 0x02, GENERIC_WRITE, TRUNCATE_EXISTING, 0, 0, true, "", 0x22},
        {"truncate without write", kInf, 0x20, GENERIC_READ, TRUNCATE_EXISTING, 0, ERROR_INVALID_PARAMETER, false, "0123456789", 0x20},
        {"write read-only", kInf, 0x21, rw, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED, false, "0123456789", 0x21},
        {"read read-only", kInf, 0x21, GENERIC_READ, OPEN_EXISTING, 0, 0, true, "0123456789", 0x21},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = Windows2000WithInf(row.attributes);
        support::ActiveMachine active(m);
        SetLastError(12345);
        HANDLE h = CreateFileA(row.path, row.access, 0, nullptr, row.disposition, row.flags, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, row.opens);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(m.OpenHandles().files, row.opens ? 1u : 0u);
        const sim::FileEntry* e = m.files.Find(row.path);
        if (row.content == nullptr) {
            EXPECT_EQ(e, nullptr);
        } else {
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(std::string(e->data.begin(), e->data.end()), row.content);
            EXPECT_EQ(e->attributes, row.after);
        }
        // Only creations and truncations are recorded, with the file they replaced.
        const std::vector<sim::Event> created = m.EventsOf(Api::CreateFileA);
        const bool changed = row.opens && (row.disposition == CREATE_NEW || row.disposition == CREATE_ALWAYS ||
                                           row.disposition == TRUNCATE_EXISTING ||
                                           (row.disposition == OPEN_ALWAYS && row.error == 0));
        ASSERT_EQ(created.size(), changed ? 1u : 0u);
        if (changed) {
            EXPECT_EQ(created[0].oldFile.has_value(), row.error == ERROR_ALREADY_EXISTS || row.disposition == TRUNCATE_EXISTING);
        }
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
    }
}

TEST(SimFilesCreate, SharingIsCheckedBothWays) {
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, D = DELETE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                SD = FILE_SHARE_DELETE;
    struct Row {
        DWORD heldAccess, heldShare, access, share;
        bool opens;
    } rows[] = {
        {R, SR, R, SR, true},
        {R, SR, R, 0, false},        // the holder reads, the newcomer shares no reading
        {R, SR, W, SR, false},       // the holder shares no writing
        {R, SR | SW, W, SR, true},
        {W, SR | SW, R, SR, false},  // the holder writes, the newcomer shares no writing
        {W, SR | SW, R, SR | SW, true},
        {R | W, 0, R, SR | SW, false},
        {0, 0, R | W, 0, true},      // a handle without data access conflicts with nobody
        {R | W, 0, 0, 0, true},
        {R | D, SR | SW | SD, R, SR | SW, false},  // the holder may delete or rename, the newcomer shares no deleting
        {R | D, SR | SW | SD, R, SR | SW | SD, true},
        {D, SR | SW | SD, R, SR | SD, true},       // delete access alone: the newcomer shares deleting
        {R, SR | SW, D, SR | SW | SD, false},      // the newcomer would delete, the holder shares no deleting
    };
    for (const Row& row : rows) {
        sim::Machine m = Windows2000WithInf();
        const uintptr_t holder = sim::HoldFileOpen(m, kInf, row.heldAccess, row.heldShare);
        ASSERT_NE(holder, 0u);
        support::ActiveMachine active(m);
        HANDLE h = CreateFileA(kInf, row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, row.opens)
            << row.heldAccess << "/" << row.heldShare << " vs " << row.access << "/" << row.share;
        if (h != INVALID_HANDLE_VALUE) EXPECT_TRUE(CloseHandle(h));
        else EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        // Not the program's handle.
        EXPECT_EQ(support::Called(CloseHandle(reinterpret_cast<HANDLE>(holder))), support::Outcome(ERROR_INVALID_HANDLE));
        sim::ReleaseFile(m, holder);
    }
    // The 9x family knows no delete sharing and refuses the flag; NT takes it.
    for (const bool nt : {false, true}) {
        sim::Machine m = nt ? Windows2000WithInf() : sim::MakeWindows98();
        m.files.AddFile("C:\\file.txt", std::string("x"));
        support::ActiveMachine active(m);
        HANDLE h = CreateFileA("C:\\file.txt", R, SR | SW | SD, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, nt);
        if (h != INVALID_HANDLE_VALUE) EXPECT_TRUE(CloseHandle(h));
        else EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(SimFilesReadWrite, SeekReadWriteAndSizes) {
    sim::Machine m = Windows2000WithInf();
    support::ActiveMachine active(m);
    HANDLE h = CreateFileA(kInf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 10u);
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_CURRENT), 6u);
    char buffer[16] = {};
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));  // up to the end
    EXPECT_EQ(n, 4u);
    EXPECT_STREQ(buffer, "6789");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);  // at the end: success, nothing read

    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h, -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);  // not moved
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 12, &high, FILE_BEGIN), 12u);
    EXPECT_EQ(high, 0);

    EXPECT_TRUE(WriteFile(h, "AB", 2, &n, nullptr));  // past the end: a zero-filled gap
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(*m.files.Read(kInf), (std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7',
                                                         '8', '9', 0, 0, 'A', 'B'}));
    DWORD sizeHigh = 7;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 14u);
    EXPECT_EQ(sizeHigh, 0u);
    ASSERT_EQ(m.EventsOf(Api::WriteFile).size(), 1u);
    EXPECT_EQ(m.EventsOf(Api::WriteFile)[0].target, kInf);
    EXPECT_EQ(m.EventsOf(Api::WriteFile)[0].bytesWritten, 2u);
    EXPECT_TRUE(CloseHandle(h));

    // Access the handle does not hold, and handles that are gone.
    const DWORD both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    h = CreateFileA(kInf, GENERIC_READ, both, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(support::Called(WriteFile(h, "x", 1, &n, nullptr)), support::Outcome(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(m.EventsOf(Api::WriteFile).back().ok);
    HANDLE w = CreateFileA(kInf, GENERIC_WRITE, both, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(support::Called(ReadFile(w, buffer, 1, &n, nullptr)), support::Outcome(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(w));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(support::Called(CloseHandle(h)), support::Outcome(ERROR_INVALID_HANDLE));
    EXPECT_EQ(support::Called(ReadFile(h, buffer, 1, &n, nullptr)), support::Outcome(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
}

TEST(SimFilesFaults, ShortTransfersAndFailingCalls) {
    sim::Machine m = Windows2000WithInf();
    m.InjectFault({Api::ReadFile, 1, false, ERROR_GEN_FAILURE, true});  // short transfers
    m.InjectFault({Api::WriteFile, 1, false, ERROR_GEN_FAILURE, true});
    m.InjectFault({Api::CloseHandle});
    m.InjectFault({Api::DeleteFileA, 1, false, ERROR_ACCESS_DENIED});
    support::ActiveMachine active(m);

    HANDLE h = CreateFileA(kInf, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[10] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));  // first read: half
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, 5), "01234");
    EXPECT_TRUE(ReadFile(h, buffer, 10, &n, nullptr));  // second read: the rest
    EXPECT_EQ(n, 5u);
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(WriteFile(h, "abcdefgh", 8, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(m.EventsOf(Api::WriteFile)[0].bytesWritten, 4u);
    const std::vector<uint8_t> written = *m.files.Read(kInf);
    EXPECT_EQ(std::string(written.begin(), written.end()), "abcd456789");

    // The injected failure still releases the handle.
    EXPECT_EQ(support::Called(CloseHandle(h)), support::Outcome(ERROR_GEN_FAILURE));
    EXPECT_EQ(m.OpenHandles().Total(), 0u);

    const std::string before = image::FilesText(m.files);
    EXPECT_EQ(support::Called(DeleteFileA(kInf)), support::Outcome(ERROR_ACCESS_DENIED));
    EXPECT_EQ(image::FilesText(m.files), before);
    EXPECT_FALSE(m.EventsOf(Api::DeleteFileA)[0].ok);
    EXPECT_TRUE(DeleteFileA(kInf));  // the fault was for the first call only
}

}  // namespace
