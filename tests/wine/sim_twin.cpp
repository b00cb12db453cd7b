#include "sim_twin.h"

#include "platform/sim/sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace winetest {
namespace {

const char kWineEnum[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\";

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsText(uint32_t type) { return type == kRegSz || type == kRegExpandSz; }

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

void CopyOut(const sim::RegKey& key, RegImage& image) {
    const std::string path = sim::KeyPath(key);
    image.Create(path);
    for (const sim::RegValue& v : key.values) {
        RegValue value;
        value.name = v.name;
        value.type = v.type;
        value.data = v.data;
        // An export cannot tell an empty text stored without its zero from
        // one stored with it.
        if (IsText(value.type) && (value.data.empty() || value.data.back() != 0)) value.data.push_back(0);
        image.SetValue(path, value);
    }
    for (const auto& subkey : key.subkeys) CopyOut(*subkey, image);
}

}  // namespace

std::string FileKey(const std::string& windowsPath) {
    std::string key = windowsPath.size() > 3 ? windowsPath.substr(3) : "";
    for (char& c : key) c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

std::vector<std::string> WinePresentDevices(const RegImage& registry) {
    std::vector<std::string> ids;
    const std::string prefix = Upper(kWineEnum);
    for (const auto& [upper, key] : registry.Keys()) {
        if (upper.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string id = upper.substr(prefix.size());
        if (std::count(id.begin(), id.end(), '\\') != 2) continue;
        const RegValue* guid = registry.FindValue(key.path, "ClassGUID");
        if (guid == nullptr || guid->type != kRegSz) continue;
        if (!sim::ParseGuid(std::string(guid->data.begin(), std::find(guid->data.begin(), guid->data.end(), 0))))
            continue;
        ids.push_back(id);
    }
    return ids;  // the map orders paths as Wine's registry does: without case
}

bool RunSimulatorTwin(const Scenario& scenario, const Outcome& wine, TwinOutcome& twin, std::string& error) {
    twin = TwinOutcome();
    sim::Machine machine;
    // Wine's registry layout: hardware keys below CurrentControlSet\Enum,
    // driver keys below Control\Class, RegDeleteKeyA refusing keys with
    // subkeys (Wine's 9x tree deletion is the one platform difference, named
    // by each scenario).
    machine.family = sim::Family::NT;
    machine.windowsDirectory = "C:\\windows";
    machine.messageBoxAnswer = IDOK;
    if (!ParseVersion(wine.windowsVersion, machine)) {
        error = "cannot read the Windows version \"" + wine.windowsVersion + "\"";
        return false;
    }
    for (const auto& [upper, key] : wine.registryBefore.Keys()) {
        machine.registry.Create(key.path);
        for (const auto& [name, value] : key.values)
            machine.registry.SetValue(key.path, value.name, value.type, value.data);
    }
    machine.files.AddDirectory("C:\\windows");
    for (const ScenarioFile& file : scenario.files)
        machine.files.AddFile(file.path, file.content,
                              file.readOnly ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_ARCHIVE);
    for (const std::string& id : WinePresentDevices(wine.registryBefore)) machine.devices.push_back({id, {}, {}});
    machine.windowTitles = {"Glovix"};

    {
        sim::ActiveMachine active(machine);
        char commandLine[] = "";
        twin.exitCode = WinMain(nullptr, nullptr, commandLine, SW_SHOWNORMAL);
    }
    for (const sim::Event& e : machine.events) {
        const std::string call = sim::ApiName(e.api);
        if (e.api == sim::Api::MessageBoxA) twin.events.push_back(call + " \"" + e.text + "\" \"" + e.text2 + "\"");
        if (e.api == sim::Api::ShellExecuteA) twin.events.push_back(call + " " + e.target + " " + e.text);
        if (e.api == sim::Api::SendMessageA) twin.events.push_back(call + " " + e.target + " " + std::to_string(e.number));
    }
    if (const sim::RegKey* root = machine.registry.Root(HKEY_LOCAL_MACHINE)) CopyOut(*root, twin.registryAfter);
    for (const sim::FileEntry* entry : machine.files.Entries()) {
        if (entry->directory) continue;
        FileState state;
        state.path = entry->path;
        state.readOnly = (entry->attributes & FILE_ATTRIBUTE_READONLY) != 0;
        state.size = entry->data.size();
        state.digest = ContentDigest(entry->data);
        twin.filesAfter[FileKey(entry->path)] = state;
    }
    return true;
}

}  // namespace winetest
