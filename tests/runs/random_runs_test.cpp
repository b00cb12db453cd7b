// Whole runs over random machines of both families: every run keeps the
// safety invariants (nothing deleted or changed but what the selected
// records, the package's files and drive letters name; no handle left open;
// exit code 0) and does the work it must.
//
// The default run walks a fixed list of seeds in a few seconds. A longer run:
//   ZAV_PROPERTY_ITERATIONS=100000 [ZAV_PROPERTY_SEED=1] build/host/tests/... test_properties
// A failure names its seed; ZAV_PROPERTY_SEED=<seed> ZAV_PROPERTY_ITERATIONS=1
// repeats exactly that machine.
#include "support/collection.h"
#include "support/random_machine.h"
#include "support/scratch.h"
#include "support/run_invariants.h"

#include "dryrun/run_winmain.h"
#include "image/text_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <set>

using sim::Api;

namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 10);
}

const uint64_t kFirstSeed = EnvNumber("ZAV_PROPERTY_SEED", 1);
const uint64_t kSeeds = EnvNumber("ZAV_PROPERTY_ITERATIONS", 600);
const bool kFixedSeeds = kFirstSeed == 1 && kSeeds >= 600;  // the default run's

// `check` on the random machine of each seed until five have failed: it
// gives the problems of its run, and may add to the failure's name (the
// seed). Returns how many failed.
size_t EachRandomMachine(
    const std::function<std::vector<std::string>(uint64_t, const sim::Machine&, std::string&)>& check) {
    size_t failures = 0;
    for (uint64_t seed = kFirstSeed; seed < kFirstSeed + kSeeds && failures < 5; ++seed) {
        support::SeededChoices choices(seed);
        std::string name = "seed " + std::to_string(seed);
        const std::vector<std::string> problems = check(seed, support::RandomMachine(choices), name);
        if (problems.empty()) continue;
        ++failures;
        std::string text;
        for (const std::string& p : problems) text += "\n    " + p;
        ADD_FAILURE() << name << ":" << text;
    }
    return failures;
}

// What the runs did, so that a generator that stopped reaching the
// interesting cases is noticed.
struct Coverage {
    size_t runs = 0, windows98 = 0, restore = 0, devicesRemoved = 0, enumKeysDeleted = 0,
           driverKeysDeleted = 0, lettersTreated = 0, filesDeleted = 0, infsRewritten = 0,
           refusedFields = 0, hostileDrivers = 0, longIds = 0;
};

void Count(const sim::Machine& before, const sim::Machine& after, Coverage& cov) {
    ++cov.runs;
    const support::RunScope scope = support::ScopeOf(before);
    if (scope.work == support::RunScope::Work::Windows98) ++cov.windows98;
    if (scope.work == support::RunScope::Work::StorageDriverRestore) ++cov.restore;
    size_t enumDeletes = 0;
    for (const sim::Event& e : after.events) {
        // The program's own key deletions count when attempted: the device
        // removal has often taken the key already.
        if (e.api == Api::RegDeleteKeyA) {
            const std::string target = image::UpperAscii(e.target);
            if (target.find("\\DRIVEICONS\\") != std::string::npos) ++cov.lettersTreated;
            else if (target.find("\\SERVICES\\CLASS\\") != std::string::npos) ++cov.driverKeysDeleted;
            else ++cov.enumKeysDeleted, ++enumDeletes;
        }
        if (!e.ok) continue;
        if (e.api == Api::SetupDiRemoveDevice) ++cov.devicesRemoved;
        if (e.api == Api::DeleteFileA) ++cov.filesDeleted;
    }
    // Records whose hardware key the program's own deletions passed over (a
    // field it refused, or a key the removal had already taken), and records
    // whose "Driver" value is no class\instance name.
    if (scope.recordDeviceIds.size() + scope.pairedDiskIds.size() > enumDeletes) ++cov.refusedFields;
    for (const std::string& id : scope.recordDeviceIds) {
        const auto driver = before.registry.GetString("HKLM\\Enum\\" + id, "Driver");
        if (driver && (driver->empty() || driver->front() == '\\' || driver->back() == '\\' ||
                       driver->find('\\') == std::string::npos ||
                       driver->find("\\\\") != std::string::npos || driver->size() >= 255))
            ++cov.hostileDrivers;
        if (id.size() >= 252) ++cov.longIds;
    }
    if (!scope.rewritableFile.empty() && scope.rewriteExpected) {
        const auto now = after.files.Read(before.windowsDirectory + "\\inf\\usbstor.inf");
        const auto was = before.files.Read(before.windowsDirectory + "\\inf\\usbstor.inf");
        if (now && was && *now != *was) ++cov.infsRewritten;
    }
}

TEST(RandomMachines, EveryRunKeepsTheInvariants) {
    Coverage cov;
    const size_t failures = EachRandomMachine([&cov](uint64_t, const sim::Machine& machine, std::string&) {
        sim::Machine after = machine;
        const int exitCode = dryrun::RunWinMain(after);
        Count(machine, after, cov);
        return support::CheckRun(machine, after, exitCode);
    });
    std::cout << "[ property ] " << cov.runs << " random runs (" << cov.windows98 << " Windows 98, "
              << cov.restore << " storage driver restorations): " << cov.devicesRemoved
              << " devices removed, " << cov.enumKeysDeleted << " hardware key and "
              << cov.driverKeysDeleted << " driver key deletions, " << cov.lettersTreated
              << " drive letter key deletions, " << cov.filesDeleted << " files deleted, "
              << cov.infsRewritten << " storage INFs rewritten, " << cov.refusedFields
              << " runs with a record key passed over, " << cov.hostileDrivers
              << " records with a hostile \"Driver\", " << cov.longIds
              << " records with ids of 252 or more; " << failures << " failing\n";
    RecordProperty("runs", static_cast<int>(cov.runs));

    // The fixed seeds reach every kind of work; a generator that drifted
    // away from them would prove little.
    if (kFixedSeeds) {
        EXPECT_GT(cov.windows98, 200u);
        EXPECT_GT(cov.restore, 60u);
        EXPECT_GT(cov.devicesRemoved, 100u);
        EXPECT_GT(cov.enumKeysDeleted, 50u);
        EXPECT_GT(cov.driverKeysDeleted, 50u);
        EXPECT_GT(cov.lettersTreated, 50u);
        EXPECT_GT(cov.filesDeleted, 200u);
        EXPECT_GT(cov.infsRewritten, 30u);
        EXPECT_GT(cov.refusedFields, 10u);
        EXPECT_GT(cov.hostileDrivers, 20u);
        EXPECT_GT(cov.longIds, 3u);
    }
}

// The same machines, each run again with one platform call failing (a
// random function among those the fault-free run called, at one of its
// calls, once or from then on): every such run stays safe.
TEST(RandomMachines, EveryRunWithAFailingCallStaysSafe) {
    size_t injected = 0;
    const size_t failures = EachRandomMachine([&injected](uint64_t seed, const sim::Machine& machine,
                                                          std::string& name) {
        sim::Machine clean = machine;
        dryrun::RunWinMain(clean);

        // A function the run calls (drawn again while it is not), at one of its calls.
        support::SeededChoices faultChoices(seed * 7919 + 1);
        sim::Fault fault = support::RandomFault(faultChoices, 1);
        for (int tries = 0; tries < 50 && clean.callCounts[fault.function] == 0; ++tries)
            fault = support::RandomFault(faultChoices, 1);
        const unsigned called = clean.callCounts[fault.function];
        if (called == 0) return std::vector<std::string>();
        fault.nth = 1 + faultChoices.Below(called);
        ++injected;
        name += ", " + std::string(sim::ApiName(fault.function)) + " #" + std::to_string(fault.nth) +
                (fault.persistent ? " and after" : " once");

        sim::Machine after = machine;
        after.InjectFault(fault);
        const int exitCode = dryrun::RunWinMain(after);
        return support::CheckRun(machine, after, exitCode, true);
    });
    std::cout << "[ property ] " << injected << " random runs with a failing call; " << failures
              << " failing\n";
    if (kFixedSeeds) {
        EXPECT_GT(injected, 590u);
    }
}

// The collector on the example images (its branches and the whole of
// HKEY_LOCAL_MACHINE) and on the random machines, drawn in several code
// pages and given what real machines add (names beyond the code page, a key
// without access, names, titles and descriptions an image cannot hold):
// every collection writes an image that reads back as the machine, exactly,
// but for what its notes name (support/collection.h).
TEST(RandomMachines, EveryCollectedImageReadsBackAsTheMachine) {
    size_t images = 0, windows98 = 0, notes = 0;
    std::set<unsigned> codePages;
    auto roundTrip = [&](const sim::Machine& machine, const std::string& arguments) {
        sim::Machine after = machine;
        const int exitCode = support::Collect(after, arguments);
        support::CollectionOutcome outcome;
        std::vector<std::string> problems = support::CheckCollection(
            machine, after, exitCode, arguments.find("/all") != std::string::npos, &outcome);
        if (!outcome.written || outcome.refused) problems.push_back("no image read back");
        ++images;
        if (machine.family() == sim::Family::Win9x) ++windows98;
        notes += outcome.notes;
        codePages.insert(machine.codePage);
        return problems;
    };
    for (const char* example : {"win98-package", "win2000-sp2", "xp-clean", "realistic"})
        for (const char* arguments : {"/quiet", "/quiet /all"}) {
            const std::vector<std::string> problems =
                roundTrip(support::LoadedImage(support::Example(example)).machine, arguments);
            EXPECT_TRUE(problems.empty()) << example << " " << arguments << ":" << ::testing::PrintToString(problems);
        }
    // A Windows 98 without setupapi.dll: the image with a note and no device.
    sim::Machine noSetupApi = support::LoadedImage(support::Example("win98-package")).machine;
    sim::RemoveLibrary(noSetupApi, "SETUPAPI");
    const std::vector<std::string> noSetupApiProblems = roundTrip(noSetupApi, "/quiet");
    EXPECT_TRUE(noSetupApiProblems.empty()) << "win98-package without setupapi.dll:"
                                            << ::testing::PrintToString(noSetupApiProblems);
    const size_t failures = EachRandomMachine([&](uint64_t seed, const sim::Machine&, std::string& name) {
        support::SeededChoices choices(seed), more(seed * 7919 + 3);
        const unsigned codePage = support::RandomCodePage(more);
        sim::Machine machine = support::RandomMachine(choices, codePage);
        support::AddCollectorCases(machine, more);
        name += ", code page " + std::to_string(codePage);
        return roundTrip(machine, more.OneIn(8) ? "/quiet /all" : "/quiet");
    });
    std::cout << "[ property ] collector round trip: " << images << " images (9 of the examples, " << windows98
              << " of Windows 98 machines, code pages";
    for (const unsigned codePage : codePages) std::cout << " " << codePage;
    std::cout << ") read back as their machines but for " << notes << " notes; " << failures << " failing\n";
    RecordProperty("images", static_cast<int>(images));
    if (kFixedSeeds) {
        EXPECT_GT(images, 600u);
        EXPECT_GT(windows98, 200u);
        EXPECT_GE(codePages.size(), 6u);
    }
}

}  // namespace
