#include "generators.h"

#include "image/machine_image.h"
#include "image/reg_file.h"
#include "support/package_machine.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace bench {

// ---------------------------------------------------------------- random

uint64_t Random::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint32_t Random::Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

std::string Random::Hex(size_t digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out(digits, '0');
    for (char& c : out) c = kDigits[Below(16)];
    return out;
}

std::string Random::Guid() {
    return "{" + Hex(8) + "-" + Hex(4) + "-" + Hex(4) + "-" + Hex(4) + "-" + Hex(12) + "}";
}

std::string Random::Word(size_t minLength, size_t maxLength) {
    const size_t length = minLength + Below(static_cast<uint32_t>(maxLength - minLength + 1));
    std::string out(length, 'a');
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((i == 0 ? 'A' : 'a') + Below(26));
    return out;
}

namespace {

// n in `width` digits, decimal or upper-case hex, zero-padded.
std::string Padded(long long n, int width, bool hex = false) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, hex ? "%0*llX" : "%0*lld", width, n);
    return buffer;
}

std::vector<uint8_t> Sz(const std::string& text) {
    std::vector<uint8_t> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

std::vector<uint8_t> MultiSz(const std::vector<std::string>& texts) {
    std::vector<uint8_t> out;
    for (const std::string& t : texts) {
        out.insert(out.end(), t.begin(), t.end());
        out.push_back(0);
    }
    out.push_back(0);
    return out;
}

std::vector<uint8_t> Dword(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> RandomBytes(Random& r, size_t n) {
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(r.Below(256));
    return out;
}

// Appends a value to a key known to lack one of that name (the generators
// make each name once), without the lookup that SetValue makes.
void Put(sim::RegKey& key, const std::string& name, DWORD type, const std::vector<uint8_t>& data) {
    key.values.push_back(key.NewValue(name, type, data.data(), data.size()));
}

}  // namespace

// ---------------------------------------------------------------- Windows 98

sim::Machine MakeWindows98Machine(const Windows98Sizes& sizes, uint64_t seed) {
    Random r(seed);
    // The package whole (INF copies with one section line per prefix, class,
    // files, drive icons, companion), its devices added below at scale.
    support::Windows98Package options;
    std::vector<std::string> prefixes;
    options.sectionLines.clear();
    for (int p = 0; p < sizes.prefixes; ++p) {
        prefixes.push_back("USB\\VID_1234&PID_" + Padded(0x5678 + p, 4, true));
        options.sectionLines.push_back("ZavDisk" + std::to_string(p) + "=Install," + prefixes.back());
    }
    options.infFolders = {"inf\\other", "inf"};
    options.devices = false;
    options.whole = true;
    sim::Machine m = support::Windows98WithPackage(options);
    const std::string cls = support::kClass;

    struct Present {
        std::string id;
        GUID guid;
    };
    std::vector<Present> devices;
    const GUID packageGuid = support::Guid(support::kPackageGuid);
    const GUID diskGuid = support::Guid(support::kDiskGuid);
    auto device = [&](const std::string& id, const char* classGuid, const std::string& desc,
                      const std::string& driver) {
        sim::RegKey& key = m.registry.Create(m.HardwareKeyPath(id));
        Put(key, "ClassGUID", REG_SZ, Sz(classGuid));
        Put(key, "DeviceDesc", REG_SZ, Sz(desc));
        Put(key, "Driver", REG_SZ, Sz(driver));
        Put(key, "Mfg", REG_SZ, Sz("Maker"));
        return &key;
    };

    // The package devices (the candidates) and their disk drives.
    for (int i = 0; i < sizes.candidates; ++i) {
        const std::string& prefix = prefixes[static_cast<size_t>(i % sizes.prefixes)];
        const std::string serial = "SN" + Padded(i, 6);
        const std::string id = prefix + "\\" + serial;
        const std::string driver = "ZavStorage\\" + Padded(i, 4);
        device(id, support::kPackageGuid, "USB disk", driver);
        m.registry.SetString(cls + driver, "DriverDesc", "USB disk");
        devices.push_back({id, packageGuid});

        std::string flat = id;
        for (char& c : flat)
            if (c == '\\') c = '&';
        const std::string diskId = "SCSI\\DISK&VEN_ZAV&PROD_FLASH\\" + flat + "00";
        const std::string diskDriver = "DiskDrive\\" + Padded(i, 4);
        sim::RegKey* disk = device(diskId, support::kDiskGuid, "USB disk drive", diskDriver);
        if (i % 2 == 0) Put(*disk, "CurrentDriveLetterAssignment", REG_SZ, Sz(std::string(1, static_cast<char>('E' + i % 20))));
        m.registry.SetString(cls + diskDriver, "DriverDesc", "USB disk drive");
        devices.push_back({diskId, diskGuid});
    }
    // Other devices of the package's class, under no prefix of the INF.
    for (int i = 0; static_cast<int>(devices.size()) < sizes.presentDevices; ++i) {
        std::string vendor = r.Hex(4);
        if (vendor == "1234") vendor = "4321";  // never the package's vendor
        const std::string id = "USB\\VID_" + vendor + "&PID_" + r.Hex(4) + "\\" +
                               Padded(i, 8);
        const std::string driver = "ZavStorage\\" + Padded(sizes.candidates + i, 4);
        device(id, support::kPackageGuid, "Other USB disk", driver);
        devices.push_back({id, packageGuid});
    }
    // Present devices in a shuffled enumeration order.
    for (size_t i = devices.size(); i > 1; --i)
        std::swap(devices[i - 1], devices[r.Below(static_cast<uint32_t>(i))]);
    for (const Present& p : devices) m.devices.push_back({p.id, p.guid, std::nullopt});

    // More of the package's drive letters than the builder's E.
    for (char letter = 'F'; letter <= 'H'; ++letter) support::AddDriveIcon(m, letter, true);
    return m;
}

bool WriteWindows98Image(const std::string& folder, const Windows98Sizes& sizes, uint64_t seed,
                         std::string* error) {
    image::RegFormat format = image::RegFormat::Regedit4();
    format.branches = {"HKEY_LOCAL_MACHINE"};
    return image::SaveImage(MakeWindows98Machine(sizes, seed), format, folder, error);
}

// ---------------------------------------------------------------- 16-bit text

std::vector<uint8_t> MakeWideTextFile(size_t bytes, const std::string& search, uint64_t seed) {
    Random r(seed);
    std::vector<uint8_t> out;
    out.reserve(bytes);
    out.push_back(0xFF);
    out.push_back(0xFE);
    auto wide = [&out](const std::string& text) {
        for (char c : text) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(0);
        }
    };
    const size_t searchAt = bytes - 2048;  // the search text's line starts about here
    while (out.size() < searchAt) {
        std::string line = r.Word(4, 12) + "." + r.Word(3, 3) + "=" + r.Word(3, 10) + "," +
                           r.Word(2, 8) + "\\" + r.Word(4, 12) + ".SYS\r\n";
        wide(line);
    }
    out.resize(searchAt);
    wide("\r\nUSBSTOR.SYS," + search + "\r\n");
    while (out.size() < bytes) wide("; " + r.Word(6, 20) + "\r\n");
    out.resize(bytes);
    return out;
}

// ---------------------------------------------------------------- Windows 2000

namespace {

const char* const kControlSets[] = {"ControlSet001", "ControlSet002", "CurrentControlSet"};

// HKLM\SOFTWARE\Classes: extensions, ProgIDs, COM classes, interfaces, type libraries.
void AddClasses(sim::Registry& reg, Random& r, int scale) {
    const std::string root = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\";
    for (int i = 0; i < 20 * scale; ++i) {
        const std::string ext = "." + r.Word(2, 4) + std::to_string(i);
        const std::string progId = r.Word(4, 10) + ".Document." + std::to_string(i);
        sim::RegKey& e = reg.Create(root + ext);
        Put(e, "", REG_SZ, Sz(progId));
        Put(e, "Content Type", REG_SZ, Sz("application/x-" + r.Word(3, 8)));
        sim::RegKey& p = reg.Create(root + progId);
        Put(p, "", REG_SZ, Sz(r.Word(4, 10) + " Document"));
        Put(p, "EditFlags", REG_BINARY, Dword(0x10000));
        if (i % 7 == 0) Put(p, "NeverShowExt", REG_NONE, {});
        Put(reg.Create(root + progId + "\\DefaultIcon"), "", REG_EXPAND_SZ,
            Sz("%SystemRoot%\\system32\\shell32.dll," + std::to_string(r.Below(100))));
        Put(reg.Create(root + progId + "\\shell\\open\\command"), "", REG_EXPAND_SZ,
            Sz("\"%ProgramFiles%\\" + r.Word(4, 10) + "\\" + r.Word(4, 8) + ".exe\" \"%1\""));
    }
    for (int i = 0; i < 60 * scale; ++i) {
        const std::string clsid = r.Guid();
        const std::string k = root + "CLSID\\" + clsid;
        Put(reg.Create(k), "", REG_SZ, Sz(r.Word(5, 12) + " " + r.Word(4, 10) + " Class"));
        sim::RegKey& server = reg.Create(k + "\\InprocServer32");
        Put(server, "", REG_EXPAND_SZ, Sz("%SystemRoot%\\System32\\" + r.Word(4, 9) + ".dll"));
        Put(server, "ThreadingModel", REG_SZ, Sz(i % 3 == 0 ? "Both" : "Apartment"));
        Put(reg.Create(k + "\\ProgID"), "", REG_SZ, Sz(r.Word(4, 8) + "." + r.Word(4, 8) + ".1"));
        if (i % 4 == 0) Put(reg.Create(k + "\\TypeLib"), "", REG_SZ, Sz(r.Guid()));
        if (i % 5 == 0) reg.Create(k + "\\Implemented Categories\\" + r.Guid());
    }
    for (int i = 0; i < 30 * scale; ++i) {
        const std::string k = root + "Interface\\" + r.Guid();
        Put(reg.Create(k), "", REG_SZ, Sz("I" + r.Word(5, 14)));
        Put(reg.Create(k + "\\NumMethods"), "", REG_SZ, Sz(std::to_string(3 + r.Below(40))));
        Put(reg.Create(k + "\\ProxyStubClsid32"), "", REG_SZ,
            Sz("{00020424-0000-0000-C000-000000000046}"));
    }
    for (int i = 0; i < 4 * scale; ++i) {
        const std::string k = root + "TypeLib\\" + r.Guid() + "\\1.0";
        Put(reg.Create(k), "", REG_SZ, Sz(r.Word(5, 12) + " Type Library"));
        Put(reg.Create(k + "\\0\\win32"), "", REG_SZ,
            Sz("C:\\WINNT\\System32\\" + r.Word(4, 9) + ".tlb"));
        Put(reg.Create(k + "\\FLAGS"), "", REG_SZ, Sz("0"));
        Put(reg.Create(k + "\\HELPDIR"), "", REG_SZ, Sz("C:\\WINNT\\Help"));
    }
}

// Windows Installer data and the uninstall list: long hex names, binary data,
// big-endian and 64-bit numbers.
void AddInstallerData(sim::Registry& reg, Random& r, int scale) {
    const std::string cv = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\";
    for (int i = 0; i < 2 * scale; ++i) {
        const std::string product = r.Hex(32);
        const std::string k = cv + "Installer\\UserData\\S-1-5-18\\Products\\" + product;
        sim::RegKey& props = reg.Create(k + "\\InstallProperties");
        Put(props, "DisplayName", REG_SZ, Sz(r.Word(4, 10) + " " + r.Word(4, 10) + " Caf\xE9"));
        Put(props, "Publisher", REG_SZ, Sz(r.Word(5, 12) + " Corporation"));
        Put(props, "InstallDate", REG_SZ, Sz("2001" + Padded(1 + r.Below(12), 2) + "15"));
        Put(props, "InstallSource", REG_SZ, Sz("D:\\" + r.Word(4, 8) + "\\"));
        Put(props, "EstimatedSize", REG_DWORD, Dword(r.Below(100000)));
        Put(props, "Version", REG_DWORD_BIG_ENDIAN, Dword(0x05000000 + r.Below(65536)));
        Put(props, "LastUsed", REG_QWORD, RandomBytes(r, 8));
        Put(props, "UninstallString", REG_EXPAND_SZ,
            Sz("MsiExec.exe /X" + r.Guid()));
        sim::RegKey& features = reg.Create(k + "\\Features");
        for (int f = 0; f < 6; ++f) Put(features, r.Word(4, 12), REG_SZ, Sz(r.Hex(20)));
        for (int c = 0; c < 25; ++c) {
            sim::RegKey& comp =
                reg.Create(cv + "Installer\\UserData\\S-1-5-18\\Components\\" + r.Hex(32));
            Put(comp, product, REG_SZ,
                Sz("C:\\Program Files\\" + r.Word(4, 10) + "\\" + r.Word(4, 12) + ".dll"));
        }
        sim::RegKey& patch = reg.Create(k + "\\Patches");
        Put(patch, "AllPatches", REG_MULTI_SZ, MultiSz({r.Hex(32), r.Hex(32)}));
        Put(patch, "Blob", REG_BINARY, RandomBytes(r, 64 + r.Below(192)));
    }
    for (int i = 0; i < 2 * scale; ++i) {
        sim::RegKey& u = reg.Create(cv + "Uninstall\\" + r.Guid());
        Put(u, "DisplayName", REG_SZ, Sz(r.Word(4, 10) + " \"" + r.Word(3, 8) + "\" Edition"));
        Put(u, "DisplayVersion", REG_SZ, Sz("1." + std::to_string(r.Below(20))));
        Put(u, "NoModify", REG_DWORD, Dword(1));
        Put(u, "InstallLocation", REG_SZ, Sz("C:\\Program Files\\" + r.Word(4, 10) + "\\"));
    }
}

// One control set: services, device keys, driver class keys.
void AddControlSet(sim::Registry& reg, const std::string& set, int scale, uint64_t seed) {
    Random r(seed ^ 0x5EED0000);  // every control set alike
    const std::string s = "HKEY_LOCAL_MACHINE\\SYSTEM\\" + set + "\\";
    for (int i = 0; i < 3 * scale; ++i) {
        const std::string name = r.Word(4, 10) + std::to_string(i);
        const std::string k = s + "Services\\" + name;
        sim::RegKey& svc = reg.Create(k);
        Put(svc, "Type", REG_DWORD, Dword(1 + r.Below(32)));
        Put(svc, "Start", REG_DWORD, Dword(r.Below(5)));
        Put(svc, "ErrorControl", REG_DWORD, Dword(1));
        Put(svc, "ImagePath", REG_EXPAND_SZ, Sz("System32\\DRIVERS\\" + name + ".sys"));
        Put(svc, "DisplayName", REG_SZ, Sz(r.Word(4, 10) + " " + r.Word(4, 10) + " Driver"));
        Put(svc, "Group", REG_SZ, Sz(i % 2 ? "Base" : "Extended Base"));
        Put(svc, "DependOnService", REG_MULTI_SZ, MultiSz({r.Word(4, 8), r.Word(4, 8)}));
        Put(reg.Create(k + "\\Security"), "Security", REG_BINARY, RandomBytes(r, 160));
        sim::RegKey& en = reg.Create(k + "\\Enum");
        Put(en, "0", REG_SZ, Sz("Root\\LEGACY_" + name + "\\0000"));
        Put(en, "Count", REG_DWORD, Dword(1));
        Put(en, "NextInstance", REG_DWORD, Dword(1));
        Put(reg.Create(k + "\\Parameters"), "BusyWait", REG_DWORD, Dword(r.Below(1000)));
    }
    for (int i = 0; i < 6 * scale; ++i) {
        const std::string vendor = r.Hex(4);
        const std::string id = "PCI\\VEN_" + vendor + "&DEV_" + r.Hex(4) + "&SUBSYS_" + r.Hex(8) +
                               "\\3&" + r.Hex(8) + "&0&" + Padded(i % 256, 2, true);
        const std::string k = s + "Enum\\" + id;
        sim::RegKey& dev = reg.Create(k);
        Put(dev, "DeviceDesc", REG_SZ, Sz(r.Word(5, 12) + " Controller"));
        Put(dev, "HardwareID", REG_MULTI_SZ,
            MultiSz({id.substr(0, id.find('\\')), "PCI\\VEN_" + vendor}));
        Put(dev, "ClassGUID", REG_SZ, Sz(r.Guid()));
        Put(dev, "Driver", REG_SZ, Sz(r.Guid() + "\\" + Padded(i, 4)));
        Put(dev, "ConfigFlags", REG_DWORD, Dword(0));
        Put(dev, "Capabilities", REG_DWORD, Dword(r.Below(256)));
        Put(dev, "UINumber", REG_DWORD, Dword(r.Below(16)));
        sim::RegKey& logConf = reg.Create(k + "\\LogConf");
        Put(logConf, "BootConfig", REG_RESOURCE_LIST, RandomBytes(r, 48 + r.Below(64)));
        Put(logConf, "BasicConfigVector", REG_RESOURCE_REQUIREMENTS_LIST,
            RandomBytes(r, 96 + r.Below(96)));
        reg.Create(k + "\\Device Parameters");
        reg.Create(k + "\\Control");
    }
    for (int i = 0; i < 4 * scale; ++i) {
        const std::string k = s + "Control\\Class\\" + r.Guid();
        sim::RegKey& c = reg.Create(k);
        Put(c, "", REG_SZ, Sz(r.Word(4, 10)));
        Put(c, "Class", REG_SZ, Sz(r.Word(4, 10)));
        Put(c, "Icon", REG_SZ, Sz("-" + std::to_string(r.Below(30))));
        sim::RegKey& inst = reg.Create(k + "\\0000");
        Put(inst, "DriverDesc", REG_SZ, Sz(r.Word(4, 10) + " Adapter"));
        Put(inst, "InfPath", REG_SZ, Sz("oem" + std::to_string(i) + ".inf"));
        Put(inst, "DriverDate", REG_SZ, Sz("6-6-2001"));
        Put(inst, "DriverDateData", REG_BINARY, RandomBytes(r, 8));
    }
}

void AddHardware(sim::Registry& reg, Random& r, int scale) {
    const std::string h = "HKEY_LOCAL_MACHINE\\HARDWARE\\";
    for (int i = 0; i < scale; ++i) {
        const std::string k = h + "DESCRIPTION\\System\\MultifunctionAdapter\\" + std::to_string(i);
        sim::RegKey& a = reg.Create(k);
        Put(a, "Component Information", REG_BINARY, RandomBytes(r, 16));
        Put(a, "Configuration Data", REG_FULL_RESOURCE_DESCRIPTOR, RandomBytes(r, 40 + r.Below(40)));
        Put(a, "Identifier", REG_SZ, Sz(i % 2 ? "PNP BIOS" : "ISA"));
        sim::RegKey& map = reg.Create(h + "RESOURCEMAP\\" + r.Word(5, 12) + std::to_string(i));
        Put(map, ".Raw", REG_RESOURCE_LIST, RandomBytes(r, 64 + r.Below(64)));
        Put(map, ".Translated", REG_RESOURCE_LIST, RandomBytes(r, 64 + r.Below(64)));
    }
}

// The user profiles below HKEY_USERS.
void AddUsers(sim::Registry& reg, Random& r, int scale) {
    const char* const sids[] = {".DEFAULT", "S-1-5-21-1004336348-1177238915-682003330-500"};
    for (const char* sid : sids) {
        const std::string u = std::string("HKEY_USERS\\") + sid + "\\";
        sim::RegKey& desktop = reg.Create(u + "Control Panel\\Desktop");
        Put(desktop, "Wallpaper", REG_SZ, Sz("(None)"));
        Put(desktop, "UserPreferencesMask", REG_BINARY, RandomBytes(r, 4));
        Put(reg.Create(u + "Environment"), "TEMP", REG_EXPAND_SZ,
            Sz("%USERPROFILE%\\Local Settings\\Temp"));
        for (int i = 0; i < 4 * scale; ++i) {
            sim::RegKey& app = reg.Create(u + "Software\\" + r.Word(4, 10) + "\\" + r.Word(4, 10) +
                                          std::to_string(i) + "\\Settings");
            Put(app, "Window Placement", REG_BINARY, RandomBytes(r, 44));
            Put(app, "Recent \"" + r.Word(3, 6) + "\" Path", REG_SZ,
                Sz("C:\\Documents and Settings\\Administrator\\" + r.Word(4, 10)));
            Put(app, "Flags", REG_DWORD, Dword(r.Below(65536)));
        }
    }
}

// A symbolic link value, as the NT registry stores the links it makes.
void AddLink(sim::Registry& reg) {
    sim::RegKey& k = reg.Create("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\Links\\Current");
    const std::string target = "\\Registry\\Machine\\System\\ControlSet001";
    Put(k, "SymbolicLinkValue", REG_LINK, support::Utf16Bytes(target));
}

// What the package installed on Windows 2000 beyond the builder's: the
// service's other values and its device in every control set, the
// installer's uninstall entry, a second drive letter, the companion's file
// and the present device.
void AddPackage(sim::Machine& m) {
    for (const char* set : kControlSets) {
        const std::string service = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\") + set + "\\Services\\USBSTOR";
        m.registry.SetString(service, "DisplayName", "USB Mass Storage Driver");
        m.registry.SetDword(service, "ErrorControl", 1);
        const std::string usb = std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\") + set + "\\Enum\\USB\\VID_1234&PID_5678\\SN01";
        m.registry.SetString(usb, "Service", "USBSTOR");
        m.registry.SetString(usb, "DeviceDesc", "USB Mass Storage Device");
    }
    const std::string uninstall =
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        "{6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3}";
    m.registry.SetString(uninstall, "DisplayName", "ZAV USB Storage");
    m.registry.SetString(uninstall, "UninstallString",
                         "MsiExec.exe /X{6E2A91C4-3B7D-4F08-9C5E-D1A47B20E6F3}", REG_EXPAND_SZ);
    support::AddDriveIcon(m, 'F', true);
    m.files.AddFile("C:\\Program Files\\ZAV\\Glovix\\Glovix.exe", "MZ companion", FILE_ATTRIBUTE_ARCHIVE);
    m.devices = {{"USB\\VID_1234&PID_5678\\SN01", std::nullopt, std::nullopt}};
}

}  // namespace

sim::Machine MakeWindows2000Machine(int scale, uint64_t seed) {
    Random r(seed);
    support::Windows2000Package options;
    options.controlSets.assign(std::begin(kControlSets), std::end(kControlSets));
    options.whole = true;
    sim::Machine m = support::Windows2000WithPackage(options);
    AddClasses(m.registry, r, scale);
    AddInstallerData(m.registry, r, scale);
    for (const char* set : kControlSets) AddControlSet(m.registry, set, scale, seed);
    AddHardware(m.registry, r, scale);
    AddUsers(m.registry, r, scale);
    AddLink(m.registry);
    AddPackage(m);
    return m;
}

size_t WriteWindows2000Image(const std::string& folder, bool version5, size_t exportBytes,
                             uint64_t seed, std::string* error) {
    image::RegFormat format = version5 ? image::RegFormat::Version5() : image::RegFormat::Regedit4();
    format.branches = {"HKEY_LOCAL_MACHINE", "HKEY_USERS"};
    // The export grows linearly with the scale: a small one gives the rate.
    const int probeScale = 20;
    const size_t probe =
        image::WriteRegFile(MakeWindows2000Machine(probeScale, seed).registry, format).size();
    const int scale = static_cast<int>(static_cast<double>(exportBytes) * probeScale / probe);
    const sim::Machine m = MakeWindows2000Machine(scale < 1 ? 1 : scale, seed);
    if (!image::SaveImage(m, format, folder, error)) return 0;
    std::string bytes;
    if (!image::ReadHostFile(folder + "/registry.reg", &bytes)) {
        *error = folder + "/registry.reg: cannot read back";
        return 0;
    }
    return bytes.size();
}

// ---------------------------------------------------------------- shapes

namespace {

// 0 .. n-1 in an order of the seed's.
std::vector<int> Shuffled(int n, Random& r) {
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[r.Below(static_cast<uint32_t>(i))]);
    return order;
}

}  // namespace

std::string MakeShapeExport(Shape shape, int n, uint64_t seed) {
    Random r(seed);
    const std::string base = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Shapes";
    std::string out = "REGEDIT4\r\n\r\n";
    switch (shape) {
    case Shape::ValuesInOneKey:
        out += "[" + base + "]\r\n";
        for (const int i : Shuffled(n, r)) out += "\"Value" + Padded(i, 8) + "\"=\"text " + std::to_string(i) + "\"\r\n";
        break;
    case Shape::KeysInOneParent:
        out += "[" + base + "]\r\n\r\n";
        for (const int i : Shuffled(n, r))
            out += "[" + base + "\\Key" + Padded(i, 8) + "]\r\n\"Value\"=dword:" + Padded(i, 8, true) + "\r\n\r\n";
        break;
    case Shape::HeadersWithoutParents:
        for (const int i : Shuffled(n, r))
            out += "[" + base + "\\Group" + Padded(i % 100, 3) + "\\Key" + Padded(i, 8) + "]\r\n\"Value\"=\"" +
                   std::to_string(i) + "\"\r\n\r\n";
        break;
    case Shape::LineLength: {
        out += "[" + base + "]\r\n\"Line\"=hex:";
        const size_t bytes = (static_cast<size_t>(n) << 20) / 3;
        for (size_t i = 0; i < bytes; ++i) {
            static const char kDigits[] = "0123456789abcdef";
            const uint32_t b = r.Below(256);
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
            out += i + 1 < bytes ? "," : "\r\n";
        }
        break;
    }
    case Shape::Depth:
        // 20,000 headers at any depth: twice the depth, half the chains.
        for (int chain = 0; chain < 20000 / n; ++chain) {
            std::string path = base + "\\Chain" + Padded(chain, 4);
            for (int level = 0; level < n; ++level) {
                path += "\\Level" + Padded(level, 3);
                out += "[" + path + "]\r\n\"Depth\"=dword:" + Padded(level, 8, true) + "\r\n\r\n";
            }
        }
        break;
    }
    return out;
}

bool WriteExportImage(const std::string& folder, const std::string& registry, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(folder + "/drive_c/WINNT", ec);
    const std::string ini =
        "[system]\nplatform = 2\nmajor = 5\nminor = 0\nbuild = 2195\nservice_pack = \"Service Pack 2\"\n"
        "windows_directory = C:\\WINNT\n";
    if (ec || !image::WriteHostFile(folder + "/machine.ini", ini) ||
        !image::WriteHostFile(folder + "/registry.reg", registry)) {
        *error = folder + ": cannot write the image";
        return false;
    }
    return true;
}

}  // namespace bench
