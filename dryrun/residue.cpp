// The residue scan: the texts that name the package, and whatever on the
// machine after the run still holds one (key, value or file), with why it is
// still there.
#include "dryrun/dry_run.h"

#include "image/reg_syntax.h"
#include "image/text_codec.h"

#include "package.h"
#include "platform/sim/sim_inf.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>

namespace dryrun {

using image::UpperAscii;

namespace {

// The registry scan leaves the keys this deep whole, each a piece of its
// own (a large registry has thousands of them); from this many pieces on
// two threads scan them.
const size_t kPieceDepth = 3;
const size_t kPiecesForTwoThreads = 256;

const char* const kPackageTexts[] = {kWdmDriverFile.name,      kIosDriverFile.name,
                                     kDriverInfName,           kPrecompiledInfFile.name,
                                     kReplacementDriverFile.name, kDriveIconMarker};

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

// The markers, all found in one pass over a text: an Aho-Corasick automaton
// over their upper-case bytes, as 8-bit text and as UTF-16LE text (each
// character followed by a zero byte), letter case ignored. A pass costs the
// same whatever the number of markers: the package INF's device section may
// have tens of thousands of lines, and the scan covers every key, value and
// file of the machine (registries of hundreds of thousands of keys).
class MarkerScanner {
public:
    static constexpr int kNone = std::numeric_limits<int>::max();

    // The lowest index of a marker found, as 8-bit and as 16-bit text.
    struct Found {
        int narrow = kNone, wide = kNone;
        int Lowest() const { return std::min(narrow, wide); }
    };

    explicit MarkerScanner(const std::vector<std::string>& upper) {
        for (int c = 0; c < 256; ++c) fold_[c] = static_cast<uint8_t>(UpperAscii(static_cast<char>(c)));
        AddNode();  // the root
        for (size_t m = 0; m < upper.size(); ++m) {
            if (upper[m].empty()) continue;
            std::string wide;
            for (char c : upper[m]) wide += {c, '\0'};
            Insert(upper[m], static_cast<int>(m), narrow_);
            Insert(wide, static_cast<int>(m), wide_);
        }
        // Failure links breadth first, each node's lowest marker taken over
        // those its failure chain ends in.
        std::vector<int> queue;
        for (int c = firstChild_[0]; c >= 0; c = nextSibling_[c]) queue.push_back(c);
        for (size_t q = 0; q < queue.size(); ++q) {
            const int node = queue[q];
            narrow_[node] = std::min(narrow_[node], narrow_[fail_[node]]);
            wide_[node] = std::min(wide_[node], wide_[fail_[node]]);
            for (int child = firstChild_[node]; child >= 0; child = nextSibling_[child]) {
                int f = fail_[node];
                while (f != 0 && Child(f, byte_[child]) < 0) f = fail_[f];
                const int target = Child(f, byte_[child]);
                fail_[child] = target >= 0 ? target : 0;
                queue.push_back(child);
            }
        }
        for (int c = 0; c < 256; ++c) {
            const int child = Child(0, fold_[c]);
            rootNext_[c] = child >= 0 ? child : 0;
            starts_[c] = child >= 0;
        }
        // The package's own few markers make a few hundred states: each
        // state's next state for every byte is then one table, looked up
        // once a byte; the thousands of markers of a long INF keep the
        // search through the trie.
        const size_t nodes = fail_.size();
        if (nodes <= kTableStates) {
            table_.resize(nodes * 256);
            for (size_t node = 0; node < nodes; ++node)
                for (int c = 0; c < 256; ++c)
                    table_[node * 256 + c] = static_cast<uint16_t>(Step(static_cast<int>(node), fold_[c]));
        }
    }

    // Feeds `size` bytes to the automaton in `state` (0 at the start of a
    // text); returns the state after them and lowers `found`.
    int Feed(int state, const uint8_t* data, size_t size, Found& found) const {
        const uint8_t* const end = data + size;
        while (data != end) {
            if (state == 0) {
                // Nearly every byte starts no marker: they are passed over
                // in a loop of their own, eight at a time.
                while (end - data >= 8 && (starts_[data[0]] | starts_[data[1]] | starts_[data[2]] |
                                           starts_[data[3]] | starts_[data[4]] | starts_[data[5]] |
                                           starts_[data[6]] | starts_[data[7]]) == 0)
                    data += 8;
                while (data != end && starts_[*data] == 0) ++data;
                if (data == end) break;
                state = rootNext_[*data++];
            } else if (!table_.empty()) {
                state = table_[static_cast<size_t>(state) * 256 + *data++];
            } else {
                state = Step(state, fold_[*data++]);
            }
            found.narrow = std::min(found.narrow, narrow_[state]);
            found.wide = std::min(found.wide, wide_[state]);
        }
        return state;
    }
    int Feed(int state, const std::string& text, Found& found) const {
        return Feed(state, reinterpret_cast<const uint8_t*>(text.data()), text.size(), found);
    }

private:
    int AddNode() {
        firstChild_.push_back(-1);
        nextSibling_.push_back(-1);
        byte_.push_back(0);
        fail_.push_back(0);
        narrow_.push_back(kNone);
        wide_.push_back(kNone);
        return static_cast<int>(fail_.size() - 1);
    }

    int Child(int node, uint8_t c) const {
        int child = firstChild_[node];
        while (child >= 0 && byte_[child] != c) child = nextSibling_[child];
        return child;
    }

    void Insert(const std::string& pattern, int marker, std::vector<int>& lowest) {
        int node = 0;
        for (char ch : pattern) {
            const uint8_t c = static_cast<uint8_t>(ch);
            int child = Child(node, c);
            if (child < 0) {
                child = AddNode();
                byte_[child] = c;
                nextSibling_[child] = firstChild_[node];
                firstChild_[node] = child;
            }
            node = child;
        }
        lowest[node] = std::min(lowest[node], marker);
    }

    int Step(int state, uint8_t c) const {
        while (true) {
            if (state == 0) return rootNext_[c];
            const int child = Child(state, c);
            if (child >= 0) return child;
            state = fail_[state];
        }
    }

    static constexpr size_t kTableStates = 4096;  // a table of 2 MiB at most

    uint8_t fold_[256];
    int rootNext_[256];
    uint8_t starts_[256];          // whether a marker starts with the byte (any case)
    std::vector<uint16_t> table_;  // state * 256 + byte -> next state, or empty
    // The trie: each node's children as a list, the byte leading to a node.
    std::vector<int> firstChild_, nextSibling_, fail_;
    std::vector<uint8_t> byte_;
    std::vector<int> narrow_, wide_;  // lowest marker ending here or down the failure chain
};

struct ResidueContext {
    const sim::Machine* before = nullptr;
    const sim::Machine* after = nullptr;
    UninstallWork work = UninstallWork::None;
    bool nt = false;
    std::string systemName;
    std::set<std::string> refusedFiles;    // upper-case paths
    std::set<std::string> rewrittenFiles;  // upper-case paths
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

// `eightBit`: the marker in the content is 8-bit text only.
std::string NoteForFile(const ResidueContext& ctx, const std::string& path, bool content,
                        bool eightBit) {
    if (ctx.refusedFiles.count(UpperAscii(path)) > 0) return "its deletion was refused";
    const std::string upper = UpperAscii(path);
    // The system's storage driver files, the replacement driver among them.
    if (upper.find(kStorageServiceName) != std::string::npos) {
        if (ctx.work != UninstallWork::StorageDriverRestore)
            return "the storage driver is restored only on Windows 2000 without Service Pack 3 or 4, "
                   "not on " + (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    }
    if (ctx.work == UninstallWork::None)
        return "the uninstaller deletes files on Windows 98 and Windows 2000 only, not on " +
               (ctx.systemName.empty() ? std::string("this system") : ctx.systemName);
    if (content && ctx.rewrittenFiles.count(upper) > 0)
        // The rewrite replaces the first reference to the replacement driver
        // written as 16-bit text, as Windows 2000 writes its own INF files.
        return eightBit ? "rewritten, but this reference is 8-bit text, which the uninstaller's "
                          "16-bit replacement does not match"
                        : "rewritten, but this reference is not the one the uninstaller replaces";
    return content ? "its content names the package; the uninstaller does not touch this file"
                   : "not among the files the uninstaller deletes";
}

// A residue item of the registry with its place in the order the report
// lists them, the NT family's order of enumeration: the roots in the
// registry's order, and below each key its values in their order, then its
// subkeys sorted by name. The walk follows each key's subkeys in the order
// they were stored, which is the order of the export they were read from
// and of their memory: a 9x export stores nearly every key's children out
// of sorted order, and walked in sorted order the scan of a 50 MB one jumps
// about its keys' memory and takes three times as long. The few items
// found are put in order afterwards.
struct Placed {
    size_t root = 0;
    size_t value = 0;  // a value: its place in its key's list (only values of one key compare by it)
    Residue item;
};

// `a` before `b` in the report's order (their paths compared name by name,
// as the registry sorts subkeys; a key's values come before what is below it).
bool PlacedBefore(const Placed& a, const Placed& b) {
    if (a.root != b.root) return a.root < b.root;
    std::string_view pa = a.item.path, pb = b.item.path;
    // Past the root's name: a key's name never holds a backslash.
    pa.remove_prefix(std::min(pa.size(), pa.find('\\')));
    pb.remove_prefix(std::min(pb.size(), pb.find('\\')));
    while (!pa.empty() && !pb.empty()) {
        pa.remove_prefix(1);
        pb.remove_prefix(1);
        const std::string_view na = pa.substr(0, pa.find('\\')), nb = pb.substr(0, pb.find('\\'));
        if (!sim::NamesEqual(na, nb)) return sim::NameLess(na, nb);
        pa.remove_prefix(na.size());
        pb.remove_prefix(nb.size());
    }
    if (pa.empty() != pb.empty()) return pa.empty();  // the key's own values first
    return a.value < b.value;
}

// The registry's scan split into pieces: the keys from a depth on are left
// whole, each to be scanned on its own (by one of two threads); the residue
// found above them is kept apart.
struct ScanPiece {
    const sim::RegKey* key = nullptr;
    int state = 0;  // the scanner's after the key's path (the path itself is made again when scanned)
    size_t depth = 0;
    size_t root = 0;
    std::vector<Placed> found;
};
struct ScanSplit {
    size_t depth;  // the depth of the keys left whole
    std::deque<ScanPiece> pieces;
    std::vector<Placed> found;  // above them
};

// The residue below `key` of root `root`, whose path the scanner has read up
// to `state` (no marker in it), into `out`, or with `split`, the keys at its
// depth left as pieces. `path` and `upperPath` hold the key's path as it is
// and upper-cased; they grow by each subkey's name and are cut back after it
// (one buffer for the whole walk of hundreds of thousands of keys).
void FindRegistryResidue(const ResidueContext& ctx, const sim::RegKey& key, size_t root, int state,
                         std::string& path, std::string& upperPath,
                         const MarkerScanner& scanner, const std::vector<std::string>& markers,
                         ScanSplit* split, std::vector<Placed>& out, size_t depth) {
    for (size_t i = 0; i < key.values.size(); ++i) {
        const sim::RegValue& value = key.values[i];
        MarkerScanner::Found inName, inData;
        scanner.Feed(0, value.name, inName);
        if (inName.narrow == MarkerScanner::kNone)
            scanner.Feed(0, value.data.data(), value.data.size(), inData);
        const int marker = std::min(inName.narrow, inData.Lowest());
        if (marker == MarkerScanner::kNone) continue;
        Placed& p = out.emplace_back();
        p.root = root;
        p.value = i;
        Residue& r = p.item;
        r.kind = "value";
        r.path = path;
        r.name = value.name;
        r.marker = markers[static_cast<size_t>(marker)];
        r.where = inName.narrow != MarkerScanner::kNone ? "name" : "data";
        r.note = NoteForValue(ctx, upperPath, key);
    }
    if (depth >= image::kMaxDepth) return;
    const size_t length = path.size();
    for (const sim::RegKey* sub : key.stored) {
        if (sub->deleted) continue;
        path += '\\';
        path += sub->name;
        upperPath += '\\';
        upperPath += sub->name;
        for (size_t i = length + 1; i < upperPath.size(); ++i) upperPath[i] = UpperAscii(upperPath[i]);
        MarkerScanner::Found inPath;
        const int next = scanner.Feed(state, reinterpret_cast<const uint8_t*>(upperPath.data()) + length,
                                      upperPath.size() - length, inPath);
        if (inPath.narrow != MarkerScanner::kNone) {
            // The key stands for everything below it.
            Placed& p = out.emplace_back();
            p.root = root;
            Residue& r = p.item;
            r.kind = "key";
            r.path = path;
            r.marker = markers[static_cast<size_t>(inPath.narrow)];
            r.where = "name";
            r.note = NoteForKey(ctx, upperPath, sub);
        } else if (split != nullptr && depth + 1 >= split->depth) {
            ScanPiece& piece = split->pieces.emplace_back();
            piece.key = sub;
            piece.state = next;
            piece.depth = depth + 1;
            piece.root = root;
        } else {
            FindRegistryResidue(ctx, *sub, root, next, path, upperPath, scanner, markers, split, out, depth + 1);
        }
        path.resize(length);
        upperPath.resize(length);
    }
}

// Each piece's keys scanned: by this thread and, when there are many pieces
// (a large registry), by one more, the two taking the next piece in turn.
// Whatever either throws reaches the caller once both have stopped.
template <class Scan>
void ScanPieces(std::deque<ScanPiece>& pieces, const Scan& scan) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        try {
            for (size_t i = next++; i < pieces.size(); i = next++)
                scan(pieces[i]);
        } catch (...) {
            next = pieces.size();  // the other thread takes no more
            throw;
        }
    };
    std::future<void> helper;  // waited for when it goes, however this thread leaves
    if (pieces.size() >= kPiecesForTwoThreads) {
        try {
            helper = std::async(std::launch::async, work);
        } catch (const std::system_error&) {
            // No thread to be had: this one does it all.
        }
    }
    work();
    if (helper.valid()) helper.get();
}

}  // namespace

std::vector<std::string> PackageMarkers(const sim::Machine& machine) {
    std::vector<std::string> markers;
    std::unordered_set<std::string> seen;  // upper case
    auto add = [&](const std::string& text) {
        if (!text.empty() && seen.insert(UpperAscii(text)).second) markers.push_back(text);
    };
    for (const char* text : kPackageTexts) add(text);
    for (const PackageFile& copy : {kOtherInfCopy, kInfCopy}) {
        const auto data = machine.files.Read(machine.windowsDirectory + "\\" + copy.folder + "\\" +
                                             copy.name);
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
    ResidueContext ctx;
    ctx.before = &before;
    ctx.after = &after;
    ctx.systemName = report.systemName;
    ctx.nt = before.family() == sim::Family::NT;
    ctx.work = report.work;
    if (const sim::RegKey* enumKey = after.registry.Find("HKEY_LOCAL_MACHINE\\Enum"))
        CollectDriverOwners(*enumKey, "", 0, ctx.driverOwners);
    for (const Change& c : report.changes) {
        if (!c.done && (c.kind == Change::Kind::FileDeleted || c.kind == Change::Kind::FileRewritten))
            ctx.refusedFiles.insert(UpperAscii(c.target));
        if (c.done && c.kind == Change::Kind::FileRewritten) ctx.rewrittenFiles.insert(UpperAscii(c.target));
    }
    std::vector<std::string> upper;
    for (const std::string& m : markers) upper.push_back(UpperAscii(m));
    const MarkerScanner scanner(upper);
    ScanSplit split{kPieceDepth, {}, {}};
    const auto& roots = after.registry.Roots();
    for (size_t i = 0; i < roots.size(); ++i) {
        if (!roots[i]) continue;
        std::string path = roots[i]->name, upperPath = UpperAscii(roots[i]->name);
        MarkerScanner::Found inName;
        const int state = scanner.Feed(0, upperPath, inName);
        if (inName.narrow == MarkerScanner::kNone)
            FindRegistryResidue(ctx, *roots[i], i, state, path, upperPath, scanner, markers, &split, split.found, 0);
    }
    ScanPieces(split.pieces, [&](ScanPiece& piece) {
        std::string path = sim::KeyPath(*piece.key), upperPath = UpperAscii(path);
        FindRegistryResidue(ctx, *piece.key, piece.root, piece.state, path, upperPath, scanner, markers, nullptr,
                            piece.found, piece.depth);
    });
    std::vector<Placed> placed = std::move(split.found);
    for (ScanPiece& piece : split.pieces)
        std::move(piece.found.begin(), piece.found.end(), std::back_inserter(placed));
    std::sort(placed.begin(), placed.end(), PlacedBefore);
    for (Placed& p : placed) residue.push_back(std::move(p.item));
    for (const sim::FileEntry* entry : after.files.Entries()) {
        const size_t slash = entry->path.find_last_of('\\');
        MarkerScanner::Found inName, inContent;
        scanner.Feed(0, slash == std::string::npos ? entry->path : entry->path.substr(slash + 1), inName);
        if (inName.narrow == MarkerScanner::kNone && !entry->directory)
            scanner.Feed(0, entry->data.data(), entry->data.size(), inContent);
        const int marker = std::min(inName.narrow, inContent.Lowest());
        if (marker == MarkerScanner::kNone) continue;
        Residue r;
        r.kind = "file";
        r.path = entry->path;
        r.marker = markers[static_cast<size_t>(marker)];
        r.where = inName.narrow != MarkerScanner::kNone ? "name" : "content";
        // The marker found lowest is in 8-bit text only when no 16-bit
        // text holds it (or a marker before it).
        r.note = NoteForFile(ctx, entry->path, r.where == "content", inContent.wide != marker);
        residue.push_back(r);
    }
    return residue;
}

}  // namespace dryrun
