// Simulated kernel services that are not files (Windows directory, version,
// string comparison, the program's own path, the computer name, the code
// page and its conversion) and the shell and window services.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <cstring>

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (auto error = detail::Enter(sim::Api::GetWindowsDirectoryA)) {
        SetError(*error);
        return 0;
    }
    const std::string& dir = Current().windowsDirectory;
    // Too small a buffer: the size needed, terminator included, and the
    // buffer is left alone (both families).
    if (buffer == nullptr || dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

// Only the program's own exe (a NULL module) is known. Too small a buffer:
// the path cut to `size` characters without a terminator, `size` returned
// and ERROR_INSUFFICIENT_BUFFER, as Windows XP does it.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (auto error = detail::Enter(sim::Api::GetModuleFileNameA)) {
        SetError(*error);
        return 0;
    }
    const std::string& path = Current().modulePath;
    if (module != nullptr || buffer == nullptr) {
        SetError(module != nullptr ? 126 /* ERROR_MOD_NOT_FOUND */ : ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (path.size() + 1 > size) {
        std::memcpy(buffer, path.data(), size);
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// Too small a buffer: ERROR_BUFFER_OVERFLOW with the size needed,
// terminator included, in *size.
extern "C" BOOL WINAPI GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (auto error = detail::Enter(sim::Api::GetComputerNameA)) {
        SetError(*error);
        return FALSE;
    }
    const std::string& name = Current().computerName;
    if (size == nullptr || (buffer == nullptr && *size > 0)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (name.size() + 1 > *size) {
        *size = static_cast<DWORD>(name.size() + 1);
        SetError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}

// Never fails: an injected fault is counted and changes nothing. The mode
// is the process's; it decides whether Windows shows its own error box when
// a drive has no disk, which the simulated machine never shows.
extern "C" UINT WINAPI SetErrorMode(UINT mode) {
    detail::Enter(sim::Api::SetErrorMode);
    const UINT previous = Current().errorMode;
    Current().errorMode = mode;
    return previous;
}

// Never fails: an injected fault is counted and changes nothing.
extern "C" UINT WINAPI GetACP(void) {
    detail::Enter(sim::Api::GetACP);
    return Current().codePage;
}

// UTF-16 to the machine's ANSI code page (CP_ACP or its number; no flags),
// each unit through the code page as Windows 2000 converts it: a character
// the code page lacks becomes its best fit or '?', and so does each unit of
// a surrogate pair. A size of 0 asks for the size needed; too small a
// buffer is ERROR_INSUFFICIENT_BUFFER.
extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int cchWide, LPSTR out,
                                          int cbOut, LPCCH defaultChar, LPBOOL usedDefault) {
    if (auto error = detail::Enter(sim::Api::WideCharToMultiByte)) {
        SetError(*error);
        return 0;
    }
    const sim::Machine& m = Current();
    if ((codePage != CP_ACP && codePage != m.codePage) || wide == nullptr || cchWide == 0 || cchWide < -1 ||
        cbOut < 0 || (cbOut > 0 && out == nullptr)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        SetError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t count = static_cast<size_t>(cchWide);
    if (cchWide == -1)
        for (count = 1; wide[count - 1] != 0; ++count) {
        }
    std::string ansi;
    bool allExact = true;
    for (size_t i = 0; i < count; ++i) {
        bool exact = true;
        const uint8_t b = sim::UnicodeToAnsi(m.codePage, wide[i], &exact);
        ansi += static_cast<char>(exact || defaultChar == nullptr ? b : static_cast<uint8_t>(*defaultChar));
        allExact = allExact && exact;
    }
    if (usedDefault != nullptr) *usedDefault = allExact ? FALSE : TRUE;
    if (cbOut == 0) return static_cast<int>(ansi.size());
    if (ansi.size() > static_cast<size_t>(cbOut)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, ansi.data(), ansi.size());
    return static_cast<int>(ansi.size());
}

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (auto error = detail::Enter(sim::Api::GetVersionExA)) {
        SetError(*error);
        return FALSE;
    }
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const sim::Machine& m = Current();
    info->dwMajorVersion = m.majorVersion;
    info->dwMinorVersion = m.minorVersion;
    info->dwBuildNumber = m.buildNumber;
    info->dwPlatformId = m.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, m.csdVersion.c_str(), sizeof info->szCSDVersion - 1);
    return TRUE;
}

// The one place where the simulator decides text equality for the locale
// comparison: with no flags the comparison is case-sensitive, and two texts
// are equal exactly when their bytes are. (The order of unequal texts is a
// plain byte order here; a real locale collates differently, and the
// program only ever asks for equality.)
namespace {

// The index of the first byte where a and b differ, or n: eight bytes at a
// time (the device walks compare tens of millions of ids of some 30 bytes).
inline size_t FirstDifference(const char* a, const char* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t wa, wb;
        std::memcpy(&wa, a + i, 8);
        std::memcpy(&wb, b + i, 8);
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (wa != wb) return i + static_cast<size_t>(__builtin_ctzll(wa ^ wb)) / 8;
#else
        if (wa != wb) break;
#endif
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

extern "C" int WINAPI CompareStringA(LCID, DWORD flags, PCNZCH s1, int n1, PCNZCH s2, int n2) {
    if (auto error = detail::Enter(sim::Api::CompareStringA)) {
        SetError(*error);
        return 0;
    }
    if ((s1 == nullptr && n1 != 0) || (s2 == nullptr && n2 != 0) || n1 < -1 || n2 < -1 ||
        flags != 0) {
        SetError(flags != 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t l1 = n1 == -1 ? std::strlen(s1) : static_cast<size_t>(n1);
    const size_t l2 = n2 == -1 ? std::strlen(s2) : static_cast<size_t>(n2);
    const size_t n = l1 < l2 ? l1 : l2;
    const size_t at = FirstDifference(s1, s2, n);
    if (at < n)
        return static_cast<unsigned char>(s1[at]) < static_cast<unsigned char>(s2[at]) ? CSTR_LESS_THAN
                                                                                       : CSTR_GREATER_THAN;
    if (l1 == l2) return CSTR_EQUAL;
    return l1 < l2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

extern "C" HINSTANCE WINAPI ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters,
                                          LPCSTR directory, INT show) {
    sim::Event event(sim::Api::ShellExecuteA);
    event.target = file ? file : "";
    event.parameters = parameters ? parameters : "";
    event.verb = operation ? operation : "";
    event.showCommand = static_cast<uint32_t>(show);
    (void)directory;
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        // Failure: a value of 32 or less (SE_ERR_FNF for a missing program).
        return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(2));
    }
    detail::Log(std::move(event));
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
}

namespace {
std::map<uintptr_t, std::string>& WindowHandles() { return State().windows; }
}  // namespace

extern "C" HWND WINAPI FindWindowA(LPCSTR className, LPCSTR title) {
    if (auto error = detail::Enter(sim::Api::FindWindowA)) {
        SetError(*error);
        return nullptr;
    }
    (void)className;  // simulated windows have no class; NULL matches any
    sim::Machine& m = Current();
    for (const std::string& existing : m.windowTitles) {
        // Window titles are matched without regard to case, as USER32 does.
        if (title != nullptr && sim::NamesEqual(existing, title)) {
            const uintptr_t handle = State().NewHandle();
            WindowHandles()[handle] = existing;
            return reinterpret_cast<HWND>(handle);
        }
    }
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

// The top-level windows in their order, each as a handle of its own to the
// callback, until it returns FALSE.
extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM parameter) {
    if (auto error = detail::Enter(sim::Api::EnumWindows)) {
        SetError(*error);
        return FALSE;
    }
    if (callback == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::vector<std::string> titles = Current().windowTitles;  // the callback may close one
    for (const std::string& title : titles) {
        const uintptr_t handle = State().NewHandle();
        WindowHandles()[handle] = title;
        if (!callback(reinterpret_cast<HWND>(handle), parameter)) break;
    }
    return TRUE;
}

namespace {

// The title of a window handle that is still open; null with the last error
// set otherwise.
const std::string* WindowTitle(HWND window) {
    const auto found = WindowHandles().find(reinterpret_cast<uintptr_t>(window));
    if (found != WindowHandles().end())
        for (const std::string& title : Current().windowTitles)
            if (title == found->second) return &found->second;
    SetError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

}  // namespace

// 0 for a window without a title, and for a failure, which sets the last
// error (a title's length leaves it alone).
extern "C" int WINAPI GetWindowTextLengthA(HWND window) {
    if (auto error = detail::Enter(sim::Api::GetWindowTextLengthA)) {
        SetError(*error);
        return 0;
    }
    const std::string* title = WindowTitle(window);
    return title != nullptr ? static_cast<int>(title->size()) : 0;
}

// The title cut to the buffer, with its terminator; the characters copied.
extern "C" int WINAPI GetWindowTextA(HWND window, LPSTR buffer, int size) {
    if (auto error = detail::Enter(sim::Api::GetWindowTextA)) {
        SetError(*error);
        return 0;
    }
    const std::string* title = WindowTitle(window);
    if (title == nullptr || buffer == nullptr || size <= 0) {
        if (title != nullptr) SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t count = std::min(title->size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, title->data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

extern "C" LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    sim::Machine& m = Current();
    auto& handles = WindowHandles();
    auto found = handles.find(reinterpret_cast<uintptr_t>(window));
    sim::Event event(sim::Api::SendMessageA);
    event.target = found != handles.end() ? found->second : "";
    event.windowMessage = message;
    (void)wParam;
    (void)lParam;
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        return 0;
    }
    size_t index = m.windowTitles.size();
    if (found != handles.end())
        for (size_t i = 0; i < m.windowTitles.size(); ++i)
            if (m.windowTitles[i] == found->second) index = i;
    if (index == m.windowTitles.size()) {
        detail::LogFailure(std::move(event), ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    detail::Log(std::move(event));
    // The companion program closes its window when asked.
    if (message == WM_CLOSE) {
        m.windowTitles.erase(m.windowTitles.begin() + static_cast<long>(index));
        handles.erase(found);
    }
    return 0;
}

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    sim::Event event(sim::Api::MessageBoxA);
    event.message = text ? text : "";
    event.caption = caption ? caption : "";
    event.boxType = type;
    if (auto error = detail::Enter(event.api)) {
        detail::LogFailure(std::move(event), *error);
        return 0;
    }
    detail::Log(std::move(event));
    return Current().messageBoxAnswer;
}
