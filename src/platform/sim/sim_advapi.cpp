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
// Handles are entries of Machine::Internal::keys; the predefined keys are no
// entries and are never counted as open handles.
#include "platform/sim/sim_internal.h"

#include <cstring>

namespace {

using sim::RegKey;

// The key a handle stands for: a predefined root (found in the active
// machine's registry) or an open handle. A handle whose key has been deleted
// since it was opened gives ERROR_KEY_DELETED (both families).
LONG ResolveHandle(HKEY handle, std::shared_ptr<RegKey>* key) {
    sim::Machine& m = sim::Current();
    if (RegKey* root = m.registry.Root(handle)) {
        for (const auto& r : m.registry.Roots())
            if (r.get() == root) *key = r;
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

// A sub-path below an open key, split at single backslashes. NULL and ""
// name the key itself. A leading backslash is ERROR_BAD_PATHNAME (NT and
// 9x alike); trailing backslashes are ignored ("Enum\USB\" is Enum\USB). An
// empty name in the middle ("A\\B") names no key: ERROR_FILE_NOT_FOUND.
LONG SplitSubPath(LPCSTR subKey, std::vector<std::string>* names) {
    names->clear();
    if (subKey == nullptr || *subKey == '\0') return ERROR_SUCCESS;
    if (*subKey == '\\') return ERROR_BAD_PATHNAME;
    return sim::SplitKeyNames(Unicode(subKey), names) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// Walks `names` down from `base`. On failure `*key` is the deepest key found
// and `*matched` how many names it took.
LONG Walk(const std::shared_ptr<RegKey>& base, const std::vector<std::string>& names,
          std::shared_ptr<RegKey>* key, size_t* matched) {
    *key = base;
    *matched = 0;
    for (const auto& name : names) {
        std::shared_ptr<RegKey> next = sim::SubkeyOf(**key, name);
        if (!next) return ERROR_FILE_NOT_FOUND;
        *key = next;
        ++*matched;
    }
    return ERROR_SUCCESS;
}

// Writes a subkey name for the two enumeration functions: the name in ANSI
// with its terminator when it fits in `cch` characters, else ERROR_MORE_DATA
// and the buffer untouched (both families). The 9x family enumerates the
// subkeys in the order it stores them, NT sorted.
LONG EnumName(HKEY hKey, DWORD index, LPSTR name, DWORD cch, DWORD* length) {
    std::shared_ptr<RegKey> key;
    if (LONG error = ResolveHandle(hKey, &key)) return error;
    const sim::Machine& m = sim::Current();
    const RegKey* sub = key->EnumeratedSubkey(index, m.family());
    if (sub == nullptr) return ERROR_NO_MORE_ITEMS;
    const std::string text = sim::Utf8ToAnsi(m.codePage, sub->name);
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    if (text.size() + 1 > cch) return ERROR_MORE_DATA;
    std::memcpy(name, text.c_str(), text.size() + 1);
    *length = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

}  // namespace

// RegOpenKeyA, as documented for it (unlike RegOpenKeyExA): a NULL or empty
// sub-path returns the very handle passed in, predefined or not, and opens
// nothing new, so no handle is added to close. On failure the result is
// set to NULL.
extern "C" LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (auto e = sim::detail::Enter(sim::Api::RegOpenKeyA)) {
        if (phkResult != nullptr) *phkResult = nullptr;
        return static_cast<LONG>(*e);
    }
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<RegKey> base;
    if (LONG error = ResolveHandle(hKey, &base)) return error;
    std::vector<std::string> names;
    if (LONG error = SplitSubPath(lpSubKey, &names)) return error;
    if (names.empty()) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<RegKey> key;
    size_t matched = 0;
    if (LONG error = Walk(base, names, &key, &matched)) return error;
    const uintptr_t handle = sim::State().NewHandle();
    sim::State().keys[handle] = key;
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumKeyA)) return static_cast<LONG>(*e);
    DWORD length = 0;
    return EnumName(hKey, dwIndex, lpName, cchName, &length);
}

// *lpcchName changes only on success (the name's length without its
// terminator). No key has a class: a class buffer receives "" when one is
// given. The last-write time is a fixed value, the same for every key.
extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime) {
    if (auto e = sim::detail::Enter(sim::Api::RegEnumKeyExA)) return static_cast<LONG>(*e);
    if (lpcchName == nullptr || lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr))
        return ERROR_INVALID_PARAMETER;
    DWORD length = 0;
    if (LONG error = EnumName(hKey, dwIndex, lpName, *lpcchName, &length)) return error;
    *lpcchName = length;
    if (lpClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) {
        lpftLastWriteTime->dwLowDateTime = 0x5A5A0000;  // fixed, so that runs repeat exactly
        lpftLastWriteTime->dwHighDateTime = 0x01C07385;
    }
    return ERROR_SUCCESS;
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
        if (key->parent == nullptr) error = ERROR_ACCESS_DENIED;
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
