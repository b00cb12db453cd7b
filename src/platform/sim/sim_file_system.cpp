// The simulated file system: Windows paths taken apart, and FileSystem, the
// in-memory tree of files and directories with its lookups.
#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_paths.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

// ---------------------------------------------------------------- paths

bool ParsePath(const std::string& path, bool wildcards, ParsedPath* out) {
    if (path.size() < 3 || !IsDriveLetter(path[0]) || path[1] != ':' ||
        !IsSeparator(path[2]))
        return false;
    ParsedPath parsed;
    parsed.drive = UpperAscii(path[0]);
    std::vector<std::string> raw;
    size_t i = 3;
    while (i < path.size()) {
        while (i < path.size() && IsSeparator(path[i])) ++i;
        const size_t start = i;
        while (i < path.size() && !IsSeparator(path[i])) ++i;
        if (i > start) raw.push_back(path.substr(start, i - start));
    }
    for (size_t k = 0; k < raw.size(); ++k) {
        const std::string& name = raw[k];
        if (name == ".") continue;
        if (name == "..") {
            if (!parsed.parts.empty()) parsed.parts.pop_back();
            continue;
        }
        for (char c : name) {
            if (IsForbiddenNameChar(c)) return false;
            if (IsWildcard(c) && !(wildcards && k + 1 == raw.size())) return false;
        }
        parsed.parts.push_back(name);
    }
    *out = std::move(parsed);
    return true;
}

std::string Display(const ParsedPath& p, size_t count) {
    std::string out = RootText(p.drive);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) out += '\\';
        out += p.parts[i];
    }
    return out;
}

std::string ParentKey(const std::string& key) {
    if (key.size() <= 3) return "";
    const size_t pos = key.rfind('\\');
    return pos == 2 ? key.substr(0, 3) : key.substr(0, pos);
}

std::string LeafName(const std::string& path) {
    const size_t pos = path.rfind('\\');
    if (path.size() <= 3 || pos == std::string::npos) return path;
    return path.substr(pos + 1);
}

namespace {

[[noreturn]] void SetupMistake(const std::string& what, const std::string& path) {
    std::fprintf(stderr, "sim: %s: %s\n", what.c_str(), path.c_str());
    std::abort();
}

// The attribute bits a file keeps: the directory bit belongs to directories
// alone, and FILE_ATTRIBUTE_NORMAL means "none of the others".
DWORD FileBits(DWORD attributes) {
    return attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

// ---------------------------------------------------------------- FileSystem

std::string FileSystem::Normalize(const std::string& path) {
    ParsedPath parsed;
    if (!ParsePath(path, false, &parsed)) return "";
    return UpperAscii(Display(parsed, parsed.parts.size()));
}

void FileSystem::AddDirectory(const std::string& path) {
    ParsedPath p;
    if (!ParsePath(path, false, &p)) SetupMistake("not an absolute Windows path", path);
    std::string current = RootText(p.drive);
    for (size_t i = 0; i <= p.parts.size(); ++i) {
        if (i > 0) current = Join(current, p.parts[i - 1]);
        const std::string key = UpperAscii(current);
        auto found = entries_.find(key);
        if (found == entries_.end()) {
            FileEntry entry;
            entry.path = current;
            entry.directory = true;
            entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
            entries_.emplace(key, std::move(entry));
        } else {
            if (!found->second.directory) SetupMistake("a file is in the way of", path);
            current = found->second.path;
        }
    }
}

void FileSystem::AddFile(const std::string& path, const std::vector<uint8_t>& data,
                         DWORD attributes) {
    ParsedPath p;
    if (!ParsePath(path, false, &p) || p.parts.empty())
        SetupMistake("not an absolute Windows file path", path);
    const std::string parentPath = Display(p, p.parts.size() - 1);
    AddDirectory(parentPath);
    const std::string parent = Find(parentPath)->path;  // in the case it was created with
    const std::string key = Normalize(path);
    auto found = entries_.find(key);
    if (found != entries_.end() && found->second.directory)
        SetupMistake("a directory bears the name of", path);
    FileEntry entry;
    // A replaced file keeps the case of its name, as an overwrite does on Windows.
    entry.path = found != entries_.end() ? found->second.path : Join(parent, p.parts.back());
    entry.attributes = FileBits(attributes);
    entry.data = data;
    entries_[key] = std::move(entry);
}

void FileSystem::AddFile(const std::string& path, const std::string& text, DWORD attributes) {
    AddFile(path, std::vector<uint8_t>(text.begin(), text.end()), attributes);
}

const FileEntry* FileSystem::Find(const std::string& path) const {
    const std::string key = Normalize(path);
    if (key.empty()) return nullptr;
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : &found->second;
}

FileEntry* FileSystem::Find(const std::string& path) {
    return const_cast<FileEntry*>(static_cast<const FileSystem*>(this)->Find(path));
}

bool FileSystem::Remove(const std::string& path) {
    const std::string key = Normalize(path);
    auto found = key.empty() ? entries_.end() : entries_.find(key);
    if (found == entries_.end()) return false;
    if (found->second.directory) {
        const std::string prefix = ChildPrefix(key);
        for (auto it = entries_.lower_bound(prefix);
             it != entries_.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
            it = entries_.erase(it);
    }
    entries_.erase(key);
    return true;
}

std::optional<std::vector<uint8_t>> FileSystem::Read(const std::string& path) const {
    const FileEntry* entry = Find(path);
    if (entry == nullptr || entry->directory) return std::nullopt;
    return entry->data;
}

std::vector<const FileEntry*> FileSystem::Entries() const {
    // The keys are the upper-cased paths, so their byte order is the
    // case-insensitive order of the paths.
    std::vector<const FileEntry*> out;
    out.reserve(entries_.size());
    for (const auto& item : entries_) out.push_back(&item.second);
    return out;
}

}  // namespace sim
