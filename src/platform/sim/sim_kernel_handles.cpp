// KERNEL32's file functions on open files: creation and opening with the
// sharing rules of both families, reads, writes, the file pointer and size,
// closing; and the handles other processes hold (tests).
#include "platform/sim/sim_kernel_files.h"

#include <cstring>

namespace sim {

namespace {

constexpr DWORD kInvalidFileSize = 0xFFFFFFFF;

// A new or overwritten file gets the given attributes and the archive bit
// (both families mark every newly written file for backup).
DWORD CreatedBits(Family family, DWORD flagsAndAttributes) {
    return (flagsAndAttributes & SettableBits(family)) | FILE_ATTRIBUTE_ARCHIVE;
}

// Whether a handle takes part in the sharing check: one with read, write or
// (NT) delete access. A handle with attribute access alone does not (NT
// keeps no share record for it).
bool Shares(DWORD access) { return HasDataAccess(access) || (access & DELETE) != 0; }

// Whether a new handle with `access`/`share` is refused by the handles
// already open on `key`, checked both ways: what it asks against their share
// modes, and what they hold against its share mode. A handle that holds
// DELETE access (NT: another process about to rename or delete the file)
// refuses every handle that does not share delete. A deletion by name
// checks delete sharing itself.
bool SharingConflict(const Machine::Internal& st, const std::string& key, DWORD access,
                     DWORD share) {
    if (!Shares(access)) return false;
    for (const auto& item : st.files) {
        const OpenFile& o = item.second;
        if (o.normalized != key || !Shares(o.access)) continue;
        if ((access & GENERIC_READ) && !(o.share & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(o.share & FILE_SHARE_WRITE)) return true;
        if ((access & DELETE) && !(o.share & FILE_SHARE_DELETE)) return true;
        if ((o.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((o.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
        if ((o.access & DELETE) && !(share & FILE_SHARE_DELETE)) return true;
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

extern "C" HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES, DWORD disposition,
                                     DWORD flagsAndAttributes, HANDLE) {
    sim::Event event = sim::MakeEvent(sim::Api::CreateFileA, path);
    event.disposition = disposition;  // CREATE_NEW ... TRUNCATE_EXISTING
    if (auto error = detail::Enter(event.api)) {
        SetError(*error);
        return INVALID_HANDLE_VALUE;
    }
    // The 9x family knows no delete sharing and refuses the flag.
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) ||
        ((share & FILE_SHARE_DELETE) && Current().family() == sim::Family::Win9x)) {
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
