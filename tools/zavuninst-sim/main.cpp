// zavuninst-sim: the uninstall run against a machine image, every change reported.
#include "dryrun/tool.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return dryrun::ToolMain(args, std::cout, std::cerr, dryrun::ToolEnd::LeaveToExit);
}
