// The report of each example image: what the uninstaller did, in order,
// what it attempted and could not do, and what still names the package.
// Every report is also checked for completeness: the changes it lists,
// applied to the machine before, give exactly the machine after.
#include "dryrun/dry_run.h"
#include "dryrun/tool.h"
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_image.h"
#include "image/machine_state.h"
#include "dryrun/run_winmain.h"
#include "image/text_codec.h"
#include "image/value_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

using dryrun::Change;
using dryrun::Report;

namespace {

struct ExampleRun {
    sim::Machine before;
    sim::Machine after;
    Report report;
};

// The example image `name`, changed by `alter` before the run when given.
ExampleRun RunExample(const std::string& name,
                      const std::function<void(sim::Machine&)>& alter = nullptr) {
    image::MachineImage loaded = support::LoadedImage(support::Example(name));
    if (alter) alter(loaded.machine);
    ExampleRun run;
    run.before = loaded.machine;
    const auto markers = dryrun::PackageMarkers(loaded.machine);
    const int exitCode = dryrun::RunWinMain(loaded.machine);
    run.after = loaded.machine;
    run.after.events = loaded.machine.events;
    run.report = dryrun::BuildReport(name, run.before, loaded.machine, markers, exitCode);
    return run;
}

std::vector<std::string> Targets(const Report& r, Change::Kind kind, bool done = true) {
    std::vector<std::string> out;
    for (const Change& c : r.changes)
        if (c.kind == kind && c.done == done) out.push_back(c.target);
    return out;
}

const Change* Find(const Report& r, Change::Kind kind, const std::string& target) {
    for (const Change& c : r.changes)
        if (c.kind == kind && image::UpperAscii(c.target) == image::UpperAscii(target)) return &c;
    return nullptr;
}

size_t Position(const Report& r, Change::Kind kind) {
    for (size_t i = 0; i < r.changes.size(); ++i)
        if (r.changes[i].kind == kind) return i;
    return r.changes.size();
}

// Each of `wanted` is among `lines`.
void ExpectAmong(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    for (const std::string& line : wanted)
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

std::vector<std::string> ResidueLines(const Report& r) {
    std::vector<std::string> out;
    for (const auto& x : r.residue) out.push_back(x.kind + " " + x.path + (x.kind == "value" ? " " + x.name : ""));
    return out;
}

// Applies the report's done changes to the machine before: if the report
// left anything out, the result differs from the machine after.
void ExpectReportAccountsForEveryChange(const ExampleRun& run) {
    sim::Machine replay = run.before;
    for (const Change& c : run.report.changes) {
        if (!c.done) {
            if (c.attributesChanged) replay.files.Find(c.target)->attributes = c.newAttributes;
            continue;
        }
        switch (c.kind) {
        case Change::Kind::KeyDeleted:
            replay.registry.DeleteTree(c.target);
            break;
        case Change::Kind::ValueSet:
            replay.registry.SetValue(c.target, c.valueName, c.newValue->type,
                                      {c.newValue->data.begin(), c.newValue->data.end()});
            break;
        case Change::Kind::FileDeleted:
            EXPECT_TRUE(replay.files.Remove(c.target)) << c.target;
            break;
        case Change::Kind::FileRewritten:
        case Change::Kind::FileCreated:
        case Change::Kind::FileAttributes: {
            const sim::FileEntry* now = run.after.files.Find(c.target);
            ASSERT_NE(now, nullptr) << c.target;
            replay.files.AddFile(c.target, now->data, now->attributes);
            break;
        }
        case Change::Kind::DeviceRemoved:
            replay.devices.erase(std::remove_if(replay.devices.begin(), replay.devices.end(),
                                                [&](const sim::Device& d) { return d.instanceId == c.target; }),
                                 replay.devices.end());
            break;
        case Change::Kind::WindowClosed:
            replay.windowTitles.erase(std::find(replay.windowTitles.begin(), replay.windowTitles.end(), c.target));
            break;
        default:
            break;
        }
    }
    EXPECT_EQ(image::RegistryText(replay.registry), image::RegistryText(run.after.registry));
    EXPECT_EQ(image::FilesText(replay.files), image::FilesText(run.after.files));
    EXPECT_EQ(replay.devices.size(), run.after.devices.size());
    EXPECT_EQ(replay.windowTitles, run.after.windowTitles);
}

const std::string kClass = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";
const std::string kIcons = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";

}  // namespace

TEST(Report, Windows98PackageIsRemovedDevicesKeysFilesAndIconsInOrder) {
    const ExampleRun run = RunExample("win98-package");
    const Report& r = run.report;
    EXPECT_EQ(r.systemName, "Windows 98");
    EXPECT_EQ(r.exitCode, 0);

    EXPECT_EQ(Targets(r, Change::Kind::DeviceRemoved),
              std::vector<std::string>({"USB\\VID_1234&PID_5678\\SN01", "USB\\VID_1234&PID_5679\\0001"}));
    ExpectAmong(Targets(r, Change::Kind::KeyDeleted),
                {"HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\SN01",
                 "HKEY_LOCAL_MACHINE\\Enum\\SCSI\\DISK&VEN_ZAV&PROD_FLASH_DISK\\USB&VID_1234&PID_5678&SN0100",
                 "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5679\\0001", kClass + "hdc\\0003",
                 kClass + "hdc\\0004", kClass + "DiskDrive\\0004", kIcons + "E"});
    // The drive's letter key went with its marker, icon and label keys.
    const Change* icons = Find(r, Change::Kind::KeyDeleted, kIcons + "E");
    ASSERT_NE(icons, nullptr);
    EXPECT_EQ(icons->subkeys, 3u);
    EXPECT_EQ(icons->keysBelow, 3u);

    const Change* wdm = Find(r, Change::Kind::FileDeleted, "C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys");
    ASSERT_NE(wdm, nullptr);
    EXPECT_TRUE(wdm->done);
    EXPECT_EQ(wdm->oldAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(wdm->oldSize, run.before.files.Find("C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys")->data.size());
    EXPECT_EQ(Targets(r, Change::Kind::FileDeleted).size(), 5u);
    EXPECT_EQ(r.summary.filesDeleted, 5u);
    EXPECT_EQ(r.summary.devicesRemoved, 2u);
    EXPECT_EQ(r.summary.refused, 0u);

    // In the order of the run: devices, files, message, installer, icons, window.
    EXPECT_LT(Position(r, Change::Kind::DeviceRemoved), Position(r, Change::Kind::FileDeleted));
    EXPECT_LT(Position(r, Change::Kind::FileDeleted), Position(r, Change::Kind::MessageBox));
    EXPECT_LT(Position(r, Change::Kind::MessageBox), Position(r, Change::Kind::ProgramStarted));
    EXPECT_LT(Position(r, Change::Kind::ProgramStarted), Position(r, Change::Kind::WindowClosed));
    const auto iconsAt = std::find_if(r.changes.begin(), r.changes.end(),
                                      [](const Change& c) { return c.target == kIcons + "E"; });
    EXPECT_GT(iconsAt - r.changes.begin(), static_cast<long>(Position(r, Change::Kind::ProgramStarted)));
    const Change& started = r.changes[Position(r, Change::Kind::ProgramStarted)];
    EXPECT_EQ(started.target + " " + started.parameters, "MsiExec.exe /X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn");
    EXPECT_EQ(Targets(r, Change::Kind::WindowClosed), std::vector<std::string>({"Glovix"}));

    // What stays names the package only in the keys above removed instances.
    EXPECT_EQ(ResidueLines(r), std::vector<std::string>({"key HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678",
                                                          "key HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5679"}));
    EXPECT_NE(r.residue[0].note.find("by design"), std::string::npos);
    ExpectReportAccountsForEveryChange(run);

    const std::string text = dryrun::ReportText(r);
    EXPECT_NE(text.find("removed device USB\\VID_1234&PID_5678\\SN01"), std::string::npos);
    EXPECT_NE(text.find("deleted file C:\\WINDOWS\\SYSTEM32\\DRIVERS\\WDMZAV03.sys ("), std::string::npos) << text;
    EXPECT_NE(text.find("readonly hidden)"), std::string::npos);
    EXPECT_NE(text.find("Summary: 2 devices removed"), std::string::npos);

    // A folder where the WDM driver is expected: its deletion is refused as
    // access denied (it is no read-only file), and clearing its attributes
    // first is no change of content. The second device's driver key
    // "hdc\00031", which never existed, is no key deleted earlier in the
    // run, though "hdc\0003" went before it. The package's file names in
    // lower case in a text file, and in UTF-16 in binary data, stay as residue.
    const std::string wdmPath = "C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys";
    const ExampleRun altered = RunExample("win98-package", [&](sim::Machine& m) {
        m.files.Remove(wdmPath);
        m.files.AddDirectory(wdmPath);
        m.registry.SetString("HKLM\\Enum\\USB\\VID_1234&PID_5679\\0001", "Driver", "hdc\\00031");
        m.files.AddFile("C:\\My Documents\\setup.txt", std::string("copy wdmzav03.sys"));
        const std::string wide = support::Utf16le("WDMZAV03.sys", false);
        m.registry.SetValue("HKLM\\SOFTWARE\\Tools", "Last", REG_BINARY, std::vector<uint8_t>(wide.begin(), wide.end()));
    });
    const Change* folder = Find(altered.report, Change::Kind::FileDeleted, wdmPath);
    ASSERT_NE(folder, nullptr);
    EXPECT_FALSE(folder->done);
    EXPECT_EQ(folder->reason, "access denied");
    const Change* longer = Find(altered.report, Change::Kind::KeyDeleted, kClass + "hdc\\00031");
    ASSERT_NE(longer, nullptr);
    EXPECT_EQ(longer->reason, "no such key");
    ExpectAmong(ResidueLines(altered.report),
                {"value HKEY_LOCAL_MACHINE\\SOFTWARE\\Tools Last", "file C:\\My Documents\\setup.txt"});

    // What names the package: its files, the marker, the INF section's
    // device prefixes as ids and as rewritten ids.
    EXPECT_EQ(r.markers, std::vector<std::string>({"WDMZAV03.sys", "PDRZAV03.pdr", "USBZAV03.inf", "MSTEVUmss.PNF",
                                                   "USBSTORSP3.SYS", "TEVDRIVE", "USB\\VID_1234&PID_5678",
                                                   "USB&VID_1234&PID_5678", "USB\\VID_1234&PID_5679",
                                                   "USB&VID_1234&PID_5679"}));
}

TEST(Report, Windows2000Sp2RestoresTheStorageDriverAndKeepsTheIconMarkerByDesign) {
    const ExampleRun run = RunExample("win2000-sp2");
    const Report& r = run.report;
    EXPECT_EQ(r.systemName, "Windows 2000");
    EXPECT_TRUE(Targets(r, Change::Kind::DeviceRemoved).empty());

    // ImagePath in every control set, old -> new with types.
    std::vector<std::string> services;
    for (const Change& c : r.changes) {
        if (c.kind != Change::Kind::ValueSet || c.valueName != "ImagePath") continue;
        services.push_back(c.target);
        ASSERT_TRUE(c.oldValue && c.newValue);
        EXPECT_EQ(image::DescribeValue(*c.oldValue), "REG_EXPAND_SZ \"System32\\\\DRIVERS\\\\USBSTORSP3.SYS\"");
        EXPECT_EQ(image::DescribeValue(*c.newValue), "REG_EXPAND_SZ \"System32\\\\DRIVERS\\\\USBSTOR.SYS\"");
    }
    EXPECT_EQ(services, std::vector<std::string>({"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\USBSTOR",
                                                   "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\USBSTOR",
                                                   "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\USBSTOR"}));

    // usbstor.inf is rewritten once, 6 bytes shorter, however many files
    // the rewrite went through.
    const Change* inf = Find(r, Change::Kind::FileRewritten, "C:\\WINNT\\inf\\usbstor.inf");
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(inf->newSize + 6, inf->oldSize);
    EXPECT_EQ(r.summary.filesRewritten, 1u);
    EXPECT_EQ(r.summary.filesCreated, 0u);
    const Change* driver = Find(r, Change::Kind::FileDeleted, "C:\\WINNT\\system32\\drivers\\USBSTORSP3.SYS");
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(driver->done);

    // The letter key cannot go on the NT family: attempted, not done; the
    // icon and label are emptied instead.
    const Change* letter = Find(r, Change::Kind::KeyDeleted, kIcons + "F");
    ASSERT_NE(letter, nullptr);
    EXPECT_FALSE(letter->done);
    EXPECT_NE(letter->reason.find("subkeys"), std::string::npos);
    const Change* icon = Find(r, Change::Kind::ValueSet, kIcons + "F\\DefaultIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(image::DescribeValue(*icon->oldValue),
              "REG_SZ \"C:\\\\Program Files\\\\ZAV\\\\Glovix\\\\zavdisk.ico\"");
    EXPECT_TRUE(icon->newValue->data.empty());

    EXPECT_EQ(ResidueLines(r), std::vector<std::string>({"key " + kIcons + "F\\TEVDRIVE"}));
    EXPECT_NE(r.residue[0].note.find("stays by design"), std::string::npos);
    ExpectReportAccountsForEveryChange(run);

    // usbstor.inf in 8-bit text: the 16-bit search finds nothing, the file
    // is rewritten with the same content, and the residue says why the
    // reference stays.
    const ExampleRun ansi = RunExample("win2000-sp2", [](sim::Machine& m) {
        std::vector<uint8_t>& data = m.files.Find("C:\\WINNT\\inf\\usbstor.inf")->data;
        std::vector<uint8_t> narrow;
        for (size_t i = 2; i < data.size(); i += 2) narrow.push_back(data[i]);
        data = narrow;
    });
    const Change* same = Find(ansi.report, Change::Kind::FileRewritten, "C:\\WINNT\\inf\\usbstor.inf");
    ASSERT_NE(same, nullptr);
    EXPECT_TRUE(same->done);
    EXPECT_EQ(same->newSize, same->oldSize);
    EXPECT_EQ(ResidueLines(ansi.report), std::vector<std::string>({"key " + kIcons + "F\\TEVDRIVE",
                                                                   "file C:\\WINNT\\inf\\usbstor.inf"}));
    EXPECT_EQ(ansi.report.residue[1].note, "rewritten, but this reference is 8-bit text, which the "
                                           "uninstaller's 16-bit replacement does not match");

    // The same report as JSON, for scripts.
    const auto j = nlohmann::json::parse(dryrun::ReportJson(r));
    EXPECT_EQ(j["system"]["name"], "Windows 2000");
    EXPECT_EQ(j["system"]["service_pack"], "Service Pack 2");
    EXPECT_EQ(j["changes"].size(), r.changes.size());
    size_t imagePaths = 0;
    for (const auto& c : j["changes"]) {
        if (c["kind"] == "value_set" && c["name"] == "ImagePath") {
            ++imagePaths;
            EXPECT_EQ(c["old"]["type"], "REG_EXPAND_SZ");
            EXPECT_EQ(c["old"]["text"], "System32\\DRIVERS\\USBSTORSP3.SYS");
            EXPECT_EQ(c["new"]["text"], "System32\\DRIVERS\\USBSTOR.SYS");
            EXPECT_EQ(c["new"]["size"], 29);
        }
        // A reason is given exactly for the changes not done.
        EXPECT_EQ(c.contains("reason"), c["done"] == false) << c;
    }
    EXPECT_EQ(imagePaths, 3u);
    EXPECT_EQ(j["summary"]["values_set"], r.summary.valuesSet);
    EXPECT_EQ(j["summary"]["files_rewritten"], 1);
    ASSERT_EQ(j["residue"].size(), 1u);
    EXPECT_EQ(j["residue"][0]["marker"], "TEVDRIVE");
}

TEST(Report, WindowsXpWithoutThePackageChangesNothingOfTheMachine) {
    const ExampleRun run = RunExample("xp-clean");
    const Report& r = run.report;
    EXPECT_EQ(r.systemName, "Windows XP");
    ASSERT_EQ(r.changes.size(), 2u);
    EXPECT_EQ(r.changes[0].kind, Change::Kind::MessageBox);
    EXPECT_EQ(r.changes[0].target, "UnInstall finished!");
    EXPECT_EQ(r.changes[0].caption, " Success!");
    EXPECT_EQ(r.changes[1].kind, Change::Kind::ProgramStarted);
    EXPECT_TRUE(r.residue.empty());
    EXPECT_EQ(image::RegistryText(run.after.registry), image::RegistryText(run.before.registry));
    EXPECT_EQ(image::FilesText(run.after.files), image::FilesText(run.before.files));
    EXPECT_NE(dryrun::ReportText(r).find("Residue: nothing on the machine names the package any more."),
              std::string::npos);
}

TEST(Report, RealisticMachineKeepsEverythingThatIsNotThePackages) {
    const ExampleRun run = RunExample("realistic");
    const Report& r = run.report;
    // Another maker's storage device of the same class stays, with its keys,
    // its driver key, its disk and its drive icons.
    EXPECT_EQ(Targets(r, Change::Kind::DeviceRemoved),
              std::vector<std::string>({"USB\\VID_1234&PID_5678\\SN01", "USB\\VID_1234&PID_5679\\0001"}));
    for (const Change& c : r.changes) {
        if (!c.done || (c.kind != Change::Kind::KeyDeleted && c.kind != Change::Kind::FileDeleted)) continue;
        EXPECT_EQ(c.target.find("0ABC"), std::string::npos) << c.target;
        EXPECT_EQ(c.target.find("VEN_OTHER"), std::string::npos) << c.target;
        EXPECT_EQ(c.target.find("Other Storage"), std::string::npos) << c.target;
        EXPECT_EQ(c.target.find("\\F"), std::string::npos) << c.target;
    }
    for (const char* kept : {"HKLM\\Enum\\USB\\VID_0ABC&PID_0001\\A1", "HKLM\\Enum\\USB\\VID_1234&PID_5678\\SN02",
                             "HKLM\\System\\CurrentControlSet\\Services\\Class\\hdc\\0006",
                             "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\F\\DefaultIcon"})
        EXPECT_TRUE(run.after.registry.Exists(kept)) << kept;

    // The read-only precompiled INF gets one plain attempt: refused.
    const Change* pnf = Find(r, Change::Kind::FileDeleted, "C:\\WINDOWS\\inf\\MSTEVUmss.PNF");
    ASSERT_NE(pnf, nullptr);
    EXPECT_FALSE(pnf->done);
    EXPECT_EQ(pnf->reason, "the file is read-only");
    EXPECT_GE(r.summary.refused, 1u);

    ExpectAmong(ResidueLines(r), {"key HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678",
                                  "value " + kClass + "hdc\\0005 NTMPDriver", "file C:\\WINDOWS\\INF\\MSTEVUmss.PNF",
                                  "file C:\\My Documents\\notes.txt"});
    for (const auto& x : r.residue) {
        if (x.path == "C:\\WINDOWS\\INF\\MSTEVUmss.PNF") {
            EXPECT_EQ(x.note, "its deletion was refused");
        }
        if (x.name == "NTMPDriver") {
            EXPECT_NE(x.note.find("USB\\VID_1234&PID_5678\\SN02"), std::string::npos);
        }
    }
    ExpectReportAccountsForEveryChange(run);
}

// With thousands of device lines in the package INF the residue is searched
// for thousands of names (the package's own few are searched through one
// table of states): the same residue is found, and one of the new names
// where it stands.
TEST(Report, ALongPackageInfFindsTheSameResidueAndItsOwnNames) {
    const std::string inf = "C:\\WINDOWS\\INF\\OTHER\\USBZAV03.inf";
    const ExampleRun plain = RunExample("realistic");
    const ExampleRun longInf = RunExample("realistic", [&](sim::Machine& m) {
        const std::vector<uint8_t> data = *m.files.Read(inf);
        std::string text(data.begin(), data.end());
        std::string lines;
        for (int i = 0; i < 3000; ++i)
            lines += "%Other.DeviceDesc%=USBZAV03.Install,USB\\VID_9" + std::to_string(1000 + i) + "&PID_0001\r\n";
        const std::string section = "[MSZAV03SECTION]\r\n";
        ASSERT_NE(text.find(section), std::string::npos);
        text.insert(text.find(section) + section.size(), lines);
        m.files.AddFile(inf, std::vector<uint8_t>(text.begin(), text.end()), m.files.Find(inf)->attributes);
        m.registry.SetString("HKLM\\SOFTWARE\\Other", "Seen", "usb\\vid_93999&pid_0001\\X");
    });
    ASSERT_GT(longInf.report.markers.size(), 6000u);
    std::vector<std::string> expected = ResidueLines(plain.report);
    expected.push_back("value HKEY_LOCAL_MACHINE\\SOFTWARE\\Other Seen");
    std::vector<std::string> found = ResidueLines(longInf.report);
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
}

// A registry of thousands of keys below the third level is scanned in pieces
// by two threads, each key's subkeys in the order they were stored: the
// residue is reported in the registry's order all the same, the realistic
// machine's as without the keys, the new keys' sorted by name whatever the
// order they were created in (as a 9x export lists them), and in each key
// its values in their order (not by name) before its subkeys.
TEST(Report, AScanInPiecesReportsResidueInTheRegistrysOrder) {
    const ExampleRun plain = RunExample("realistic");
    const int kKeys = 2000;
    const auto keyOf = [](int i) {
        char name[8];
        std::snprintf(name, sizeof name, "K%04d", i);
        return "HKEY_LOCAL_MACHINE\\SOFTWARE\\Many\\" + std::string(name) + "\\Sub";
    };
    const ExampleRun many = RunExample("realistic", [&](sim::Machine& m) {
        for (int n = 0; n < kKeys; ++n) {
            const int i = (n * 7) % kKeys;  // out of order; 7 and 2000 share no factor
            const std::string key = keyOf(i);
            m.registry.SetString(key, "Plain", "nothing of the package");
            if (i % 97 == 0) {
                m.registry.SetString(key, "Driver", "system32\\drivers\\WDMZAV03.sys");
                m.registry.SetString(key, "Copy", "WDMZAV03.sys");
            }
            if (i % 131 == 0) m.registry.Create(key + "\\TEVDRIVE\\Below");
        }
    });
    std::vector<std::string> added;
    for (int i = 0; i < kKeys; ++i) {
        if (i % 97 == 0) {
            added.push_back("value " + keyOf(i) + " Driver");
            added.push_back("value " + keyOf(i) + " Copy");
        }
        if (i % 131 == 0) added.push_back("key " + keyOf(i) + "\\TEVDRIVE");
    }
    std::vector<std::string> rest, found;
    for (const std::string& line : ResidueLines(many.report))
        (line.find("\\Many\\") != std::string::npos ? found : rest).push_back(line);
    EXPECT_EQ(rest, ResidueLines(plain.report));
    EXPECT_EQ(found, added);
}

// Names as the registry holds them, in the report of an image whose export
// adds a key that names the package: a UTF-16 unit that pairs with none
// (which the registry keeps, and an export of it carries) is shown as
// "\uD800" by the text report, which stays UTF-8 throughout, and carried as
// a "\ud800" escape by the JSON; every other character as it is; the image
// written after the run keeps the units as they were.
TEST(Report, NamesAreReportedWithEveryUnitTheRegistryHolds) {
    struct Row {
        std::u16string name;  // of a key below HKEY_LOCAL_MACHINE\SOFTWARE
        std::string text;     // as the text report shows it
        std::string json;     // as the JSON writes it
    };
    const Row rows[] = {
        {u"ResTEVDRIVE", "ResTEVDRIVE", "ResTEVDRIVE"},
        {u"Res\xD800TEVDRIVE", "Res\\uD800TEVDRIVE", "Res\\ud800TEVDRIVE"},
        {u"Res\xDFFFTEVDRIVE", "Res\\uDFFFTEVDRIVE", "Res\\udfffTEVDRIVE"},
        {u"\xDC00\xD800TEVDRIVE\xDBFF", "\\uDC00\\uD800TEVDRIVE\\uDBFF", "\\udc00\\ud800TEVDRIVE\\udbff"},
        {u"Res\xD83D\xDE00TEVDRIVE", "Res\xF0\x9F\x98\x80TEVDRIVE", "Res\xF0\x9F\x98\x80TEVDRIVE"},
        {u"\x0420\x0435\x0435\x0441\x0442\x0440 TEVDRIVE", "\xD0\xA0\xD0\xB5\xD0\xB5\xD1\x81\xD1\x82\xD1\x80 TEVDRIVE",
         "\xD0\xA0\xD0\xB5\xD0\xB5\xD1\x81\xD1\x82\xD1\x80 TEVDRIVE"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        support::ScratchFolder dir;
        const std::string added = support::Utf16leUnits(u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + row.name + u"]\r\n");
        const std::string image = support::ExampleCopy(dir, "win2000-sp2", added);

        std::ostringstream text, json, err;
        ASSERT_EQ(dryrun::ToolMain({image, "--write", dir / "after"}, text, err), 0) << err.str();
        ASSERT_EQ(dryrun::ToolMain({image, "--json"}, json, err), 0) << err.str();
        EXPECT_NE(text.str().find("\n  key HKEY_LOCAL_MACHINE\\SOFTWARE\\" + row.text + " (TEVDRIVE in its name): "),
                  std::string::npos)
            << text.str();
        const std::string shown = text.str();
        for (size_t pos = 0; pos < shown.size();) {
            char32_t cp = 0;
            ASSERT_TRUE(image::DecodeUtf8(shown, pos, &cp)) << "not UTF-8 at " << pos;
        }
        EXPECT_NE(json.str().find("\"path\": \"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\" + row.json + "\""),
                  std::string::npos)
            << json.str();
        EXPECT_TRUE(nlohmann::json::accept(support::LoneUnitEscapesReplaced(json.str())));
        std::string written;
        ASSERT_TRUE(image::ReadHostFile(dir / "after/registry.reg", &written));
        EXPECT_NE(written.find(added), std::string::npos);
    }
}
