// Handle tables and per-run state shared by the simulator's implementation
// files. Each part owns its own table; opaque part types are completed in
// the part's own file.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct OpenFile {
    std::string normalized;  // FileSystem::Normalize of the path
    DWORD access = 0;
    DWORD share = 0;
    uint64_t position = 0;
    bool otherProcess = false;  // held by another process (tests); not the program's handle
};

struct FindState {
    std::string pattern;
    std::vector<std::string> matches;  // normalized paths still to return
};

struct InfFile;     // sim_setupapi.cpp
struct DeviceSet;   // sim_setupapi.cpp

struct Machine::Internal {
    DWORD lastError = 0;
    bool shortTransfer = false;  // set by Enter for short-transfer faults

    uintptr_t nextHandle = 0x1000;  // handle values are unique across all tables
    std::map<uintptr_t, std::shared_ptr<RegKey>> keys;
    std::map<uintptr_t, OpenFile> files;
    std::map<uintptr_t, FindState> finds;
    std::map<uintptr_t, std::shared_ptr<InfFile>> infs;
    std::map<uintptr_t, std::shared_ptr<DeviceSet>> deviceSets;
    std::map<uintptr_t, std::string> windows;  // FindWindowA handles -> window title

    uintptr_t NewHandle() { return nextHandle += 4; }
};

inline Machine::Internal& State() { return *Current().internal; }
inline void SetError(DWORD error) { State().lastError = error; }

// The registry model's (sim_registry.cpp), for the registry functions
// (sim_advapi.cpp): the subkey named `name` (any case); null when there is
// none.
RegKey* SubkeyOf(const RegKey& key, const std::string& name);
// Takes a key out of its parent. Each key of the subtree stays alive for as
// long as a handle holds it, marked deleted.
void DetachKey(RegKey& key);
// Names separated by single backslashes, trailing backslashes ignored; false
// when a name is empty ("A\\B" has one in the middle), every name given all
// the same.
bool SplitKeyNames(std::string_view path, std::vector<std::string>* names);

}  // namespace sim

// The simulated functions themselves are extern "C", outside the namespace:
// they name these without it.
using sim::Current;
using sim::SetError;
using sim::State;
namespace detail = sim::detail;
