// Windows only: a function of a system DLL found by name at run time.
#pragma once

#ifdef _WIN32

#include "platform/platform.h"

template <typename Function>
Function LookupFunction(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    // FARPROC to the real signature, through an object pointer.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

#endif  // _WIN32
