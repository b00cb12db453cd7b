// The fixture of a test's platform calls: the machine made the active one
// for the scope, and at the scope's end no handle left open on it (registry
// keys, INFs, device sets, files and searches alike); and the whole run of
// WinMain with the same check after it.
#pragma once

#include "support/run_invariants.h"

#include "dryrun/run_winmain.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

namespace support {

class ActiveMachine {
public:
    explicit ActiveMachine(sim::Machine& machine) : machine_(machine), active_(machine) {}
    ~ActiveMachine() {
        const sim::HandleCounts open = machine_.OpenHandles();
        EXPECT_EQ(open.Total(), 0u) << HandlesText(open);
    }
    ActiveMachine(const ActiveMachine&) = delete;
    ActiveMachine& operator=(const ActiveMachine&) = delete;

private:
    sim::Machine& machine_;
    sim::ActiveMachine active_;
};

// WinMain run on `machine` (dryrun::RunWinMain); returns its result.
inline int RunWinMainChecked(sim::Machine& machine, const dryrun::RunOptions& options = dryrun::RunOptions()) {
    const int result = dryrun::RunWinMain(machine, options);
    const sim::HandleCounts open = machine.OpenHandles();
    EXPECT_EQ(open.Total(), 0u) << HandlesText(open);
    return result;
}

}  // namespace support
