// The one way to run the program on a simulated machine: the machine made
// the active one for the run, WinMain called as Windows calls it. The dry
// run's library holds it, the one below the tools and tests that links the
// program itself.
#pragma once

#include "platform/sim/sim.h"

namespace dryrun {

struct RunOptions {
    int messageBoxAnswer = IDOK;  // how the completion message box is answered
    // Keep the call log (machine.calls), which the fault sweep counts calls
    // from; the events, which the reports and checks read, are kept always.
    bool keepCalls = false;
};

// Runs WinMain on `machine`; returns WinMain's result.
int RunWinMain(sim::Machine& machine, const RunOptions& options = RunOptions());

}  // namespace dryrun
