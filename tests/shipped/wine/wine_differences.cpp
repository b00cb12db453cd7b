// The differences of Wine from the Windows it plays.
#include "wine_differences.h"

namespace winetest {

const WineDifferenceRow kWineDifferences[2] = {
    {WineDifference::DeviceRemovalInNtLayout, "device removal in the NT layout", Excused::Prediction,
     "Wine's SetupDiRemoveDevice works in the NT registry layout whatever Windows it plays: it deletes the device's "
     "key below HKLM\\System\\CurrentControlSet\\Enum and its driver key below ...\\Control\\Class, where Windows 98's "
     "deletes HKLM\\Enum\\<device> and its driver key below ...\\Services\\Class. On the 9x family the dry run "
     "therefore predicts those two keys deleted by the device removal and the program's own deletions of them finding "
     "nothing; under Wine the program's own deletions succeed, and the NT-layout keys go as well."},
    {WineDifference::KeyDeletionOf98InNtLayout, "key deletion of Windows 98 in the NT layout", Excused::Twin,
     "Wine playing Windows 98 keeps the NT registry layout (and so removes devices as NT does) but deletes a key with "
     "its subkeys, as Windows 98's RegDeleteKeyA does. The simulator twin is an NT machine, for the layout and the "
     "device removal, and so refuses to delete a key that has subkeys, as Windows NT does: where Wine deletes such a "
     "key, the twin keeps it (the program then empties its values instead)."},
};

std::string Names(const std::set<WineDifference>& differences) {
    std::string names;
    for (const WineDifferenceRow& row : kWineDifferences)
        if (differences.count(row.difference) != 0) names += (names.empty() ? "" : ", ") + std::string(row.name);
    return names.empty() ? "none" : names;
}

}  // namespace winetest
