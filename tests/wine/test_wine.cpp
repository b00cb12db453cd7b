// End-to-end runs of the real program (the win64 build of the same sources)
// under Wine, one per scenario file in tests/wine/scenarios. Each checks the
// completion message and what had and had not happened while it was up,
// the exit code, the installer's command line, the companion's WM_CLOSE,
// and the whole registry (HKEY_LOCAL_MACHINE) and drive_c against the
// machine the scenario expects. Then the same run goes through the
// simulator, given Wine's machine before, and the two machines after must
// agree, up to the platform differences the scenario names.
//
// Where Wine cannot start, the scenarios are skipped with the reason; under
// CI (the environment variable CI set) that is a failure.
#include "reg_file.h"
#include "scenario.h"
#include "sim_twin.h"
#include "wine_harness.h"

#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

extern const char* const kWineScenarioNames[];  // generated: the scenario files

namespace winetest {
namespace {

const std::string kScenarioDir = std::string(ZAV_SOURCE_DIR) + "/tests/wine/scenarios";
const char kInstallerParameters[] = " /X {6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3} /qn";

std::string Lines(const std::vector<std::string>& lines, size_t limit = 60) {
    std::string text;
    for (size_t i = 0; i < lines.size() && i < limit; ++i) text += "  " + lines[i] + "\n";
    if (lines.size() > limit) text += "  ... " + std::to_string(lines.size() - limit) + " more\n";
    return text;
}

std::string Describe(const FileState& state) {
    if (state.directory) return state.path + " (folder)";
    return state.path + (state.readOnly ? " read-only" : "") + " size " + std::to_string(state.size) + " " +
           state.digest;
}

std::vector<std::string> FileDifferences(const FileImage& expected, const FileImage& actual) {
    std::vector<std::string> differences;
    for (const auto& [key, want] : expected) {
        const auto have = actual.find(key);
        if (have == actual.end()) differences.push_back("missing    " + Describe(want));
        else if (Describe(have->second) != Describe(want))
            differences.push_back("changed    " + Describe(have->second) + ", expected " + Describe(want));
    }
    for (const auto& [key, have] : actual)
        if (expected.count(key) == 0) differences.push_back("unexpected " + Describe(have));
    return differences;
}

// The scenario's files, and every file the twin holds after the run, as
// the twin and Wine have them after the run.
std::vector<std::string> TwinFileDifferences(const Scenario& scenario, const FileImage& twin, const FileImage& wine) {
    std::set<std::string> keys;
    for (const ScenarioFile& file : scenario.files) keys.insert(FileKey(file.path));
    for (const ScenarioFile& file : scenario.expectFiles) keys.insert(FileKey(file.path));
    for (const auto& entry : twin) keys.insert(entry.first);
    auto state = [](const FileImage& image, const std::string& key) {
        const auto found = image.find(key);
        if (found == image.end()) return std::string("absent");
        const FileState& f = found->second;
        return std::string(f.readOnly ? "read-only " : "") + "size " + std::to_string(f.size) + " " + f.digest;
    };
    std::vector<std::string> differences;
    for (const std::string& key : keys)
        if (state(twin, key) != state(wine, key))
            differences.push_back("C:/" + key + ": twin " + state(twin, key) + ", Wine " + state(wine, key));
    return differences;
}

// Skips (or under CI fails) when the run cannot happen here; empty when it can.
std::string MissingPrerequisite(const HarnessPaths& paths) {
    if (std::string(ZAV_WINE_PROGRAMS_DIR).empty())
        return "x86_64-w64-mingw32-gcc was not found when the build was configured";
    for (const char* program : {"msiexec_stub.exe", "companion.exe", "boxwatch.exe", "osversion.exe"})
        if (!fs::exists(paths.programsDir + "/" + program)) return paths.programsDir + "/" + program + " is not built";
    if (!fs::exists(paths.exe))
        return paths.exe + " is not built (cmake --preset win64 && cmake --build --preset win64)";
    return WineUnavailableReason(paths);
}

// What GetVersionExA must report for the scenario's Windows.
std::string ExpectedVersion(const Scenario& scenario) {
    if (scenario.windows == "win98") return "1 4.10  A ";
    if (scenario.windows == "win2k") return "2 5.0 Service Pack 4";
    if (scenario.windows == "winxp") return "2 5.1 Service Pack 3";
    return "2 5.0 " + scenario.servicePack;
}

HarnessPaths Paths() {
    HarnessPaths paths;
    paths.exe = std::string(ZAV_SOURCE_DIR) + "/build/win64/zavuninst.exe";
    paths.programsDir = ZAV_WINE_PROGRAMS_DIR;
    paths.workDir = ZAV_WINE_WORK_DIR;
    return paths;
}

class WineScenario : public testing::TestWithParam<std::string> {};

TEST_P(WineScenario, Run) {
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(LoadScenario(kScenarioDir + "/" + GetParam() + ".scn", scenario, error)) << error;
    const HarnessPaths paths = Paths();
    const std::string missing = MissingPrerequisite(paths);
    if (!missing.empty()) {
        if (std::getenv("CI") != nullptr) FAIL() << missing;
        GTEST_SKIP() << missing;
    }
    RecordProperty("scenario", scenario.description);

    Outcome outcome;
    const bool ran = RunScenario(paths, scenario, outcome, error);
    ASSERT_TRUE(ran) << error << " (logs in " << outcome.logDir << ")";
    EXPECT_EQ(outcome.windowsVersion, ExpectedVersion(scenario)) << "Wine does not play the scenario's Windows";

    // The completion message, before anything of the steps after it.
    EXPECT_EQ(outcome.boxCaption, " Success!");
    EXPECT_EQ(outcome.boxText, "UnInstall finished!");
    EXPECT_EQ(outcome.boxButtons, "OK");
    EXPECT_TRUE(outcome.programRunningAtBox);
    EXPECT_FALSE(outcome.installerStartedAtBox) << "the installer ran before the message was dismissed";
    EXPECT_EQ(outcome.companionAtBox, std::vector<std::string>{"ready"})
        << "the companion was reached before the message was dismissed";
    const std::vector<std::string> iconsAtBox =
        Differences(outcome.registryBefore.Subtree(kDriveIconsKey), outcome.driveIconsAtBox.Subtree(kDriveIconsKey));
    EXPECT_TRUE(iconsAtBox.empty()) << "drive icons touched before the message was dismissed:\n" << Lines(iconsAtBox);

    // The steps after it, and the exit code.
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_EQ(outcome.installerLog.size(), 1u) << "installer starts:\n" << Lines(outcome.installerLog);
    const std::string& command = outcome.installerLog[0];
    EXPECT_TRUE(command.size() > sizeof kInstallerParameters &&
                command.compare(command.size() - (sizeof kInstallerParameters - 1), std::string::npos,
                                kInstallerParameters) == 0)
        << command;
    EXPECT_NE(command.find("MsiExec.exe"), std::string::npos) << command;
    EXPECT_EQ(outcome.companionLog, (std::vector<std::string>{"ready", "WM_CLOSE"}));

    // The registry: the machine before, changed exactly as the scenario says.
    RegImage expected = outcome.registryBefore;
    ASSERT_TRUE(scenario.expectRegistry.empty() || ApplyRegText(scenario.expectRegistry, expected, error)) << error;
    const std::vector<std::string> registry = Differences(expected, outcome.registryAfter);
    EXPECT_TRUE(registry.empty()) << "registry after the run differs from the expected machine:\n" << Lines(registry);

    // The files below drive_c, likewise.
    FileImage expectedFiles = outcome.filesBefore;
    for (const std::string& gone : scenario.expectGone) {
        EXPECT_EQ(expectedFiles.count(FileKey(gone)), 1u) << gone << " was not there before the run";
        expectedFiles.erase(FileKey(gone));
    }
    for (const ScenarioFile& file : scenario.expectFiles) {
        FileState state;
        state.path = expectedFiles.count(FileKey(file.path)) ? expectedFiles[FileKey(file.path)].path : file.path;
        state.readOnly = file.readOnly;
        state.size = file.content.size();
        state.digest = ContentDigest(file.content);
        expectedFiles[FileKey(file.path)] = state;
    }
    const std::vector<std::string> files = FileDifferences(expectedFiles, outcome.filesAfter);
    EXPECT_TRUE(files.empty()) << "drive_c after the run differs from the expected machine:\n" << Lines(files);

    // The simulator twin: the same machine before, the same machine after.
    TwinOutcome twin;
    ASSERT_TRUE(RunSimulatorTwin(scenario, outcome, twin, error)) << error;
    EXPECT_EQ(twin.exitCode, 0);
    auto call = [](sim::Api api) { return std::string(sim::ApiName(api)) + " "; };
    EXPECT_EQ(twin.events, (std::vector<std::string>{
                               call(sim::Api::MessageBoxA) + "\"UnInstall finished!\" \" Success!\"",
                               call(sim::Api::ShellExecuteA) + "MsiExec.exe" + kInstallerParameters,
                               call(sim::Api::SendMessageA) + "Glovix 16"}));
    RegImage twinRegistry = twin.registryAfter;
    ASSERT_TRUE(scenario.simulatorDiffers.empty() || ApplyRegText(scenario.simulatorDiffers, twinRegistry, error))
        << error;
    const std::vector<std::string> twinDifferences = Differences(twinRegistry, outcome.registryAfter);
    EXPECT_TRUE(twinDifferences.empty())
        << "registry after the run: \"missing\" only in the simulator twin, \"unexpected\" only under Wine:\n"
        << Lines(twinDifferences);
    const std::vector<std::string> twinFiles = TwinFileDifferences(scenario, twin.filesAfter, outcome.filesAfter);
    EXPECT_TRUE(twinFiles.empty()) << "files after the run, simulator twin against Wine:\n" << Lines(twinFiles);
}

std::vector<std::string> ScenarioNames() {
    std::vector<std::string> names;
    for (const char* const* name = kWineScenarioNames; *name != nullptr; ++name) names.push_back(*name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WineScenario, testing::ValuesIn(ScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& row) { return row.param; });

// ---------------------------------------------------------------- the harness's own parts

TEST(ScenarioFiles, AllParseWithTheirRegistryTexts) {
    for (const std::string& name : ScenarioNames()) {
        Scenario scenario;
        std::string error;
        ASSERT_TRUE(LoadScenario(kScenarioDir + "/" + name + ".scn", scenario, error)) << error;
        EXPECT_FALSE(scenario.description.empty()) << name << " says nothing about itself";
        RegImage image;
        EXPECT_TRUE(scenario.registry.empty() || ApplyRegText(scenario.registry, image, error)) << name << ": " << error;
        EXPECT_TRUE(scenario.expectRegistry.empty() || ApplyRegText(scenario.expectRegistry, image, error))
            << name << ": " << error;
        EXPECT_TRUE(scenario.simulatorDiffers.empty() || ApplyRegText(scenario.simulatorDiffers, image, error))
            << name << ": " << error;
    }
}

TEST(RegFile, ReadsWinesUnicodeExportAndAppliesDeletions) {
    // What regedit /E writes: UTF-16LE with BOM, 5.00 header, hex lists
    // continued over lines, text types in UTF-16.
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR]\r\n"
        "\"ImagePath\"=hex(2):53,00,79,00,73,00,\\\r\n"
        "  00,00\r\n"
        "\"Start\"=dword:00000003\r\n"
        "\"Quote\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
        "@=\"\"\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum]\r\n"
        "\"Count\"=dword:00000000\r\n";
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    for (unsigned char c : text) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    RegImage image;
    std::string error;
    ASSERT_TRUE(ApplyRegText(bytes, image, error)) << error;
    const std::string key = "HKLM\\System\\ControlSet001\\Services\\USBSTOR";
    ASSERT_NE(image.FindValue(key, "imagepath"), nullptr);
    EXPECT_EQ(DescribeValue(*image.FindValue(key, "ImagePath")), "\"ImagePath\" = REG_EXPAND_SZ \"Sys\"");
    EXPECT_EQ(DescribeValue(*image.FindValue(key, "Start")), "\"Start\" = REG_DWORD 0x00000003");
    EXPECT_EQ(DescribeValue(*image.FindValue(key, "Quote")), "\"Quote\" = REG_SZ \"a \"b\" c:\\d\"");
    EXPECT_EQ(DescribeValue(*image.FindValue(key, "")), "@ = REG_SZ \"\"");
    EXPECT_NE(image.Find("HKEY_LOCAL_MACHINE\\System"), nullptr) << "parent keys exist";

    RegImage before = image;
    ASSERT_TRUE(ApplyRegText("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum]\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR]\r\n\"Start\"=-\r\n",
                             image, error))
        << error;
    EXPECT_EQ(Differences(before, image),
              (std::vector<std::string>{
                  "missing    [HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum]",
                  "missing    [HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum] \"Count\" = "
                  "REG_DWORD 0x00000000",
                  "missing    [HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR] \"Start\" = REG_DWORD "
                  "0x00000003"}));
    EXPECT_TRUE(image.Subtree(key + "\\Enum").Keys().empty());
    EXPECT_EQ(image.Subtree("HKLM\\System\\ControlSet001\\Services").Keys().size(), 2u);
}

TEST(RegFile, RefusesMalformedText) {
    const char* rows[] = {
        "[HKEY_LOCAL_MACHINE\\X]\r\n",                            // no header
        "REGEDIT4\r\n\"Value\"=\"outside a key\"\r\n",            // value outside a key
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"V\"=dword:12\r\n",  // short dword
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"V\"=hex:1g\r\n",     // bad hex
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X\r\n",                 // unterminated key
    };
    for (const char* row : rows) {
        RegImage image;
        std::string error;
        EXPECT_FALSE(ApplyRegText(std::string(row), image, error)) << row;
    }
}

}  // namespace
}  // namespace winetest
