// The residue scan: the texts that name the package, and whatever on the
// machine after the run still holds one (key, value or file), with why it is
// still there.
#include "dryrun/dry_run.h"

#include "image/text_codec.h"

#include "files/files.h"
#include "icons/icons.h"
#include "inventory/inventory.h"
#include "platform/sim/sim_inf.h"
#include "run/run.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace dryrun {

using image::UpperAscii;

namespace {

const char* const kPackageTexts[] = {kWdmDriverFile,      kIosDriverFile,         kDriverInfName,
                                     kPrecompiledInfFile, kReplacementDriverFile, kDriveIconMarker};

// The device id prefixes of the package INF's device section: the second
// value of each line, read as SETUPAPI reads the file.
std::vector<std::string> InfSectionPrefixes(const std::vector<uint8_t>& data) {
    std::vector<std::string> prefixes;
    const sim::InfParse parsed = sim::ParseInf(data);
    if (const sim::InfSection* section = sim::FindInfSection(parsed.sections, kDriverInfSection))
        for (const sim::InfLine& line : section->lines)
            if (line.values.size() > 1 && !line.values[1].empty()) prefixes.push_back(line.values[1]);
    return prefixes;
}

// Whether `upperMarker` starts at byte i of `data`, ignoring letter case, as
// 8-bit text or as UTF-16LE text.
bool MatchesAt(const uint8_t* data, size_t size, size_t i, const std::string& upperMarker) {
    auto up = [](uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; };
    const size_t m = upperMarker.size();
    if (i + m <= size) {
        size_t k = 1;
        while (k < m && up(data[i + k]) == static_cast<uint8_t>(upperMarker[k])) ++k;
        if (k == m) return true;
    }
    if (i + 2 * m <= size) {
        size_t k = 0;
        while (k < m && up(data[i + 2 * k]) == static_cast<uint8_t>(upperMarker[k]) &&
               data[i + 2 * k + 1] == 0)
            ++k;
        if (k == m) return true;
    }
    return false;
}

// Whether `data` holds `upperMarker`, ignoring letter case, as 8-bit text or
// as UTF-16LE text. The candidates are the bytes equal to the first
// character in either case, found with memchr: the scan covers every value
// of registries of hundreds of thousands of keys.
bool Contains(const uint8_t* data, size_t size, const std::string& upperMarker) {
    if (upperMarker.empty()) return false;
    const uint8_t first = static_cast<uint8_t>(upperMarker[0]);
    const uint8_t lower = first >= 'A' && first <= 'Z' ? static_cast<uint8_t>(first + 32) : first;
    for (const uint8_t c : {first, lower}) {
        for (size_t i = 0; i < size; ++i) {
            const void* found = std::memchr(data + i, c, size - i);
            if (found == nullptr) break;
            i = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
            if (MatchesAt(data, size, i, upperMarker)) return true;
        }
        if (lower == first) break;
    }
    return false;
}

const std::string* FindMarker(const std::string& upperText, const std::vector<std::string>& upper) {
    for (const std::string& m : upper)
        if (upperText.find(m) != std::string::npos) return &m;
    return nullptr;
}

struct ResidueContext {
    const sim::Machine* before = nullptr;
    const sim::Machine* after = nullptr;
    UninstallWork work = UninstallWork::None;
    bool nt = false;
    std::string systemName;
    std::set<std::string> refusedFiles;  // upper-case paths
    std::map<std::string, std::string> driverOwners;  // upper-case driver key name -> instance id
};

// The 9x family's hardware keys (HKLM\Enum\<enumerator>\<device>\<instance>)
// by the driver key their "Driver" value names.
void CollectDriverOwners(const sim::RegKey& key, const std::string& id, int level,
                         std::map<std::string, std::string>& out) {
    if (level == 3) {
        if (const sim::RegValue* driver = key.FindValue("Driver")) {
            std::string text(driver->data.begin(), driver->data.end());
            text.resize(std::min(text.size(), text.find('\0')));
            if (!text.empty()) out[UpperAscii(text)] = id;
        }
        return;
    }
    for (const auto& sub : key.subkeys)
        CollectDriverOwners(*sub, id.empty() ? sub->name : id + "\\" + sub->name, level + 1, out);
}

// A drive letter's package marker key, or a key below it (upper-case path).
bool IsMarkerKey(const std::string& upperPath) {
    return upperPath.find("\\" + UpperAscii(kDriveIconMarker)) != std::string::npos;
}

std::string NoteForKey(const ResidueContext& ctx, const std::string& upperPath,
                       const sim::RegKey* key) {
    if (IsMarkerKey(upperPath) && ctx.nt)
        return "stays by design: the NT family refuses to delete a key that has subkeys, so the "
               "drive icon cleanup empties the icon and label and leaves the marker";
    if (upperPath.find("DRIVEICONS\\") != std::string::npos)
        return "a drive icon registration the cleanup did not clear";
    if (ctx.work != UninstallWork::DeviceRemoval)
        return "the uninstaller removes devices and their keys on Windows 98 only, not on " +
               (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    const std::string enumRoot = "HKEY_LOCAL_MACHINE\\ENUM\\";
    if (upperPath.rfind(enumRoot, 0) == 0 && key != nullptr) {
        // Enum\<enumerator>\<device>\<instance>: the instance keys are the devices.
        const std::string id = upperPath.substr(enumRoot.size());
        if (std::count(id.begin(), id.end(), '\\') < 2) {
            if (key->subkeys.empty())
                return "stays by design: only the instance keys of removed devices are deleted, "
                       "not the keys above them";
            return "holds instance keys of devices that were not present: only present devices "
                   "are removed";
        }
        bool presentBefore = false, presentAfter = false;
        for (const sim::Device& d : ctx.before->devices) presentBefore = presentBefore || UpperAscii(d.instanceId) == id;
        for (const sim::Device& d : ctx.after->devices) presentAfter = presentAfter || UpperAscii(d.instanceId) == id;
        if (!presentBefore) return "the device was not present: only present devices are removed";
        if (presentAfter) return "the device is present and was not removed";
        return "the device was removed, but this key of it stayed";
    }
    return "not among the keys the uninstaller deletes";
}

std::string NoteForValue(const ResidueContext& ctx, const std::string& upperPath,
                         const sim::RegKey& key) {
    if ((IsMarkerKey(upperPath) && ctx.nt) || ctx.work == UninstallWork::None)
        return NoteForKey(ctx, upperPath, &key);
    const std::string classRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS\\";
    if (upperPath.rfind(classRoot, 0) == 0) {
        auto owner = ctx.driverOwners.find(upperPath.substr(classRoot.size()));
        if (owner != ctx.driverOwners.end()) {
            bool present = false;
            for (const sim::Device& d : ctx.before->devices)
                present = present || UpperAscii(d.instanceId) == UpperAscii(owner->second);
            return "the driver key of " + owner->second +
                   (present ? ", a device that was present and not removed"
                            : ", a device that was not present: only present devices are removed");
        }
    }
    return "not among the values the uninstaller deletes or changes";
}

std::string NoteForFile(const ResidueContext& ctx, const std::string& path, bool content) {
    if (ctx.refusedFiles.count(UpperAscii(path)) > 0) return "its deletion was refused";
    const std::string upper = UpperAscii(path);
    // The system's storage driver files, the replacement driver among them.
    if (upper.find("USBSTOR") != std::string::npos) {
        if (ctx.work != UninstallWork::StorageDriverRestore)
            return "the storage driver is restored only on Windows 2000 without Service Pack 3 or 4, "
                   "not on " + (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    }
    if (ctx.work == UninstallWork::None)
        return "the uninstaller deletes files on Windows 98 and Windows 2000 only, not on " +
               (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    return content ? "its content names the package; the uninstaller does not touch this file"
                   : "not among the files the uninstaller deletes";
}

// The markers found in `data` (as in Contains), as a bit per marker (at most
// 64): one pass over the bytes, a table telling which markers start with
// each byte (the scan covers every value of the registry).
struct MarkerTable {
    uint64_t startingWith[256] = {};
    explicit MarkerTable(const std::vector<std::string>& upper) {
        for (size_t m = 0; m < upper.size() && m < 64; ++m) {
            const uint8_t c = static_cast<uint8_t>(upper[m][0]);
            startingWith[c] |= uint64_t(1) << m;
            if (c >= 'A' && c <= 'Z') startingWith[c + 32] |= uint64_t(1) << m;
        }
    }
};

uint64_t MarkersIn(const uint8_t* data, size_t size, const std::vector<std::string>& upper,
                   const MarkerTable& table) {
    uint64_t found = 0;
    for (size_t i = 0; i < size; ++i) {
        uint64_t candidates = table.startingWith[data[i]] & ~found;
        while (candidates != 0) {
            const int m = __builtin_ctzll(candidates);
            candidates &= candidates - 1;
            if (MatchesAt(data, size, i, upper[static_cast<size_t>(m)])) found |= uint64_t(1) << m;
        }
    }
    return found;
}

// The residue below `key`. `path` and `upperPath` hold the key's path as it
// is and upper-cased; they grow by each subkey's name and are cut back after
// it (one buffer for the whole walk of hundreds of thousands of keys).
// `parentLength` is the length of the parent's path, in which no marker was
// found: a marker in this key's path then lies in its last part.
void FindRegistryResidue(const ResidueContext& ctx, const sim::RegKey& key, std::string& path,
                         std::string& upperPath, size_t parentLength,
                         const std::vector<std::string>& upper, const MarkerTable& table,
                         const std::vector<std::string>& markers, std::vector<Residue>& out,
                         size_t depth) {
    size_t longest = 0;
    for (const std::string& m : upper) longest = std::max(longest, m.size());
    const size_t from = parentLength + 1 > longest ? parentLength + 1 - longest : 0;
    const std::string* marker = nullptr;
    for (const std::string& m : upper)
        if (upperPath.find(m, from) != std::string::npos) {
            marker = &m;
            break;
        }
    auto original = [&](const std::string* m) { return markers[static_cast<size_t>(m - upper.data())]; };
    if (marker != nullptr) {
        Residue r;
        r.kind = "key";
        r.path = path;
        r.marker = original(marker);
        r.where = "name";
        r.note = NoteForKey(ctx, upperPath, &key);
        out.push_back(r);
        return;  // the key stands for everything below it
    }
    for (const sim::RegValue& value : key.values) {
        Residue r;
        if (const std::string* m = FindMarker(UpperAscii(value.name), upper)) {
            r.marker = original(m);
            r.where = "name";
        } else if (upper.size() <= 64) {
            const uint64_t found = MarkersIn(value.data.data(), value.data.size(), upper, table);
            for (size_t i = 0; i < upper.size() && r.marker.empty(); ++i)
                if (found & (uint64_t(1) << i)) r.marker = markers[i];
            r.where = "data";
        } else {
            for (size_t i = 0; i < upper.size() && r.marker.empty(); ++i)
                if (Contains(value.data.data(), value.data.size(), upper[i])) r.marker = markers[i];
            r.where = "data";
        }
        if (r.marker.empty()) continue;
        r.kind = "value";
        r.path = path;
        r.name = value.name;
        r.note = NoteForValue(ctx, upperPath, key);
        out.push_back(r);
    }
    if (depth >= 512) return;
    const size_t length = path.size();
    for (const auto& sub : key.subkeys) {
        if (sub->deleted) continue;
        path += '\\';
        path += sub->name;
        upperPath += '\\';
        upperPath += UpperAscii(sub->name);
        FindRegistryResidue(ctx, *sub, path, upperPath, length, upper, table, markers, out, depth + 1);
        path.resize(length);
        upperPath.resize(length);
    }
}

}  // namespace

std::vector<std::string> PackageMarkers(const sim::Machine& machine) {
    std::vector<std::string> markers(std::begin(kPackageTexts), std::end(kPackageTexts));
    auto add = [&markers](const std::string& text) {
        if (text.empty()) return;
        for (const std::string& m : markers)
            if (UpperAscii(m) == UpperAscii(text)) return;
        markers.push_back(text);
    };
    for (const char* folder : {"\\inf\\other\\", "\\inf\\"}) {
        const auto data = machine.files.Read(machine.windowsDirectory + folder + kDriverInfName);
        if (!data) continue;
        for (const std::string& prefix : InfSectionPrefixes(*data)) {
            add(prefix);
            std::string flat = prefix;
            std::replace(flat.begin(), flat.end(), '\\', '&');
            add(flat);  // as the disk drives' instance ids carry it
        }
    }
    return markers;
}

std::vector<Residue> FindResidue(const Report& report, const sim::Machine& before,
                                 const sim::Machine& after) {
    const std::vector<std::string>& markers = report.markers;
    std::vector<Residue> residue;
    OsIdentity os;
    IdentifyFromVersion(os, before.platformId, before.majorVersion, before.minorVersion,
                        before.csdVersion.c_str());
    ResidueContext ctx;
    ctx.before = &before;
    ctx.after = &after;
    ctx.systemName = os.SystemName;
    ctx.nt = before.family == sim::Family::NT;
    ctx.work = WorkFor(os);
    if (const sim::RegKey* enumKey = after.registry.Find("HKEY_LOCAL_MACHINE\\Enum"))
        CollectDriverOwners(*enumKey, "", 0, ctx.driverOwners);
    for (const Change& c : report.changes)
        if (!c.done && (c.kind == Change::Kind::FileDeleted || c.kind == Change::Kind::FileRewritten))
            ctx.refusedFiles.insert(UpperAscii(c.target));
    std::vector<std::string> upper;
    for (const std::string& m : markers) upper.push_back(UpperAscii(m));
    const MarkerTable table(upper);
    for (const auto& root : after.registry.Roots()) {
        if (!root) continue;
        std::string path = root->name, upperPath = UpperAscii(root->name);
        FindRegistryResidue(ctx, *root, path, upperPath, 0, upper, table, markers, residue, 0);
    }
    for (const sim::FileEntry* entry : after.files.Entries()) {
        const size_t slash = entry->path.find_last_of('\\');
        const std::string name = UpperAscii(slash == std::string::npos ? entry->path : entry->path.substr(slash + 1));
        Residue r;
        r.kind = "file";
        r.path = entry->path;
        if (const std::string* m = FindMarker(name, upper)) {
            r.marker = markers[static_cast<size_t>(m - upper.data())];
            r.where = "name";
        } else if (!entry->directory) {
            for (size_t i = 0; i < upper.size() && r.marker.empty(); ++i)
                if (Contains(entry->data.data(), entry->data.size(), upper[i])) r.marker = markers[i];
            r.where = "content";
        }
        if (r.marker.empty()) continue;
        r.note = NoteForFile(ctx, entry->path, r.where == "content");
        residue.push_back(r);
    }
    return residue;
}

}  // namespace dryrun
