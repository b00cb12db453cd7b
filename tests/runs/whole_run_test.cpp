// Whole runs through WinMain: on Windows 98 the package's devices, keys,
// files and drive registrations all gone; on Windows 2000 and XP the storage
// driver restoration where the service pack asks for it and the drive icons
// emptied; the icons each time after the completion message and the
// installer start and before the companion program is asked to close.
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <functional>

using sim::Api;

namespace {

using namespace support;

// The package installed on the NT family: on Windows 2000 its replacement
// storage driver, on both its drive registrations (E; C is another
// program's), the companion program running beside another window.
sim::Machine Windows2000(const std::string& servicePack) {
    Windows2000Package options;
    options.servicePack = servicePack;
    options.whole = true;
    sim::Machine m = Windows2000WithPackage(options);
    m.windowTitles = {"Program Manager", "Glovix"};
    return m;
}

sim::Machine WindowsXP() {
    sim::Machine m = sim::MakeWindowsXP();
    AddDriveIcon(m, 'C', false);
    AddDriveIcon(m, 'E', true);
    m.windowTitles = {"Program Manager", "Glovix"};
    return m;
}

void IconsEmptied(sim::Machine& m) {
    m.registry.SetValue(std::string(kDriveIcons) + "\\E\\DefaultIcon", "", REG_SZ, {});
    m.registry.SetValue(std::string(kDriveIcons) + "\\E\\DefaultLabel", "", REG_SZ, {});
}

size_t IndexOf(const sim::Machine& m, sim::Api api) {
    for (size_t i = 0; i < m.events.size(); ++i)
        if (m.events[i].api == api) return i;
    return m.events.size();
}

// Where the completion message, the installer start and the companion's
// close stand among the run's events; `inOrder` when all three came, in
// that order.
struct Outward {
    size_t message, installer, close;
    bool inOrder;
};

Outward OutwardOf(const sim::Machine& m) {
    Outward o{IndexOf(m, Api::MessageBoxA), IndexOf(m, Api::ShellExecuteA), IndexOf(m, Api::SendMessageA),
              false};
    o.inOrder = o.message < o.installer && o.installer < o.close && o.close < m.events.size();
    return o;
}

struct RunRow {
    const char* name;
    sim::Machine machine;
    bool restores;
};

TEST(WholeRun, RestorationAndIconsInTheirPlaceInTheSequence) {
    const RunRow rows[] = {
        {"Windows 2000 SP2: driver restored, icons emptied", Windows2000("Service Pack 2"), true},
        {"Windows 2000 without a service pack: driver restored", Windows2000(""), true},
        {"Windows 2000 SP4: icons only", Windows2000("Service Pack 4"), false},
        {"Windows XP: icons only", WindowsXP(), false},
    };
    for (const RunRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.machine;
        sim::Machine expected = m;
        IconsEmptied(expected);
        if (row.restores) StorageDriverRestored(expected);
        expected.windowTitles = {"Program Manager"};
        EXPECT_EQ(RunWinMainChecked(m), 0);
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
        EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
        EXPECT_EQ(m.windowTitles, expected.windowTitles);

        // Restoration, completion message, installer, icons, companion close.
        const Outward o = OutwardOf(m);
        ASSERT_TRUE(o.inOrder) << o.message << " " << o.installer << " " << o.close;
        EXPECT_EQ(m.events[o.close].target, "Glovix");
        EXPECT_EQ(m.events[o.close].windowMessage, static_cast<uint32_t>(WM_CLOSE));
        size_t iconEvents = 0, restorationEvents = 0;
        for (size_t i = 0; i < m.events.size(); ++i) {
            const sim::Event& e = m.events[i];
            if (e.target.find("DriveIcons") != std::string::npos) {
                ++iconEvents;
                EXPECT_GT(i, o.installer) << e.api << " " << e.target;
                EXPECT_LT(i, o.close) << e.api << " " << e.target;
            } else if (i < o.message) {
                ++restorationEvents;
            } else if (e.api != Api::MessageBoxA && e.api != Api::ShellExecuteA &&
                       e.api != Api::SendMessageA) {
                ADD_FAILURE() << "unexpected " << e.api << " " << e.target;
            }
        }
        EXPECT_GT(iconEvents, 0u);
        EXPECT_EQ(restorationEvents > 0, row.restores);
    }
}

TEST(WholeRun, Windows98PackageAllGone) {
    Windows98Package options;
    options.infFolders = {"inf\\other", "inf"};
    options.whole = true;
    sim::Machine m = Windows98WithPackage(options);
    m.windowTitles = {"Program Manager", "Glovix"};
    const std::string windows = m.windowsDirectory;
    const char* packageFiles[] = {"\\system32\\drivers\\WDMZAV03.sys",
                                  "\\system\\iosubsys\\PDRZAV03.pdr",
                                  "\\inf\\USBZAV03.inf", "\\inf\\MSTEVUmss.PNF"};
    for (const char* file : packageFiles) {
        sim::FileEntry* entry = m.files.Find(windows + file);
        ASSERT_NE(entry, nullptr) << file;
        entry->attributes = FILE_ATTRIBUTE_READONLY;
    }

    sim::Machine expected = m;
    ASSERT_TRUE(PackageDeviceRemoved(expected));
    ASSERT_TRUE(expected.registry.DeleteTree(std::string(kDriveIcons) + "\\E"));
    // The two INF copies and the drivers go; the read-only PNF gets one
    // plain attempt and stays.
    for (const char* file : packageFiles)
        if (std::string(file) != "\\inf\\MSTEVUmss.PNF") expected.files.Remove(windows + file);
    expected.files.Remove(windows + "\\inf\\other\\USBZAV03.inf");
    expected.windowTitles = {"Program Manager"};

    EXPECT_EQ(RunWinMainChecked(m), 0);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    EXPECT_EQ(image::FilesText(m.files), image::FilesText(expected.files));
    EXPECT_EQ(m.windowTitles, expected.windowTitles);
    for (const sim::Device& device : m.devices)
        EXPECT_NE(device.instanceId, "USB\\VID_1234&PID_5678\\SN01");

    // Files after the device walk, before the completion message; the icons
    // between the installer start and the companion close.
    const Outward o = OutwardOf(m);
    ASSERT_TRUE(o.inOrder) << o.message << " " << o.installer << " " << o.close;
    size_t lastRemoval = 0, firstFile = m.events.size(), lastFile = 0;
    for (size_t i = 0; i < m.events.size(); ++i) {
        const Api api = m.events[i].api;
        if (api == Api::SetupDiRemoveDevice) lastRemoval = i;
        if (api == Api::DeleteFileA || api == Api::SetFileAttributesA) {
            if (firstFile == m.events.size()) firstFile = i;
            lastFile = i;
        }
        if (m.events[i].target.find("DriveIcons") != std::string::npos) {
            EXPECT_GT(i, o.installer);
            EXPECT_LT(i, o.close);
        }
    }
    EXPECT_LT(lastRemoval, firstFile);
    EXPECT_LT(lastFile, o.message);
}

}  // namespace
