// The machine image collector (zavcollect.exe): reads this machine into an
// image folder that the dry run loads elsewhere.
//
//   registry.reg   the branches the uninstaller reads or changes (or all of
//                  HKEY_LOCAL_MACHINE), as this system's regedit exports them
//   machine.ini    version, Windows directory, present devices, window titles,
//                  attributes of the copied files
//   drive_c/ ...   copies of the package's files and of those the uninstaller
//                  rewrites, at their paths
//   notes.txt      what could not be read into the image, when anything
//
// It only reads the machine: keys are opened for reading, and no file is
// written outside the image folder.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// What went into the image, for the closing message, and one line for each
// thing that did not.
struct CollectResult {
    unsigned long keys = 0;
    unsigned long values = 0;
    unsigned long devices = 0;
    unsigned long windows = 0;
    unsigned long files = 0;
    std::vector<std::string> notes;
};

// Buffered output to a new file (CREATE_NEW: an image never overwrites).
struct OutFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string pending;
    DWORD error = 0;  // the first write error, 0 while all is well
};
bool OpenOutFile(OutFile& out, const std::string& path);
void Put(OutFile& out, const char* bytes, size_t count);
void Put(OutFile& out, const std::string& bytes);
// Writes what is pending and closes; false (with out.error) when any write failed.
bool CloseOutFile(OutFile& out);

// "Windows error N" text for a note.
std::string ErrorText(DWORD error);

// registry.reg into `folder`. NT family: version 5 (UTF-16LE, read through the
// W functions); 9x family: REGEDIT4 (ANSI). False when the file could not be
// written; keys that could not be read are notes.
bool CollectRegistry(const std::string& folder, bool ntFamily, bool wholeMachine,
                     CollectResult& result);

// Copies the package's files and the ones the uninstaller rewrites from
// below `windowsDirectory` into the image's drive folders; returns their
// [attributes] lines.
std::string CopyPackageFiles(const std::string& folder, const std::string& windowsDirectory,
                             CollectResult& result);

// machine.ini into `folder`, with the attribute lines of the copied files.
// False when it could not be written.
bool CollectMachineIni(const std::string& folder, const OSVERSIONINFOA& version,
                       const std::string& windowsDirectory, const std::string& attributeLines,
                       CollectResult& result);
