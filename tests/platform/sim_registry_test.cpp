// The simulated registry: the key tree and the ADVAPI32 calls the program
// makes on it, with the behaviour of each Windows family.
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"

#include <gtest/gtest.h>

#include <cstring>

using sim::Api;

namespace {

const std::string kSn1 = "HKLM\\Enum\\USB\\VID_1\\SN1";

// HKLM\Enum\USB\VID_1\SN1 with two values and a child key; a sibling VID_2.
sim::Machine UsbMachine(sim::Family family) {
    sim::Machine m;
    m.platformId = family == sim::Family::NT ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
    m.registry.SetString(kSn1, "Driver", "USB\\0001");
    m.registry.SetDword(kSn1, "ConfigFlags", 0);
    m.registry.SetString(kSn1 + "\\Device Parameters", "Mode", "x");
    m.registry.Create("HKLM\\Enum\\USB\\VID_2");
    return m;
}

HKEY Open(HKEY base, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(base, path, &key)) << path;
    return key;
}

TEST(SimRegistryDelete, FamilyDecidesWhetherASubtreeGoes) {
    struct Row {
        sim::Family family;
        const char* subKey;
        LONG result;
    };
    const Row rows[] = {
        {sim::Family::Win9x, "Enum\\USB\\VID_1\\SN1", ERROR_SUCCESS},
        {sim::Family::NT, "Enum\\USB\\VID_1\\SN1", ERROR_ACCESS_DENIED},
        {sim::Family::NT, "Enum\\USB\\VID_1\\SN1\\Device Parameters", ERROR_SUCCESS},
        {sim::Family::Win9x, "enum\\usb\\vid_1\\sn1\\", ERROR_SUCCESS},
        {sim::Family::Win9x, "Enum\\USB\\VID_3", ERROR_FILE_NOT_FOUND},
        {sim::Family::Win9x, "\\Enum\\USB\\VID_1", ERROR_BAD_PATHNAME},
        {sim::Family::Win9x, "", ERROR_ACCESS_DENIED},  // HKLM itself
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subKey);
        sim::Machine m = UsbMachine(row.family);
        sim::Registry expected = m.registry;
        if (row.result == ERROR_SUCCESS) {
            ASSERT_TRUE(expected.DeleteTree(std::string("HKLM\\") + row.subKey));
        }
        support::ActiveMachine active(m);
        EXPECT_EQ(row.result, RegDeleteKeyA(HKEY_LOCAL_MACHINE, row.subKey));
        // Only the named key goes: its parent stays, also when left without subkeys.
        EXPECT_EQ(image::RegistryText(expected), image::RegistryText(m.registry));
        ASSERT_EQ(1u, m.events.size());
        EXPECT_EQ(row.result == ERROR_SUCCESS, m.events[0].ok);
        EXPECT_EQ(static_cast<DWORD>(row.result), m.events[0].error);
    }
}

TEST(SimRegistryDelete, EventCarriesTheSubtreeAsItWas) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    support::ActiveMachine active(m);
    HKEY usb = Open(HKEY_LOCAL_MACHINE, "Enum\\USB");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(usb, "vid_1\\sn1"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(usb, "VID_1\\SN1\\Device Parameters"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(usb));

    const auto events = m.EventsOf(Api::RegDeleteKeyA);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\SN1", events[0].target);
    ASSERT_TRUE(events[0].deletedKey);
    EXPECT_EQ("SN1", events[0].deletedKey->name);
    EXPECT_EQ(2u, events[0].deletedKey->CountKeys());
    EXPECT_EQ(3u, events[0].deletedKey->CountValues());
    EXPECT_FALSE(events[0].deletedKey->deleted);
    // A refused attempt names the path as far as it resolved, then as given.
    EXPECT_FALSE(events[1].ok);
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\SN1\\Device Parameters", events[1].target);
    EXPECT_FALSE(events[1].deletedKey);
}

TEST(SimRegistryOpen, PathsParseAsWindowsParsesThem) {
    struct Row {
        const char* subKey;
        LONG result;
        const char* valueThere;  // a value name only the opened key has
    };
    const Row rows[] = {
        {"Enum\\USB\\VID_1\\SN1", ERROR_SUCCESS, "Driver"},
        {"Enum\\USB\\VID_1\\SN1\\", ERROR_SUCCESS, "Driver"},
        {"ENUM\\usb\\Vid_1\\sn1\\device parameters", ERROR_SUCCESS, "Mode"},
        {"\\Enum\\USB", ERROR_BAD_PATHNAME, nullptr},
        {"Enum\\\\USB", ERROR_FILE_NOT_FOUND, nullptr},
        {"Enum\\USB\\VID_9", ERROR_FILE_NOT_FOUND, nullptr},
        {"Enum\\USB\\\xC8\xEC\xFF", ERROR_SUCCESS, "Name"},  // code page 1251
        {"Enum\\USB\\\xD2\xE8\xEF", ERROR_SUCCESS, "Type"},
        {"Enum\\USB\\???", ERROR_FILE_NOT_FOUND, nullptr},   // as 1252 spells both
    };
    sim::Machine m = UsbMachine(sim::Family::NT);
    m.codePage = 1251;
    m.registry.SetString("HKLM\\Enum\\USB\\Имя", "Name", "");
    m.registry.SetString("HKLM\\Enum\\USB\\Тип", "Type", "");
    support::ActiveMachine active(m);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subKey);
        HKEY key = reinterpret_cast<HKEY>(0x77);  // overwritten on every outcome
        EXPECT_EQ(row.result, RegOpenKeyA(HKEY_LOCAL_MACHINE, row.subKey, &key));
        if (row.valueThere == nullptr) {
            EXPECT_EQ(nullptr, key);
        } else {
            EXPECT_EQ(1u, m.OpenHandles().keys);
            EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, row.valueThere, nullptr, nullptr, nullptr, nullptr));
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
        }
        EXPECT_EQ(0u, m.OpenHandles().keys);
    }
    EXPECT_TRUE(m.events.empty());
}

TEST(SimRegistryOpen, EmptySubPathReturnsTheHandlePassedIn) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    support::ActiveMachine active(m);
    HKEY root = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "", &root));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    HKEY usb = Open(HKEY_LOCAL_MACHINE, "Enum\\USB");
    HKEY same = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(usb, nullptr, &same));
    EXPECT_EQ(usb, same);
    EXPECT_EQ(1u, m.OpenHandles().keys);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(usb));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(same));  // the same handle, already closed
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyA(reinterpret_cast<HKEY>(0x1234), "Enum", &same));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyA(nullptr, "Enum", &same));
}

TEST(SimRegistryEnum, NamesInTheFamilysOrderAndCodePageThenNoMoreItemsAndNothingWrittenPastTheSize) {
    struct Row {
        sim::Family family;
        unsigned codePage;
        std::vector<const char*> created;   // in this order, UTF-8
        std::vector<const char*> expected;  // as RegEnumKeyA gives them
        bool reopen;  // whether each name read opens its key again: the code page spells it exactly
        bool copied = false;  // enumerated on a copy of the machine
    };
    const Row rows[] = {
        // NT sorts, ASCII letters without regard to case; 9x keeps the order it stored.
        // A second "a" is the key "A": nothing new, case kept.
        {sim::Family::NT, 1252, {"b", "A", "Ccc", "a2", "ABCDEFGH", "a"},
         {"A", "a2", "ABCDEFGH", "b", "Ccc"}, true},
        {sim::Family::Win9x, 1252, {"b", "A", "Ccc", "a2", "ABCDEFGH", "a"},
         {"b", "A", "Ccc", "a2", "ABCDEFGH"}, true},
        // A copy of the machine (the dry run's machine before and after) keeps the stored order.
        {sim::Family::Win9x, 1252, {"b", "A", "Ccc", "a2", "ABCDEFGH", "a"},
         {"b", "A", "Ccc", "a2", "ABCDEFGH"}, true, true},
        // Names the code page cannot spell read as "?" and open nothing,
        // not even a key whose ANSI name looks the same.
        {sim::Family::NT, 1252, {"Тип", "Имя"}, {"???", "???"}, false},
        {sim::Family::NT, 1251, {"Тип", "Имя"}, {"\xC8\xEC\xFF", "\xD2\xE8\xEF"}, true},
        {sim::Family::Win9x, 1251, {"Тип", "Имя"}, {"\xD2\xE8\xEF", "\xC8\xEC\xFF"}, true},
        {sim::Family::Win9x, 1252, {"Caf\u00e9"}, {"Caf\xE9"}, true},
        {sim::Family::NT, 1252, {"Z\u0101v"}, {"Zav"}, false},  // a look-alike, as Windows converts it
        {sim::Family::NT, 1252, {"\u03bc"}, {"\xB5"}, false},   // micro sign for Greek mu: a look-alike
        {sim::Family::NT, 1252, {"\xC1\x81"}, {"??"}, false},    // "A" spelled in two bytes is no UTF-8
    };
    for (const Row& row : rows) {
        sim::Machine built;
        built.platformId = row.family == sim::Family::NT ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
        built.codePage = row.codePage;
        for (const char* name : row.created) {
            built.registry.Create(std::string("HKLM\\E\\") + name);
            bool exact = false;
            sim::Utf8ToAnsi(row.codePage, name, &exact);
            EXPECT_EQ(exact, row.reopen) << name;
        }
        sim::Machine copy;
        if (row.copied) copy = built;
        sim::Machine& m = row.copied ? copy : built;
        support::ActiveMachine active(m);
        HKEY key = Open(HKEY_LOCAL_MACHINE, "E");
        const DWORD count = static_cast<DWORD>(row.expected.size());
        for (DWORD i = 0; i <= count; ++i) {
            // Each name with room for exactly its terminator, and one less.
            const DWORD fit = i < count ? static_cast<DWORD>(std::strlen(row.expected[i]) + 1) : 8;
            for (DWORD cch : {fit - 1, fit}) {
                SCOPED_TRACE(testing::Message() << row.codePage << " " << i << " " << cch);
                const LONG result = i == count ? ERROR_NO_MORE_ITEMS : cch < fit ? ERROR_MORE_DATA : ERROR_SUCCESS;
                char plain[16], ex[16];
                std::memset(plain, 'g', sizeof plain);
                std::memset(ex, 'g', sizeof ex);
                DWORD cchEx = cch;
                FILETIME time;
                EXPECT_EQ(result, RegEnumKeyA(key, i, plain, cch));
                EXPECT_EQ(result, RegEnumKeyExA(key, i, ex, &cchEx, nullptr, nullptr, nullptr, &time));
                const std::string written = result == ERROR_SUCCESS ? std::string(row.expected[i]) + '\0' : "";
                EXPECT_EQ(written + std::string(16 - written.size(), 'g'), std::string(plain, 16));
                EXPECT_EQ(written + std::string(16 - written.size(), 'g'), std::string(ex, 16));
                EXPECT_EQ(result == ERROR_SUCCESS ? fit - 1 : cch, cchEx);  // changed only on success
                if (result != ERROR_SUCCESS) continue;
                HKEY again = nullptr;
                EXPECT_EQ(row.reopen ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, RegOpenKeyA(key, plain, &again));
                if (again != nullptr) RegCloseKey(again);
            }
        }
        RegCloseKey(key);
    }
}

TEST(SimRegistryQuery, SizesMissingValuesAndTheScribbledBuffer) {
    sim::Machine m;
    m.registry.SetString(kSn1, "Driver", "USB\\0001");  // 9 bytes with its terminator
    m.registry.SetString(kSn1, "", "default");
    m.registry.SetString(kSn1, "Имя", "name");  // "???" in code page 1252, as "Тип"
    m.registry.SetString(kSn1, "Тип", "type");
    support::ActiveMachine active(m);
    HKEY key = Open(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1\\SN1");
    struct Row {
        const char* name;
        DWORD size;
        LONG result;
        DWORD sizeAfter;
    };
    const Row rows[] = {
        {"Driver", 256, ERROR_SUCCESS, 9}, {"DRIVER", 9, ERROR_SUCCESS, 9},
        {"Driver", 8, ERROR_MORE_DATA, 9}, {"Driver", 0, ERROR_MORE_DATA, 9},
        {"Mfg", 256, ERROR_FILE_NOT_FOUND, 256}, {nullptr, 256, ERROR_SUCCESS, 8},
        {"", 256, ERROR_SUCCESS, 8}, {"???", 256, ERROR_FILE_NOT_FOUND, 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name == nullptr ? "(null)" : row.name);
        uint8_t buffer[300] = {};
        DWORD size = row.size;
        DWORD type = 99;
        EXPECT_EQ(row.result, RegQueryValueExA(key, row.name, nullptr, &type, buffer, &size));
        EXPECT_EQ(row.sizeAfter, size);
        // The value on success, the scribble over all bytes given on ERROR_MORE_DATA,
        // and nothing beyond.
        std::string want(sizeof buffer, '\0');
        if (row.result == ERROR_SUCCESS) want.replace(0, size, row.name != nullptr && *row.name ? "USB\\0001" : "default", size);
        if (row.result == ERROR_MORE_DATA) want.replace(0, row.size, row.size, '\xCD');
        EXPECT_EQ(want, std::string(reinterpret_cast<char*>(buffer), sizeof buffer));
        EXPECT_EQ(row.result == ERROR_FILE_NOT_FOUND ? 99u : static_cast<DWORD>(REG_SZ), type);
    }
    RegCloseKey(key);
}

// What the collector reads a key with: RegOpenKeyExA/W, RegQueryInfoKeyA/W
// and RegEnumValueA/W. The W functions give the registry's Unicode names
// and string data widened, on the NT family only; a key whose security
// denies access refuses every open on NT and nothing on 9x, which keeps no
// security.
TEST(SimRegistryRead, TheAAndWFunctionsOnEitherFamily) {
    struct Row {
        sim::Family family;
        bool wide;
        LONG open;                     // RegOpenKeyEx on HKLM\E
        LONG openDenied;               // ... on HKLM\E\Denied
        LONG openPartRead, openPartQuery;  // ... on HKLM\E\Part: KEY_READ, query and enumerate alone
        DWORD longestSubkey, longestName, longestData;  // RegQueryInfoKey, without terminators
        std::string name, data;        // RegEnumValue of the first value: its name and data as given
    };
    const std::string wideName("\x22\x04\x38\x04\x3F\x04", 6);  // "Тип" in UTF-16LE
    const Row rows[] = {
        {sim::Family::NT, false, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS, 6, 3, 4, "???",
         std::string("t\xE9x\0", 4)},
        {sim::Family::NT, true, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS, 6, 3, 8, wideName,
         std::string("t\0\xE9\0x\0\0\0", 8)},
        {sim::Family::Win9x, false, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, 6, 3, 4, "???",
         std::string("t\xE9x\0", 4)},
        {sim::Family::Win9x, true, ERROR_CALL_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED,
         ERROR_CALL_NOT_IMPLEMENTED, 0, 0, 0, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.family == sim::Family::NT ? "NT" : "9x") << (row.wide ? " W" : " A"));
        sim::Machine m = UsbMachine(row.family);
        m.registry.SetString("HKLM\\E", "Тип", "t\xE9x");  // code-page bytes
        m.registry.SetDword("HKLM\\E", "n", 1);
        m.registry.Create("HKLM\\E\\Denied").deniedAccess = sim::kNoAccess;
        // Its security grants query and enumerate, not READ_CONTROL or KEY_NOTIFY (NT).
        m.registry.Create("HKLM\\E\\Part").deniedAccess = READ_CONTROL | KEY_NOTIFY;
        support::ActiveMachine active(m);
        const auto open = [&](const char* path, REGSAM access, HKEY* key) {
            const std::u16string wide(path, path + std::strlen(path));  // ASCII paths
            return row.wide ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, access, key)
                            : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
        };
        HKEY key = nullptr, denied = nullptr;
        EXPECT_EQ(row.open, open("E", KEY_READ, &key));
        EXPECT_EQ(row.openDenied, open("E\\Denied", KEY_READ, &denied));
        if (denied != nullptr) RegCloseKey(denied);
        for (const REGSAM access : {REGSAM(KEY_READ), REGSAM(KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS)}) {
            HKEY part = nullptr;
            EXPECT_EQ(access == KEY_READ ? row.openPartRead : row.openPartQuery, open("E\\Part", access, &part)) << access;
            if (part != nullptr) RegCloseKey(part);
        }
        if (key == nullptr) continue;
        DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
        EXPECT_EQ(ERROR_SUCCESS, row.wide ? RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr,
                                                             &values, &longestName, &longestData, nullptr, nullptr)
                                          : RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr,
                                                             &values, &longestName, &longestData, nullptr, nullptr));
        EXPECT_EQ(2u, subkeys);
        EXPECT_EQ(2u, values);
        EXPECT_EQ(row.longestSubkey, longestSubkey);
        EXPECT_EQ(row.longestName, longestName);
        EXPECT_EQ(row.longestData, longestData);
        // Too small a name buffer: nothing written, the data size left alone;
        // too small a data buffer: the size needed and the buffer scribbled.
        const size_t unit = row.wide ? 2 : 1;
        for (const DWORD cch : {DWORD(3), DWORD(4)})
            for (const DWORD bytes : {static_cast<DWORD>(row.data.size() - 1), static_cast<DWORD>(row.data.size())}) {
                char name[16], data[16];
                std::memset(name, 'g', sizeof name);
                std::memset(data, 'g', sizeof data);
                DWORD nameLength = cch, size = bytes, type = 0;
                const LONG result = row.wide ? RegEnumValueW(key, 0, reinterpret_cast<LPWSTR>(name), &nameLength, nullptr,
                                                             &type, reinterpret_cast<LPBYTE>(data), &size)
                                             : RegEnumValueA(key, 0, name, &nameLength, nullptr, &type,
                                                             reinterpret_cast<LPBYTE>(data), &size);
                const bool fits = cch == 4 && bytes == row.data.size();
                EXPECT_EQ(fits ? ERROR_SUCCESS : ERROR_MORE_DATA, result) << cch << " " << bytes;
                EXPECT_EQ(fits ? 3u : cch, nameLength);
                EXPECT_EQ(cch == 3 ? bytes : row.data.size(), size);
                const std::string written = fits ? row.name + std::string(unit, '\0') : "";
                EXPECT_EQ(written + std::string(sizeof name - written.size(), 'g'), std::string(name, sizeof name));
                const std::string filled = fits ? row.data : cch == 3 ? "" : std::string(bytes, '\xCD');
                EXPECT_EQ(filled + std::string(sizeof data - filled.size(), 'g'), std::string(data, sizeof data));
            }
        RegCloseKey(key);
    }
}

TEST(SimRegistrySet, CreatesReplacesAndLogsOldAndNewValues) {
    const std::string service = "HKLM\\System\\CS1\\Services\\USBSTOR";
    sim::Machine m;
    m.registry.SetString(service, "ImagePath", "old.sys");
    m.registry.Create("HKLM\\Icons\\C\\DefaultIcon");
    sim::Registry expected = m.registry;
    expected.SetString(service, "ImagePath", "new.sys", REG_EXPAND_SZ);  // keeps its name's case
    expected.SetValue("HKLM\\Icons\\C\\DefaultIcon", "", REG_SZ, {});
    support::ActiveMachine active(m);

    HKEY key = Open(HKEY_LOCAL_MACHINE, "System\\CS1\\Services\\USBSTOR");
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "imagepath", 0, REG_EXPAND_SZ,
                                            reinterpret_cast<const BYTE*>("new.sys"), 8));
    RegCloseKey(key);
    key = Open(HKEY_LOCAL_MACHINE, "Icons\\C\\DefaultIcon");
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ, nullptr, 0));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(nullptr, nullptr, 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(image::RegistryText(expected), image::RegistryText(m.registry));

    const auto events = m.EventsOf(Api::RegSetValueExA);
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\System\\CS1\\Services\\USBSTOR", events[0].target);
    EXPECT_EQ("imagepath", events[0].valueName);
    const auto text = [](const char* t) { return sim::ValueData(t, t + std::strlen(t) + 1); };
    EXPECT_EQ((sim::RegValue{"imagepath", REG_EXPAND_SZ, text("new.sys")}), events[0].newValue);
    EXPECT_EQ((sim::RegValue{"ImagePath", REG_SZ, text("old.sys")}), events[0].oldValue);
    EXPECT_FALSE(events[1].oldValue);
    EXPECT_EQ((sim::RegValue{"", REG_SZ, {}}), events[1].newValue);
    EXPECT_FALSE(events[2].ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), events[2].error);
}

TEST(SimRegistryHandles, DeletedKeysAnswerKeyDeletedUntilClosed) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    support::ActiveMachine active(m);
    HKEY sn1 = Open(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1\\SN1");
    HKEY params = Open(sn1, "Device Parameters");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1"));
    char buffer[256];
    DWORD size = sizeof buffer;
    HKEY other = nullptr;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(sn1, "Driver", nullptr, nullptr,
                                                  reinterpret_cast<LPBYTE>(buffer), &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(sn1, 0, buffer, sizeof buffer));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyA(params, "", &other));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExA(params, "Mode", 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(ERROR_KEY_DELETED, RegDeleteKeyA(sn1, "Device Parameters"));
    EXPECT_EQ(2u, m.OpenHandles().keys);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(params));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(sn1));
    EXPECT_EQ(0u, m.OpenHandles().keys);
    EXPECT_EQ("key HKEY_LOCAL_MACHINE\nkey HKEY_LOCAL_MACHINE\\Enum\nkey HKEY_LOCAL_MACHINE\\Enum\\USB\n"
              "key HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_2\n",
              image::RegistryText(m.registry));
}

TEST(SimRegistryFaults, NthCallFailsOnceOrFromThenOn) {
    for (bool persistent : {false, true}) {
        SCOPED_TRACE(persistent);
        sim::Machine m = UsbMachine(sim::Family::NT);
        m.InjectFault({Api::RegOpenKeyA, 2, persistent, ERROR_CANTREAD});
        support::ActiveMachine active(m);
        HKEY keys[3] = {nullptr, reinterpret_cast<HKEY>(0x77), nullptr};
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[0]));
        EXPECT_EQ(ERROR_CANTREAD, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[1]));
        EXPECT_EQ(nullptr, keys[1]);
        EXPECT_EQ(persistent ? ERROR_CANTREAD : ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[2]));
        EXPECT_EQ(persistent ? 1u : 2u, m.OpenHandles().keys);
        for (HKEY key : keys)
            if (key != nullptr) RegCloseKey(key);
        EXPECT_EQ(0u, m.OpenHandles().keys);
    }
}

TEST(SimRegistryFaults, EachFunctionFailsInItsOwnConvention) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    const std::string before = image::RegistryText(m.registry);
    for (const Api f : {Api::RegEnumKeyA, Api::RegEnumKeyExA, Api::RegQueryValueExA,
                        Api::RegSetValueExA, Api::RegDeleteKeyA, Api::RegCloseKey})
        m.InjectFault({f, 1, true, ERROR_REGISTRY_IO_FAILED});
    support::ActiveMachine active(m);
    HKEY key = Open(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_1\\SN1");
    char name[256];
    DWORD cch = sizeof name;
    DWORD size = sizeof name;
    const LONG failed = ERROR_REGISTRY_IO_FAILED;
    EXPECT_EQ(failed, RegEnumKeyA(key, 0, name, sizeof name));
    EXPECT_EQ(failed, RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(failed, RegQueryValueExA(key, "Driver", nullptr, nullptr, reinterpret_cast<LPBYTE>(name), &size));
    EXPECT_EQ(failed, RegSetValueExA(key, "Driver", 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(failed, RegDeleteKeyA(key, "Device Parameters"));
    EXPECT_EQ(failed, RegCloseKey(key));
    EXPECT_EQ(0u, m.OpenHandles().keys);  // released all the same
    EXPECT_EQ(before, image::RegistryText(m.registry));
    ASSERT_EQ(2u, m.events.size());
    EXPECT_FALSE(m.events[0].ok || m.events[1].ok);
}

// Copies, and a registry moved out of a machine, stand alone: each keeps its
// keys and values after the machine it came from is gone; the machine left
// with an empty registry can still use it.
TEST(SimRegistryTree, CopiesAreIndependent) {
    std::string before;
    sim::Machine copy;
    sim::Registry assigned, moved;
    {
        sim::Machine original = UsbMachine(sim::Family::Win9x);
        before = image::RegistryText(original.registry);
        copy = original;
        copy.registry.SetString(kSn1, "Driver", "changed");
        copy.registry.DeleteTree("HKLM\\Enum\\USB\\VID_2");
        assigned = original.registry;
        assigned.Create("HKCU\\Software");
        EXPECT_EQ(before, image::RegistryText(original.registry));
        EXPECT_FALSE(original.registry.Exists("HKCU\\Software"));
        moved = std::move(original.registry);
        EXPECT_EQ(image::RegistryText(sim::Registry()), image::RegistryText(original.registry));
        original.registry.SetString(kSn1, "Driver", "new");
        EXPECT_EQ(original.registry.GetString(kSn1, "Driver"), "new");
    }
    EXPECT_EQ(before, image::RegistryText(moved));
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1", sim::KeyPath(*copy.registry.Find(kSn1)->parent));
    EXPECT_EQ(copy.registry.GetString(kSn1, "Driver"), "changed");
    EXPECT_FALSE(copy.registry.Exists("hklm\\enum\\usb\\vid_2"));
    EXPECT_TRUE(assigned.Exists("HKCU\\Software"));
    EXPECT_EQ(assigned.GetString(kSn1, "Driver"), moved.GetString(kSn1, "Driver"));
}

TEST(SimRegistryTree, TextIsTheSameWhateverTheOrderOfCreation) {
    sim::Registry a;
    a.SetString("HKEY_LOCAL_MACHINE\\Software\\B", "Text", "a\"b");
    a.SetDword("HKLM\\Software\\a", "Flags", 0x12345678);
    a.SetValue("HKLM\\Software\\a", "", REG_BINARY, {0x01, 0xFF});
    a.SetValue("HKCU\\X", "Empty", REG_SZ, {});
    sim::Registry b;
    b.SetValue("HKCU\\X", "Empty", REG_SZ, {});
    b.SetValue("HKLM\\Software\\a", "Flags", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
    b.SetValue("HKLM\\Software\\a", "", REG_BINARY, {0x01, 0xFF});
    b.SetString("HKLM\\Software\\B", "Text", "a\"b");
    EXPECT_EQ(image::RegistryText(a), image::RegistryText(b));
    EXPECT_EQ("key HKEY_CURRENT_USER\n"
              "key HKEY_CURRENT_USER\\X\n"
              "key HKEY_LOCAL_MACHINE\n"
              "key HKEY_LOCAL_MACHINE\\Software\n"
              "key HKEY_LOCAL_MACHINE\\Software\\B\n"
              "key HKEY_LOCAL_MACHINE\\Software\\a = values \"Flags\", @\n"
              "value HKEY_CURRENT_USER\\X | \"Empty\" = REG_SZ (no data)\n"
              "value HKEY_LOCAL_MACHINE\\Software\\B | \"Text\" = REG_SZ \"a\\\"b\"\n"
              "value HKEY_LOCAL_MACHINE\\Software\\a | \"Flags\" = REG_DWORD 0x12345678 (305419896)\n"
              "value HKEY_LOCAL_MACHINE\\Software\\a | @ = REG_BINARY 01,ff\n",
              image::RegistryText(a));
    EXPECT_EQ("a\"b", a.GetString("hklm\\software\\b", "TEXT"));
    EXPECT_TRUE(a.DeleteValue("HKLM\\Software\\a", "flags"));
    EXPECT_FALSE(a.DeleteTree("HKLM"));
    EXPECT_EQ(std::vector<std::string>({"a", "B"}), a.SubkeyNames("HKLM\\Software"));
}

}  // namespace
