// The in-memory tree: path normalization, names, Dump and host images.
#include "platform/sim/sim.h"
#include "support/scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(SimFilesPaths, NormalizeTable) {
    struct Row {
        const char* path;
        const char* key;
    } rows[] = {
        {"C:\\WINDOWS\\inf\\x.inf", "C:\\WINDOWS\\INF\\X.INF"},
        {"c:/windows/INF/X.inf", "C:\\WINDOWS\\INF\\X.INF"},
        {"C:\\\\WINDOWS//inf\\\\x.inf", "C:\\WINDOWS\\INF\\X.INF"},
        {"C:\\WINDOWS\\inf\\", "C:\\WINDOWS\\INF"},
        {"C:\\WINDOWS\\.\\inf\\other\\..\\x.inf", "C:\\WINDOWS\\INF\\X.INF"},
        {"C:\\..\\..\\WINDOWS", "C:\\WINDOWS"},
        {"C:\\WINDOWS\\..", "C:\\"},
        {"d:\\", "D:\\"},
        {"C:/", "C:\\"},
        {"", ""},
        {"C:", ""},                // drive-relative
        {"C:WINDOWS", ""},         // drive-relative
        {"WINDOWS\\inf", ""},      // relative
        {"\\WINDOWS", ""},         // no drive
        {"\\\\server\\share", ""}, // UNC is not simulated
        {"1:\\x", ""},
        {"C:\\a<b", ""},
        {"C:\\a|b", ""},
        {"C:\\a\"b", ""},
        {"C:\\a:b", ""},
        {"C:\\*.inf", ""},  // wildcards are for FindFirstFileA only
    };
    for (const Row& row : rows)
        EXPECT_EQ(sim::FileSystem::Normalize(row.path), row.key) << row.path;
}

TEST(SimFilesPaths, NamesKeepTheirCaseAndParentsAreCreated) {
    sim::FileSystem fs;
    fs.AddDirectory("C:\\WINDOWS");
    fs.AddFile("c:\\windows\\Inf\\Other\\USBZAV03.inf", "[Version]");
    fs.AddFile("C:\\WINDOWS\\INF\\usbstor.inf", "x", FILE_ATTRIBUTE_READONLY);
    std::vector<std::string> paths;
    for (const sim::FileEntry* e : fs.Entries()) paths.push_back(e->path);
    EXPECT_EQ(paths, (std::vector<std::string>{"C:\\", "C:\\WINDOWS", "C:\\WINDOWS\\Inf",
                                               "C:\\WINDOWS\\Inf\\Other",
                                               "C:\\WINDOWS\\Inf\\Other\\USBZAV03.inf",
                                               "C:\\WINDOWS\\Inf\\usbstor.inf"}));
    EXPECT_EQ(fs.Find("c:/WINDOWS/inf/USBSTOR.INF")->attributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(fs.Find("C:\\WINDOWS\\INF")->directory);
    EXPECT_EQ(fs.Read("C:\\WINDOWS\\INF"), std::nullopt);  // a directory has no content
    EXPECT_EQ(*fs.Read("C:\\windows\\inf\\other\\usbzav03.INF"),
              (std::vector<uint8_t>{'[', 'V', 'e', 'r', 's', 'i', 'o', 'n', ']'}));

    EXPECT_TRUE(fs.Remove("C:\\WINDOWS\\INF"));  // with everything below it
    EXPECT_EQ(fs.Dump(), "C:\\  dir  attributes=00000010\nC:\\WINDOWS  dir  attributes=00000010\n");
    EXPECT_FALSE(fs.Remove("C:\\WINDOWS\\INF"));
}

TEST(SimFilesPaths, DumpIsExactAndDeterministic) {
    sim::FileSystem a;
    a.AddFile("C:\\b.txt", std::string("abc"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    a.AddFile("C:\\A.txt", std::string(""), FILE_ATTRIBUTE_NORMAL);
    sim::FileSystem b;  // the same tree built in another order
    b.AddFile("C:\\A.txt", std::string(""), 0);
    b.AddFile("C:\\b.txt", std::string("abc"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    // FNV-1a 64 of "" and of "abc".
    const std::string expected =
        "C:\\  dir  attributes=00000010\n"
        "C:\\A.txt  file  attributes=00000000  size=0  fnv1a=cbf29ce484222325\n"
        "C:\\b.txt  file  attributes=00000022  size=3  fnv1a=e71fa2190541574b\n";
    EXPECT_EQ(a.Dump(), expected);
    EXPECT_EQ(b.Dump(), expected);
    b.Find("C:\\b.txt")->data[1] = 'B';
    EXPECT_NE(a.Dump(), b.Dump());
}

TEST(SimFilesHostImage, RoundTripKeepsBytesNamesAndFolders) {
    const support::ScratchFolder scratch;
    const std::filesystem::path root = scratch / "image";
    sim::FileSystem fs;
    std::vector<uint8_t> binary;
    for (int i = 0; i < 600; ++i) binary.push_back(static_cast<uint8_t>(i * 7));
    fs.AddFile("C:\\WINNT\\inf\\usbstor.inf", std::string("\xFF\xFE%\0\r\0\n\0", 8));
    fs.AddFile("C:\\WINNT\\System32\\DRIVERS\\USBSTORSP3.SYS", binary);
    fs.AddFile("C:\\empty.txt", std::string());
    fs.AddDirectory("C:\\WINNT\\Empty Folder");
    fs.AddFile("D:\\data\\Mixed Case.Txt", std::string("d"));

    std::string error;
    ASSERT_TRUE(fs.SaveToHost(root.string(), &error)) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(root / "drive_c" / "WINNT" / "System32" /
                                                 "DRIVERS" / "USBSTORSP3.SYS"));
    EXPECT_TRUE(std::filesystem::is_directory(root / "drive_d" / "data"));
    EXPECT_FALSE(fs.SaveToHost(root.string(), &error));  // never into a folder in use
    EXPECT_NE(error, "");

    sim::FileSystem loaded;
    loaded.AddFile("C:\\stale.txt", std::string("gone after the load"));
    ASSERT_TRUE(loaded.LoadFromHost(root.string(), &error)) << error;
    EXPECT_EQ(loaded.Dump(), fs.Dump());  // every file was created with the archive bit
}

TEST(SimFilesHostImage, LoadRefusesNamesThatCollideOnWindows) {
    const support::ScratchFolder scratch;
    const std::filesystem::path root = scratch / "image";
    std::filesystem::create_directories(root / "drive_c" / "dir");
    std::ofstream(root / "drive_c" / "dir" / "a.txt") << "1";
    std::ofstream(root / "drive_c" / "dir" / "A.TXT") << "2";
    sim::FileSystem fs;
    fs.AddFile("C:\\kept.txt", std::string("k"));
    const std::string before = fs.Dump();
    std::string error;
    EXPECT_FALSE(fs.LoadFromHost(root.string(), &error));
    EXPECT_NE(error.find("case"), std::string::npos) << error;
    EXPECT_EQ(fs.Dump(), before);  // a failed load leaves the tree alone
    EXPECT_FALSE(fs.LoadFromHost((root / "missing").string(), &error));
}

}  // namespace
