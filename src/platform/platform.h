// The one door to the platform.
//
// Product code includes this header and nothing else of the platform. On
// Windows it is the real SDK (ANSI API: UNICODE is never defined; the
// device setup calls and the registry's W functions, which the collector
// calls by name, are looked up at run time). On any
// other host it declares the same types, constants and functions, with the
// same names and signatures and the 32-bit structure layouts, and a simulated
// Windows machine (src/platform/sim) serves the calls.
//
// Besides the Win32 names it offers the helpers that every subsystem builds
// its names and comparisons with: FormatText, LocaleTextEqual and SameGuid.
#pragma once

#include <string>

#ifdef _WIN32

#ifdef UNICODE
#error "the program uses the ANSI API only"
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

// The device setup calls, looked up at run time
// (src/platform/win32/setupapi.cpp): Windows 98 must load the program
// whether or not its setupapi.dll is there and has every call. A missing DLL
// or call fails in the call's own way with ERROR_CALL_NOT_IMPLEMENTED.
extern "C" HINF WINAPI ZavSetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
extern "C" BOOL WINAPI ZavSetupGetLineByIndexA(HINF InfHandle, PCSTR Section, DWORD Index,
                                               PINFCONTEXT Context);
extern "C" BOOL WINAPI ZavSetupGetLineTextA(PINFCONTEXT Context, HINF InfHandle, PCSTR Section,
                                            PCSTR Key, PSTR ReturnBuffer, DWORD ReturnBufferSize,
                                            PDWORD RequiredSize);
extern "C" void WINAPI ZavSetupCloseInfFile(HINF InfHandle);
extern "C" BOOL WINAPI ZavSetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName,
                                              DWORD ClassNameSize, PDWORD RequiredSize);
extern "C" BOOL WINAPI ZavSetupDiClassGuidsFromNameExA(PCSTR ClassName, LPGUID ClassGuidList,
                                                       DWORD ClassGuidListSize,
                                                       PDWORD RequiredSize, PCSTR MachineName,
                                                       PVOID Reserved);
extern "C" HDEVINFO WINAPI ZavSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator,
                                                   HWND hwndParent, DWORD Flags);
extern "C" BOOL WINAPI ZavSetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                                PSP_DEVINFO_DATA DeviceInfoData);
extern "C" BOOL WINAPI ZavSetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet,
                                                      PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSTR DeviceInstanceId,
                                                      DWORD DeviceInstanceIdSize,
                                                      PDWORD RequiredSize);
extern "C" BOOL WINAPI ZavSetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                            PSP_DEVINFO_DATA DeviceInfoData,
                                                            DWORD Property,
                                                            PDWORD PropertyRegDataType,
                                                            PBYTE PropertyBuffer,
                                                            DWORD PropertyBufferSize,
                                                            PDWORD RequiredSize);
extern "C" BOOL WINAPI ZavSetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
extern "C" BOOL WINAPI ZavSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
#define SetupOpenInfFileA ZavSetupOpenInfFileA
#define SetupGetLineByIndexA ZavSetupGetLineByIndexA
#define SetupGetLineTextA ZavSetupGetLineTextA
#define SetupCloseInfFile ZavSetupCloseInfFile
#define SetupDiGetINFClassA ZavSetupDiGetINFClassA
#define SetupDiClassGuidsFromNameExA ZavSetupDiClassGuidsFromNameExA
#define SetupDiGetClassDevsA ZavSetupDiGetClassDevsA
#define SetupDiEnumDeviceInfo ZavSetupDiEnumDeviceInfo
#define SetupDiGetDeviceInstanceIdA ZavSetupDiGetDeviceInstanceIdA
#define SetupDiGetDeviceRegistryPropertyA ZavSetupDiGetDeviceRegistryPropertyA
#define SetupDiRemoveDevice ZavSetupDiRemoveDevice
#define SetupDiDestroyDeviceInfoList ZavSetupDiDestroyDeviceInfoList

// The registry's W functions, looked up at run time as well
// (src/platform/win32/advapi_wide.cpp): Windows 95/98 do not implement
// them, and their loader would refuse an exe that imports one it lacks. A
// function that is not there fails with ERROR_CALL_NOT_IMPLEMENTED, as the
// stubs of Windows 98's advapi32 do.
extern "C" LONG WINAPI ZavRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                        REGSAM samDesired, PHKEY phkResult);
extern "C" LONG WINAPI ZavRegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName,
                                        LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                                        LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
extern "C" LONG WINAPI ZavRegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                        LPDWORD lpcchValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
extern "C" LONG WINAPI ZavRegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                           LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                           LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                           LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor,
                                           PFILETIME lpftLastWriteTime);
#define RegOpenKeyExW ZavRegOpenKeyExW
#define RegEnumKeyExW ZavRegEnumKeyExW
#define RegEnumValueW ZavRegEnumValueW
#define RegQueryInfoKeyW ZavRegQueryInfoKeyW

#else  // host: declarations of the Win32 names the two programs use

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef unsigned int* PUINT;
typedef uint8_t BYTE;
typedef uint8_t* LPBYTE;
typedef uint8_t* PBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t* LPDWORD;
typedef uint32_t* PDWORD;
typedef int32_t LONG;
typedef int32_t* PLONG;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef DWORD LCID;
typedef char CHAR;
// UTF-16 units, as wchar_t is on Windows (on this host wchar_t is wider).
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef const char* LPCCH;
typedef BOOL* LPBOOL;
typedef DWORD REGSAM;
typedef char* LPSTR;
typedef char* PSTR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef const char* PCNZCH;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

struct HKEY__ { int unused; };
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HWND__ { int unused; };
typedef struct HWND__* HWND;
struct HINSTANCE__ { int unused; };
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);
typedef PVOID HINF;
typedef PVOID HDEVINFO;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    DWORD Reserved;  // ULONG_PTR on Windows; 32 bits in the 32-bit layout
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
} INFCONTEXT, *PINFCONTEXT;

#define MAX_PATH 260

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED* LPOVERLAPPED;

// Predefined keys, as the SDK spells them (sign-extended 32-bit values).
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

// Error codes.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_USER_BUFFER 1784L

// Device setup (SETUPAPI) error codes: APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n.
#define ERROR_EXPECTED_SECTION_NAME 0xE0000000UL
#define ERROR_BAD_SECTION_NAME_LINE 0xE0000001UL
#define ERROR_SECTION_NAME_TOO_LONG 0xE0000002UL
#define ERROR_GENERAL_SYNTAX 0xE0000003UL
#define ERROR_WRONG_INF_STYLE 0xE0000100UL
#define ERROR_SECTION_NOT_FOUND 0xE0000101UL
#define ERROR_LINE_NOT_FOUND 0xE0000102UL
#define ERROR_NO_ASSOCIATED_CLASS 0xE0000200UL
#define ERROR_CLASS_MISMATCH 0xE0000201UL
#define ERROR_INVALID_CLASS 0xE0000206UL
#define ERROR_INVALID_REG_PROPERTY 0xE0000209UL
#define ERROR_NO_SUCH_DEVINST 0xE000020BUL

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11

// Standard and registry access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019

// Files.
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100

// Device setup.
#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_MFG 0x0000000B

// Kernel, shell and windows.
#define CP_ACP 0
#define SEM_FAILCRITICALERRORS 0x0001
#define MAX_COMPUTERNAME_LENGTH 15
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define MB_OK 0x00000000
#define MB_ICONERROR 0x00000010
#define MB_ICONINFORMATION 0x00000040
#define IDOK 1
#define IDCANCEL 2
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define WM_CLOSE 0x0010

extern "C" {

// ADVAPI32
LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData);
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LONG WINAPI RegCloseKey(HKEY hKey);

// SETUPAPI
HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
BOOL WINAPI SetupGetLineByIndexA(HINF InfHandle, PCSTR Section, DWORD Index, PINFCONTEXT Context);
BOOL WINAPI SetupGetLineTextA(PINFCONTEXT Context, HINF InfHandle, PCSTR Section, PCSTR Key,
                              PSTR ReturnBuffer, DWORD ReturnBufferSize, PDWORD RequiredSize);
void WINAPI SetupCloseInfFile(HINF InfHandle);
BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName,
                                DWORD ClassNameSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiClassGuidsFromNameExA(PCSTR ClassName, LPGUID ClassGuidList,
                                         DWORD ClassGuidListSize, PDWORD RequiredSize,
                                         PCSTR MachineName, PVOID Reserved);
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

// KERNEL32
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
int WINAPI CompareStringA(LCID Locale, DWORD dwCmpFlags, PCNZCH lpString1, int cchCount1,
                          PCNZCH lpString2, int cchCount2);
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
UINT WINAPI GetACP(void);
UINT WINAPI SetErrorMode(UINT uMode);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);

// SHELL32, USER32
HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, INT nShowCmd);
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
int WINAPI GetWindowTextLengthA(HWND hWnd);
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);

}  // extern "C"

#endif  // _WIN32

// The 32-bit layouts that the program and the platform agree on. (The
// x86_64 Windows build has a 32-byte SP_DEVINFO_DATA; the code always uses
// sizeof.)
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
#if !defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes");
#endif

// The program's own GUI entry point (src/platform/win32/start.cpp calls it
// on Windows; tests and tools call it on the host).
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

// Text built by printf-style formatting (the formats the program's paths and
// key names are made with, such as "%s\\%s").
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The locale comparison of device instance ids: CompareStringA with
// LOCALE_USER_DEFAULT and no flags (case-sensitive), each text with its
// length; equal when it reports CSTR_EQUAL.
bool LocaleTextEqual(const std::string& a, const std::string& b);

// Class GUIDs are compared on all 16 bytes.
bool SameGuid(const GUID& a, const GUID& b);
