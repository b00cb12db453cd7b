// KERNEL32's file functions over the active machine's file system: the
// sharing and deletion rules of both families, the handles of the program
// and those other processes hold (tests).
#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_paths.h"

#include <cstring>

namespace sim {

namespace {

constexpr DWORD kErrorNotSameDevice = 17;  // ERROR_NOT_SAME_DEVICE
constexpr DWORD kInvalidFileSize = 0xFFFFFFFF;
constexpr DWORD kAttributeOffline = 0x1000;
constexpr DWORD kAttributeNotContentIndexed = 0x2000;

// What a path handed to an API names: its lookup key, or the error Windows
// gives for a path that cannot name anything. Names with characters that no
// file name may hold fail with ERROR_INVALID_NAME; relative, empty or
// otherwise malformed paths with ERROR_PATH_NOT_FOUND (the simulated
// program has no current directory to resolve them against).
struct Target {
    std::string key;
    ParsedPath parsed;
    DWORD error = 0;
};

Target Resolve(LPCSTR path, bool wildcards = false) {
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

// The bits SetFileAttributesA changes. NT's kernel32 keeps only
// FILE_ATTRIBUTE_VALID_SET_FLAGS (0x31A7: read-only, hidden, system,
// archive, normal, temporary, offline, not-content-indexed) and always adds
// FILE_ATTRIBUTE_NORMAL, so unknown bits and the directory bit are ignored
// rather than refused, and a value of 0 clears them all. The 9x family hands
// the value to the DOS attribute call, which stores only the four FAT bits
// (read-only, hidden, system, archive) and leaves the directory and volume
// bits alone. So 0x11111110, which the file removal passes, keeps no
// settable bit on either family except NT's temporary and offline bits.
DWORD SettableBits(Family family) {
    const DWORD fat = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_ARCHIVE;
    if (family == Family::Win9x) return fat;
    return fat | FILE_ATTRIBUTE_TEMPORARY | kAttributeOffline | kAttributeNotContentIndexed;
}

// A new or overwritten file gets the given attributes and the archive bit
// (both families mark every newly written file for backup).
DWORD CreatedBits(Family family, DWORD flagsAndAttributes) {
    return (flagsAndAttributes & SettableBits(family)) | FILE_ATTRIBUTE_ARCHIVE;
}

bool HasDataAccess(DWORD access) { return (access & (GENERIC_READ | GENERIC_WRITE)) != 0; }

// Whether a new handle with `access`/`share` is refused by the handles
// already open on `key`, checked both ways: what it asks against their share
// modes, and what they hold against its share mode. A handle without read
// or write access takes no part in the check, on either side (NT keeps no
// share record for it). Delete sharing is checked by the deletion itself.
bool SharingConflict(const Machine::Internal& st, const std::string& key, DWORD access,
                     DWORD share) {
    if (!HasDataAccess(access)) return false;
    for (const auto& item : st.files) {
        const OpenFile& o = item.second;
        if (o.normalized != key || !HasDataAccess(o.access)) continue;
        if ((access & GENERIC_READ) && !(o.share & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(o.share & FILE_SHARE_WRITE)) return true;
        if ((o.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((o.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
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
            (HasDataAccess(o.access) && !(o.share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

OpenFile* ProgramFile(HANDLE handle) {
    auto& files = State().files;
    auto found = files.find(reinterpret_cast<uintptr_t>(handle));
    if (found == files.end() || found->second.otherProcess) return nullptr;
    return &found->second;
}

// The entry behind a handle; null when the file went away while open (NT
// lets a file opened with FILE_SHARE_DELETE be deleted).
FileEntry* EntryOf(const OpenFile& o) {
    FileEntry* e = Current().files.Find(o.normalized);
    return e != nullptr && !e->directory ? e : nullptr;
}

Event MakeEvent(Api api, LPCSTR target) {
    Event event(api);
    event.target = target != nullptr ? target : "";
    return event;
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

// ---------------------------------------------------------------- other processes (tests)

uintptr_t HoldFileOpen(Machine& m, const std::string& path, DWORD access, DWORD share) {
    const std::string key = FileSystem::Normalize(path);
    const FileEntry* e = key.empty() ? nullptr : m.files.Find(key);
    if (e == nullptr || e->directory || SharingConflict(*m.internal, key, access, share)) return 0;
    const uintptr_t handle = m.internal->NewHandle();
    OpenFile o;
    o.normalized = key;
    o.access = access;
    o.share = share;
    o.otherProcess = true;
    m.internal->files[handle] = o;
    return handle;
}

void ReleaseFile(Machine& m, uintptr_t token) {
    auto found = m.internal->files.find(token);
    if (found != m.internal->files.end() && found->second.otherProcess)
        m.internal->files.erase(found);
}

}  // namespace sim

// ---------------------------------------------------------------- KERNEL32: files

using sim::Current;
using sim::SetError;
using sim::State;
namespace detail = sim::detail;

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

extern "C" HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES, DWORD disposition,
                                     DWORD flagsAndAttributes, HANDLE) {
    sim::Event event = sim::MakeEvent(sim::Api::CreateFileA, path);
    event.disposition = disposition;  // CREATE_NEW ... TRUNCATE_EXISTING
    if (auto error = detail::Enter(event.api)) {
        SetError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const sim::Target t = sim::Resolve(path);
    if (t.error != 0) {
        SetError(t.error);
        return INVALID_HANDLE_VALUE;
    }
    sim::Machine& m = Current();
    sim::Machine::Internal& st = *m.internal;
    if (t.parsed.parts.empty()) {
        SetError(ERROR_ACCESS_DENIED);  // a drive root is a directory
        return INVALID_HANDLE_VALUE;
    }
    const sim::FileEntry* parent = m.files.Find(sim::ParentKey(t.key));
    if (parent == nullptr || !parent->directory) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    sim::FileEntry* e = m.files.Find(t.key);
    const bool overwrite = e != nullptr && (disposition == CREATE_ALWAYS ||
                                            disposition == TRUNCATE_EXISTING);
    DWORD lastError = 0;
    if (e != nullptr) {
        DWORD error = 0;
        const DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (e->directory)
            error = ERROR_ACCESS_DENIED;
        else if (disposition == CREATE_NEW)
            error = ERROR_FILE_EXISTS;
        else if ((e->attributes & FILE_ATTRIBUTE_READONLY) && ((access & GENERIC_WRITE) || overwrite))
            error = ERROR_ACCESS_DENIED;
        else if (disposition == CREATE_ALWAYS && (e->attributes & hs & ~flagsAndAttributes) != 0)
            // Overwriting a hidden or system file needs those attributes
            // named again, as the CreateFile documentation says.
            error = ERROR_ACCESS_DENIED;
        else if (sim::SharingConflict(st, t.key, access | (overwrite ? GENERIC_WRITE : 0), share))
            error = ERROR_SHARING_VIOLATION;
        if (error != 0) {
            SetError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (overwrite) {
            event.oldFile = *e;
            e->data.clear();
            e->attributes = disposition == CREATE_ALWAYS
                                ? sim::CreatedBits(m.family(), flagsAndAttributes)
                                : e->attributes | FILE_ATTRIBUTE_ARCHIVE;
            detail::Log(std::move(event));
        }
        if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
            lastError = ERROR_ALREADY_EXISTS;
    } else {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            SetError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        m.files.AddFile(sim::Join(parent->path, t.parsed.parts.back()), std::vector<uint8_t>(),
                        sim::CreatedBits(m.family(), flagsAndAttributes));
        detail::Log(std::move(event));
    }
    const uintptr_t handle = st.NewHandle();
    sim::OpenFile o;
    o.normalized = t.key;
    o.access = access;
    o.share = share;
    st.files[handle] = o;
    SetError(lastError);
    return reinterpret_cast<HANDLE>(handle);
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh,
                                       DWORD method) {
    if (auto error = detail::Enter(sim::Api::SetFilePointer)) {
        SetError(*error);
        return INVALID_SET_FILE_POINTER;
    }
    sim::OpenFile* o = sim::ProgramFile(handle);
    const sim::FileEntry* e = o != nullptr ? sim::EntryOf(*o) : nullptr;
    if (o == nullptr || e == nullptr) {
        SetError(o == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return INVALID_SET_FILE_POINTER;
    }
    // Without the high word the distance is a signed 32-bit value; with it,
    // the two words form one signed 64-bit distance.
    const int64_t move =
        distanceHigh != nullptr
            ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                   static_cast<uint32_t>(distance))
            : static_cast<int64_t>(distance);
    int64_t base;
    switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(o->position); break;
    case FILE_END: base = static_cast<int64_t>(e->data.size()); break;
    default: SetError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    const int64_t target = base + move;
    if (target < 0) {
        SetError(ERROR_NEGATIVE_SEEK);  // the pointer stays where it was
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh == nullptr && target > 0xFFFFFFFELL) {
        SetError(ERROR_INVALID_PARAMETER);  // cannot be reported in 32 bits
        return INVALID_SET_FILE_POINTER;
    }
    o->position = static_cast<uint64_t>(target);
    if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(o->position >> 32);
    const DWORD low = static_cast<DWORD>(o->position);
    // A position whose low word reads as the failure value is told apart by
    // a last error of NO_ERROR.
    if (low == INVALID_SET_FILE_POINTER) SetError(NO_ERROR);
    return low;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
    if (auto error = detail::Enter(sim::Api::GetFileSize)) {
        SetError(*error);
        return sim::kInvalidFileSize;
    }
    sim::OpenFile* o = sim::ProgramFile(handle);
    const sim::FileEntry* e = o != nullptr ? sim::EntryOf(*o) : nullptr;
    if (o == nullptr || e == nullptr) {
        SetError(o == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return sim::kInvalidFileSize;
    }
    const uint64_t size = e->data.size();
    if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == sim::kInvalidFileSize) SetError(NO_ERROR);
    return static_cast<DWORD>(size);
}

extern "C" BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
                                LPOVERLAPPED overlapped) {
    if (read != nullptr) *read = 0;
    if (auto error = detail::Enter(sim::Api::ReadFile)) {
        SetError(*error);
        return FALSE;
    }
    sim::OpenFile* o = sim::ProgramFile(handle);
    if (o == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Synchronous handles only: the count pointer is required, and so is a
    // buffer for a non-empty read.
    if (read == nullptr || overlapped != nullptr || (buffer == nullptr && toRead > 0)) {
        SetError(read == nullptr || overlapped != nullptr ? ERROR_INVALID_PARAMETER
                                                          : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const sim::FileEntry* e = sim::EntryOf(*o);
    if (e == nullptr || !(o->access & GENERIC_READ)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const DWORD asked = detail::ShortTransfer() ? toRead / 2 : toRead;
    const uint64_t size = e->data.size();
    const uint64_t available = o->position < size ? size - o->position : 0;
    const DWORD count = available < asked ? static_cast<DWORD>(available) : asked;
    if (count > 0) std::memcpy(buffer, e->data.data() + o->position, count);
    o->position += count;
    *read = count;
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
    if (written != nullptr) *written = 0;
    sim::OpenFile* o = sim::ProgramFile(handle);
    sim::FileEntry* e = o != nullptr ? sim::EntryOf(*o) : nullptr;
    sim::Event event = sim::MakeEvent(sim::Api::WriteFile, e != nullptr ? e->path.c_str() : nullptr);
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        return FALSE;
    }
    DWORD error = 0;
    if (o == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (written == nullptr || overlapped != nullptr)
        error = ERROR_INVALID_PARAMETER;
    else if (buffer == nullptr && toWrite > 0)
        error = ERROR_INVALID_USER_BUFFER;
    else if (e == nullptr || !(o->access & GENERIC_WRITE))
        error = ERROR_ACCESS_DENIED;
    if (error != 0) {
        detail::LogFailure(std::move(event), error);
        return FALSE;
    }
    const DWORD count = detail::ShortTransfer() ? toWrite / 2 : toWrite;
    const uint64_t end = o->position + count;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    if (o->position >= e->data.size()) {
        // Writing past the end fills the gap with zeros, as both families do;
        // at the end the bytes are appended (one pass over a large write).
        e->data.resize(o->position, 0);
        if (count > 0) e->data.insert(e->data.end(), bytes, bytes + count);
    } else {
        if (e->data.size() < end) e->data.resize(end, 0);
        if (count > 0) std::memcpy(e->data.data() + o->position, bytes, count);
    }
    o->position = end;
    if (count > 0) e->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    *written = count;
    event.bytesWritten = count;
    detail::Log(std::move(event));
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
    auto& files = State().files;
    auto found = files.find(reinterpret_cast<uintptr_t>(handle));
    const bool known = found != files.end() && !found->second.otherProcess;
    if (auto error = detail::Enter(sim::Api::CloseHandle)) {
        // The handle is released even when the close reports a failure: the
        // program cannot close it a second time, so keeping it would be a
        // leak that no caller could avoid (NT invalidates a handle before
        // any error of the close is known).
        if (known) files.erase(found);
        SetError(*error);
        return FALSE;
    }
    if (!known) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    files.erase(found);
    return TRUE;
}
