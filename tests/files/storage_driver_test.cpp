// RestoreStorageDriver on Windows 2000: USBSTOR's ImagePath in every control
// set, usbstor.inf and the package's replacement driver.
#include "files/files.h"
#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

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
    unsigned writes;                              // ImagePath values written
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
         {1, 2}, true, nothing, StorageDriverRestored, 2},
        {"missing usbstor.inf is not created", {1, 2}, true,
         [](sim::Machine& m) { m.files.Remove(kUsbstorInf); },
         [&](sim::Machine& m) {
             both(m);
             m.files.Remove(kReplacementDriver);
         }, 2},
        {"missing ImagePath is created, a correct one written again", {1}, true,
         [](sim::Machine& m) {
             m.registry.DeleteValue(kUsbstor1, "ImagePath");
             Restored(m, kUsbstor2);
         },
         [&](sim::Machine& m) {
             both(m);
             infRestored(m);
         }, 2},
        {"a control set without USBSTOR is passed over", {1}, true,
         [](sim::Machine& m) { m.registry.DeleteTree(kUsbstor2); },
         [&](sim::Machine& m) {
             Restored(m, kUsbstor1);
             infRestored(m);
         }, 1},
        {"\"System\" cannot be opened: selector 1 does nothing", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegOpenKeyA, 1, false, ERROR_ACCESS_DENIED, false}); },
         nothing, 0},
        {"enumeration ends at its first failure, usbstor.inf still handled", {1}, true,
         [](sim::Machine& m) { m.InjectFault({Api::RegEnumKeyExA, 2, false, ERROR_GEN_FAILURE, false}); },
         [&](sim::Machine& m) {
             Restored(m, kUsbstor1);
             infRestored(m);
         }, 1},
        {"2 with the driver missing", {2}, true,
         [](sim::Machine& m) { m.files.Remove(kReplacementDriver); }, nothing, 0},
        {"Windows directory unknown: the registry only", {1, 2}, false, nothing, both, 2},
        {"selectors 0, 3 and -1 change nothing", {0, 3, -1}, true, nothing, nothing, 0},
    };
    for (const RestoreRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = Windows2000WithPackage();
        row.before(m);
        sim::Machine expected = m;
        row.expected(expected);
        RunStep(
            m, [&] { for (int selector : row.selectors) RestoreStorageDriver(selector); }, row.windowsDirectoryKnown);
        // ImagePath the system's driver as expandable text, terminator included.
        ExpectMachine(m, expected);
        EXPECT_EQ(m.EventsOf(Api::RegSetValueExA).size(), row.writes);
        if (!row.windowsDirectoryKnown) {
            for (const Api api : {Api::FindFirstFileA, Api::CreateFileA, Api::DeleteFileA,
                                  Api::MoveFileA, Api::SetFileAttributesA})
                EXPECT_EQ(m.callCounts[api], 0u) << api;
        }
    }
}

}  // namespace
