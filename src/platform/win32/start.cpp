// The program's entry point, in place of the mingw-w64 start code (crt2.o
// and the libmingw32 pieces it pulls in). That code is built for the
// Pentium Pro and uses CMOV, which the 486, Pentium and K6 processors that
// Windows 98 runs on lack: the exe would fault before WinMain. The program
// needs nothing it does: no static constructors or destructors, no atexit,
// no command line, no TLS, no pseudo-relocations (the link refuses
// auto-imported data; cmake/windows.cmake), and no switch of the x87 to
// extended precision (the one floating-point value, the version number, is
// only recorded). msvcrt.dll sets up its heap itself when the loader
// attaches it, so malloc works from the first call.
//
// The linker's default entry for the GUI subsystem is WinMainCRTStartup.
// Like the runtime's, it ends the process with ExitProcess and WinMain's
// result instead of returning to the loader.
#include "platform/platform.h"

extern "C" void WinMainCRTStartup() {
    char noArguments[] = "";
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, noArguments, SW_SHOWDEFAULT)));
}
