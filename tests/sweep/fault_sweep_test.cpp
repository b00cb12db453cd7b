// The fault sweep: every simulated platform call of a whole run made to
// fail, at each of its calls in turn, once and from then on. Every such run
// must finish with exit code 0, leave no handle open, change nothing that
// the fault-free run does not change (but for the named cases where a
// failure leads elsewhere), and never lose usbstor.inf's content.
#include "platform/sim/sim.h"
#include "run/run.h"
#include "scenarios.h"

#include "machine_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

using sim::Api;

namespace {

struct RunResult {
    int exitCode = -1;
    std::set<std::string> state;
    sim::HandleCounts handles;
    std::vector<Api> calls;
    std::optional<std::vector<uint8_t>> usbstorInf;
};

RunResult Run(const sim::Machine& base, const std::vector<sim::Fault>& faults) {
    sim::Machine m = base;
    for (const sim::Fault& f : faults) m.InjectFault(f);
    RunResult r;
    {
        sim::ActiveMachine active(m);
        r.exitCode = WinMain(nullptr, nullptr, nullptr, SW_SHOW);
    }
    r.state = scenarios::StateLines(m);
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
    std::function<bool(const sim::Fault&, const std::string& line, const std::set<std::string>& other)>
        allows;
};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// "file PATH | ATTRIBUTES | BYTES": the path and the bytes.
std::string FilePath(const std::string& line) { return line.substr(5, line.find(" | ") - 5); }
std::string FileBytes(const std::string& line) { return line.substr(line.rfind(" | ") + 3); }

const NamedCase kNamedCases[] = {
    // A letter key that cannot be deleted has its icon and label emptied
    // instead (the drive icon cleanup's fallback for a refused deletion).
    {"refused drive letter deletion empties icon and label",
     [](const sim::Fault& f, const std::string& line, const std::set<std::string>&) {
         return f.function == Api::RegDeleteKeyA && Contains(line, "\\DRIVEICONS\\") &&
                (Contains(line, "\\DEFAULTICON |  | ") || Contains(line, "\\DEFAULTLABEL |  | "));
     }},
    // A file whose deletion fails stays with the same bytes, but with its
    // attribute bits cleared by the retry.
    {"undeletable file keeps its bytes but loses its attributes",
     [](const sim::Fault& f, const std::string& line, const std::set<std::string>& other) {
         if (f.function != Api::DeleteFileA || line.rfind("file ", 0) != 0) return false;
         for (const std::string& o : other)
             if (o.rfind("file ", 0) == 0 && FilePath(o) == FilePath(line) &&
                 FileBytes(o) == FileBytes(line))
                 return true;
         return false;
     }},
    // The rewrite of usbstor.inf sets the former file aside before the new
    // one takes its place; when that leftover cannot be deleted it stays
    // beside the rewritten file, content whole.
    {"set-aside former file that cannot be deleted stays",
     [](const sim::Fault& f, const std::string& line, const std::set<std::string>&) {
         return f.function == Api::DeleteFileA && line.rfind("file ", 0) == 0 &&
                Contains(line, "\\USBSTOR.INF.~ZB");
     }},
};

bool Named(const sim::Fault& fault, const std::string& line, const std::set<std::string>& other) {
    for (const NamedCase& c : kNamedCases)
        if (c.allows(fault, line, other)) return true;
    return false;
}

struct SweepTotals {
    size_t runs = 0, faults = 0, failures = 0;
};

void Sweep(const std::string& scenario, const sim::Machine& base, SweepTotals& totals,
           bool packageInstalled = true) {
    const std::set<std::string> before = scenarios::StateLines(base);
    const RunResult clean = Run(base, {});
    ASSERT_EQ(clean.exitCode, 0);
    ASSERT_EQ(clean.handles.Total(), 0u);
    std::set<std::string> removedClean, addedClean;
    for (const auto& l : before)
        if (!clean.state.count(l)) removedClean.insert(l);
    for (const auto& l : clean.state)
        if (!before.count(l)) addedClean.insert(l);
    if (packageInstalled) {
        ASSERT_FALSE(removedClean.empty()) << scenario << ": the fault-free run changed nothing";
    }

    std::map<Api, unsigned> counts;
    for (const Api c : clean.calls) ++counts[c];

    std::vector<sim::Fault> plan;
    for (const auto& [function, count] : counts) {
        for (unsigned n = 1; n <= count; ++n) {
            plan.push_back({function, n, false, sim::TypicalError(function), false});
            plan.push_back({function, n, true, sim::TypicalError(function), false});
            if (sim::MovesBytes(function)) plan.push_back({function, n, false, 0, true});
        }
    }

    size_t failures = 0;
    for (const sim::Fault& fault : plan) {
        const RunResult r = Run(base, {fault});
        ++totals.runs;
        ++totals.faults;
        std::vector<std::string> problems;
        if (r.exitCode != 0) problems.push_back("exit code " + std::to_string(r.exitCode));
        if (r.handles.Total() != 0)
            problems.push_back("handles left open: keys " + std::to_string(r.handles.keys) +
                               ", infs " + std::to_string(r.handles.infs) + ", sets " +
                               std::to_string(r.handles.deviceSets) + ", files " +
                               std::to_string(r.handles.files) + ", finds " +
                               std::to_string(r.handles.finds));
        for (const auto& l : before) {
            if (r.state.count(l) || removedClean.count(l)) continue;
            if (!Named(fault, l, r.state)) problems.push_back("changed or removed: " + l);
        }
        for (const auto& l : r.state) {
            if (before.count(l) || addedClean.count(l)) continue;
            if (!Named(fault, l, before)) problems.push_back("new: " + l);
        }
        const auto beforeInf = base.files.Read(base.windowsDirectory + "\\inf\\usbstor.inf");
        if (beforeInf && r.usbstorInf != beforeInf && r.usbstorInf != clean.usbstorInf)
            problems.push_back("usbstor.inf lost or corrupted");
        if (!problems.empty()) {
            ++failures;
            std::string text;
            for (const auto& p : problems) text += "\n    " + p;
            ADD_FAILURE() << scenario << ", " << Describe(fault) << ":" << text;
        }
    }
    totals.failures += failures;
    std::cout << "[ sweep    ] " << scenario << ": " << plan.size() << " runs, " << plan.size()
              << " faults injected over " << counts.size() << " functions and "
              << clean.calls.size() << " calls, " << failures << " failures\n";
}

TEST(FaultSweep, EveryFailureOfEveryCallIsSurvived) {
    SweepTotals totals;
    Sweep("Windows 98 with the package", scenarios::Windows98WithPackage(), totals);
    Sweep("Windows 2000 SP2 with the package", scenarios::Windows2000Sp2WithPackage(), totals);
    for (const char* example : {"win98-package", "win2000-sp2", "xp-clean", "realistic"}) {
        dryrun::MachineImage image;
        dryrun::Diag diag;
        ASSERT_TRUE(dryrun::LoadImage(std::string(SWEEP_EXAMPLES) + "/" + example, &image, &diag))
            << example;
        Sweep(std::string("example ") + example, image.machine, totals,
              std::string(example) != "xp-clean");
    }
    std::cout << "[ sweep    ] total: " << totals.runs << " runs, " << totals.faults
              << " faults injected, " << totals.failures << " failures found\n";
    RecordProperty("runs", static_cast<int>(totals.runs));
    RecordProperty("failures", static_cast<int>(totals.failures));
    EXPECT_EQ(totals.failures, 0u);
}

}  // namespace
