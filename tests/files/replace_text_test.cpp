// ReplaceTextInFile: the search over the low bytes of a 16-bit file, the
// rewritten file, and the former content kept safe on every failure.
#include "files/files.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

using sim::Api;

namespace {

using support::Concat;
using support::TextBytes;
using support::UsbstorInf;
using support::Utf16Bytes;

const char* const kPath = support::kUsbstorInf;
const char kSearch[] = "%12%\\USBSTORSP3.SYS";
const char kReplacement[] = "%12%\\USBSTOR.SYS";

// What CreateFileA gives a new file asked for with FILE_ATTRIBUTE_NORMAL.
const DWORD kNewFileAttributes = FILE_ATTRIBUTE_ARCHIVE;

// Windows 2000 with the package, usbstor.inf holding `content`.
sim::Machine MachineWith(const std::vector<uint8_t>& content, DWORD attributes) {
    sim::Machine m = support::Windows2000WithPackage();
    m.files.AddFile(kPath, content, attributes);
    return m;
}

struct ReplaceRow {
    const char* name;
    std::vector<uint8_t> before;
    DWORD attributes;
    std::string search;
    std::string replacement;
    bool result;
    std::optional<std::vector<uint8_t>> after;  // none: the file is left exactly as it was
    std::vector<sim::Fault> faults = {};
    std::function<void(sim::Machine&)> beside = nullptr;  // files put beside usbstor.inf first
};

// usbstor.inf, hidden, whose replacement fails on `fault`: left as it was.
ReplaceRow Failing(const char* name, const sim::Fault& fault) {
    return {name, UsbstorInf(kSearch), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement, false,
            std::nullopt, {fault}};
}

// Leftovers of a run that was cut short, under the sibling names: the
// former content set aside (read-only, hidden), a folder, and new content
// half written under each name of `taken`.
std::function<void(sim::Machine&)> Leftovers(const std::vector<std::string>& taken) {
    return [taken](sim::Machine& m) {
        for (const std::string& suffix : taken)
            m.files.AddFile(std::string(kPath) + suffix, TextBytes("half written"), FILE_ATTRIBUTE_READONLY);
        m.files.AddFile(std::string(kPath) + ".~zb00", UsbstorInf("%12%\\FORMER.SYS"),
                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        m.files.AddDirectory(std::string(kPath) + ".~zb01");
    };
}

std::vector<ReplaceRow> Rows() {
    const std::vector<uint8_t> prefix = Utf16Bytes("Service=");
    std::vector<uint8_t> highBytes = Concat(prefix, Utf16Bytes(kSearch, 0x30));
    highBytes = Concat(highBytes, Utf16Bytes(";end", 0x04));
    std::vector<uint8_t> oddEnding = Concat(TextBytes("x"), Utf16Bytes(kSearch));
    oddEnding.pop_back();  // the file ends on the search text's last character
    std::vector<uint8_t> pastEnd = Concat(prefix, Utf16Bytes(kSearch));
    pastEnd.resize(pastEnd.size() - 2);  // the last character would lie past the end
    // A candidate that starts near the end: most of it would lie past the
    // end (the sanitizer build catches any read there).
    const std::vector<uint8_t> farPastEnd = Concat(prefix, Utf16Bytes("%12%\\US"));
    std::vector<uint8_t> oddOffset = Concat(TextBytes("x"), Utf16Bytes(std::string(kSearch) + "!"));
    std::vector<std::string> allNames;
    for (char tens = '0'; tens <= '9'; ++tens)
        for (char ones = '0'; ones <= '9'; ++ones) allNames.push_back(std::string(".~zt") + tens + ones);

    return {
        {"occurrence after a byte order mark: 6 bytes shorter", UsbstorInf(kSearch),
         FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement, true, UsbstorInf(kReplacement)},
        {"two occurrences: the first one only",
         Concat(Utf16Bytes(std::string("A=") + kSearch + "\r\n"), Utf16Bytes(std::string("B=") + kSearch)),
         FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement, true,
         Concat(Utf16Bytes(std::string("A=") + kReplacement + "\r\n"), Utf16Bytes(std::string("B=") + kSearch))},
        {"no occurrence: rewritten with normal attributes", UsbstorInf("%12%\\OTHER.SYS"),
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, UsbstorInf("%12%\\OTHER.SYS")},
        {"the text in 8-bit characters is no occurrence",
         TextBytes(std::string("ServiceBinary=") + kSearch), FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, TextBytes(std::string("ServiceBinary=") + kSearch)},
        {"last character differs", UsbstorInf("%12%\\USBSTORSP3.SYX"), FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, UsbstorInf("%12%\\USBSTORSP3.SYX")},
        {"case differs", UsbstorInf("%12%\\usbstorsp3.sys"), FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, UsbstorInf("%12%\\usbstorsp3.sys")},
        {"any high byte matches", highBytes, FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement, true,
         Concat(Concat(prefix, Utf16Bytes(kReplacement)), Utf16Bytes(";end", 0x04))},
        {"odd length ending on the match", oddEnding, FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, Concat(TextBytes("x"), Utf16Bytes(kReplacement))},
        {"occurrence at an odd offset", oddOffset, FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement,
         true, Concat(TextBytes("x"), Utf16Bytes(std::string(kReplacement) + "!"))},
        {"candidate running past the end", pastEnd, FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement,
         true, pastEnd},
        {"candidate starting near the end", farPastEnd, FILE_ATTRIBUTE_ARCHIVE, kSearch,
         kReplacement, true, farPastEnd},
        {"replacement longer than twice the search text", Utf16Bytes("a:b"), FILE_ATTRIBUTE_ARCHIVE,
         ":", "-->>", true, Utf16Bytes("a-->>b")},
        {"empty file", {}, FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement, true,
         std::vector<uint8_t>{}},
        {"read-only file: untouched", UsbstorInf(kSearch), FILE_ATTRIBUTE_READONLY, kSearch,
         kReplacement, false, std::nullopt},
        {"empty search text: untouched", UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE, "", kReplacement,
         false, std::nullopt},
        // Every failure on the way leaves the former bytes, with their
        // attributes, at the path, and no new file beside them.
        Failing("open for reading fails", {Api::CreateFileA, 1, false, ERROR_SHARING_VIOLATION, false}),
        Failing("size cannot be read", {Api::GetFileSize, 1, false, ERROR_GEN_FAILURE, false}),
        Failing("short read", {Api::ReadFile, 1, false, 0, true}),
        Failing("read fails", {Api::ReadFile, 1, false, ERROR_READ_FAULT, false}),
        Failing("new file cannot be created", {Api::CreateFileA, 2, false, ERROR_ACCESS_DENIED, false}),
        Failing("short write", {Api::WriteFile, 1, false, 0, true}),
        Failing("write fails: disk full", {Api::WriteFile, 1, false, ERROR_DISK_FULL, false}),
        // The close of the new file flushes its last bytes, which may fail.
        Failing("new file cannot be closed", {Api::CloseHandle, 2, false, ERROR_DISK_FULL, false}),
        Failing("former file cannot be moved aside", {Api::MoveFileA, 1, false, ERROR_ACCESS_DENIED, false}),
        Failing("new file cannot take the path", {Api::MoveFileA, 2, false, ERROR_ACCESS_DENIED, false}),
        // The move back fails as well: the former bytes are written anew at
        // the path from memory (a new file, archive) and both siblings go.
        {"new file cannot take the path, nor the former one return", UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE,
         kSearch, kReplacement, false, std::nullopt, {{Api::MoveFileA, 2, true, ERROR_ACCESS_DENIED, false}}},
        // Leftovers neither stop the replacement nor are touched by it; with
        // every one of the hundred names for the new content taken, the file
        // stays as it was.
        {"leftovers of an earlier run are kept", UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement,
         true, UsbstorInf(kReplacement), {}, Leftovers({".~zt00"})},
        {"all hundred names taken: untouched", UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE, kSearch, kReplacement,
         false, std::nullopt, {}, Leftovers(allNames)},
    };
}

TEST(ReplaceTextInFile, Table) {
    for (const ReplaceRow& row : Rows()) {
        SCOPED_TRACE(row.name);
        sim::Machine m = MachineWith(row.before, row.attributes);
        if (row.beside) row.beside(m);
        sim::Machine expected = m;
        if (row.after) expected.files.AddFile(kPath, *row.after, kNewFileAttributes);
        for (const sim::Fault& fault : row.faults) m.InjectFault(fault);
        EXPECT_EQ(support::RunStep(m, [&] { return ReplaceTextInFile(kPath, row.search, row.replacement); }),
                  row.result);
        support::ExpectMachine(m, expected);
        EXPECT_EQ(m.files.Read(kPath), expected.files.Read(kPath));
    }
}

TEST(ReplaceTextInFile, NoFileNoDirectoryNoFileInUse) {
    struct Row {
        const char* name;
        bool directory;
        bool heldOpen;
    };
    for (const Row& row : {Row{"missing path", false, false}, Row{"a directory", true, false},
                           Row{"held open by another process", false, true}}) {
        SCOPED_TRACE(row.name);
        sim::Machine m = MachineWith(UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE);
        m.files.Remove(kPath);
        if (row.directory) m.files.AddDirectory(kPath);
        if (row.heldOpen) m.files.AddFile(kPath, UsbstorInf(kSearch));
        const uintptr_t holder = row.heldOpen ? sim::HoldFileOpen(m, kPath, GENERIC_READ, 0) : 0;
        const sim::Machine expected = m;
        EXPECT_FALSE(support::RunStep(m, [] { return ReplaceTextInFile(kPath, kSearch, kReplacement); }));
        sim::ReleaseFile(m, holder);
        support::ExpectMachine(m, expected);
        EXPECT_EQ(m.EventsOf(Api::CreateFileA).size(), 0u) << "nothing may be created";
    }
}

// Should the rewrite from memory fail as well, both files are left beside
// the path, so that neither content is lost.
TEST(ReplaceTextInFile, WhenEveryWayBackFailsBothContentsSurvive) {
    const std::vector<uint8_t> before = UsbstorInf(kSearch);
    sim::Machine m = MachineWith(before, FILE_ATTRIBUTE_ARCHIVE);
    m.InjectFault({Api::MoveFileA, 2, true, ERROR_ACCESS_DENIED, false});
    m.InjectFault({Api::CreateFileA, 3, true, ERROR_ACCESS_DENIED, false});
    EXPECT_FALSE(support::RunStep(m, [] { return ReplaceTextInFile(kPath, kSearch, kReplacement); }));
    EXPECT_EQ(m.EventsOf(Api::DeleteFileA).size(), 0u);
    std::vector<std::vector<uint8_t>> contents;
    for (const sim::FileEntry* entry : m.files.Entries())
        if (entry->path.rfind(kPath, 0) == 0 && entry->path != kPath) contents.push_back(entry->data);
    ASSERT_EQ(contents.size(), 2u);
    EXPECT_NE(std::find(contents.begin(), contents.end(), before), contents.end());
    EXPECT_NE(std::find(contents.begin(), contents.end(), UsbstorInf(kReplacement)), contents.end());
}

// The moved-aside former file cannot be deleted: the replacement stands, and
// the former file is left under its aside name; a later run still works.
TEST(ReplaceTextInFile, FormerFileThatCannotBeDeletedIsLeftAside) {
    sim::Machine m = MachineWith(UsbstorInf(kSearch), FILE_ATTRIBUTE_ARCHIVE);
    m.InjectFault({Api::DeleteFileA, 1, true, ERROR_ACCESS_DENIED, false});
    support::RunStep(m, [] {
        EXPECT_TRUE(ReplaceTextInFile(kPath, kSearch, kReplacement));
        EXPECT_TRUE(ReplaceTextInFile(kPath, kReplacement, kSearch));
    });
    EXPECT_EQ(m.files.Read(kPath), std::optional<std::vector<uint8_t>>(UsbstorInf(kSearch)));
    EXPECT_EQ(m.files.Read(std::string(kPath) + ".~zb00"),
              std::optional<std::vector<uint8_t>>(UsbstorInf(kSearch)));
    EXPECT_EQ(m.files.Read(std::string(kPath) + ".~zb01"),
              std::optional<std::vector<uint8_t>>(UsbstorInf(kReplacement)));
}

}  // namespace
