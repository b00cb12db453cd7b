#include "support/random_machine.h"

#include "support/package_machine.h"
#include "support/run_invariants.h"

#include "image/text_codec.h"

#include <cstdio>
#include <set>
#include <vector>

namespace support {

std::string SeededChoices::Bytes(size_t maxLength) {
    const size_t length = static_cast<size_t>(rng_() % (maxLength + 1));
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        // Mostly printable, with separators, controls and high bytes mixed in.
        const uint32_t kind = static_cast<uint32_t>(rng_() % 8);
        if (kind < 5) out += static_cast<char>(0x20 + rng_() % 0x5F);
        else if (kind == 5) out += "\\&,;=\"%[]\r\n"[rng_() % 12];
        else out += static_cast<char>(rng_() % 256);
    }
    return out;
}

uint32_t ByteChoices::Below(uint32_t n) {
    const size_t width = n <= 0x100 ? 1 : n <= 0x10000 ? 2 : 4;
    uint32_t value = 0;
    for (size_t i = 0; i < width && pos_ < size_; ++i) value = value << 8 | data_[pos_++];
    return value % n;
}

std::string ByteChoices::Bytes(size_t maxLength) {
    const size_t length = Below(static_cast<uint32_t>(maxLength + 1));
    const size_t available = size_ - pos_ < length ? size_ - pos_ : length;
    std::string out(reinterpret_cast<const char*>(data_ + pos_), available);
    pos_ += available;
    return out;
}

namespace {

const char kRivalGuid[] = "{7F1E3A20-5B6C-4D8E-9F01-23456789ABCE}";  // same class name, other GUID
const char kKeyboardGuid[] = "{4D36E96B-E325-11CE-BFC1-08002BE10318}";

std::string NoZeros(std::string text) {
    for (char& ch : text)
        if (ch == '\0') ch = '0';
    return text;
}

// A key path the simulated registry can hold: a root, then non-empty names
// (trailing backslashes are ignored, as the API ignores them).
bool ValidKeyPath(const std::string& path) {
    std::string rest = path;
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    if (rest.empty() || rest.find("\\\\") != std::string::npos) return false;
    return rest.find('\\') != std::string::npos;
}

std::string Hex4(Choices& c) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", c.Below(0x10000));
    return text;
}

std::string ToggleCase(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') return ch = static_cast<char>(ch - 'A' + 'a'), text;
        if (ch >= 'a' && ch <= 'z') return ch = static_cast<char>(ch - 'a' + 'A'), text;
    }
    return text + "x";
}

struct Builder {
    Choices& c;
    sim::Machine m;
    std::vector<std::string> infPrefixes;  // as the INF lines carry them
    std::set<std::string> deviceIds;       // upper case: ids stay unique as on Windows
    std::string enumRoot, classRoot;

    explicit Builder(Choices& choices) : c(choices) {}

    // Keys and names spelled in ANSI, as the program spells them; the
    // registry holds them in Unicode.
    void SetString(const std::string& key, const std::string& name, const std::string& text) {
        if (ValidKeyPath(key)) m.registry.SetString(Held(key), Held(name), text);
    }
    void SetValue(const std::string& key, const std::string& name, DWORD type, std::vector<uint8_t> data) {
        if (ValidKeyPath(key)) m.registry.SetValue(Held(key), Held(name), type, std::move(data));
    }
    std::string Held(const std::string& ansi) const { return sim::AnsiToUtf8(m.codePage, ansi); }
    void AddDevice(const std::string& id, const char* classGuid, bool explicitClass) {
        if (id.empty() || !deviceIds.insert(image::UpperAscii(id)).second) return;
        sim::Device device;
        device.instanceId = id;
        if (explicitClass) device.classGuid = sim::ParseGuid(classGuid);
        else SetString(enumRoot + id, "ClassGUID", classGuid);
        m.devices.push_back(device);
    }

    void System();
    std::string Prefix();
    std::string InstanceName(const std::string& prefix);
    void DriverValue(const std::string& key);
    std::string InfLine(const std::string& prefix);
    std::string InfText();
    void PackageInf();
    void Classes();
    void Devices();
    void Files();
    void StorageDriver();
    void DriveIcons();
};

void Builder::System() {
    switch (c.Below(10)) {
    case 0: case 1: case 2: case 3: case 4: m = sim::MakeWindows98(); break;
    case 5: case 6: m = sim::MakeWindows2000("Service Pack 2"); break;
    case 7: {
        static const char* const kPacks[] = {"", "Service Pack 1", "Service Pack 3", "Service Pack 4",
                                             "service pack 3", "Service Pack 3 ", "Service Pack 4a"};
        m = sim::MakeWindows2000(c.Pick(kPacks));
        break;
    }
    case 8: m = sim::MakeWindowsXP(); break;
    default: {
        // Windows ME, 95, NT 4, and a later NT: no system-dependent work.
        static const DWORD kVersions[][3] = {{1, 4, 90}, {1, 4, 0}, {2, 4, 0}, {2, 6, 0}, {0, 3, 10}};
        const DWORD* v = kVersions[c.Below(5)];
        m = v[0] == VER_PLATFORM_WIN32_NT ? sim::MakeWindows2000("Service Pack 6") : sim::MakeWindows98();
        m.platformId = v[0];
        m.majorVersion = v[1];
        m.minorVersion = v[2];
    }
    }
    if (c.OneIn(12)) {
        // 99 characters fit the program's 100-character buffer with the
        // terminator; 100 do not, and then no path is formed at all.
        m.windowsDirectory = "C:\\" + std::string(96 + c.Below(2), 'W');
        m.files.AddDirectory(m.windowsDirectory);
    }
    enumRoot = m.family() == sim::Family::NT ? "HKLM\\System\\CurrentControlSet\\Enum\\" : "HKLM\\Enum\\";
    classRoot = m.family() == sim::Family::NT ? "HKLM\\System\\CurrentControlSet\\Control\\Class\\"
                                            : "HKLM\\System\\CurrentControlSet\\Services\\Class\\";
}

std::string Builder::Prefix() {
    static const char* const kHostile[] = {
        "", "USB", "USB\\", "\\USB\\VID_1234&PID_5678", "USB\\\\VID_1234&PID_5678",
        "USB\\VID_1234&PID_5678\\", "\\", "\\\\", "..", "Enum", "USB\\VID_1234&PID_5678\\SN01",
        "USB\\VID_\xC4\xD6&PID_\xFC\xE9", "X\\A&B", "X\\A\\B&C", "X\\&A", "ROOT\\DEVICE", "NOSEP",
        "SCSI\\DISK&VEN_ZAV"};
    switch (c.Below(15)) {
    case 0: case 1: case 2: case 12: case 13: return "USB\\VID_1234&PID_5678";
    case 3: case 14: return "USB\\VID_1234&PID_9ABC";
    case 4: return "USBSTOR\\VID_1234&PID_5678";  // the same id tail as the first
    case 5: return "USB\\VID_" + Hex4(c) + "&PID_" + Hex4(c);
    case 6: return "usb\\vid_1234&pid_5678";
    case 7: case 8: return c.Pick(kHostile);
    case 9: return "USB\\VID_1234&PID_" + std::string(180 + c.Below(80), 'L');
    case 10:
        if (!infPrefixes.empty()) return infPrefixes[c.Below(static_cast<uint32_t>(infPrefixes.size()))];
        return "USB\\VID_1234&PID_5678";
    default: return NoZeros(c.Bytes(24));
    }
}

std::string Builder::InstanceName(const std::string& prefix) {
    switch (c.Below(12)) {
    case 0: case 1: return "SN01";
    case 2: return "SN02";
    case 3: return "0000";
    case 4: return "5&2F1B0&0&1";
    case 5: return "sn01";
    case 6: return "&B";
    case 7: return "C&D&E";
    case 8: return "\xE9T\xE9";
    case 9: {
        // Instance ids of 252 to 260 characters.
        const size_t total = 252 + c.Below(9);
        const size_t used = prefix.size() + 1;
        return std::string(total > used ? total - used : 1, 'N');
    }
    case 10: return std::string(255 + c.Below(2), 'M');  // a name that fits the buffer, and one that does not
    default: {
        std::string name = NoZeros(c.Bytes(12));
        for (char& ch : name)
            if (ch == '\\') ch = '_';
        return name.empty() ? "SN03" : name;
    }
    }
}

// A "Driver" value: the usual class\instance form, or anything a damaged
// or hostile registry may hold.
void Builder::DriverValue(const std::string& key) {
    static const char* const kHostile[] = {
        "", "\\", "\\\\", "ZavStorage\\", "\\ZavStorage\\0000", "ZavStorage\\\\0000", "ZavStorage",
        "DiskDrive", "..\\..", "ZavStorage\\..", ".\\ZavStorage", "ZavStorage\\0000\\",
        "Zav\xE9\\0000", "DiskDrive\\0000", "USB\\0000", "hdc\\0000\\Sub"};
    std::string text;
    switch (c.Below(10)) {
    case 0: case 1: case 2: case 3: text = "ZavStorage\\000" + std::to_string(c.Below(4)); break;
    case 4: text = "DiskDrive\\000" + std::to_string(c.Below(4)); break;
    case 5: case 6: text = c.Pick(kHostile); break;
    case 7: {
        // 255, 256 and 257 bytes with the terminator, and far more.
        static const size_t kLengths[] = {254, 255, 256, 300};
        const size_t length = c.Pick(kLengths);
        text = "ZavStorage\\" + std::string(length - 11, 'k');
        break;
    }
    case 8: text = NoZeros(c.Bytes(40)); break;
    default:
        switch (c.Below(3)) {
        case 0: SetValue(key, "Driver", REG_SZ, std::vector<uint8_t>(256, 'Z')); break;  // no terminator
        case 1: SetValue(key, "Driver", REG_BINARY, TextBytes(c.Bytes(20))); break;
        default: SetValue(key, "Driver", REG_DWORD, {1, 0, 0, 0}); break;
        }
        return;
    }
    SetString(key, "Driver", text);
    // Most driver keys exist; their names follow the value as the registry
    // would hold it.
    if (!c.OneIn(5)) SetString(classRoot + text, "DriverDesc", "driver of " + key);
}

std::string Builder::InfLine(const std::string& p) {
    switch (c.Below(14)) {
    case 0: case 1: case 2: return "ZavDisk=Install," + p;
    case 3: return "ZavDisk=Install," + p + ",USB\\CLASS_08";
    case 4: return "Install," + p;
    case 5: return p;  // no comma: an empty field
    case 6: return "ZavDisk = Install , " + p + " ;comment";
    case 7: return "ZavDisk=\"Install,more\"," + p;  // a quoted comma moves the field
    case 8: return "ZavDisk=Install," + p + "," + std::string(c.Below(300), 'x');
    case 9: return "ZavDisk=Install,\\\r\n" + p;  // continued on the next line
    case 10: return ";" + p;
    case 11: return "ZavDisk=," + p;
    case 12: return "ZavDisk=Install,%Ref%";
    default: return NoZeros(c.Bytes(60));
    }
}

std::string Builder::InfText() {
    std::string text;
    if (c.OneIn(20)) text += "orphan line before any section\r\n";  // a syntax error
    switch (c.Below(14)) {
    case 5: text += "[Version]\r\nSignature=\"$Chicago$\"\r\nProvider=%Maker%\r\n"; break;
    case 6: text += "[Version]\r\nSignature=\"$Chicago$\"\r\nClass=ZavStorage\r\nClassGUID={7F1E3A20-XXXX}\r\n"; break;
    case 7: text += "[Version]\r\nSignature=\"$Windows NT$\"\r\nClassGUID=" + std::string(kPackageGuid) + "\r\n"; break;
    default:
        text += "[Version]\r\nSignature=\"$Chicago$\"\r\nClass=ZavStorage\r\nClassGUID=" +
                std::string(kPackageGuid) + "\r\nProvider=%Maker%\r\n";
    }
    std::string reference = "USB\\VID_1234&PID_5678";
    const uint32_t sections = c.OneIn(16) ? 0 : 1 + c.Below(2);
    for (uint32_t s = 0; s < sections; ++s) {
        static const char* const kNames[] = {"MSZAV03SECTION", "MSZAV03SECTION", "mszav03section",
                                             " MSZAV03SECTION "};
        text += std::string("\r\n[") + c.Pick(kNames) + "]\r\n";
        const uint32_t lines = 1 + c.Below(4);
        for (uint32_t l = 0; l < lines; ++l) {
            const std::string prefix = Prefix();
            infPrefixes.push_back(prefix);
            reference = prefix;
            text += InfLine(prefix) + "\r\n";
        }
    }
    if (c.OneIn(20)) text += "[Unterminated\r\n";
    text += "\r\n[Strings]\r\nMaker=\"Zav\"\r\nRef=\"" + reference + "\"\r\n";
    if (c.OneIn(20)) text = c.Bytes(400);  // not an INF at all

    switch (c.Below(10)) {
    case 8: {  // UTF-16LE with its byte order mark
        const std::vector<uint8_t> wide = Concat(kByteOrderMark, Utf16Bytes(text));
        return std::string(wide.begin(), wide.end());
    }
    case 9: return "\xEF\xBB\xBF" + text;
    default: return text;
    }
}

void Builder::PackageInf() {
    const std::string w = m.windowsDirectory;
    const std::string other = w + "\\inf\\other\\USBZAV03.inf";
    const std::string inf = w + "\\inf\\USBZAV03.inf";
    static const DWORD kAttributes[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY,
                                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    switch (c.Below(10)) {
    case 0: case 1: case 2: case 3: case 4: m.files.AddFile(other, InfText(), c.Pick(kAttributes)); break;
    case 5: case 6: m.files.AddFile(inf, InfText(), c.Pick(kAttributes)); break;
    case 7:
        m.files.AddFile(other, InfText(), c.Pick(kAttributes));
        m.files.AddFile(inf, c.OneIn(2) ? m.files.Read(other).value() : TextBytes(InfText()), c.Pick(kAttributes));
        break;
    case 8: m.files.AddDirectory(w + "\\inf\\other"); break;  // no INF
    default:
        // A directory bears the INF's name in "inf\other".
        m.files.AddDirectory(other);
        m.files.AddFile(other + "\\inside.txt", "kept");
        m.files.AddFile(inf, InfText(), c.Pick(kAttributes));
    }
}

// The setup classes the system knows: the package's class name registered
// once, not at all, under another GUID, or twice.
void Builder::Classes() {
    switch (c.Below(12)) {
    case 9: break;
    case 10: SetString(classRoot + kRivalGuid, "Class", "ZavStorage"); break;
    case 11:
        SetString(classRoot + kPackageGuid, "Class", "ZavStorage");
        SetString(classRoot + kRivalGuid, "Class", "ZavStorage");
        break;
    default: SetString(classRoot + kPackageGuid, "Class", "ZavStorage");
    }
    SetString(classRoot + kDiskGuid, "Class", "DiskDrive");
    SetString(classRoot + kHdcGuid, "Class", "hdc");
    SetString(classRoot + kUsbGuid, "Class", "USB");
    for (const char* key : {"DiskDrive\\0000", "hdc\\0000", "USB\\0000", "ZavStorage\\0009"})
        SetString(classRoot + key, "DriverDesc", std::string("system ") + key);
}

void Builder::Devices() {
    // The system's own devices, which must stay.
    SetString(enumRoot + "PCI\\VEN_8086&DEV_7111\\0", "Driver", "hdc\\0000");
    SetString(enumRoot + "ESDI\\GENERIC_IDE_DISK\\0", "Driver", "DiskDrive\\0000");
    SetString(enumRoot + "USB\\ROOT_HUB\\0000", "Driver", "USB\\0000");
    AddDevice("PCI\\VEN_8086&DEV_7111\\0", kHdcGuid, true);
    AddDevice("ESDI\\GENERIC_IDE_DISK\\0", kDiskGuid, true);
    AddDevice("USB\\ROOT_HUB\\0000", kUsbGuid, true);
    if (c.OneIn(10)) SetString(enumRoot + "USB", "Driver", "USB\\0001");  // an empty USB tail opens Enum\USB

    std::vector<std::string> prefixes = infPrefixes;
    for (uint32_t i = c.Below(3); i > 0; --i) prefixes.push_back(Prefix());
    for (const std::string& prefix : prefixes) {
        const std::string prefixKey = enumRoot + prefix;
        if (!ValidKeyPath(prefixKey)) continue;
        for (uint32_t i = 1 + c.Below(3); i > 0; --i) {
            const std::string name = InstanceName(prefix);
            const std::string key = prefixKey + "\\" + name;
            if (!ValidKeyPath(key)) continue;
            SetString(key, "DeviceDesc", "USB disk");
            SetString(key, "Mfg", "Zav");
            if (!c.OneIn(7)) DriverValue(key);
            if (c.OneIn(5)) {
                // Recorded, not present (unplugged): its key keeps the
                // class, unless a present device's key it is gave one.
                if (!m.registry.GetValue(key, "ClassGUID")) SetString(key, "ClassGUID", kPackageGuid);
                continue;
            }

            // The id as the device list gives it: as the INF and the key
            // name form it, as the registry spells it, or nearly so.
            std::string id = prefix + "\\" + name;
            switch (c.Below(14)) {
            case 11: id = ToggleCase(id); break;
            case 12: id += "X"; break;
            case 13: {
                std::string canonical = prefix;
                while (!canonical.empty() && canonical.back() == '\\') canonical.pop_back();
                id = canonical + "\\" + name;
                break;
            }
            default: break;
            }
            static const char* const kClasses[] = {kPackageGuid, kPackageGuid, kPackageGuid, kPackageGuid,
                                                   kPackageGuid, kPackageGuid, kPackageGuid, kPackageGuid,
                                                   kPackageGuid, kRivalGuid, kHdcGuid, kDiskGuid,
                                                   kUsbGuid, kKeyboardGuid};
            const char* cls = c.Pick(kClasses);
            AddDevice(id, cls, !c.OneIn(4));
            if (c.OneIn(3)) {
                // The device's USB node, when its id tail names another key.
                const std::string usb = enumRoot + "USB\\" + ReferenceRewrite(id).usbKeyTail;
                if (ValidKeyPath(usb)) DriverValue(usb);
            }
            if (c.OneIn(2)) continue;

            // Its disk drive: paired when the disk id carries the rewritten
            // id after its second backslash.
            const std::string match = ReferenceRewrite(id).diskMatchId;
            for (uint32_t d = 1 + (c.OneIn(6) ? 1 : 0); d > 0; --d) {
                std::string disk;
                switch (c.Below(8)) {
                case 5: disk = "SCSI\\DISK&VEN_ZAV\\" + ToggleCase(match); break;
                case 6: disk = "SCSI\\" + match; break;
                case 7: disk = "SCSI\\DISK\\X\\" + match; break;
                default: disk = "SCSI\\DISK&VEN_ZAV" + std::string(d > 1 ? "2" : "") + "\\" + match;
                }
                const std::string diskKey = enumRoot + disk;
                SetString(diskKey, "Mfg", "Zav");
                SetString(diskKey, "DeviceDesc", "ZAV USB DISK");
                switch (c.Below(3)) {
                case 0: SetString(diskKey, "CurrentDriveLetterAssignment", c.OneIn(2) ? "E" : "F"); break;
                case 1: SetString(diskKey, "CurrentDriveLetterAssignment", ""); break;
                default: break;
                }
                if (!c.OneIn(6)) DriverValue(diskKey);
                if (!c.OneIn(8)) AddDevice(disk, kDiskGuid, !c.OneIn(4));
            }
        }
    }
    // Shuffle the device list: the program meets devices in any order.
    for (size_t i = m.devices.size(); i > 1; --i)
        std::swap(m.devices[i - 1], m.devices[c.Below(static_cast<uint32_t>(i))]);
}

void Builder::Files() {
    const std::string w = m.windowsDirectory;
    static const DWORD kAttributes[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY,
                                        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                                        0};
    for (const char* file : {"\\system32\\drivers\\WDMZAV03.sys", "\\system\\iosubsys\\PDRZAV03.pdr",
                             "\\inf\\MSTEVUmss.PNF"}) {
        switch (c.Below(6)) {
        case 4: break;
        case 5:
            m.files.AddDirectory(w + file);
            m.files.AddFile(w + file + "\\inside.bin", "kept");
            break;
        default: m.files.AddFile(w + file, "package " + std::string(file), c.Pick(kAttributes));
        }
    }
    // Neighbours that must stay.
    m.files.AddFile(w + "\\system32\\drivers\\usbhub.sys", "MZ hub");
    m.files.AddFile(w + "\\system32\\drivers\\WDMZAV03.sys.old", "MZ old");
    m.files.AddFile(w + "\\system\\iosubsys\\disktsd.vxd", "MZ vxd", FILE_ATTRIBUTE_READONLY);
    m.files.AddFile(w + "\\inf\\usb.inf", "[Version]\r\nSignature=\"$Chicago$\"\r\n");
    m.files.AddFile(w + "\\inf\\USBZAV03.inf.bak", "backup");
    m.files.AddFile(w + "\\inf\\MSTEVUmss.PNF.txt", "notes", FILE_ATTRIBUTE_HIDDEN);
    m.files.AddFile("C:\\USBZAV03.inf", "not in the Windows directory");
}

void Builder::StorageDriver() {
    const std::string w = m.windowsDirectory;
    const bool nt = m.family() == sim::Family::NT;
    if (!nt && c.OneIn(2)) return;
    if (c.OneIn(12)) {
        // No key "System": the INF is left alone too.
    } else {
        const uint32_t sets = 1 + c.Below(3);
        for (uint32_t i = 1; i <= sets; ++i) {
            const std::string service = "HKLM\\System\\ControlSet00" + std::to_string(i) + "\\Services\\USBSTOR";
            switch (c.Below(5)) {
            case 0: case 1: SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTORSP3.SYS"); break;
            case 2: m.registry.SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTOR.SYS", REG_EXPAND_SZ); break;
            case 3: m.registry.SetDword(service, "Start", 3); break;
            default: SetValue(service, "ImagePath", REG_BINARY, TextBytes(c.Bytes(30)));
            }
            m.registry.SetString("HKLM\\System\\ControlSet00" + std::to_string(i) + "\\Services\\usbhub",
                                 "ImagePath", "System32\\DRIVERS\\usbhub.sys", REG_EXPAND_SZ);
        }
        m.registry.SetDword("HKLM\\System\\Select", "Current", 1);
        m.registry.SetString("HKLM\\System\\Setup", "SystemPartition", "\\Device\\HarddiskVolume1");
        if (c.OneIn(10)) m.registry.Create("HKLM\\System\\" + std::string(256, 'S') + "\\Services\\USBSTOR");
    }

    const std::string inf = w + "\\inf\\usbstor.inf";
    static const DWORD kAttributes[] = {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_READONLY,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    switch (c.Below(8)) {
    case 6: break;
    case 7:
        if (c.OneIn(2)) m.files.AddDirectory(inf);
        else m.files.AddFile(inf, TextBytes(c.Bytes(200)), c.Pick(kAttributes));
        break;
    default: {
        std::vector<uint8_t> content = {0xFF, 0xFE};
        if (c.OneIn(4)) content.push_back('x');  // the text at odd offsets
        const uint32_t lines = 1 + c.Below(4);
        for (uint32_t i = 0; i < lines; ++i) {
            static const char* const kLines[] = {"[Version]\r\n", "USBSTOR.SYS,%12%\\USBSTORSP3.SYS\r\n",
                                                 "ServiceBinary = %12%\\USBSTORSP3.SYS\r\n",
                                                 "%12%\\USBSTORSP3.SY\r\n", "%12%\\usbstorsp3.sys\r\n"};
            const std::vector<uint8_t> line = Utf16Bytes(c.Pick(kLines), c.OneIn(6) ? 0x30 : 0);
            content.insert(content.end(), line.begin(), line.end());
        }
        if (c.OneIn(3)) content.resize(content.size() - c.Below(static_cast<uint32_t>(content.size())));
        m.files.AddFile(inf, content, c.Pick(kAttributes));
    }
    }
    if (c.OneIn(6)) m.files.AddFile(inf + (c.OneIn(2) ? ".~zb00" : ".~zt00"), "left by an earlier run");
    switch (c.Below(4)) {
    case 3: break;
    default:
        m.files.AddFile(w + "\\System32\\DRIVERS\\USBSTORSP3.SYS", "MZ replacement",
                        c.OneIn(3) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    }
    m.files.AddFile(w + "\\System32\\DRIVERS\\USBSTOR.SYS", "MZ system driver");
}

void Builder::DriveIcons() {
    if (c.OneIn(10)) return;
    m.registry.Create(kDriveIcons);
    for (uint32_t i = c.Below(6); i > 0; --i) {
        char letter = static_cast<char>('A' + c.Below(26));
        if (c.OneIn(6)) letter = static_cast<char>(letter - 'A' + 'a');
        std::string name(1, letter);
        if (c.OneIn(10)) name = c.OneIn(2) ? "AB" : "1";  // not a drive letter
        const std::string key = std::string(kDriveIcons) + "\\" + name;
        m.registry.Create(key);
        if (!c.OneIn(5)) {
            m.registry.SetString(key + "\\DefaultIcon", "", "C:\\PROGRA~1\\ZAV\\disk.ico,0");
            m.registry.SetString(key + "\\DefaultIcon", "Owner", "kept");
        }
        if (!c.OneIn(4)) m.registry.SetString(key + "\\DefaultLabel", "", "USB DISK");
        switch (c.Below(6)) {
        case 0: case 1: case 2: m.registry.Create(key + "\\TEVDRIVE"); break;
        case 3: m.registry.SetString(key, "TEVDRIVE", "a value, not the marker key"); break;
        default: break;
        }
    }
}

}  // namespace

sim::Machine RandomMachine(Choices& c, unsigned codePage) {
    Builder b(c);
    b.System();
    b.m.codePage = codePage;
    b.PackageInf();
    b.Classes();
    b.Devices();
    b.Files();
    b.StorageDriver();
    b.DriveIcons();
    static const char* const kTitles[] = {"Glovix", "glovix", "Program Manager", "Glovix Helper"};
    for (uint32_t i = c.Below(3); i > 0; --i) b.m.windowTitles.push_back(c.Pick(kTitles));
    return b.m;
}

sim::Fault RandomFault(Choices& c, unsigned maxNth) {
    sim::Fault fault;
    fault.function = sim::CallAt(c.Below(static_cast<uint32_t>(sim::kCallCount)));
    fault.error = sim::TypicalError(fault.function);
    fault.nth = 1 + c.Below(maxNth);
    fault.persistent = c.OneIn(2);
    if (sim::MovesBytes(fault.function) && c.OneIn(2)) {
        fault.shortTransfer = true;
        fault.error = 0;
    }
    return fault;
}

}  // namespace support
