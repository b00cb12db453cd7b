// The state of a machine as comparable lines, and the difference of two.
#include "image/machine_state.h"

#include "image/machine_image.h"
#include "image/reg_syntax.h"
#include "image/text_codec.h"
#include "image/value_text.h"

#include <cstdio>

namespace image {

namespace {

// A value's name in its line: @ for the unnamed value, else the name quoted.
std::string ValueName(const std::string& name, Names names) {
    if (name.empty()) return "@";
    return QuoteText(names == Names::Exact ? name : UpperAscii(name));
}

std::string NameInPath(const std::string& name, Names names) {
    return names == Names::Exact ? name : UpperAscii(name);
}

void AddKey(StateLines& state, const sim::RegKey& key, std::string& path, unsigned codePage, Names names,
            size_t depth) {
    if (key.deleted) return;
    std::string order;
    if (names == Names::Exact && key.values.size() > 1) {
        for (const sim::RegValue& value : key.values)
            order += (order.empty() ? "values " : ", ") + ValueName(value.name, names);
    }
    state.emplace("key " + path, order);
    for (const sim::RegValue& value : key.values)
        state.emplace("value " + path + " | " + ValueName(value.name, names),
                      DescribeValue(value, ValueDetail::Exact, codePage));
    if (depth >= kMaxDepth) return;
    const size_t length = path.size();
    for (const auto& sub : key.subkeys) {
        path += '\\';
        path += NameInPath(sub->name, names);
        AddKey(state, *sub, path, codePage, names, depth + 1);
        path.resize(length);
    }
}

std::string FileFacts(bool folder, DWORD attributes, uint64_t size, const std::string& digest) {
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
    if (folder) return attributes == 0 ? "folder" : "folder, " + AttributeWords(attributes);
    return AttributeWords(attributes) + ", " + std::to_string(size) + (size == 1 ? " byte, " : " bytes, ") +
           digest;
}

}  // namespace

std::string Line(const StateLines::value_type& entry) {
    return entry.second.empty() ? entry.first : entry.first + " = " + entry.second;
}

std::string StateText(const StateLines& state) {
    std::string text;
    for (const auto& entry : state) text += Line(entry) + "\n";
    return text;
}

void AddRegistry(StateLines& state, const sim::Registry& registry, const std::string& from,
                 unsigned codePage, Names names) {
    if (!from.empty()) {
        if (const sim::RegKey* key = registry.Find(from)) {
            std::string path = NameInPath(sim::KeyPath(*key), names);
            AddKey(state, *key, path, codePage, names, 0);
        }
        return;
    }
    for (const auto& root : registry.Roots()) {
        if (!root) continue;
        std::string path = NameInPath(root->name, names);
        AddKey(state, *root, path, codePage, names, 0);
    }
}

std::string KeyWhat(const std::string& path) { return "key " + UpperAscii(path); }

std::string ValueWhat(const std::string& keyPath, const std::string& name) {
    return "value " + UpperAscii(keyPath) + " | " + ValueName(name, Names::Folded);
}

std::string FileWhat(const std::string& path) {
    const std::string normalized = sim::FileSystem::Normalize(path);
    return "file " + (normalized.empty() ? UpperAscii(path) : normalized);
}

void AddFile(StateLines& state, const std::string& path, bool folder, DWORD attributes, uint64_t size,
             const std::string& digest) {
    state[FileWhat(path)] = FileFacts(folder, attributes, size, digest);
}

void AddFiles(StateLines& state, const sim::FileSystem& files, DWORD attributeMask, Names names) {
    for (const sim::FileEntry* entry : files.Entries()) {
        const DWORD attributes = entry->attributes & attributeMask;
        std::string facts = FileFacts(entry->directory, attributes, entry->data.size(),
                                      entry->directory ? std::string() : ContentDigest(entry->data));
        if (names == Names::Folded) {
            state[FileWhat(entry->path)] = std::move(facts);
            continue;
        }
        if (entry->directory != ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
            facts += entry->directory ? ", without the directory bit" : ", with the directory bit";
        state["file " + entry->path] = std::move(facts);
    }
}

StateLines MachineState(const sim::Machine& machine) {
    StateLines state;
    AddRegistry(state, machine.registry, "", machine.codePage);
    AddFiles(state, machine.files);
    return state;
}

std::string RegistryText(const sim::Registry& registry) {
    StateLines state;
    for (const auto& root : registry.Roots())
        if (root && (!root->values.empty() || !root->subkeys.empty()))
            AddRegistry(state, registry, root->name, sim::kDefaultCodePage, Names::Exact);
    return StateText(state);
}

std::string FilesText(const sim::FileSystem& files) {
    StateLines state;
    AddFiles(state, files, ~DWORD(0), Names::Exact);
    return StateText(state);
}

std::string ContentDigest(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a: the 64-bit offset basis and prime
    for (uint8_t b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "fnv %016llx", static_cast<unsigned long long>(hash));
    return text;
}

StateDifference Difference(const StateLines& before, const StateLines& after) {
    StateDifference difference;
    for (const auto& entry : before) {
        const auto found = after.find(entry.first);
        if (found == after.end() || found->second != entry.second) difference.removed.insert(entry);
    }
    for (const auto& entry : after) {
        const auto found = before.find(entry.first);
        if (found == before.end() || found->second != entry.second) difference.added.insert(entry);
    }
    return difference;
}

}  // namespace image
