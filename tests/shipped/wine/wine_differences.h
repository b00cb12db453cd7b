// Where Wine differs from the Windows it plays, each difference written
// down once, in kWineDifferences: its name, the comparison it excuses and
// why. A scenario whose run needs a difference names it ("wine differs
// NAME"). The prediction comparison and the simulator twin's each report
// the differences they had to excuse, and the scenario must name exactly
// those: a difference excuses no scenario that does not name it, and a
// scenario names none that its run does not need.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace winetest {

enum class WineDifference { DeviceRemovalInNtLayout, KeyDeletionOf98InNtLayout };

enum class Excused {
    Prediction,  // the dry run against Wine's run, which recognizes the difference by itself
    Twin,        // the simulator twin against Wine, by .reg lines the scenario gives under the
                 // difference's name, which turn the twin's machine after the run into Wine's
};

struct WineDifferenceRow {
    WineDifference difference;
    const char* name;
    Excused excused;
    const char* reason;
};
extern const WineDifferenceRow kWineDifferences[];

const WineDifferenceRow& RowOf(WineDifference difference);
const WineDifferenceRow* FindWineDifference(const std::string& name);  // null for no such name
std::string Names(const std::set<WineDifference>& differences);       // "none" for none

// What a comparison found: its mismatches (none when the two agree) and the
// differences it had to excuse.
struct Comparison {
    std::vector<std::string> mismatches;
    std::set<WineDifference> excused;
};

}  // namespace winetest
