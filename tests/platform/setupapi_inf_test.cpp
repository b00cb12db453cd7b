// The simulated SETUPAPI INF and class functions against a small machine:
// opening INFs, reading section lines in compact form, the INF's class and
// the installed classes.
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/call_result.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <cstring>

using support::Guid;
using support::kDiskGuid;
using support::kUsbGuid;

namespace {

const char kInfPath[] = "C:\\WINDOWS\\inf\\USBZAV03.inf";
const char kControlClass[] = "HKLM\\System\\CurrentControlSet\\Control\\Class\\";
const char* const kServicesClass = support::kClass;

std::string Win4(const std::string& body) {
    return "[Version]\r\nSignature=\"$CHICAGO$\"\r\n" + body;
}

// Reads every line of a section as the program does: by index, into a
// 256-byte buffer.
std::vector<std::string> ReadSection(HINF inf, const char* section) {
    std::vector<std::string> lines;
    INFCONTEXT context;
    for (DWORD i = 0; SetupGetLineByIndexA(inf, section, i, &context); ++i) {
        char buffer[256] = {};
        DWORD required = 0;
        if (!SetupGetLineTextA(&context, nullptr, nullptr, nullptr, buffer, 256, &required))
            lines.push_back("<failed>");
        else
            lines.push_back(buffer);
    }
    return lines;
}

TEST(SetupApiInf, OpensAndReadsLinesInCompactForm) {
    const std::string l255 = "Install," + std::string(247, 'a');  // 255 characters
    sim::Machine m = sim::MakeWindows98();
    m.files.AddFile(kInfPath, Win4("[MSZAV03SECTION]\r\n"
                                   "%Desc% = Install , USB\\VID_1234&PID_5678, USB\\CLASS_08\r\n"
                                   "Install,\"USB\\VID_1234&PID_9999\" ; second\r\n"
                                   "[mszav03section]\r\n"
                                   "Install, \\\r\n   USB\\VID_0001\r\n"
                                   "[Long]\r\n" + l255 + "\r\n" + l255 + "b\r\n"
                                   "[Strings]\r\nDesc=\"Zav Disk\"\r\n"));
    support::ActiveMachine active(m);
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileA(kInfPath, nullptr, INF_STYLE_WIN4, &errorLine);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(errorLine, 0u);
    EXPECT_EQ(m.OpenHandles().infs, 1u);
    EXPECT_EQ(ReadSection(inf, "MSZAV03SECTION"),
              (std::vector<std::string>{"Install,USB\\VID_1234&PID_5678,USB\\CLASS_08",
                                        "Install,USB\\VID_1234&PID_9999",
                                        "Install,USB\\VID_0001"}));
    // A 255-character line fits the 256-byte buffer; one more character doesn't.
    EXPECT_EQ(ReadSection(inf, "Long"), (std::vector<std::string>{l255, "<failed>"}));
    INFCONTEXT context;
    ASSERT_TRUE(SetupGetLineByIndexA(inf, "Long", 1, &context));
    char buffer[300];
    std::memset(buffer, 0x7E, sizeof buffer);
    DWORD required = 0;
    EXPECT_EQ(support::Called(SetupGetLineTextA(&context, nullptr, nullptr, nullptr, buffer, 256, &required)),
              support::Outcome(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 257u);
    EXPECT_EQ(std::string(buffer, 300), std::string(300, '\x7E'));  // nothing written
    required = 0;  // a NULL buffer asks for the size only
    EXPECT_TRUE(SetupGetLineTextA(&context, nullptr, nullptr, nullptr, nullptr, 0, &required));
    EXPECT_EQ(required, 257u);

    EXPECT_EQ(support::Called(SetupGetLineByIndexA(inf, "MSZAV03SECTION", 3, &context)), support::Outcome(ERROR_LINE_NOT_FOUND));
    EXPECT_EQ(support::Called(SetupGetLineByIndexA(inf, "Missing", 0, &context)), support::Outcome(ERROR_SECTION_NOT_FOUND));

    // The (inf, section, key) form finds the first line with the key.
    EXPECT_TRUE(SetupGetLineTextA(nullptr, inf, "version", "SIGNATURE", buffer, 64, &required));
    EXPECT_STREQ(buffer, "$CHICAGO$");
    EXPECT_EQ(support::Called(SetupGetLineTextA(nullptr, inf, "Version", "Class", buffer, 64, &required)),
              support::Outcome(ERROR_LINE_NOT_FOUND));

    SetupCloseInfFile(inf);
    EXPECT_EQ(m.OpenHandles().Total(), 0u);
    SetupCloseInfFile(inf);  // a second close is ignored
    // A closed or failed handle reads nothing.
    for (HINF bad : {inf, static_cast<HINF>(INVALID_HANDLE_VALUE)}) {
        SetLastError(0);
        EXPECT_EQ(support::Called(SetupGetLineByIndexA(bad, "MSZAV03SECTION", 0, &context)), support::Outcome(ERROR_INVALID_HANDLE));
    }
}

TEST(SetupApiInf, OpenChecksFileStyleAndSyntax) {
    struct Row {
        const char* name;
        std::string content;  // "" for no file
        const char* path;
        const char* infClass;
        DWORD error;  // 0: opens
        UINT errorLine;
    };
    const Row rows[] = {
        {"chicago", "[Version]\nSignature=$Chicago$\n", kInfPath, nullptr, 0, 0},
        {"nt quoted", "[version]\nsignature = \"$WINDOWS NT$\"\n", kInfPath, nullptr, 0, 0},
        {"95", "[Version]\nSignature=$Windows 95$\n", kInfPath, nullptr, 0, 0},
        {"bare name", "[Version]\nSignature=$Chicago$\n", "USBZAV03.INF", nullptr, 0, 0},
        {"class matches", Win4("Class=USB\n"), kInfPath, "usb", 0, 0},
        {"class differs", Win4("Class=USB\n"), kInfPath, "DiskDrive", ERROR_CLASS_MISMATCH, 0},
        {"no file", "", kInfPath, nullptr, ERROR_FILE_NOT_FOUND, 0},
        {"no directory", "", "C:\\WINDOWS\\nodir\\USBZAV03.inf", nullptr, ERROR_PATH_NOT_FOUND, 0},
        {"no signature", "[Version]\nClass=USB\n", kInfPath, nullptr, ERROR_WRONG_INF_STYLE, 0},
        {"other signature", "[Version]\nSignature=$Windows$\n", kInfPath, nullptr,
         ERROR_WRONG_INF_STYLE, 0},
        {"empty", "\r\n", kInfPath, nullptr, ERROR_WRONG_INF_STYLE, 0},
        {"line before section", "x\n[Version]\nSignature=$Chicago$\n", kInfPath, nullptr,
         ERROR_EXPECTED_SECTION_NAME, 1},
        {"bad section line", Win4("[Open\n"), kInfPath, nullptr, ERROR_BAD_SECTION_NAME_LINE, 3},
        {"long section name", Win4("[" + std::string(256, 'N') + "]\n"), kInfPath, nullptr,
         ERROR_SECTION_NAME_TOO_LONG, 3},
    };
    for (const Row& row : rows) {
        sim::Machine m = sim::MakeWindows98();
        m.files.AddDirectory("C:\\WINDOWS\\inf");
        if (!row.content.empty()) m.files.AddFile(kInfPath, row.content);
        support::ActiveMachine active(m);
        UINT errorLine = 0;
        SetLastError(0);
        HINF inf = SetupOpenInfFileA(row.path, row.infClass, INF_STYLE_WIN4, &errorLine);
        EXPECT_EQ(inf == INVALID_HANDLE_VALUE, row.error != 0) << row.name;
        EXPECT_EQ(GetLastError(), row.error) << row.name;
        EXPECT_EQ(errorLine, row.errorLine) << row.name;
        EXPECT_EQ(m.OpenHandles().infs, row.error == 0 ? 1u : 0u) << row.name;
        if (inf != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf);
        EXPECT_TRUE(m.events.empty()) << row.name;  // reading an INF changes nothing
    }
}

// SetupDiGetINFClassA, then SetupDiClassGuidsFromNameExA with a list of one,
// as the program determines the package class.
TEST(SetupApiClass, InfClassAndInstalledClasses) {
    const GUID preset = Guid("{11111111-2222-3333-4444-555555555555}");
    struct Row {
        const char* name;
        sim::Family family;
        std::string version;                                  // [Version] lines after Signature
        std::vector<std::pair<std::string, std::string>> classes;  // key path, Class value
        BOOL ok;
        DWORD error;
        const char* guid;      // the GUID after the call; nullptr: the preset
        const char* nameOut;   // the name buffer after the call
        DWORD required;
    };
    const std::string usbKey = std::string(kControlClass) + kUsbGuid;
    const Row rows[] = {
        {"both given", sim::Family::Win9x, "Class=USB\nClassGUID={36fc9e60-c465-11cf-8056-444553540000}\n",
         {}, TRUE, 0, kUsbGuid, "USB", 4},
        {"only guid, installed", sim::Family::NT, std::string("ClassGUID=") + kUsbGuid + "\n",
         {{usbKey, "USB"}}, TRUE, 0, kUsbGuid, "USB", 4},
        {"only guid, unknown", sim::Family::NT, std::string("ClassGUID=") + kUsbGuid + "\n",
         {}, TRUE, 0, kUsbGuid, "untouched", 0},
        {"only class, installed", sim::Family::Win9x, "Class=usb\n",
         {{usbKey, "USB"}}, TRUE, 0, kUsbGuid, "usb", 4},
        {"only class, installed on 9x", sim::Family::Win9x, "Class=usb\n",
         {{std::string(kServicesClass) + kUsbGuid, "USB"}}, TRUE, 0, kUsbGuid, "usb", 4},
        {"only class, unknown", sim::Family::Win9x, "Class=USB\n",
         {{std::string(kControlClass) + kDiskGuid, "DiskDrive"}}, TRUE, 0, nullptr, "USB", 4},
        {"neither", sim::Family::Win9x, "Provider=x\n", {}, FALSE, ERROR_NO_ASSOCIATED_CLASS,
         nullptr, "untouched", 0},
        {"bad guid", sim::Family::Win9x, "Class=USB\nClassGUID=WINE\n", {}, FALSE,
         ERROR_INVALID_PARAMETER, nullptr, "untouched", 0},
        {"long name", sim::Family::Win9x, "Class=" + std::string(256, 'N') + "\n", {}, FALSE,
         ERROR_INSUFFICIENT_BUFFER, nullptr, "untouched", 257},
    };
    for (const Row& row : rows) {
        sim::Machine m = row.family == sim::Family::NT ? sim::MakeWindows2000("") : sim::MakeWindows98();
        const std::string path = m.windowsDirectory + "\\inf\\Other\\USBZAV03.inf";
        m.files.AddFile(path, Win4(row.version));
        for (const auto& c : row.classes) m.registry.SetString(c.first, "Class", c.second);
        sim::ActiveMachine active(m);
        GUID guid = preset;
        char name[300];
        std::memset(name, 0x7E, sizeof name);
        std::strcpy(name, "untouched");
        DWORD required = 0;
        SetLastError(0);
        EXPECT_EQ(SetupDiGetINFClassA(path.c_str(), &guid, name, 256, &required), row.ok) << row.name;
        EXPECT_EQ(GetLastError(), row.error) << row.name;
        EXPECT_EQ(sim::GuidText(guid), row.guid ? row.guid : sim::GuidText(preset)) << row.name;
        EXPECT_STREQ(name, row.nameOut) << row.name;
        EXPECT_EQ(std::string(name + 256, 44), std::string(44, '\x7E')) << row.name;
        EXPECT_EQ(required, row.required) << row.name;
    }

    sim::Machine m = sim::MakeWindows98();
    m.files.AddDirectory("C:\\WINDOWS\\inf");
    sim::ActiveMachine active(m);
    GUID guid = preset;
    char name[256] = "untouched";
    SetLastError(0);
    EXPECT_EQ(support::Called(SetupDiGetINFClassA(kInfPath, &guid, name, 256, nullptr)), support::Outcome(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(name, "untouched");
}

TEST(SetupApiClass, ClassGuidsFromName) {
    const GUID other = Guid("{22222222-2222-3333-4444-555555555555}");
    const GUID preset = Guid("{11111111-2222-3333-4444-555555555555}");
    struct Row {
        const char* name;
        sim::Family family;
        std::vector<std::string> usbKeys;  // keys holding Class=USB
        BOOL ok;
        DWORD error;
        DWORD required;
        const char* first;  // list[0] after the call; nullptr: the preset
        const char* machine = nullptr;  // another computer named
    };
    const Row rows[] = {
        {"none", sim::Family::Win9x, {}, TRUE, 0, 0, nullptr},
        {"one", sim::Family::NT, {std::string(kControlClass) + kUsbGuid}, TRUE, 0, 1, kUsbGuid},
        {"one on 9x below Services", sim::Family::Win9x, {std::string(kServicesClass) + kUsbGuid},
         TRUE, 0, 1, kUsbGuid},
        {"Services not on NT", sim::Family::NT, {std::string(kServicesClass) + kUsbGuid}, TRUE, 0,
         0, nullptr},
        {"same class twice", sim::Family::Win9x,
         {std::string(kControlClass) + kUsbGuid, std::string(kServicesClass) + kUsbGuid}, TRUE, 0,
         1, kUsbGuid},
        {"two classes", sim::Family::Win9x,
         {std::string(kControlClass) + kUsbGuid, std::string(kControlClass) + sim::GuidText(other)},
         FALSE, ERROR_INSUFFICIENT_BUFFER, 2, "{22222222-2222-3333-4444-555555555555}"},
        {"key not a GUID", sim::Family::Win9x, {std::string(kControlClass) + "USB"}, TRUE, 0, 0,
         nullptr},
        {"another computer", sim::Family::Win9x, {}, FALSE, 1210, 7, nullptr, "\\\\OTHER"},  // ERROR_INVALID_MACHINENAME
    };
    for (const Row& row : rows) {
        sim::Machine m = row.family == sim::Family::NT ? sim::MakeWindows2000("") : sim::MakeWindows98();
        for (const std::string& key : row.usbKeys) m.registry.SetString(key, "Class", "USB");
        m.registry.SetString(std::string(kControlClass) + kDiskGuid, "Class", "DiskDrive");
        sim::ActiveMachine active(m);
        SCOPED_TRACE(row.name);
        GUID list[1] = {preset};
        DWORD required = 7;  // left alone where the call refuses
        SetLastError(0);
        EXPECT_EQ(SetupDiClassGuidsFromNameExA("usb", list, 1, &required, row.machine, nullptr), row.ok);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(required, row.required);
        EXPECT_EQ(sim::GuidText(list[0]), row.first ? row.first : sim::GuidText(preset));
    }
}

}  // namespace
