// Device inventory: the package INF (where it is, its device section, its
// setup class) and the table of the package's present devices with the
// registry names that belong to them.
#pragma once

#include "package.h"
#include "platform/platform.h"

#include <string>

// The INF, found in "<windows>\inf\other" first and "<windows>\inf" second.
// The platform's invalid-handle value when it could not be opened.
HINF OpenDriverInf();
int CountInfSectionLines(HINF inf, const std::string& section);
// The line's second value (between its first and second comma). `field` is
// replaced only when the line was read.
bool ReadInfLineField(HINF inf, const std::string& section, int lineIndex, std::string& field);
void CloseDriverInf(HINF inf);
// The INF's setup class as the system has registered it; `classGuid` is
// written only when the class was found.
bool GetDriverInfClassGuid(GUID& classGuid);

// One present device of the package, with every name its removal needs.
struct my_devdriData {
    std::string deviceInstanceId;
    std::string diskMatchId;
    std::string diskInstanceId;
    std::string flatIdTail;
    std::string currentDriveLetterAssignment;
    std::string diskDeviceDesc;
    std::string diskMfg;
    std::string diskDriver;
    std::string deviceDriver;
    std::string usbDriver;
};

struct DeviceInventoryTable {
    my_devdriData* records = nullptr;  // null until the first build that obtains the device list
    int count = 0;                     // valid records: 0 .. count-1
    int capacity = 0;                  // size of the records array
};

// The package's present devices, with every name their removal needs.
// Written by: BuildDeviceInventory and ReleaseDeviceInventory.
// Read by: RemovePackageDevices (removal), between the two.
extern DeviceInventoryTable DeviceInventory;

// The setup class of hard disk controllers (the default package class) and
// the disk drive class.
extern const GUID kHardDiskControllerClassGuid;  // {4D36E96A-E325-11CE-BFC1-08002BE10318}
extern const GUID kDiskDriveClassGuid;           // {4D36E967-E325-11CE-BFC1-08002BE10318}

// 1 when the list of present devices could not be obtained, else 0.
int BuildDeviceInventory();
// Destroys the records array with all its fields; count and capacity become 0.
void ReleaseDeviceInventory();

// The instance id of one element of a device list, read into a cleared
// 256-byte buffer; empty when the read fails (an id that does not fit).
std::string ReadDeviceInstanceId(HDEVINFO list, SP_DEVINFO_DATA& element);

// The id rewrite of a package device's instance id. False (outputs empty)
// when the id has more than 253 characters and leaves no room for the "00"
// suffix in the 256-byte buffer.
bool RewriteInstanceId(const std::string& instanceId, std::string& diskMatchId,
                       std::string& flatIdTail, std::string& usbKeyTail);
