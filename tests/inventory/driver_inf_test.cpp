// The package INF: which copy is read, the second value of each line of its
// device section, and the setup class it stands for.
#include "inventory/inventory.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>


using namespace support;

namespace {

const char kOtherGuid[] = "{11111111-2222-3333-4444-555555555555}";
const char kInfGuid[] = "{66666666-7777-8888-9999-AAAAAAAAAAAA}";

// Every field the section yields through the open/count/read/close cycle.
std::vector<std::string> SectionFields() {
    std::vector<std::string> fields;
    HINF inf = OpenDriverInf();
    const int lines = CountInfSectionLines(inf, kDriverInfSection);
    for (int i = 0; i < lines; ++i) {
        std::string field = "untouched";
        EXPECT_TRUE(ReadInfLineField(inf, kDriverInfSection, i, field)) << i;
        fields.push_back(field);
    }
    CloseDriverInf(inf);
    return fields;
}

TEST(DriverInf, SecondValueOfEachSectionLine) {
    sim::Machine m = sim::MakeWindows98();
    const std::string a247(247, 'A');
    AddInf(m, "inf\\other",
           InfText({"D1=Install,USB\\VID_1234&PID_5678",
                    "D2=Install,USB\\VID_1234&PID_5678,USB\\CLASS_08",
                    "D3=Install",
                    "D4=Install,",
                    "D5=,X",
                    "D6=Install," + a247,          // 255 characters of line text: read whole
                    "D7=Install," + a247 + "B"}));  // 256: the read fails
    ActiveMachine active(m);
    RecordWindowsDirectory();

    HINF inf = OpenDriverInf();
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CountInfSectionLines(inf, kDriverInfSection), 7);
    const char* const expected[] = {"USB\\VID_1234&PID_5678", "USB\\VID_1234&PID_5678", "", "",
                                    "X"};
    for (int i = 0; i < 5; ++i) {
        std::string field = "untouched";
        EXPECT_TRUE(ReadInfLineField(inf, kDriverInfSection, i, field)) << i;
        EXPECT_EQ(field, expected[i]) << i;
    }
    std::string field = "untouched";
    EXPECT_TRUE(ReadInfLineField(inf, kDriverInfSection, 5, field));
    EXPECT_EQ(field, a247);
    field = "untouched";
    EXPECT_FALSE(ReadInfLineField(inf, kDriverInfSection, 6, field));
    EXPECT_FALSE(ReadInfLineField(inf, kDriverInfSection, 7, field));  // past the last line
    EXPECT_FALSE(ReadInfLineField(inf, "NOSUCHSECTION", 0, field));
    EXPECT_EQ(field, "untouched");
    EXPECT_EQ(CountInfSectionLines(inf, "NOSUCHSECTION"), 0);
    CloseDriverInf(inf);
}

// Where the INF is looked for: "inf\other" first, "inf" second, for the
// section and for the class alike; neither gives no lines and no class. A
// class name that the system has registered gives the registered GUID,
// whatever GUID the INF itself declares; two classes of that name give no
// class at all, and the caller's preset stays. Without a Windows directory
// no path is formed from it: the INF is not even looked for.
TEST(DriverInf, WhichCopyIsReadAndTheClassItGives) {
    struct Row {
        const char* name;
        bool inOther, inInf;
        std::vector<const char*> classes;  // registered with the name "ZavA"
        bool windowsDirectoryKnown;
        std::vector<std::string> fields;
        const char* classGuid;  // nullptr: not found, the preset stays
    };
    const Row rows[] = {
        {"both", true, true, {}, true, {"OTHER\\DEV"}, kOtherGuid},
        {"other only", true, false, {}, true, {"OTHER\\DEV"}, kOtherGuid},
        {"inf only", false, true, {}, true, {"INF\\DEV"}, kInfGuid},
        {"neither", false, false, {}, true, {}, nullptr},
        {"the class registered", true, false, {kDiskGuid}, true, {"OTHER\\DEV"}, kDiskGuid},
        {"the class registered twice", true, false, {kDiskGuid, kInfGuid}, true, {"OTHER\\DEV"}, nullptr},
        {"Windows directory unknown", true, true, {}, false, {}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = sim::MakeWindows98();
        if (row.inOther) AddInf(m, "inf\\other", InfText({"D=Install,OTHER\\DEV"}, "ZavA", kOtherGuid));
        if (row.inInf) AddInf(m, "inf", InfText({"D=Install,INF\\DEV"}, "ZavB", kInfGuid));
        m.files.AddFile("C:\\WINDOWS\\inf\\other\\OEM0.inf", InfText({"D=Install,OEM\\DEV"}));
        for (const char* guid : row.classes) m.registry.SetString(std::string(kClass) + guid, "Class", "ZavA");
        GUID guid = Guid(kHdcGuid);
        RunStep(m, [&] {
            EXPECT_EQ(SectionFields(), row.fields);
            EXPECT_EQ(GetDriverInfClassGuid(guid), row.classGuid != nullptr);
        }, row.windowsDirectoryKnown);
        EXPECT_EQ(sim::GuidText(guid), row.classGuid ? row.classGuid : kHdcGuid);
        if (!row.windowsDirectoryKnown) {
            EXPECT_EQ(m.callCounts[sim::Api::SetupOpenInfFileA], 0u);
            EXPECT_EQ(m.callCounts[sim::Api::SetupDiGetINFClassA], 0u);
        }
    }
}

}  // namespace
