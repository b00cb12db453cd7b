// ClearDriveIcons on both families: the package's letters (those with the
// TEVDRIVE marker) deleted on 9x, emptied on NT; every other letter untouched.
#include "icons/icons.h"
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/package_machine.h"

#include <gtest/gtest.h>

#include <algorithm>

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
}

sim::Machine Windows2000() { return sim::MakeWindows2000("Service Pack 2"); }

struct Row {
    const char* name;
    sim::Machine (*make)();
    bool registrations;  // else no DriveIcons key at all
    DWORD mask;
    bool result;
    unsigned opens;   // RegOpenKeyA calls
    unsigned closes;  // RegCloseKey calls
    std::vector<const char*> gone;     // letter keys deleted
    std::vector<const char*> emptied;  // keys whose unnamed value is emptied
    std::vector<sim::Fault> faults = {};
};

TEST(ClearDriveIcons, TheMaskedLettersOfBothFamilies) {
    const std::vector<const char*> none;
    const Row rows[] = {
        // Every letter: 26 DriveIcons opens, a marker test each, a marker
        // close for E, F and G; on NT the icon and label opened to be emptied
        // (and no DefaultIcon created for F).
        {"Windows 98: the package's letter keys go with their subkeys", sim::MakeWindows98, true, 0xFFFFFFFF, true,
         52, 29, {"E", "F", "G"}, none},
        {"Windows 2000: the package's letters stay, their unnamed values emptied", Windows2000, true, 0xFFFFFFFF,
         true, 58, 32, none, {"E\\DefaultIcon", "E\\DefaultLabel", "F\\DefaultLabel"}},
        {"Windows XP: as Windows 2000", sim::MakeWindowsXP, true, 0xFFFFFFFF, true, 58, 32, none,
         {"E\\DefaultIcon", "E\\DefaultLabel", "F\\DefaultLabel"}},
        {"0: nothing is opened", sim::MakeWindows98, true, 0, true, 0, 0, none, none},
        {"bits 26 to 31 select no letter", sim::MakeWindows98, true, 0xFC000000, true, 0, 0, none, none},
        {"C only: another program's letter, untouched", sim::MakeWindows98, true, 1u << 2, true, 2, 1, none, none},
        {"E only", sim::MakeWindows98, true, 1u << 4, true, 2, 2, {"E"}, none},
        {"E and G", sim::MakeWindows98, true, (1u << 4) | (1u << 6), true, 4, 4, {"E", "G"}, none},
        // The walk stops at the letter A.
        {"Windows 98 without DriveIcons: false", sim::MakeWindows98, false, 0xFFFFFFFF, false, 1, 0, none, none},
        {"Windows 2000 without DriveIcons: false", Windows2000, false, 0xFFFFFFFF, false, 1, 0, none, none},
        // Opens: A (DriveIcons, marker), B, C, D, E (DriveIcons, marker), F's
        // DriveIcons open fails: the letters before keep their changes.
        {"DriveIcons vanishing during the walk stops it", sim::MakeWindows98, true, 0xFFFFFFFF, false, 11, 6,
         {"E"}, none, {{Api::RegOpenKeyA, 11, false, ERROR_FILE_NOT_FOUND, false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Machine m = row.make();
        if (row.registrations) AddRegistrations(m);
        m.registry.SetString("HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer", "Keep", "yes");
        sim::Machine expected = m;
        for (const char* letter : row.gone) expected.registry.DeleteTree(Key(letter));
        for (const char* key : row.emptied) expected.registry.SetValue(Key(key), "", REG_SZ, {});
        for (const sim::Fault& fault : row.faults) m.InjectFault(fault);

        EXPECT_EQ(support::RunStep(m, [&] { return ClearDriveIcons(row.mask); }), row.result);
        EXPECT_EQ(m.callCounts[Api::RegOpenKeyA], row.opens);
        EXPECT_EQ(m.callCounts[Api::RegCloseKey], row.closes);
        support::ExpectMachine(m, expected);
        EXPECT_EQ(m.calls.end(), std::find(m.calls.begin(), m.calls.end(), Api::MessageBoxA));
    }
}

}  // namespace
