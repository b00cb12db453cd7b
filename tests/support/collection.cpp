#include "support/collection.h"

#include "support/run_invariants.h"

#include "collect/collect.h"
#include "image/machine_state.h"
#include "image/value_text.h"
#include "package.h"

#include <algorithm>
#include <set>

using sim::Api;

namespace support {

namespace {

const char kHklm[] = "HKEY_LOCAL_MACHINE";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether `path` is `folder` or lies below it (file paths, any case).
bool InFolder(const std::string& path, const std::string& folder) {
    const std::string p = sim::FileSystem::Normalize(path), f = sim::FileSystem::Normalize(folder);
    return !f.empty() && (p == f || StartsWith(p, f + "\\"));
}

// ---------------------------------------------------------------- notes

// The notes of an image, and what each names. A note reads "PART: WHAT:
// ...", WHAT a registry path or file path in ANSI; a "?" in it stands for a
// character the collector could not show (a line break, a character beyond
// the code page).
struct Notes {
    std::vector<std::string> lines;
    unsigned codePage = sim::kDefaultCodePage;

    // Whether a note of `part` names `what` (ANSI) or, with `below`, a path above it.
    bool Names(const std::string& part, const std::string& what, bool below) const {
        for (const std::string& note : lines) {
            const std::string start = part + ": ";
            if (!StartsWith(note, start)) continue;
            for (std::string candidate = what;;) {
                if (Matches(note, start.size(), candidate)) return true;
                const size_t slash = candidate.rfind('\\');
                if (!below || slash == std::string::npos) break;
                candidate.resize(slash);
            }
        }
        return false;
    }
    bool NamesKey(const std::string& utf8Path) const {
        return Names("registry", sim::Utf8ToAnsi(codePage, utf8Path), true);
    }
    // Whether a note of `part` names none of `names`: it concerns them all.
    bool General(const std::string& part, const std::vector<std::string>& names) const {
        for (const std::string& note : lines) {
            if (!StartsWith(note, part + ": ")) continue;
            bool named = false;
            for (const std::string& name : names) named = named || Matches(note, part.size() + 2, name);
            if (!named) return true;
        }
        return false;
    }

private:
    // `text` at `at` is `what` followed by ": ", letters in any case.
    static bool Matches(const std::string& text, size_t at, const std::string& what) {
        if (text.size() < at + what.size() + 2) return false;
        for (size_t i = 0; i < what.size(); ++i)
            if (text[at + i] != '?' && sim::UpperAscii(text[at + i]) != sim::UpperAscii(what[i])) return false;
        return text.compare(at + what.size(), 2, ": ") == 0;
    }
};

// ---------------------------------------------------------------- the registry

// The branches the collector takes below HKEY_LOCAL_MACHINE: those the
// uninstaller and the residue scan read on the machine's family, the NT
// family's USB storage service in every control set; or the whole key.
std::vector<std::string> Branches(const sim::Machine& m, bool wholeMachine) {
    if (wholeMachine) return {kHklm};
    const std::string icons = std::string(kHklm) + "\\" + kDriveIconsKey;
    if (m.family() != sim::Family::NT)
        return {std::string(kHklm) + "\\Enum", std::string(kHklm) + "\\System\\CurrentControlSet\\Services\\Class",
                icons};
    std::vector<std::string> branches;
    if (const sim::RegKey* system = m.registry.Find(std::string(kHklm) + "\\SYSTEM"))
        for (size_t i = 0; const sim::RegKey* set = system->EnumeratedSubkey(i, sim::Family::NT); ++i)
            branches.push_back(std::string(kHklm) + "\\SYSTEM\\" + set->name + "\\" + kStorageServiceKey);
    branches.push_back(std::string(kHklm) + "\\SYSTEM\\CurrentControlSet\\Enum");
    branches.push_back(std::string(kHklm) + "\\SYSTEM\\CurrentControlSet\\Control\\Class");
    branches.push_back(icons);
    return branches;
}

struct RegistryCheck {
    const Notes& notes;
    sim::Family family;
    unsigned codePage;
    std::vector<std::string>& problems;

    std::vector<const sim::RegKey*> Subkeys(const sim::RegKey& key, const std::string& path) const {
        std::vector<const sim::RegKey*> out;
        for (size_t i = 0; const sim::RegKey* sub = key.EnumeratedSubkey(i, family); ++i)
            if (!sub->deleted && !notes.NamesKey(path + "\\" + sub->name)) out.push_back(sub);
        return out;
    }

    static std::string Names(const std::vector<const sim::RegKey*>& keys) {
        std::string text;
        for (const sim::RegKey* k : keys) text += (text.empty() ? "" : ", ") + image::QuoteText(k->name);
        return text;
    }

    std::string Values(const sim::RegKey& key) const {
        std::string text;
        for (const sim::RegValue& v : key.values)
            text += "\n      " + image::QuoteText(v.name) + " = " +
                    image::DescribeValue(v, image::ValueDetail::Exact, codePage);
        return text;
    }

    // `got` holds what `want` holds, exactly, but what a note names.
    void Compare(const sim::RegKey* want, const sim::RegKey* got, const std::string& path) {
        if (notes.NamesKey(path)) return;
        if (want == nullptr || got == nullptr) {
            if (want != got) problems.push_back((want ? "key missing from the image: " : "key not on the machine: ") + path);
            return;
        }
        if (Values(*want) != Values(*got))
            problems.push_back("the values of " + path + " differ:\n    machine:" + Values(*want) +
                               "\n    image:" + Values(*got));
        const auto wantSubkeys = Subkeys(*want, path), gotSubkeys = Subkeys(*got, path);
        if (Names(wantSubkeys) != Names(gotSubkeys)) {
            problems.push_back("the subkeys of " + path + " differ (in the order the family enumerates them):\n"
                               "    machine: " + Names(wantSubkeys) + "\n    image:   " + Names(gotSubkeys));
            return;
        }
        for (size_t i = 0; i < wantSubkeys.size(); ++i)
            Compare(wantSubkeys[i], gotSubkeys[i], path + "\\" + wantSubkeys[i]->name);
    }
};

// Whether `path` (upper case) is a branch, or lies above or below one.
bool OnABranch(const std::string& path, const std::vector<std::string>& branches, bool* below) {
    for (const std::string& branch : branches) {
        const std::string b = sim::UpperAscii(branch);
        if (path == b || StartsWith(path, b + "\\")) {
            *below = true;
            return true;
        }
        if (StartsWith(b, path + "\\")) return true;
    }
    return false;
}

// The image holds nothing but the branches (and the keys their paths imply).
void CheckNothingElse(const sim::RegKey& key, const std::string& path, const std::vector<std::string>& branches,
                      std::vector<std::string>& problems) {
    bool below = false;
    if (!OnABranch(sim::UpperAscii(path), branches, &below)) {
        problems.push_back("a key the collector does not take: " + path);
        return;
    }
    if (below) return;
    if (!key.values.empty()) problems.push_back("values on a key above the branches: " + path);
    for (const auto& sub : key.subkeys) CheckNothingElse(*sub, path + "\\" + sub->name, branches, problems);
}

// ---------------------------------------------------------------- devices, windows, files

struct Device {
    std::string id, classGuid, description;
    bool hasDescription = false;
    bool operator==(const Device& o) const {
        return id == o.id && classGuid == o.classGuid && hasDescription == o.hasDescription &&
               description == o.description;
    }
};

// A present device as the device functions tell it: its class and
// description given with it, or its hardware key's.
Device DeviceOf(const sim::Machine& m, const sim::Device& d) {
    Device out;
    out.id = d.instanceId;
    const std::string key = m.HardwareKeyPath(d.instanceId);
    GUID guid{};
    if (d.classGuid) guid = *d.classGuid;
    else if (const auto text = m.registry.GetString(key, "ClassGUID")) guid = sim::ParseGuid(*text).value_or(GUID{});
    out.classGuid = sim::GuidText(guid);
    std::optional<std::string> description = d.description;
    if (!description) description = m.registry.GetString(key, "DeviceDesc");
    out.hasDescription = description.has_value();
    if (description) out.description = description->substr(0, description->find('\0'));
    return out;
}

std::string DevicesText(const std::vector<Device>& devices) {
    std::string text;
    for (const Device& d : devices)
        text += "\n      " + d.id + " = " + d.classGuid + (d.hasDescription ? ", " + image::QuoteText(d.description) : "");
    return text;
}

// The attributes a file reports.
DWORD Reported(DWORD attributes) { return attributes == 0 ? static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL) : attributes; }

std::string EntryText(const sim::FileEntry* e) {
    if (e == nullptr) return "absent";
    return (e->directory ? "folder " : "file ") + image::AttributeWords(Reported(e->attributes)) +
           (e->directory ? "" : ", " + image::ContentDigest(e->data));
}

void CompareImage(const sim::Machine& m, const image::MachineImage& loaded, bool wholeMachine,
                  const std::vector<sim::Fault>& faults, std::vector<std::string>& problems) {
    const sim::Machine& got = loaded.machine;
    // The keys it could not open are told by their number in notes.txt, and
    // named a line each in their own list.
    Notes notes{loaded.notes, m.codePage};
    for (const std::string& key : loaded.unreadableKeys) notes.lines.push_back("registry: " + key);

    // The system.
    auto same = [&problems](const char* what, const auto& want, const auto& have) {
        if (!(want == have)) problems.push_back(std::string("the system's ") + what + " differs");
    };
    same("platform", m.platformId, got.platformId);
    same("version", std::make_pair(m.majorVersion, m.minorVersion), std::make_pair(got.majorVersion, got.minorVersion));
    same("build", m.buildNumber, got.buildNumber);
    if (!notes.General("system", {})) same("service pack", m.csdVersion, got.csdVersion);
    same("Windows directory", m.windowsDirectory, got.windowsDirectory);
    same("code page", m.codePage, got.codePage);

    // The registry branches.
    const std::vector<std::string> branches = Branches(m, wholeMachine);
    RegistryCheck check{notes, m.family(), m.codePage, problems};
    for (const std::string& branch : branches)
        check.Compare(m.registry.Find(branch), got.registry.Find(branch), branch);
    for (const auto& root : got.registry.Roots())
        for (const auto& sub : root->subkeys)
            CheckNothingElse(*sub, root->name + "\\" + sub->name, branches, problems);
    if (const sim::RegKey* hklm = got.registry.Find(kHklm); !wholeMachine && !hklm->values.empty())
        problems.push_back("values on HKEY_LOCAL_MACHINE itself");

    // The present devices: a note that names a device leaves it out, one
    // that names none the whole list.
    std::vector<std::string> ids;
    for (const sim::Device& d : m.devices) ids.push_back(d.instanceId);
    // Without the device setup calls (a Windows 98 without setupapi.dll) no
    // device is known: the list is empty, and a note says why.
    const size_t devicesCall = static_cast<size_t>(Api::SetupDiGetClassDevsA);
    if (m.missingCalls.test(devicesCall) != got.missingCalls.test(devicesCall))
        problems.push_back("machine.ini does not tell whether setupapi.dll has the device list");
    if (m.missingCalls.test(devicesCall)) {
        if (!got.devices.empty()) problems.push_back("devices in the image of a machine that cannot list them");
        if (!notes.General("devices", ids)) problems.push_back("no note says that the devices could not be listed");
    } else if (!notes.General("devices", ids)) {
        std::vector<Device> want, have;
        for (const sim::Device& d : m.devices)
            if (!notes.Names("devices", d.instanceId, false)) want.push_back(DeviceOf(m, d));
        for (const sim::Device& d : got.devices)
            if (!notes.Names("devices", d.instanceId, false)) have.push_back(DeviceOf(got, d));
        // A failure that Windows gives when the list ends, or when a device
        // has no description, reads as the machine itself: what was read
        // must be the machine's.
        for (const sim::Fault& f : faults) {
            if (f.function == Api::SetupDiEnumDeviceInfo && f.error == ERROR_NO_MORE_ITEMS && have.size() < want.size())
                want.resize(have.size());
            if (f.function == Api::SetupDiGetDeviceRegistryPropertyA && f.error == ERROR_INVALID_DATA)
                for (size_t i = 0; i < want.size() && i < have.size(); ++i)
                    if (!have[i].hasDescription) want[i].hasDescription = false, want[i].description.clear();
        }
        if (want != have)
            problems.push_back("the devices differ:\n    machine:" + DevicesText(want) + "\n    image:" + DevicesText(have));
    }

    // The titled windows: a note that names a title leaves it out, one that
    // names none the whole list.
    std::vector<std::string> titles;
    for (const std::string& title : m.windowTitles) titles.push_back("the title \"" + title + "\" left out");
    if (!notes.General("windows", titles)) {
        std::vector<std::string> want;
        for (const std::string& title : m.windowTitles)
            if (!title.empty() && !notes.Names("windows", "the title \"" + title + "\" left out", false))
                want.push_back(title);
        if (want != got.windowTitles) problems.push_back("the window titles differ");
    }

    // The files the uninstaller reads, and no other.
    std::set<std::string> packagePaths;
    for (const PackageFile& file : kPackageFiles) {
        const std::string path = m.windowsDirectory + "\\" + file.folder + "\\" + file.name;
        packagePaths.insert(sim::FileSystem::Normalize(path));
        if (notes.Names("files", path, true)) continue;
        const std::string want = EntryText(m.files.Find(path)), have = EntryText(got.files.Find(path));
        if (want != have) problems.push_back(path + ": " + have + " in the image, " + want + " on the machine");
    }
    for (const sim::FileEntry* e : got.files.Entries())
        if (!e->directory && packagePaths.count(sim::FileSystem::Normalize(e->path)) == 0)
            problems.push_back("a file the collector does not take: " + e->path);
}

// The calls that change a machine, which the collector never makes.
const Api kChanges[] = {Api::RegSetValueExA, Api::RegDeleteKeyA,  Api::SetupDiRemoveDevice, Api::SetFileAttributesA,
                        Api::MoveFileA,      Api::ShellExecuteA,  Api::SendMessageA,        Api::DeviceKeyDeleted};

}  // namespace

int Collect(sim::Machine& machine, const std::string& arguments, bool keepCalls) {
    machine.recordCalls = keepCalls;
    sim::ActiveMachine active(machine);
    return RunCollector(("zavcollect.exe " + arguments).c_str());
}

std::vector<std::string> CheckCollection(const sim::Machine& before, const sim::Machine& after, int exitCode,
                                         bool wholeMachine, CollectionOutcome* outcome) {
    std::vector<std::string> problems;
    CollectionOutcome local;
    CollectionOutcome& out = outcome != nullptr ? *outcome : local;
    out = CollectionOutcome();
    if (exitCode != kImageWritten && exitCode != kNoImage) problems.push_back("exit code " + std::to_string(exitCode));
    const sim::HandleCounts open = after.OpenHandles();
    if (open.Total() != 0) problems.push_back(HandlesText(open));
    // Windows' own error box for a drive without a disk is off from the start.
    if (!(after.errorMode & SEM_FAILCRITICALERRORS) || (!after.calls.empty() && after.calls[0] != Api::SetErrorMode))
        problems.push_back("SetErrorMode(SEM_FAILCRITICALERRORS) is not the first call");

    // The image folder is the first folder it made, or the empty folder it
    // was given, where it wrote its first file; it touched nothing else.
    for (const sim::Event& e : after.events)
        if ((e.api == Api::CreateDirectoryA || e.api == Api::CreateFileA) && e.ok) {
            out.folder = e.api == Api::CreateDirectoryA ? e.target : e.target.substr(0, e.target.rfind('\\'));
            break;
        }
    for (const sim::Event& e : after.events) {
        if (std::find(std::begin(kChanges), std::end(kChanges), e.api) != std::end(kChanges))
            problems.push_back(std::string(sim::ApiName(e.api)) + " " + e.target);
        else if (e.ok && e.api != Api::MessageBoxA && !InFolder(e.target, out.folder))
            problems.push_back(std::string(sim::ApiName(e.api)) + " outside the image folder: " + e.target);
    }
    image::StateLines was = image::MachineState(before), is = image::MachineState(after);
    for (image::StateLines* state : {&was, &is})
        for (auto it = state->begin(); it != state->end();)
            it = StartsWith(it->first, "file ") && InFolder(it->first.substr(5), out.folder) ? state->erase(it)
                                                                                           : std::next(it);
    const image::StateDifference changed = image::Difference(was, is);
    for (const auto& line : changed.removed) problems.push_back("changed or removed: " + image::Line(line));
    for (const auto& line : changed.added) problems.push_back("new: " + image::Line(line));
    if (before.devices.size() != after.devices.size() || before.windowTitles != after.windowTitles)
        problems.push_back("the devices or windows changed");

    // What it left reads back as the machine, or is refused.
    out.written = exitCode == kImageWritten;
    image::MachineImage loaded;
    image::InputError diag;
    const bool read = !out.folder.empty() && image::LoadImage(after.files, out.folder, &loaded, &diag);
    out.refused = !read;
    if (!out.written && read) problems.push_back("exit code 1, but the folder reads as a whole image");
    if (out.written && !read && after.faults.empty())
        problems.push_back("the image is refused: " + diag.Text());
    if (read) {
        out.notes = loaded.notes.size();
        CompareImage(before, loaded, wholeMachine, after.faults, problems);
    }
    return problems;
}

unsigned RandomCodePage(Choices& choices) {
    static const unsigned kCodePages[] = {1252, 1252, 1250, 1251, 1253, 1254, 1257, 874};
    return choices.Pick(kCodePages);
}

void AddCollectorCases(sim::Machine& m, Choices& c) {
    const bool nt = m.family() == sim::Family::NT;
    const std::string enumKey = nt ? "HKLM\\System\\CurrentControlSet\\Enum" : "HKLM\\Enum";
    if (nt && c.OneIn(3)) {
        // Names in any language, which only the W functions read whole.
        m.registry.SetString(enumKey + "\\ROOT\\\xD0\x98\xD0\xBC\xD1\x8F\\0000", "\xE5\x90\x8D\xE5\x89\x8D", "text");
        m.registry.SetDword(enumKey + "\\ROOT\\\xF0\x9F\x92\xBE", "\xCE\xA9", 7);
    }
    if (nt && c.OneIn(4)) {
        // A key whose security keeps every program out but its owner.
        sim::RegKey& denied = m.registry.Create(enumKey + "\\ROOT\\LOCKED");
        denied.deniedAccess = sim::kNoAccess;
        m.registry.SetString(enumKey + "\\ROOT\\LOCKED\\0000", "DeviceDesc", "hidden");
    }
    if (c.OneIn(5)) m.registry.SetString(enumKey + "\\ROOT\\BROKEN", "two\r\nlines", "x");
    if (c.OneIn(5)) m.registry.SetString(enumKey + "\\ROOT\\two\nlines\\0000", "DeviceDesc", "x");
    if (nt && c.OneIn(4)) {
        // XP: a Properties key that SYSTEM alone may open, and a key that
        // grants query and enumerate but no more.
        m.registry.SetDword(enumKey + "\\ROOT\\DEV\\0001\\Properties", "hidden", 1);
        m.registry.Find(enumKey + "\\ROOT\\DEV\\0001\\Properties")->deniedAccess = sim::kNoAccess;
        m.registry.SetString(enumKey + "\\ROOT\\PART\\0000", "DeviceDesc", "read whole");
        m.registry.Find(enumKey + "\\ROOT\\PART")->deniedAccess = READ_CONTROL | KEY_NOTIFY;
    }
    if (c.OneIn(5)) m.windowTitles.push_back(c.OneIn(2) ? "a \"quoted\" title" : "");
    if (c.OneIn(6)) {
        sim::Device device;
        device.instanceId = "ROOT\\QUOTED\\0000";
        device.description = "the \"best\" disk";
        m.devices.push_back(device);
    }
}

}  // namespace support
