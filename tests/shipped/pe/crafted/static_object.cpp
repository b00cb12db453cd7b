// Not part of any program: the crafted exe of the static constructor
// check, built by the win32 preset with the shipped exes' flags
// (build/win32/crafted/static_object.exe). Its one static object has a
// constructor, which the check of tests/shipped/pe must find. (A static
// destructor cannot even be linked so: the constructor would register it
// with atexit, which lives in the start code the programs leave out.)
#include "platform/platform.h"

namespace {

struct Counter {
    Counter() : value(GetTickCount()) {}
    DWORD value;
};

Counter g_counter;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return static_cast<int>(g_counter.value & 1); }
