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
std::string ValueName(const std::string& name) { return name.empty() ? "@" : QuoteText(UpperAscii(name)); }

void AddKey(StateLines& state, const sim::RegKey& key, std::string& path, unsigned codePage, size_t depth) {
    if (key.deleted) return;
    state.emplace("key " + path, "");
    for (const sim::RegValue& value : key.values)
        state.emplace("value " + path + " | " + ValueName(value.name),
                      DescribeValue(value, ValueDetail::Exact, codePage));
    if (depth >= kMaxDepth) return;
    const size_t length = path.size();
    for (const auto& sub : key.subkeys) {
        path += '\\';
        path += UpperAscii(sub->name);
        AddKey(state, *sub, path, codePage, depth + 1);
        path.resize(length);
    }
}

}  // namespace

std::string Line(const StateLines::value_type& entry) {
    return entry.second.empty() ? entry.first : entry.first + " = " + entry.second;
}

void AddRegistry(StateLines& state, const sim::Registry& registry, const std::string& from,
                 unsigned codePage) {
    if (!from.empty()) {
        if (const sim::RegKey* key = registry.Find(from)) {
            std::string path = UpperAscii(sim::KeyPath(*key));
            AddKey(state, *key, path, codePage, 0);
        }
        return;
    }
    for (const auto& root : registry.Roots()) {
        if (!root) continue;
        std::string path = UpperAscii(root->name);
        AddKey(state, *root, path, codePage, 0);
    }
}

std::string KeyWhat(const std::string& path) { return "key " + UpperAscii(path); }

std::string ValueWhat(const std::string& keyPath, const std::string& name) {
    return "value " + UpperAscii(keyPath) + " | " + ValueName(name);
}

std::string FileWhat(const std::string& path) {
    const std::string normalized = sim::FileSystem::Normalize(path);
    return "file " + (normalized.empty() ? UpperAscii(path) : normalized);
}

void AddFile(StateLines& state, const std::string& path, bool folder, DWORD attributes, uint64_t size,
             const std::string& digest) {
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
    if (folder) {
        state[FileWhat(path)] = attributes == 0 ? "folder" : "folder, " + AttributeWords(attributes);
        return;
    }
    state[FileWhat(path)] = AttributeWords(attributes) + ", " + std::to_string(size) +
                            (size == 1 ? " byte, " : " bytes, ") + digest;
}

void AddFiles(StateLines& state, const sim::FileSystem& files, DWORD attributeMask) {
    for (const sim::FileEntry* entry : files.Entries())
        AddFile(state, entry->path, entry->directory, entry->attributes & attributeMask, entry->data.size(),
                entry->directory ? std::string() : ContentDigest(entry->data));
}

StateLines MachineState(const sim::Machine& machine) {
    StateLines state;
    AddRegistry(state, machine.registry, "", machine.codePage);
    AddFiles(state, machine.files);
    return state;
}

std::string ContentDigest(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        hash ^= b;
        hash *= 1099511628211ull;
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
