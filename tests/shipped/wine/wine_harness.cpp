// A scenario's run under Wine, step by step: the prefix seeded, the
// collector, the program under the relay trace with its message watched,
// the machine recorded before, while the message is up, and after.
#include "wine_harness.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace winetest {

bool RunScenario(const HarnessPaths& paths, const Scenario& scenario, Outcome& outcome, std::string& error) {
    outcome = Outcome();
    const std::string work = paths.workDir + "/" + scenario.name;
    const std::string logs = work + "/logs";
    outcome.logDir = logs;
    std::error_code ec;
    fs::remove_all(work, ec);
    fs::create_directories(logs, ec);
    std::string prefix;
    if (!MakePrefix(paths, scenario.name, prefix, error)) return false;
    const Env env = WineEnv(paths, prefix, logs);
    const std::string wineLog = logs + "/wine.log";
    std::vector<pid_t> started;
    auto finish = [&](bool ok) {
        for (pid_t pid : started)
            if (Poll(pid) < 0) Stop(pid);
        EndPrefix(paths, prefix);
        return ok;
    };
    auto fail = [&](const std::string& why) {
        error = why;
        return finish(false);
    };

    // The machine before, the relay trace limited to the calls that change
    // the machine (set before anything is compared).
    if (!SeedPrefix(paths, env, work, scenario, RelayRegistry(), outcome.windowsVersion, error) ||
        !ExportRegistry(env, logs, "HKEY_LOCAL_MACHINE", work + "/before.reg", outcome.registryBefore, error))
        return finish(false);
    outcome.filesBefore = DriveC(prefix);

    // The companion window first, then the collector, with the machine as
    // the program will find it; the whole registry and drive_c around it.
    const pid_t companion = Spawn(Wine(env, {paths.programsDir + "/companion.exe", "120"}), env, work, wineLog);
    started.push_back(companion);
    if (!WaitUntil(60, [&] { return ReadLines(logs + "/companion.log") == std::vector<std::string>{"ready"}; }))
        return fail("the companion window did not come up");
    image::StateLines registryBeforeCollecting, registryAfterCollecting;
    if (!ExportWholeRegistry(env, logs, work + "/whole-before-collecting.reg", registryBeforeCollecting, error))
        return finish(false);
    const image::StateLines filesBeforeCollecting = DriveC(prefix);
    outcome.imageDir = work + "/image";
    std::vector<std::string> collect = {paths.collector, "/quiet", WindowsPathOf(outcome.imageDir)};
    if (scenario.collectAll) collect.insert(collect.begin() + 1, "/all");
    // Both programs, and they alone, without Wine's setupapi.dll when the
    // scenario says so; the collector's calls traced as the program's are.
    Env programs = env;
    if (scenario.setupApiMissing) programs["WINEDLLOVERRIDES"] += ";setupapi=d";
    Env collecting = programs;
    collecting["WINEDEBUG"] = "+relay,+loaddll";
    outcome.collectorExit = Run(Wine(collecting, collect), collecting, work, logs + "/zavcollect.out", 180);
    if (!ExportWholeRegistry(env, logs, work + "/whole-after-collecting.reg", registryAfterCollecting, error))
        return finish(false);
    outcome.changedByCollecting = Disagreements(registryBeforeCollecting, registryAfterCollecting,
                                                "registry before only: ", "registry after only:  ");
    for (const std::string& line :
         Disagreements(filesBeforeCollecting, DriveC(prefix), "file before: ", "file after:  "))
        outcome.changedByCollecting.push_back(line);

    // The program, its calls traced (the trace goes to its output), and the
    // watcher of its message.
    Env traced = programs;
    traced["WINEDEBUG"] = "+relay,+loaddll";
    const pid_t program = Spawn(Wine(traced, {paths.exe}), traced, work, logs + "/zavuninst.out");
    started.push_back(program);
    int programExit = -1;  // once it has ended (Poll reaps it)
    auto programEnded = [&] { return programExit >= 0 || (programExit = Poll(program)) >= 0; };
    const std::string go = logs + "/go";
    const pid_t watcher = StartBoxWatcher(paths, env, go, work, wineLog);
    started.push_back(watcher);
    // A run that shows no message ends without one; give it the same time.
    WaitUntil(75, [&] {
        return ReadShownBox(logs).shown || Poll(watcher) >= 0 || (!scenario.expectMessage && programEnded());
    });
    outcome.box = ReadShownBox(logs);
    if (!outcome.box.shown && scenario.expectMessage) return fail("no completion message appeared");

    if (outcome.box.shown) {
        // The machine while the message is up, then the user's OK.
        outcome.programRunningAtBox = !programEnded();
        outcome.installerStartedAtBox = fs::exists(logs + "/msiexec.log");
        outcome.companionAtBox = ReadLines(logs + "/companion.log");
        if (!ExportRegistry(env, logs, kDriveIconsKey, work + "/icons-at-box.reg", outcome.driveIconsAtBox, error))
            return finish(false);
        std::ofstream(go, std::ios::binary) << "go\n";
        if (WaitFor(watcher, 60) != 0) return fail("the watcher could not dismiss the message");
    } else {
        Stop(watcher);  // waiting for a message that does not come
    }
    outcome.exitCode = WaitUntil(60, programEnded) ? programExit : -1;
    if (outcome.exitCode < 0) return fail("zavuninst.exe did not end");
    // The installer is started and not waited for: give the stub its moment.
    // Its log exists from the stub's fopen on, and holds the line from its
    // fclose on.
    WaitUntil(20, [&] {
        const std::string log = ReadText(logs + "/msiexec.log");
        return !log.empty() && log.back() == '\n';
    });
    WaitFor(companion, 30);
    outcome.installerLog = ReadLines(logs + "/msiexec.log");
    outcome.companionLog = ReadLines(logs + "/companion.log");

    if (!ExportRegistry(env, logs, "HKEY_LOCAL_MACHINE", work + "/after.reg", outcome.registryAfter, error))
        return finish(false);
    outcome.filesAfter = DriveC(prefix);
    outcome.calls = ReadRelayCalls(ReadText(logs + "/zavuninst.out"), paths.exe, error);
    if (error.empty()) outcome.collectorCalls = ReadRelayCalls(ReadText(logs + "/zavcollect.out"), paths.collector, error);
    return finish(error.empty());
}

}  // namespace winetest
