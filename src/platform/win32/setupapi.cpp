// Windows only: the device setup calls (SETUPAPI), looked up at run time.
//
// Windows 98's setupapi.dll offers the SetupDi calls "with less function
// than on Windows 2000", and no list of its exports says which ones; an exe
// that imported a call its setupapi.dll lacks (or imported the DLL where it
// is not installed) would not load there at all: no installer removal, no
// icon cleanup, no image. Both programs therefore import nothing from
// setupapi.dll. It is loaded once, at the first device setup call, and each
// call is found by name. A missing DLL or call fails in the call's own way,
// with ERROR_CALL_NOT_IMPLEMENTED as the last error: FALSE, or
// INVALID_HANDLE_VALUE for SetupOpenInfFileA and SetupDiGetClassDevsA;
// SetupCloseInfFile has no result. The callers then take the failure as
// they take any other (the uninstaller on Windows 98 gets no device list).
//
// SetupDiClassGuidsFromNameExA is documented from Windows 2000 on; without
// it SetupDiClassGuidsFromNameA (the same lookup on the local machine)
// serves.
#ifdef _WIN32

#include "platform/platform.h"
#include "platform/win32/lookup.h"

namespace {

typedef HINF(WINAPI* OpenInfFile)(PCSTR, PCSTR, DWORD, PUINT);
typedef BOOL(WINAPI* GetLineByIndex)(HINF, PCSTR, DWORD, PINFCONTEXT);
typedef BOOL(WINAPI* GetLineText)(PINFCONTEXT, HINF, PCSTR, PCSTR, PSTR, DWORD, PDWORD);
typedef void(WINAPI* CloseInfFile)(HINF);
typedef BOOL(WINAPI* GetInfClass)(PCSTR, LPGUID, PSTR, DWORD, PDWORD);
typedef BOOL(WINAPI* ClassGuidsFromNameEx)(PCSTR, LPGUID, DWORD, PDWORD, PCSTR, PVOID);
typedef BOOL(WINAPI* ClassGuidsFromName)(PCSTR, LPGUID, DWORD, PDWORD);
typedef HDEVINFO(WINAPI* GetClassDevs)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* EnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* GetDeviceInstanceId)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD);
typedef BOOL(WINAPI* GetDeviceRegistryProperty)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
typedef BOOL(WINAPI* RemoveDevice)(HDEVINFO, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* DestroyDeviceInfoList)(HDEVINFO);

// Looked up at the first call. Zero-initialized data: the program's own
// entry point runs no static constructors (start.cpp).
struct SetupFunctions {
    bool looked;
    OpenInfFile openInfFile;
    GetLineByIndex getLineByIndex;
    GetLineText getLineText;
    CloseInfFile closeInfFile;
    GetInfClass getInfClass;
    ClassGuidsFromNameEx classGuidsFromNameEx;
    ClassGuidsFromName classGuidsFromName;
    GetClassDevs getClassDevs;
    EnumDeviceInfo enumDeviceInfo;
    GetDeviceInstanceId getDeviceInstanceId;
    GetDeviceRegistryProperty getDeviceRegistryProperty;
    RemoveDevice removeDevice;
    DestroyDeviceInfoList destroyDeviceInfoList;
};
SetupFunctions g_setup;

const SetupFunctions& Setup() {
    if (!g_setup.looked) {
        // The module handle is the program's for its whole life: every call
        // below may need it until the process ends, which releases it, so
        // it is never given back with FreeLibrary. A failed load leaves it
        // null and every function missing.
        // The loader shows no box of its own should the DLL be missing or
        // broken (the caller takes the failure as it takes any other); the
        // process's error mode is given back.
        const UINT errorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        const HMODULE setupapi = LoadLibraryA("setupapi.dll");
        SetErrorMode(errorMode);
        g_setup.openInfFile = LookupFunction<OpenInfFile>(setupapi, "SetupOpenInfFileA");
        g_setup.getLineByIndex = LookupFunction<GetLineByIndex>(setupapi, "SetupGetLineByIndexA");
        g_setup.getLineText = LookupFunction<GetLineText>(setupapi, "SetupGetLineTextA");
        g_setup.closeInfFile = LookupFunction<CloseInfFile>(setupapi, "SetupCloseInfFile");
        g_setup.getInfClass = LookupFunction<GetInfClass>(setupapi, "SetupDiGetINFClassA");
        g_setup.classGuidsFromNameEx = LookupFunction<ClassGuidsFromNameEx>(setupapi, "SetupDiClassGuidsFromNameExA");
        g_setup.classGuidsFromName = LookupFunction<ClassGuidsFromName>(setupapi, "SetupDiClassGuidsFromNameA");
        g_setup.getClassDevs = LookupFunction<GetClassDevs>(setupapi, "SetupDiGetClassDevsA");
        g_setup.enumDeviceInfo = LookupFunction<EnumDeviceInfo>(setupapi, "SetupDiEnumDeviceInfo");
        g_setup.getDeviceInstanceId = LookupFunction<GetDeviceInstanceId>(setupapi, "SetupDiGetDeviceInstanceIdA");
        g_setup.getDeviceRegistryProperty =
            LookupFunction<GetDeviceRegistryProperty>(setupapi, "SetupDiGetDeviceRegistryPropertyA");
        g_setup.removeDevice = LookupFunction<RemoveDevice>(setupapi, "SetupDiRemoveDevice");
        g_setup.destroyDeviceInfoList = LookupFunction<DestroyDeviceInfoList>(setupapi, "SetupDiDestroyDeviceInfoList");
        g_setup.looked = true;
    }
    return g_setup;
}

// The failure of a call that is not there.
BOOL NotThere() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

HANDLE NoHandle() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" HINF WINAPI ZavSetupOpenInfFileA(PCSTR fileName, PCSTR infClass, DWORD style, PUINT errorLine) {
    if (Setup().openInfFile == nullptr) return NoHandle();
    return Setup().openInfFile(fileName, infClass, style, errorLine);
}

extern "C" BOOL WINAPI ZavSetupGetLineByIndexA(HINF inf, PCSTR section, DWORD index, PINFCONTEXT context) {
    if (Setup().getLineByIndex == nullptr) return NotThere();
    return Setup().getLineByIndex(inf, section, index, context);
}

extern "C" BOOL WINAPI ZavSetupGetLineTextA(PINFCONTEXT context, HINF inf, PCSTR section, PCSTR key,
                                            PSTR buffer, DWORD size, PDWORD required) {
    if (Setup().getLineText == nullptr) return NotThere();
    return Setup().getLineText(context, inf, section, key, buffer, size, required);
}

extern "C" void WINAPI ZavSetupCloseInfFile(HINF inf) {
    // No handle can have been opened without the DLL: nothing to close.
    if (Setup().closeInfFile == nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return;
    }
    Setup().closeInfFile(inf);
}

extern "C" BOOL WINAPI ZavSetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                              DWORD classNameSize, PDWORD required) {
    if (Setup().getInfClass == nullptr) return NotThere();
    return Setup().getInfClass(infName, classGuid, className, classNameSize, required);
}

extern "C" BOOL WINAPI ZavSetupDiClassGuidsFromNameExA(PCSTR className, LPGUID classGuidList,
                                                       DWORD classGuidListSize, PDWORD requiredSize,
                                                       PCSTR machineName, PVOID reserved) {
    if (Setup().classGuidsFromNameEx != nullptr)
        return Setup().classGuidsFromNameEx(className, classGuidList, classGuidListSize, requiredSize,
                                            machineName, reserved);
    if (Setup().classGuidsFromName != nullptr && machineName == nullptr && reserved == nullptr)
        return Setup().classGuidsFromName(className, classGuidList, classGuidListSize, requiredSize);
    return NotThere();
}

extern "C" HDEVINFO WINAPI ZavSetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                                   DWORD flags) {
    if (Setup().getClassDevs == nullptr) return NoHandle();
    return Setup().getClassDevs(classGuid, enumerator, parent, flags);
}

extern "C" BOOL WINAPI ZavSetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA element) {
    if (Setup().enumDeviceInfo == nullptr) return NotThere();
    return Setup().enumDeviceInfo(set, index, element);
}

extern "C" BOOL WINAPI ZavSetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA element, PSTR id,
                                                      DWORD idSize, PDWORD required) {
    if (Setup().getDeviceInstanceId == nullptr) return NotThere();
    return Setup().getDeviceInstanceId(set, element, id, idSize, required);
}

extern "C" BOOL WINAPI ZavSetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA element,
                                                            DWORD property, PDWORD type, PBYTE buffer,
                                                            DWORD size, PDWORD required) {
    if (Setup().getDeviceRegistryProperty == nullptr) return NotThere();
    return Setup().getDeviceRegistryProperty(set, element, property, type, buffer, size, required);
}

extern "C" BOOL WINAPI ZavSetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA element) {
    if (Setup().removeDevice == nullptr) return NotThere();
    return Setup().removeDevice(set, element);
}

extern "C" BOOL WINAPI ZavSetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (Setup().destroyDeviceInfoList == nullptr) return NotThere();
    return Setup().destroyDeviceInfoList(set);
}

#endif  // _WIN32
