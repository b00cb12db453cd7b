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

int ToolMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dryrun
