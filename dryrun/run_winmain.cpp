// The run of WinMain on a simulated machine.
#include "dryrun/run_winmain.h"

namespace dryrun {

int RunWinMain(sim::Machine& machine, const RunOptions& options) {
    machine.messageBoxAnswer = options.messageBoxAnswer;
    machine.recordCalls = options.keepCalls;
    sim::ActiveMachine active(machine);
    char commandLine[1] = {0};
    return WinMain(nullptr, nullptr, commandLine, SW_SHOWNORMAL);
}

}  // namespace dryrun
