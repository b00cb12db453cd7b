// The Wine harness: runs zavuninst.exe against one scenario, the shipped
// i686 exe under the 32-bit Wine or the x86_64 one under the 64-bit Wine, in
// a fresh prefix of that architecture holding the scenario's machine, with
// a stub installer and a stub companion window built for the same
// architecture. Its parts, one file each, are declared below under their
// jobs' names.
#pragma once

#include "scenario.h"

#include "image/machine_state.h"

#include "platform/sim/sim.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winetest {

// ---------------------------------------------------------------- running programs (processes.cpp)

struct HarnessPaths {  // the programs of one architecture, and where they run
    std::string loader;       // /usr/lib/wine/wine (32-bit) or /usr/lib/wine/wine64
    std::string wineArch;     // WINEARCH of the prefix: "win32" or "win64"
    std::string exe;          // build/win32/zavuninst.exe or build/win64/zavuninst.exe
    std::string collector;    // zavcollect.exe of the same build
    std::string programsDir;  // msiexec_stub.exe, companion.exe, boxwatch.exe, osversion.exe
    std::string workDir;      // template prefix and one folder per scenario
};

using Env = std::map<std::string, std::string>;  // set over the harness's own environment

// The exit code of a started program the kernel refused to execute.
constexpr int kCannotExecute = 126;

// Starts a program in its own process group in `cwd`, its output appended
// to the file `output`; no display of the caller's leaks in.
pid_t Spawn(const std::vector<std::string>& args, const Env& env, const std::string& cwd, const std::string& output);
int Poll(pid_t pid);                     // the exit status once it has ended, -1 while it runs
void Stop(pid_t pid);                    // ends a process Spawn started, with its process group
int WaitFor(pid_t pid, double seconds);  // the exit status; -1, and the process stopped, after `seconds`
int Run(const std::vector<std::string>& args, const Env& env, const std::string& cwd, const std::string& output,
        double seconds);  // Spawn, then WaitFor
bool WaitUntil(double seconds, const std::function<bool()>& done);  // false when `seconds` pass first

std::string ReadText(const std::string& path);  // empty when unreadable
std::vector<uint8_t> ReadBytes(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);  // without their CR LF or LF

// The Windows path ("Z:\...") of a host path, as Wine maps it.
std::string WindowsPathOf(const std::string& hostPath);

// The environment of a Windows program in `prefix`, run by the
// architecture's own loader (the plain `wine` command may start the 32-bit
// one, which cannot run a 64-bit prefix); the test programs write their
// logs into `logDir`. Wine (the command line) puts the loader first.
Env WineEnv(const HarnessPaths& paths, const std::string& prefix, const std::string& logDir);
std::vector<std::string> Wine(const Env& env, std::vector<std::string> args);

// A Windows program run in a prefix made by MakePrefix, its output beside
// the prefix: its exit status, -1 when it did not end within `seconds`.
int RunInPrefix(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
                double seconds);

struct ShownBox {  // a message box as the watcher (boxwatch.exe) saw it
    bool shown = false;
    std::string caption, text, buttons;  // line breaks as "\n"; "OK|Cancel"
};

// Starts the watcher for the box captioned `caption` (the completion
// message when empty), each of its steps given 60 s: it writes boxwatch.log
// into the environment's log folder and presses OK once the file `go`
// exists. ReadShownBox reads its log.
pid_t StartBoxWatcher(const HarnessPaths& paths, const Env& env, const std::string& go, const std::string& cwd,
                      const std::string& output, const std::string& caption = "");
ShownBox ReadShownBox(const std::string& logDir);

// RunInPrefix for a program that ends with a message box captioned
// `caption`: the box is recorded into `box` and dismissed at once.
int RunWithBox(const HarnessPaths& paths, const std::string& prefix, const std::vector<std::string>& args,
               const std::string& caption, ShownBox& box);

// ---------------------------------------------------------------- prefixes (prefix.cpp)

// Why this loader cannot run the scenarios here (empty when it can). Makes
// the template prefix on first use.
std::string WineUnavailableReason(const HarnessPaths& paths);

// True when this machine's kernel refuses to execute `program` at all
// (execve fails with ENOEXEC: a 32-bit loader on a kernel built without
// 32-bit support). That is a limit of the machine, not a missing install
// step, so the suite skips such an architecture even under CI.
bool KernelCannotExecute(const std::string& program);

// A fresh prefix "<work folder>/<name>/prefix", copied from the template
// over whatever an earlier run left there; false with the reason when it
// cannot be made. EndPrefix stops its wineserver, which writes the
// registry files as it ends.
bool MakePrefix(const HarnessPaths& paths, const std::string& name, std::string& prefix, std::string& error);
void EndPrefix(const HarnessPaths& paths, const std::string& prefix);

// Puts the scenario's machine before the run into the fresh prefix of
// `env`: its Windows version, `registry` (REGEDIT4 lines without the
// header) and its registry texts, its files, and the stub installer as
// system32\msiexec.exe; `version` is what GetVersionExA then reports there.
// Runs in `work`; its logs go to work/logs, the log folder of `env`.
bool SeedPrefix(const HarnessPaths& paths, const Env& env, const std::string& work, const Scenario& scenario,
                const std::string& registry, std::string& version, std::string& error);

// ---------------------------------------------------------------- the relay trace (relay_trace.cpp)

// One call of the program's own (not of a DLL it calls), named by the
// simulator's call table: its text arguments in order, every argument's
// number as the trace prints it (hex), its return value.
struct RelayCall {
    sim::Api function = sim::Api::RegDeleteKeyA;
    std::vector<std::string> texts, numbers;
    unsigned long long retval = 0;
};

// The registry lines (REGEDIT4, without the header) that limit Wine's relay
// trace to the calls that may change the machine and the registry's W
// functions (which the collector must not call on the 9x family); in
// HKEY_CURRENT_USER, which the run's comparisons leave out.
std::string RelayRegistry();

// The program's calls, in order, in the trace (WINEDEBUG=+relay,+loaddll) of
// a run of `exe`; `error` says why the trace cannot be read.
std::vector<RelayCall> ReadRelayCalls(const std::string& trace, const std::string& exe, std::string& error);

// ---------------------------------------------------------------- exports (exports.cpp)

extern const char kDriveIconsKey[];  // the drive icon registrations

// regedit /E of `key` into `file`, read back into `registry` (empty when
// the key does not exist), Wine's own keys left out (LeaveOutWineOwnKeys).
// Wine's output goes to logDir/wine.log.
bool ExportRegistry(const Env& env, const std::string& logDir, const std::string& key, const std::string& file,
                    sim::Registry& registry, std::string& error);

// Every root of the registry as regedit exports it: the export's lines
// (letters beyond ASCII as "?"), each with how often it stands there when
// that is more than once.
bool ExportWholeRegistry(const Env& env, const std::string& logDir, const std::string& file, image::StateLines& lines,
                         std::string& error);

// Leaves out of an export of a prefix's registry the keys that are Wine's
// own business and may change while a scenario runs (the 64-bit prefix's
// 32-bit view, the desktop's display driver key).
void LeaveOutWineOwnKeys(sim::Registry& registry);

// The prefix's drive_c: folders and files, read-only as the only attribute
// Wine shows; a large file's content told by its size and time.
image::StateLines DriveC(const std::string& prefix);

// The key `from` and below as a regedit export of them reads back, to
// compare with Wine's exports: an export cannot tell an empty text stored
// without its zero from one stored with it (both read back with the zero).
image::StateLines ExportedRegistryState(sim::Registry registry, const std::string& from = "HKEY_LOCAL_MACHINE",
                                        unsigned codePage = sim::kDefaultCodePage);

// A simulated machine's files (no folders), read-only as their only
// attribute: what Wine shows of a file.
image::StateLines FileState(const sim::FileSystem& files);

// Where two states disagree, among the lines `about` accepts (every line
// when it is empty): `aOnly` and each line of `a` that `b` lacks or tells
// otherwise, then `bOnly` and each such line of `b`.
std::vector<std::string> Disagreements(const image::StateLines& a, const image::StateLines& b,
                                       const std::string& aOnly, const std::string& bOnly,
                                       const std::function<bool(const std::string&)>& about = {});

// ---------------------------------------------------------------- the scenario's run (wine_harness.cpp)

struct Outcome {
    std::string windowsVersion;  // as Scenario::version tells it
    ShownBox box;                // the completion message
    // While the box was up.
    bool programRunningAtBox = false, installerStartedAtBox = false;
    std::vector<std::string> companionAtBox;
    sim::Registry driveIconsAtBox;
    // After the run.
    int exitCode = -1;
    std::vector<std::string> installerLog, companionLog;  // the stub's command lines; the companion's log
    sim::Registry registryBefore, registryAfter;  // HKEY_LOCAL_MACHINE, as regedit /E exports it
    image::StateLines filesBefore, filesAfter;    // DriveC
    std::string logDir;                           // where the run's logs stay
    // The collector, run while the companion was up and before the program.
    int collectorExit = -1;
    std::string imageDir;  // the machine image it wrote (outside the prefix)
    // What of the prefix differed after collecting: the lines of the whole
    // registry's export and of drive_c that only one side has.
    std::vector<std::string> changedByCollecting;
    // The program's calls that change the machine, in the order it made them.
    std::vector<RelayCall> calls;
    // The collector's registry calls of the W functions (and any call that
    // would change the machine), in order.
    std::vector<RelayCall> collectorCalls;
};

// The collector takes the prefix's image first, with the companion window
// up, under the relay trace; then the program runs under it, the machine is checked
// while its completion message is up, the message is dismissed, and the
// machine after is recorded. False, with the reason, when the run itself
// could not be carried out (a step timed out, a tool failed); the outcome
// then holds what was seen up to that point. The prefix stays for a look
// (wine regedit, winedbg) until the scenario runs again.
bool RunScenario(const HarnessPaths& paths, const Scenario& scenario, Outcome& outcome, std::string& error);

}  // namespace winetest
