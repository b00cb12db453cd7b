// The simulated registry: the key tree and the ADVAPI32 calls the program
// makes on it, with the behaviour of each Windows family.
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char* const kUsb = "HKLM\\Enum\\USB";

// HKLM\Enum\USB\VID_1\SN1 with two values and a child key; a sibling VID_2.
sim::Machine UsbMachine(sim::Family family) {
    sim::Machine m;
    m.family = family;
    m.registry.SetString("HKLM\\Enum\\USB\\VID_1\\SN1", "Driver", "USB\\0001");
    m.registry.SetDword("HKLM\\Enum\\USB\\VID_1\\SN1", "ConfigFlags", 0);
    m.registry.SetString("HKLM\\Enum\\USB\\VID_1\\SN1\\Device Parameters", "Mode", "x");
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
        bool removed;
    };
    const Row rows[] = {
        {sim::Family::Win9x, "Enum\\USB\\VID_1\\SN1", ERROR_SUCCESS, true},
        {sim::Family::NT, "Enum\\USB\\VID_1\\SN1", ERROR_ACCESS_DENIED, false},
        {sim::Family::NT, "Enum\\USB\\VID_1\\SN1\\Device Parameters", ERROR_SUCCESS, true},
        {sim::Family::Win9x, "enum\\usb\\vid_1\\sn1\\", ERROR_SUCCESS, true},
        {sim::Family::Win9x, "Enum\\USB\\VID_3", ERROR_FILE_NOT_FOUND, false},
        {sim::Family::Win9x, "\\Enum\\USB\\VID_1", ERROR_BAD_PATHNAME, false},
        {sim::Family::Win9x, "", ERROR_ACCESS_DENIED, false},  // HKLM itself
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subKey);
        sim::Machine m = UsbMachine(row.family);
        sim::Registry expected = m.registry;
        if (row.removed) expected.DeleteTree(std::string("HKLM\\") + row.subKey);
        sim::ActiveMachine active(m);
        EXPECT_EQ(row.result, RegDeleteKeyA(HKEY_LOCAL_MACHINE, row.subKey));
        EXPECT_EQ(expected.Dump(), m.registry.Dump());
        // Only the named key goes: its parent stays, also left without subkeys.
        EXPECT_TRUE(m.registry.Exists("HKLM\\Enum\\USB\\VID_1"));
        ASSERT_EQ(1u, m.events.size());
        EXPECT_EQ(row.result == ERROR_SUCCESS, m.events[0].ok);
        EXPECT_EQ(static_cast<DWORD>(row.result), m.events[0].error);
    }
}

TEST(SimRegistryDelete, EventCarriesTheSubtreeAsItWas) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    sim::ActiveMachine active(m);
    HKEY usb = Open(HKEY_LOCAL_MACHINE, "Enum\\USB");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(usb, "vid_1\\sn1"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(usb, "VID_1\\SN1\\Device Parameters"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(usb));

    const auto events = m.EventsOf("RegDeleteKeyA");
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
        const char* opened;  // KeyPath of the opened key
    };
    const Row rows[] = {
        {"Enum\\USB", ERROR_SUCCESS, "HKEY_LOCAL_MACHINE\\Enum\\USB"},
        {"Enum\\USB\\", ERROR_SUCCESS, "HKEY_LOCAL_MACHINE\\Enum\\USB"},
        {"ENUM\\usb\\Vid_1", ERROR_SUCCESS, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1"},
        {"\\Enum\\USB", ERROR_BAD_PATHNAME, nullptr},
        {"Enum\\\\USB", ERROR_FILE_NOT_FOUND, nullptr},
        {"Enum\\USB\\VID_9", ERROR_FILE_NOT_FOUND, nullptr},
        {"Enum\\USB\\VID_1\\SN1\\Device Parameters\\", ERROR_SUCCESS,
         "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\SN1\\Device Parameters"},
    };
    sim::Machine m = UsbMachine(sim::Family::NT);
    sim::ActiveMachine active(m);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.subKey);
        HKEY key = reinterpret_cast<HKEY>(0x77);  // overwritten on every outcome
        EXPECT_EQ(row.result, RegOpenKeyA(HKEY_LOCAL_MACHINE, row.subKey, &key));
        if (row.opened == nullptr) {
            EXPECT_EQ(nullptr, key);
            EXPECT_EQ(0u, m.OpenHandles().keys);
            continue;
        }
        EXPECT_EQ(1u, m.OpenHandles().keys);
        // Enumerating the parent through a second handle proves the key is the right one.
        DWORD type = 0;
        char data[16] = {};
        DWORD size = sizeof data;
        RegQueryValueExA(key, "Mode", nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
        EXPECT_EQ(0u, m.OpenHandles().keys);
        EXPECT_TRUE(m.registry.Exists(row.opened));
    }
    EXPECT_TRUE(m.events.empty());  // opens change nothing
}

TEST(SimRegistryOpen, EmptySubPathReturnsTheHandlePassedIn) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    sim::ActiveMachine active(m);
    HKEY root = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "", &root));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    HKEY usb = Open(HKEY_LOCAL_MACHINE, kUsb + 5);
    HKEY same = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(usb, nullptr, &same));
    EXPECT_EQ(usb, same);
    EXPECT_EQ(1u, m.OpenHandles().keys);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(usb));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(same));  // the same handle, already closed
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyA(reinterpret_cast<HKEY>(0x1234), "Enum", &same));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyA(nullptr, "Enum", &same));
    EXPECT_EQ(0u, m.OpenHandles().Total());
}

TEST(SimRegistryEnum, SortedCaseInsensitivelyAndEndsWithNoMoreItems) {
    sim::Machine m;
    for (const char* name : {"b", "A", "Ccc", "a2", "B1"}) m.registry.Create(std::string(kUsb) + "\\" + name);
    m.registry.Create("hklm\\ENUM\\usb\\a");  // the same key as "A": nothing new, case kept
    sim::ActiveMachine active(m);
    HKEY usb = Open(HKEY_LOCAL_MACHINE, "Enum\\USB");
    const char* const expected[] = {"A", "a2", "b", "B1", "Ccc"};
    for (DWORD i = 0; i < 5; ++i) {
        char name[256] = {};
        EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyA(usb, i, name, sizeof name));
        EXPECT_STREQ(expected[i], name);
        char nameEx[256] = {};
        DWORD cch = sizeof nameEx;
        FILETIME time;
        EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(usb, i, nameEx, &cch, nullptr, nullptr, nullptr, &time));
        EXPECT_STREQ(expected[i], nameEx);
        EXPECT_EQ(std::strlen(expected[i]), cch);
    }
    char name[256];
    DWORD cch = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(usb, 5, name, sizeof name));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(usb, 5, name, &cch, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(usb);
}

TEST(SimRegistryEnum, NameThatDoesNotFitWritesNothing) {
    sim::Machine m;
    m.registry.Create("HKLM\\Enum\\ABCDEFGH");
    sim::ActiveMachine active(m);
    HKEY key = Open(HKEY_LOCAL_MACHINE, "Enum");
    struct Row {
        DWORD cch;
        LONG result;
    };
    for (const Row& row : {Row{8, ERROR_MORE_DATA}, Row{9, ERROR_SUCCESS}}) {
        SCOPED_TRACE(row.cch);
        char buffer[16];
        std::memset(buffer, 'g', sizeof buffer);
        EXPECT_EQ(row.result, RegEnumKeyA(key, 0, buffer, row.cch));
        if (row.result == ERROR_SUCCESS) {
            EXPECT_STREQ("ABCDEFGH", buffer);
        } else {
            EXPECT_EQ(std::string(16, 'g'), std::string(buffer, 16));
        }
        for (size_t i = row.cch; i < sizeof buffer; ++i) EXPECT_EQ('g', buffer[i]);

        std::memset(buffer, 'g', sizeof buffer);
        DWORD cch = row.cch;
        EXPECT_EQ(row.result, RegEnumKeyExA(key, 0, buffer, &cch, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(row.result == ERROR_SUCCESS ? 8u : row.cch, cch);  // changed only on success
        for (size_t i = row.cch; i < sizeof buffer; ++i) EXPECT_EQ('g', buffer[i]);
    }
    RegCloseKey(key);
}

TEST(SimRegistryQuery, SizesMissingValuesAndTheScribbledBuffer) {
    sim::Machine m;
    m.registry.SetString(kUsb, "Driver", "USB\\0001");  // 9 bytes with its terminator
    m.registry.SetString(kUsb, "", "default");
    sim::ActiveMachine active(m);
    HKEY key = Open(HKEY_LOCAL_MACHINE, "Enum\\USB");

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
        {"", 256, ERROR_SUCCESS, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name == nullptr ? "(null)" : row.name);
        uint8_t buffer[300];
        std::memset(buffer, 0, sizeof buffer);
        DWORD size = row.size;
        DWORD type = 99;
        EXPECT_EQ(row.result, RegQueryValueExA(key, row.name, nullptr, &type, buffer, &size));
        EXPECT_EQ(row.sizeAfter, size);
        if (row.result == ERROR_MORE_DATA) {
            for (DWORD i = 0; i < row.size; ++i) EXPECT_EQ(0xCD, buffer[i]) << i;
        }
        for (size_t i = row.size; i < sizeof buffer && row.result != ERROR_SUCCESS; ++i)
            EXPECT_EQ(0, buffer[i]) << i;
        if (row.result == ERROR_SUCCESS) {
            EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
            EXPECT_EQ(0, buffer[size - 1]);
            EXPECT_EQ(0, buffer[size]);  // nothing beyond the value
        }
    }
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Driver", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(9u, size);
    RegCloseKey(key);
}

TEST(SimRegistrySet, CreatesReplacesAndLogsOldAndNewValues) {
    sim::Machine m;
    m.registry.SetString("HKLM\\System\\CS1\\Services\\USBSTOR", "ImagePath", "old.sys");
    m.registry.Create("HKLM\\Icons\\C\\DefaultIcon");
    sim::Registry expected = m.registry;
    expected.SetString("HKLM\\System\\CS1\\Services\\USBSTOR", "ImagePath", "new.sys", REG_EXPAND_SZ);
    expected.SetValue("HKLM\\Icons\\C\\DefaultIcon", "", REG_SZ, {});
    sim::ActiveMachine active(m);

    HKEY service = Open(HKEY_LOCAL_MACHINE, "System\\CS1\\Services\\USBSTOR");
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(service, "imagepath", 0, REG_EXPAND_SZ,
                                            reinterpret_cast<const BYTE*>("new.sys"), 8));
    HKEY icon = Open(HKEY_LOCAL_MACHINE, "Icons\\C\\DefaultIcon");
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(icon, nullptr, 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(nullptr, nullptr, 0, REG_SZ, nullptr, 0));
    RegCloseKey(service);
    RegCloseKey(icon);

    EXPECT_EQ(expected.Dump(), m.registry.Dump());  // the value keeps the name it was created with
    const auto events = m.EventsOf("RegSetValueExA");
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\System\\CS1\\Services\\USBSTOR", events[0].target);
    EXPECT_EQ("imagepath", events[0].text);
    ASSERT_TRUE(events[0].oldValue && events[0].newValue);
    EXPECT_EQ(*expected.GetValue("HKLM\\System\\CS1\\Services\\USBSTOR", "ImagePath"),
              (sim::RegValue{"ImagePath", REG_EXPAND_SZ, events[0].newValue->data}));
    EXPECT_EQ("old.sys", std::string(events[0].oldValue->data.begin(), events[0].oldValue->data.end() - 1));
    EXPECT_FALSE(events[1].oldValue);
    EXPECT_TRUE(events[1].newValue->data.empty());
    EXPECT_FALSE(events[2].ok);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), events[2].error);
}

TEST(SimRegistryHandles, DeletedKeysAnswerKeyDeletedUntilClosed) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    sim::ActiveMachine active(m);
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
    EXPECT_EQ("HKEY_LOCAL_MACHINE\nHKEY_LOCAL_MACHINE\\Enum\nHKEY_LOCAL_MACHINE\\Enum\\USB\n"
              "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_2\n",
              m.registry.Dump());
}

TEST(SimRegistryFaults, NthCallFailsOnceOrFromThenOn) {
    struct Row {
        bool persistent;
        LONG third;
    };
    for (const Row& row : {Row{false, ERROR_SUCCESS}, Row{true, ERROR_CANTREAD}}) {
        SCOPED_TRACE(row.persistent);
        sim::Machine m = UsbMachine(sim::Family::NT);
        m.InjectFault({"RegOpenKeyA", 2, row.persistent, ERROR_CANTREAD});
        sim::ActiveMachine active(m);
        HKEY keys[3] = {};
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[0]));
        keys[1] = reinterpret_cast<HKEY>(0x77);
        EXPECT_EQ(ERROR_CANTREAD, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[1]));
        EXPECT_EQ(nullptr, keys[1]);
        EXPECT_EQ(row.third, RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum", &keys[2]));
        EXPECT_EQ(row.persistent ? 1u : 2u, m.OpenHandles().keys);
        for (HKEY key : keys)
            if (key != nullptr) RegCloseKey(key);
        EXPECT_EQ(0u, m.OpenHandles().keys);
        EXPECT_EQ(3u, m.callCounts["RegOpenKeyA"]);
    }
}

TEST(SimRegistryFaults, EachFunctionFailsInItsOwnConvention) {
    sim::Machine m = UsbMachine(sim::Family::Win9x);
    const sim::Registry before = m.registry;
    for (const char* f : {"RegEnumKeyA", "RegEnumKeyExA", "RegQueryValueExA", "RegSetValueExA",
                          "RegDeleteKeyA", "RegCloseKey"})
        m.InjectFault({f, 1, true, ERROR_REGISTRY_IO_FAILED});
    sim::ActiveMachine active(m);
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
    // The handle is released all the same, as the kernel closes a valid handle.
    EXPECT_EQ(failed, RegCloseKey(key));
    EXPECT_EQ(0u, m.OpenHandles().keys);
    EXPECT_EQ(before.Dump(), m.registry.Dump());
    ASSERT_EQ(2u, m.events.size());
    EXPECT_FALSE(m.events[0].ok);
    EXPECT_FALSE(m.events[1].ok);
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\SN1\\Device Parameters", m.events[1].target);
}

TEST(SimRegistryTree, CopiesAreIndependent) {
    sim::Machine original = UsbMachine(sim::Family::Win9x);
    const std::string before = original.registry.Dump();
    sim::Machine copy = original;
    copy.registry.SetString("HKLM\\Enum\\USB\\VID_1\\SN1", "Driver", "changed");
    copy.registry.DeleteTree("HKLM\\Enum\\USB\\VID_2");
    sim::Registry assigned;
    assigned = original.registry;
    assigned.Create("HKCU\\Software");
    EXPECT_EQ(before, original.registry.Dump());
    EXPECT_EQ("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1",
              sim::KeyPath(*copy.registry.Find("HKLM\\Enum\\USB\\VID_1\\SN1")->parent));
    EXPECT_FALSE(original.registry.Exists("HKCU\\Software"));
    EXPECT_FALSE(copy.registry.Exists("hklm\\enum\\usb\\vid_2"));
}

TEST(SimRegistryTree, DumpIsTheSameWhateverTheOrderOfCreation) {
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
    EXPECT_EQ(a.Dump(), b.Dump());
    EXPECT_EQ("HKEY_CURRENT_USER\n"
              "HKEY_CURRENT_USER\\X\n"
              "  \"Empty\" = REG_SZ hex[0]:\n"
              "HKEY_LOCAL_MACHINE\n"
              "HKEY_LOCAL_MACHINE\\Software\n"
              "HKEY_LOCAL_MACHINE\\Software\\a\n"
              "  \"Flags\" = REG_DWORD 0x12345678\n"
              "  @ = REG_BINARY hex[2]: 01 FF\n"
              "HKEY_LOCAL_MACHINE\\Software\\B\n"
              "  \"Text\" = REG_SZ \"a\\\"b\"\n",
              a.Dump());
    EXPECT_EQ("a\"b", a.GetString("hklm\\software\\b", "TEXT"));
    EXPECT_TRUE(a.DeleteValue("HKLM\\Software\\a", "flags"));
    EXPECT_FALSE(a.DeleteTree("HKLM"));
    EXPECT_EQ(std::vector<std::string>({"a", "B"}), a.SubkeyNames("HKLM\\Software"));
}

}  // namespace
