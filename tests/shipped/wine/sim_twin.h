// The simulator twin of a Wine scenario: the same program logic run over
// the simulated machine, given what Wine had before the run (its whole
// HKEY_LOCAL_MACHINE, the scenario's files, the present devices by Wine's
// rule, the Windows version Wine reported, the companion window), so that
// the two machines after the run can be compared.
#pragma once

#include "scenario.h"
#include "wine_harness.h"

#include "image/machine_state.h"

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace winetest {

struct TwinOutcome {
    // The message box, the program start and the message sent, in order:
    // the call's name, then its texts.
    std::vector<std::string> events;
    sim::Registry registryAfter;
    image::StateLines filesAfter;      // FileState
    int exitCode = -1;
};

// The instance ids Wine's SETUPAPI lists as present: every key three levels
// below HKLM\System\CurrentControlSet\Enum with a REG_SZ ClassGUID value,
// in registry order, in upper case. A platform difference: Wine keeps no
// record of which devices are plugged in and lists every installed device
// whatever DIGCF_PRESENT says, where Windows leaves an unplugged one out of
// a DIGCF_PRESENT walk. The twin's machine takes them all as present, so
// that its walks list what Wine's do.
std::vector<std::string> WinePresentDevices(const sim::Registry& registry);

// The key `from` and below as a regedit export of them reads back, to
// compare with Wine's exports: an export cannot tell an empty text stored
// without its zero from one stored with it (both read back with the zero).
image::StateLines ExportedRegistryState(sim::Registry registry, const std::string& from = "HKEY_LOCAL_MACHINE",
                                   unsigned codePage = sim::kDefaultCodePage);

// The files (no folders), read-only as their only attribute: what Wine
// shows of a file.
image::StateLines FileState(const sim::FileSystem& files);

// Runs WinMain over a simulated NT-family machine built from the Wine run's
// "before" state. False, with the reason, when the machine cannot be built.
bool RunSimulatorTwin(const Scenario& scenario, const Outcome& wine, TwinOutcome& twin, std::string& error);

}  // namespace winetest
