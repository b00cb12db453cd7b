// The id rewrite of a package device's instance id, row by row: shared by
// the inventory's own test and the reference model of the property tests.
#pragma once

struct IdRewriteRow {
    const char* id;
    const char* diskMatchId;
    const char* flatIdTail;
    const char* usbKeyTail;
};

inline const IdRewriteRow kIdRewriteRows[] = {
    {"X\\A&B\\C&D&E", "X&A&B&C&D&E00", "A&B&C&D&E", "A&B\\C\\D\\E"},
    {"X\\A\\B&C&D", "X&A&B&C&D00", "C&D", "C&D"},
    {"X\\A\\&B", "X&A&&B00", "B", "B"},
    {"X\\&A\\B", "X&&A&B00", "&A&B", "&A\\B"},
    {"X\\A&B", "X&A&B00", "A&B", "A&B"},
    {"ROOT\\DEVICE\\0000", "ROOT&DEVICE&000000", "", ""},
    {"A&B\\C\\D", "A&B&C&D00", "", ""},
    {"X\\A\\B\\C&D", "X&A&B&C&D00", "", ""},
    {"NOSEP", "NOSEP00", "", ""},
    {"USB\\VID_1234&PID_5678\\SN01", "USB&VID_1234&PID_5678&SN0100", "VID_1234&PID_5678&SN01",
     "VID_1234&PID_5678\\SN01"},
};
