// The one way to run the program on a simulated machine: the machine made
// the active one for the run, WinMain called as Windows calls it.
#pragma once

#include "platform/sim/sim.h"

namespace image {

struct RunOptions {
    int messageBoxAnswer = IDOK;  // how the completion message box is answered
    // Keep the call log (machine.calls), which the fault sweep counts calls
    // from; the events, which the reports and checks read, are kept always.
    bool keepCalls = false;
};

// Runs WinMain on `machine`; returns WinMain's result.
int RunWinMain(sim::Machine& machine, const RunOptions& options = RunOptions());

}  // namespace image
