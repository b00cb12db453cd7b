// registry.reg: the branches of HKEY_LOCAL_MACHINE the uninstaller works on,
// written as the machine's own regedit exports them.
#include "collect/collect.h"

#include "package.h"

namespace {

const char kRoot[] = "HKEY_LOCAL_MACHINE";
const char kNtSystemKey[] = "SYSTEM";
const char* const kNtBranches[] = {"SYSTEM\\CurrentControlSet\\Enum",
                                   "SYSTEM\\CurrentControlSet\\Control\\Class", kDriveIconsKey};
const char* const k9xBranches[] = {"Enum", "System\\CurrentControlSet\\Services\\Class",
                                   kDriveIconsKey};

// Value names reach 16383 characters; a longer buffer is never needed.
const size_t kLongestName = 32768;
// regedit breaks a hex line after the comma that brings it to this many
// characters or more, and goes on indented by two blanks.
const size_t kHexLineWidth = 77;

typedef LONG(WINAPI* OpenKeyW)(HKEY, const WCHAR*, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI* EnumKeyW)(HKEY, DWORD, WCHAR*, DWORD*, DWORD*, WCHAR*, DWORD*, FILETIME*);
typedef LONG(WINAPI* EnumValueW)(HKEY, DWORD, WCHAR*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*);
typedef LONG(WINAPI* QueryInfoW)(HKEY, WCHAR*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*, DWORD*,
                                 DWORD*, DWORD*, DWORD*, FILETIME*);

// The export under way. Its text, key and value names included, is kept in
// the file's own units from the registry to the file: bytes of the ANSI code
// page (REGEDIT4) or UTF-16LE units of two bytes each (version 5).
struct Export {
    bool wide = false;
    OpenKeyW openKey = nullptr;
    EnumKeyW enumKey = nullptr;
    EnumValueW enumValue = nullptr;
    QueryInfoW queryInfo = nullptr;
    OutFile out;
    CollectResult* result = nullptr;
};

size_t UnitSize(const Export& e) { return e.wide ? 2 : 1; }

unsigned UnitAt(const Export& e, const std::string& s, size_t byte) {
    const unsigned low = static_cast<unsigned char>(s[byte]);
    return e.wide ? low | static_cast<unsigned char>(s[byte + 1]) << 8 : low;
}

void AppendChar(const Export& e, std::string& s, char c) {
    s += c;
    if (e.wide) s += '\0';
}

std::string Units(const Export& e, const std::string& ascii) {
    if (!e.wide) return ascii;
    std::string out;
    for (char c : ascii) AppendChar(e, out, c);
    return out;
}

// Units as ANSI text, for a note.
std::string Ansi(const Export& e, const std::string& units) {
    if (!e.wide || units.empty()) return units;
    const WCHAR* wide = reinterpret_cast<const WCHAR*>(units.data());
    const int count = static_cast<int>(units.size() / 2);
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return "?";
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, count, &out[0], size, nullptr, nullptr);
    return out;
}

void Note(Export& e, const std::string& pathUnits, const char* what, LONG status) {
    std::string note = "registry: " + Ansi(e, pathUnits) + ": " + what;
    if (status != ERROR_SUCCESS) note += " (" + ErrorText(static_cast<DWORD>(status)) + ")";
    e.result->notes.push_back(note);
}

// A line break in a name or string would end the line of an export.
bool HasLineBreak(const Export& e, const std::string& units) {
    for (size_t i = 0; i < units.size(); i += UnitSize(e)) {
        const unsigned u = UnitAt(e, units, i);
        if (u == '\r' || u == '\n') return true;
    }
    return false;
}

LONG OpenKey(const Export& e, HKEY parent, const std::string& name, HKEY* key) {
    if (!e.wide) return RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, key);
    const std::string terminated = name + std::string(2, '\0');
    return e.openKey(parent, reinterpret_cast<const WCHAR*>(terminated.data()), 0, KEY_READ, key);
}

// The longest subkey name and value name (in units) and value data (bytes).
LONG QueryInfo(const Export& e, HKEY key, DWORD* subkeyName, DWORD* valueName, DWORD* data) {
    if (!e.wide)
        return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, subkeyName, nullptr,
                                nullptr, valueName, data, nullptr, nullptr);
    return e.queryInfo(key, nullptr, nullptr, nullptr, nullptr, subkeyName, nullptr, nullptr,
                       valueName, data, nullptr, nullptr);
}

// Grows a name buffer after ERROR_MORE_DATA; false once it is as long as a
// name can be.
bool GrowName(const Export& e, std::string& buffer) {
    if (buffer.size() >= kLongestName * UnitSize(e)) return false;
    buffer.resize(buffer.size() * 2 < kLongestName * UnitSize(e) ? buffer.size() * 2
                                                                 : kLongestName * UnitSize(e));
    return true;
}

// The subkey name at `index`, sized from the key's information and retried
// when a name grew meanwhile.
LONG EnumKey(const Export& e, HKEY key, DWORD index, std::string& buffer, std::string& name) {
    for (;;) {
        DWORD count = static_cast<DWORD>(buffer.size() / UnitSize(e));
        const LONG status = e.wide ? e.enumKey(key, index, reinterpret_cast<WCHAR*>(&buffer[0]),
                                               &count, nullptr, nullptr, nullptr, nullptr)
                                   : RegEnumKeyExA(key, index, &buffer[0], &count, nullptr, nullptr,
                                                   nullptr, nullptr);
        if (status == ERROR_MORE_DATA && GrowName(e, buffer)) continue;
        if (status == ERROR_SUCCESS) name.assign(buffer, 0, count * UnitSize(e));
        return status;
    }
}

// The value at `index`: a too small data buffer takes the size the call
// reports, a too small name buffer (whose need is not reported) doubles.
LONG EnumValue(const Export& e, HKEY key, DWORD index, std::string& nameBuffer,
               std::string& dataBuffer, std::string& name, DWORD& type, std::string& data) {
    // A value that keeps growing between the calls is given up after a while.
    for (int tries = 0; tries < 32; ++tries) {
        DWORD count = static_cast<DWORD>(nameBuffer.size() / UnitSize(e));
        DWORD size = static_cast<DWORD>(dataBuffer.size());
        BYTE* bytes = reinterpret_cast<BYTE*>(&dataBuffer[0]);
        const LONG status =
            e.wide
                ? e.enumValue(key, index, reinterpret_cast<WCHAR*>(&nameBuffer[0]), &count, nullptr,
                              &type, bytes, &size)
                : RegEnumValueA(key, index, &nameBuffer[0], &count, nullptr, &type, bytes, &size);
        if (status == ERROR_MORE_DATA) {
            if (size > dataBuffer.size())
                dataBuffer.resize(size);
            else if (!GrowName(e, nameBuffer))
                dataBuffer.resize(dataBuffer.size() * 2);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            name.assign(nameBuffer, 0, count * UnitSize(e));
            data.assign(dataBuffer, 0, size < dataBuffer.size() ? size : dataBuffer.size());
        }
        return status;
    }
    return ERROR_MORE_DATA;
}

// "text" with the backslash and the quote escaped, as regedit writes them.
std::string Quoted(const Export& e, const std::string& units) {
    std::string out;
    out.reserve(units.size() + 4 * UnitSize(e));
    AppendChar(e, out, '"');
    for (size_t i = 0; i < units.size(); i += UnitSize(e)) {
        const unsigned u = UnitAt(e, units, i);
        if (u == '\\' || u == '"') AppendChar(e, out, '\\');
        out.append(units, i, UnitSize(e));
    }
    AppendChar(e, out, '"');
    return out;
}

// REG_SZ data that regedit writes as "text": one string ending in its
// terminator, with no other NUL (and no line break) inside.
bool IsCleanString(const Export& e, const std::string& data) {
    const size_t unit = UnitSize(e);
    if (data.size() < unit || data.size() % unit != 0) return false;
    if (UnitAt(e, data, data.size() - unit) != 0) return false;
    for (size_t i = 0; i + unit < data.size(); i += unit)
        if (UnitAt(e, data, i) == 0) return false;
    return !HasLineBreak(e, data);
}

void WriteValue(Export& e, const std::string& name, DWORD type, const std::string& data) {
    std::string line = name.empty() ? Units(e, "@") : Quoted(e, name);
    AppendChar(e, line, '=');
    if (type == REG_SZ && IsCleanString(e, data)) {
        line += Quoted(e, data.substr(0, data.size() - UnitSize(e)));
    } else if (type == REG_DWORD && data.size() == 4) {
        const DWORD v = static_cast<unsigned char>(data[0]) |
                        static_cast<unsigned char>(data[1]) << 8 |
                        static_cast<unsigned char>(data[2]) << 16 |
                        static_cast<DWORD>(static_cast<unsigned char>(data[3])) << 24;
        line += Units(e, FormatText("dword:%08lx", static_cast<unsigned long>(v)));
    } else {
        // The bytes exactly as read, folded as regedit folds them.
        line += Units(e, type == REG_BINARY
                             ? std::string("hex:")
                             : FormatText("hex(%lx):", static_cast<unsigned long>(type)));
        static const char kDigits[] = "0123456789abcdef";
        size_t column = line.size() / UnitSize(e);
        for (size_t i = 0; i < data.size(); ++i) {
            AppendChar(e, line, kDigits[static_cast<unsigned char>(data[i]) >> 4]);
            AppendChar(e, line, kDigits[data[i] & 15]);
            column += 2;
            if (i + 1 == data.size()) break;
            AppendChar(e, line, ',');
            if (++column >= kHexLineWidth) {
                line += Units(e, "\\\r\n  ");
                column = 2;
            }
        }
    }
    line += Units(e, "\r\n");
    Put(e.out, line);
    ++e.result->values;
}

void WriteHeader(Export& e, const std::string& path) {
    Put(e.out, Units(e, "\r\n[") + path + Units(e, "]\r\n"));
    ++e.result->keys;
}

// The key at `path`, open as `key`, and its subtree: the header, the values in
// enumeration order, then each subkey the same way.
void WriteTree(Export& e, HKEY key, const std::string& path) {
    WriteHeader(e, path);
    DWORD longestSubkey = 0, longestValueName = 0, longestData = 0;
    LONG status = QueryInfo(e, key, &longestSubkey, &longestValueName, &longestData);
    if (status != ERROR_SUCCESS) return Note(e, path, "cannot read the key", status);
    {
        std::string nameBuffer((longestValueName + 1) * UnitSize(e), '\0');
        std::string dataBuffer(longestData + 2, '\0');
        std::string name, data;
        for (DWORD i = 0;; ++i) {
            DWORD type = REG_NONE;
            status = EnumValue(e, key, i, nameBuffer, dataBuffer, name, type, data);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS) {
                Note(e, path, "cannot read its values past the first ones", status);
                break;
            }
            if (HasLineBreak(e, name))
                Note(e, path + Units(e, " \"") + name + Units(e, "\""),
                     "value left out: a line break in its name, which an export cannot hold", 0);
            else
                WriteValue(e, name, type, data);
        }
    }
    std::string buffer((longestSubkey + 1) * UnitSize(e), '\0');
    std::string name;
    for (DWORD i = 0;; ++i) {
        status = EnumKey(e, key, i, buffer, name);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            Note(e, path, "cannot read its subkeys past the first ones", status);
            break;
        }
        const std::string childPath = path + Units(e, "\\") + name;
        if (HasLineBreak(e, name)) {
            Note(e, childPath,
                 "key left out: a line break in its name, which an export cannot hold", 0);
            continue;
        }
        HKEY child = nullptr;
        status = OpenKey(e, key, name, &child);
        if (status != ERROR_SUCCESS) {
            // It exists (it was enumerated); what it holds is unknown.
            WriteHeader(e, childPath);
            Note(e, childPath, "cannot open the key; written without its values and subkeys",
                 status);
            continue;
        }
        WriteTree(e, child, childPath);
        RegCloseKey(child);
    }
}

// A branch below HKEY_LOCAL_MACHINE with its subtree; a missing one is left out.
void WriteBranch(Export& e, const std::string& subkey) {
    const std::string path = Units(e, std::string(kRoot) + "\\") + subkey;
    HKEY key = nullptr;
    const LONG status = OpenKey(e, HKEY_LOCAL_MACHINE, subkey, &key);
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status != ERROR_SUCCESS) return Note(e, path, "cannot open the branch", status);
    WriteTree(e, key, path);
    RegCloseKey(key);
}

// The NT family's USB storage service in every control set that has it,
// control sets as HKLM\SYSTEM enumerates them.
void WriteUsbStorServices(Export& e) {
    const std::string system = Units(e, kNtSystemKey);
    HKEY key = nullptr;
    LONG status = OpenKey(e, HKEY_LOCAL_MACHINE, system, &key);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND)
            Note(e, Units(e, std::string(kRoot) + "\\") + system, "cannot open the key", status);
        return;
    }
    std::vector<std::string> sets;
    std::string buffer(256 * UnitSize(e), '\0'), name;
    for (DWORD i = 0; (status = EnumKey(e, key, i, buffer, name)) == ERROR_SUCCESS; ++i)
        sets.push_back(name);
    if (status != ERROR_NO_MORE_ITEMS)
        Note(e, Units(e, std::string(kRoot) + "\\") + system, "cannot read its subkeys", status);
    RegCloseKey(key);
    for (const std::string& set : sets)
        WriteBranch(e,
                    system + Units(e, "\\") + set + Units(e, "\\") + Units(e, kStorageServiceKey));
}

// advapi32's W functions, found at run time: a static import of them would
// keep Windows 98 from loading the exe. False when one is missing.
bool FindWideFunctions(Export& e) {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");  // loaded: the A functions are imported
    if (advapi == nullptr) return false;
    e.openKey = reinterpret_cast<OpenKeyW>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "RegOpenKeyExW")));
    e.enumKey = reinterpret_cast<EnumKeyW>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "RegEnumKeyExW")));
    e.enumValue = reinterpret_cast<EnumValueW>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "RegEnumValueW")));
    e.queryInfo = reinterpret_cast<QueryInfoW>(
        reinterpret_cast<void*>(GetProcAddress(advapi, "RegQueryInfoKeyW")));
    return e.openKey != nullptr && e.enumKey != nullptr && e.enumValue != nullptr &&
           e.queryInfo != nullptr;
}

}  // namespace

bool CollectRegistry(const std::string& folder, bool ntFamily, bool wholeMachine,
                     CollectResult& result) {
    Export e;
    e.result = &result;
    // The NT family's A functions turn a character outside the ANSI code page
    // into "?", which would change the name; its regedit writes UTF-16.
    if (ntFamily) {
        e.wide = FindWideFunctions(e);
        if (!e.wide)
            result.notes.push_back(
                "registry: the W registry functions are missing; written as "
                "REGEDIT4 through the A functions");
    }
    if (OpenOutFile(e.out, folder + "\\registry.reg")) {
        if (e.wide) Put(e.out, "\xFF\xFE", 2);
        Put(e.out, Units(e, e.wide ? "Windows Registry Editor Version 5.00\r\n" : "REGEDIT4\r\n"));
        if (wholeMachine) {
            WriteTree(e, HKEY_LOCAL_MACHINE, Units(e, kRoot));
        } else if (ntFamily) {
            WriteUsbStorServices(e);
            for (const char* branch : kNtBranches) WriteBranch(e, Units(e, branch));
        } else {
            for (const char* branch : k9xBranches) WriteBranch(e, Units(e, branch));
        }
        Put(e.out, Units(e, "\r\n"));
    }
    if (!CloseOutFile(e.out)) {
        result.notes.push_back(
            FormatText("registry.reg: cannot write it (%s)", ErrorText(e.out.error).c_str()));
        return false;
    }
    return true;
}
