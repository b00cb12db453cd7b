// machine.ini and image folders: what they describe, what is refused and
// where, and that a written image reads back as the same machine.
#include "support/scratch.h"
#include "image/machine_image.h"
#include "image/machine_state.h"

#include <fstream>

using image::InputError;
using image::LoadImage;
using image::MachineImage;
using image::ReadMachineIni;
using support::ScratchFolder;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

const char kIni[] =
    "; a Windows 2000 machine\n"
    "[system]\n"
    "platform = 2            ; NT family\n"
    "major = 5\n"
    "minor = 0\n"
    "build = 2195\n"
    "service_pack = \" Service Pack 2 \"\n"
    "windows_directory = C:\\WINNT\n"
    "\n"
    "[devices]\n"
    "USB\\VID_1234&PID_5678\\SN01\n"
    "USBSTOR\\DISK&VEN_X\\SN01&0 = {4D36E967-E325-11CE-BFC1-08002BE10318}, USB disk ; a comment\n"
    "ROOT\\LEGACY_X\\0000 = , \" spaced; kept \"\n"
    "\n"
    "[windows]\n"
    "Glovix\n"
    "\"  blanks around  \"\n"
    "\n"
    "[attributes]\n"
    "C:\\WINNT\\system32\\drivers\\USBSTORSP3.SYS = readonly hidden\n"
    "c:\\winnt\\INF = hidden\n";

}  // namespace

TEST(MachineImage, MachineIniDescribesTheSystemDevicesWindowsAndAttributes) {
    sim::Machine m;
    m.files.AddFile("C:\\WINNT\\system32\\drivers\\USBSTORSP3.SYS", std::string("x"));
    m.files.AddDirectory("C:\\WINNT\\inf");
    InputError diag;
    ASSERT_TRUE(ReadMachineIni(kIni, "machine.ini", m, &diag)) << diag.Text();
    EXPECT_EQ(m.family(), sim::Family::NT);
    EXPECT_EQ(m.platformId, 2u);
    EXPECT_EQ(m.majorVersion, 5u);
    EXPECT_EQ(m.minorVersion, 0u);
    EXPECT_EQ(m.buildNumber, 2195u);
    EXPECT_EQ(m.csdVersion, " Service Pack 2 ");
    EXPECT_EQ(m.windowsDirectory, "C:\\WINNT");
    ASSERT_EQ(m.devices.size(), 3u);
    EXPECT_EQ(m.devices[0].instanceId, "USB\\VID_1234&PID_5678\\SN01");
    EXPECT_FALSE(m.devices[0].classGuid);
    EXPECT_FALSE(m.devices[0].description);
    EXPECT_EQ(sim::GuidText(*m.devices[1].classGuid), "{4D36E967-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(*m.devices[1].description, "USB disk");
    EXPECT_FALSE(m.devices[2].classGuid);
    EXPECT_EQ(*m.devices[2].description, " spaced; kept ");
    EXPECT_EQ(m.windowTitles, std::vector<std::string>({"Glovix", "  blanks around  "}));
    EXPECT_EQ(m.files.Find("C:\\WINNT\\system32\\drivers\\USBSTORSP3.SYS")->attributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(m.files.Find("C:\\WINNT\\inf")->attributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY));

    // Written and read again: the same machine.
    sim::Machine again;
    again.files = m.files;
    for (auto* e : again.files.Entries())
        again.files.Find(e->path)->attributes = e->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(ReadMachineIni(image::WriteMachineIni(m), "again.ini", again, &diag)) << diag.Text();
    EXPECT_EQ(again.family(), m.family());
    EXPECT_EQ(again.csdVersion, m.csdVersion);
    EXPECT_EQ(again.buildNumber, m.buildNumber);
    EXPECT_EQ(again.windowTitles, m.windowTitles);
    ASSERT_EQ(again.devices.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(again.devices[i].instanceId, m.devices[i].instanceId);
        EXPECT_EQ(again.devices[i].description, m.devices[i].description);
        EXPECT_EQ(again.devices[i].classGuid.has_value(), m.devices[i].classGuid.has_value());
    }
    EXPECT_EQ(image::FilesText(again.files), image::FilesText(m.files));
}

TEST(MachineImage, BadMachineIniLinesAreNamed) {
    struct Row {
        const char* text;
        int line;
        const char* message;
    };
    const std::string system =
        "[system]\nplatform = 1\nmajor = 4\nminor = 10\nwindows_directory = C:\\WINDOWS\n";
    const std::string longServicePack = "[system]\nservice_pack = " + std::string(128, 'x') + "\n";
    const Row rows[] = {
        {"platform = 1\n", 1, "before the first section"},
        {"[system\n", 1, "closing \"]\""},
        {"[hardware]\n", 1, "unknown section [hardware]"},
        {"[system]\nplatform = one\n", 2, "\"platform\" takes a number"},
        // A ";" starts a comment only after a blank.
        {"[system]\nplatform = 1;2\n", 2, "\"platform\" takes a number, not \"1;2\""},
        {longServicePack.c_str(), 2, "longer than the 127 characters"},
        {"[system]\nplatform = 1\nplatform = 2\n", 3, "given twice"},
        {"[system]\ncolour = blue\n", 2, "unknown setting \"colour\""},
        {"[system]\nservice_pack = \"open\n", 2, "closing quote"},
        {"[system]\nwindows_directory = WINDOWS\n", 2, "not an absolute Windows path"},
        {"[system]\nsetupapi = gone\n", 2, "\"setupapi\" takes \"missing\", not \"gone\""},
        {"[system]\nplatform = 1\n", 0, "must give \"major\""},
        {"[system]\nplatform\n", 2, "expected \"name = value\""},
        {"[devices]\nX\\Y = {not-a-guid}\n", 2, "bad class GUID"},
        {"[devices]\nX\\Y = {4D36E967-E325-11CE-BFC1-08002BE10318\n", 2, "closing \"}\""},
        {"[devices]\nX\\Y = description without comma\n", 2, "expected \"= {class GUID}, description\""},
        {"[devices]\n = {4D36E967-E325-11CE-BFC1-08002BE10318}\n", 2, "without an instance id"},
        {"[attributes]\nC:\\missing.sys = readonly\n", 2, "names no file in the image"},
        {"[attributes]\nC:\\WINDOWS = sparkly\n", 2, "unknown attribute"},
        {"[windows]\n\"Glovix\n", 2, "closing quote"},
        // A quote inside a text would be written back with another meaning.
        {"[system]\nservice_pack = \x18 A \"  ; reports \" A\n", 2, "a quote inside a text"},
        {"[windows]\nA \"quoted\" title\n", 2, "a quote inside a text"},
        {"[devices]\nX\\Y = , \"say \"hi\"\"\n", 2, "a quote inside a text"},
        {"[devices]\nUSB\"\"\"\\ROOT = , x ;y\n", 2, "a quote inside a text"},
        {"[system]\n[system]\n", 2, "appears twice"},
        // A collected image's list of files, and its closing line.
        {"[image]\nregistry.reg = many\n", 2, "expected \"FILE = size in bytes\""},
        {"[end]\n[windows]\n", 2, "a line after [end]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        sim::Machine m = sim::MakeWindows98();
        InputError diag;
        const bool needsSystem = std::string(row.text).find("[system]") == std::string::npos &&
                                 row.line != 1;
        const std::string text = needsSystem ? system + row.text : row.text;
        const int shift = needsSystem ? 5 : 0;
        EXPECT_FALSE(ReadMachineIni(text, "img/machine.ini", m, &diag));
        EXPECT_EQ(diag.file, "img/machine.ini");
        EXPECT_EQ(diag.line, row.line == 0 ? 0 : row.line + shift);
        EXPECT_NE(diag.message.find(row.message), std::string::npos) << diag.Text();
    }
    // The longest service pack text Windows reports is read.
    sim::Machine m = sim::MakeWindows98();
    InputError diag;
    EXPECT_TRUE(ReadMachineIni(system + "service_pack = " + std::string(127, 'x') + "\n", "img/machine.ini", m,
                               &diag))
        << diag.Text();
    EXPECT_EQ(m.csdVersion, std::string(127, 'x'));
    // A Windows 98 without setupapi.dll: every device setup call is missing,
    // and machine.ini written again says so.
    sim::Machine without = sim::MakeWindows98();
    ASSERT_TRUE(ReadMachineIni(system + "setupapi = missing\n", "img/machine.ini", without, &diag)) << diag.Text();
    for (const sim::Api call : {sim::Api::SetupOpenInfFileA, sim::Api::SetupDiGetClassDevsA, sim::Api::SetupDiRemoveDevice})
        EXPECT_TRUE(without.missingCalls.test(static_cast<size_t>(call))) << call;
    EXPECT_FALSE(without.missingCalls.test(static_cast<size_t>(sim::Api::RegOpenKeyA)));
    EXPECT_NE(image::WriteMachineIni(without).find("\nsetupapi = missing\n"), std::string::npos);
    EXPECT_EQ(image::WriteMachineIni(m).find("setupapi"), std::string::npos);
}

TEST(MachineImage, AnImageFolderIsLoadedAndItsProblemsAreNamed) {
    ScratchFolder dir;
    const std::string image = dir / "image";
    InputError diag;
    MachineImage loaded;

    EXPECT_FALSE(LoadImage(image, &loaded, &diag));
    EXPECT_NE(diag.Text().find("no such image folder"), std::string::npos);

    WriteText(dir / "file", "x");
    EXPECT_FALSE(LoadImage(dir / "file", &loaded, &diag));
    EXPECT_NE(diag.Text().find("not a folder"), std::string::npos);

    WriteText(image + "/machine.ini",
              "[system]\nplatform = 1\nmajor = 4\nminor = 10\nwindows_directory = C:\\WINDOWS\n"
              "[attributes]\nC:\\WINDOWS\\inf\\USBZAV03.inf = readonly\n");
    EXPECT_FALSE(LoadImage(image, &loaded, &diag));
    EXPECT_EQ(diag.file, image + "/registry.reg");
    EXPECT_NE(diag.message.find("missing"), std::string::npos);

    WriteText(image + "/registry.reg", "REGEDIT4\r\n\r\n[-HKLM\\Enum]\r\n");
    WriteText(image + "/drive_c/WINDOWS/INF/usbzav03.INF", "[Version]\r\n");
    EXPECT_FALSE(LoadImage(image, &loaded, &diag));
    EXPECT_EQ(diag.Text().substr(0, image.size() + 59),
              image + "/registry.reg:3: \"HKLM\" is no root key regedit knows (HKEY_");

    // A line regedit skips is named with its file and line.
    WriteText(image + "/registry.reg",
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\"x\"=hex:01\r\n\"y\"=hex:0g\r\n");
    MachineImage good;
    ASSERT_TRUE(LoadImage(image, &good, &diag)) << diag.Text();
    ASSERT_EQ(good.skippedLines.size(), 1u);
    EXPECT_EQ(good.skippedLines[0].Text(), image + "/registry.reg:5: regedit skips the value \"y\": a bad hex byte \"0g\"");
    // Names are matched without regard to case, as Windows does.
    const sim::FileEntry* inf = good.machine.files.Find("C:\\windows\\inf\\USBZAV03.inf");
    ASSERT_NE(inf, nullptr);
    EXPECT_EQ(inf->attributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(good.machine.registry.GetValue("HKLM\\Enum", "x")->data, std::vector<uint8_t>{1});

    // Written as a new image, it loads as the same machine.
    std::string error;
    ASSERT_TRUE(image::SaveImage(good.machine, good.registryFormat, dir / "copy", &error)) << error;
    MachineImage copy;
    ASSERT_TRUE(LoadImage(dir / "copy", &copy, &diag)) << diag.Text();
    EXPECT_EQ(image::RegistryText(copy.machine.registry), image::RegistryText(good.machine.registry));
    EXPECT_EQ(image::FilesText(copy.machine.files), image::FilesText(good.machine.files));
    EXPECT_FALSE(image::SaveImage(good.machine, good.registryFormat, dir / "copy", &error));
}
