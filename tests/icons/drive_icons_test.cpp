// ClearDriveIcons on both families: the package's letters (those with the
// TEVDRIVE marker) deleted on 9x, emptied on NT; every other letter untouched.
#include "icons/icons.h"
#include "image/machine_state.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using sim::Api;

namespace {

std::string Key(const std::string& relative) { return std::string(support::kDriveIcons) + "\\" + relative; }

// E: the package's, with icon and label; F: the package's, label only;
// C: another program's registration; G: the package's marker alone.
void AddRegistrations(sim::Machine& m) {
    m.registry.Create(Key("E\\TEVDRIVE"));
    m.registry.SetString(Key("E\\DefaultIcon"), "", "C:\\Program Files\\Zav\\disk.ico,0");
    m.registry.SetString(Key("E\\DefaultIcon"), "Extra", "kept");
    m.registry.SetString(Key("E\\DefaultLabel"), "", "ZAV Disk");
    m.registry.SetDword(Key("E\\DefaultLabel"), "Flags", 7);
    m.registry.Create(Key("F\\TEVDRIVE"));
    m.registry.SetString(Key("F\\DefaultLabel"), "", "ZAV Card");
    m.registry.SetString(Key("C\\DefaultIcon"), "", "C:\\other.ico");
    m.registry.SetString(Key("C\\DefaultLabel"), "", "System");
    m.registry.Create(Key("G\\TEVDRIVE"));
    m.registry.SetString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer", "Keep",
                         "yes");
}

void EmptyDefault(sim::Machine& m, const std::string& relative) {
    m.registry.SetValue(Key(relative), "", REG_SZ, {});
}

struct FamilyRow {
    const char* name;
    sim::Machine (*make)();
    std::function<void(sim::Machine&)> expected;
};

sim::Machine Windows2000() { return sim::MakeWindows2000("Service Pack 2"); }

TEST(ClearDriveIcons, AllLettersOnBothFamilies) {
    const FamilyRow rows[] = {
        {"Windows 98: the package's letter keys go with their subkeys", sim::MakeWindows98,
         [](sim::Machine& m) {
             for (const char* letter : {"E", "F", "G"}) m.registry.DeleteTree(Key(letter));
         }},
        {"Windows 2000: the package's letters stay, their unnamed values emptied", Windows2000,
         [](sim::Machine& m) {
             EmptyDefault(m, "E\\DefaultIcon");
             EmptyDefault(m, "E\\DefaultLabel");
             EmptyDefault(m, "F\\DefaultLabel");  // and no DefaultIcon is created for F
         }},
        {"Windows XP: as Windows 2000", sim::MakeWindowsXP,
         [](sim::Machine& m) {
             EmptyDefault(m, "E\\DefaultIcon");
             EmptyDefault(m, "E\\DefaultLabel");
             EmptyDefault(m, "F\\DefaultLabel");
         }},
    };
    for (const FamilyRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.make();
        AddRegistrations(m);
        sim::Machine expected = m;
        row.expected(expected);
        bool result = false;
        {
            support::ActiveMachine active(m);
            result = ClearDriveIcons(0xFFFFFFFF);
        }
        EXPECT_TRUE(result);
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
        EXPECT_FALSE(m.registry.Exists(Key("F\\DefaultIcon")));
        EXPECT_EQ(m.calls.end(), std::find(m.calls.begin(), m.calls.end(), Api::MessageBoxA));
    }
}

struct MaskRow {
    const char* name;
    DWORD mask;
    unsigned opens;   // RegOpenKeyA calls
    unsigned closes;  // RegCloseKey calls
    std::vector<const char*> gone;
};

// On Windows 98, where the package's letters are deleted outright.
TEST(ClearDriveIcons, TheMaskSelectsTheLetters) {
    const MaskRow rows[] = {
        {"0: nothing is opened", 0, 0, 0, {}},
        {"bits 26 to 31 select no letter", 0xFC000000, 0, 0, {}},
        {"C only: another program's letter, untouched", 1u << 2, 2, 1, {}},
        {"E only", 1u << 4, 2, 2, {"E"}},
        {"E and G", (1u << 4) | (1u << 6), 4, 4, {"E", "G"}},
        // 26 DriveIcons opens, one marker test each, a marker close for E, F, G.
        {"every bit: A to Z", 0xFFFFFFFF, 52, 29, {"E", "F", "G"}},
    };
    for (const MaskRow& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = sim::MakeWindows98();
        AddRegistrations(m);
        sim::Machine expected = m;
        for (const char* letter : row.gone) expected.registry.DeleteTree(Key(letter));
        bool result = false;
        {
            support::ActiveMachine active(m);
            result = ClearDriveIcons(row.mask);
        }
        EXPECT_TRUE(result);
        EXPECT_EQ(m.callCounts[Api::RegOpenKeyA], row.opens);
        EXPECT_EQ(m.callCounts[Api::RegCloseKey], row.closes);
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    }
}

TEST(ClearDriveIcons, MissingDriveIconsKeyIsFalseAndChangesNothing) {
    for (sim::Machine (*make)() : {sim::MakeWindows98, Windows2000}) {
        sim::Machine m = make();
        m.registry.SetString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer",
                             "Keep", "yes");
        const sim::Machine expected = m;
        bool result = true;
        {
            support::ActiveMachine active(m);
            result = ClearDriveIcons(0xFFFFFFFF);
        }
        EXPECT_FALSE(result);
        EXPECT_EQ(m.callCounts[Api::RegOpenKeyA], 1u);  // the walk stops at the letter A
        EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
    }
}

// The DriveIcons key goes away in the middle of the walk: the letters before
// keep their changes, the walk stops with false.
TEST(ClearDriveIcons, KeyVanishingDuringTheWalkStopsIt) {
    sim::Machine m = sim::MakeWindows98();
    AddRegistrations(m);
    // Opens: A (DriveIcons, marker), B, C, D, E (DriveIcons, marker), F's DriveIcons open fails.
    m.InjectFault({Api::RegOpenKeyA, 11, false, ERROR_FILE_NOT_FOUND, false});
    sim::Machine expected = m;
    expected.registry.DeleteTree(Key("E"));
    bool result = true;
    {
        support::ActiveMachine active(m);
        result = ClearDriveIcons(0xFFFFFFFF);
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(m.callCounts[Api::RegOpenKeyA], 11u);
    EXPECT_EQ(image::RegistryText(m.registry), image::RegistryText(expected.registry));
}

}  // namespace
