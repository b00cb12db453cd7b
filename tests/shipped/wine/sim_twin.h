// The simulator twin of a Wine scenario: the same program logic run over
// the simulated machine, given what Wine had before the run (its whole
// HKEY_LOCAL_MACHINE, the scenario's files, the present devices by Wine's
// rule, the Windows version Wine reported, the companion window), so that
// the two machines after the run can be compared.
#pragma once

#include "scenario.h"
#include "wine_differences.h"
#include "wine_harness.h"

#include "image/machine_state.h"

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace winetest {

struct TwinOutcome {
    // The message box, the program start and the message sent, in order:
    // the call's name, then its texts.
    std::vector<std::string> events;
    sim::Registry registryAfter;
    image::StateLines filesAfter;  // FileState
    int exitCode = -1;
};

// Runs WinMain over a simulated NT-family machine built from the Wine run's
// "before" state. False, with the reason, when the machine cannot be built.
bool RunSimulatorTwin(const Scenario& scenario, const Outcome& wine, TwinOutcome& twin, std::string& error);

// The twin's machine after the run against Wine's: the whole registry
// (HKEY_LOCAL_MACHINE), once the scenario's .reg lines of each twin
// difference it names have made the twin's into Wine's (a difference whose
// lines change nothing is not excused), and the scenario's files and every
// file the twin holds.
Comparison CompareTwin(const Scenario& scenario, const Outcome& wine, const TwinOutcome& twin);

}  // namespace winetest
