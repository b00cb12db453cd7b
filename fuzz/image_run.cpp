// Fuzz target: a whole run on a fuzzed machine image, and the dry run's
// report of it.
//
// Input: four parts separated by the line "--8<--": machine.ini,
// registry.reg, the package INF (put in "inf\other") and usbstor.inf (put in
// "inf"); the image's other files are fixed. Checks: the property tests'
// invariants of a run; the report is built, its text is UTF-8 throughout, and
// its JSON text parses and names every line of the export regedit skips.
#include "fuzz_check.h"

#include "dryrun/dry_run.h"
#include "image/machine_image.h"
#include "dryrun/run_winmain.h"
#include "support/package_machine.h"
#include "support/run_invariants.h"
#include "support/text_bytes.h"

#include <nlohmann/json.hpp>

namespace {

std::vector<std::string> Parts(const std::string& text) {
    static const std::string kSeparator = "\n--8<--\n";
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(kSeparator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + kSeparator.size();
    }
    parts.resize(4);
    return parts;
}

// The package's files and the system's beside them in both usual Windows
// directories, so that [attributes] can name them whichever directory the
// image chooses.
void AddFiles(sim::FileSystem& files) {
    for (const std::string w : {"C:\\WINDOWS", "C:\\WINNT"}) {
        support::AddWindows98Files(files, w);
        files.AddFile(w + "\\system32\\drivers\\USBSTORSP3.SYS", "MZ replacement");
        files.AddFile(w + "\\inf\\USBZAV03.inf", "[Version]\r\nSignature=\"$Chicago$\"\r\n");
    }
    files.AddFile("C:\\MSDOS.SYS", "");
}

// Whether a file can be put at `path`: a valid path, no file in the way of
// its folders, no folder of its name.
bool CanPlace(const sim::FileSystem& files, const std::string& path) {
    const std::string normalized = sim::FileSystem::Normalize(path);
    if (normalized.empty()) return false;
    for (size_t slash = normalized.find('\\', 3); slash != std::string::npos;
         slash = normalized.find('\\', slash + 1)) {
        const sim::FileEntry* folder = files.Find(normalized.substr(0, slash));
        if (folder != nullptr && !folder->directory) return false;
    }
    const sim::FileEntry* entry = files.Find(normalized);
    return entry == nullptr || !entry->directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = Parts(std::string(reinterpret_cast<const char*>(data), size));
    sim::Machine machine;
    AddFiles(machine.files);
    image::InputError diag;
    if (!image::ReadMachineIni(parts[0], "machine.ini", machine, &diag)) return 0;
    image::RegFormat format;
    std::vector<image::InputError> skipped;
    if (!image::ReadRegFile(parts[1], "registry.reg", machine.registry, &format, &diag, &skipped)) return 0;
    const std::string w = machine.windowsDirectory;
    if (!parts[2].empty() && CanPlace(machine.files, w + "\\inf\\other\\USBZAV03.inf"))
        machine.files.AddFile(w + "\\inf\\other\\USBZAV03.inf", parts[2]);
    if (!parts[3].empty() && CanPlace(machine.files, w + "\\inf\\usbstor.inf"))
        machine.files.AddFile(w + "\\inf\\usbstor.inf", parts[3]);

    sim::Machine after = machine;
    const int exitCode = dryrun::RunWinMain(after);
    fuzz::CheckNone(support::CheckRun(machine, after, exitCode));

    dryrun::Report report =
        dryrun::BuildReport("fuzz", machine, after, dryrun::PackageMarkers(machine), exitCode);
    report.skippedLines = skipped;
    const std::string text = dryrun::ReportText(report);
    fuzz::Check(!text.empty(), "an empty report");
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = 0;
        fuzz::Check(image::DecodeUtf8(text, pos, &cp), "the text report is not UTF-8");
    }
    // A name may hold a UTF-16 unit that pairs with none: a "\ud800" escape,
    // which is JSON, but which the library's parser refuses.
    const nlohmann::json parsed =
        nlohmann::json::parse(support::LoneUnitEscapesReplaced(dryrun::ReportJson(report)), nullptr, false);
    fuzz::Check(!parsed.is_discarded(), "the JSON report does not parse");
    fuzz::Check(parsed.value("skipped_lines", nlohmann::json::array()).size() == skipped.size(),
                "the JSON report does not name every skipped line");
    return 0;
}
