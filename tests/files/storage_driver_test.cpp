// RestoreStorageDriver on Windows 2000: USBSTOR's ImagePath in every control
// set, usbstor.inf and the package's replacement driver.
#include "files/file_bytes.h"
#include "files/files.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using sim::Api;

namespace {

using files_test::Join;
using files_test::kByteOrderMark;
using files_test::Wide;

const char kSet1[] = "HKLM\\System\\ControlSet001\\Services\\USBSTOR";
const char kSet2[] = "HKLM\\System\\ControlSet002\\Services\\USBSTOR";
const char kPackageImage[] = "System32\\DRIVERS\\USBSTORSP3.SYS";
const char kSystemImage[] = "System32\\DRIVERS\\USBSTOR.SYS";
const char kInf[] = "C:\\WINNT\\inf\\usbstor.inf";
const char kPackageDriver[] = "C:\\WINNT\\System32\\DRIVERS\\USBSTORSP3.SYS";
const DWORD kNewFileAttributes = FILE_ATTRIBUTE_ARCHIVE;

std::vector<uint8_t> Inf(const std::string& reference) {
    return Join(kByteOrderMark, Wide("[USBSTOR.AddService]\r\nServiceBinary = " + reference +
                                     "\r\nStartType = 3\r\n"));
}

// Windows 2000 with the package installed: both control sets point USBSTOR
// at the package's driver, and usbstor.inf names it.
sim::Machine InstalledMachine() {
    sim::Machine m = sim::MakeWindows2000("Service Pack 2");
    for (const char* set : {kSet1, kSet2}) {
        m.registry.SetString(set, "ImagePath", kPackageImage);
        m.registry.SetDword(set, "Type", 1);
        m.registry.SetDword(set, "Start", 3);
    }
    m.registry.SetString("HKLM\\System\\ControlSet001\\Services\\Disk", "ImagePath",
                         "System32\\DRIVERS\\disk.sys", REG_EXPAND_SZ);
    m.registry.SetDword("HKLM\\System\\Select", "Current", 1);
    m.registry.SetDword("HKLM\\System\\Select", "LastKnownGood", 2);
    m.registry.SetDword("HKLM\\System\\Setup", "SystemSetupInProgress", 0);
    m.registry.SetString("HKLM\\SOFTWARE\\Vendor", "", "kept");
    m.files.AddFile(kInf, Inf("%12%\\USBSTORSP3.SYS"));
    m.files.AddFile("C:\\WINNT\\inf\\usb.inf", Wide("[Version]"));
    m.files.AddFile(kPackageDriver, std::string("package driver"), FILE_ATTRIBUTE_READONLY);
    m.files.AddFile("C:\\WINNT\\System32\\DRIVERS\\USBSTOR.SYS", std::string("system driver"));
    return m;
}

void Restored(sim::Machine& m, const char* set) {
    m.registry.SetString(set, "ImagePath", kSystemImage, REG_EXPAND_SZ);
}

struct RestoreRow {
    const char* name;
    std::vector<int> selectors;
    bool windowsDirectoryKnown;
    std::function<void(sim::Machine&)> before;    // changes to the installed machine
    std::function<void(sim::Machine&)> expected;  // the expected machine, from the one before
};

TEST(RestoreStorageDriver, Table) {
    const auto both = [](sim::Machine& m) {
        Restored(m, kSet1);
        Restored(m, kSet2);
    };
    const auto infRestored = [](sim::Machine& m) {
        m.files.AddFile(kInf, Inf("%12%\\USBSTOR.SYS"), kNewFileAttributes);
    };
    const auto nothing = [](sim::Machine&) {};
    const RestoreRow rows[] = {
        {"1 then 2: every control set, usbstor.inf, the read-only driver gone",
         {1, 2}, true, nothing,
         [&](sim::Machine& m) {
             both(m);
             infRestored(m);
             m.files.Remove(kPackageDriver);
         }},
        {"missing usbstor.inf is not created", {1, 2}, true,
         [](sim::Machine& m) { m.files.Remove(kInf); },
         [&](sim::Machine& m) {
             both(m);
             m.files.Remove(kPackageDriver);
         }},
        {"missing ImagePath is created, a correct one written again", {1}, true,
         [](sim::Machine& m) {
             m.registry.DeleteValue(kSet1, "ImagePath");
             Restored(m, kSet2);
         },
         [&](sim::Machine& m) {
             both(m);
             infRestored(m);
         }},
        {"a control set without USBSTOR is passed over", {1}, true,
         [](sim::Machine& m) { m.registry.DeleteTree(kSet2); },
         [&](sim::Machine& m) {
             Restored(m, kSet1);
             infRestored(m);
         }},
        {"\"System\" cannot be opened: selector 1 does nothing", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegOpenKeyA, 1, false, ERROR_ACCESS_DENIED, false}); },
         nothing},
        {"enumeration ends at its first failure, usbstor.inf still handled", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegEnumKeyExA, 2, false, ERROR_GEN_FAILURE, false}); },
         [&](sim::Machine& m) {
             Restored(m, kSet1);
             infRestored(m);
         }},
        {"2 with the driver missing", {2}, true,
         [](sim::Machine& m) { m.files.Remove(kPackageDriver); }, nothing},
        {"Windows directory unknown: the registry only", {1, 2}, false, nothing, both},
        {"selectors 0, 3 and -1 change nothing", {0, 3, -1}, true, nothing, nothing},
    };
    for (const RestoreRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = InstalledMachine();
        row.before(m);
        sim::Machine expected = m;
        row.expected(expected);
        {
            sim::ActiveMachine active(m);
            RecordWindowsDirectory();
            if (!row.windowsDirectoryKnown) std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
            for (int selector : row.selectors) RestoreStorageDriver(selector);
        }
        EXPECT_EQ(m.registry.Dump(), expected.registry.Dump());
        EXPECT_EQ(m.files.Dump(), expected.files.Dump());
        EXPECT_EQ(m.OpenHandles().Total(), 0u);
        if (!row.windowsDirectoryKnown) {
            for (const Api api : {Api::FindFirstFileA, Api::CreateFileA, Api::DeleteFileA,
                                  Api::MoveFileA, Api::SetFileAttributesA})
                EXPECT_EQ(m.callCounts[api], 0u) << api;
        }
    }
}

TEST(RestoreStorageDriver, ImagePathIsTheSystemDriverAsExpandableText) {
    sim::Machine m = InstalledMachine();
    {
        sim::ActiveMachine active(m);
        RecordWindowsDirectory();
        RestoreStorageDriver(1);
    }
    for (const char* set : {kSet1, kSet2}) {
        SCOPED_TRACE(set);
        const std::optional<sim::RegValue> value = m.registry.GetValue(set, "ImagePath");
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_EXPAND_SZ));
        ASSERT_EQ(value->data.size(), 29u);
        EXPECT_EQ(std::string(value->data.begin(), value->data.end() - 1), kSystemImage);
        EXPECT_EQ(value->data.back(), 0);
    }
    // Exactly the two service keys were written, nothing else.
    std::vector<std::string> written;
    for (const sim::Event& e : m.EventsOf(Api::RegSetValueExA)) written.push_back(e.target);
    EXPECT_EQ(written.size(), 2u);
}

}  // namespace
