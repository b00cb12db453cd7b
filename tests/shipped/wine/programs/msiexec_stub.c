/* Stands in for the Windows Installer under Wine: records the command line
 * it was started with and ends at once. Installed as system32\msiexec.exe
 * with WINEDLLOVERRIDES=msiexec.exe=n, so ShellExecuteA("MsiExec.exe")
 * starts it instead of Wine's own. */
#include <windows.h>

#include "log.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    AppendLog("msiexec.log", GetCommandLineA());
    return 0;
}
