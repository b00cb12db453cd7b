// What KERNEL32's simulated file functions share: the calls on entries by
// their path (sim_kernel_files.cpp) and those on open files
// (sim_kernel_handles.cpp).
#pragma once

#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_paths.h"

#include <string>

namespace sim {

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

Target Resolve(LPCSTR path, bool wildcards = false);

// The bits SetFileAttributesA changes. NT's kernel32 keeps only
// FILE_ATTRIBUTE_VALID_SET_FLAGS (0x31A7: read-only, hidden, system,
// archive, normal, temporary, offline, not-content-indexed) and always adds
// FILE_ATTRIBUTE_NORMAL, so unknown bits and the directory bit are ignored
// rather than refused, and a value of 0 clears them all. The 9x family hands
// the value to the DOS attribute call, which stores only the four FAT bits
// (read-only, hidden, system, archive) and leaves the directory and volume
// bits alone. So 0x11111110, which the file removal passes, keeps no
// settable bit on either family except NT's temporary and offline bits.
DWORD SettableBits(Family family);

// An event of the call `api` on the path `target` (none when null).
Event MakeEvent(Api api, LPCSTR target);

inline bool HasDataAccess(DWORD access) { return (access & (GENERIC_READ | GENERIC_WRITE)) != 0; }

}  // namespace sim
