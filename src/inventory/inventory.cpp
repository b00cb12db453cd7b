// The inventory of the package's present devices: the candidate instance ids
// from the INF section and the "Enum" tree, the present package devices
// among them (pass A) and the disk drives the system made for them (pass B).
#include "inventory/inventory.h"

#include "run/run_state.h"

#include <cstring>
#include <vector>

DeviceInventoryTable DeviceInventory;

const GUID kHardDiskControllerClassGuid = {
    0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kDiskDriveClassGuid = {
    0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

namespace {

const DWORD kTextBufferSize = 256;
// An id of more than this leaves no room for the "00" suffix and the
// terminator in the 256-byte rewrite buffer.
const size_t kLongestRewritableId = kTextBufferSize - 3;

// The text of a platform buffer: up to its first zero byte, never beyond
// `limit` bytes nor beyond the buffer.
std::string BufferText(const char* buffer, DWORD limit) {
    if (limit > kTextBufferSize) limit = kTextBufferSize;
    size_t length = 0;
    while (length < limit && buffer[length] != '\0') ++length;
    return std::string(buffer, length);
}

// A text value of an open key; empty when it is missing or can't be read.
// The result is tested: on a failure (ERROR_MORE_DATA for a value that does
// not fit) Windows leaves the buffer's content undefined.
std::string ReadTextValue(HKEY key, const char* name) {
    char buffer[kTextBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD type = 0;
    DWORD size = kTextBufferSize;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return std::string();
    return BufferText(buffer, size);
}

// The device description of a list element; empty when it can't be read.
std::string ReadDeviceDescription(HDEVINFO list, SP_DEVINFO_DATA& element) {
    char buffer[kTextBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD type = 0;
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_DEVICEDESC, &type,
                                           reinterpret_cast<BYTE*>(buffer), kTextBufferSize,
                                           &required))
        return std::string();
    // Some setup services leave the required size at 0 on success: the
    // cleared buffer bounds the text then.
    return BufferText(buffer, required != 0 ? required : kTextBufferSize);
}

// One walk over the section lines and the sub-keys of "Enum\<field>" for each
// line's field. Counts the sub-keys; with `out`, also stores
// "<field>\<sub-key>" into it, never more than `out`'s size.
int WalkCandidateIds(HINF inf, int lines, std::vector<std::string>* out) {
    int total = 0;
    for (int line = 0; line < lines; ++line) {
        std::string field;
        if (!ReadInfLineField(inf, kDriverInfSection, line, field) || field.empty()) continue;
        const std::string path = FormatText("Enum\\%s", field.c_str());
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) == ERROR_SUCCESS) {
            char name[kTextBufferSize];
            for (DWORD j = 0;; ++j) {
                std::memset(name, 0, sizeof name);
                if (RegEnumKeyA(key, j, name, kTextBufferSize) != ERROR_SUCCESS) break;
                if (out != nullptr && static_cast<size_t>(total) < out->size())
                    (*out)[total] = FormatText("%s\\%s", field.c_str(),
                                               BufferText(name, kTextBufferSize).c_str());
                ++total;
            }
        }
        if (key != nullptr) RegCloseKey(key);
    }
    return total;
}

// The third part of a disk's instance id: everything after its second
// backslash. Empty when the id has fewer than two.
std::string DiskIdThirdPart(const std::string& diskId) {
    const size_t first = diskId.find('\\');
    if (first == std::string::npos) return std::string();
    const size_t second = diskId.find('\\', first + 1);
    if (second == std::string::npos) return std::string();
    return diskId.substr(second + 1);
}

// Pass A's record for one present package device, read from the registry.
void FillDeviceRecord(my_devdriData& record, const std::string& instanceId,
                      const std::string& diskMatchId, const std::string& flatIdTail,
                      const std::string& usbKeyTail) {
    record.deviceInstanceId = instanceId;
    record.diskMatchId = diskMatchId;
    record.flatIdTail = flatIdTail;

    HKEY key = nullptr;
    std::string path = FormatText("Enum\\%s", instanceId.c_str());
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) == ERROR_SUCCESS)
        record.deviceDriver = ReadTextValue(key, "Driver");
    if (key != nullptr) RegCloseKey(key);

    // With an empty tail the path ends in a backslash; it is opened all the same.
    key = nullptr;
    path = FormatText("Enum\\USB\\%s", usbKeyTail.c_str());
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) == ERROR_SUCCESS)
        record.usbDriver = ReadTextValue(key, "Driver");
    if (key != nullptr) RegCloseKey(key);
}

// Pass B: a disk drive paired with a record fills the record's disk fields.
void FillDiskFields(my_devdriData& record, const std::string& diskId, HDEVINFO list,
                    SP_DEVINFO_DATA& element) {
    record.diskInstanceId = diskId;
    HKEY key = nullptr;
    const std::string path = FormatText("Enum\\%s", diskId.c_str());
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) == ERROR_SUCCESS) {
        record.diskMfg = ReadTextValue(key, "Mfg");
        record.currentDriveLetterAssignment = ReadTextValue(key, "CurrentDriveLetterAssignment");
        record.diskDriver = ReadTextValue(key, "Driver");
        record.diskDeviceDesc = ReadDeviceDescription(list, element);
    }
    if (key != nullptr) RegCloseKey(key);
}

}  // namespace

std::string ReadDeviceInstanceId(HDEVINFO list, SP_DEVINFO_DATA& element) {
    char buffer[kTextBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD required = 0;
    // An id that does not fit fails; what a failed call left in the buffer is
    // not an id.
    if (!SetupDiGetDeviceInstanceIdA(list, &element, buffer, kTextBufferSize, &required))
        return std::string();
    return BufferText(buffer, kTextBufferSize);
}

bool RewriteInstanceId(const std::string& instanceId, std::string& diskMatchId,
                       std::string& flatIdTail, std::string& usbKeyTail) {
    diskMatchId.clear();
    flatIdTail.clear();
    usbKeyTail.clear();
    if (instanceId.size() > kLongestRewritableId) return false;

    char id[kTextBufferSize];
    char flat[kTextBufferSize];
    char usb[kTextBufferSize];
    std::memset(id, 0, sizeof id);
    std::memset(flat, 0, sizeof flat);
    std::memset(usb, 0, sizeof usb);
    std::memcpy(id, instanceId.data(), instanceId.size());

    // Where the tail starts: segment 2 when it holds an "&", else just after
    // the first "&" of segment 3, else nowhere.
    size_t tailStart = kTextBufferSize;
    const size_t firstSep = instanceId.find('\\');
    if (firstSep != std::string::npos) {
        const size_t secondSep = instanceId.find('\\', firstSep + 1);
        const size_t segment2End = secondSep == std::string::npos ? instanceId.size() : secondSep;
        const size_t amp2 = instanceId.find('&', firstSep + 1);
        if (amp2 != std::string::npos && amp2 < segment2End) {
            tailStart = firstSep + 1;
        } else if (secondSep != std::string::npos) {
            const size_t thirdSep = instanceId.find('\\', secondSep + 1);
            const size_t segment3End = thirdSep == std::string::npos ? instanceId.size() : thirdSep;
            const size_t amp3 = instanceId.find('&', secondSep + 1);
            if (amp3 != std::string::npos && amp3 < segment3End) tailStart = amp3 + 1;
        }
    }

    // One scan to the terminator: backslashes become "&" in the id itself;
    // from the tail's start every character is copied into both tails.
    size_t tailLength = 0;
    bool usbAmpersandSeen = false;
    size_t i = 0;
    for (; i < kTextBufferSize && id[i] != '\0'; ++i) {
        const char c = id[i];
        if (c == '\\') id[i] = '&';
        if (i < tailStart) continue;
        flat[tailLength] = c == '\\' ? '&' : c;
        char u = c;
        if (c == '&') {
            if (usbAmpersandSeen) u = '\\';
            usbAmpersandSeen = true;
        }
        usb[tailLength] = u;
        ++tailLength;
    }
    // The id has at most 253 characters: "00" and the terminator fit.
    id[i] = '0';
    id[i + 1] = '0';
    id[i + 2] = '\0';

    diskMatchId.assign(id, i + 2);
    flatIdTail.assign(flat, tailLength);
    usbKeyTail.assign(usb, tailLength);
    return true;
}

void ReleaseDeviceInventory() {
    delete[] DeviceInventory.records;
    DeviceInventory.records = nullptr;
    DeviceInventory.count = 0;
    DeviceInventory.capacity = 0;
}

int BuildDeviceInventory() {
    DeviceInventory.count = 0;

    // The candidate instance ids: a counting walk sizes the list, a second
    // walk fills it.
    HINF inf = OpenDriverInf();
    const int lines = CountInfSectionLines(inf, kDriverInfSection);
    const int capacity = WalkCandidateIds(inf, lines, nullptr);
    std::vector<std::string> candidates(static_cast<size_t>(capacity));
    const int stored = WalkCandidateIds(inf, lines, &candidates);
    // Should the second walk find fewer sub-keys, the unfilled entries are no
    // ids: an empty entry would equal a device whose id could not be read.
    if (stored < capacity) candidates.resize(static_cast<size_t>(stored));
    CloseDriverInf(inf);

    GUID infClassGuid = kHardDiskControllerClassGuid;
    GetDriverInfClassGuid(infClassGuid);
    const GUID diskClassGuid = kDiskDriveClassGuid;

    HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (list == INVALID_HANDLE_VALUE) return 1;  // the old records stay, none of them valid

    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;

    ReleaseDeviceInventory();
    DeviceInventory.records = new my_devdriData[static_cast<size_t>(capacity)];
    DeviceInventory.capacity = capacity;
    my_devdriData* const records = DeviceInventory.records;

    // Pass A: the present devices of the INF's class whose ids are candidates.
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &element); ++index) {
        if (!SameGuid(element.ClassGuid, infClassGuid)) continue;
        const std::string id = ReadDeviceInstanceId(list, element);
        int firstRecord = -1;
        for (const std::string& candidate : candidates) {
            if (!LocaleTextEqual(id, candidate)) continue;
            if (DeviceInventory.count >= capacity) continue;
            my_devdriData& record = records[DeviceInventory.count];
            if (firstRecord >= 0) {
                // A prefix listed twice: the device's later records repeat its first.
                record = records[firstRecord];
                ++DeviceInventory.count;
                continue;
            }
            std::string diskMatchId, flatIdTail, usbKeyTail;
            // An id too long for the rewrite gets no record: its disk could
            // not be paired and its derived key names would be cut short.
            if (!RewriteInstanceId(id, diskMatchId, flatIdTail, usbKeyTail)) continue;
            FillDeviceRecord(record, id, diskMatchId, flatIdTail, usbKeyTail);
            firstRecord = DeviceInventory.count;
            ++DeviceInventory.count;
        }
    }

    // Pass B: the present disk drives whose id carries a record's diskMatchId
    // after its second backslash; a later disk of the same id overwrites.
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &element); ++index) {
        if (!SameGuid(element.ClassGuid, diskClassGuid)) continue;
        const std::string diskId = ReadDeviceInstanceId(list, element);
        const std::string thirdPart = DiskIdThirdPart(diskId);
        if (thirdPart.empty()) continue;
        for (int n = 0; n < DeviceInventory.count; ++n) {
            if (LocaleTextEqual(records[n].diskMatchId, thirdPart))
                FillDiskFields(records[n], diskId, list, element);
        }
    }

    SetupDiDestroyDeviceInfoList(list);
    return 0;
}
