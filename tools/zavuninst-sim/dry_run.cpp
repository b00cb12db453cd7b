#include "dry_run.h"

#include "text_codec.h"

#include "platform/sim/sim_inf.h"
#include "run/run.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

namespace dryrun {

namespace {

const char* const kPackageTexts[] = {"WDMZAV03.sys", "PDRZAV03.pdr",   "USBZAV03.inf",
                                     "MSTEVUmss.PNF", "USBSTORSP3.SYS", "TEVDRIVE"};
const char kPackageInf[] = "USBZAV03.inf";
const char kDeviceSection[] = "MSZAV03SECTION";

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The device id prefixes of the package INF's device section: the second
// value of each line, read as SETUPAPI reads the file.
std::vector<std::string> InfSectionPrefixes(const std::vector<uint8_t>& data) {
    std::vector<std::string> prefixes;
    const sim::InfParse parsed = sim::ParseInf(data);
    if (const sim::InfSection* section = sim::FindInfSection(parsed.sections, kDeviceSection))
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

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_FULL_RESOURCE_DESCRIPTOR: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case REG_RESOURCE_REQUIREMENTS_LIST: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "type %u", static_cast<unsigned>(type));
        return buffer;
    }
    }
}

// A quoted ANSI text in UTF-8, with control characters as \xNN.
std::string QuoteText(const std::string& ansi) {
    std::string out = "\"";
    for (unsigned char c : ansi) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            out += buffer;
        } else {
            AppendUtf8(out, AnsiToCodePoint(c));
        }
    }
    return out + "\"";
}

std::string HexBytes(const std::vector<uint8_t>& data, size_t limit) {
    std::string out;
    char buffer[4];
    for (size_t i = 0; i < data.size() && i < limit; ++i) {
        std::snprintf(buffer, sizeof buffer, "%02x", data[i]);
        if (i > 0) out += ',';
        out += buffer;
    }
    return out;
}

std::vector<std::string> MultiStrings(const std::vector<uint8_t>& data) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] == 0) {
            if (current.empty()) break;  // the empty string that ends the list
            out.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

// Names come from the registry (ANSI) and from the host's file names and
// machine.ini (UTF-8): text that reads as UTF-8 is shown as it is.
std::string DisplayPath(const std::string& text) {
    size_t pos = 0;
    char32_t cp = 0;
    while (pos < text.size())
        if (!DecodeUtf8(text, pos, &cp)) return AnsiToUtf8(text);
    return text;
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ReasonForError(DWORD error, bool isKey) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return isKey ? "no such key" : "no such file";
    case ERROR_PATH_NOT_FOUND: return isKey ? "no such key" : "no such folder";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_SHARING_VIOLATION: return "the file is in use by another program";
    case ERROR_INVALID_HANDLE: return "no key was open (the key to set it in does not exist)";
    case ERROR_NO_SUCH_DEVINST: return "no such device";
    default: return "error " + std::to_string(error);
    }
}

bool IsFileApi(const std::string& api) {
    return api == "DeleteFileA" || api == "SetFileAttributesA" || api == "CreateFileA" ||
           api == "WriteFileA" || api == "MoveFileA";
}

// Union-find over normalized file paths, so that a temporary file and the
// file it is renamed to (or the backup the original is renamed to) are one
// change of that file.
struct PathGroups {
    std::map<std::string, std::string> parent;
    std::string Find(const std::string& p) {
        auto it = parent.find(p);
        if (it == parent.end()) {
            parent[p] = p;
            return p;
        }
        if (it->second == p) return p;
        const std::string root = Find(it->second);
        parent[p] = root;
        return root;
    }
    void Join(const std::string& a, const std::string& b) {
        const std::string ra = Find(a), rb = Find(b);
        if (ra != rb) parent[rb] = ra;
    }
};

struct PathEvents {
    size_t first = 0;
    std::string shown;  // the path as the program wrote it
    std::vector<const sim::Event*> events;
    bool anyOk = false;
    const sim::Event* lastFailure = nullptr;
    const sim::Event* lastFailedDelete = nullptr;
};

void AddFileChanges(const sim::Machine& before, const sim::Machine& after, Report& report) {
    PathGroups groups;
    std::map<std::string, PathEvents> paths;
    const auto& events = after.events;
    for (size_t i = 0; i < events.size(); ++i) {
        const sim::Event& e = events[i];
        if (!IsFileApi(e.api)) continue;
        std::vector<std::string> touched = {e.target};
        if (e.api == "MoveFileA") touched.push_back(e.text);
        std::string firstKey;
        for (const std::string& t : touched) {
            std::string key = sim::FileSystem::Normalize(t);
            if (key.empty()) key = Upper(t);
            if (firstKey.empty()) firstKey = key;
            else groups.Join(firstKey, key);
            groups.Find(key);
            auto inserted = paths.emplace(key, PathEvents());
            PathEvents& pe = inserted.first->second;
            if (inserted.second) {
                pe.first = i;
                pe.shown = t;
            }
            pe.events.push_back(&e);
            // A failed rename of a temporary file onto the path also counts
            // for the path; a SetFileAttributesA alone changes no content.
            if (e.ok) {
                if (e.api != "SetFileAttributesA") pe.anyOk = true;
            } else {
                pe.lastFailure = &e;
                if (e.api == "DeleteFileA") pe.lastFailedDelete = &e;
            }
        }
    }
    // Paths of one group, the group ordered by its first event.
    std::map<std::string, std::vector<std::string>> members;
    for (const auto& entry : paths) members[groups.Find(entry.first)].push_back(entry.first);
    for (auto& group : members) {
        std::sort(group.second.begin(), group.second.end(),
                  [&](const std::string& a, const std::string& b) {
                      return paths[a].first < paths[b].first;
                  });
        for (const std::string& key : group.second) {
            const PathEvents& pe = paths[key];
            const sim::FileEntry* b = before.files.Find(pe.shown);
            const sim::FileEntry* a = after.files.Find(pe.shown);
            if (b && b->directory) b = nullptr;
            if (a && a->directory) a = nullptr;
            Change c;
            c.order = paths[group.second.front()].first;
            c.target = b ? b->path : a ? a->path : pe.shown;
            if (b) {
                c.oldSize = b->data.size();
                c.oldAttributes = b->attributes;
            }
            if (a) {
                c.newSize = a->data.size();
                c.newAttributes = a->attributes;
            }
            const bool wasReadOnly = b && (b->attributes & FILE_ATTRIBUTE_READONLY);
            auto reason = [&](const sim::Event* e) {
                if (e == nullptr) return std::string();
                c.absent = e->error == ERROR_FILE_NOT_FOUND || e->error == ERROR_PATH_NOT_FOUND;
                if (e->error == ERROR_ACCESS_DENIED && wasReadOnly) return std::string("the file is read-only");
                return ReasonForError(e->error, false);
            };
            if (b && !a) {
                c.kind = Change::Kind::FileDeleted;
            } else if (!b && a) {
                c.kind = Change::Kind::FileCreated;
            } else if (b && a) {
                c.attributesChanged = b->attributes != a->attributes;
                if (b->data != a->data) {
                    c.kind = Change::Kind::FileRewritten;
                } else if (pe.lastFailedDelete != nullptr && !pe.anyOk) {
                    c.kind = Change::Kind::FileDeleted;
                    c.done = false;
                    c.reason = reason(pe.lastFailedDelete);
                } else if (pe.anyOk) {
                    c.kind = Change::Kind::FileRewritten;
                } else if (c.attributesChanged) {
                    c.kind = Change::Kind::FileAttributes;
                } else if (pe.lastFailure != nullptr) {
                    c.kind = pe.lastFailure->api == "DeleteFileA" ? Change::Kind::FileDeleted
                                                                  : Change::Kind::FileRewritten;
                    c.done = false;
                    c.reason = reason(pe.lastFailure);
                } else {
                    continue;
                }
            } else {
                // Neither before nor after: a temporary file, or a file that
                // was not there to delete.
                if (pe.anyOk || pe.lastFailure == nullptr) continue;
                c.kind = pe.lastFailure->api == "DeleteFileA" || pe.lastFailure->api == "SetFileAttributesA"
                             ? Change::Kind::FileDeleted
                             : Change::Kind::FileRewritten;
                c.done = false;
                c.reason = reason(pe.lastFailure);
            }
            report.changes.push_back(c);
        }
    }
}

struct ResidueContext {
    const sim::Machine* before = nullptr;
    const sim::Machine* after = nullptr;
    bool win98Work = false;
    bool restoreWork = false;
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
            if (!text.empty()) out[Upper(text)] = id;
        }
        return;
    }
    for (const auto& sub : key.subkeys)
        CollectDriverOwners(*sub, id.empty() ? sub->name : id + "\\" + sub->name, level + 1, out);
}

std::string NoteForKey(const ResidueContext& ctx, const std::string& upperPath,
                       const sim::RegKey* key) {
    if (upperPath.find("\\TEVDRIVE") != std::string::npos && ctx.nt)
        return "stays by design: the NT family refuses to delete a key that has subkeys, so the "
               "drive icon cleanup empties the icon and label and leaves the marker";
    if (upperPath.find("DRIVEICONS\\") != std::string::npos)
        return "a drive icon registration the cleanup did not clear";
    if (!ctx.win98Work)
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
        for (const sim::Device& d : ctx.before->devices) presentBefore = presentBefore || Upper(d.instanceId) == id;
        for (const sim::Device& d : ctx.after->devices) presentAfter = presentAfter || Upper(d.instanceId) == id;
        if (!presentBefore) return "the device was not present: only present devices are removed";
        if (presentAfter) return "the device is present and was not removed";
        return "the device was removed, but this key of it stayed";
    }
    return "not among the keys the uninstaller deletes";
}

std::string NoteForValue(const ResidueContext& ctx, const std::string& upperPath,
                         const sim::RegKey& key) {
    if ((upperPath.find("\\TEVDRIVE") != std::string::npos && ctx.nt) ||
        (!ctx.win98Work && !ctx.restoreWork))
        return NoteForKey(ctx, upperPath, &key);
    const std::string classRoot = "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS\\";
    if (upperPath.rfind(classRoot, 0) == 0) {
        auto owner = ctx.driverOwners.find(upperPath.substr(classRoot.size()));
        if (owner != ctx.driverOwners.end()) {
            bool present = false;
            for (const sim::Device& d : ctx.before->devices)
                present = present || Upper(d.instanceId) == Upper(owner->second);
            return "the driver key of " + owner->second +
                   (present ? ", a device that was present and not removed"
                            : ", a device that was not present: only present devices are removed");
        }
    }
    return "not among the values the uninstaller deletes or changes";
}

std::string NoteForFile(const ResidueContext& ctx, const std::string& path, bool content) {
    if (ctx.refusedFiles.count(Upper(path)) > 0) return "its deletion was refused";
    const std::string upper = Upper(path);
    if (upper.find("USBSTOR") != std::string::npos || upper.find("USBSTORSP3") != std::string::npos) {
        if (!ctx.restoreWork)
            return "the storage driver is restored only on Windows 2000 without Service Pack 3 or 4, "
                   "not on " + (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    }
    if (!ctx.win98Work && !ctx.restoreWork)
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
        if (const std::string* m = FindMarker(Upper(value.name), upper)) {
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
        upperPath += Upper(sub->name);
        FindRegistryResidue(ctx, *sub, path, upperPath, length, upper, table, markers, out, depth + 1);
        path.resize(length);
        upperPath.resize(length);
    }
}

}  // namespace

int RunProgram(sim::Machine& machine) {
    machine.messageBoxAnswer = IDOK;
    machine.recordCalls = false;  // the report needs the events only
    sim::ActiveMachine active(machine);
    char commandLine[1] = {0};
    return WinMain(nullptr, nullptr, commandLine, SW_SHOWNORMAL);
}

std::vector<std::string> PackageMarkers(const sim::Machine& machine) {
    std::vector<std::string> markers(std::begin(kPackageTexts), std::end(kPackageTexts));
    auto add = [&markers](const std::string& text) {
        if (text.empty()) return;
        for (const std::string& m : markers)
            if (Upper(m) == Upper(text)) return;
        markers.push_back(text);
    };
    for (const char* folder : {"\\inf\\other\\", "\\inf\\"}) {
        const auto data = machine.files.Read(machine.windowsDirectory + folder + kPackageInf);
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

std::string DescribeValue(const sim::RegValue& value) {
    const std::string type = TypeName(value.type);
    const auto& d = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        if (d.empty()) return type + " \"\" (no data)";
        std::string text(d.begin(), d.end());
        const size_t zero = text.find('\0');
        const bool clean = zero == text.size() - 1;
        if (zero != std::string::npos) text.resize(zero);
        return type + " " + QuoteText(text) + (clean ? "" : " (" + Plural(d.size(), "byte", "bytes") + ")");
    }
    if (value.type == REG_MULTI_SZ) {
        std::string out = type + " [";
        const auto strings = MultiStrings(d);
        for (size_t i = 0; i < strings.size(); ++i) out += (i ? ", " : "") + QuoteText(strings[i]);
        return out + "]";
    }
    if (value.type == REG_DWORD && d.size() == 4) {
        const uint32_t v = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, " 0x%08x (%u)", v, v);
        return type + buffer;
    }
    std::string out = type + " " + (d.empty() ? std::string("(no data)") : HexBytes(d, 32));
    if (d.size() > 32) out += ",... (" + Plural(d.size(), "byte", "bytes") + ")";
    return out;
}

Report BuildReport(const std::string& image, const sim::Machine& before, const sim::Machine& after,
                   const std::vector<std::string>& markers, int exitCode) {
    Report report;
    report.image = image;
    report.platformId = before.platformId;
    report.majorVersion = before.majorVersion;
    report.minorVersion = before.minorVersion;
    report.servicePack = before.csdVersion;
    report.windowsDirectory = before.windowsDirectory;
    report.exitCode = exitCode;
    report.markers = markers;
    OsIdentity os;
    IdentifyFromVersion(os, before.platformId, before.majorVersion, before.minorVersion,
                        before.csdVersion.c_str());
    report.systemName = os.SystemName;

    const auto& events = after.events;
    std::vector<std::string> deletedKeys;  // upper case, in the order they went
    for (size_t i = 0; i < events.size(); ++i) {
        const sim::Event& e = events[i];
        Change c;
        c.order = i;
        c.done = e.ok;
        c.target = e.target;
        if (e.api == "SetupDiRemoveDevice") {
            c.kind = Change::Kind::DeviceRemoved;
            if (!e.ok) c.reason = ReasonForError(e.error, false);
            c.absent = !e.ok && e.error == ERROR_NO_SUCH_DEVINST;
        } else if (e.api == "RegDeleteKeyA" || (e.deletedKey && e.ok)) {
            c.kind = Change::Kind::KeyDeleted;
            c.done = e.ok && e.deletedKey != nullptr;
            if (e.api != "RegDeleteKeyA") c.text2 = "with the removed device";
            if (e.deletedKey) {
                c.values = e.deletedKey->values.size();
                c.subkeys = e.deletedKey->subkeys.size();
                c.keysBelow = e.deletedKey->CountKeys() - 1;
                c.valuesBelow = e.deletedKey->CountValues() - c.values;
            }
            if (c.done) {
                deletedKeys.push_back(Upper(e.target));
            } else {
                bool alreadyGone = false;
                for (const std::string& gone : deletedKeys)
                    alreadyGone = alreadyGone || Upper(e.target).rfind(gone, 0) == 0;
                // The event counts the subkeys the key had when it was asked for.
                if (e.error == ERROR_ACCESS_DENIED && before.family == sim::Family::NT &&
                    e.number > 0)
                    c.reason = "the key has subkeys, and the NT family deletes only keys without "
                               "subkeys";
                else if (alreadyGone && e.error == ERROR_FILE_NOT_FOUND)
                    c.reason = "already deleted earlier in the run";
                else
                    c.reason = ReasonForError(e.error, true);
                c.absent = e.error == ERROR_FILE_NOT_FOUND || e.error == ERROR_PATH_NOT_FOUND;
            }
        } else if (e.api == "RegSetValueExA") {
            c.kind = Change::Kind::ValueSet;
            c.valueName = e.text;
            c.oldValue = e.oldValue;
            c.newValue = e.newValue;
            if (!e.ok) c.reason = ReasonForError(e.error, true);
        } else if (e.api == "MessageBoxA") {
            c.kind = Change::Kind::MessageBox;
            c.text2 = e.text2;
            c.target = e.text;
            c.reason = after.messageBoxAnswer == IDOK ? "OK" : "Cancel";
        } else if (e.api == "ShellExecuteA") {
            c.kind = Change::Kind::ProgramStarted;
            c.text2 = e.text;
            if (!e.ok) c.reason = ReasonForError(e.error, false);
        } else if (e.api == "SendMessageA" && e.number == WM_CLOSE) {
            c.kind = Change::Kind::WindowClosed;
            if (!e.ok) c.reason = "no such window";
        } else {
            continue;
        }
        report.changes.push_back(c);
    }
    AddFileChanges(before, after, report);
    std::stable_sort(report.changes.begin(), report.changes.end(),
                     [](const Change& a, const Change& b) { return a.order < b.order; });

    Summary& s = report.summary;
    for (const Change& c : report.changes) {
        if (!c.done) {
            ++(c.absent ? s.absent : s.refused);
            if (c.attributesChanged) ++s.attributeChanges;
            continue;
        }
        switch (c.kind) {
        case Change::Kind::DeviceRemoved: ++s.devicesRemoved; break;
        case Change::Kind::KeyDeleted:
            ++s.keysDeleted;
            s.keysInside += c.keysBelow;
            s.valuesInside += c.values + c.valuesBelow;
            break;
        case Change::Kind::ValueSet: ++s.valuesSet; break;
        case Change::Kind::FileDeleted: ++s.filesDeleted; break;
        case Change::Kind::FileRewritten: ++s.filesRewritten; break;
        case Change::Kind::FileCreated: ++s.filesCreated; break;
        case Change::Kind::FileAttributes: ++s.attributeChanges; break;
        case Change::Kind::MessageBox: ++s.messageBoxes; break;
        case Change::Kind::ProgramStarted: ++s.programsStarted; break;
        case Change::Kind::WindowClosed: ++s.windowsClosed; break;
        }
    }

    // Residue: whatever still names the package after the run.
    ResidueContext ctx;
    ctx.before = &before;
    ctx.after = &after;
    ctx.systemName = os.SystemName;
    ctx.nt = before.family == sim::Family::NT;
    ctx.win98Work = os.SystemName == "Windows 98";
    ctx.restoreWork = os.SystemName == "Windows 2000" && os.ServicePack != "Service Pack 3" &&
                      os.ServicePack != "Service Pack 4";
    if (const sim::RegKey* enumKey = after.registry.Find("HKEY_LOCAL_MACHINE\\Enum"))
        CollectDriverOwners(*enumKey, "", 0, ctx.driverOwners);
    for (const Change& c : report.changes)
        if (!c.done && (c.kind == Change::Kind::FileDeleted || c.kind == Change::Kind::FileRewritten))
            ctx.refusedFiles.insert(Upper(c.target));
    std::vector<std::string> upper;
    for (const std::string& m : markers) upper.push_back(Upper(m));
    const MarkerTable table(upper);
    for (const auto& root : after.registry.Roots()) {
        if (!root) continue;
        std::string path = root->name, upperPath = Upper(root->name);
        FindRegistryResidue(ctx, *root, path, upperPath, 0, upper, table, markers, report.residue, 0);
    }
    for (const sim::FileEntry* entry : after.files.Entries()) {
        const size_t slash = entry->path.find_last_of('\\');
        const std::string name = Upper(slash == std::string::npos ? entry->path : entry->path.substr(slash + 1));
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
        report.residue.push_back(r);
    }
    return report;
}

namespace {

std::string ChangeText(const Change& c) {
    const std::string target = DisplayPath(c.target);
    auto attrs = [](DWORD a) {
        std::string words;
        const DWORD rest = a & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
        static const std::pair<DWORD, const char*> names[] = {
            {FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
            {FILE_ATTRIBUTE_SYSTEM, "system"},     {FILE_ATTRIBUTE_ARCHIVE, "archive"},
            {FILE_ATTRIBUTE_NORMAL, "normal"},     {FILE_ATTRIBUTE_TEMPORARY, "temporary"}};
        for (const auto& n : names)
            if (rest & n.first) words += (words.empty() ? "" : " ") + std::string(n.second);
        return words.empty() ? std::string("no attributes") : words;
    };
    switch (c.kind) {
    case Change::Kind::DeviceRemoved:
        return c.done ? "removed device " + target
                      : "attempted to remove device " + target + ", not done: " + c.reason;
    case Change::Kind::KeyDeleted: {
        if (!c.done) return "attempted to delete key " + target + ", not done: " + c.reason;
        const std::string how = c.text2.empty() ? "" : " " + c.text2;
        std::string held = "it held ";
        if (c.values > 0 || c.subkeys == 0) held += Plural(c.values, "value", "values");
        if (c.values > 0 && c.subkeys > 0) held += " and ";
        if (c.subkeys > 0) held += Plural(c.subkeys, "subkey", "subkeys");
        if (c.keysBelow > c.subkeys || c.valuesBelow > 0)
            held += "; below it " + Plural(c.keysBelow, "key", "keys") + " with " +
                    Plural(c.valuesBelow, "value", "values");
        return "deleted key " + target + how + " (" + held + ")";
    }
    case Change::Kind::ValueSet: {
        const std::string name =
            c.valueName.empty() ? std::string("(default)") : QuoteText(c.valueName);
        const std::string change =
            (c.oldValue ? DescribeValue(*c.oldValue) : std::string("(no value)")) + " -> " +
            (c.newValue ? DescribeValue(*c.newValue) : std::string("(no value)"));
        if (!c.done) return "attempted to set value " + name + " of " + target + ", not done: " + c.reason;
        return "set value " + name + " of " + target + ": " + change;
    }
    case Change::Kind::FileDeleted: {
        if (!c.done) {
            std::string text = "attempted to delete file " + target + ", not done: " + c.reason;
            if (c.attributesChanged)
                text += "; its attributes went from " + attrs(c.oldAttributes) + " to " +
                        attrs(c.newAttributes);
            return text;
        }
        return "deleted file " + target + " (" + Plural(c.oldSize, "byte", "bytes") + ", " +
               attrs(c.oldAttributes) + ")";
    }
    case Change::Kind::FileRewritten: {
        if (!c.done) return "attempted to rewrite file " + target + ", not done: " + c.reason;
        std::string text = "rewrote file " + target + " (" + std::to_string(c.oldSize) + " -> " +
                           Plural(c.newSize, "byte", "bytes");
        if (c.oldSize == c.newSize && !c.attributesChanged) text += ", the same content";
        text += ")";
        if (c.attributesChanged)
            text += "; attributes " + attrs(c.oldAttributes) + " -> " + attrs(c.newAttributes);
        return text;
    }
    case Change::Kind::FileCreated:
        return "created file " + target + " (" + Plural(c.newSize, "byte", "bytes") + ")";
    case Change::Kind::FileAttributes:
        return "changed the attributes of file " + target + ": " + attrs(c.oldAttributes) + " -> " +
               attrs(c.newAttributes);
    case Change::Kind::MessageBox:
        return "showed the message box " + QuoteText(c.text2) + ": " + QuoteText(c.target) +
               " (answered " + c.reason + ")";
    case Change::Kind::ProgramStarted:
        return (c.done ? "started the program " : "attempted to start the program ") + target +
               " " + AnsiToUtf8(c.text2) + (c.done ? "" : ", not done: " + c.reason);
    case Change::Kind::WindowClosed:
        return (c.done ? "sent WM_CLOSE to the window " : "attempted to send WM_CLOSE to the window ") +
               QuoteText(c.target) + (c.done ? "" : ", not done: " + c.reason);
    }
    return "";
}

const char* KindName(Change::Kind kind) {
    switch (kind) {
    case Change::Kind::DeviceRemoved: return "device_removed";
    case Change::Kind::KeyDeleted: return "key_deleted";
    case Change::Kind::ValueSet: return "value_set";
    case Change::Kind::FileDeleted: return "file_deleted";
    case Change::Kind::FileRewritten: return "file_rewritten";
    case Change::Kind::FileCreated: return "file_created";
    case Change::Kind::FileAttributes: return "file_attributes";
    case Change::Kind::MessageBox: return "message_box";
    case Change::Kind::ProgramStarted: return "program_started";
    case Change::Kind::WindowClosed: return "window_closed";
    }
    return "";
}

std::string SummaryText(const Summary& s) {
    std::string out = "Summary: " + Plural(s.devicesRemoved, "device", "devices") + " removed, " +
                      Plural(s.keysDeleted, "key", "keys") + " deleted";
    if (s.keysInside > 0)
        out += " (holding " + Plural(s.keysInside, "subkey", "subkeys") + " and " +
               Plural(s.valuesInside, "value", "values") + ")";
    else if (s.valuesInside > 0)
        out += " (holding " + Plural(s.valuesInside, "value", "values") + ")";
    out += ", " + Plural(s.valuesSet, "value", "values") + " set, " +
           Plural(s.filesDeleted, "file", "files") + " deleted, " +
           Plural(s.filesRewritten, "file", "files") + " rewritten";
    if (s.filesCreated) out += ", " + Plural(s.filesCreated, "file", "files") + " created";
    if (s.attributeChanges)
        out += ", " + Plural(s.attributeChanges, "file", "files") + " with changed attributes";
    out += ", " + Plural(s.messageBoxes, "message box", "message boxes") + " shown, " +
           Plural(s.programsStarted, "program", "programs") + " started, " +
           Plural(s.windowsClosed, "window", "windows") + " sent WM_CLOSE. Not done: " +
           Plural(s.refused, "change", "changes") + " refused, " +
           Plural(s.absent, "attempt", "attempts") + " that found nothing to change.";
    return out;
}

nlohmann::ordered_json ValueJson(const sim::RegValue& v) {
    nlohmann::ordered_json j;
    j["type"] = TypeName(v.type);
    j["size"] = v.data.size();
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
        std::string text(v.data.begin(), v.data.end());
        const size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
        j["text"] = AnsiToUtf8(text);
    } else if (v.type == REG_MULTI_SZ) {
        j["strings"] = nlohmann::ordered_json::array();
        for (const std::string& s : MultiStrings(v.data)) j["strings"].push_back(AnsiToUtf8(s));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        j["dword"] = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
    } else {
        j["hex"] = HexBytes(v.data, v.data.size());
    }
    return j;
}

}  // namespace

std::string ReportText(const Report& r) {
    std::string out;
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u", static_cast<unsigned>(r.majorVersion),
                  static_cast<unsigned>(r.minorVersion));
    out += "Dry run of " + r.image + "\n";
    out += "System: " + (r.systemName.empty() ? std::string("(not identified)") : r.systemName) +
           " (platform " + std::to_string(r.platformId) + ", version " + version +
           ", service pack " + QuoteText(r.servicePack) + "), Windows directory " +
           DisplayPath(r.windowsDirectory) + "\n";
    out += "The image was only read: the uninstaller ran on a simulated copy of the machine.\n\n";
    out += "What the uninstaller did, in order:\n";
    size_t n = 0;
    for (const Change& c : r.changes) {
        char number[16];
        std::snprintf(number, sizeof number, "%4zu. ", ++n);
        out += number + ChangeText(c) + "\n";
    }
    if (r.changes.empty()) out += "  nothing\n";
    out += "\n" + SummaryText(r.summary) + "\n";
    if (r.exitCode != 0) out += "The program returned " + std::to_string(r.exitCode) + ", not 0.\n";
    out += "\n";
    if (r.residue.empty()) {
        out += "Residue: nothing on the machine names the package any more.\n";
    } else {
        out += "Residue: " + Plural(r.residue.size(), "item still names", "items still name") +
               " the package after the run:\n";
        for (const Residue& x : r.residue) {
            std::string what = x.kind + " " + DisplayPath(x.path);
            if (x.kind == "value")
                what = "value " + (x.name.empty() ? std::string("(default)") : QuoteText(x.name)) +
                       " of " + DisplayPath(x.path);
            out += "  " + what + " (" + AnsiToUtf8(x.marker) + " in its " + x.where + "): " +
                   x.note + "\n";
        }
    }
    return out;
}

std::string ReportJson(const Report& r) {
    nlohmann::ordered_json j;
    j["image"] = r.image;
    j["system"] = {{"name", r.systemName},
                   {"platform", r.platformId},
                   {"major", r.majorVersion},
                   {"minor", r.minorVersion},
                   {"service_pack", AnsiToUtf8(r.servicePack)},
                   {"windows_directory", DisplayPath(r.windowsDirectory)}};
    j["exit_code"] = r.exitCode;
    j["changes"] = nlohmann::ordered_json::array();
    for (const Change& c : r.changes) {
        nlohmann::ordered_json e;
        e["kind"] = KindName(c.kind);
        e["done"] = c.done;
        e["target"] = DisplayPath(c.target);
        if (!c.done) e["reason"] = c.reason;
        switch (c.kind) {
        case Change::Kind::KeyDeleted:
            e["values"] = c.values;
            e["subkeys"] = c.subkeys;
            e["keys_below"] = c.keysBelow;
            e["values_below"] = c.valuesBelow;
            break;
        case Change::Kind::ValueSet:
            e["name"] = AnsiToUtf8(c.valueName);
            e["old"] = c.oldValue ? ValueJson(*c.oldValue) : nlohmann::ordered_json();
            e["new"] = c.newValue ? ValueJson(*c.newValue) : nlohmann::ordered_json();
            break;
        case Change::Kind::FileDeleted:
        case Change::Kind::FileRewritten:
        case Change::Kind::FileCreated:
        case Change::Kind::FileAttributes:
            e["old_size"] = c.oldSize;
            e["new_size"] = c.newSize;
            e["old_attributes"] = c.oldAttributes;
            e["new_attributes"] = c.newAttributes;
            break;
        case Change::Kind::MessageBox:
            e["caption"] = AnsiToUtf8(c.text2);
            e["answer"] = c.reason;
            e.erase("reason");
            break;
        case Change::Kind::ProgramStarted:
            e["parameters"] = AnsiToUtf8(c.text2);
            break;
        default:
            break;
        }
        j["changes"].push_back(e);
    }
    const Summary& s = r.summary;
    j["summary"] = {{"devices_removed", s.devicesRemoved}, {"keys_deleted", s.keysDeleted},
                    {"subkeys_deleted_with_them", s.keysInside},
                    {"values_deleted_with_them", s.valuesInside},
                    {"values_set", s.valuesSet},           {"files_deleted", s.filesDeleted},
                    {"files_rewritten", s.filesRewritten}, {"files_created", s.filesCreated},
                    {"attribute_changes", s.attributeChanges},
                    {"message_boxes", s.messageBoxes},     {"programs_started", s.programsStarted},
                    {"windows_closed", s.windowsClosed},   {"refused", s.refused},
                    {"found_nothing", s.absent}};
    j["markers"] = nlohmann::ordered_json::array();
    for (const std::string& m : r.markers) j["markers"].push_back(AnsiToUtf8(m));
    j["residue"] = nlohmann::ordered_json::array();
    for (const Residue& x : r.residue) {
        nlohmann::ordered_json e;
        e["kind"] = x.kind;
        e["path"] = DisplayPath(x.path);
        if (x.kind == "value") e["name"] = AnsiToUtf8(x.name);
        e["marker"] = AnsiToUtf8(x.marker);
        e["in"] = x.where;
        e["note"] = x.note;
        j["residue"].push_back(e);
    }
    // Texts from the image are converted to UTF-8 above; host file names may
    // still hold bytes that are not UTF-8, which the dump replaces.
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace dryrun
