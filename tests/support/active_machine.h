// The fixture of a test's platform calls: the machine made the active one
// for the scope, and at the scope's end no handle left open on it (registry
// keys, INFs, device sets, files and searches alike); one step of the
// program run that way; and the exact comparison of a machine after with
// the machine expected.
#pragma once

#include "support/run_invariants.h"

#include "platform/sim/sim.h"
#include "run/run.h"
#include "run/run_state.h"

#include "image/machine_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

// One step of the program on `machine` as WinMain takes it: the machine
// made the active one, the Windows directory recorded (WinMain's first
// step; all zero, as a failed query leaves it, unless `windowsDirectoryKnown`),
// then `step`; no handle may be left open. Returns what `step` returns.
template <typename Step>
decltype(auto) RunStep(sim::Machine& machine, Step&& step, bool windowsDirectoryKnown = true) {
    ActiveMachine active(machine);
    RecordWindowsDirectory();
    if (!windowsDirectoryKnown) std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
    return step();
}

// `actual` is `expected` exactly: every key and value, every file and
// folder with its attributes and content, the present devices, the windows.
inline void ExpectMachine(const sim::Machine& actual, const sim::Machine& expected) {
    EXPECT_EQ(image::RegistryText(actual.registry), image::RegistryText(expected.registry));
    EXPECT_EQ(image::FilesText(actual.files), image::FilesText(expected.files));
    auto ids = [](const sim::Machine& m) {
        std::vector<std::string> out;
        for (const sim::Device& d : m.devices) out.push_back(d.instanceId);
        return out;
    };
    EXPECT_EQ(ids(actual), ids(expected));
    EXPECT_EQ(actual.windowTitles, expected.windowTitles);
}

}  // namespace support
