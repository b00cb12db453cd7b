// Runs zavuninst.exe under Wine against one scenario, the shipped i686 exe
// under the 32-bit Wine or the x86_64 one under the 64-bit Wine: a fresh
// prefix of that architecture (copied from a template made once with
// wineboot), the scenario's registry, files and Windows version, a stub
// installer and a stub companion window built for the same architecture;
// then watches the completion message, checks the machine while it is up,
// dismisses it, and records the machine after.
#pragma once

#include "scenario.h"

#include "image/machine_state.h"

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace winetest {

struct HarnessPaths {
    std::string loader;       // /usr/lib/wine/wine (32-bit) or /usr/lib/wine/wine64
    std::string wineArch;     // WINEARCH of the prefix: "win32" or "win64"
    std::string exe;          // build/win32/zavuninst.exe or build/win64/zavuninst.exe
    std::string collector;    // zavcollect.exe of the same build
    std::string programsDir;  // msiexec_stub.exe, companion.exe, boxwatch.exe, osversion.exe
    std::string workDir;      // template prefix and one folder per scenario
};

// One call of the program's own (not of a DLL it calls) that may change the
// machine, as Wine's relay trace shows it: the function's name, its text
// arguments in order, its numeric arguments as printed, its return value.
struct RelayCall {
    std::string function;              // "RegDeleteKeyA"
    std::vector<std::string> texts;    // the arguments the trace prints as text
    std::vector<std::string> numbers;  // every argument's number, hex as printed
    unsigned long long retval = 0;
};

// The functions whose calls RelayCall records.
extern const char* const kRelayedFunctions[];

struct Outcome {
    // What GetVersionExA reported in the prefix: "<platform> <major>.<minor> <CSD>".
    std::string windowsVersion;
    // The completion message as the watcher found it.
    bool boxShown = false;
    std::string boxCaption, boxText, boxButtons;
    // While the box was up.
    bool programRunningAtBox = false;
    bool installerStartedAtBox = false;
    std::vector<std::string> companionAtBox;
    sim::Registry driveIconsAtBox;
    // After the run.
    int exitCode = -1;
    std::vector<std::string> installerLog;  // command lines the stub recorded
    std::vector<std::string> companionLog;
    sim::Registry registryBefore, registryAfter;  // HKEY_LOCAL_MACHINE, as regedit /E exports it
    // drive_c: folders and files, read-only as the only attribute Wine
    // shows; the content digest of a large file is its size and time.
    image::StateLines filesBefore, filesAfter;
    std::string logDir;                      // where the run's logs stay
    // The collector, run while the companion was up and before the program.
    int collectorExit = -1;
    std::string imageDir;  // the machine image it wrote (outside the prefix)
    // What of the prefix differed after collecting: registry lines (every
    // root) and drive_c files, "before -> after".
    std::vector<std::string> changedByCollecting;
    // The program's calls that change the machine, in the order it made them.
    std::vector<RelayCall> calls;
};

// Why this loader cannot run the scenarios here (empty when it can). Makes
// the template prefix on first use.
std::string WineUnavailableReason(const HarnessPaths& paths);

// Runs one scenario. False, with the reason, when the run itself could not
// be carried out (a step timed out, a tool failed); the outcome then holds
// what was seen up to that point.
bool RunScenario(const HarnessPaths& paths, const Scenario& scenario, Outcome& outcome, std::string& error);

// A fresh prefix `name` below the work folder, copied from the template,
// for running single programs in it; false with the reason when it cannot be
// made. RunInPrefix runs a Windows program there (its exit status, -1 when it
// did not end within `seconds`); EndPrefix stops the prefix's server.
bool MakePrefix(const HarnessPaths& paths, const std::string& name, std::string& prefix, std::string& error);
int RunInPrefix(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
                double seconds);
void EndPrefix(const HarnessPaths& paths, const std::string& prefix);
// RunInPrefix for a program that ends with a message box: the box captioned
// `caption` is recorded ("caption=...", "text=..." with line breaks as
// "\n", "buttons=...") into `box` and dismissed with OK.
int RunWithBox(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
               const std::string& caption, std::vector<std::string>& box);

// The Windows path ("Z:\...") of a host path, as Wine maps it.
std::string WindowsPathOf(const std::string& hostPath);

// Maps a Windows "C:\..." path into a prefix's drive_c, matching existing
// folders without regard to case as Wine does.
std::string HostPath(const std::string& prefix, const std::string& windowsPath);

// Leaves out of an export of a prefix's registry the keys that are Wine's
// own business and may change while a scenario runs (the 64-bit prefix's
// 32-bit view, the desktop's display driver key).
void LeaveOutWineOwnKeys(sim::Registry& registry);

// The registry path of the drive icon registrations.
extern const char kDriveIconsKey[];

}  // namespace winetest
