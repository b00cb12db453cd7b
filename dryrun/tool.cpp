// The command line of zavuninst-sim: arguments, the run, the report and
// the --write and --undo folders.
#include "dryrun/tool.h"

#include "dryrun/dry_run.h"
#include "image/machine_image.h"
#include "dryrun/run_winmain.h"
#include "dryrun/undo.h"

#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <system_error>

namespace dryrun {

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: zavuninst-sim IMAGE [--json] [--write OUT] [--undo DIR]\n"
    "  IMAGE        a machine image folder (registry.reg, machine.ini, drive_c/ ...); it is only read\n"
    "  --json       the report as JSON\n"
    "  --write OUT  write the machine after the run as a new image into the folder OUT\n"
    "  --undo DIR   write what it takes to undo the run into the folder DIR\n"
    "OUT and DIR must not exist. Exit code: 0 for a completed run, 2 for bad input\n"
    "(nothing is written), 1 when an output could not be written.\n";

int Usage(std::ostream& err, const std::string& problem) {
    err << "zavuninst-sim: " << problem << "\n" << kUsage;
    return 2;
}

// An output folder must be new, and its parent must exist.
bool CheckOutputFolder(const std::string& folder, const char* option, std::ostream& err) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(folder, ec))) {
        err << "zavuninst-sim: " << folder << ": already exists; " << option
            << " writes a new folder and never replaces one\n";
        return false;
    }
    const fs::path parent = fs::path(folder).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec)) {
        err << "zavuninst-sim: " << parent.string() << ": no such folder to create " << folder
            << " in\n";
        return false;
    }
    return true;
}

// What a run holds until it ends: the image as loaded (the machine the run
// changes) and the machine before the run.
struct RunMachines {
    image::MachineImage loaded;
    sim::Machine before;
};

// The machines of the run a process ends with (ToolEnd::LeaveToExit),
// still reachable from here.
RunMachines* leftToExit = nullptr;

int Run(const std::vector<std::string>& args, RunMachines& machines, std::ostream& out,
        std::ostream& err) {
    std::string imageFolder, writeFolder, undoFolder;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 0;
        }
        if (a == "--json") {
            json = true;
        } else if (a == "--write" || a == "--undo") {
            if (i + 1 >= args.size()) return Usage(err, a + " needs a folder");
            (a == "--write" ? writeFolder : undoFolder) = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            return Usage(err, "unknown option " + a);
        } else if (imageFolder.empty()) {
            imageFolder = a;
        } else {
            return Usage(err, "one image at a time (got " + imageFolder + " and " + a + ")");
        }
    }
    if (imageFolder.empty()) return Usage(err, "no image given");
    if (!writeFolder.empty() && !CheckOutputFolder(writeFolder, "--write", err)) return 2;
    if (!undoFolder.empty() && !CheckOutputFolder(undoFolder, "--undo", err)) return 2;
    if (!writeFolder.empty() && !undoFolder.empty() &&
        fs::path(writeFolder).lexically_normal() == fs::path(undoFolder).lexically_normal())
        return Usage(err, "--write and --undo need two different folders");

    image::MachineImage& loaded = machines.loaded;
    image::InputError diag;
    if (!image::LoadImage(imageFolder, &loaded, &diag)) {
        err << "zavuninst-sim: " << diag.Text() << "\n";
        return 2;
    }

    const std::vector<std::string> markers = PackageMarkers(loaded.machine);
    // The machine before the run, less its registry: the events hold every
    // key and value the run changed, and a copy of a large registry would
    // double the memory the dry run takes.
    sim::Machine& before = machines.before;
    {
        sim::Registry registry = std::move(loaded.machine.registry);
        before = loaded.machine;
        loaded.machine.registry = std::move(registry);
    }
    const int exitCode = dryrun::RunWinMain(loaded.machine);
    // The machine after the run is written while the report is made: both
    // only read it, and a large one takes each about as long.
    std::string error;
    const auto save = [&] { return image::SaveImage(loaded.machine, loaded.registryFormat, writeFolder, &error); };
    std::future<bool> saved;
    if (!writeFolder.empty()) {
        try {
            saved = std::async(std::launch::async, save);
        } catch (const std::system_error&) {
            saved = std::async(std::launch::deferred, save);  // no thread to be had: written after the report
        }
    }
    Report report;
    try {
        report = BuildReport(imageFolder, before, loaded.machine, markers, exitCode);
    } catch (...) {
        // Nothing is left written when the run ends in a failure.
        if (saved.valid()) {
            saved.wait();
            std::error_code ec;
            fs::remove_all(writeFolder, ec);
        }
        throw;
    }
    report.skippedLines = std::move(loaded.skippedLines);
    report.imageNotes = loaded.notes;
    out << (json ? ReportJson(report) : ReportText(report));

    if (!writeFolder.empty()) {
        if (!saved.get()) {
            std::error_code ec;
            fs::remove_all(writeFolder, ec);  // ours: it did not exist before
            err << "zavuninst-sim: " << error << "\n";
            return 1;
        }
        if (!json) out << "\nThe machine after the run: " << writeFolder << "\n";
    }
    if (!undoFolder.empty()) {
        if (!WriteUndo(undoFolder, report, before, loaded.machine, loaded.registryFormat, &error)) {
            std::error_code ec;
            fs::remove_all(undoFolder, ec);
            err << "zavuninst-sim: " << error << "\n";
            return 1;
        }
        if (!json) out << (writeFolder.empty() ? "\n" : "") << "The undo: " << undoFolder
                       << " (see its README.txt)\n";
    }
    return 0;
}

}  // namespace

int ToolMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, ToolEnd end) {
    std::unique_ptr<RunMachines> machines;
    int exitCode = 2;
    // Never a crash: whatever escapes (memory exhausted on a huge input) is
    // reported as a failure of the run.
    try {
        machines = std::make_unique<RunMachines>();
        exitCode = Run(args, *machines, out, err);
    } catch (const std::exception& e) {
        err << "zavuninst-sim: " << e.what() << "\n";
    } catch (...) {
        err << "zavuninst-sim: unexpected failure\n";
    }
    if (end == ToolEnd::LeaveToExit) leftToExit = machines.release();
    return exitCode;
}

}  // namespace dryrun
