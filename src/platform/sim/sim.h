// The simulated Windows machine that serves the platform calls on the host.
//
// Tests and tools build a Machine (registry, files, present devices, version,
// top-level windows; the devices installed but not present are read from its
// hardware keys), make it the active one, run program operations against
// it through the ordinary Win32 names of platform/platform.h, and inspect it
// afterwards. Every simulated function keeps the Windows conventions:
// registry functions return their error code; SetupAPI and kernel functions
// return FALSE / INVALID_HANDLE_VALUE / INVALID_FILE_ATTRIBUTES and set the
// last error.
//
// Product code never includes this header.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_calls.h"
#include "platform/sim/sim_code_page.h"

#include <algorithm>
#include <bitset>
#include <cassert>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Registry deletion behaviour and the hardware-key layout follow the family:
// Win9x: RegDeleteKeyA deletes a whole subtree; hardware keys are HKLM\Enum\<id>.
// NT: RegDeleteKeyA fails with ERROR_ACCESS_DENIED on a key with subkeys;
//     hardware keys are HKLM\System\CurrentControlSet\Enum\<id>.
enum class Family { Win9x, NT };

// ---------------------------------------------------------------- names

// Both families compare registry, file, INF and device names with the case
// of the ASCII letters folded and every other byte as it is. This is the one
// fold of the simulator, the image library, the dry run and the tests; unlike
// std::toupper it does not depend on the C library's locale.
inline char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }
std::string UpperAscii(std::string text);
bool NamesEqual(std::string_view a, std::string_view b);
// The order of the upper-cased bytes (the NT family's order of subkeys).
bool NameLess(std::string_view a, std::string_view b);

// ---------------------------------------------------------------- registry

// Key and value names are Unicode, held as UTF-8, as the NT family holds
// them; the ANSI functions convert them through the machine's code page
// (sim_code_page.h). Names compare with the case of ASCII letters folded and
// every other character as it is: a name differing from another only in the
// case of a letter beyond ASCII ("Имя", "ИМЯ") is another name here, where
// Windows folds it too (an export never holds two such names).

// The keys of one registry (sim_registry.cpp): every key a registry ever
// held, deleted ones included, lives in its store until the store is gone,
// and so do the lists of the keys' values and their data.
struct KeyStore;
// Memory for a list of values or a value's data, given back with the whole store.
void* StoreAllocate(KeyStore& store, size_t bytes);

// The allocator of a key's list of values: a short list lives in its
// registry's store (a large export's keys hold hundreds of thousands of
// lists, each a heap block of its own otherwise), a long one, or one that
// has no store, on the heap. A
// copy of a list made outside a store (a key copied by value) takes the
// heap. Builds with the address sanitizer keep every list on the heap,
// where it checks each access.
template <class T>
struct StoreAllocator {
    using value_type = T;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::false_type;
    using propagate_on_container_swap = std::false_type;

    KeyStore* store = nullptr;

    StoreAllocator() = default;
    explicit StoreAllocator(KeyStore* s) : store(s) {}
    template <class U>
    StoreAllocator(const StoreAllocator<U>& other) : store(other.store) {}

    T* allocate(size_t n) {
        if (InStore(n)) return static_cast<T*>(StoreAllocate(*store, n * sizeof(T)));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, size_t n) {
        if (!InStore(n)) std::allocator<T>().deallocate(p, n);
    }
    StoreAllocator select_on_container_copy_construction() const { return StoreAllocator(); }
    template <class U>
    bool operator==(const StoreAllocator<U>& other) const { return store == other.store; }
    template <class U>
    bool operator!=(const StoreAllocator<U>& other) const { return store != other.store; }

private:
    // A long list (a key of a thousand values and more) stays on the heap,
    // where it grows in place instead of leaving each smaller copy behind.
    static constexpr size_t kLongestInStore = 64 * 1024;  // bytes
#if defined(__SANITIZE_ADDRESS__)
    bool InStore(size_t) const { return false; }
#else
    bool InStore(size_t n) const { return store != nullptr && n * sizeof(T) <= kLongestInStore; }
#endif
};

// A value's data: in its registry's store when the value was made there (a
// large export's hundreds of thousands of values would each take a heap
// block otherwise), else on the heap. It compares with a plain byte vector.
using ValueData = std::vector<uint8_t, StoreAllocator<uint8_t>>;
inline bool operator==(const ValueData& a, const std::vector<uint8_t>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
inline bool operator==(const std::vector<uint8_t>& a, const ValueData& b) { return b == a; }
inline bool operator!=(const ValueData& a, const std::vector<uint8_t>& b) { return !(a == b); }
inline bool operator!=(const std::vector<uint8_t>& a, const ValueData& b) { return !(b == a); }

struct RegValue {
    std::string name;  // UTF-8; "" is the unnamed (default) value
    DWORD type = REG_NONE;
    ValueData data;  // strings as the ANSI functions see them: code-page bytes
};
bool operator==(const RegValue& a, const RegValue& b);

// A key's values, in the order they were created.
using ValueList = std::vector<RegValue, StoreAllocator<RegValue>>;

// RegKey::deniedAccess of a key whose security grants this program nothing.
inline constexpr REGSAM kNoAccess = ~static_cast<REGSAM>(0);

struct RegKey {
    RegKey() = default;
    explicit RegKey(KeyStore* store) : values(StoreAllocator<RegValue>(store)) {}

    std::string name;  // UTF-8, case as created
    ValueList values;  // in the order they were created
    // Sorted by name, case-insensitively: the order the NT family enumerates
    // them in, searched by lookups (keys of large machines have tens of
    // thousands of subkeys).
    std::vector<RegKey*> subkeys;
    // The same subkeys in the order the registry stores them: the order they
    // were created in, an image's the order of its export. The 9x family
    // enumerates them in this order.
    std::vector<RegKey*> stored;
    RegKey* parent = nullptr;
    bool deleted = false;  // set on a deleted key and its whole subtree (open handles see it)
    // The NT family: the rights the key's security refuses this program. An
    // open that asks for one of them is refused (an XP key may grant query
    // and enumerate but not READ_CONTROL or KEY_NOTIFY); with kNoAccess the
    // key cannot be opened at all, whatever is asked (its name still
    // enumerates). The 9x family keeps no security on keys and ignores it.
    REGSAM deniedAccess = 0;

    RegKey* FindSubkey(const std::string& name) const;  // case-insensitive
    // The subkey at `index` in the order `family` enumerates them; nullptr past the last.
    RegKey* EnumeratedSubkey(size_t index, Family family) const;
    RegValue* FindValue(const std::string& name);       // case-insensitive
    const RegValue* FindValue(const std::string& name) const;
    // A value whose data lives in this key's store (for this key's list).
    RegValue NewValue(std::string name, DWORD type, const uint8_t* data, size_t size) const;
    size_t CountKeys() const;    // this key and every key below it
    size_t CountValues() const;  // the values of this key and of every key below it
};

// A deep copy of a key and everything below it, standing alone (no parent),
// in a store of its own that the pointer keeps alive.
std::shared_ptr<RegKey> CopyKey(const RegKey& key);

// Paths name a predefined root and the keys below it, separated by single
// backslashes: "HKLM\Enum\USB", "HKEY_LOCAL_MACHINE\System". Accepted roots:
// HKEY_CLASSES_ROOT/HKCR, HKEY_CURRENT_USER/HKCU, HKEY_LOCAL_MACHINE/HKLM,
// HKEY_USERS/HKU, HKEY_CURRENT_CONFIG/HKCC, HKEY_DYN_DATA. Paths and names
// are UTF-8; matching is case-insensitive, as in Windows.
// Keys are not held one by one: a registry's keys live in blocks of its
// store (a few hundred thousand keys in a large export), and an open handle
// holds the whole store, so that a deleted key stays readable for as long as
// a handle is open on it.
class Registry {
public:
    Registry();
    Registry(const Registry& other);  // deep copy; the copy has no open handles
    Registry& operator=(const Registry& other);
    Registry(Registry&& other);  // the keys move along; `other` is left empty (and usable)
    Registry& operator=(Registry&& other) noexcept;
    ~Registry();

    RegKey* Find(const std::string& path) const;  // nullptr when absent
    bool Exists(const std::string& path) const { return Find(path) != nullptr; }
    RegKey& Create(const std::string& path);  // creates missing keys along the path
    void SetValue(const std::string& path, const std::string& name, DWORD type,
                  std::vector<uint8_t> data);  // creates the key when missing
    // REG_SZ / REG_EXPAND_SZ text stored with its terminating zero.
    void SetString(const std::string& path, const std::string& name, const std::string& text,
                   DWORD type = REG_SZ);
    void SetDword(const std::string& path, const std::string& name, DWORD value);
    std::optional<RegValue> GetValue(const std::string& path, const std::string& name) const;
    // The value's bytes up to the first zero byte; nullopt when key or value is absent.
    std::optional<std::string> GetString(const std::string& path, const std::string& name) const;
    bool DeleteValue(const std::string& path, const std::string& name);
    bool DeleteTree(const std::string& path);  // false when absent or a root
    std::vector<std::string> SubkeyNames(const std::string& path) const;  // sorted

    RegKey* Root(HKEY predefined) const;  // nullptr for a value that is no predefined key
    const std::vector<RegKey*>& Roots() const { return roots_; }

    // The subkey of `parent` named `name`, created when missing: stored last,
    // in its place among the sorted subkeys.
    RegKey& Subkey(RegKey& parent, const std::string& name);
    // A new key of this registry named `name` below `parent`, in neither of
    // its parent's lists: for a reader that links and sorts the keys itself.
    RegKey& NewKey(RegKey& parent, std::string_view name);
    // A hold on one of this registry's keys that keeps its store alive (an
    // open handle's).
    std::shared_ptr<RegKey> Hold(RegKey& key) const;

private:
    std::shared_ptr<KeyStore> store_;
    std::vector<RegKey*> roots_;  // one per predefined key, canonical names
};

// Full path of a key, with its root's canonical name ("HKEY_LOCAL_MACHINE\Enum\USB").
std::string KeyPath(const RegKey& key);

// ---------------------------------------------------------------- files

struct FileEntry {
    std::string path;  // full Windows path as created, e.g. "C:\WINDOWS\inf\USBZAV03.inf"
    bool directory = false;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;  // FILE_ATTRIBUTE_DIRECTORY is added for directories
    std::vector<uint8_t> data;
};

// Windows paths ("C:\WINDOWS\inf\x.inf", any case, "/" accepted as "\",
// "." and ".." resolved) over an in-memory tree. The drive roots ("C:\")
// exist once anything is created on the drive.
class FileSystem {
public:
    // Creates the parent directories as needed; replaces an existing file.
    void AddFile(const std::string& path, const std::vector<uint8_t>& data,
                 DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddFile(const std::string& path, const std::string& text,
                 DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
    void AddDirectory(const std::string& path);
    const FileEntry* Find(const std::string& path) const;  // file or directory
    FileEntry* Find(const std::string& path);
    bool Exists(const std::string& path) const { return Find(path) != nullptr; }
    bool Remove(const std::string& path);  // a file, or a directory with everything below it
    std::optional<std::vector<uint8_t>> Read(const std::string& path) const;  // files only
    std::vector<const FileEntry*> Entries() const;  // every entry, sorted by path case-insensitively

    // Normalized lookup key of a path (upper case, resolved); "" when the
    // path is not a valid absolute Windows path.
    static std::string Normalize(const std::string& path);

private:
    std::map<std::string, FileEntry> entries_;  // by Normalize(path)
};

// ---------------------------------------------------------------- devices

// A present device. A device that is installed but not present is an
// instance key of the hardware tree (enumerator\device\instance below the
// family's Enum key) that carries a class in its "ClassGUID" value and names
// no present device: SetupDiGetClassDevsA lists it after the present ones
// without DIGCF_PRESENT and leaves it out with it, and SetupDiRemoveDevice
// deletes its keys.
struct Device {
    std::string instanceId;
    std::optional<GUID> classGuid;           // when absent: the hardware key's "ClassGUID"
    std::optional<std::string> description;  // when absent: the hardware key's "DeviceDesc"
};

// "{4D36E967-E325-11CE-BFC1-08002BE10318}" <-> GUID (braces required, any case).
std::optional<GUID> ParseGuid(const std::string& text);
std::string GuidText(const GUID& guid);  // upper case, with braces

// ---------------------------------------------------------------- faults and events

// A simulated call made to fail at its Nth call (counted from 1, per call),
// once or from then on. The function fails in its own convention with
// `error` as the code or last error. With `shortTransfer` (MovesBytes calls
// only), the call instead succeeds but moves only half of the bytes asked
// for.
struct Fault {
    Api function;
    unsigned nth = 1;
    bool persistent = false;
    DWORD error = ERROR_GEN_FAILURE;
    bool shortTransfer = false;
};

// One outward effect or attempted change, in the order it happened, named
// by the call that made it: RegDeleteKeyA, RegSetValueExA,
// SetupDiRemoveDevice, DeleteFileA, SetFileAttributesA, CreateFileA
// (creations and truncations only), CreateDirectoryA, WriteFile, MoveFileA, MessageBoxA,
// ShellExecuteA, SendMessageA; or DeviceKeyDeleted (a device key that
// SetupDiRemoveDevice deleted).
struct Event {
    explicit Event(Api what) : api(what) {}
    Api api;
    std::string target;  // key path, file path, device instance id, window title, program
    bool ok = true;
    DWORD error = 0;
    // The call's own arguments and counts, each set by the calls named.
    std::string valueName;      // RegSetValueExA: the value's name as stored
    uint32_t subkeys = 0;       // RegDeleteKeyA: the subkeys the key had when asked for
    uint32_t attributes = 0;    // SetFileAttributesA: the attributes asked for
    uint32_t disposition = 0;   // CreateFileA: CREATE_NEW ... TRUNCATE_EXISTING
    uint32_t bytesWritten = 0;  // WriteFile
    std::string newPath;        // MoveFileA
    std::string parameters;     // ShellExecuteA: the program's parameters
    std::string verb;           // ShellExecuteA: "" for the default verb
    uint32_t showCommand = 0;   // ShellExecuteA
    uint32_t windowMessage = 0; // SendMessageA
    std::string message;        // MessageBoxA: the text
    std::string caption;        // MessageBoxA
    uint32_t boxType = 0;       // MessageBoxA: MB_OK, ...
    std::shared_ptr<const RegKey> deletedKey;  // deep copy of a key as it was before its deletion
    std::optional<RegValue> oldValue;          // a value as it was before it was set
    std::optional<RegValue> newValue;
    // A file as it was before it was deleted or overwritten; before it was
    // moved, without its data (which moved along unchanged).
    std::optional<FileEntry> oldFile;
};

// How often each call was made.
struct CallCounts {
    unsigned& operator[](Api call) {
        assert(IsCall(call));
        return counts[static_cast<size_t>(call)];
    }
    unsigned operator[](Api call) const {
        assert(IsCall(call));
        return counts[static_cast<size_t>(call)];
    }
    unsigned counts[kCallCount] = {};
};

struct HandleCounts {
    size_t keys = 0, infs = 0, deviceSets = 0, files = 0, finds = 0;
    size_t Total() const { return keys + infs + deviceSets + files + finds; }
};

// ---------------------------------------------------------------- the machine

// The family of a platform id (GetVersionExA's dwPlatformId): NT for
// VER_PLATFORM_WIN32_NT, the 9x family for the others.
inline Family FamilyOf(DWORD platformId) {
    return platformId == VER_PLATFORM_WIN32_NT ? Family::NT : Family::Win9x;
}

// What a machine is, and all that a copy of it takes.
struct MachineSetup {
    DWORD platformId = VER_PLATFORM_WIN32_WINDOWS;
    DWORD majorVersion = 4;
    DWORD minorVersion = 10;
    DWORD buildNumber = 2222;
    std::string csdVersion = " A ";
    std::string windowsDirectory = "C:\\WINDOWS";
    int messageBoxAnswer = IDOK;
    // The ANSI code page (a known one, sim_code_page.h): what the ANSI
    // registry functions give and take of names converts through it.
    unsigned codePage = kDefaultCodePage;
    // Wine plays any Windows over one implementation, with the NT family's
    // registry layout and rules whatever platform id it reports. Set only
    // for the simulator's twin of a Wine prefix; no Windows machine has it.
    bool wineLayout = false;

    Registry registry;
    FileSystem files;
    std::vector<Device> devices;            // present devices, in enumeration order (see Device)
    std::vector<std::string> windowTitles;  // top-level windows; WM_CLOSE closes one
    std::string computerName = "ZAVPC";     // GetComputerNameA
    // The running program's own file (GetModuleFileNameA of the exe).
    std::string modulePath = "C:\\zavcollect.exe";

    // The calls the machine's system libraries lack (by sim::Api; a Windows
    // 98 without setupapi.dll, or whose setupapi.dll lacks a call). The
    // program looks such calls up at run time (src/platform/win32), finds
    // none and fails each in the call's own way with
    // ERROR_CALL_NOT_IMPLEMENTED; the simulated call fails the same way.
    std::bitset<kCallCount> missingCalls;

    // False: `calls` is not kept (the counts are). Runs over large machines
    // make tens of millions of calls.
    bool recordCalls = true;

    // The family follows from the platform id, so that the two never disagree.
    Family family() const { return wineLayout ? Family::NT : FamilyOf(platformId); }
};

// What the calls made on a machine leave, and the faults they are to meet:
// a copy of the machine starts without any.
struct MachineRecord {
    std::vector<Event> events;
    UINT errorMode = 0;  // SetErrorMode's, as the running program set it
    std::vector<Api> calls;  // every simulated call, in order
    CallCounts callCounts;
    std::vector<Fault> faults;
};

struct Machine : MachineSetup, MachineRecord {
    Machine();
    Machine(const Machine& other);  // copies the setup: no record, no handles
    Machine& operator=(const Machine& other);
    ~Machine();

    void InjectFault(const Fault& fault) { faults.push_back(fault); }
    HandleCounts OpenHandles() const;
    // Events of one call (or other event) only, in order.
    std::vector<Event> EventsOf(Api api) const;

    // The registry path of the hardware key of an instance id (ANSI, as the
    // device functions give it) for this machine's family.
    std::string HardwareKeyPath(const std::string& instanceId) const;

    struct Internal;                    // handle tables and per-run state of the simulator
    std::unique_ptr<Internal> internal;
};

// Every call of `library` (the call table's name: "SETUPAPI") made missing
// on `machine`, as where the DLL itself is not there.
void RemoveLibrary(MachineSetup& machine, const std::string& library);

// Ready-made machines with version and Windows directory set (and
// the Windows directory's folder created).
Machine MakeWindows98();                               // 1, 4.10, " A ", C:\WINDOWS
Machine MakeWindows2000(const std::string& servicePack);  // 2, 5.0, C:\WINNT
Machine MakeWindowsXP();                               // 2, 5.1, "Service Pack 3", C:\WINDOWS

// The machine that the simulated calls act on. Only one is active at a time.
class ActiveMachine {
public:
    explicit ActiveMachine(Machine& machine);
    ~ActiveMachine();
    ActiveMachine(const ActiveMachine&) = delete;
    ActiveMachine& operator=(const ActiveMachine&) = delete;
};
Machine& Current();  // aborts when no machine is active

// Another process holding a file open (tests): a handle on `path` with the
// given GENERIC_READ/GENERIC_WRITE access and FILE_SHARE_* mode, checked
// against the handles already open like CreateFileA(OPEN_EXISTING). Returns
// 0 when the file does not exist or the sharing rules refuse it. Such
// handles bind the program's calls but are not counted by OpenHandles().
uintptr_t HoldFileOpen(Machine& m, const std::string& path, DWORD access, DWORD share);
void ReleaseFile(Machine& m, uintptr_t token);

// -------- for the simulator's own implementation files

namespace detail {
// An injected failure of one call: false when the call is to go on; else
// the error it fails with. (A plain pair rather than std::optional: GCC
// returns it in a register, and Enter runs tens of millions of times on
// large machines.)
struct Injected {
    bool fails = false;
    DWORD error = 0;
    explicit operator bool() const { return fails; }
    DWORD operator*() const { return error; }
};
// Records the call and returns the injected error when this call is to fail.
Injected Enter(Api call);
// Whether a ReadFile/WriteFile call that just entered was chosen for a short transfer.
bool ShortTransfer();
void Log(Event event);
// Sets the last error and logs the event as failed with it.
void LogFailure(Event event, DWORD error);
}  // namespace detail

}  // namespace sim
