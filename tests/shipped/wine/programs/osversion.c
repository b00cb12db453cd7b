/* Records what GetVersionExA reports in the prefix, so that a scenario can
 * tell that Wine really plays the Windows version it asked for:
 * "<platform> <major>.<minor> <service-pack text>". */
#include <windows.h>

#include "log.h"

int main(void) {
    OSVERSIONINFOA info;
    char line[300];
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
        AppendLog("osversion.log", "failed");
        return 1;
    }
    snprintf(line, sizeof line, "%lu %lu.%lu %s", info.dwPlatformId, info.dwMajorVersion,
             info.dwMinorVersion, info.szCSDVersion);
    AppendLog("osversion.log", line);
    return 0;
}
