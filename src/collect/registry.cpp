// registry.reg: the branches of HKEY_LOCAL_MACHINE the uninstaller works on,
// written as the machine's own regedit exports them.
#include "collect/collect.h"

#include "imageformat/machine_ini.h"
#include "imageformat/reg_export.h"
#include "package.h"

namespace {

using imageformat::TextUnits;

const char kRoot[] = "HKEY_LOCAL_MACHINE";
const char kNtSystemKey[] = "SYSTEM";
const char* const kNtBranches[] = {"SYSTEM\\CurrentControlSet\\Enum",
                                   "SYSTEM\\CurrentControlSet\\Control\\Class", kDriveIconsKey};
const char* const k9xBranches[] = {"Enum", "System\\CurrentControlSet\\Services\\Class",
                                   kDriveIconsKey};

// Value names reach 16383 characters; a longer buffer is never needed.
const size_t kLongestName = 32768;
// A value that keeps changing between the calls is given up after a while.
const int kValueTries = 32;

// The export under way. Its text, key and value names included, is kept in
// the file's own units from the registry to the file: bytes of the ANSI code
// page (REGEDIT4, through the A functions) or UTF-16LE units of two bytes
// each (version 5, through the W functions).
struct Export {
    TextUnits units = TextUnits::Ansi;
    OutFile out;
    CollectResult* result = nullptr;
};

bool Wide(const Export& e) { return e.units == TextUnits::Utf16le; }
size_t UnitSize(const Export& e) { return Wide(e) ? 2 : 1; }
std::string Units(const Export& e, const std::string& ascii) { return imageformat::Ascii(ascii.c_str(), e.units); }

// Units as ANSI text, for a note: converted as Windows converts them, or,
// should that fail, ASCII as it is and any other character as "?".
std::string Ansi(const Export& e, const std::string& units) {
    if (!Wide(e) || units.empty()) return units;
    const WCHAR* wide = reinterpret_cast<const WCHAR*>(units.data());
    const int count = static_cast<int>(units.size() / 2);
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0 && WideCharToMultiByte(CP_ACP, 0, wide, count, &out[0], size, nullptr, nullptr) == size)
        return out;
    out.clear();
    for (size_t i = 0; i + 1 < units.size(); i += 2)
        out += units[i + 1] == 0 && static_cast<unsigned char>(units[i]) < 0x80 ? units[i] : '?';
    return out;
}

void Note(Export& e, const std::string& pathUnits, const std::string& what, LONG status) {
    std::string note = "registry: " + Ansi(e, pathUnits) + ": " + what;
    if (status != ERROR_SUCCESS) note += " (" + ErrorText(static_cast<DWORD>(status)) + ")";
    AddNote(*e.result, note);
}

// Query and enumerate are all the export needs. KEY_READ would also ask
// for READ_CONTROL and KEY_NOTIFY, which a key's security may refuse where
// it grants these two (NT family).
const REGSAM kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

LONG OpenKey(const Export& e, HKEY parent, const std::string& name, HKEY* key) {
    if (!Wide(e)) return RegOpenKeyExA(parent, name.c_str(), 0, kReadAccess, key);
    const std::string terminated = name + std::string(2, '\0');
    return RegOpenKeyExW(parent, reinterpret_cast<LPCWSTR>(terminated.data()), 0, kReadAccess, key);
}

// A key that went away between its listing and its reading: deleted by
// another program meanwhile.
bool Vanished(LONG status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED; }

const char kVanished[] = "key left out: it was deleted while the collector read it, as regedit leaves it out";

// The longest subkey name and value name (in units) and value data (bytes).
LONG QueryInfo(const Export& e, HKEY key, DWORD* subkeyName, DWORD* valueName, DWORD* data) {
    if (!Wide(e))
        return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, subkeyName, nullptr,
                                nullptr, valueName, data, nullptr, nullptr);
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, subkeyName, nullptr, nullptr,
                            valueName, data, nullptr, nullptr);
}

// Grows a name buffer after ERROR_MORE_DATA; false once it is as long as a
// name can be.
bool GrowName(const Export& e, std::string& buffer) {
    const size_t longest = kLongestName * UnitSize(e);
    if (buffer.size() >= longest) return false;
    buffer.resize(buffer.size() * 2 < longest ? buffer.size() * 2 : longest);
    return true;
}

// The subkey name at `index`, sized from the key's information and retried
// when a name grew meanwhile.
LONG EnumKey(const Export& e, HKEY key, DWORD index, std::string& buffer, std::string& name) {
    for (;;) {
        DWORD count = static_cast<DWORD>(buffer.size() / UnitSize(e));
        const LONG status =
            Wide(e) ? RegEnumKeyExW(key, index, reinterpret_cast<LPWSTR>(&buffer[0]), &count, nullptr,
                                    nullptr, nullptr, nullptr)
                    : RegEnumKeyExA(key, index, &buffer[0], &count, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA && GrowName(e, buffer)) continue;
        if (status == ERROR_SUCCESS) name.assign(buffer, 0, count * UnitSize(e));
        return status;
    }
}

// The value at `index`. ERROR_MORE_DATA: a data buffer smaller than the size
// the call reports (the value grew since the key was queried) takes that
// size; otherwise the name buffer, whose need is not reported, doubles.
LONG EnumValue(const Export& e, HKEY key, DWORD index, std::string& nameBuffer,
               std::string& dataBuffer, std::string& name, DWORD& type, std::string& data) {
    for (int tries = 0; tries < kValueTries; ++tries) {
        DWORD count = static_cast<DWORD>(nameBuffer.size() / UnitSize(e));
        DWORD size = static_cast<DWORD>(dataBuffer.size());
        BYTE* bytes = reinterpret_cast<BYTE*>(&dataBuffer[0]);
        const LONG status =
            Wide(e) ? RegEnumValueW(key, index, reinterpret_cast<LPWSTR>(&nameBuffer[0]), &count,
                                    nullptr, &type, bytes, &size)
                    : RegEnumValueA(key, index, &nameBuffer[0], &count, nullptr, &type, bytes, &size);
        if (status == ERROR_MORE_DATA) {
            if (size > dataBuffer.size())
                dataBuffer.resize(size);
            else if (!GrowName(e, nameBuffer))
                return status;
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

void WriteValue(Export& e, const std::string& name, DWORD type, const std::string& data) {
    Put(e.out, imageformat::ValueLine(name, type, data, e.units, imageformat::kLineEnd) +
                   Units(e, imageformat::kLineEnd));
    ++e.result->values;
}

void WriteHeader(Export& e, const std::string& path) {
    Put(e.out, Units(e, imageformat::kLineEnd) + imageformat::KeyLine(path, e.units) + Units(e, imageformat::kLineEnd));
    ++e.result->keys;
}

// A key that exists but cannot be opened: its header alone, and a line of
// the image's list of such keys instead of a note of its own (the NT
// family's Properties keys below every device are SYSTEM's alone: an XP
// machine has hundreds). One note per error tells their number.
void Unreadable(Export& e, const std::string& path, LONG status) {
    WriteHeader(e, path);
    CollectResult& r = *e.result;
    r.unreadableKeys.push_back(OneLine(Ansi(e, path) + ": cannot open the key; written without its values and "
                                                       "subkeys (" + ErrorText(static_cast<DWORD>(status)) + ")"));
    for (size_t i = 0; i < r.unreadableCounts.size(); ++i)
        if (r.unreadableCounts[i].error == static_cast<DWORD>(status)) return void(++r.unreadableCounts[i].keys);
    r.unreadableCounts.push_back({static_cast<DWORD>(status), 1});
}

// The key at `path`, open as `key`, `depth` levels below the root, and its
// subtree: the header, the values in enumeration order, then each subkey
// the same way.
void WriteTree(Export& e, HKEY key, const std::string& path, size_t depth) {
    DWORD longestSubkey = 0, longestValueName = 0, longestData = 0;
    LONG status = QueryInfo(e, key, &longestSubkey, &longestValueName, &longestData);
    if (Vanished(status)) return Note(e, path, kVanished, 0);
    WriteHeader(e, path);
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
            if (imageformat::HasLineBreak(name, e.units))
                Note(e, path, "a value left out: a line break in its name, which an export cannot hold", 0);
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
        if (const char* why = imageformat::UnexportableKeyName(name, e.units)) {
            Note(e, childPath, std::string("key left out: ") + why, 0);
            continue;
        }
        if (depth + 1 > imageformat::kMaxKeyDepth) {
            Note(e, childPath, "key left out: deeper than the 512 levels Windows allows", 0);
            continue;
        }
        HKEY child = nullptr;
        status = OpenKey(e, key, name, &child);
        if (Vanished(status)) {
            Note(e, childPath, kVanished, 0);
            continue;
        }
        if (status != ERROR_SUCCESS) {
            // It exists (it was enumerated); what it holds is unknown.
            Unreadable(e, childPath, status);
            continue;
        }
        WriteTree(e, child, childPath, depth + 1);
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
    size_t depth = 1;
    for (size_t i = 0; i < subkey.size(); i += UnitSize(e))
        if (subkey[i] == '\\' && (!Wide(e) || subkey[i + 1] == '\0')) ++depth;
    WriteTree(e, key, path, depth);
    RegCloseKey(key);
}

// The NT family's USB storage service in every control set that has it,
// control sets as HKLM\SYSTEM enumerates them.
void WriteUsbStorServices(Export& e) {
    const std::string system = Units(e, kNtSystemKey);
    const std::string systemPath = Units(e, std::string(kRoot) + "\\") + system;
    HKEY key = nullptr;
    LONG status = OpenKey(e, HKEY_LOCAL_MACHINE, system, &key);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND) Note(e, systemPath, "cannot open the key", status);
        return;
    }
    std::vector<std::string> sets;
    std::string buffer(256 * UnitSize(e), '\0'), name;
    for (DWORD i = 0; (status = EnumKey(e, key, i, buffer, name)) == ERROR_SUCCESS; ++i)
        sets.push_back(name);
    if (status != ERROR_NO_MORE_ITEMS) Note(e, systemPath, "cannot read its subkeys", status);
    RegCloseKey(key);
    for (const std::string& set : sets) {
        if (const char* why = imageformat::UnexportableKeyName(set, e.units)) {
            Note(e, systemPath + Units(e, "\\") + set, std::string("key left out: ") + why, 0);
            continue;
        }
        WriteBranch(e, system + Units(e, "\\") + set + Units(e, "\\") + Units(e, kStorageServiceKey));
    }
}

}  // namespace

bool CollectRegistry(const std::string& folder, bool ntFamily, bool wholeMachine,
                     CollectResult& result) {
    Export e;
    e.result = &result;
    // The NT family's A functions turn a character outside the ANSI code page
    // into "?", which would change the name; its regedit writes UTF-16.
    if (ntFamily) {
        if (RegQueryInfoKeyW(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_CALL_NOT_IMPLEMENTED)
            AddNote(result, "registry: the W registry functions are missing; written as REGEDIT4 "
                            "through the A functions");
        else
            e.units = TextUnits::Utf16le;
    }
    if (OpenOutFile(e.out, folder + "\\" + imageformat::kRegistryFile)) {
        if (Wide(e)) Put(e.out, imageformat::kUtf16leByteOrderMark);
        Put(e.out, Units(e, Wide(e) ? imageformat::kVersion5 : imageformat::kRegedit4) + Units(e, imageformat::kLineEnd));
        if (wholeMachine) {
            WriteTree(e, HKEY_LOCAL_MACHINE, Units(e, kRoot), 0);
        } else if (ntFamily) {
            WriteUsbStorServices(e);
            for (const char* branch : kNtBranches) WriteBranch(e, Units(e, branch));
        } else {
            for (const char* branch : k9xBranches) WriteBranch(e, Units(e, branch));
        }
        Put(e.out, Units(e, imageformat::kLineEnd));
    }
    if (!FinishOutFile(e.out)) {
        AddNote(result, "registry.reg: cannot write it (" + ErrorText(e.out.error) + ")");
        return false;
    }
    for (const UnreadableCount& count : result.unreadableCounts)
        AddNote(result, FormatText("registry: %lu keys cannot be opened (%s); written without their values "
                                   "and subkeys, %s lists them",
                                   count.keys, ErrorText(count.error).c_str(), imageformat::kUnreadableKeysFile));
    result.written.push_back({imageformat::kRegistryFile, e.out.size});
    return true;
}
