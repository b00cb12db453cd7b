// The simulated SETUPAPI device walk and removal against a small machine:
// present devices, their classes and ids, and what a removal deletes.
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/call_result.h"
#include "support/package_machine.h"

#include "image/machine_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

using sim::Api;
using support::kDiskGuid;
using support::kHdcGuid;
using support::kUsbGuid;

namespace {

// Every element of a set as "instance id|class GUID".
std::vector<std::string> Walk(HDEVINFO set) {
    std::vector<std::string> out;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        char id[256] = {};
        SetupDiGetDeviceInstanceIdA(set, &data, id, 256, nullptr);
        out.push_back(std::string(id) + "|" + sim::GuidText(data.ClassGuid));
    }
    return out;
}

SP_DEVINFO_DATA Element(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, index, &data));
    return data;
}

// A machine of either family with present devices (SN01, class from its
// key; PCI\VEN_1\1, whose key spells its id in lower case; a device without
// class; a disk whose class comes with the device) and hardware keys of devices installed but not present (SN02, SN04)
// beside keys that are no such device: one naming no class ("Class" alone),
// one above and one below the instance level, one in the other family's
// hardware tree. Keys are created in name order, so the order the registry
// enumerates them is the same on both families.
sim::Machine MachineWithAbsentDevices(sim::Family family) {
    sim::Machine m = family == sim::Family::NT ? sim::MakeWindows2000("Service Pack 2") : sim::MakeWindows98();
    sim::Registry& r = m.registry;
    const std::string usb = m.HardwareKeyPath("USB\\VID_1234&PID_5678\\");
    r.SetString(m.HardwareKeyPath("pci\\ven_1\\1"), "ClassGUID", kUsbGuid);
    r.SetString(m.HardwareKeyPath("USB\\VID_1"), "ClassGUID", kHdcGuid);
    r.SetString(usb + "SN01", "ClassGUID", kHdcGuid);
    r.SetString(usb + "SN02", "Class", "hdc");
    r.SetString(usb + "SN02", "ClassGUID", kHdcGuid);
    r.SetString(usb + "SN02", "DeviceDesc", "Zav Bridge, unplugged");
    r.SetString(usb + "SN02\\Device Parameters", "ClassGUID", kHdcGuid);
    r.SetString(usb + "SN03", "Class", "hdc");
    r.SetString(usb + "SN04", "ClassGUID", kUsbGuid);
    r.SetString(family == sim::Family::NT ? "HKLM\\Enum\\USB\\VID_1234&PID_5678\\SN05"
                                          : "HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\SN05",
                "ClassGUID", kHdcGuid);
    m.devices.push_back({"USB\\VID_1234&PID_5678\\SN01", std::nullopt, std::nullopt});
    m.devices.push_back({"PCI\\VEN_1\\1", std::nullopt, std::nullopt});
    m.devices.push_back({"ROOT\\UNKNOWN\\0000", std::nullopt, std::nullopt});
    m.devices.push_back({"SCSI\\DISK&VEN_X\\USB&VID_1234&PID_5678&SN0100", sim::ParseGuid(kDiskGuid),
                         std::string("Zav Disk")});
    return m;
}

// The flags of the device list: DIGCF_PRESENT leaves out the devices that
// are installed but not present, which otherwise follow the present ones;
// a class and an enumerator filter both kinds; flags that Windows does not
// document, or documents for device interfaces only, are refused. A walk
// ends with ERROR_NO_MORE_ITEMS; an element of the wrong size and a list
// destroyed are refused.
TEST(SetupApiDevices, PresentAndInstalledDevicesByFlags) {
    struct Row {
        const char* name;
        DWORD flags;
        const char* classGuid;   // nullptr: none
        const char* enumerator;  // nullptr: none
        std::vector<std::string> listed;  // "id|class"; empty with `error` set
        DWORD error;
    };
    const std::string sn01 = std::string("USB\\VID_1234&PID_5678\\SN01|") + kHdcGuid;
    const std::string pci = std::string("PCI\\VEN_1\\1|") + kUsbGuid;
    const std::string unknown = "ROOT\\UNKNOWN\\0000|{00000000-0000-0000-0000-000000000000}";
    const std::string sn02 = std::string("USB\\VID_1234&PID_5678\\SN02|") + kHdcGuid;
    const std::string sn04 = std::string("USB\\VID_1234&PID_5678\\SN04|") + kUsbGuid;
    const std::string disk = std::string("SCSI\\DISK&VEN_X\\USB&VID_1234&PID_5678&SN0100|") + kDiskGuid;
    const Row rows[] = {
        {"present, all classes", DIGCF_PRESENT | DIGCF_ALLCLASSES, nullptr, nullptr, {sn01, pci, unknown, disk}, 0},
        {"installed, all classes", DIGCF_ALLCLASSES, nullptr, nullptr, {sn01, pci, unknown, disk, sn02, sn04}, 0},
        {"installed, one class", 0, kHdcGuid, nullptr, {sn01, sn02}, 0},
        {"present, one class", DIGCF_PRESENT, kHdcGuid, nullptr, {sn01}, 0},
        {"present, the class given with the device", DIGCF_PRESENT, kDiskGuid, nullptr, {disk}, 0},
        {"installed, one enumerator", DIGCF_ALLCLASSES, nullptr, "usb", {sn01, sn02, sn04}, 0},
        {"present, the one hardware profile", DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE, nullptr,
         nullptr, {sn01, pci, unknown, disk}, 0},
        {"a class ignored with all classes", DIGCF_ALLCLASSES | DIGCF_PRESENT, kDiskGuid, nullptr,
         {sn01, pci, unknown, disk}, 0},
        {"no class, not all classes", DIGCF_PRESENT, nullptr, nullptr, {}, ERROR_INVALID_PARAMETER},
        {"an undocumented flag", DIGCF_PRESENT | DIGCF_ALLCLASSES | 0x20, nullptr, nullptr, {}, ERROR_INVALID_FLAGS},
        {"the default interface without interfaces", DIGCF_DEFAULT | DIGCF_ALLCLASSES, nullptr, nullptr, {},
         ERROR_INVALID_FLAGS},
        {"device interfaces", DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES, nullptr, nullptr, {},
         ERROR_INVALID_PARAMETER},
    };
    for (sim::Family family : {sim::Family::Win9x, sim::Family::NT}) {
        sim::Machine m = MachineWithAbsentDevices(family);
        const std::string before = image::RegistryText(m.registry);
        support::ActiveMachine active(m);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (family == sim::Family::NT ? " (NT)" : " (9x)"));
            const std::optional<GUID> guid = row.classGuid ? sim::ParseGuid(row.classGuid) : std::nullopt;
            SetLastError(0);
            HDEVINFO set = SetupDiGetClassDevsA(guid ? &*guid : nullptr, row.enumerator, nullptr, row.flags);
            if (row.error != 0) {
                EXPECT_EQ(set, INVALID_HANDLE_VALUE);
                EXPECT_EQ(GetLastError(), row.error);
                continue;
            }
            ASSERT_NE(set, INVALID_HANDLE_VALUE);
            EXPECT_EQ(Walk(set), row.listed);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            SP_DEVINFO_DATA data{};
            data.cbSize = 32;
            EXPECT_EQ(support::Called(SetupDiEnumDeviceInfo(set, 0, &data)), support::Outcome(ERROR_INVALID_USER_BUFFER));
            EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
            data.cbSize = sizeof data;
            EXPECT_EQ(support::Called(SetupDiEnumDeviceInfo(set, 0, &data)), support::Outcome(ERROR_INVALID_HANDLE));
        }
        EXPECT_EQ(image::RegistryText(m.registry), before);
    }
}

// Instance ids of 253 to 256 characters and descriptions (given, from the
// hardware key, missing) read into a 256-byte buffer, or smaller ones.
TEST(SetupApiDevices, QueryBufferEdges) {
    sim::Machine m = sim::MakeWindows98();
    for (size_t length : {253u, 254u, 255u, 256u})
        m.devices.push_back({"USB\\" + std::string(length - 4, 'I'), std::nullopt, std::nullopt});
    m.devices[0].description = "Zav Disk";
    m.registry.SetString(m.HardwareKeyPath(m.devices[0].instanceId), "DeviceDesc", "Other");
    m.registry.SetString(m.HardwareKeyPath(m.devices[1].instanceId), "DeviceDesc", "GENERIC IDE DISK");
    sim::ActiveMachine active(m);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    struct Row {
        DWORD device;
        DWORD property;  // ~0: the instance id
        DWORD size;
        BOOL ok;
        DWORD error;
        std::string text;
        DWORD required;
    };
    const Row rows[] = {
        {0, ~0u, 256, TRUE, 0, m.devices[0].instanceId, 254},
        {1, ~0u, 256, TRUE, 0, m.devices[1].instanceId, 255},
        {2, ~0u, 256, TRUE, 0, m.devices[2].instanceId, 256},
        {3, ~0u, 256, FALSE, ERROR_INSUFFICIENT_BUFFER, "", 257},
        {0, SPDRP_DEVICEDESC, 256, TRUE, 0, "Zav Disk", 9},
        {1, SPDRP_DEVICEDESC, 17, TRUE, 0, "GENERIC IDE DISK", 17},
        {1, SPDRP_DEVICEDESC, 16, FALSE, ERROR_INSUFFICIENT_BUFFER, "", 17},
        {2, SPDRP_DEVICEDESC, 256, FALSE, ERROR_INVALID_DATA, "", 0},
    };
    for (const Row& row : rows) {
        SP_DEVINFO_DATA data = Element(set, row.device);
        char buffer[300] = {};
        std::memset(buffer + 256, 0x7E, 44);
        DWORD type = 0, required = 0;
        SetLastError(0);
        const BOOL ok =
            row.property == ~0u
                ? SetupDiGetDeviceInstanceIdA(set, &data, buffer, row.size, &required)
                : SetupDiGetDeviceRegistryPropertyA(set, &data, row.property, &type,
                                                    reinterpret_cast<BYTE*>(buffer), row.size,
                                                    &required);
        EXPECT_EQ(ok, row.ok) << row.text;
        EXPECT_EQ(GetLastError(), row.error) << row.text;
        EXPECT_EQ(std::string(buffer), row.text);
        EXPECT_EQ(required, row.required) << row.text;
        EXPECT_EQ(std::string(buffer + 256, 44), std::string(44, '\x7E')) << row.text;
        if (row.property == SPDRP_DEVICEDESC && row.required != 0) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The package device of a machine of either family, with its hardware key
// (and a subkey), its software key, and a neighbour that must remain, as
// must a key that a driver value climbing out of the class key would name.
// A device that is not present (unplugged) has its keys only, and a device
// list without DIGCF_PRESENT lists it after the neighbour. A driver value
// that names no software key ("", a parent's, an empty segment) takes only
// the hardware key.
struct RemovalCase {
    sim::Family family;
    const char* hardwareKey;
    const char* softwareKey;
    const char* driver;
    bool present;
    bool softwareGoes;
};

sim::Machine MachineFor(const RemovalCase& c) {
    sim::Machine m = c.family == sim::Family::NT ? sim::MakeWindows2000("Service Pack 2")
                                                 : sim::MakeWindows98();
    m.registry.SetString(c.hardwareKey, "Driver", c.driver);
    m.registry.SetString(c.hardwareKey, "ClassGUID", kHdcGuid);
    m.registry.SetString(std::string(c.hardwareKey) + "\\Device Parameters", "x", "1");
    m.registry.SetString(c.softwareKey, "DriverDesc", "Zav Bridge");
    if (c.present) m.devices.push_back({"USB\\VID_1234&PID_5678\\SN01", std::nullopt, std::nullopt});
    std::string neighbourSoftware = c.softwareKey;
    neighbourSoftware.back() = '1';
    m.registry.SetString(m.HardwareKeyPath("USB\\ROOT_HUB\\1"), "Driver", "USB\\0001");
    m.registry.SetString(neighbourSoftware, "DriverDesc", "Root hub");
    m.registry.SetString("HKLM\\System\\CurrentControlSet\\Services\\x", "y", "1");
    m.devices.push_back({"USB\\ROOT_HUB\\1", sim::ParseGuid(kUsbGuid), std::nullopt});
    return m;
}

TEST(SetupApiDevices, RemovalDeletesHardwareAndSoftwareKeys) {
    const char* const nine = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\SN01";
    const char* const nineSoftware = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc\\0000";
    const char* const nt = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\SN01";
    const char* const ntSoftware =
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E96A-E325-11CE-BFC1-08002BE10318}\\0000";
    const char* const ntDriver = "{4D36E96A-E325-11CE-BFC1-08002BE10318}\\0000";
    const RemovalCase cases[] = {
        {sim::Family::Win9x, nine, nineSoftware, "hdc\\0000", true, true},
        {sim::Family::NT, nt, ntSoftware, ntDriver, true, true},
        {sim::Family::Win9x, nine, nineSoftware, "hdc\\0000", false, true},
        {sim::Family::NT, nt, ntSoftware, ntDriver, false, true},
        {sim::Family::Win9x, nine, nineSoftware, "", true, false},
        {sim::Family::Win9x, nine, nineSoftware, "..\\x", true, false},
        {sim::Family::Win9x, nine, nineSoftware, "hdc\\", true, false},
        {sim::Family::Win9x, nine, nineSoftware, "hdc\\\\0000", true, false},
    };
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(std::string(c.hardwareKey) + (c.present ? ", present, " : ", not present, ") + c.driver);
        sim::Machine m = MachineFor(c);
        sim::Machine expected = m;
        std::vector<const char*> deleted = {c.hardwareKey};
        if (c.softwareGoes) deleted.push_back(c.softwareKey);
        for (const char* key : deleted) expected.registry.DeleteTree(key);
        if (c.present) expected.devices.erase(expected.devices.begin());
        const sim::Registry before = m.registry;
        support::ActiveMachine active(m);
        HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr,
                                            c.present ? DIGCF_PRESENT | DIGCF_ALLCLASSES : DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA data = Element(set, c.present ? 0 : 1);
        EXPECT_EQ(sim::GuidText(data.ClassGuid), kHdcGuid);
        // Its properties are its hardware key's values, present or not.
        char driver[256] = {};
        EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DRIVER, nullptr,
                                                      reinterpret_cast<BYTE*>(driver), 256, nullptr));
        EXPECT_EQ(std::string(driver), c.driver);
        ASSERT_TRUE(SetupDiRemoveDevice(set, &data));

        // The device and its keys are gone; the neighbour remains.
        support::ExpectMachine(m, expected);
        ASSERT_EQ(m.events.size(), 1 + deleted.size());
        EXPECT_EQ(m.events[0].api, Api::SetupDiRemoveDevice);
        EXPECT_EQ(m.events[0].target, "USB\\VID_1234&PID_5678\\SN01");
        EXPECT_TRUE(m.events[0].ok);
        for (size_t k = 0; k < deleted.size(); ++k) {
            const sim::Event& e = m.events[k + 1];
            EXPECT_EQ(e.api, Api::DeviceKeyDeleted);
            EXPECT_EQ(e.target, deleted[k]);
            ASSERT_NE(e.deletedKey, nullptr);
            const sim::RegKey* original = before.Find(deleted[k]);
            EXPECT_EQ(e.deletedKey->values, original->values);
            EXPECT_EQ(e.deletedKey->CountKeys(), original->CountKeys());
        }

        // The set keeps the element: indexes stay, the id still reads, the
        // device can't be removed twice or queried.
        EXPECT_EQ(Walk(set).size(), 2u);
        SetLastError(0);
        EXPECT_EQ(support::Called(SetupDiRemoveDevice(set, &data)), support::Outcome(ERROR_NO_SUCH_DEVINST));
        BYTE buffer[256];
        EXPECT_EQ(support::Called(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, buffer, 256, nullptr)),
                  support::Outcome(ERROR_NO_SUCH_DEVINST));
        EXPECT_FALSE(m.events.back().ok);
        EXPECT_EQ(m.events.back().error, ERROR_NO_SUCH_DEVINST);
        support::ExpectMachine(m, expected);
        SetupDiDestroyDeviceInfoList(set);
    }
}

TEST(SetupApiDevices, InjectedFaultsFailInTheSetupApiConvention) {
    sim::Machine m = MachineWithAbsentDevices(sim::Family::Win9x);
    const sim::Registry before = m.registry;
    m.InjectFault({Api::SetupDiGetClassDevsA, 1, false, ERROR_NOT_ENOUGH_MEMORY, false});
    m.InjectFault({Api::SetupDiEnumDeviceInfo, 2, false, ERROR_GEN_FAILURE, false});
    m.InjectFault({Api::SetupDiRemoveDevice, 1, false, ERROR_ACCESS_DENIED, false});
    support::ActiveMachine active(m);

    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(m.OpenHandles().Total(), 0u);

    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    // The second enumeration call fails: a walk ends after one element.
    EXPECT_EQ(Walk(set).size(), 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));

    SP_DEVINFO_DATA data = Element(set, 0);
    EXPECT_EQ(support::Called(SetupDiRemoveDevice(set, &data)), support::Outcome(ERROR_ACCESS_DENIED));
    ASSERT_EQ(m.events.size(), 1u);
    EXPECT_EQ(m.events[0].target, "USB\\VID_1234&PID_5678\\SN01");
    EXPECT_FALSE(m.events[0].ok);
    EXPECT_EQ(m.events[0].error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m.devices.size(), 4u);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(before));
    EXPECT_TRUE(SetupDiRemoveDevice(set, &data));  // the fault was for the first call only
    SetupDiDestroyDeviceInfoList(set);
}

// A Windows 98 without setupapi.dll: the program's run-time lookup finds no
// call, and every one fails in its own way with ERROR_CALL_NOT_IMPLEMENTED;
// nothing is opened or changed.
TEST(SetupApiDevices, WithoutTheLibraryEveryCallFailsAsTheLookupMakesIt) {
    sim::Machine m = MachineWithAbsentDevices(sim::Family::Win9x);
    sim::RemoveLibrary(m, "SETUPAPI");
    const sim::Registry before = m.registry;
    support::ActiveMachine active(m);
    INFCONTEXT context{};
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    char buffer[256] = {};
    GUID guid{};
    DWORD size = 0;
    HDEVINFO set = reinterpret_cast<HDEVINFO>(0x1000);
    struct Row {
        Api call;
        std::function<bool()> failed;  // the call made: whether it gave its failure value
    };
    const Row rows[] = {
        {Api::SetupOpenInfFileA,
         [&] { return SetupOpenInfFileA("USBZAV03.inf", nullptr, INF_STYLE_WIN4, nullptr) == INVALID_HANDLE_VALUE; }},
        {Api::SetupGetLineByIndexA, [&] { return !SetupGetLineByIndexA(nullptr, "S", 0, &context); }},
        {Api::SetupGetLineTextA,
         [&] { return !SetupGetLineTextA(&context, nullptr, nullptr, nullptr, buffer, 256, &size); }},
        {Api::SetupCloseInfFile, [&] { return SetupCloseInfFile(nullptr), true; }},
        {Api::SetupDiGetINFClassA, [&] { return !SetupDiGetINFClassA("USBZAV03.inf", &guid, buffer, 256, &size); }},
        {Api::SetupDiClassGuidsFromNameExA,
         [&] { return !SetupDiClassGuidsFromNameExA("hdc", &guid, 1, &size, nullptr, nullptr); }},
        {Api::SetupDiGetClassDevsA,
         [&] { return SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES) ==
                      INVALID_HANDLE_VALUE; }},
        {Api::SetupDiEnumDeviceInfo, [&] { return !SetupDiEnumDeviceInfo(set, 0, &data); }},
        {Api::SetupDiGetDeviceInstanceIdA, [&] { return !SetupDiGetDeviceInstanceIdA(set, &data, buffer, 256, &size); }},
        {Api::SetupDiGetDeviceRegistryPropertyA,
         [&] {
             return !SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr,
                                                       reinterpret_cast<BYTE*>(buffer), 256, &size);
         }},
        {Api::SetupDiRemoveDevice, [&] { return !SetupDiRemoveDevice(set, &data); }},
        {Api::SetupDiDestroyDeviceInfoList, [&] { return !SetupDiDestroyDeviceInfoList(set); }},
    };
    std::set<Api> covered;
    for (const Row& row : rows) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(row.failed()) << row.call;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << row.call;
        covered.insert(row.call);
    }
    for (size_t i = 0; i < sim::kCallCount; ++i) {
        if (std::string(sim::LibraryOf(sim::CallAt(i))) == "SETUPAPI") {
            EXPECT_EQ(covered.count(sim::CallAt(i)), 1u) << sim::CallAt(i) << " has no row";
        }
    }
    EXPECT_EQ(m.OpenHandles().Total(), 0u);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(before));
    EXPECT_EQ(m.devices.size(), 4u);
}

}  // namespace
