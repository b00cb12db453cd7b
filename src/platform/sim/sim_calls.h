// The table of the platform calls the simulator serves: one row per call,
// with the library that exports it and an error it realistically fails
// with on Windows (for fault sweeps and randomized failures). Whatever
// works on a simulated run (the call log, the counts, fault injection, the
// event log, the dry run, the tests) names a call by the member of sim::Api
// made from its row (a misspelled call does not compile, so no fault can
// silently miss its call) and prints it with ApiName: on this side of the
// platform door the name is written here and in the call's own simulated
// function only. The door itself declares it (platform.h) and the program
// calls it; the checks of the shipped exes read its name as text, from the
// exe's imports and from Wine's trace of its calls.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>

// CALL(name, library, typical error), grouped by the library that exports
// the call (what the shipped exe imports from it).
#define SIM_PLATFORM_CALLS(CALL)                                             \
    CALL(RegOpenKeyA, ADVAPI32, ERROR_ACCESS_DENIED)                         \
    CALL(RegEnumKeyA, ADVAPI32, ERROR_NOT_ENOUGH_MEMORY)                     \
    CALL(RegOpenKeyExA, ADVAPI32, ERROR_ACCESS_DENIED)                       \
    CALL(RegOpenKeyExW, ADVAPI32, ERROR_ACCESS_DENIED)                       \
    CALL(RegEnumKeyExA, ADVAPI32, ERROR_NOT_ENOUGH_MEMORY)                   \
    CALL(RegEnumKeyExW, ADVAPI32, ERROR_NOT_ENOUGH_MEMORY)                   \
    /* a value that grew between the key's query and its read */             \
    CALL(RegEnumValueA, ADVAPI32, ERROR_MORE_DATA)                           \
    CALL(RegEnumValueW, ADVAPI32, ERROR_MORE_DATA)                           \
    /* a key deleted by another program while it is open */                  \
    CALL(RegQueryInfoKeyA, ADVAPI32, ERROR_KEY_DELETED)                      \
    CALL(RegQueryInfoKeyW, ADVAPI32, ERROR_KEY_DELETED)                      \
    CALL(RegQueryValueExA, ADVAPI32, ERROR_ACCESS_DENIED)                    \
    CALL(RegSetValueExA, ADVAPI32, ERROR_ACCESS_DENIED)                      \
    CALL(RegDeleteKeyA, ADVAPI32, ERROR_ACCESS_DENIED)                       \
    CALL(RegCloseKey, ADVAPI32, ERROR_INVALID_HANDLE)                        \
    CALL(SetupOpenInfFileA, SETUPAPI, ERROR_FILE_NOT_FOUND)                  \
    CALL(SetupGetLineByIndexA, SETUPAPI, ERROR_LINE_NOT_FOUND)               \
    CALL(SetupGetLineTextA, SETUPAPI, ERROR_INSUFFICIENT_BUFFER)             \
    CALL(SetupCloseInfFile, SETUPAPI, ERROR_INVALID_HANDLE)                  \
    CALL(SetupDiGetINFClassA, SETUPAPI, ERROR_FILE_NOT_FOUND)                \
    CALL(SetupDiClassGuidsFromNameExA, SETUPAPI, ERROR_INVALID_CLASS)        \
    CALL(SetupDiGetClassDevsA, SETUPAPI, ERROR_NOT_ENOUGH_MEMORY)            \
    CALL(SetupDiEnumDeviceInfo, SETUPAPI, ERROR_NO_MORE_ITEMS)               \
    CALL(SetupDiGetDeviceInstanceIdA, SETUPAPI, ERROR_INSUFFICIENT_BUFFER)   \
    CALL(SetupDiGetDeviceRegistryPropertyA, SETUPAPI, ERROR_INVALID_DATA)    \
    CALL(SetupDiRemoveDevice, SETUPAPI, ERROR_ACCESS_DENIED)                 \
    CALL(SetupDiDestroyDeviceInfoList, SETUPAPI, ERROR_INVALID_HANDLE)       \
    CALL(GetWindowsDirectoryA, KERNEL32, ERROR_NOT_ENOUGH_MEMORY)            \
    CALL(GetVersionExA, KERNEL32, ERROR_INVALID_PARAMETER)                   \
    CALL(CompareStringA, KERNEL32, ERROR_INVALID_PARAMETER)                  \
    CALL(GetFileAttributesA, KERNEL32, ERROR_ACCESS_DENIED)                  \
    CALL(SetFileAttributesA, KERNEL32, ERROR_ACCESS_DENIED)                  \
    CALL(CreateDirectoryA, KERNEL32, ERROR_ACCESS_DENIED)                    \
    CALL(DeleteFileA, KERNEL32, ERROR_SHARING_VIOLATION)                     \
    CALL(MoveFileA, KERNEL32, ERROR_SHARING_VIOLATION)                       \
    CALL(FindFirstFileA, KERNEL32, ERROR_PATH_NOT_FOUND)                     \
    CALL(FindNextFileA, KERNEL32, ERROR_NOT_ENOUGH_MEMORY)                   \
    CALL(FindClose, KERNEL32, ERROR_INVALID_HANDLE)                          \
    CALL(CreateFileA, KERNEL32, ERROR_SHARING_VIOLATION)                     \
    CALL(SetFilePointer, KERNEL32, ERROR_NEGATIVE_SEEK)                      \
    CALL(GetFileSize, KERNEL32, ERROR_INVALID_HANDLE)                        \
    CALL(ReadFile, KERNEL32, ERROR_READ_FAULT)                               \
    CALL(WriteFile, KERNEL32, ERROR_DISK_FULL)                               \
    CALL(CloseHandle, KERNEL32, ERROR_INVALID_HANDLE)                        \
    CALL(GetModuleFileNameA, KERNEL32, ERROR_INSUFFICIENT_BUFFER)            \
    CALL(GetComputerNameA, KERNEL32, ERROR_BUFFER_OVERFLOW)                  \
    /* no failure: Windows always has an ANSI code page */                   \
    CALL(GetACP, KERNEL32, NO_ERROR)                                         \
    /* no failure: it returns the mode it replaces */                        \
    CALL(SetErrorMode, KERNEL32, NO_ERROR)                                   \
    CALL(WideCharToMultiByte, KERNEL32, ERROR_INSUFFICIENT_BUFFER)           \
    CALL(ShellExecuteA, SHELL32, ERROR_FILE_NOT_FOUND)                       \
    CALL(FindWindowA, USER32, ERROR_ACCESS_DENIED)                           \
    CALL(SendMessageA, USER32, ERROR_ACCESS_DENIED)                          \
    CALL(MessageBoxA, USER32, ERROR_NOT_ENOUGH_MEMORY)                       \
    CALL(EnumWindows, USER32, ERROR_NOT_ENOUGH_MEMORY)                       \
    /* a window that closed since it was listed */                           \
    CALL(GetWindowTextLengthA, USER32, ERROR_INVALID_WINDOW_HANDLE)          \
    CALL(GetWindowTextA, USER32, ERROR_INVALID_WINDOW_HANDLE)

// Events the simulator logs that are no call of their own.
#define SIM_OTHER_EVENTS(EVENT)                                              \
    EVENT(DeviceKeyDeleted) /* a device's key that SetupDiRemoveDevice deleted with it */

namespace sim {

// What a call-log entry, a count, a fault or an event names. The calls come
// first, in the table's order; the other events after them.
enum class Api : uint8_t {
#define SIM_API_CALL_MEMBER(name, library, error) name,
    SIM_PLATFORM_CALLS(SIM_API_CALL_MEMBER)
#undef SIM_API_CALL_MEMBER
#define SIM_API_EVENT_MEMBER(name) name,
    SIM_OTHER_EVENTS(SIM_API_EVENT_MEMBER)
#undef SIM_API_EVENT_MEMBER
};

// The number of calls: the members below it are calls, in the table's order.
constexpr size_t kCallCount = 0
#define SIM_API_COUNT_CALL(name, library, error) +1
    SIM_PLATFORM_CALLS(SIM_API_COUNT_CALL)
#undef SIM_API_COUNT_CALL
    ;

inline Api CallAt(size_t index) { return static_cast<Api>(index); }  // index < kCallCount
inline bool IsCall(Api api) { return static_cast<size_t>(api) < kCallCount; }

const char* ApiName(Api api);  // the function's name as Windows spells it, or the event's
std::ostream& operator<<(std::ostream& out, Api api);  // ApiName
DWORD TypicalError(Api call);
// The library that exports a call, as the table names it ("SETUPAPI").
const char* LibraryOf(Api call);
// ReadFile and WriteFile: the calls a fault may make move half of the bytes
// instead of failing (Fault::shortTransfer).
inline bool MovesBytes(Api call) { return call == Api::ReadFile || call == Api::WriteFile; }

}  // namespace sim
