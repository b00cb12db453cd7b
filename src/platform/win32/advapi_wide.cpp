// Windows only: the registry's W functions, looked up at run time.
//
// The NT family keeps key and value names in Unicode, and its A functions
// turn a character outside the ANSI code page into "?": the collector reads
// the NT registry through the W functions. Windows 95/98 do not implement
// them, and an exe that imported one its advapi32.dll lacks would not load
// there at all. They are therefore found with GetProcAddress; one that is
// missing fails with ERROR_CALL_NOT_IMPLEMENTED, as the stubs of Windows 98
// do, and the caller goes on with the A functions.
#ifdef _WIN32

#include "platform/platform.h"
#include "platform/win32/lookup.h"

namespace {

typedef LONG(WINAPI* OpenKeyW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI* EnumKeyW)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME);
typedef LONG(WINAPI* EnumValueW)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI* QueryInfoW)(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                 LPDWORD, LPDWORD, LPDWORD, PFILETIME);

// Looked up at the first call. Zero-initialized data: the program's own
// entry point runs no static constructors (start.cpp).
struct WideFunctions {
    bool looked;
    OpenKeyW openKey;
    EnumKeyW enumKey;
    EnumValueW enumValue;
    QueryInfoW queryInfo;
};
WideFunctions g_wide;

const WideFunctions& Wide() {
    if (!g_wide.looked) {
        // advapi32.dll is loaded already: the program imports its A functions.
        if (HMODULE advapi = GetModuleHandleA("advapi32.dll")) {
            g_wide.openKey = LookupFunction<OpenKeyW>(advapi, "RegOpenKeyExW");
            g_wide.enumKey = LookupFunction<EnumKeyW>(advapi, "RegEnumKeyExW");
            g_wide.enumValue = LookupFunction<EnumValueW>(advapi, "RegEnumValueW");
            g_wide.queryInfo = LookupFunction<QueryInfoW>(advapi, "RegQueryInfoKeyW");
        }
        g_wide.looked = true;
    }
    return g_wide;
}

}  // namespace

extern "C" LONG WINAPI ZavRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                        PHKEY result) {
    if (Wide().openKey == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    return Wide().openKey(key, subKey, options, access, result);
}

extern "C" LONG WINAPI ZavRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                        LPDWORD reserved, LPWSTR className, LPDWORD classLength,
                                        PFILETIME lastWrite) {
    if (Wide().enumKey == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    return Wide().enumKey(key, index, name, nameLength, reserved, className, classLength, lastWrite);
}

extern "C" LONG WINAPI ZavRegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                        LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (Wide().enumValue == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    return Wide().enumValue(key, index, name, nameLength, reserved, type, data, size);
}

extern "C" LONG WINAPI ZavRegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength,
                                           LPDWORD reserved, LPDWORD subKeys, LPDWORD longestSubKey,
                                           LPDWORD longestClass, LPDWORD values,
                                           LPDWORD longestValueName, LPDWORD longestValue,
                                           LPDWORD securityDescriptor, PFILETIME lastWrite) {
    if (Wide().queryInfo == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    return Wide().queryInfo(key, className, classLength, reserved, subKeys, longestSubKey, longestClass,
                            values, longestValueName, longestValue, securityDescriptor, lastWrite);
}

#endif  // _WIN32
