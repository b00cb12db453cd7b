// The package INF: where it lies below the Windows directory, the lines of
// its device section, and the setup class it declares.
#include "inventory/inventory.h"

#include "run/run_state.h"

#include <cstring>

namespace {

const DWORD kTextBufferSize = 256;

// WindowsDirectory as a text, never read past its 100 characters.
std::string WindowsDirectoryText() {
    size_t length = 0;
    while (length < sizeof WindowsDirectory && WindowsDirectory[length] != '\0') ++length;
    return std::string(WindowsDirectory, length);
}

bool IsOpenInf(HINF inf) { return inf != nullptr && inf != INVALID_HANDLE_VALUE; }

}  // namespace

HINF OpenDriverInf() {
    // Without the Windows directory "\inf\..." would name the root of the
    // current drive: the INF counts as not found.
    if (!IsWindowsDirectoryKnown()) return INVALID_HANDLE_VALUE;
    const std::string windows = WindowsDirectoryText();
    std::string path = FormatText("%s\\inf\\other\\%s", windows.c_str(), kDriverInfName);
    // The setup services copy a third-party INF into "inf\other" on 9x; the
    // "inf" directory is the fallback, taken without a test of its own.
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        path = FormatText("%s\\inf\\%s", windows.c_str(), kDriverInfName);
    UINT errorLine = 0;
    return SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
}

int CountInfSectionLines(HINF inf, const std::string& section) {
    // An unopened INF has no lines; its invalid handle is never handed to
    // the setup services, which dereference it without a check in some
    // implementations.
    if (!IsOpenInf(inf)) return 0;
    int count = 0;
    for (;;) {
        INFCONTEXT context;
        std::memset(&context, 0, sizeof context);
        if (SetupGetLineByIndexA(inf, section.c_str(), static_cast<DWORD>(count), &context) != TRUE)
            break;
        ++count;
    }
    return count;
}

bool ReadInfLineField(HINF inf, const std::string& section, int lineIndex, std::string& field) {
    if (!IsOpenInf(inf) || lineIndex < 0) return false;
    INFCONTEXT context;
    std::memset(&context, 0, sizeof context);
    if (!SetupGetLineByIndexA(inf, section.c_str(), static_cast<DWORD>(lineIndex), &context))
        return false;

    char line[kTextBufferSize];
    std::memset(line, 0, sizeof line);
    DWORD required = 0;
    // Compact form: the line's values without the key, separated by single
    // commas. A line that needs more than the buffer fails here.
    if (!SetupGetLineTextA(&context, nullptr, nullptr, nullptr, line, kTextBufferSize, &required))
        return false;

    // The second value: from the first comma to the second one or the end.
    char value[kTextBufferSize];
    std::memset(value, 0, sizeof value);
    size_t length = 0;
    bool inField = false;
    for (size_t i = 0; i < kTextBufferSize; ++i) {
        const char c = line[i];
        if (c == '\0') break;
        if (c == ',') {
            if (inField) break;
            inField = true;
            continue;
        }
        // Position 0 is never kept, so at most 255 characters arrive here.
        if (inField && length < kTextBufferSize - 1) value[length++] = c;
    }
    value[length] = '\0';
    field.assign(value, length);
    return true;
}

void CloseDriverInf(HINF inf) {
    if (IsOpenInf(inf)) SetupCloseInfFile(inf);
}

bool GetDriverInfClassGuid(GUID& classGuid) {
    if (!IsWindowsDirectoryKnown()) return false;
    const std::string windows = WindowsDirectoryText();

    GUID local;
    std::memset(&local, 0, sizeof local);
    char className[kTextBufferSize];
    std::memset(className, 0, sizeof className);

    std::string path = FormatText("%s\\inf\\Other\\%s", windows.c_str(), kDriverInfName);
    bool found = SetupDiGetINFClassA(path.c_str(), &local, className, kTextBufferSize, nullptr) != 0;
    if (!found) {
        // A failed call may have left anything in the buffers.
        std::memset(&local, 0, sizeof local);
        std::memset(className, 0, sizeof className);
        path = FormatText("%s\\inf\\%s", windows.c_str(), kDriverInfName);
        found = SetupDiGetINFClassA(path.c_str(), &local, className, kTextBufferSize, nullptr) != 0;
    }
    if (!found) return false;
    className[kTextBufferSize - 1] = '\0';

    // The class the system has registered under the INF's class name
    // overwrites the GUID the INF declares; a name that is not registered
    // succeeds without storing anything, and the INF's own GUID stays. More
    // than one registered class of that name does not fit the list of one and
    // fails.
    DWORD required = 0;
    if (!SetupDiClassGuidsFromNameExA(className, &local, 1, &required, nullptr, nullptr))
        return false;
    classGuid = local;
    return true;
}
