// Where Wine differs from the Windows it plays, each difference written
// down once, in kWineDifferences: its name, the comparison it excuses and
// why. A scenario whose run needs a difference names it ("wine differs
// NAME"). The prediction comparison and the simulator twin's each report
// the differences they had to excuse, and the scenario must name exactly
// those: a difference excuses no scenario that does not name it, and a
// scenario names none that its run does not need. (The simulator twin's
// machine before the run is Wine's, every installed device present as Wine
// lists it: sim_twin.cpp.)
#pragma once

#include <set>
#include <string>
#include <vector>

namespace winetest {

enum class WineDifference { DeviceRemovalInNtLayout, KeyDeletionOf98InNtLayout };

// The comparison a difference excuses: the prediction's recognizes it by
// itself; the simulator twin's takes the .reg lines the scenario gives under
// its name, which turn the twin's machine after the run into Wine's.
enum class Excused { Prediction, Twin };

struct WineDifferenceRow {
    WineDifference difference;
    const char* name;
    Excused excused;
    const char* reason;
};
extern const WineDifferenceRow kWineDifferences[2];  // a row for each WineDifference

std::string Names(const std::set<WineDifference>& differences);  // "none" for none

// What a comparison found: its mismatches (none when the two agree) and the
// differences it had to excuse.
struct Comparison {
    std::vector<std::string> mismatches;
    std::set<WineDifference> excused;
};

}  // namespace winetest
