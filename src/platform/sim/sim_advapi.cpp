// ADVAPI32's registry functions over the active machine's registry
// (sim_registry.cpp holds the model).
//
// The ANSI functions convert the names they take and give through the
// machine's code page: on the NT family the registry is Unicode and advapi32
// converts; on the 9x family the registry holds code-page bytes, which map
// to Unicode one to one, so the same conversion gives the same names. A name
// the code page cannot spell reads with "?" (or a look-alike) and is then no
// longer found by what was read. Subkeys enumerate in the family's order
// (NT: sorted case-insensitively; 9x: as stored), values in creation order.
// The W functions take and give names in UTF-16 (the registry's Unicode
// names exactly) and string data widened from the code page; they exist on
// the NT family only (Windows 95/98: ERROR_CALL_NOT_IMPLEMENTED).
// Handles are entries of Machine::Internal::keys; the predefined keys are no
// entries and are never counted as open handles.
#include "platform/sim/sim_internal.h"

#include <algorithm>
#include <cstring>

namespace {

using sim::Api;
using sim::RegKey;

// The key a handle stands for: a predefined root (found in the active
// machine's registry) or an open handle. A handle whose key has been deleted
// since it was opened gives ERROR_KEY_DELETED (both families).
LONG ResolveHandle(HKEY handle, std::shared_ptr<RegKey>* key) {
    sim::Machine& m = sim::Current();
    if (RegKey* root = m.registry.Root(handle)) {
        *key = m.registry.Hold(*root);
        return ERROR_SUCCESS;
    }
    const auto it = sim::State().keys.find(reinterpret_cast<uintptr_t>(handle));
    if (it == sim::State().keys.end()) return ERROR_INVALID_HANDLE;
    if (it->second->deleted) return ERROR_KEY_DELETED;
    *key = it->second;
    return ERROR_SUCCESS;
}

// An ANSI name or path as the registry holds it. In the single-byte code
// pages the backslash is never part of another character, so a path may be
// converted whole.
std::string Unicode(LPCSTR ansi) { return sim::AnsiToUtf8(sim::Current().codePage, ansi); }

// A UTF-16 name or path as the registry holds it.
std::string Unicode(LPCWSTR wide) {
    size_t length = 0;
    while (wide[length] != 0) ++length;
    return sim::Utf16leToUtf8(std::string_view(reinterpret_cast<const char*>(wide), 2 * length));
}

// A sub-path below an open key (Unicode; null for NULL), split at single
// backslashes. NULL and "" name the key itself. A leading backslash is
// ERROR_BAD_PATHNAME (NT and 9x alike); trailing backslashes are ignored
// ("Enum\USB\" is Enum\USB). An empty name in the middle ("A\\B") names no
// key: ERROR_FILE_NOT_FOUND.
LONG SplitSubPath(const std::string* subKey, std::vector<std::string>* names) {
    names->clear();
    if (subKey == nullptr || subKey->empty()) return ERROR_SUCCESS;
    if ((*subKey)[0] == '\\') return ERROR_BAD_PATHNAME;
    return sim::SplitKeyNames(*subKey, names) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG SplitSubPath(LPCSTR subKey, std::vector<std::string>* names) {
    const std::string unicode = subKey != nullptr ? Unicode(subKey) : std::string();
    return SplitSubPath(subKey != nullptr ? &unicode : nullptr, names);
}

// Whether the key's security keeps this program out, or refuses a right of
// `access` (NT; the 9x family has no security on keys).
bool Denied(const RegKey& key, REGSAM access = 0) {
    return (key.deniedAccess == sim::kNoAccess || (access & key.deniedAccess) != 0) &&
           sim::Current().family() == sim::Family::NT;
}

// Walks `names` down from `base`. On failure `*key` is the deepest key found
// and `*matched` how many names it took.
LONG Walk(const std::shared_ptr<RegKey>& base, const std::vector<std::string>& names,
          std::shared_ptr<RegKey>* key, size_t* matched) {
    *key = base;
    *matched = 0;
    for (const auto& name : names) {
        RegKey* next = sim::SubkeyOf(**key, name);
        if (next == nullptr) return ERROR_FILE_NOT_FOUND;
        *key = std::shared_ptr<RegKey>(base, next);  // the same store as the base's
        ++*matched;
    }
    return ERROR_SUCCESS;
}

// The last-write time every key reports: a fixed value, so that runs repeat
// exactly.
void SetLastWriteTime(PFILETIME time) {
    time->dwLowDateTime = 0x5A5A0000;
    time->dwHighDateTime = 0x01C07385;
}

// A name as a function of one kind gives it: ANSI bytes through the
// machine's code page, or UTF-16LE units (two bytes each).
std::string NameText(const std::string& name, bool wide) {
    return wide ? sim::Utf8ToUtf16le(name) : sim::Utf8ToAnsi(sim::Current().codePage, name);
}

// Writes a name with its terminator into a buffer of `cch` characters: its
// length in *length, or ERROR_MORE_DATA and the buffer untouched when it
// does not fit (both families).
LONG PutName(const std::string& text, bool wide, void* buffer, DWORD cch, DWORD* length) {
    const size_t unit = wide ? 2 : 1;
    const size_t count = text.size() / unit;
    if (buffer == nullptr) return ERROR_INVALID_PARAMETER;
    if (count + 1 > cch) return ERROR_MORE_DATA;
    std::memcpy(buffer, text.data(), text.size());
    std::memset(static_cast<char*>(buffer) + text.size(), 0, unit);
    *length = static_cast<DWORD>(count);
    return ERROR_SUCCESS;
}

// A subkey name for the enumeration functions. The 9x family enumerates the
// subkeys in the order it stores them, NT sorted.
LONG EnumName(HKEY hKey, DWORD index, bool wide, void* name, DWORD cch, DWORD* length) {
    std::shared_ptr<RegKey> key;
    if (LONG error = ResolveHandle(hKey, &key)) return error;
    const RegKey* sub = key->EnumeratedSubkey(index, sim::Current().family());
    if (sub == nullptr) return ERROR_NO_MORE_ITEMS;
    return PutName(NameText(sub->name, wide), wide, name, cch, length);
}

// A value's data as a function of one kind gives it: the W functions give
// string data in UTF-16LE, each byte of the code page widened (the
// registry holds it as the ANSI functions see it).
std::vector<uint8_t> DataOf(const sim::RegValue& value, bool wide) {
    const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (!wide || !text) return std::vector<uint8_t>(value.data.begin(), value.data.end());
    const std::string units = sim::AnsiToUtf16le(
        sim::Current().codePage, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()));
    return std::vector<uint8_t>(units.begin(), units.end());
}

// The W functions exist on the NT family only; Windows 95/98 export stubs
// that fail.
bool NoWideFunctions() { return sim::Current().family() != sim::Family::NT; }

// A new handle on the key `subKey` (Unicode; null for NULL) names below
// `hKey`. NULL and "" name that key itself: a new handle on it, or with
// `sameHandle` the handle passed in. On failure the result is NULL.
LONG OpenKey(HKEY hKey, const std::string* subKey, bool sameHandle, REGSAM access, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<RegKey> base;
    if (LONG error = ResolveHandle(hKey, &base)) return error;
    std::vector<std::string> names;
    if (LONG error = SplitSubPath(subKey, &names)) return error;
    if (names.empty() && sameHandle) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<RegKey> key;
    size_t matched = 0;
    if (LONG error = Walk(base, names, &key, &matched)) return error;
    if (Denied(*key, access)) return ERROR_ACCESS_DENIED;
    const uintptr_t handle = sim::State().NewHandle();
    sim::State().keys[handle] = key;
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// RegEnumValueA/W. Too small a name buffer: ERROR_MORE_DATA, nothing
// written and *lpcbData left as it was. Too small a data buffer:
// ERROR_MORE_DATA with the size needed in *lpcbData and the buffer's
// contents undefined (filled with 0xCD here, as RegQueryValueExA does).
// No buffer with a size pointer: the size alone.
LONG EnumValue(HKEY hKey, DWORD index, bool wide, void* name, LPDWORD cchName, LPDWORD reserved,
               LPDWORD type, LPBYTE data, LPDWORD cbData) {
    if (name == nullptr || cchName == nullptr || reserved != nullptr || (data != nullptr && cbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = ResolveHandle(hKey, &key)) return error;
    if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const sim::RegValue& value = key->values[index];
    const std::string text = NameText(value.name, wide);
    if (text.size() / (wide ? 2 : 1) + 1 > *cchName) return ERROR_MORE_DATA;
    const std::vector<uint8_t> bytes = DataOf(value, wide);
    const DWORD size = static_cast<DWORD>(bytes.size());
    if (data != nullptr && size > *cbData) {
        std::memset(data, 0xCD, *cbData);
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    PutName(text, wide, name, *cchName, cchName);
    if (type != nullptr) *type = value.type;
    if (data != nullptr && size > 0) std::memcpy(data, bytes.data(), size);
    if (cbData != nullptr) *cbData = size;
    return ERROR_SUCCESS;
}

// RegQueryInfoKeyA/W: the counts of subkeys and values, and the longest
// subkey name and value name in characters without the terminator (bytes
// for the A functions, UTF-16 units for the W ones) and the longest data in
// bytes. No key has a class, and the simulator keeps no security
// descriptors (size 0).
LONG QueryInfo(HKEY hKey, bool wide, void* className, LPDWORD cchClass, LPDWORD reserved,
               LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
               LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
               PFILETIME lastWriteTime) {
    if (reserved != nullptr || (className != nullptr && cchClass == nullptr)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = ResolveHandle(hKey, &key)) return error;
    const size_t unit = wide ? 2 : 1;
    size_t longestSubKey = 0, longestName = 0, longestData = 0;
    for (const auto& sub : key->subkeys) longestSubKey = std::max(longestSubKey, NameText(sub->name, wide).size() / unit);
    for (const sim::RegValue& value : key->values) {
        longestName = std::max(longestName, NameText(value.name, wide).size() / unit);
        longestData = std::max(longestData, DataOf(value, wide).size());
    }
    if (className != nullptr && *cchClass > 0) std::memset(className, 0, unit);
    if (cchClass != nullptr) *cchClass = 0;
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(key->subkeys.size());
    if (maxSubKeyLen != nullptr) *maxSubKeyLen = static_cast<DWORD>(longestSubKey);
    if (maxClassLen != nullptr) *maxClassLen = 0;
    if (values != nullptr) *values = static_cast<DWORD>(key->values.size());
    if (maxValueNameLen != nullptr) *maxValueNameLen = static_cast<DWORD>(longestName);
    if (maxValueLen != nullptr) *maxValueLen = static_cast<DWORD>(longestData);
    if (securityDescriptor != nullptr) *securityDescriptor = 0;
    if (lastWriteTime != nullptr) SetLastWriteTime(lastWriteTime);
    return ERROR_SUCCESS;
}

// The three opens: the call entered, the W function refused on the 9x
// family, the options checked (RegOpenKeyA has none), the sub-path taken
// to Unicode.
template <typename Char>
LONG OpenCall(Api api, HKEY hKey, const Char* subKey, DWORD options, REGSAM access, bool sameHandle,
              PHKEY phkResult) {
    if (auto e = sim::detail::Enter(api)) {
        if (phkResult != nullptr) *phkResult = nullptr;
        return static_cast<LONG>(*e);
    }
    if (api == Api::RegOpenKeyExW && NoWideFunctions()) return ERROR_CALL_NOT_IMPLEMENTED;
    if (options != 0) return ERROR_INVALID_PARAMETER;
    const std::string unicode = subKey != nullptr ? Unicode(subKey) : std::string();
    return OpenKey(hKey, subKey != nullptr ? &unicode : nullptr, sameHandle, access, phkResult);
}

}  // namespace

// RegOpenKeyA, as documented for it (unlike RegOpenKeyExA): a NULL or empty
// sub-path returns the very handle passed in, predefined or not, and opens
// nothing new, so no handle is added to close. On failure the result is
// set to NULL.
extern "C" LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    // No access is named: the key opens with what its security grants.
    return OpenCall(Api::RegOpenKeyA, hKey, lpSubKey, 0, 0, true, phkResult);
}

// RegOpenKeyExA/W: unlike RegOpenKeyA, a NULL or empty sub-path opens a new
// handle on the key itself. The options must be 0; the access asked for is
// what the key's security is checked against: a key that denies this
// program every access refuses any, one that denies a right refuses an open
// asking for it (NT).
extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult) {
    return OpenCall(Api::RegOpenKeyExA, hKey, lpSubKey, ulOptions, samDesired, false, phkResult);
}

extern "C" LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult) {
    return OpenCall(Api::RegOpenKeyExW, hKey, lpSubKey, ulOptions, samDesired, false, phkResult);
}

extern "C" LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumKeyA)) return static_cast<LONG>(*e);
    DWORD length = 0;
    return EnumName(hKey, dwIndex, false, lpName, cchName, &length);
}

// *lpcchName changes only on success (the name's length without its
// terminator). No key has a class: a class buffer receives "" when one is
// given. The last-write time is a fixed value, the same for every key.
namespace {

LONG EnumKeyEx(HKEY hKey, DWORD dwIndex, bool wide, void* lpName, LPDWORD lpcchName, LPDWORD lpReserved,
               void* lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpcchName == nullptr || lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
        return ERROR_INVALID_PARAMETER;
    DWORD length = 0;
    if (LONG error = EnumName(hKey, dwIndex, wide, lpName, *lpcchName, &length)) return error;
    *lpcchName = length;
    if (lpClass != nullptr && *lpcchClass > 0) std::memset(lpClass, 0, wide ? 2 : 1);
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) SetLastWriteTime(lpftLastWriteTime);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumKeyExA)) return static_cast<LONG>(*e);
    return EnumKeyEx(hKey, dwIndex, false, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                     lpftLastWriteTime);
}

extern "C" LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumKeyExW)) return static_cast<LONG>(*e);
    if (NoWideFunctions()) return ERROR_CALL_NOT_IMPLEMENTED;
    return EnumKeyEx(hKey, dwIndex, true, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                     lpftLastWriteTime);
}

extern "C" LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumValueA)) return static_cast<LONG>(*e);
    return EnumValue(hKey, dwIndex, false, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

extern "C" LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumValueW)) return static_cast<LONG>(*e);
    if (NoWideFunctions()) return ERROR_CALL_NOT_IMPLEMENTED;
    return EnumValue(hKey, dwIndex, true, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

extern "C" LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (auto e = sim::detail::Enter(sim::Api::RegQueryInfoKeyA)) return static_cast<LONG>(*e);
    return QueryInfo(hKey, false, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                     lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

extern "C" LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                        LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (auto e = sim::detail::Enter(sim::Api::RegQueryInfoKeyW)) return static_cast<LONG>(*e);
    if (NoWideFunctions()) return ERROR_CALL_NOT_IMPLEMENTED;
    return QueryInfo(hKey, true, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                     lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

// Too small a buffer: ERROR_MORE_DATA with the size needed in *lpcbData. The
// buffer's contents are then undefined on both families; the simulator fills
// all *lpcbData bytes given with 0xCD so that a caller that reads the buffer
// after a failed query is caught (there is no terminator in it).
extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (auto e = sim::detail::Enter(sim::Api::RegQueryValueExA)) return static_cast<LONG>(*e);
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    if (LONG error = ResolveHandle(hKey, &key)) return error;
    const sim::RegValue* value = key->FindValue(lpValueName == nullptr ? "" : Unicode(lpValueName));
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = value->type;
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    if (lpData != nullptr && size > *lpcbData) {
        std::memset(lpData, 0xCD, *lpcbData);
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr && size > 0) std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

// Creates or replaces the value; NULL data with size 0 stores an empty value.
// NULL data with a non-zero size is refused (ERROR_INVALID_PARAMETER here;
// NT reports an access fault code). Every attempt is logged, refused ones too.
extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE* lpData, DWORD cbData) {
    (void)Reserved;
    sim::Event event(sim::Api::RegSetValueExA);
    event.valueName = lpValueName == nullptr ? "" : Unicode(lpValueName);  // the name as stored
    event.newValue = sim::RegValue{event.valueName, dwType, {}};
    if (lpData != nullptr) event.newValue->data.assign(lpData, lpData + cbData);

    std::shared_ptr<RegKey> key;
    LONG error = ERROR_SUCCESS;
    const auto fault = sim::detail::Enter(event.api);
    {
        const auto it = sim::State().keys.find(reinterpret_cast<uintptr_t>(hKey));
        if (RegKey* root = sim::Current().registry.Root(hKey)) event.target = sim::KeyPath(*root);
        else if (it != sim::State().keys.end()) event.target = sim::KeyPath(*it->second);
    }
    if (fault) error = static_cast<LONG>(*fault);
    else if (lpData == nullptr && cbData != 0) error = ERROR_INVALID_PARAMETER;
    else error = ResolveHandle(hKey, &key);

    if (error == ERROR_SUCCESS) {
        if (sim::RegValue* old = key->FindValue(event.valueName)) {
            event.oldValue = *old;
            old->type = dwType;
            old->data = event.newValue->data;  // the name keeps the case it was created with
        } else {
            key->values.push_back(*event.newValue);
        }
    }
    event.ok = error == ERROR_SUCCESS;
    event.error = static_cast<DWORD>(error);
    sim::detail::Log(std::move(event));
    return error;
}

// Win9x deletes the named key with everything below it. NT refuses a key
// that has subkeys with ERROR_ACCESS_DENIED and changes nothing. A predefined
// root is never deleted (ERROR_ACCESS_DENIED). A NULL sub-path is
// ERROR_INVALID_PARAMETER; an empty one names the key of the handle itself,
// which NT then deletes as it opens the named key relative to the handle.
// Every attempt is logged, with the path as far as it could be resolved.
extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    sim::Event event(sim::Api::RegDeleteKeyA);
    const auto fault = sim::detail::Enter(event.api);

    std::shared_ptr<RegKey> base;
    std::shared_ptr<RegKey> key;
    std::vector<std::string> names;
    LONG error = lpSubKey == nullptr ? ERROR_INVALID_PARAMETER : ResolveHandle(hKey, &base);
    if (error == ERROR_SUCCESS) error = SplitSubPath(lpSubKey, &names);
    if (base) {
        size_t matched = 0;
        const LONG walked = Walk(base, names, &key, &matched);
        event.target = sim::KeyPath(*key);
        for (size_t i = matched; i < names.size(); ++i) event.target += "\\" + names[i];
        if (walked == ERROR_SUCCESS) event.subkeys = static_cast<uint32_t>(key->subkeys.size());
        if (error == ERROR_SUCCESS) error = walked;
    } else if (lpSubKey != nullptr) {
        event.target = Unicode(lpSubKey);
    }
    if (fault) error = static_cast<LONG>(*fault);
    if (error == ERROR_SUCCESS) {
        if (key->parent == nullptr || Denied(*key)) error = ERROR_ACCESS_DENIED;
        else if (sim::Current().family() == sim::Family::NT && !key->subkeys.empty())
            error = ERROR_ACCESS_DENIED;
    }
    if (error == ERROR_SUCCESS) {
        event.deletedKey = sim::CopyKey(*key);
        sim::DetachKey(*key);
    }
    event.ok = error == ERROR_SUCCESS;
    event.error = static_cast<DWORD>(error);
    sim::detail::Log(std::move(event));
    return error;
}

// Closing a predefined root succeeds and changes nothing. An injected fault
// returns its error but still releases the handle: the kernel closes a valid
// handle even when the call reports a failure.
extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    const auto fault = sim::detail::Enter(sim::Api::RegCloseKey);
    LONG error = ERROR_SUCCESS;
    if (sim::Current().registry.Root(hKey) == nullptr) {
        auto& keys = sim::State().keys;
        const auto it = keys.find(reinterpret_cast<uintptr_t>(hKey));
        if (it == keys.end()) error = ERROR_INVALID_HANDLE;
        else keys.erase(it);
    }
    return fault ? static_cast<LONG>(*fault) : error;
}
