// Windows only: the one device setup call that is looked up at run time.
//
// SetupDiClassGuidsFromNameExA is documented from Windows 2000 on. Were it a
// static import, a Windows 98 whose setupapi.dll lacks it would refuse to
// load the program at all. It is therefore found with GetProcAddress, with
// SetupDiClassGuidsFromNameA (the same lookup on the local machine) as the
// fallback; when neither exists the lookup fails like any failed class
// lookup, and the caller's default class applies.
#ifdef _WIN32

#include "platform/platform.h"

namespace {

typedef BOOL(WINAPI* ClassGuidsFromNameEx)(PCSTR, LPGUID, DWORD, PDWORD, PCSTR, PVOID);
typedef BOOL(WINAPI* ClassGuidsFromName)(PCSTR, LPGUID, DWORD, PDWORD);

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    // FARPROC to the real signature, through an object pointer.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

extern "C" BOOL WINAPI ZavSetupDiClassGuidsFromNameExA(PCSTR className, LPGUID classGuidList,
                                                       DWORD classGuidListSize,
                                                       PDWORD requiredSize, PCSTR machineName,
                                                       PVOID reserved) {
    // setupapi.dll is loaded already: the program imports its other calls.
    HMODULE setupapi = GetModuleHandleA("setupapi.dll");
    if (setupapi != nullptr) {
        if (ClassGuidsFromNameEx ex =
                Lookup<ClassGuidsFromNameEx>(setupapi, "SetupDiClassGuidsFromNameExA"))
            return ex(className, classGuidList, classGuidListSize, requiredSize, machineName,
                      reserved);
        if (machineName == nullptr && reserved == nullptr) {
            if (ClassGuidsFromName plain =
                    Lookup<ClassGuidsFromName>(setupapi, "SetupDiClassGuidsFromNameA"))
                return plain(className, classGuidList, classGuidListSize, requiredSize);
        }
    }
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

#endif  // _WIN32
