// KERNEL32's file functions on entries by their path, over the active
// machine's file system: attributes, deletion, renaming and directory
// searches, with the sharing and deletion rules of both families.
#include "platform/sim/sim_kernel_files.h"

#include <cstring>

namespace sim {

namespace {

constexpr DWORD kErrorNotSameDevice = 17;  // ERROR_NOT_SAME_DEVICE
constexpr DWORD kAttributeOffline = 0x1000;
constexpr DWORD kAttributeNotContentIndexed = 0x2000;

// A missing entry: ERROR_FILE_NOT_FOUND when its directory exists,
// ERROR_PATH_NOT_FOUND when a directory on the way is missing or is a file.
DWORD MissingError(const FileSystem& files, const std::string& key) {
    const std::string parent = ParentKey(key);
    if (parent.empty()) return ERROR_PATH_NOT_FOUND;  // a drive that is not there
    const FileEntry* dir = files.Find(parent);
    return dir != nullptr && dir->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// The attributes as the API reports them: a file with none reads as
// FILE_ATTRIBUTE_NORMAL (both families).
DWORD Reported(const FileEntry& e) {
    return e.attributes == 0 ? static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL) : e.attributes;
}

// Whether an open handle on `key` (or, with `subtree`, below it) forbids
// deleting or renaming it. NT lets a file go when every handle on it was
// opened with FILE_SHARE_DELETE (or holds no data access); the 9x family
// knows no delete sharing, and any open handle keeps the file in place.
bool DeleteBlocked(const Machine& m, const std::string& key, bool subtree) {
    const std::string prefix = ChildPrefix(key);
    for (const auto& item : m.internal->files) {
        const OpenFile& o = item.second;
        const bool on = o.normalized == key ||
                        (subtree && o.normalized.compare(0, prefix.size(), prefix) == 0);
        if (!on) continue;
        if (m.family() == Family::Win9x ||
            ((HasDataAccess(o.access) || (o.access & DELETE)) && !(o.share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

// The start of a call that changes one existing entry by its path: the call
// entered, the path resolved, the entry found. Null, with the failure logged
// (and `event` spent), when any of it fails.
FileEntry* EnterForEntry(Event& event, LPCSTR path, Target& t) {
    DWORD error = 0;
    if (auto injected = detail::Enter(event.api)) error = *injected;
    else if ((t = Resolve(path)).error != 0) error = t.error;
    else if (FileEntry* e = Current().files.Find(t.key)) return e;
    else error = MissingError(Current().files, t.key);
    detail::LogFailure(std::move(event), error);
    return nullptr;
}

FileEntry EntryWithoutData(const FileEntry& entry) {
    FileEntry out;
    out.path = entry.path;
    out.directory = entry.directory;
    out.attributes = entry.attributes;
    return out;
}

bool Matches(const char* pattern, const char* name) {
    // '*' any run of characters, '?' any one; case-insensitive.
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return Matches(pattern + 1, name) || (*name != '\0' && Matches(pattern, name + 1));
    if (*name == '\0') return false;
    if (*pattern != '?' && UpperAscii(*pattern) != UpperAscii(*name)) return false;
    return Matches(pattern + 1, name + 1);
}

void FillFindData(const FileEntry& e, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = Reported(e);
    const uint64_t size = e.data.size();
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    const std::string name = LeafName(e.path);
    std::strncpy(data->cFileName, name.c_str(), sizeof data->cFileName - 1);
}

}  // namespace

Target Resolve(LPCSTR path, bool wildcards) {
    Target t;
    if (path == nullptr) {
        t.error = ERROR_INVALID_PARAMETER;
        return t;
    }
    const std::string text = path;
    if (ParsePath(text, wildcards, &t.parsed)) {
        t.key = UpperAscii(Display(t.parsed, t.parsed.parts.size()));
        return t;
    }
    t.error = ERROR_PATH_NOT_FOUND;
    const size_t from = text.size() >= 2 && text[1] == ':' ? 2 : 0;
    for (size_t i = from; i < text.size(); ++i)
        if (IsForbiddenNameChar(text[i]) || IsWildcard(text[i])) t.error = ERROR_INVALID_NAME;
    return t;
}

DWORD SettableBits(Family family) {
    const DWORD fat = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_ARCHIVE;
    if (family == Family::Win9x) return fat;
    return fat | FILE_ATTRIBUTE_TEMPORARY | kAttributeOffline | kAttributeNotContentIndexed;
}

Event MakeEvent(Api api, LPCSTR target) {
    Event event(api);
    event.target = target != nullptr ? target : "";
    return event;
}

}  // namespace sim

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    if (auto error = detail::Enter(sim::Api::GetFileAttributesA)) {
        SetError(*error);
        return INVALID_FILE_ATTRIBUTES;
    }
    const sim::Target t = sim::Resolve(path);
    if (t.error != 0) {
        SetError(t.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    const sim::FileSystem& files = Current().files;
    const sim::FileEntry* e = files.Find(t.key);
    if (e == nullptr) {
        SetError(sim::MissingError(files, t.key));
        return INVALID_FILE_ATTRIBUTES;
    }
    return sim::Reported(*e);
}

extern "C" BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes) {
    sim::Event event = sim::MakeEvent(sim::Api::SetFileAttributesA, path);
    event.attributes = attributes;  // as asked; the entry shows what was kept
    sim::Target t;
    sim::FileEntry* e = sim::EnterForEntry(event, path, t);
    if (e == nullptr) return FALSE;
    const DWORD settable = sim::SettableBits(Current().family());
    e->attributes = (e->attributes & ~settable) | (attributes & settable);
    sim::detail::Log(std::move(event));
    return TRUE;
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR path) {
    sim::Event event = sim::MakeEvent(sim::Api::DeleteFileA, path);
    sim::Target t;
    sim::FileEntry* e = sim::EnterForEntry(event, path, t);
    if (e == nullptr) return FALSE;
    sim::Machine& m = Current();
    // A directory (RemoveDirectory's business) and a read-only file cannot
    // be deleted: ERROR_ACCESS_DENIED on both families.
    DWORD refusal = 0;
    if (e->directory || (e->attributes & FILE_ATTRIBUTE_READONLY))
        refusal = ERROR_ACCESS_DENIED;
    else if (sim::DeleteBlocked(m, t.key, false))
        refusal = ERROR_SHARING_VIOLATION;
    if (refusal != 0) {
        event.oldFile = *e;
        detail::LogFailure(std::move(event), refusal);
        return FALSE;
    }
    // The content leaves the file system for the log, without a copy.
    event.oldFile = sim::EntryWithoutData(*e);
    event.oldFile->data = std::move(e->data);
    m.files.Remove(t.key);
    detail::Log(std::move(event));
    return TRUE;
}

extern "C" BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) {
    sim::Event event = sim::MakeEvent(sim::Api::MoveFileA, from);
    event.newPath = to != nullptr ? to : "";
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        return FALSE;
    }
    const sim::Target src = sim::Resolve(from);
    const sim::Target dst = sim::Resolve(to);
    if (src.error != 0 || dst.error != 0) {
        detail::LogFailure(std::move(event), src.error != 0 ? src.error : dst.error);
        return FALSE;
    }
    sim::Machine& m = Current();
    const sim::FileEntry* source = m.files.Find(src.key);
    if (source == nullptr) {
        detail::LogFailure(std::move(event), sim::MissingError(m.files, src.key));
        return FALSE;
    }
    // Path and attributes; the data moves along unchanged (and may be tens
    // of megabytes).
    event.oldFile = sim::EntryWithoutData(*source);
    const std::string dstParentKey = sim::ParentKey(dst.key);
    const sim::FileEntry* dstParent = dstParentKey.empty() ? nullptr : m.files.Find(dstParentKey);
    const bool caseOnly = src.key == dst.key;
    DWORD error = 0;
    if (sim::ParentKey(src.key).empty() || dstParentKey.empty())
        error = ERROR_ACCESS_DENIED;  // a drive root cannot be moved, nor replaced
    else if (dstParent == nullptr || !dstParent->directory)
        error = ERROR_PATH_NOT_FOUND;
    else if (!caseOnly && m.files.Exists(dst.key))
        error = ERROR_ALREADY_EXISTS;
    else if (source->directory && src.parsed.drive != dst.parsed.drive)
        error = sim::kErrorNotSameDevice;  // files are copied across drives, directories not
    else if (source->directory &&
             dst.key.compare(0, sim::ChildPrefix(src.key).size(), sim::ChildPrefix(src.key)) == 0)
        error = ERROR_ACCESS_DENIED;  // into itself
    else if (sim::DeleteBlocked(m, src.key, source->directory))
        error = ERROR_SHARING_VIOLATION;
    if (error != 0) {
        detail::LogFailure(std::move(event), error);
        return FALSE;
    }
    const std::string oldPath = source->path;
    const std::string newPath = sim::Join(dstParent->path, dst.parsed.parts.back());
    // Take the entry and everything below it out, then re-create them under
    // the new name (parents first), keeping data and attributes. The data
    // moves along rather than being copied: files may be tens of megabytes.
    std::vector<std::string> movedKeys;
    for (const sim::FileEntry* e : m.files.Entries()) {
        const std::string key = sim::UpperAscii(e->path);
        if (key == src.key || key.compare(0, sim::ChildPrefix(src.key).size(),
                                          sim::ChildPrefix(src.key)) == 0)
            movedKeys.push_back(key);
    }
    std::vector<sim::FileEntry> moved;
    for (const std::string& key : movedKeys) moved.push_back(std::move(*m.files.Find(key)));
    m.files.Remove(src.key);
    for (sim::FileEntry& e : moved) {
        e.path = newPath + e.path.substr(oldPath.size());
        if (e.directory) {
            m.files.AddDirectory(e.path);
            m.files.Find(e.path)->attributes = e.attributes;
        } else {
            m.files.AddFile(e.path, std::vector<uint8_t>(), e.attributes);
            m.files.Find(e.path)->data = std::move(e.data);
        }
    }
    // Handles that allowed the move (NT, FILE_SHARE_DELETE) follow the file.
    const std::string prefix = sim::ChildPrefix(src.key);
    for (auto& item : m.internal->files) {
        std::string& k = item.second.normalized;
        if (k == src.key) k = dst.key;
        else if (k.compare(0, prefix.size(), prefix) == 0)
            k = sim::ChildPrefix(dst.key) + k.substr(prefix.size());
    }
    detail::Log(std::move(event));
    return TRUE;
}

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR path, LPWIN32_FIND_DATAA data) {
    if (auto error = detail::Enter(sim::Api::FindFirstFileA)) {
        SetError(*error);
        return INVALID_HANDLE_VALUE;
    }
    const sim::Target t = sim::Resolve(path, true);
    if (t.error != 0 || data == nullptr) {
        SetError(data == nullptr ? ERROR_INVALID_PARAMETER : t.error);
        return INVALID_HANDLE_VALUE;
    }
    const std::string text = path;
    // A drive root names no entry of a directory, and a trailing separator
    // asks for a nameless entry: neither is found (NT and 9x alike).
    if (t.parsed.parts.empty() || sim::IsSeparator(text.back())) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    sim::Machine& m = Current();
    const std::string parentKey = sim::ParentKey(t.key);
    const sim::FileEntry* dir = m.files.Find(parentKey);
    if (dir == nullptr || !dir->directory) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Children of the directory whose name matches the last component. The
    // simulated directories have no "." and ".." entries.
    // "*.*" names every entry, those without a dot too (both families).
    const std::string pattern = t.parsed.parts.back() == "*.*" ? "*" : t.parsed.parts.back();
    const std::string prefix = sim::ChildPrefix(parentKey);
    sim::FindState state;
    state.pattern = pattern;
    for (const sim::FileEntry* e : m.files.Entries()) {
        const std::string key = sim::UpperAscii(e->path);
        if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0 ||
            key.find('\\', prefix.size()) != std::string::npos)
            continue;
        if (sim::Matches(pattern.c_str(), sim::LeafName(e->path).c_str())) state.matches.push_back(key);
    }
    if (state.matches.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    sim::FillFindData(*m.files.Find(state.matches.front()), data);
    state.matches.erase(state.matches.begin());
    const uintptr_t handle = State().NewHandle();
    State().finds[handle] = std::move(state);
    return reinterpret_cast<HANDLE>(handle);
}

// The next entry of a search; FALSE with ERROR_NO_MORE_FILES after the last.
extern "C" BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
    if (auto error = detail::Enter(sim::Api::FindNextFileA)) {
        SetError(*error);
        return FALSE;
    }
    auto& finds = State().finds;
    auto found = finds.find(reinterpret_cast<uintptr_t>(handle));
    if (found == finds.end() || data == nullptr) {
        SetError(found == finds.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string>& matches = found->second.matches;
    // An entry deleted since the search began is passed over.
    while (!matches.empty() && Current().files.Find(matches.front()) == nullptr) matches.erase(matches.begin());
    if (matches.empty()) {
        SetError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    sim::FillFindData(*Current().files.Find(matches.front()), data);
    matches.erase(matches.begin());
    return TRUE;
}

// A new directory in an existing one: ERROR_ALREADY_EXISTS when the name is
// taken (by a file or a directory), ERROR_PATH_NOT_FOUND when the directory
// it goes in is missing. Security attributes are not simulated. A new
// directory is logged as an event.
extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    sim::Event event = sim::MakeEvent(sim::Api::CreateDirectoryA, path);
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        return FALSE;
    }
    const sim::Target t = sim::Resolve(path);
    sim::Machine& m = Current();
    DWORD error = t.error;
    const sim::FileEntry* parent = nullptr;
    if (error == 0 && t.parsed.parts.empty()) error = ERROR_ACCESS_DENIED;  // a drive root
    if (error == 0 && m.files.Exists(t.key)) error = ERROR_ALREADY_EXISTS;
    if (error == 0) {
        parent = m.files.Find(sim::ParentKey(t.key));
        if (parent == nullptr || !parent->directory) error = ERROR_PATH_NOT_FOUND;
    }
    if (error != 0) {
        detail::LogFailure(std::move(event), error);
        return FALSE;
    }
    m.files.AddDirectory(sim::Join(parent->path, t.parsed.parts.back()));
    detail::Log(std::move(event));
    return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE handle) {
    auto& finds = State().finds;
    auto found = finds.find(reinterpret_cast<uintptr_t>(handle));
    if (auto error = detail::Enter(sim::Api::FindClose)) {
        // The search is ended even when the close reports a failure: the
        // caller cannot close it again, so keeping it would only be a leak
        // that no program could avoid.
        if (found != finds.end()) finds.erase(found);
        SetError(*error);
        return FALSE;
    }
    if (found == finds.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    finds.erase(found);
    return TRUE;
}
