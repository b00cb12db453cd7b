// The simulator twin of a Wine scenario, and its machine against Wine's.
#include "sim_twin.h"

#include "dryrun/run_winmain.h"
#include "image/text_codec.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace winetest {
namespace {

// "1 4.10  A " -> platform 1, version 4.10, service-pack text " A ".
bool ParseVersion(const std::string& text, sim::Machine& machine) {
    unsigned long platform = 0, major = 0, minor = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%lu %lu.%lu%n", &platform, &major, &minor, &used) != 3) return false;
    machine.platformId = platform;
    machine.majorVersion = major;
    machine.minorVersion = minor;
    machine.csdVersion = static_cast<size_t>(used) < text.size() ? text.substr(static_cast<size_t>(used) + 1) : "";
    return true;
}

// The instance ids Wine's SETUPAPI lists as present: every key three levels
// below HKLM\System\CurrentControlSet\Enum with a REG_SZ ClassGUID value,
// in registry order, in upper case. A platform difference: Wine keeps no
// record of which devices are plugged in and lists every installed device
// whatever DIGCF_PRESENT says, where Windows leaves an unplugged one out of
// a DIGCF_PRESENT walk. The twin's machine takes them all as present, so
// that its walks list what Wine's do.
std::vector<std::string> WinePresentDevices(const sim::Registry& registry) {
    std::vector<std::string> ids;
    const sim::RegKey* root = registry.Find("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum");
    if (root == nullptr) return ids;
    // Subkeys are in registry order: by name, without regard to case.
    for (const auto& enumerator : root->subkeys)
        for (const auto& device : enumerator->subkeys)
            for (const auto& instance : device->subkeys) {
                const sim::RegValue* guid = instance->FindValue("ClassGUID");
                if (guid == nullptr || guid->type != REG_SZ) continue;
                if (!sim::ParseGuid(std::string(guid->data.begin(), std::find(guid->data.begin(), guid->data.end(), 0))))
                    continue;
                ids.push_back(image::UpperAscii(enumerator->name + "\\" + device->name + "\\" + instance->name));
            }
    return ids;
}

}  // namespace

bool RunSimulatorTwin(const Scenario& scenario, const Outcome& wine, TwinOutcome& twin, std::string& error) {
    twin = TwinOutcome();
    sim::Machine machine;
    // Wine's registry layout: hardware keys below CurrentControlSet\Enum,
    // driver keys below Control\Class; and so RegDeleteKeyA refusing keys
    // with subkeys (key deletion of Windows 98 in the NT layout).
    machine.wineLayout = true;
    machine.windowsDirectory = "C:\\windows";
    if (!ParseVersion(wine.windowsVersion, machine)) {
        error = "cannot read the Windows version \"" + wine.windowsVersion + "\"";
        return false;
    }
    machine.registry = wine.registryBefore;
    machine.files.AddDirectory("C:\\windows");
    for (const ScenarioFile& file : scenario.files)
        machine.files.AddFile(file.path, file.content,
                              file.readOnly ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_ARCHIVE);
    // Every installed device counts as present, as Wine lists it (see WinePresentDevices).
    for (const std::string& id : WinePresentDevices(wine.registryBefore)) machine.devices.push_back({id, {}, {}});
    machine.windowTitles = {"Glovix"};
    if (scenario.setupApiMissing) sim::RemoveLibrary(machine, "SETUPAPI");

    twin.exitCode = dryrun::RunWinMain(machine);
    for (const sim::Event& e : machine.events) {
        const std::string call = sim::ApiName(e.api);
        if (e.api == sim::Api::MessageBoxA) twin.events.push_back(call + " \"" + e.message + "\" \"" + e.caption + "\"");
        if (e.api == sim::Api::ShellExecuteA) twin.events.push_back(call + " " + e.target + " " + e.parameters);
        if (e.api == sim::Api::SendMessageA) twin.events.push_back(call + " " + e.target + " " + std::to_string(e.windowMessage));
    }
    twin.registryAfter = machine.registry;
    twin.filesAfter = FileState(machine.files);
    return true;
}

Comparison CompareTwin(const Scenario& scenario, const Outcome& wine, const TwinOutcome& twin) {
    Comparison out;
    sim::Registry registry = twin.registryAfter;
    for (const auto& [difference, reg] : scenario.differences) {
        if (reg.empty()) continue;  // one the prediction excuses
        const image::StateLines unexcused = ExportedRegistryState(registry);
        ApplyRegText(reg, registry);
        if (ExportedRegistryState(registry) != unexcused) out.excused.insert(difference);
    }
    for (const std::string& line :
         Disagreements(ExportedRegistryState(registry), ExportedRegistryState(wine.registryAfter),
                       "registry, only the twin's: ", "registry, only Wine's:      "))
        out.mismatches.push_back(line);
    std::set<std::string> files;
    for (const ScenarioFile& file : scenario.files) files.insert(image::FileWhat(file.path));
    for (const ScenarioFile& file : scenario.expectFiles) files.insert(image::FileWhat(file.path));
    for (const auto& line : twin.filesAfter) files.insert(line.first);
    for (const std::string& line : Disagreements(twin.filesAfter, wine.filesAfter, "files, only the twin's: ",
                                                 "files, only Wine's:      ",
                                                 [&](const std::string& what) { return files.count(what) != 0; }))
        out.mismatches.push_back(line);
    return out;
}

}  // namespace winetest
