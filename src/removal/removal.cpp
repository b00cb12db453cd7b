// Device removal: the present devices of the package's class that stand in
// the inventory are removed through the device setup services, and the keys
// that the chosen record names are deleted.
#include "removal/removal.h"

#include "files/files.h"

#include <cstring>

namespace {

const char kEnumKey[] = "Enum";
const char kDriverClassKey[] = "System\\CurrentControlSet\\Services\\Class";

// Whether a record field names one device's key below its parent key. A
// field that begins or ends with a backslash, holds an empty segment or is
// empty would make the deletion target the parent ("Enum\" on 9x removes the
// whole hardware tree, since RegDeleteKeyA deletes subtrees there) or
// something above it. A field of fewer segments than a device's key has
// (enumerator\device\instance below "Enum", class\instance below the driver
// classes) would take every device of an enumerator or class with it. Such a
// field names no key of the device.
bool NamesDeviceKey(const std::string& field, int segments) {
    if (field.empty()) return false;
    if (field.front() == '\\' || field.back() == '\\') return false;
    if (field.find("\\\\") != std::string::npos) return false;
    int found = 1;
    for (char c : field)
        if (c == '\\') ++found;
    return found >= segments;
}

const int kInstanceSegments = 3;  // enumerator\device\instance
const int kDriverSegments = 2;    // class\instance

void DeleteKeyBelow(const char* parent, const std::string& field, int segments) {
    if (!NamesDeviceKey(field, segments)) return;
    const std::string path = FormatText("%s\\%s", parent, field.c_str());
    // Windows 98 deletes the key with all its subkeys; a missing key or a
    // refusal is passed over.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

// The first record from 0 to count-1, other than `skip`, whose field selected
// by `member` equals `text`; -1 when there is none.
int FindRecord(std::string my_devdriData::*member, const std::string& text, int skip) {
    for (int r = 0; r < DeviceInventory.count; ++r) {
        if (r == skip) continue;
        if (LocaleTextEqual(DeviceInventory.records[r].*member, text)) return r;
    }
    return -1;
}

}  // namespace

void RemoveDeviceRegistryKeys(my_devdriData record) {
    DeleteKeyBelow(kEnumKey, record.deviceInstanceId, kInstanceSegments);
    DeleteKeyBelow(kEnumKey, record.diskInstanceId, kInstanceSegments);
    DeleteKeyBelow(kDriverClassKey, record.diskDriver, kDriverSegments);
    DeleteKeyBelow(kDriverClassKey, record.deviceDriver, kDriverSegments);
    DeleteKeyBelow(kDriverClassKey, record.usbDriver, kDriverSegments);
}

bool RemovePackageDevices() {
    BuildDeviceInventory();

    GUID packageClassGuid = kHardDiskControllerClassGuid;
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    GetDriverInfClassGuid(packageClassGuid);

    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        // Nothing reads the inventory after this call.
        ReleaseDeviceInventory();
        return false;
    }

    element.cbSize = sizeof element;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &element); ++index) {
        if (!SameGuid(element.ClassGuid, packageClassGuid)) continue;
        const std::string id = ReadDeviceInstanceId(set, element);

        const int r = FindRecord(&my_devdriData::deviceInstanceId, id, -1);
        if (r < 0) continue;
        const BOOL removed = SetupDiRemoveDevice(set, &element);
        int registryRecordIndex = r;
        // A device without drive letters hands over the record of its sibling
        // (same flattened id tail), which holds the disk's names. An empty
        // tail (no "&" in the id's second or third segment) names no sibling:
        // every such id flattens to it, so it would pick an unrelated device.
        const my_devdriData& matched = DeviceInventory.records[r];
        if (matched.currentDriveLetterAssignment.empty() && !matched.flatIdTail.empty()) {
            const int q = FindRecord(&my_devdriData::flatIdTail, matched.flatIdTail, r);
            if (q >= 0) registryRecordIndex = q;
        }
        if (removed) RemoveDeviceRegistryKeys(DeviceInventory.records[registryRecordIndex]);
    }
    SetupDiDestroyDeviceInfoList(set);

    RemoveDriverFiles(1);
    RemoveDriverFiles(2);
    RemoveDriverFiles(3);

    ReleaseDeviceInventory();
    return true;
}
