// The dry run held against the real run: the dry run on the image the
// collector took from a prepared prefix, and the program's run in that
// prefix, must tell the same changes (key for key, value for value, file for
// file, in the same order), the same message, installer command line and
// closed window, up to the differences of Wine (kWineDifferences) that the
// scenario names.
#pragma once

#include "wine_differences.h"
#include "wine_harness.h"

#include "image/machine_state.h"

#include <string>
#include <vector>

namespace winetest {

// One change of the dry run's report (--json), as much as the comparison needs.
struct PredictedChange {
    std::string kind;    // "device_removed", "key_deleted", "value_set", "file_deleted", ...
    bool done = true;
    bool byDeviceRemoval = false;  // a key the device removal deleted itself
    std::string target;  // key path, file path, message text, program, window title
    std::string name;    // value_set: the value's name
    std::string detail;  // message_box: the caption; program_started: the parameters
};

struct Prediction {
    unsigned platformId = 0;
    int exitCode = -1;
    std::vector<PredictedChange> changes;
    // The image's HKEY_LOCAL_MACHINE and files before the run and as the dry
    // run wrote the machine after it (files: read-only as their only attribute).
    image::StateLines registryBefore, registryAfter, filesBefore, filesAfter;
    sim::Registry imageRegistry;         // the image's registry as read
    std::vector<std::string> imageBranches;  // the keys its export starts from, upper case
};

// Runs the dry run (`tool IMAGE --json --write OUT`) on `imageDir`; false,
// with the reason, when it fails or its output cannot be read.
bool RunDryRun(const std::string& tool, const std::string& imageDir, const std::string& outDir, Prediction& prediction,
               std::string& error);

// What the image's registry tells otherwise than the machine before the
// run: every line of the image must be the machine's, and every line the
// machine has of a key the image holds (its export's branches and below;
// all of HKEY_LOCAL_MACHINE for /all) must be in the image. The machine is Wine's
// export of it, where the scenario's own registry texts tell the values:
// Wine's regedit exports a REG_SZ only up to its first NUL and a REG_DWORD
// of another length than 4 bytes as four bytes, which the collector keeps.
// Empty when the collector lost or changed nothing.
std::vector<std::string> CompareImageWithMachine(const Prediction& predicted, const Outcome& real,
                                                 const Scenario& scenario);

// The prediction against what Wine's run did: the registry and file changes
// (the machine before and after), the changes in order (the relay trace of
// the program's calls), the message, the installer, the closed window and the
// exit code. The differences it excuses: device removal in the NT layout.
Comparison ComparePrediction(const Prediction& predicted, const Outcome& real);

}  // namespace winetest
