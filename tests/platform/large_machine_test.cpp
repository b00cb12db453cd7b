// The simulator on machines of many devices and keys: the call counts and
// faults without the call log, removals during a walk, subkey lookups among
// thousands of siblings.
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <string>

using sim::Api;

namespace {

using support::kDiskGuid;

std::string Id(int n) { return "USB\\VID_1234&PID_5678\\SN" + std::to_string(100000 + n); }

std::string Description(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(set, index, &data)) return "<no element>";
    char text[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr,
                                           reinterpret_cast<BYTE*>(text), sizeof text, nullptr))
        return "<gone>";
    return text;
}

TEST(LargeMachine, WithoutTheCallLogCallsAreCountedAndFaultsStillHit) {
    sim::Machine m = sim::MakeWindows98();
    m.recordCalls = false;
    support::ActiveMachine active(m);
    std::vector<int> results;
    auto round = [&] {
        results.push_back(CompareStringA(LOCALE_USER_DEFAULT, 0, "a", 1, "a", 1));
        GetFileAttributesA("C:\\nothing");
    };
    for (int i = 0; i < 5; ++i) round();
    // The 8th CompareStringA fails, counted across both kinds of calls.
    m.InjectFault({Api::CompareStringA, 8, false, ERROR_INVALID_PARAMETER, false});
    for (int i = 0; i < 5; ++i) round();
    EXPECT_EQ(results, (std::vector<int>{CSTR_EQUAL, CSTR_EQUAL, CSTR_EQUAL, CSTR_EQUAL, CSTR_EQUAL,
                                         CSTR_EQUAL, CSTR_EQUAL, 0, CSTR_EQUAL, CSTR_EQUAL}));
    EXPECT_TRUE(m.calls.empty());
    EXPECT_EQ(m.callCounts[Api::CompareStringA], 10u);
    EXPECT_EQ(m.callCounts[Api::GetFileAttributesA], 10u);
}

TEST(LargeMachine, CompareStringGivesTheByteOrderAtEveryLength) {
    sim::Machine m = sim::MakeWindows98();
    support::ActiveMachine active(m);
    const std::string base = "USB\\VID_1234&PID_5678\\SN000123&MI_00\\7&2A";  // 42 bytes
    for (size_t length = 0; length <= base.size(); ++length) {
        const std::string a = base.substr(0, length);
        EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, a.c_str(), static_cast<int>(a.size()),
                                 a.c_str(), -1),
                  CSTR_EQUAL);
        for (size_t at = 0; at < length; ++at) {
            std::string b = a;
            b[at] = static_cast<char>(0xE9);  // above every byte of `a`
            EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, a.c_str(), -1, b.c_str(), -1),
                      CSTR_LESS_THAN) << length << " " << at;
            EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, b.c_str(), -1, a.c_str(), -1),
                      CSTR_GREATER_THAN) << length << " " << at;
        }
        if (length > 0) {
            const std::string shorter = a.substr(0, length - 1);
            EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, shorter.c_str(), -1, a.c_str(), -1),
                      CSTR_LESS_THAN);
        }
    }
}

// A walk that removes every other device, then reads the rest: each element
// still names its own device, also after devices before it went away and
// after one was plugged in at the front.
TEST(LargeMachine, ElementsKeepTheirDevicesWhileOthersAreRemoved) {
    sim::Machine m = sim::MakeWindows98();
    const int count = 600;
    for (int i = 0; i < count; ++i)
        m.devices.push_back({Id(i), sim::ParseGuid(kDiskGuid), "disk " + std::to_string(i)});
    support::ActiveMachine active(m);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0; i < static_cast<DWORD>(count); i += 2) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, i, &data));
        ASSERT_TRUE(SetupDiRemoveDevice(set, &data)) << i;
    }
    m.devices.insert(m.devices.begin(), {"ROOT\\NEW\\0000", std::nullopt, std::string("new")});
    for (DWORD i = 0; i < static_cast<DWORD>(count); ++i)
        EXPECT_EQ(Description(set, i), i % 2 ? "disk " + std::to_string(i) : "<gone>") << i;
    ASSERT_EQ(m.devices.size(), static_cast<size_t>(count / 2 + 1));
    EXPECT_EQ(m.devices[1].instanceId, Id(1));
    EXPECT_EQ(m.devices.back().instanceId, Id(count - 1));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(LargeMachine, SubkeysAreFoundAmongThousandsWhateverTheirCase) {
    sim::Machine m = sim::MakeWindows98();
    for (int i = 0; i < 3000; ++i) {
        std::string name = "Key_" + std::to_string(i) + (i % 2 ? "abc" : "ABC");
        if (i % 7 == 0) name += "\u00e9";  // a letter beyond ASCII ("\xE9" in code page 1252) keeps its case
        m.registry.SetDword("HKLM\\Many\\" + name, "n", static_cast<DWORD>(i));
    }
    support::ActiveMachine active(m);
    for (int i = 0; i < 3000; i += 13) {
        std::string asked = "many\\KEY_" + std::to_string(i) + (i % 2 ? "ABC" : "abc");
        if (i % 7 == 0) asked += "\xE9";
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, asked.c_str(), &key), ERROR_SUCCESS) << asked;
        DWORD value = 0, size = sizeof value;
        EXPECT_EQ(RegQueryValueExA(key, "n", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, static_cast<DWORD>(i));
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Many\\Key_14ab", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Many\\Key_0ABC\xC9", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "MANY\\key_2999abc"), ERROR_SUCCESS);
    EXPECT_FALSE(m.registry.Exists("HKLM\\Many\\Key_2999abc"));
    EXPECT_EQ(m.registry.SubkeyNames("HKLM\\Many").size(), 2999u);
}

}  // namespace
