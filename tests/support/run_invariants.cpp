#include "support/run_invariants.h"

#include "support/package_machine.h"

#include "image/machine_state.h"
#include "dryrun/run_winmain.h"
#include "image/text_codec.h"
#include "image/value_text.h"
#include "run/run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

using image::UpperAscii;
using sim::Api;

namespace support {

namespace {

const char kHklm[] = "HKEY_LOCAL_MACHINE";
const char kDriveIconsPath[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
const char kEnumUpper[] = "HKEY_LOCAL_MACHINE\\ENUM\\";
const char kDriverClassUpper[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS\\";
const char kSearch[] = "%12%\\USBSTORSP3.SYS";
const char kReplacement[] = "%12%\\USBSTOR.SYS";
const char kSystemDriverValue[] = "System32\\DRIVERS\\USBSTOR.SYS";

// A registry path or name the program spells in ANSI, as the registry holds
// it (Unicode), and the other way.
std::string Held(const sim::Machine& m, const std::string& ansi) {
    return sim::AnsiToUtf8(m.codePage, ansi);
}
std::string AsAnsi(const sim::Machine& m, const std::string& held) {
    return sim::Utf8ToAnsi(m.codePage, held);
}

const GUID kHdcClass = Guid(kHdcGuid);
const GUID kDiskClass = Guid(kDiskGuid);

// Keys that no run may delete: "Enum", the driver class key, every key
// above them, and the other trees the run works in.
const char* const kProtectedKeys[] = {
    "HKEY_LOCAL_MACHINE",
    "HKEY_LOCAL_MACHINE\\ENUM",
    "HKEY_LOCAL_MACHINE\\ENUM\\USB",
    "HKEY_LOCAL_MACHINE\\SYSTEM",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\CLASS",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS",
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\ENUM",
    "HKEY_LOCAL_MACHINE\\SOFTWARE",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT\\WINDOWS",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\DRIVEICONS",
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The bytes of a value up to its first zero byte, as the program reads texts.
std::string ValueText(const sim::RegValue& value) {
    const auto end = std::find(value.data.begin(), value.data.end(), 0);
    return std::string(value.data.begin(), end);
}

// `path` or a key above it is in `keys` (all upper case).
bool AtOrBelowAny(const std::string& path, const std::set<std::string>& keys) {
    for (const std::string& key : keys)
        if (path == key || StartsWith(path, key + "\\")) return true;
    return false;
}

// The segments of a key path below a parent: all non-empty, at least `minimum`.
bool WholeSegments(const std::string& rest, size_t minimum) {
    size_t count = 0, start = 0;
    for (;;) {
        const size_t end = rest.find('\\', start);
        const std::string segment = rest.substr(start, end == std::string::npos ? end : end - start);
        if (segment.empty()) return false;
        ++count;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return count >= minimum;
}

// "<file>.~ZT00" .. "<file>.~ZB99": the rewrite's own sibling files.
bool IsSiblingOf(const std::string& normalized, const std::string& file) {
    if (file.empty() || normalized.size() != file.size() + 6 || !StartsWith(normalized, file))
        return false;
    const std::string tail = normalized.substr(file.size());
    return (StartsWith(tail, ".~ZT") || StartsWith(tail, ".~ZB")) &&
           std::isdigit(static_cast<unsigned char>(tail[4])) &&
           std::isdigit(static_cast<unsigned char>(tail[5]));
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.size() > 300 ? out.substr(0, 300) + "..." : out;
}

// Windows 98: the inventory's records and their disks, as the platform
// reports the INF, the class and the present devices on a copy of the machine.
void DeviceScope(const sim::Machine& before, bool faulted, RunScope& s) {
    sim::Machine m = before;
    sim::ActiveMachine active(m);
    const std::string& w = before.windowsDirectory;

    std::vector<std::string> fields;
    std::vector<GUID> packageClasses = {kHdcClass};
    std::vector<std::string> infPaths;
    if (s.windowsDirectoryKnown) {
        infPaths.push_back(w + "\\inf\\other\\USBZAV03.inf");
        if (faulted || GetFileAttributesA(infPaths[0].c_str()) == INVALID_FILE_ATTRIBUTES)
            infPaths.push_back(w + "\\inf\\USBZAV03.inf");
        if (!faulted && infPaths.size() == 2) infPaths.erase(infPaths.begin());
    }
    for (const std::string& path : infPaths) {
        UINT errorLine = 0;
        HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
        if (inf != INVALID_HANDLE_VALUE) {
            for (DWORD i = 0;; ++i) {
                INFCONTEXT context;
                std::memset(&context, 0, sizeof context);
                if (SetupGetLineByIndexA(inf, "MSZAV03SECTION", i, &context) != TRUE) break;
                DWORD needed = 0;
                if (!SetupGetLineTextA(&context, nullptr, nullptr, nullptr, nullptr, 0, &needed)) continue;
                if (needed > 256) continue;  // does not fit the program's line buffer
                std::vector<char> text(needed + 1, '\0');
                SetupGetLineTextA(&context, nullptr, nullptr, nullptr, text.data(), needed, &needed);
                const std::string field = ReferenceLineField(text.data());
                if (!field.empty()) fields.push_back(field);
            }
            SetupCloseInfFile(inf);
        }
    }
    if (s.windowsDirectoryKnown) {
        GUID guid{};
        char name[256] = {0};
        bool found = SetupDiGetINFClassA((w + "\\inf\\Other\\USBZAV03.inf").c_str(), &guid, name,
                                         sizeof name, nullptr) != 0;
        if (!found) {
            guid = GUID{};
            std::memset(name, 0, sizeof name);
            found = SetupDiGetINFClassA((w + "\\inf\\USBZAV03.inf").c_str(), &guid, name, sizeof name,
                                        nullptr) != 0;
        }
        DWORD required = 0;
        if (found && SetupDiClassGuidsFromNameExA(name, &guid, 1, &required, nullptr, nullptr))
            packageClasses = {guid};
        // A failure may skip the "inf\other" copy's class, or the class altogether.
        if (faulted) {
            packageClasses.push_back(kHdcClass);
            guid = GUID{};
            std::memset(name, 0, sizeof name);
            required = 0;
            if (SetupDiGetINFClassA((w + "\\inf\\USBZAV03.inf").c_str(), &guid, name, sizeof name, nullptr) &&
                SetupDiClassGuidsFromNameExA(name, &guid, 1, &required, nullptr, nullptr))
                packageClasses.push_back(guid);
        }
    }

    // The sub-keys as RegEnumKeyA gives them: in ANSI, in the family's order.
    std::vector<std::string> candidates;
    for (const std::string& field : fields) {
        const sim::RegKey* key = before.registry.Find(Held(before, std::string(kHklm) + "\\Enum\\" + field));
        if (key == nullptr) continue;
        for (size_t i = 0; const sim::RegKey* sub = key->EnumeratedSubkey(i, before.family()); ++i) {
            const std::string name = AsAnsi(before, sub->name);
            if (name.size() + 1 > 256) break;  // the enumeration ends at a name that does not fit
            candidates.push_back(field + "\\" + name);
        }
    }

    struct Present {
        std::string id;
        GUID classGuid;
    };
    std::vector<Present> present;
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            std::vector<char> id(4096, '\0');
            DWORD needed = 0;
            SetupDiGetDeviceInstanceIdA(set, &data, id.data(), static_cast<DWORD>(id.size() - 1), &needed);
            present.push_back({id.data(), data.ClassGuid});
        }
        SetupDiDestroyDeviceInfoList(set);
    }

    for (const Present& d : present) {
        bool packageClass = false;
        for (const GUID& g : packageClasses)
            packageClass = packageClass || std::memcmp(&d.classGuid, &g, sizeof(GUID)) == 0;
        if (!packageClass || d.id.size() > 253) continue;
        for (const std::string& c : candidates)
            if (c == d.id) s.recordDeviceIds.insert(d.id);
    }
    for (const Present& d : present) {
        if (std::memcmp(&d.classGuid, &kDiskClass, sizeof(GUID)) != 0 || d.id.size() > 255) continue;
        const size_t first = d.id.find('\\');
        const size_t second = first == std::string::npos ? first : d.id.find('\\', first + 1);
        if (second == std::string::npos) continue;
        const std::string third = d.id.substr(second + 1);
        for (const std::string& record : s.recordDeviceIds)
            if (!third.empty() && ReferenceRewrite(record).diskMatchId == third)
                s.pairedDiskIds.insert(d.id);
    }

    // The hardware keys of records and disks; the driver keys that their
    // "Driver" values (and that of the record's USB node) name.
    auto driverKey = [&](const std::string& hardwarePath) {
        const auto value = before.registry.GetValue(Held(before, hardwarePath), "Driver");
        if (!value) return;
        const std::string text = ValueText(*value);
        if (!text.empty()) s.deletableKeys.insert(kDriverClassUpper + UpperAscii(Held(before, text)));
    };
    for (const std::string& id : s.recordDeviceIds) {
        s.deletableKeys.insert(kEnumUpper + UpperAscii(Held(before, id)));
        driverKey(std::string(kHklm) + "\\Enum\\" + id);
        driverKey(std::string(kHklm) + "\\Enum\\USB\\" + ReferenceRewrite(id).usbKeyTail);
    }
    for (const std::string& id : s.pairedDiskIds) {
        s.deletableKeys.insert(kEnumUpper + UpperAscii(Held(before, id)));
        driverKey(std::string(kHklm) + "\\Enum\\" + id);
    }

    if (s.windowsDirectoryKnown) {
        for (const char* file : {"\\system32\\drivers\\WDMZAV03.sys", "\\system\\iosubsys\\PDRZAV03.pdr",
                                 "\\inf\\other\\USBZAV03.inf", "\\inf\\USBZAV03.inf",
                                 "\\inf\\MSTEVUmss.PNF"}) {
            s.deletableFiles.insert(sim::FileSystem::Normalize(w + file));
            // The precompiled INF gets one plain attempt: a read-only one stays.
            const sim::FileEntry* entry = before.files.Find(w + file);
            const bool plain = std::strcmp(file, "\\inf\\MSTEVUmss.PNF") == 0;
            if (entry != nullptr && !entry->directory &&
                !(plain && (entry->attributes & FILE_ATTRIBUTE_READONLY)))
                s.requiredGoneFiles.insert(sim::FileSystem::Normalize(w + file));
        }
    }
}

void RestoreScope(const sim::Machine& before, RunScope& s) {
    const sim::RegKey* system = before.registry.Find(std::string(kHklm) + "\\System");
    if (system != nullptr) {
        for (const auto& sub : system->subkeys) {
            bool spelled = true;
            if (sim::Utf8ToAnsi(before.codePage, sub->name, &spelled).size() + 1 > 256) break;
            const std::string service = std::string(kHklm) + "\\System\\" + sub->name + "\\Services\\USBSTOR";
            if (before.registry.Find(service) == nullptr) continue;
            s.writableValues.insert(image::ValueWhat(service, "ImagePath"));
            // A control set whose name the ANSI code page cannot spell is out of
            // the A functions' reach: the name they enumerate opens another key
            // or none, as on Windows.
            if (spelled) s.requiredImagePaths.insert(UpperAscii(service));
        }
    }
    if (!s.windowsDirectoryKnown) return;
    const std::string& w = before.windowsDirectory;
    const std::string replacement = w + "\\System32\\DRIVERS\\USBSTORSP3.SYS";
    s.deletableFiles.insert(sim::FileSystem::Normalize(replacement));
    const sim::FileEntry* driver = before.files.Find(replacement);
    if (driver != nullptr && !driver->directory)
        s.requiredGoneFiles.insert(sim::FileSystem::Normalize(replacement));
    if (system == nullptr) return;  // without the key "System" the INF is left alone
    const std::string inf = w + "\\inf\\usbstor.inf";
    const sim::FileEntry* entry = before.files.Find(inf);
    if (entry == nullptr || entry->directory) return;
    s.rewritableFile = sim::FileSystem::Normalize(inf);
    s.rewriteExpected = (entry->attributes & FILE_ATTRIBUTE_READONLY) == 0;
    s.rewrittenContent = ReferenceReplace(entry->data, kSearch, kReplacement);
}

}  // namespace

// ---------------------------------------------------------------- reference models

std::string ReferenceLineField(const std::string& lineText) {
    const size_t first = lineText.find(',');
    if (first == std::string::npos) return std::string();
    const size_t second = lineText.find(',', first + 1);
    return lineText.substr(first + 1, second == std::string::npos ? second : second - first - 1);
}

IdRewrite ReferenceRewrite(const std::string& id) {
    IdRewrite r;
    r.diskMatchId = id;
    std::replace(r.diskMatchId.begin(), r.diskMatchId.end(), '\\', '&');
    r.diskMatchId += "00";

    std::vector<std::string> segments;
    std::vector<size_t> starts;
    size_t start = 0;
    for (;;) {
        const size_t end = id.find('\\', start);
        segments.push_back(id.substr(start, end == std::string::npos ? end : end - start));
        starts.push_back(start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    size_t tail = std::string::npos;
    if (segments.size() >= 2 && segments[1].find('&') != std::string::npos)
        tail = starts[1];
    else if (segments.size() >= 3 && segments[2].find('&') != std::string::npos)
        tail = starts[2] + segments[2].find('&') + 1;
    if (tail == std::string::npos) return r;

    const std::string text = id.substr(tail);
    r.flatIdTail = text;
    std::replace(r.flatIdTail.begin(), r.flatIdTail.end(), '\\', '&');
    r.usbKeyTail = text;
    const size_t firstAmp = text.find('&');
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '&' && i != firstAmp) r.usbKeyTail[i] = '\\';
    return r;
}

std::vector<uint8_t> ReferenceReplace(const std::vector<uint8_t>& file, const std::string& search,
                                      const std::string& replacement) {
    const size_t n = file.size();
    for (size_t p = 0; p < n && !search.empty(); ++p) {
        bool match = true;
        for (size_t k = 0; k < search.size() && match; ++k)
            match = p + 2 * k < n && file[p + 2 * k] == static_cast<uint8_t>(search[k]);
        if (!match) continue;
        std::vector<uint8_t> out(file.begin(), file.begin() + static_cast<long>(p));
        const std::vector<uint8_t> wide = Utf16Bytes(replacement);
        out.insert(out.end(), wide.begin(), wide.end());
        const size_t after = p + 2 * search.size();
        if (after < n) out.insert(out.end(), file.begin() + static_cast<long>(after), file.end());
        return out;
    }
    return file;
}

// ---------------------------------------------------------------- the scope

RunScope ScopeOf(const sim::Machine& before, bool faulted) {
    RunScope s;
    const std::string& w = before.windowsDirectory;
    s.windowsDirectoryKnown = !w.empty() && w.size() < 100 && w.find('\0') == std::string::npos;
    std::string servicePack = before.csdVersion.substr(0, 127);
    servicePack = servicePack.substr(0, servicePack.find('\0'));

    if (before.platformId == VER_PLATFORM_WIN32_WINDOWS && before.minorVersion == 10) {
        s.work = RunScope::Work::Windows98;
        DeviceScope(before, faulted, s);
    } else if (before.platformId == VER_PLATFORM_WIN32_NT && before.majorVersion == 5 &&
               before.minorVersion == 0 && servicePack != "Service Pack 3" &&
               servicePack != "Service Pack 4") {
        s.work = RunScope::Work::StorageDriverRestore;
        RestoreScope(before, s);
    }

    if (const sim::RegKey* icons = before.registry.Find(kDriveIconsPath)) {
        for (const auto& letter : icons->subkeys) {
            const std::string& name = letter->name;
            if (name.size() != 1 || !std::isalpha(static_cast<unsigned char>(name[0])) ||
                static_cast<unsigned char>(name[0]) > 0x7F || letter->FindSubkey("TEVDRIVE") == nullptr)
                continue;
            const std::string key = UpperAscii(std::string(kDriveIconsPath) + "\\" + name);
            s.deletableKeys.insert(key);
            s.packageLetterKeys.insert(key);
            s.writableValues.insert(image::ValueWhat(key + "\\DEFAULTICON", ""));
            s.writableValues.insert(image::ValueWhat(key + "\\DEFAULTLABEL", ""));
        }
    }
    return s;
}

// ---------------------------------------------------------------- the check

std::vector<std::string> CheckRun(const sim::Machine& before, const sim::Machine& after, int exitCode,
                                  bool faulted) {
    std::vector<std::string> problems;
    auto problem = [&problems](const std::string& text) { problems.push_back(Printable(text)); };
    const RunScope s = ScopeOf(before, faulted);

    if (exitCode != 0) problem("exit code " + std::to_string(exitCode));
    const sim::HandleCounts open = after.OpenHandles();
    if (open.Total() != 0)
        problem(HandlesText(open));

    const std::set<std::string> protectedKeys(std::begin(kProtectedKeys), std::end(kProtectedKeys));
    auto fileAllowed = [&s](const std::string& path) {
        const std::string n = sim::FileSystem::Normalize(path);
        return s.deletableFiles.count(n) != 0 || (!s.rewritableFile.empty() && n == s.rewritableFile) ||
               IsSiblingOf(n, s.rewritableFile);
    };

    size_t messageBoxes = 0, installers = 0, closes = 0;
    for (const sim::Event& e : after.events) {
        const std::string target = UpperAscii(e.target);
        const std::string call = sim::ApiName(e.api);
        if (e.api == Api::RegDeleteKeyA) {
            if (protectedKeys.count(target) != 0) {
                problem(call + " on a protected key: " + e.target);
            } else if (s.deletableKeys.count(target) == 0) {
                problem(call + " on a key no selected record names: " + e.target);
            } else if (StartsWith(target, kEnumUpper) &&
                       !WholeSegments(target.substr(std::strlen(kEnumUpper)), 3)) {
                problem(call + " on a key above a device's instance key: " + e.target);
            } else if (StartsWith(target, kDriverClassUpper) &&
                       !WholeSegments(target.substr(std::strlen(kDriverClassUpper)), 2)) {
                problem(call + " on a key above a driver key: " + e.target);
            }
        } else if (e.api == Api::DeviceKeyDeleted) {
            if (!AtOrBelowAny(target, s.deletableKeys))
                problem("device removal deleted a key no selected record names: " + e.target);
        } else if (e.api == Api::RegSetValueExA) {
            if (s.writableValues.count(image::ValueWhat(e.target, e.valueName)) == 0)
                problem(call + " outside the run's values: " + e.target + " | " + e.valueName);
        } else if (e.api == Api::SetupDiRemoveDevice) {
            if (e.ok && s.recordDeviceIds.count(e.target) == 0)
                problem("removed a device that stands in no record: " + e.target);
        } else if (e.api == Api::DeleteFileA || e.api == Api::SetFileAttributesA ||
                   e.api == Api::CreateFileA || e.api == Api::WriteFile) {
            if (!fileAllowed(e.target)) problem(call + " outside the package's files: " + e.target);
        } else if (e.api == Api::MoveFileA) {
            if (!fileAllowed(e.target) || !fileAllowed(e.newPath))
                problem(call + " outside the package's files: " + e.target + " -> " + e.newPath);
        } else if (e.api == Api::MessageBoxA) {
            ++messageBoxes;
            if (e.message != "UnInstall finished!" || e.caption != " Success!")
                problem("message box \"" + e.message + "\" / \"" + e.caption + "\"");
        } else if (e.api == Api::ShellExecuteA) {
            ++installers;
        } else if (e.api == Api::SendMessageA) {
            ++closes;
        }
    }
    // A failure may leave the message unshown (no device list) or the
    // companion unfound; the installer is always asked for.
    bool companion = false;
    for (const std::string& title : before.windowTitles)
        companion = companion || UpperAscii(title) == "GLOVIX";
    if (messageBoxes != 1 && !(faulted && messageBoxes == 0))
        problem("completion messages shown: " + std::to_string(messageBoxes));
    if (installers != 1) problem("installer started " + std::to_string(installers) + " times");
    if (closes != (companion ? 1u : 0u) && !(faulted && closes == 0))
        problem("WM_CLOSE sent " + std::to_string(closes) + " times");

    // The registry and the files as lines of the machine's state: every line
    // the run removed, changed or added must lie in its scope. The lines of
    // a key that went or came are told by the key's own line.
    const image::StateLines stateBefore = image::MachineState(before);
    const image::StateLines stateAfter = image::MachineState(after);
    const image::StateDifference changes = image::Difference(stateBefore, stateAfter);
    image::StateLines goneWithKeys, cameWithKeys;
    for (const auto& [what, facts] : changes.removed)
        if (StartsWith(what, "key ")) image::AddRegistry(goneWithKeys, before.registry, what.substr(4));
    for (const auto& [what, facts] : changes.added)
        if (StartsWith(what, "key ")) image::AddRegistry(cameWithKeys, after.registry, what.substr(4));
    for (const auto& [what, facts] : changes.removed) {
        if (StartsWith(what, "key ")) {
            const std::string path = what.substr(4);
            if (protectedKeys.count(path) != 0) problem("protected key gone: " + path);
            else if (!AtOrBelowAny(path, s.deletableKeys)) problem("key gone: " + path);
        } else if (StartsWith(what, "value ") && goneWithKeys.count(what) == 0 &&
                   s.writableValues.count(what) == 0) {
            problem("value changed or gone: " + what.substr(6));
        }
    }
    for (const auto& [what, facts] : changes.added) {
        if (StartsWith(what, "key ")) {
            problem("key added: " + what.substr(4));
        } else if (StartsWith(what, "value ") && stateBefore.count(what) == 0 &&
                   cameWithKeys.count(what) == 0 && s.writableValues.count(what) == 0) {
            problem("value added: " + what.substr(6));
        }
    }

    // What the run must have done: all of it without a failure.
    auto valueAfter = [&stateAfter](const std::string& key, const std::string& name) {
        const auto found = stateAfter.find(image::ValueWhat(key, name));
        return found == stateAfter.end() ? std::string("(none)") : found->second;
    };
    for (const sim::Device& d : faulted ? std::vector<sim::Device>() : after.devices)
        if (s.recordDeviceIds.count(d.instanceId) != 0)
            problem("package device still present: " + d.instanceId);
    auto keyAfter = [&stateAfter](const std::string& key) { return stateAfter.count(image::KeyWhat(key)) != 0; };
    const std::string emptyText = image::DescribeValue(sim::RegValue{"", REG_SZ, {}}, image::ValueDetail::Exact);
    for (const std::string& letter : faulted ? std::set<std::string>() : s.packageLetterKeys) {
        if (before.family() == sim::Family::Win9x) {
            if (keyAfter(letter)) problem("package drive letter key left: " + letter);
            continue;
        }
        for (const char* sub : {"\\DEFAULTICON", "\\DEFAULTLABEL"})
            if (keyAfter(letter + sub) && valueAfter(letter + sub, "") != emptyText)
                problem("package drive registration not emptied: " + letter + sub);
    }
    const std::vector<uint8_t> systemDriverBytes = TextBytes(std::string(kSystemDriverValue, sizeof kSystemDriverValue));
    const std::string systemDriver =
        image::DescribeValue(sim::RegValue{"ImagePath", REG_EXPAND_SZ, sim::ValueData(systemDriverBytes.begin(), systemDriverBytes.end())}, image::ValueDetail::Exact);
    for (const std::string& service : faulted ? std::set<std::string>() : s.requiredImagePaths)
        if (valueAfter(service, "ImagePath") != systemDriver) problem("ImagePath not restored: " + service);

    // The files: only the package's own go or lose attributes; the storage
    // INF holds the replacement's result.
    for (const auto& [what, facts] : changes.removed) {
        if (!StartsWith(what, "file ")) continue;
        const std::string path = what.substr(5);
        const sim::FileEntry* was = before.files.Find(path);
        const sim::FileEntry* now = after.files.Find(path);
        const bool deletable = s.deletableFiles.count(path) != 0;
        if (now == nullptr) {
            if (faulted && path == s.rewritableFile) {
                // Gone only while a sibling keeps its former content.
                bool kept = false;
                for (const sim::FileEntry* e : after.files.Entries())
                    kept = kept ||
                           (IsSiblingOf(sim::FileSystem::Normalize(e->path), path) && e->data == was->data);
                if (!kept) problem("storage INF lost: " + path);
            } else if (!deletable || was->directory) {
                problem("file gone: " + path);
            }
        } else if (now->directory != was->directory) {
            problem("file became a directory or the other way round: " + path);
        } else if (path == s.rewritableFile && faulted) {
            if (now->data != was->data && now->data != s.rewrittenContent)
                problem("storage INF holds neither its former nor its rewritten content: " + path);
        } else if (!(path == s.rewritableFile && s.rewriteExpected)) {  // that one is checked below
            if (now->data != was->data) problem("file content changed: " + path);
            if (now->attributes != was->attributes && !deletable) problem("file attributes changed: " + path);
        }
    }
    if (!faulted && s.rewriteExpected) {
        const sim::FileEntry* now = after.files.Find(s.rewritableFile);
        if (now != nullptr && !now->directory && now->data != s.rewrittenContent)
            problem("storage INF not rewritten as expected: " + s.rewritableFile);
    }
    for (const std::string& path : faulted ? std::set<std::string>() : s.requiredGoneFiles)
        if (after.files.Find(path) != nullptr) problem("package file left: " + path);
    // A failed rewrite may leave its sibling files, each holding one of the
    // two contents.
    const sim::FileEntry* inf = s.rewritableFile.empty() ? nullptr : before.files.Find(s.rewritableFile);
    for (const auto& [what, facts] : changes.added) {
        if (!StartsWith(what, "file ") || stateBefore.count(what) != 0) continue;
        const std::string path = what.substr(5);
        const sim::FileEntry* entry = after.files.Find(path);
        const bool leftover = faulted && IsSiblingOf(path, s.rewritableFile) && inf != nullptr &&
                              (entry->data == inf->data || entry->data == s.rewrittenContent);
        if (!leftover) problem("file added: " + path);
    }
    return problems;
}

std::string HandlesText(const sim::HandleCounts& open) {
    return "handles left open: keys " + std::to_string(open.keys) + ", infs " + std::to_string(open.infs) +
           ", sets " + std::to_string(open.deviceSets) + ", files " + std::to_string(open.files) +
           ", finds " + std::to_string(open.finds);
}

std::vector<std::string> RunAndCheck(const sim::Machine& machine) {
    sim::Machine m = machine;
    const int exitCode = dryrun::RunWinMain(m);
    return CheckRun(machine, m, exitCode);
}

}  // namespace support
