// The dry run held against the real run under Wine.
#include "prediction.h"

#include "image/machine_image.h"
#include "image/text_codec.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace winetest {

namespace {

std::string Upper(const std::string& text) { return image::UpperAscii(text); }

// A state line ("key P", "value P | \"N\"") is about one of `keys` (upper
// case) or a key below one.
bool BelowAny(const std::string& what, const std::vector<std::string>& keys) {
    const size_t space = what.find(' '), bar = what.find(" | ");
    const std::string path = what.substr(space + 1, (bar == std::string::npos ? what.size() : bar) - space - 1);
    for (const std::string& key : keys)
        if (path.compare(0, key.size(), key) == 0 && (path.size() == key.size() || path[key.size()] == '\\'))
            return true;
    return false;
}

// The keys Wine's device removal deletes for `deviceId` beside the ones the
// dry run predicts: the device's key below every control set's Enum and its
// driver key below Control\Class, as the machine before the run names them.
std::vector<std::string> NtLayoutKeys(const sim::Registry& before, const std::string& deviceId) {
    std::vector<std::string> keys;
    const sim::RegKey* system = before.Find("HKEY_LOCAL_MACHINE\\System");
    if (system == nullptr) return keys;
    for (const auto& set : system->subkeys) {
        const std::string setPath = "HKEY_LOCAL_MACHINE\\SYSTEM\\" + Upper(set->name);
        const std::string device = setPath + "\\ENUM\\" + Upper(deviceId);
        keys.push_back(device);
        const sim::RegKey* key = before.Find(device);
        const sim::RegValue* driver = key ? key->FindValue("Driver") : nullptr;
        if (driver == nullptr || driver->type != REG_SZ) continue;
        const std::string name(driver->data.begin(), std::find(driver->data.begin(), driver->data.end(), 0));
        if (!name.empty()) keys.push_back(setPath + "\\CONTROL\\CLASS\\" + Upper(name));
    }
    return keys;
}

// The changes of two runs, each told by its machine before and after, line
// for line; a line that only the real run removed or added, and that
// `excused` accepts, is left out.
void CompareChanges(const image::StateLines& pb, const image::StateLines& pa, const image::StateLines& rb,
                    const image::StateLines& ra, const std::function<bool(const std::string&)>& excused,
                    Comparison& out) {
    auto side = [&](const image::StateLines& predicted, image::StateLines real, const std::string& what) {
        for (auto line = real.begin(); line != real.end();)
            line = predicted.count(line->first) == 0 && excused(line->first) ? real.erase(line) : std::next(line);
        for (const std::string& mismatch :
             Disagreements(predicted, real, "predicted " + what + ", not so in the real run: ",
                           "real run " + what + ", not predicted: "))
            out.mismatches.push_back(mismatch);
    };
    const image::StateDifference p = image::Difference(pb, pa), r = image::Difference(rb, ra);
    side(p.removed, r.removed, "removed or changed");
    side(p.added, r.added, "added or changed");
}

// One step of a run in the order the program took it: what it is about, and
// whether it succeeded (a step whose call does not tell, as done).
struct Step {
    std::string what;
    bool ok = true;
};

std::string Shown(const std::vector<Step>& steps) {
    std::string text;
    for (const Step& s : steps) text += "    " + s.what + (s.ok ? "" : "  (failed)") + "\n";
    return text;
}

bool IsFileKind(const std::string& kind) { return kind.rfind("file_", 0) == 0; }

// The predicted changes as steps; a key the device removal deleted itself
// has no call of its own.
std::vector<Step> PredictedSteps(const Prediction& p) {
    std::vector<Step> steps;
    for (const PredictedChange& c : p.changes) {
        if (c.kind == "key_deleted" && c.byDeviceRemoval) continue;
        Step s{"", c.done};
        if (c.kind == "device_removed") s.what = "device removed";
        else if (c.kind == "key_deleted") s.what = "key deleted " + Upper(c.target);
        else if (c.kind == "value_set") s.what = "value set " + Upper(c.target) + " | \"" + Upper(c.name) + "\"";
        else if (IsFileKind(c.kind)) s = Step{"file " + Upper(c.target)};
        else if (c.kind == "message_box") s = Step{"message \"" + c.target + "\" \"" + c.detail + "\""};
        else if (c.kind == "program_started") s = Step{"program " + c.target + " " + c.detail};
        else if (c.kind == "window_closed") s = Step{"WM_CLOSE"};
        else s.what = c.kind + " " + c.target;
        steps.push_back(s);
    }
    return steps;
}

// The program's calls as steps: a file by its first call, and only the files
// the prediction names (the others, a temporary file or one only read, show
// in the files after the run if anything happened to them).
std::vector<Step> RealSteps(const Outcome& real, const std::set<std::string>& predictedFiles) {
    std::vector<Step> steps;
    std::set<std::string> seenFiles;
    for (const RelayCall& c : real.calls) {
        auto text = [&](size_t i) { return i < c.texts.size() ? c.texts[i] : std::string(); };
        Step s;
        switch (c.function) {
        case sim::Api::SetupDiRemoveDevice:
            s.what = "device removed";
            s.ok = c.retval != 0;
            break;
        case sim::Api::RegDeleteKeyA:
            s.what = "key deleted \\" + Upper(text(0));  // relative to a key the trace does not name
            s.ok = c.retval == 0;
            break;
        case sim::Api::RegSetValueExA:
            s.what = "value set  | \"" + Upper(text(0)) + "\"";
            s.ok = c.retval == 0;
            break;
        case sim::Api::MessageBoxA:
            s = Step{"message \"" + text(0) + "\" \"" + text(1) + "\""};
            break;
        case sim::Api::ShellExecuteA: {
            // The verb may be null, and then is not a text of the trace.
            const size_t file = c.texts.size() >= 3 ? 1 : 0;
            s = Step{"program " + text(file) + " " + text(file + 1)};
            break;
        }
        case sim::Api::SendMessageA:
            if (c.numbers.size() < 2 || std::strtoul(c.numbers[1].c_str(), nullptr, 16) != 0x10) continue;
            s = Step{"WM_CLOSE"};
            break;
        default:  // a file call: CreateFileA, DeleteFileA, MoveFileA, SetFileAttributesA
            for (const std::string& path : c.texts) {
                const std::string upper = Upper(path);
                if (predictedFiles.count(upper) != 0 && seenFiles.insert(upper).second)
                    steps.push_back(Step{"file " + upper});
            }
            continue;
        }
        steps.push_back(s);
    }
    return steps;
}

// A real step matches a predicted one: keys and values by the trailing part
// of the predicted path that the call names relative to its open key.
bool SameStep(const Step& predicted, const Step& real) {
    if (predicted.what == real.what) return true;
    for (const char* kind : {"key deleted ", "value set "}) {
        const std::string k = kind;
        if (predicted.what.rfind(k, 0) != 0 || real.what.rfind(k, 0) != 0) continue;
        const std::string tail = real.what.substr(k.size());
        return predicted.what.size() > tail.size() && EndsWith(predicted.what, tail);
    }
    return false;
}

void CompareOrder(const Prediction& predicted, const Outcome& real, Comparison& out) {
    std::set<std::string> predictedFiles, removedByDevice;
    for (const PredictedChange& c : predicted.changes) {
        if (IsFileKind(c.kind)) predictedFiles.insert(Upper(c.target));
        if (c.kind == "key_deleted" && c.byDeviceRemoval) removedByDevice.insert(Upper(c.target));
    }
    const std::vector<Step> p = PredictedSteps(predicted), r = RealSteps(real, predictedFiles);
    bool usedDifference = false;
    for (size_t i = 0; i < p.size() || i < r.size(); ++i) {
        bool same = i < p.size() && i < r.size() && SameStep(p[i], r[i]);
        if (same && p[i].ok != r[i].ok) {
            // The program's own deletion of a key the prediction has the
            // device removal delete first (device removal in the NT layout).
            const bool excused = predicted.platformId == 1 && !p[i].ok && r[i].ok &&
                                 removedByDevice.count(p[i].what.substr(std::string("key deleted ").size())) != 0;
            usedDifference = usedDifference || excused;
            same = excused;
        }
        if (!same) {
            out.mismatches.push_back("the steps differ from step " + std::to_string(i + 1) + ".\n  predicted:\n" +
                                     Shown(p) + "  the program's calls under Wine:\n" + Shown(r));
            break;
        }
    }
    if (usedDifference) out.excused.insert(WineDifference::DeviceRemovalInNtLayout);
}

const PredictedChange* OnlyChange(const Prediction& p, const std::string& kind, Comparison& out) {
    const PredictedChange* found = nullptr;
    size_t count = 0;
    for (const PredictedChange& c : p.changes)
        if (c.kind == kind && ++count == 1) found = &c;
    if (count != 1) out.mismatches.push_back("the dry run predicts " + std::to_string(count) + " " + kind + " changes");
    return count == 1 ? found : nullptr;
}

}  // namespace

bool RunDryRun(const std::string& tool, const std::string& imageDir, const std::string& outDir, Prediction& prediction,
               std::string& error) {
    prediction = Prediction();
    std::error_code ec;
    fs::remove_all(outDir, ec);
    const std::string output = outDir + ".json";
    fs::remove(output, ec);
    const std::vector<std::string> command = {tool, imageDir, "--json", "--write", outDir};
    const int status = Run(command, {}, "", output, 120);
    const std::string text = ReadText(output);
    if (status != 0) {
        error = "the dry run (" + tool + " " + imageDir + ") failed, status " + std::to_string(status) + ":\n" + text;
        return false;
    }
    const nlohmann::json report = nlohmann::json::parse(text, nullptr, false);
    if (report.is_discarded()) {
        error = output + " is not JSON";
        return false;
    }
    prediction.platformId = report["system"]["platform"].get<unsigned>();
    prediction.exitCode = report["exit_code"].get<int>();
    for (const auto& c : report["changes"]) {
        PredictedChange change;
        change.kind = c.value("kind", "");
        change.done = c.value("done", false);
        change.byDeviceRemoval = c.value("by_device_removal", false);
        change.target = c.value("target", "");
        change.name = c.value("name", "");
        change.detail = c.contains("caption") ? c.value("caption", "") : c.value("parameters", "");
        prediction.changes.push_back(change);
    }
    image::MachineImage before, after;
    image::InputError diag;
    if (!image::LoadImage(imageDir, &before, &diag) || !image::LoadImage(outDir, &after, &diag)) {
        error = diag.Text();
        return false;
    }
    prediction.imageRegistry = before.machine.registry;
    for (const std::string& branch : before.registryFormat.branches)
        prediction.imageBranches.push_back(Upper(branch));
    prediction.registryBefore =
        ExportedRegistryState(before.machine.registry, "HKEY_LOCAL_MACHINE", before.machine.codePage);
    prediction.registryAfter =
        ExportedRegistryState(after.machine.registry, "HKEY_LOCAL_MACHINE", after.machine.codePage);
    prediction.filesBefore = FileState(before.machine.files);
    prediction.filesAfter = FileState(after.machine.files);
    return true;
}

std::vector<std::string> CompareImageWithMachine(const Prediction& predicted, const Outcome& real,
                                                 const Scenario& scenario) {
    sim::Registry collected = predicted.imageRegistry, seeded;
    ApplyRegText(scenario.registry, seeded);
    if (!scenario.registryUnicode.empty()) ApplyRegText(Utf16leWithMark(scenario.registryUnicode), seeded);
    LeaveOutWineOwnKeys(collected);
    const image::StateLines image = ExportedRegistryState(collected);
    image::StateLines wine = ExportedRegistryState(real.registryBefore);
    for (const auto& line : ExportedRegistryState(seeded)) wine[line.first] = line.second;
    // A key the image holds: one of its branches or below one (not a key
    // only above the exported ones).
    return Disagreements(image, wine, "the image tells otherwise: ", "Wine's export tells otherwise: ",
                         [&](const std::string& what) { return BelowAny(what, predicted.imageBranches); });
}

Comparison ComparePrediction(const Prediction& predicted, const Outcome& real) {
    Comparison out;
    // Registry: the keys Wine's device removal deletes beyond the prediction.
    std::vector<std::string> ntLayout;
    if (predicted.platformId == 1)
        for (const PredictedChange& c : predicted.changes)
            if (c.kind == "device_removed" && c.done)
                for (const std::string& key : NtLayoutKeys(real.registryBefore, c.target)) ntLayout.push_back(key);
    bool usedNtLayout = false;
    CompareChanges(predicted.registryBefore, predicted.registryAfter, ExportedRegistryState(real.registryBefore),
                   ExportedRegistryState(real.registryAfter),
                   [&](const std::string& what) {
                       const bool excused = BelowAny(what, ntLayout);
                       usedNtLayout = usedNtLayout || excused;
                       return excused;
                   },
                   out);
    if (usedNtLayout) out.excused.insert(WineDifference::DeviceRemovalInNtLayout);

    // Files: the files the collector copied, against every file of drive_c.
    auto filesOnly = [](image::StateLines lines) {
        for (auto line = lines.begin(); line != lines.end();)
            line = line->second == "folder" ? lines.erase(line) : std::next(line);
        return lines;
    };
    CompareChanges(predicted.filesBefore, predicted.filesAfter, filesOnly(real.filesBefore), filesOnly(real.filesAfter),
                   [](const std::string&) { return false; }, out);

    CompareOrder(predicted, real, out);

    // The message, the installer's command line, the closed window, the exit code.
    if (!real.box.shown) {
        for (const PredictedChange& c : predicted.changes)
            if (c.kind == "message_box")
                out.mismatches.push_back("predicted the message \"" + c.target + "\", none was shown");
    } else if (const PredictedChange* box = OnlyChange(predicted, "message_box", out))
        if (box->target != real.box.text || box->detail != real.box.caption)
            out.mismatches.push_back("predicted the message \"" + box->target + "\" \"" + box->detail +
                                     "\", shown: \"" + real.box.text + "\" \"" + real.box.caption + "\"");
    if (const PredictedChange* program = OnlyChange(predicted, "program_started", out)) {
        const std::string command = real.installerLog.empty() ? "" : real.installerLog[0];
        const std::string ending = " " + program->detail;
        if (Upper(command).find(Upper(program->target)) == std::string::npos || !EndsWith(command, ending))
            out.mismatches.push_back("predicted the program " + program->target + ending + ", started: " + command);
    }
    // That the companion got it is the run's own check.
    if (const PredictedChange* window = OnlyChange(predicted, "window_closed", out))
        if (window->target != "Glovix" || !window->done)
            out.mismatches.push_back("predicted WM_CLOSE to \"" + window->target + "\"" +
                                     (window->done ? "" : ", failing") + "; the companion window is \"Glovix\"");
    if (predicted.exitCode != real.exitCode)
        out.mismatches.push_back("predicted exit code " + std::to_string(predicted.exitCode) + ", real " +
                                 std::to_string(real.exitCode));
    return out;
}

}  // namespace winetest
