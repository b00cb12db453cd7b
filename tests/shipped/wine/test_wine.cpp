// End-to-end runs of the real program under Wine, one per scenario file and
// architecture (wine_harness.h), each checking the completion message and
// what had and had not happened while it was up, the steps after it, and
// the whole registry (HKEY_LOCAL_MACHINE) and drive_c against the machine
// the scenario expects; then the collected image, the dry run on it
// (prediction.h) and the simulator twin (sim_twin.h) against Wine's run, up
// to the differences of Wine the scenario names. Where an architecture's
// Wine cannot start, its tests are skipped with the reason; under CI (the
// environment variable CI set) that is a failure.
#include "prediction.h"
#include "scenario.h"
#include "sim_twin.h"
#include "wine_harness.h"

#include "image/machine_state.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include <unistd.h>

namespace fs = std::filesystem;

namespace winetest {
namespace {

const char kInstallerParameters[] = " /X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn";

std::string Lines(const std::vector<std::string>& lines, size_t limit = 60) {
    std::string text;
    for (size_t i = 0; i < lines.size() && i < limit; ++i) text += "  " + lines[i] + "\n";
    if (lines.size() > limit) text += "  ... " + std::to_string(lines.size() - limit) + " more\n";
    return text;
}

// Holds when there are no lines; else tells `what`, then the lines.
testing::AssertionResult NoLines(const std::vector<std::string>& lines, const std::string& what) {
    if (lines.empty()) return testing::AssertionSuccess();
    return testing::AssertionFailure() << what << ":\n" << Lines(lines);
}

// "missing    LINE" for a line of `expected` that `actual` lacks or tells
// otherwise, "unexpected LINE" for one of `actual`.
std::vector<std::string> Differences(const image::StateLines& expected, const image::StateLines& actual) {
    return Disagreements(expected, actual, "missing    ", "unexpected ");
}

// The architectures, each with its exe, Wine loader and prefix.
struct Architecture {
    const char* name;       // the test name's first part and the mingw compiler's prefix
    const char* preset;     // the preset that builds the exe, and WINEARCH
    const char* loader;     // the Wine loader
    const char* installed;  // what installs the loader
};
const Architecture kArchitectures[] = {
    {"i686", "win32", ZAV_WINE_LOADER_I686, "apt-get install wine32:i386, after dpkg --add-architecture i386"},
    {"x86_64", "win64", ZAV_WINE_LOADER_X86_64, "apt-get install wine64"},
};

HarnessPaths Paths(const Architecture& arch) {
    const std::string build = std::string(ZAV_SOURCE_DIR) + "/build/" + arch.preset;
    return {arch.loader, arch.preset, build + "/zavuninst.exe", build + "/zavcollect.exe",
            std::string(ZAV_WINE_PROGRAMS_DIR) + "/" + arch.name, std::string(ZAV_WINE_WORK_DIR) + "/" + arch.name};
}

// Why the run cannot happen here; empty when it can.
std::string MissingPrerequisite(const Architecture& arch, const HarnessPaths& paths) {
    for (const char* program : {"msiexec_stub.exe", "companion.exe", "boxwatch.exe", "osversion.exe"})
        if (!fs::exists(paths.programsDir + "/" + program))
            return paths.programsDir + "/" + program + " is not built (it needs " + arch.name + "-w64-mingw32-gcc)";
    for (const std::string& exe : {paths.exe, paths.collector})
        if (!fs::exists(exe))
            return exe + " is not built (cmake --preset " + arch.preset + " && cmake --build --preset " + arch.preset +
                   ")";
    if (access(paths.loader.c_str(), X_OK) != 0)
        return "the Wine loader " + paths.loader + " is not installed (" + arch.installed + ")";
    return WineUnavailableReason(paths);
}

// Skips the test when the architecture's run cannot happen here. Under CI
// (the environment variable CI set) a missing build or install step fails
// it instead; a kernel that cannot execute the loader is the machine's
// limit, and is skipped there too, saying so.
#define SKIP_WITHOUT_WINE(arch, paths)                                                              \
    if (const std::string missing = MissingPrerequisite(arch, paths); !missing.empty()) {          \
        if (KernelCannotExecute(paths.loader))                                                      \
            GTEST_SKIP() << "this kernel cannot execute " << paths.loader << " (no " << arch.name  \
                         << " programs here): " << missing;                                         \
        if (std::getenv("CI") != nullptr) FAIL() << missing;                                        \
        GTEST_SKIP() << missing;                                                                    \
    }

// How the test names print an architecture.
void PrintTo(const Architecture& arch, std::ostream* out) { *out << arch.name; }

// A row: the architecture, the scenario file's name.
using Row = std::tuple<Architecture, std::string>;

class WineScenario : public testing::TestWithParam<Row> {};

TEST_P(WineScenario, Run) {
    const Architecture& arch = std::get<0>(GetParam());
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(LoadScenario(std::get<1>(GetParam()), scenario, error)) << error;
    const HarnessPaths paths = Paths(arch);
    SKIP_WITHOUT_WINE(arch, paths);
    RecordProperty("scenario", scenario.description);

    Outcome outcome;
    ASSERT_TRUE(RunScenario(paths, scenario, outcome, error)) << error << " (logs in " << outcome.logDir << ")";
    EXPECT_EQ(outcome.windowsVersion, scenario.version) << "Wine does not play the scenario's Windows";

    // The completion message, before anything of the steps after it; or,
    // where the scenario expects none, none.
    if (scenario.expectMessage) {
        EXPECT_EQ(outcome.box.caption, " Success!");
        EXPECT_EQ(outcome.box.text, "UnInstall finished!");
        EXPECT_EQ(outcome.box.buttons, "OK");
        EXPECT_TRUE(outcome.programRunningAtBox);
        EXPECT_FALSE(outcome.installerStartedAtBox) << "the installer ran before the message was dismissed";
        EXPECT_EQ(outcome.companionAtBox, std::vector<std::string>{"ready"})
            << "the companion was reached before the message was dismissed";
        EXPECT_TRUE(NoLines(Differences(ExportedRegistryState(outcome.registryBefore, kDriveIconsKey),
                                        ExportedRegistryState(outcome.driveIconsAtBox, kDriveIconsKey)),
                            "drive icons touched before the message was dismissed"));
    } else {
        EXPECT_FALSE(outcome.box.shown) << "a message: \"" << outcome.box.text << "\"";
    }

    // The steps after it, and the exit code.
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_EQ(outcome.installerLog.size(), 1u) << "installer starts:\n" << Lines(outcome.installerLog);
    const std::string& command = outcome.installerLog[0];
    EXPECT_TRUE(EndsWith(command, kInstallerParameters)) << command;
    EXPECT_NE(command.find("MsiExec.exe"), std::string::npos) << command;
    EXPECT_EQ(outcome.companionLog, (std::vector<std::string>{"ready", "WM_CLOSE"}));

    // The registry: the machine before, changed exactly as the scenario says.
    sim::Registry expected = outcome.registryBefore;
    ApplyRegText(scenario.expectRegistry, expected);
    EXPECT_TRUE(NoLines(Differences(ExportedRegistryState(expected), ExportedRegistryState(outcome.registryAfter)),
                        "registry after the run differs from the expected machine"));

    // The files below drive_c, likewise.
    image::StateLines expectedFiles = outcome.filesBefore;
    for (const std::string& gone : scenario.expectGone)
        EXPECT_EQ(expectedFiles.erase(image::FileWhat(gone)), 1u) << gone << " was not there before the run";
    for (const ScenarioFile& file : scenario.expectFiles)
        image::AddFile(expectedFiles, file.path, false, file.readOnly ? FILE_ATTRIBUTE_READONLY : 0,
                       file.content.size(), image::ContentDigest(file.content));
    EXPECT_TRUE(NoLines(Differences(expectedFiles, outcome.filesAfter),
                        "drive_c after the run differs from the expected machine"));

    // The collector left the prefix as it was, and the dry run on its image
    // told what the program then did.
    EXPECT_EQ(outcome.collectorExit, 0) << "zavcollect.exe: see " << outcome.logDir << "/zavcollect.out";
    EXPECT_TRUE(NoLines(outcome.changedByCollecting, "collecting changed the prefix"));
    // Its registry calls: on the 9x family the A functions alone (Wine's
    // Windows 98 mode implements the W ones, Windows 98 does not); on the NT
    // family the W functions, which the trace sees.
    size_t wideCalls = 0;
    for (const RelayCall& c : outcome.collectorCalls) {
        const bool wide = c.function == sim::Api::RegOpenKeyExW || c.function == sim::Api::RegEnumKeyExW ||
                          c.function == sim::Api::RegEnumValueW || c.function == sim::Api::RegQueryInfoKeyW;
        wideCalls += wide ? 1 : 0;
        if (wide && scenario.version.rfind("1 ", 0) == 0)
            ADD_FAILURE() << "the collector called " << sim::ApiName(c.function) << " on Windows 98";
    }
    if (scenario.version.rfind("2 ", 0) == 0) {
        EXPECT_GT(wideCalls, 0u) << "the trace shows no W registry call of the collector on the NT family";
    }
    // With setupapi.dll missing: an image all the same, with a note and no
    // device, and machine.ini saying so.
    if (scenario.setupApiMissing) {
        EXPECT_NE(ReadText(outcome.imageDir + "/notes.txt").find("devices: cannot list the present devices (Windows "
                                                                 "error 120)"),
                  std::string::npos);
        const std::string ini = ReadText(outcome.imageDir + "/machine.ini");
        EXPECT_NE(ini.find("\r\nsetupapi = missing\r\n"), std::string::npos) << ini;
        EXPECT_NE(ini.find("[devices]\r\n\r\n[windows]"), std::string::npos) << ini;
    }
    Prediction predicted;
    ASSERT_TRUE(RunDryRun(ZAV_DRYRUN_TOOL, outcome.imageDir, outcome.imageDir + "-predicted", predicted, error))
        << error;
    EXPECT_TRUE(NoLines(CompareImageWithMachine(predicted, outcome, scenario),
                        "the collected registry against Wine's export of the machine before the run"));
    const Comparison prediction = ComparePrediction(predicted, outcome);
    EXPECT_TRUE(NoLines(prediction.mismatches, "the dry run on the collected image (" + outcome.imageDir +
                                                   ") against the real run"));

    // The simulator twin: the same machine before, the same machine after.
    TwinOutcome twin;
    ASSERT_TRUE(RunSimulatorTwin(scenario, outcome, twin, error)) << error;
    EXPECT_EQ(twin.exitCode, 0);
    auto call = [](sim::Api api) { return std::string(sim::ApiName(api)) + " "; };
    std::vector<std::string> twinEvents = {call(sim::Api::ShellExecuteA) + "MsiExec.exe" + kInstallerParameters,
                                           call(sim::Api::SendMessageA) + "Glovix 16"};
    if (scenario.expectMessage)
        twinEvents.insert(twinEvents.begin(), call(sim::Api::MessageBoxA) + "\"UnInstall finished!\" \" Success!\"");
    EXPECT_EQ(twin.events, twinEvents);
    const Comparison sameAsTwin = CompareTwin(scenario, outcome, twin);
    EXPECT_TRUE(NoLines(sameAsTwin.mismatches, "the simulator twin against Wine after the run"));

    // A difference of Wine excuses only the scenarios that name it, and a
    // scenario names only those its run needs.
    std::set<WineDifference> excused = prediction.excused, named;
    excused.insert(sameAsTwin.excused.begin(), sameAsTwin.excused.end());
    for (const auto& difference : scenario.differences) named.insert(difference.first);
    EXPECT_EQ(Names(excused), Names(named))
        << "the differences of Wine this run needed, against those its scenario names";
}

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    std::istringstream list(ZAV_WINE_SCENARIOS);  // the scenario files' names, comma-separated
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
    return names;
}

// Named "i686_win98_package", "x86_64_win98_package", ...
INSTANTIATE_TEST_SUITE_P(Scenarios, WineScenario,
                         testing::Combine(testing::ValuesIn(kArchitectures), testing::ValuesIn(ScenarioNames())),
                         [](const testing::TestParamInfo<Row>& row) {
                             return std::string(std::get<0>(row.param).name) + "_" + std::get<1>(row.param);
                         });

// The collector's command line, one run after the other in one prefix: the
// folder it writes (beside itself, named after the computer, when none is
// given) and its exit code.
class CollectorCommandLine : public testing::TestWithParam<Architecture> {};

TEST_P(CollectorCommandLine, WritesANewImageFolderOrRefuses) {
    const Architecture& arch = GetParam();
    const HarnessPaths paths = Paths(arch);
    SKIP_WITHOUT_WINE(arch, paths);
    std::string prefix, error;
    ASSERT_TRUE(MakePrefix(paths, "collector-command-line", prefix, error)) << error;
    const fs::path beside = fs::path(prefix).parent_path() / "beside";
    fs::remove_all(beside);  // what an earlier run left
    fs::create_directories(beside);
    fs::copy_file(paths.collector, beside / "zavcollect.exe", fs::copy_options::overwrite_existing);
    const std::string exe = (beside / "zavcollect.exe").string();
    const std::string given = WindowsPathOf((beside / "given").string());
    std::ofstream((beside / "a file").string()) << "not a folder\n";
    auto folders = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(beside))
            if (entry.is_directory()) names.insert(entry.path().filename().string());
        return names;
    };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        const char* newFolder;  // "" none, "?" one named after the computer, "?-2" that name and "-2"
    };
    const Case cases[] = {
        {"no folder: a new one beside the exe", {}, 0, "?"},
        {"no folder again: the next free name", {}, 0, "?-2"},
        {"a folder given", {given}, 0, "given"},
        {"the same folder again, now not empty", {given}, 1, ""},
        {"a file given", {WindowsPathOf((beside / "a file").string())}, 1, ""},
        {"a folder whose parent is missing", {WindowsPathOf((beside / "none/image").string())}, 1, ""},
        {"an unknown option", {"/verbose"}, 2, ""},
        {"two folders", {given + "1", given + "2"}, 2, ""},
    };
    std::string computerFolder;
    for (const Case& row : cases) {
        const std::set<std::string> before = folders();
        std::vector<std::string> args = {exe, "/QUIET"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        EXPECT_EQ(RunInPrefix(paths, prefix, args, 120), row.exitCode) << row.what;
        std::vector<std::string> added;
        for (const std::string& name : folders())
            if (before.count(name) == 0) added.push_back(name);
        std::string expected = row.newFolder;
        if (expected == "?" && added.size() == 1) computerFolder = added[0];
        if (!expected.empty() && expected[0] == '?') expected = computerFolder + expected.substr(1);
        EXPECT_EQ(added, expected.empty() ? std::vector<std::string>{} : std::vector<std::string>{expected})
            << row.what;
        for (const std::string& name : added)
            for (const char* file : {"registry.reg", "machine.ini"})
                EXPECT_TRUE(fs::exists(beside / name / file)) << row.what << ": " << name << "/" << file;
    }
    EXPECT_FALSE(computerFolder.empty());

    // Without /quiet, one message says what was written where and what to
    // do next, or why nothing was written.
    ShownBox box;
    const std::string boxed = WindowsPathOf((beside / "boxed").string());
    EXPECT_EQ(RunWithBox(paths, prefix, {exe, boxed}, "Machine image", box), 0);
    ASSERT_TRUE(box.shown) << "no box captioned \"Machine image\"";
    EXPECT_EQ(box.caption, "Machine image");
    for (const std::string& part : {"The machine image is written to the folder\\n\\n" + boxed + "\\n\\n",
                                    std::string("1. Copy this folder"), std::string("run: zavuninst-sim boxed\\n"),
                                    std::string("Then run the uninstaller, zavuninst.exe, here.")})
        EXPECT_NE(box.text.find(part), std::string::npos) << part << " is not in " << box.text;
    EXPECT_EQ(box.buttons, "OK");
    EXPECT_EQ(RunWithBox(paths, prefix, {exe, boxed}, "Machine image", box), 1);
    ASSERT_TRUE(box.shown) << "no box captioned \"Machine image\"";
    EXPECT_EQ(box.text.rfind("No machine image was written.\\n\\nThe folder " + boxed + " is not empty", 0), 0u)
        << box.text;
    EndPrefix(paths, prefix);
}

INSTANTIATE_TEST_SUITE_P(Architectures, CollectorCommandLine, testing::ValuesIn(kArchitectures),
                         [](const testing::TestParamInfo<Architecture>& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------- the harness's own parts

TEST(ScenarioFiles, AllParseWithTheirRegistryTexts) {
    for (const std::string& name : ScenarioNames()) {
        Scenario scenario;
        std::string error;
        EXPECT_TRUE(LoadScenario(name, scenario, error)) << error;
        EXPECT_FALSE(scenario.description.empty()) << name << " says nothing about itself";
    }
}

}  // namespace
}  // namespace winetest
