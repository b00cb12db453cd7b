// The fault sweep: every simulated platform call of a whole run made to
// fail, at each of its calls in turn, once and from then on. Every such run
// must finish with exit code 0, leave no handle open, change nothing that
// the fault-free run does not change (but for the named cases where a
// failure leads elsewhere), and never lose usbstor.inf's content. The
// collector's calls are swept the same way.
#include "support/collection.h"
#include "support/package_machine.h"
#include "support/run_invariants.h"
#include "support/scratch.h"

#include "image/machine_state.h"
#include "dryrun/run_winmain.h"

#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

using sim::Api;

namespace {

struct RunResult {
    int exitCode = -1;
    image::StateLines state;
    sim::HandleCounts handles;
    std::vector<Api> calls;
    std::optional<std::vector<uint8_t>> usbstorInf;
};

RunResult Run(const sim::Machine& base, const std::vector<sim::Fault>& faults) {
    sim::Machine m = base;
    for (const sim::Fault& f : faults) m.InjectFault(f);
    RunResult r;
    dryrun::RunOptions options;
    options.keepCalls = true;  // the plan of faults is made from the calls
    r.exitCode = dryrun::RunWinMain(m, options);
    r.state = image::MachineState(m);
    r.handles = m.OpenHandles();
    r.calls = m.calls;
    r.usbstorInf = m.files.Read(m.windowsDirectory + "\\inf\\usbstor.inf");
    return r;
}

std::string Describe(const sim::Fault& f) {
    return std::string(sim::ApiName(f.function)) + " #" + std::to_string(f.nth) +
           (f.persistent ? " and after" : " once") + (f.shortTransfer ? " (short transfer)" : "");
}

// A change that a failure may make although the fault-free run does not,
// because a failure leads elsewhere by design. `line` is a state line that
// the faulty run removed or added; `other` is the faulty run's state (for a
// removed line) or the state before (for an added line).
struct NamedCase {
    const char* name;
    std::function<bool(const sim::Fault&, const image::StateLines::value_type& line, const image::StateLines& other)>
        allows;
};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

bool EndsWith(const std::string& text, const char* end) {
    const size_t n = std::char_traits<char>::length(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

// "ATTRIBUTES, SIZE, DIGEST" of a file line: the size and the digest.
std::string Content(const std::string& facts) { return facts.substr(facts.find(", ") + 2); }

const NamedCase kNamedCases[] = {
    // A letter key that cannot be deleted has its icon and label emptied
    // instead (the drive icon cleanup's fallback for a refused deletion).
    {"refused drive letter deletion empties icon and label",
     [](const sim::Fault& f, const image::StateLines::value_type& line, const image::StateLines&) {
         return f.function == Api::RegDeleteKeyA && Contains(line.first, "\\DRIVEICONS\\") &&
                (EndsWith(line.first, "\\DEFAULTICON | @") || EndsWith(line.first, "\\DEFAULTLABEL | @"));
     }},
    // A file whose deletion fails stays with the same bytes, but with its
    // attribute bits cleared by the retry.
    {"undeletable file keeps its bytes but loses its attributes",
     [](const sim::Fault& f, const image::StateLines::value_type& line, const image::StateLines& other) {
         if (f.function != Api::DeleteFileA || line.first.rfind("file ", 0) != 0) return false;
         const auto o = other.find(line.first);
         return o != other.end() && Content(o->second) == Content(line.second);
     }},
    // The rewrite of usbstor.inf sets the former file aside before the new
    // one takes its place; when that leftover cannot be deleted it stays
    // beside the rewritten file, content whole.
    {"set-aside former file that cannot be deleted stays",
     [](const sim::Fault& f, const image::StateLines::value_type& line, const image::StateLines&) {
         return f.function == Api::DeleteFileA && line.first.rfind("file ", 0) == 0 &&
                Contains(line.first, "\\USBSTOR.INF.~ZB");
     }},
};

bool Named(const sim::Fault& fault, const image::StateLines::value_type& line, const image::StateLines& other) {
    for (const NamedCase& c : kNamedCases)
        if (c.allows(fault, line, other)) return true;
    return false;
}

bool Holds(const image::StateLines& state, const image::StateLines::value_type& line) {
    const auto found = state.find(line.first);
    return found != state.end() && found->second == line.second;
}

struct SweepTotals {
    size_t runs = 0, faults = 0, failures = 0;
    size_t readBack = 0, refused = 0, noImage = 0;  // the collections'
};

// Every call of a clean run made to fail at each of its calls, once and
// from then on, and each read and write made short; `counts` tells how
// often the run made each call.
std::vector<sim::Fault> PlanFaults(const std::vector<Api>& calls, std::map<Api, unsigned>& counts) {
    for (const Api c : calls) ++counts[c];
    std::vector<sim::Fault> plan;
    for (const auto& [function, count] : counts) {
        for (unsigned n = 1; n <= count; ++n) {
            plan.push_back({function, n, false, sim::TypicalError(function), false});
            plan.push_back({function, n, true, sim::TypicalError(function), false});
            if (sim::MovesBytes(function)) plan.push_back({function, n, false, 0, true});
        }
    }
    return plan;
}

std::string ProblemsText(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& p : problems) text += "\n    " + p;
    return text;
}

void Sweep(const std::string& scenario, const sim::Machine& base, SweepTotals& totals,
           bool packageInstalled = true) {
    const image::StateLines before = image::MachineState(base);
    const RunResult clean = Run(base, {});
    ASSERT_EQ(clean.exitCode, 0);
    ASSERT_EQ(clean.handles.Total(), 0u);
    const image::StateDifference cleanChanges = image::Difference(before, clean.state);
    if (packageInstalled) {
        ASSERT_FALSE(cleanChanges.removed.empty()) << scenario << ": the fault-free run changed nothing";
    }

    std::map<Api, unsigned> counts;
    const std::vector<sim::Fault> plan = PlanFaults(clean.calls, counts);

    size_t failures = 0;
    for (const sim::Fault& fault : plan) {
        const RunResult r = Run(base, {fault});
        ++totals.runs;
        ++totals.faults;
        std::vector<std::string> problems;
        if (r.exitCode != 0) problems.push_back("exit code " + std::to_string(r.exitCode));
        if (r.handles.Total() != 0) problems.push_back(support::HandlesText(r.handles));
        const image::StateDifference changes = image::Difference(before, r.state);
        for (const auto& l : changes.removed) {
            if (Holds(cleanChanges.removed, l)) continue;
            if (!Named(fault, l, r.state)) problems.push_back("changed or removed: " + image::Line(l));
        }
        for (const auto& l : changes.added) {
            if (Holds(cleanChanges.added, l)) continue;
            if (!Named(fault, l, before)) problems.push_back("new: " + image::Line(l));
        }
        const auto beforeInf = base.files.Read(base.windowsDirectory + "\\inf\\usbstor.inf");
        if (beforeInf && r.usbstorInf != beforeInf && r.usbstorInf != clean.usbstorInf)
            problems.push_back("usbstor.inf lost or corrupted");
        if (!problems.empty()) {
            ++failures;
            ADD_FAILURE() << scenario << ", " << Describe(fault) << ":" << ProblemsText(problems);
        }
    }
    totals.failures += failures;
    std::cout << "[ sweep    ] " << scenario << ": " << plan.size() << " runs, " << plan.size()
              << " faults injected over " << counts.size() << " functions and "
              << clean.calls.size() << " calls, " << failures << " failures\n";
}

TEST(FaultSweep, EveryFailureOfEveryCallIsSurvived) {
    SweepTotals totals;
    support::Windows98Package windows98;
    windows98.infFolders = {"inf\\other", "inf"};
    windows98.secondModel = windows98.whole = true;
    Sweep("Windows 98 with the package", support::Windows98WithPackage(windows98), totals);
    sim::Machine noSetupApi = support::Windows98WithPackage(windows98);
    sim::RemoveLibrary(noSetupApi, "SETUPAPI");
    Sweep("Windows 98 with the package, without setupapi.dll", noSetupApi, totals);
    support::Windows2000Package windows2000;
    windows2000.whole = true;
    Sweep("Windows 2000 SP2 with the package", support::Windows2000WithPackage(windows2000), totals);
    for (const char* example : {"win98-package", "win2000-sp2", "xp-clean", "realistic"})
        Sweep(std::string("example ") + example, support::LoadedImage(support::Example(example)).machine, totals,
              std::string(example) != "xp-clean");
    std::cout << "[ sweep    ] total: " << totals.runs << " runs, " << totals.faults
              << " faults injected, " << totals.failures << " failures found\n";
    RecordProperty("runs", static_cast<int>(totals.runs));
    RecordProperty("failures", static_cast<int>(totals.failures));
    EXPECT_EQ(totals.failures, 0u);
}

// The collector's sweep: every call of a collection made to fail in turn,
// once and from then on, and each read and write made short. Every such
// collection is sound (support/collection.h): the machine unchanged but for
// the new folder, and the image either read back as the machine but for
// what its notes name, or refused by the image library, or none written
// (exit code 1).
void SweepCollection(const std::string& scenario, const sim::Machine& base, SweepTotals& totals) {
    sim::Machine clean = base;
    const int cleanExit = support::Collect(clean, "/quiet", true);
    const std::vector<std::string> cleanProblems = support::CheckCollection(base, clean, cleanExit);
    ASSERT_EQ(cleanExit, 0) << scenario;
    ASSERT_TRUE(cleanProblems.empty()) << scenario << ", no failure:" << ProblemsText(cleanProblems);

    std::map<Api, unsigned> counts;
    const std::vector<sim::Fault> plan = PlanFaults(clean.calls, counts);
    size_t failures = 0;
    for (const sim::Fault& fault : plan) {
        sim::Machine m = base;
        m.InjectFault(fault);
        const int exitCode = support::Collect(m);
        support::CollectionOutcome outcome;
        const std::vector<std::string> problems = support::CheckCollection(base, m, exitCode, false, &outcome);
        ++totals.runs;
        ++totals.faults;
        if (!outcome.written) ++totals.noImage;
        else if (outcome.refused) ++totals.refused;
        else ++totals.readBack;
        if (!problems.empty()) {
            ++failures;
            ADD_FAILURE() << "collection of " << scenario << ", " << Describe(fault) << ":" << ProblemsText(problems);
        }
    }
    totals.failures += failures;
    std::cout << "[ sweep    ] collection of " << scenario << ": " << plan.size() << " runs over " << counts.size()
              << " functions and " << clean.calls.size() << " calls, " << failures << " failures\n";
}

TEST(FaultSweep, EveryFailureOfACollectionIsNotedOrLeavesNoImage) {
    SweepTotals totals;
    support::Windows2000Package windows2000;
    windows2000.whole = true;
    sim::Machine hard = support::Windows2000WithPackage(windows2000);
    support::ByteChoices everyCase(nullptr, 0);  // an exhausted input: every case
    support::AddCollectorCases(hard, everyCase);
    SweepCollection("Windows 2000 with names beyond the code page and a key without access", hard, totals);
    sim::Machine noSetupApi = support::LoadedImage(support::Example("win98-package")).machine;
    sim::RemoveLibrary(noSetupApi, "SETUPAPI");
    SweepCollection("example win98-package without setupapi.dll", noSetupApi, totals);
    for (const char* example : {"win98-package", "win2000-sp2", "xp-clean", "realistic"})
        SweepCollection(std::string("example ") + example, support::LoadedImage(support::Example(example)).machine,
                        totals);
    std::cout << "[ sweep    ] collections total: " << totals.runs << " runs, " << totals.faults
              << " faults injected: " << totals.readBack << " images read back as the machine, " << totals.refused
              << " refused by the image library, " << totals.noImage << " without an image; " << totals.failures
              << " failures found\n";
    RecordProperty("runs", static_cast<int>(totals.runs));
    RecordProperty("failures", static_cast<int>(totals.failures));
    EXPECT_EQ(totals.failures, 0u);
}

}  // namespace
