// The program's entry point, in place of the mingw-w64 start code (crt2.o
// and the libmingw32 pieces it pulls in). That code is built for the
// Pentium Pro and uses CMOV, which the 486, Pentium and K6 processors that
// Windows 98 runs on lack: the exe would fault before WinMain. The program
// needs nothing it does: no static constructors or destructors, no atexit,
// no command line, no TLS, and no pseudo-relocations (the link refuses
// auto-imported data; cmake/windows.cmake). msvcrt.dll sets up its heap
// itself when the loader attaches it, so malloc works from the first call.
//
// The linker's default entry for the GUI subsystem is WinMainCRTStartup.
// It never returns: the loaders of Windows 9x and NT both expect the process
// to end with ExitProcess.
#include "platform/platform.h"

extern "C" void WinMainCRTStartup() {
    char noArguments[] = "";
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, noArguments, SW_SHOWDEFAULT)));
}
