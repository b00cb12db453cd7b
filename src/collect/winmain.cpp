// The Windows exe's entry: the collector on the process's command line
// (start.cpp passes WinMain none). Built into zavcollect.exe only; the host
// runs RunCollector itself.
#include "collect/collect.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunCollector(GetCommandLineA()); }
