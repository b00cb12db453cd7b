// zavbench: the program's large-input benchmarks, each beside the physical
// floor it should approach, measured in the same run, and one table.
//
//   zavbench --data DIR [--exe PATH] [--repetitions N] [google benchmark flags]
//
// DIR receives the generated inputs (made once, then reused while their
// parameters are unchanged). PATH is the shipped exe whose size is reported.
// Child modes (used by the table for the dry run as a new process, its time
// and its peak memory): --peak-dry-run IMAGE, --peak-dry-run-write IMAGE
// (the image written to IMAGE.written), --peak-load FILE.
#include "generators.h"

#include "files/files.h"
#include "image/machine_image.h"
#include "dryrun/run_winmain.h"
#include "image/reg_file.h"
#include "dryrun/tool.h"

#include "platform/sim/sim.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const uint64_t kSeed = 20240601;
const size_t kWideFileBytes = 64u << 20;
const size_t kExportBytes = 50u << 20;
const char kSearch[] = "%12%\\USBSTORSP3.SYS";
const char kReplacement[] = "%12%\\USBSTOR.SYS";
const char kInfPath[] = "C:\\WINNT\\inf\\usbstor.inf";
const int kLongInfLines = 20000;

// The shapes the reading must be linear in, each measured at its size and at
// twice it (both sizes well beyond the caches, so that the ratio shows the
// work rather than the caches filling).
struct ShapeRow {
    const char* tag;
    bench::Shape shape;
    int n;
    const char* what;
    double limit;  // seconds at full size, 0 for none
};
// Runs of each shape and size, whatever the repetitions of the rest.
const int kShapeRepetitions = 7;
const ShapeRow kShapes[] = {
    {"values", bench::Shape::ValuesInOneKey, 100000, "100,000 values in one key", 1.0},
    {"keys", bench::Shape::KeysInOneParent, 100000, "100,000 subkeys of one key, not in order", 0},
    {"headers", bench::Shape::HeadersWithoutParents, 50000, "50,000 key headers without parents", 1.0},
    {"line", bench::Shape::LineLength, 32, "one line of 32 MB", 0},
    {"depth", bench::Shape::Depth, 250, "keys 250 levels deep, 20,000 headers", 0},
};

struct Inputs {
    std::string dir;
    sim::Machine win98;
    std::vector<uint8_t> wideFile;
    std::string wideFilePath;  // the same bytes on the host, for cp
    std::string v5Image, r4Image;
    std::string v5Reg, r4Reg;
    std::string longInfImage;  // Windows 98, a package INF of kLongInfLines device lines
    std::map<std::string, std::string> shapeImages;  // "<tag>" and "<tag>_twice"
    size_t v5Bytes = 0, r4Bytes = 0;
};
Inputs* g_inputs = nullptr;

// ---------------------------------------------------------------- host helpers

// Runs a program to its end; its standard output goes to /dev/null. Fills
// `usage` with the child's resource use (peak memory) when given.
bool RunChild(const std::vector<std::string>& argv, struct rusage* usage = nullptr) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    struct rusage local;
    if (wait4(pid, &status, 0, usage != nullptr ? usage : &local) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string SelfPath() { return fs::read_symlink("/proc/self/exe").string(); }

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// ---------------------------------------------------------------- inputs

// An image folder made by `make`, reused while its stamp (what it holds,
// sizes, seed) is `want`.
bool EnsureImage(const std::string& folder, const std::string& want,
                 const std::function<bool(std::string* error)>& make) {
    const std::string stamp = folder + ".stamp";
    std::string have;
    if (image::ReadHostFile(stamp, &have) && have == want && fs::exists(folder + "/registry.reg"))
        return true;
    std::error_code ec;
    fs::remove_all(folder, ec);
    std::string error;
    std::cerr << "zavbench: generating " << folder << " ...\n";
    if (!make(&error)) {
        std::cerr << "zavbench: " << error << "\n";
        return false;
    }
    return image::WriteHostFile(stamp, want);
}

// The Windows 2000 image of about kExportBytes in one of the two formats.
bool EnsureWindows2000Image(const std::string& folder, bool version5, size_t* bytes) {
    const std::string want = std::string(version5 ? "v5 " : "regedit4 ") +
                             std::to_string(kExportBytes) + " " + std::to_string(kSeed);
    if (!EnsureImage(folder, want, [&](std::string* error) {
            return bench::WriteWindows2000Image(folder, version5, kExportBytes, kSeed, error) != 0;
        }))
        return false;
    *bytes = fs::file_size(folder + "/registry.reg");
    return true;
}

// The Windows 98 image whose package INF has a device section of
// kLongInfLines lines; a few hundred devices, a few of them the package's.
bench::Windows98Sizes LongInfSizes() {
    bench::Windows98Sizes sizes;
    sizes.presentDevices = 400;
    sizes.candidates = 200;
    sizes.prefixes = kLongInfLines;
    return sizes;
}

bool PrepareInputs(Inputs& in) {
    fs::create_directories(in.dir);
    std::cerr << "zavbench: generating the Windows 98 machine and the 64 MB text ...\n";
    in.win98 = bench::MakeWindows98Machine(bench::Windows98Sizes(), kSeed);
    in.wideFile = bench::MakeWideTextFile(kWideFileBytes, kSearch, kSeed);
    in.wideFilePath = in.dir + "/usbstor-64mb.inf";
    if (!WriteBytes(in.wideFilePath, in.wideFile)) return false;
    in.v5Image = in.dir + "/win2000-v5";
    in.r4Image = in.dir + "/win2000-regedit4";
    if (!EnsureWindows2000Image(in.v5Image, true, &in.v5Bytes)) return false;
    if (!EnsureWindows2000Image(in.r4Image, false, &in.r4Bytes)) return false;
    in.longInfImage = in.dir + "/win98-long-inf";
    const bench::Windows98Sizes sizes = LongInfSizes();
    if (!EnsureImage(in.longInfImage,
                     "win98 " + std::to_string(sizes.presentDevices) + " " +
                         std::to_string(sizes.candidates) + " " + std::to_string(sizes.prefixes) +
                         " " + std::to_string(kSeed),
                     [&](std::string* error) {
                         return bench::WriteWindows98Image(in.longInfImage, sizes, kSeed, error);
                     }))
        return false;
    for (const ShapeRow& shape : kShapes) {
        for (const bool twice : {false, true}) {
            const int n = twice ? 2 * shape.n : shape.n;
            const std::string name = std::string(shape.tag) + (twice ? "_twice" : "");
            const std::string folder = in.dir + "/shape-" + name;
            if (!EnsureImage(folder, "shape " + name + " " + std::to_string(n) + " " + std::to_string(kSeed),
                             [&](std::string* error) {
                                 return bench::WriteExportImage(folder, bench::MakeShapeExport(shape.shape, n, kSeed),
                                                                error);
                             }))
                return false;
            in.shapeImages[name] = folder;
        }
    }
    in.v5Reg = in.v5Image + "/registry.reg";
    in.r4Reg = in.r4Image + "/registry.reg";
    // Every file read once, so that each benchmark starts from the page cache.
    for (const std::string& f : {in.wideFilePath, in.v5Reg, in.r4Reg}) RunChild({"cat", f});
    return true;
}

// ---------------------------------------------------------------- benchmarks

void Windows98FullRun(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        sim::Machine m = g_inputs->win98;
        state.ResumeTiming();
        dryrun::RunWinMain(m);
        // Every package device removed (disk drives go with their keys).
        const size_t removed = g_inputs->win98.devices.size() - m.devices.size();
        if (removed != static_cast<size_t>(bench::Windows98Sizes().candidates)) {
            state.SkipWithError(("the run removed " + std::to_string(removed) + " devices").c_str());
            break;
        }
    }
}

void TextRewrite(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        sim::Machine m = sim::MakeWindows2000("Service Pack 2");
        m.files.AddFile(kInfPath, g_inputs->wideFile);
        bool done = false;
        {
            sim::ActiveMachine active(m);
            state.ResumeTiming();
            done = ReplaceTextInFile(kInfPath, kSearch, kReplacement);
            state.PauseTiming();
        }
        m = sim::Machine();  // the 64 MB buffers released outside the timing
        state.ResumeTiming();
        if (!done) {
            state.SkipWithError("the text was not replaced");
            break;
        }
    }
}

// A host program's copy of the 64 MB file to `target`, which is removed
// before each run and at the end.
void HostCopy(benchmark::State& state, const std::string& target, const std::vector<std::string>& command) {
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(target.c_str());
        state.ResumeTiming();
        if (!RunChild(command)) {
            state.SkipWithError((command[0] + " failed").c_str());
            break;
        }
    }
    std::remove(target.c_str());
}

void CopyWithCp(benchmark::State& state) {
    const std::string target = g_inputs->dir + "/usbstor-64mb.copy";
    HostCopy(state, target, {"cp", g_inputs->wideFilePath, target});
}

// The host's whole-file read into one 64 MB buffer and write of it: what a
// program that holds the file in memory does at the least.
void CopyWithDd(benchmark::State& state) {
    const std::string target = g_inputs->dir + "/usbstor-64mb.dd";
    HostCopy(state, target, {"dd", "if=" + g_inputs->wideFilePath, "of=" + target, "bs=64M", "status=none"});
}

void CountLines(benchmark::State& state, const std::string* file) {
    for (auto _ : state) {
        if (!RunChild({"wc", "-l", *file})) {
            state.SkipWithError("wc failed");
            break;
        }
    }
}

void LoadExport(benchmark::State& state, const std::string* file) {
    for (auto _ : state) {
        std::string bytes;
        sim::Registry registry;
        image::RegFormat format;
        image::InputError diag;
        if (!image::ReadHostFile(*file, &bytes) ||
            !image::ReadRegFile(bytes, *file, registry, &format, &diag)) {
            state.SkipWithError(("load failed: " + diag.Text()).c_str());
            break;
        }
        state.PauseTiming();
        {
            sim::Registry released = std::move(registry);  // freed outside the timing
        }
        state.ResumeTiming();
    }
}

void WriteExport(benchmark::State& state, const std::string* file) {
    std::string bytes;
    sim::Registry registry;
    image::RegFormat format;
    image::InputError diag;
    if (!image::ReadHostFile(*file, &bytes) ||
        !image::ReadRegFile(bytes, *file, registry, &format, &diag)) {
        state.SkipWithError("load failed");
        return;
    }
    const std::string out = g_inputs->dir + "/written.reg";
    for (auto _ : state) {
        const std::string written = image::WriteRegFile(registry, format);
        if (!image::WriteHostFile(out, written) || written != bytes) {
            state.SkipWithError("the export written back differs from the one read");
            break;
        }
    }
    std::remove(out.c_str());
}

void DryRun(benchmark::State& state, const std::string* image) {
    for (auto _ : state) {
        std::ostringstream out, err;
        if (dryrun::ToolMain({*image}, out, err) != 0) {
            state.SkipWithError(err.str().c_str());
            break;
        }
    }
}

// The whole dry run as a person times it: a new process each time (the
// benchmark program in its child mode, which runs the tool's main), whose
// memory is all new. Run again in one process, the dry run reuses the heap
// the run before it freed (see the table for what that changes).
void DryRunProcess(benchmark::State& state, const std::string* image, bool write) {
    const std::string written = *image + ".written";
    std::error_code ec;
    fs::remove_all(written, ec);
    for (auto _ : state) {
        if (!RunChild({SelfPath(), write ? "--peak-dry-run-write" : "--peak-dry-run", *image})) {
            state.SkipWithError("the dry run failed");
            break;
        }
        state.PauseTiming();
        fs::remove_all(written, ec);
        state.ResumeTiming();
    }
}

// The dry run that also writes the machine after it as an image (removed
// after each run, outside the timing).
void DryRunWrite(benchmark::State& state, const std::string* image) {
    const std::string written = g_inputs->dir + "/written-image";
    std::error_code ec;
    fs::remove_all(written, ec);
    for (auto _ : state) {
        std::ostringstream out, err;
        if (dryrun::ToolMain({*image, "--write", written}, out, err) != 0) {
            state.SkipWithError(err.str().c_str());
            break;
        }
        state.PauseTiming();
        fs::remove_all(written, ec);
        state.ResumeTiming();
    }
}

// The shapes' dry runs, each a new process as a person runs it: run again
// in one process, the smaller size found its memory in the heap the run
// before it freed and the larger one did not, which moved the ratio by
// half. A shape takes tens of milliseconds, where a busy second of the host
// moves a median as much, and Google Benchmark runs one benchmark's
// repetitions one after the other: here each shape's two sizes run in turn,
// `runs` times, so that both meet the same moments of the host, and the
// fastest run of each is compared. Times in seconds by benchmark name.
bool TimeShapes(const Inputs& inputs, int runs, std::map<std::string, std::vector<double>>& times) {
    for (int run = 0; run < runs; ++run) {
        for (const ShapeRow& shape : kShapes) {
            for (const std::string& name : {std::string(shape.tag), std::string(shape.tag) + "_twice"}) {
                const auto start = std::chrono::steady_clock::now();
                if (!RunChild({SelfPath(), "--peak-dry-run", inputs.shapeImages.at(name)})) return false;
                times["shape_" + name].push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------- the table

// Collects every repetition's real time (seconds) by benchmark name; the
// console report goes to standard error as progress.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            if (run.run_type != Run::RT_Iteration) continue;
            if (run.error_occurred) errors[run.run_name.function_name] = run.error_message;
            const double seconds =
                run.real_accumulated_time / static_cast<double>(run.iterations);
            times[run.run_name.function_name].push_back(seconds);
        }
    }
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, std::string> errors;
};

// The fastest repetition: the other machines sharing this one only ever add
// time, and a ratio of two fast runs shows the work rather than the noise.
double Fastest(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string Seconds(double s) {
    char b[32];
    if (s < 1) std::snprintf(b, sizeof b, "%.0f ms", s * 1000);
    else std::snprintf(b, sizeof b, "%.2f s", s);
    return b;
}

std::string Fixed(double v, const char* suffix) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f%s", v, suffix);
    return b;
}

std::string Megabytes(double bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MB", bytes / (1 << 20));
    return b;
}

struct Row {
    std::string what, measured, floor, ratio, goal;
    bool met;
};

void PrintTable(const std::vector<Row>& rows) {
    const char* head[] = {"measurement", "measured", "floor (same run)", "ratio", "goal", "met"};
    size_t w[6];
    for (int i = 0; i < 6; ++i) w[i] = std::strlen(head[i]);
    for (const Row& r : rows) {
        const std::string cells[] = {r.what, r.measured, r.floor, r.ratio, r.goal};
        for (int i = 0; i < 5; ++i) w[i] = std::max(w[i], cells[i].size());
    }
    auto line = [&](const std::string* cells) {
        std::cout << "|";
        for (int i = 0; i < 6; ++i) std::cout << " " << cells[i] << std::string(w[i] - cells[i].size(), ' ') << " |";
        std::cout << "\n";
    };
    const std::string h[] = {head[0], head[1], head[2], head[3], head[4], head[5]};
    line(h);
    std::cout << "|";
    for (int i = 0; i < 6; ++i) std::cout << std::string(w[i] + 2, '-') << "|";
    std::cout << "\n";
    for (const Row& r : rows) {
        const std::string cells[] = {r.what, r.measured, r.floor, r.ratio, r.goal, r.met ? "yes" : "NO"};
        line(cells);
    }
}

// Peak resident memory (bytes) of a child running one mode of this program.
// Linux carries the high-water mark of the address space a process was
// spawned from into the child's peak, so a small intermediate process of
// this program (--measure-peak) starts the measured one and reports its peak.
double ChildPeak(const std::string& mode, const std::string& argument) {
    const std::string report = g_inputs->dir + "/peak.txt";
    std::remove(report.c_str());
    if (!RunChild({SelfPath(), "--measure-peak", report, mode, argument})) return -1;
    std::string text;
    if (!image::ReadHostFile(report, &text)) return -1;
    return std::atof(text.c_str());
}

// The intermediate: runs `argv` and writes its peak resident memory (bytes)
// into `report`.
int MeasurePeak(const std::string& report, const std::vector<std::string>& argv) {
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (!RunChild(argv, &usage)) return 1;
    return image::WriteHostFile(report, std::to_string(static_cast<double>(usage.ru_maxrss) * 1024.0))
               ? 0
               : 1;
}

int ChildMode(const std::string& mode, const std::string& argument) {
    if (mode == "--peak-dry-run") {
        std::ostringstream out, err;
        return dryrun::ToolMain({argument}, out, err, dryrun::ToolEnd::LeaveToExit);  // as the tool's process
    }
    if (mode == "--peak-dry-run-write") {
        std::ostringstream out, err;
        return dryrun::ToolMain({argument, "--write", argument + ".written"}, out, err,
                                dryrun::ToolEnd::LeaveToExit);
    }
    if (mode == "--peak-load") {
        std::string bytes;
        sim::Registry registry;
        image::RegFormat format;
        image::InputError diag;
        return image::ReadHostFile(argument, &bytes) &&
                       image::ReadRegFile(bytes, argument, registry, &format, &diag)
                   ? 0
                   : 2;
    }
    return 2;
}

// One Windows 98 run of the given size, for a profiler:
// zavbench --profile-win98 DEVICES CANDIDATES.
int ProfileWindows98(int devices, int candidates) {
    bench::Windows98Sizes sizes;
    sizes.presentDevices = devices;
    sizes.candidates = candidates;
    sim::Machine m = bench::MakeWindows98Machine(sizes, kSeed);
    const size_t before = m.devices.size();
    dryrun::RunWinMain(m);
    std::cout << "removed " << before - m.devices.size() << " devices\n";
    for (size_t i = 0; i < sim::kCallCount; ++i)
        if (const unsigned count = m.callCounts[sim::CallAt(i)])
            std::cout << sim::CallAt(i) << " " << count << "\n";
    return 0;
}

// Text rewrites of the 64 MB file, for a profiler: zavbench --profile-rewrite.
int ProfileRewrite() {
    const std::vector<uint8_t> text = bench::MakeWideTextFile(kWideFileBytes, kSearch, kSeed);
    for (int i = 0; i < 5; ++i) {
        sim::Machine m = sim::MakeWindows2000("Service Pack 2");
        m.files.AddFile(kInfPath, text);
        sim::ActiveMachine active(m);
        if (!ReplaceTextInFile(kInfPath, kSearch, kReplacement)) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strncmp(argv[1], "--peak-", 7) == 0) return ChildMode(argv[1], argv[2]);
    if (argc == 5 && std::strcmp(argv[1], "--measure-peak") == 0)
        return MeasurePeak(argv[2], {SelfPath(), argv[3], argv[4]});
    if (argc == 2 && std::strcmp(argv[1], "--profile-rewrite") == 0) return ProfileRewrite();
    if (argc == 4 && std::strcmp(argv[1], "--profile-win98") == 0)
        return ProfileWindows98(std::atoi(argv[2]), std::atoi(argv[3]));

    Inputs inputs;
    std::string exe;
    int repetitions = 5;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--data" && i + 1 < argc) inputs.dir = argv[++i];
        else if (a == "--exe" && i + 1 < argc) exe = argv[++i];
        else if (a == "--repetitions" && i + 1 < argc) repetitions = std::atoi(argv[++i]);
        else rest.push_back(argv[i]);
    }
    if (inputs.dir.empty()) {
        std::cerr << "usage: zavbench --data DIR [--exe PATH] [--repetitions N]\n";
        return 2;
    }
    if (!PrepareInputs(inputs)) return 1;
    g_inputs = &inputs;

    auto reg = [&](const char* name, auto&& fn) {
        benchmark::RegisterBenchmark(name, fn)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(1)
            ->Repetitions(repetitions);
    };
    reg("win98_full_run", Windows98FullRun);
    reg("text_rewrite", TextRewrite);
    reg("text_cp", CopyWithCp);
    reg("text_dd", CopyWithDd);
    reg("long_inf_dry_run", [](benchmark::State& s) { DryRun(s, &g_inputs->longInfImage); });
    for (const auto& [tag, file, image] :
         {std::make_tuple("v5", &inputs.v5Reg, &inputs.v5Image),
          std::make_tuple("regedit4", &inputs.r4Reg, &inputs.r4Image)}) {
        const std::string t = tag;
        const std::string* f = file;
        const std::string* img = image;
        reg(("export_" + t + "_wc_l").c_str(), [f](benchmark::State& s) { CountLines(s, f); });
        reg(("export_" + t + "_load").c_str(), [f](benchmark::State& s) { LoadExport(s, f); });
        reg(("export_" + t + "_write").c_str(), [f](benchmark::State& s) { WriteExport(s, f); });
        reg(("export_" + t + "_dry_run").c_str(), [img](benchmark::State& s) { DryRun(s, img); });
        reg(("export_" + t + "_dry_run_write").c_str(), [img](benchmark::State& s) { DryRunWrite(s, img); });
        reg(("export_" + t + "_dry_run_process").c_str(),
            [img](benchmark::State& s) { DryRunProcess(s, img, false); });
        reg(("export_" + t + "_dry_run_write_process").c_str(),
            [img](benchmark::State& s) { DryRunProcess(s, img, true); });
    }

    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    Collector collector;
    collector.SetOutputStream(&std::cerr);
    collector.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    const int shapeRuns = std::max(repetitions, kShapeRepetitions);
    if (!TimeShapes(inputs, shapeRuns, collector.times)) collector.errors["shapes"] = "a dry run of a shape failed";

    auto t = [&](const std::string& name) { return Median(collector.times[name]); };
    std::vector<Row> rows;
    const double win98 = t("win98_full_run");
    rows.push_back({"Windows 98 run, 10,000 devices x 2,000 candidates", Seconds(win98), "", "",
                    "<= 0.5 s", win98 > 0 && win98 <= 0.5});
    const double rewrite = t("text_rewrite"), cp = t("text_cp"), dd = t("text_dd");
    rows.push_back({"text rewrite, 64 MB UTF-16LE file (simulated files)", Seconds(rewrite),
                    "cp " + Seconds(cp), Fixed(rewrite / cp, " x cp"), "<= 1.5 x cp",
                    rewrite > 0 && rewrite <= 1.5 * cp});
    rows.push_back({"  the same, against a one-buffer read and write", Seconds(rewrite),
                    "dd bs=64M " + Seconds(dd), Fixed(rewrite / dd, " x dd"), "-", true});
    const double longInf = t("long_inf_dry_run");
    rows.push_back({"dry run, Windows 98, INF of " + std::to_string(kLongInfLines) + " device lines",
                    Seconds(longInf), "", "", "<= 1 s", longInf > 0 && longInf <= 1.0});
    for (const auto& [tag, label, bytes, image, regFile] :
         {std::make_tuple("v5", "version 5, UTF-16LE", inputs.v5Bytes, inputs.v5Image, inputs.v5Reg),
          std::make_tuple("regedit4", "REGEDIT4, ANSI", inputs.r4Bytes, inputs.r4Image, inputs.r4Reg)}) {
        const std::string p = std::string("export_") + tag;
        const double wc = t(p + "_wc_l");
        const std::string size = Megabytes(static_cast<double>(bytes));
        const std::string floor = "wc -l " + Seconds(wc);
        const double load = t(p + "_load"), write = t(p + "_write"), dry = t(p + "_dry_run");
        rows.push_back({std::string("export load, ") + size + " " + label, Seconds(load), floor,
                        Fixed(load / wc, " x wc"), "-", true});
        rows.push_back({std::string("export write-back, ") + size + " " + label, Seconds(write),
                        floor, Fixed(write / wc, " x wc"), "-", true});
        // The goals are a person's: a new process, as wc -l is one.
        const double process = t(p + "_dry_run_process");
        rows.push_back({std::string("dry run, ") + size + " " + label + ", a new process", Seconds(process), floor,
                        Fixed(process / wc, " x wc"), "<= 1 s and <= 10 x wc",
                        process > 0 && process <= 1.0 && process <= 10 * wc});
        rows.push_back({"  the same, run again in one process", Seconds(dry), floor,
                        Fixed(dry / wc, " x wc"), "-", true});
        const double writeProcess = t(p + "_dry_run_write_process");
        rows.push_back({std::string("dry run --write, ") + size + " " + label + ", a new process",
                        Seconds(writeProcess), floor, Fixed(writeProcess / wc, " x wc"), "<= 15 x wc",
                        writeProcess > 0 && writeProcess <= 15 * wc});
        const double written = t(p + "_dry_run_write");
        rows.push_back({"  the same, run again in one process", Seconds(written), floor,
                        Fixed(written / wc, " x wc"), "-", true});
        const double peak = ChildPeak("--peak-dry-run", image);
        rows.push_back({std::string("dry run peak memory, ") + size + " " + label,
                        Megabytes(peak), "file " + size,
                        Fixed(peak / static_cast<double>(bytes), " x file"), "<= 3 x file",
                        peak > 0 && peak <= 3.0 * static_cast<double>(bytes)});
    }
    // Each shape at its size and at twice it: linear time doubles, at most
    // (allowing for the machine's noise) 2.5 times.
    const auto fastest = [&](const std::string& name) { return Fastest(collector.times[name]); };
    for (const ShapeRow& shape : kShapes) {
        const double once = fastest(std::string("shape_") + shape.tag),
                     twice = fastest(std::string("shape_") + shape.tag + "_twice");
        const bool linear = once > 0 && twice > 0 && twice <= 2.5 * once;
        rows.push_back({std::string("dry run, shape: ") + shape.what, Seconds(once), "twice the size " + Seconds(twice),
                        Fixed(once > 0 ? twice / once : 0, " x once"),
                        (shape.limit > 0 ? "<= 1 s, twice <= 2.5 x" : "twice <= 2.5 x"),
                        linear && (shape.limit == 0 || once <= shape.limit)});
    }
    if (!exe.empty()) {
        std::error_code ec;
        const auto size = fs::file_size(exe, ec);
        char b[48];
        std::snprintf(b, sizeof b, "%.1f KB (%llu bytes)", static_cast<double>(size) / 1024,
                      static_cast<unsigned long long>(size));
        rows.push_back({"build/win32/zavuninst.exe size", ec ? "missing" : b, "", "", "<= 128 KB",
                        !ec && size <= 128 * 1024});
    }
    std::cout << "\n";
    PrintTable(rows);
    for (const auto& [name, message] : collector.errors)
        std::cout << "error in " << name << ": " << message << "\n";
    double load[1] = {0};
    const bool haveLoad = getloadavg(load, 1) == 1;
    std::cout << "(medians of " << repetitions << " repetitions; shapes: the fastest of "
              << shapeRuns << ", the two sizes in turn; peak memory: maximum resident set "
              << "of a separate process doing the whole dry run";
    if (haveLoad) std::cout << "; load average at the end " << Fixed(load[0], "") << " on "
                            << sysconf(_SC_NPROCESSORS_ONLN) << " cores";
    std::cout << ")\n";
    return collector.errors.empty() ? 0 : 1;
}
