// TEMPORARY link placeholder: the simulated file system lives on another
// branch; sim_core.cpp refers to it. Delete this file once that part is merged.
#include "platform/sim/sim.h"

#include <cstdlib>
#include <cstdio>

void sim::FileSystem::AddDirectory(const std::string&) {
    std::fprintf(stderr, "link placeholder: the simulated file system is not built yet\n");
    std::abort();
}
