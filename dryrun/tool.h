// zavuninst-sim IMAGE [--json] [--write OUT] [--undo DIR]
//
// Runs the uninstaller on the machine image IMAGE (which it only reads) and
// reports every change. Exit code 0 for a completed run, 2 for bad input or
// usage (nothing written), 1 when an output could not be written.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace dryrun {

// How the run's machines end. A process that ends with the run leaves them
// to its exit: freeing the few hundred thousand keys of a large image one by
// one takes a tenth of its dry run, and the exit gives the memory back at
// once. A caller that goes on (tests, benchmarks) has them freed.
enum class ToolEnd { Free, LeaveToExit };

int ToolMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
             ToolEnd end = ToolEnd::Free);

}  // namespace dryrun
