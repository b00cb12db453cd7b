// RestoreStorageDriver on Windows 2000: USBSTOR's ImagePath in every control
// set, usbstor.inf and the package's replacement driver.
#include "files/files.h"
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using sim::Api;

namespace {

using namespace support;

void Restored(sim::Machine& m, const char* service) {
    m.registry.SetString(service, "ImagePath", kSystemImage, REG_EXPAND_SZ);
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
        Restored(m, kUsbstor1);
        Restored(m, kUsbstor2);
    };
    const auto infRestored = [](sim::Machine& m) {
        // Rewritten as a new file, with the attributes CreateFileA gives one.
        m.files.AddFile(kUsbstorInf, UsbstorInf("%12%\\USBSTOR.SYS"), FILE_ATTRIBUTE_ARCHIVE);
    };
    const auto nothing = [](sim::Machine&) {};
    const RestoreRow rows[] = {
        {"1 then 2: every control set, usbstor.inf, the read-only driver gone",
         {1, 2}, true, nothing, StorageDriverRestored},
        {"missing usbstor.inf is not created", {1, 2}, true,
         [](sim::Machine& m) { m.files.Remove(kUsbstorInf); },
         [&](sim::Machine& m) {
             both(m);
             m.files.Remove(kReplacementDriver);
         }},
        {"missing ImagePath is created, a correct one written again", {1}, true,
         [](sim::Machine& m) {
             m.registry.DeleteValue(kUsbstor1, "ImagePath");
             Restored(m, kUsbstor2);
         },
         [&](sim::Machine& m) {
             both(m);
             infRestored(m);
         }},
        {"a control set without USBSTOR is passed over", {1}, true,
         [](sim::Machine& m) { m.registry.DeleteTree(kUsbstor2); },
         [&](sim::Machine& m) {
             Restored(m, kUsbstor1);
             infRestored(m);
         }},
        {"\"System\" cannot be opened: selector 1 does nothing", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegOpenKeyA, 1, false, ERROR_ACCESS_DENIED, false}); },
         nothing},
        {"enumeration ends at its first failure, usbstor.inf still handled", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegEnumKeyExA, 2, false, ERROR_GEN_FAILURE, false}); },
         [&](sim::Machine& m) {
             Restored(m, kUsbstor1);
             infRestored(m);
         }},
        {"2 with the driver missing", {2}, true,
         [](sim::Machine& m) { m.files.Remove(kReplacementDriver); }, nothing},
        {"Windows directory unknown: the registry only", {1, 2}, false, nothing, both},
        {"selectors 0, 3 and -1 change nothing", {0, 3, -1}, true, nothing, nothing},
    };
    for (const RestoreRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = Windows2000WithPackage();
        row.before(m);
        sim::Machine expected = m;
        row.expected(expected);
        {
            support::ActiveMachine active(m);
            RecordWindowsDirectory();
            if (!row.windowsDirectoryKnown) std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
            for (int selector : row.selectors) RestoreStorageDriver(selector);
        }
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
        EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
        if (!row.windowsDirectoryKnown) {
            for (const Api api : {Api::FindFirstFileA, Api::CreateFileA, Api::DeleteFileA,
                                  Api::MoveFileA, Api::SetFileAttributesA})
                EXPECT_EQ(m.callCounts[api], 0u) << api;
        }
    }
}

TEST(RestoreStorageDriver, ImagePathIsTheSystemDriverAsExpandableText) {
    sim::Machine m = Windows2000WithPackage();
    {
        support::ActiveMachine active(m);
        RecordWindowsDirectory();
        RestoreStorageDriver(1);
    }
    for (const char* set : {kUsbstor1, kUsbstor2}) {
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
