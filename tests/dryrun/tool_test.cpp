// zavuninst-sim as a user runs it: the image is only read, --write gives the
// machine after as an image, --undo gives what brings the machine back, and
// bad input is named, exits with 2 and writes nothing.
#include "support/collection.h"
#include "support/package_machine.h"
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_state.h"
#include "image/machine_image.h"
#include "dryrun/run_winmain.h"
#include "dryrun/tool.h"
#include "dryrun/undo.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

using support::Example;
using support::ScratchFolder;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code = 0;
    std::string out, err;
};

Outcome Tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Outcome o;
    o.code = dryrun::ToolMain(args, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

// Every file below a folder with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        std::string bytes;
        if (e.is_regular_file()) image::ReadHostFile(e.path().string(), &bytes);
        files[fs::relative(e.path(), folder).string()] = bytes;
    }
    return files;
}

void Replace(const std::string& path, const std::string& from, const std::string& to) {
    std::string text;
    ASSERT_TRUE(image::ReadHostFile(path, &text));
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    ASSERT_TRUE(image::WriteHostFile(path, text));
}

}  // namespace

TEST(Tool, WriteGivesTheMachineAfterAndUndoBringsBackTheMachineBefore) {
    // Names beyond the Western code page: two value names, and two key names
    // of the same length, which code page 1252 spells alike ("???", "????").
    const std::string names =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Настройки]\r\n"
        "\"Имя\"=\"первый\"\r\n"
        "\"Тип\"=dword:00000002\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Настройки\\Вход]\r\n"
        "\"Путь\"=\"C:\\\\Вход\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Настройки\\Ключ]\r\n"
        "\"Путь\"=\"C:\\\\Ключ\"\r\n";
    // A key the run deletes with the package's device: the undo brings it back.
    const std::string deviceKey =
        "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\SN01\\Параметры]\r\n"
        "\"Имя\"=\"диск\"\r\n";
    // A control set whose storage service has no ImagePath: the run creates
    // the value, the undo deletes it.
    const std::string noImagePath =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet003\\Services\\USBSTOR]\r\n"
        "\"Type\"=dword:00000001\r\n";
    struct Row {
        const char* example;
        std::string added;      // keys added to the example's export (UTF-8 text), kept by the run
        std::string removed;    // and keys added that the run deletes or changes
        unsigned codePage = 0;  // the one machine.ini names, if any
    };
    const Row rows[] = {
        {"win98-package", "", ""}, {"win2000-sp2", "", ""}, {"realistic", "", ""}, {"xp-clean", "", ""},
        {"win98-package", names, deviceKey, 1251},  // REGEDIT4: the names in code page 1251
        {"xp-clean", names, ""},                    // version 5 on a machine of code page 1252
        {"win2000-sp2", "", noImagePath},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.example) + (row.added.empty() ? "" : " with Cyrillic names") +
                     (row.removed.empty() ? "" : " with keys the run changes"));
        ScratchFolder dir;
        std::string folder = Example(row.example);
        std::string added;  // the added keys as the export holds them
        if (!row.added.empty() || !row.removed.empty()) {
            std::string reg;
            ASSERT_TRUE(image::ReadHostFile(Example(row.example) + "/registry.reg", &reg));
            const bool regedit4 = reg.compare(0, 8, "REGEDIT4") == 0;
            // The test's own conversion: the code page tables are checked
            // byte for byte by the registry's tests.
            auto encoded = [&](const std::string& text) {
                return regedit4 ? sim::Utf8ToAnsi(row.codePage, text) : support::Utf16le(text, false);
            };
            added = encoded(row.added);
            const std::string removed = row.removed.empty() ? "" : encoded("\r\n" + row.removed);
            folder = support::ExampleCopy(dir, row.example, added + removed + encoded("\r\n"));
            if (row.codePage != 0)
                Replace(folder + "/machine.ini", "minor = 10",
                        "minor = 10\ncodepage = " + std::to_string(row.codePage));
        }
        const auto imageBefore = Snapshot(folder);
        const Outcome o = Tool({folder, "--write", dir / "after", "--undo", dir / "undo"});
        ASSERT_EQ(o.code, 0) << o.err;
        EXPECT_TRUE(o.err.empty()) << o.err;
        EXPECT_EQ(Snapshot(folder), imageBefore);  // the image is only read

        // The image written is the machine the program left; the keys the
        // run did not touch are written back as the export held them.
        if (!added.empty()) {
            std::string written;
            ASSERT_TRUE(image::ReadHostFile(dir / "after/registry.reg", &written));
            EXPECT_NE(written.find(added), std::string::npos);
        }
        image::MachineImage before = support::LoadedImage(folder);
        sim::Machine expected = before.machine;
        dryrun::RunWinMain(expected);
        image::MachineImage after = support::LoadedImage(dir / "after");
        EXPECT_EQ(image::RegistryText(after.machine.registry), image::RegistryText(expected.registry));
        EXPECT_EQ(image::FilesText(after.machine.files), image::FilesText(expected.files));
        EXPECT_EQ(after.machine.windowTitles, expected.windowTitles);
        ASSERT_EQ(after.machine.devices.size(), expected.devices.size());
        for (size_t i = 0; i < expected.devices.size(); ++i)
            EXPECT_EQ(after.machine.devices[i].instanceId, expected.devices[i].instanceId);
        EXPECT_EQ(after.registryFormat.version5, before.registryFormat.version5);
        EXPECT_EQ(after.registryFormat.encoding, before.registryFormat.encoding);
        EXPECT_EQ(after.machine.codePage, before.machine.codePage);

        // The after image with the undo applied is the image before, key for
        // key and byte for byte.
        image::InputError diag;
        ASSERT_TRUE(dryrun::ApplyUndo(dir / "undo", after.machine, &diag)) << diag.Text();
        EXPECT_EQ(image::RegistryText(after.machine.registry), image::RegistryText(before.machine.registry));
        EXPECT_EQ(image::FilesText(after.machine.files), image::FilesText(before.machine.files));
    }
}

TEST(Tool, UndoFolderHoldsARegFileInTheImagesFormatCopiesAndAReadme) {
    ScratchFolder dir;
    ASSERT_EQ(Tool({Example("win2000-sp2"), "--undo", dir / "undo"}).code, 0);
    std::string reg, readme;
    ASSERT_TRUE(image::ReadHostFile(dir / "undo/undo.reg", &reg));
    ASSERT_TRUE(image::ReadHostFile(dir / "undo/README.txt", &readme));
    EXPECT_EQ(reg.substr(0, 2), "\xFF\xFE");  // UTF-16LE, as the image's export
    EXPECT_NE(readme.find("copy files/drive_c/WINNT/inf/usbstor.inf to C:\\WINNT\\inf\\usbstor.inf (attributes: archive)"),
              std::string::npos)
        << readme;
    EXPECT_NE(readme.find("USBSTORSP3.SYS (attributes: readonly archive)"), std::string::npos) << readme;
    std::string copy, original;
    ASSERT_TRUE(image::ReadHostFile(dir / "undo/files/drive_c/WINNT/inf/usbstor.inf", &copy));
    ASSERT_TRUE(image::ReadHostFile(Example("win2000-sp2") + "/drive_c/WINNT/inf/usbstor.inf", &original));
    EXPECT_EQ(copy, original);
}

TEST(Tool, ReportGoesToStandardOutputAsTextOrJson) {
    const Outcome text = Tool({Example("win98-package")});
    EXPECT_EQ(text.code, 0);
    EXPECT_TRUE(text.err.empty()) << text.err;
    EXPECT_NE(text.out.find("Dry run of " + Example("win98-package")), std::string::npos);
    EXPECT_NE(text.out.find("showed the message box \" Success!\": \"UnInstall finished!\" (answered OK)"),
              std::string::npos);
    EXPECT_NE(text.out.find("sent WM_CLOSE to the window \"Glovix\""), std::string::npos);

    const Outcome json = Tool({"--json", Example("win98-package")});
    EXPECT_EQ(json.code, 0);
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["summary"]["devices_removed"], 2);
    EXPECT_EQ(j["changes"].back()["kind"], "window_closed");
    // The device removal's own key deletion is told apart from the program's.
    EXPECT_EQ(j["changes"][1]["by_device_removal"], true);
    EXPECT_FALSE(j["changes"][3].contains("by_device_removal")) << j["changes"][3];
    EXPECT_FALSE(j.contains("image_notes"));

    // What the collector could not read leads the report.
    ScratchFolder dir;
    const std::string image = support::ExampleCopy(dir, "win98-package");
    ASSERT_TRUE(image::WriteHostFile(image + "/notes.txt", "registry: HKLM\\Enum: Windows error 5\r\n\r\nfile: x\r\n"));
    EXPECT_NE(Tool({image}).out.find("could not read (notes.txt); the report cannot tell what the uninstaller "
                                     "would do there:\n  registry: HKLM\\Enum: Windows error 5\n  file: x\n\n"),
              std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(Tool({"--json", image}).out)["image_notes"],
              (nlohmann::json{"registry: HKLM\\Enum: Windows error 5", "file: x"}));

    // The lines of the export that regedit skips follow, each with its file
    // and line: the machine lacks what they hold, as after regedit's import.
    const std::string reg = image + "/registry.reg";
    Replace(reg, "\"Class\"=\"hdc\"", "\"Class\"=\"hdc\" junk\r\n:: a comment");
    const Outcome skipped = Tool({image, "--write", dir / "after"});
    ASSERT_EQ(skipped.code, 0) << skipped.err;
    EXPECT_NE(skipped.out.find("\n\nLines of the registry export that regedit skips, and so did the dry run; the "
                               "machine lacks what they hold:\n  " +
                               reg + ":85: regedit skips the value \"Class\": text after the closing quote of its "
                                     "string\n  " +
                               reg + ":86: regedit skips the line \":: a comment\": it begins with none of \"[\", "
                                     "\"@\" and '\"'\n\nWhat the uninstaller did"),
              std::string::npos)
        << skipped.out;
    EXPECT_EQ(nlohmann::json::parse(Tool({"--json", image}).out)["skipped_lines"][1],
              (nlohmann::json{{"file", reg},
                              {"line", 86},
                              {"what", "regedit skips the line \":: a comment\": it begins with none of \"[\", "
                                       "\"@\" and '\"'"}}));
    EXPECT_FALSE(support::LoadedImage(dir / "after")
                     .machine.registry.GetValue(
                         "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_FADE&DEV_7111&SUBSYS_00000000&REV_01\\BUS_00&DEV_07&FUNC_01",
                         "Class"));
}

TEST(Tool, BadInputIsNamedExitsWithTwoAndWritesNothing) {
    ScratchFolder dir;
    const std::string image = support::ExampleCopy(dir, "win98-package");  // to damage
    const std::string reg = image + "/registry.reg";
    const std::string ini = image + "/machine.ini";
    std::string goodReg, goodIni;
    ASSERT_TRUE(image::ReadHostFile(reg, &goodReg));
    ASSERT_TRUE(image::ReadHostFile(ini, &goodIni));
    fs::create_directory(dir / "exists");

    struct Row {
        const char* what;
        std::function<void()> damage;
        std::vector<std::string> args;
        std::string message;
        bool whole = false;  // the message is all there is on standard error, after the tool's name
    };
    const std::string out = dir / "out", undo = dir / "undo";
    const std::vector<Row> rows = {
        {"deletion of a root regedit does not know",
         [&] { Replace(reg, "[HKEY_LOCAL_MACHINE\\Config\\0001]", "[-HKLM\\Config\\0001]"); },
         {image, "--write", out, "--undo", undo}, reg + ":7: \"HKLM\" is no root key regedit knows"},
        {"deletion of a whole root", [&] { Replace(reg, "[HKEY_LOCAL_MACHINE\\Config]", "[-HKEY_LOCAL_MACHINE]"); },
         {image, "--write", out}, reg + ":5: a deletion of the whole root HKEY_LOCAL_MACHINE"},
        // What regedit refuses is named by file and line number.
        {"deletion of a whole root after a value",
         [&] { ASSERT_TRUE(image::WriteHostFile(reg, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\"a\"=\"b\"\r\n"
                                                     "[-HKEY_USERS]\r\n")); },
         {image}, reg + ":5: a deletion of the whole root HKEY_USERS: regedit refuses it and stops the import here", true},
        {"UTF-16 without its byte order mark", [&] { ASSERT_TRUE(image::WriteHostFile(reg, support::Utf16le(goodReg, false))); },
         {image, "--undo", undo}, reg + ":1: UTF-16 text without its byte order mark"},
        {"NUL in a value line", [&] { Replace(reg, "\"Class\"=\"hdc\"", std::string("\"Class\"=\"h") + '\0' + "dc\""); },
         {image, "--write", out}, reg + ":85: a NUL character in a value line"},
        {"NUL in a key name",
         [&] {
             Replace(reg, "[HKEY_LOCAL_MACHINE\\Config\\0001]",
                     std::string("[HKEY_LOCAL_MACHINE\\Config\\00") + '\0' + "01]");
         },
         {image, "--write", out, "--undo", undo}, reg + ":7: a NUL character in a key line"},
        {"bad machine.ini", [&] { Replace(ini, "minor = 10", "minor = ten"); },
         {image, "--write", out}, ini + ":5: \"minor\" takes a number"},
        {"double-byte code page", [&] { Replace(ini, "minor = 10", "minor = 10\ncodepage = 932"); },
         {image, "--write", out}, ini + ":6: code page 932 is a double-byte code page"},
        {"no ANSI code page", [&] { Replace(ini, "minor = 10", "minor = 10\ncodepage = 437"); },
         {image, "--write", out}, ini + ":6: code page 437 is no ANSI code page of Windows"},
        {"missing registry.reg", [&] { fs::remove(reg); }, {image, "--write", out}, reg + ": missing"},
        {"image not a folder", [] {}, {ini, "--write", out}, "not a folder"},
        {"no such image", [] {}, {dir / "nowhere"}, "no such image folder"},
        {"OUT exists", [] {}, {image, "--write", dir / "exists"}, "already exists"},
        {"DIR exists", [] {}, {image, "--undo", dir / "exists"}, "already exists"},
        {"OUT in a missing folder", [] {}, {image, "--write", dir / "nowhere/out"}, "no such folder"},
        {"unknown option", [] {}, {image, "--verbose"}, "unknown option --verbose"},
        {"no image", [] {}, {"--json"}, "no image given"},
        {"two images", [] {}, {image, image}, "one image at a time"},
        {"--write without a folder", [] {}, {image, "--write"}, "--write needs a folder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(image::WriteHostFile(reg, goodReg));
        ASSERT_TRUE(image::WriteHostFile(ini, goodIni));
        row.damage();
        const Outcome o = Tool(row.args);
        EXPECT_EQ(o.code, 2);
        EXPECT_TRUE(o.out.empty()) << o.out;
        if (row.whole) EXPECT_EQ(o.err, "zavuninst-sim: " + row.message + "\n");
        else EXPECT_NE(o.err.find(row.message), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(undo));
        EXPECT_TRUE(fs::is_empty(dir / "exists"));
    }
}

TEST(Tool, DamagedImagesAreRefusedOrRunButNeverCrash) {
    ScratchFolder dir;
    const std::string image = support::ExampleCopy(dir, "realistic");
    std::string goodReg, goodIni;
    ASSERT_TRUE(image::ReadHostFile(image + "/registry.reg", &goodReg));
    ASSERT_TRUE(image::ReadHostFile(image + "/machine.ini", &goodIni));
    std::mt19937 random(7);
    int refused = 0, completed = 0;
    for (int round = 0; round < 100; ++round) {
        std::string reg = goodReg, ini = goodIni;
        std::string& target = round % 2 ? ini : reg;
        for (int e = 0; e < 3; ++e) {
            const size_t at = random() % target.size();
            if (random() % 2) target[at] = "=;[]\"\\{},\n\r x0"[random() % 15];
            else target.erase(at, random() % 40);
        }
        ASSERT_TRUE(image::WriteHostFile(image + "/registry.reg", reg));
        ASSERT_TRUE(image::WriteHostFile(image + "/machine.ini", ini));
        const Outcome o = Tool({image, "--json", "--write", dir / "out", "--undo", dir / "undo"});
        if (o.code == 2) {
            ++refused;
            EXPECT_FALSE(o.err.empty());
            EXPECT_FALSE(fs::exists(dir / "out"));
            EXPECT_FALSE(fs::exists(dir / "undo"));
        } else {
            ASSERT_EQ(o.code, 0) << o.err;
            ++completed;
            EXPECT_TRUE(nlohmann::json::accept(o.out));
            fs::remove_all(dir / "out");
            fs::remove_all(dir / "undo");
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(completed, 0);
}

// The collector writes machine.ini last, naming every file with its size and
// ending with its closing line: an image cut short at any byte of any of its
// files, as a full disk or a lost connection leaves it, is refused, naming
// the file; whole, it runs, its notes leading the report.
TEST(Tool, ACollectedImageCutShortAtAnyByteIsRefused) {
    support::Windows2000Package windows2000;
    windows2000.whole = true;
    sim::Machine machine = support::Windows2000WithPackage(windows2000);
    support::ByteChoices everyCase(nullptr, 0);
    support::AddCollectorCases(machine, everyCase);  // notes.txt too
    ASSERT_EQ(support::Collect(machine, "/quiet C:\\IMAGE"), 0);
    const std::string folder = "C:\\IMAGE";

    ScratchFolder dir;
    auto save = [&](const sim::FileSystem& files) {
        fs::remove_all(dir / "image");
        for (const sim::FileEntry* e : files.Entries()) {
            if (!sim::NamesEqual(e->path.substr(0, folder.size()), folder)) continue;
            std::string relative = e->path.substr(folder.size());
            std::replace(relative.begin(), relative.end(), '\\', '/');
            if (e->directory) fs::create_directories(dir.Path() + "/image" + relative);
            else ASSERT_TRUE(image::WriteHostFile(dir.Path() + "/image" + relative, std::string(e->data.begin(), e->data.end())));
        }
    };
    save(machine.files);
    const Outcome whole = Tool({dir / "image"});
    ASSERT_EQ(whole.code, 0) << whole.err;
    EXPECT_NE(whole.out.find("keys cannot be opened (Windows error 5); written without their values and subkeys, "
                             "unreadable-keys.txt lists them"),
              std::string::npos);

    for (const char* file :
         {"registry.reg", "machine.ini", "notes.txt", "unreadable-keys.txt", "drive_c\\WINNT\\inf\\usbstor.inf"}) {
        SCOPED_TRACE(file);
        const std::string path = folder + "\\" + file;
        const size_t size = machine.files.Find(path)->data.size();
        size_t refused = 0;
        for (size_t cut = 0; cut < size; ++cut) {
            sim::FileSystem files = machine.files;
            files.Find(path)->data.resize(cut);
            image::MachineImage loaded;
            image::InputError diag;
            if (!image::LoadImage(files, folder, &loaded, &diag) && sim::NamesEqual(diag.file, path)) ++refused;
            else ADD_FAILURE() << "cut at byte " << cut << ": " << (diag.file.empty() ? "read as whole" : diag.Text());
            if (cut != size / 2) continue;
            save(files);
            const Outcome o = Tool({dir / "image"});
            EXPECT_EQ(o.code, 2);
            std::string hostFile = file;
            std::replace(hostFile.begin(), hostFile.end(), '\\', '/');
            EXPECT_EQ(o.err.rfind("zavuninst-sim: " + dir / "image/" + hostFile + ":", 0), 0u) << o.err;
        }
        EXPECT_EQ(refused, size);
    }
}
