// The machine image collector (zavcollect.exe): reads this machine into an
// image folder that the dry run loads elsewhere.
//
//   registry.reg   the branches the uninstaller reads or changes (or all of
//                  HKEY_LOCAL_MACHINE), as this system's regedit exports them
//   drive_c/ ...   copies of the package's files and of those the uninstaller
//                  rewrites, at their paths
//   notes.txt      what could not be read into the image, when anything
//   unreadable-keys.txt  the keys that could not be opened, a line each,
//                  when any (notes.txt tells their number)
//   machine.ini    written last: the files above with their sizes, version,
//                  Windows directory, present devices, window titles,
//                  attributes of the copied files, and the closing line
//
// The lines of registry.reg and machine.ini follow the image format's rules
// (src/imageformat), which the dry run reads them with. It only reads the
// machine: keys are opened for reading, and no file is written outside the
// image folder. A file it could not finish is removed; without machine.ini,
// or with a file that does not end as machine.ini says, the dry run
// refuses the folder.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

enum CollectExit { kImageWritten = 0, kNoImage = 1, kBadCommandLine = 2 };

// zavcollect.exe [/all] [/quiet] [FOLDER] on `commandLine` as GetCommandLineA
// gives it (the program's own name first); the exit code. On Windows
// WinMain (winmain.cpp) runs it; on the host, the tests on a simulated
// machine.
int RunCollector(const char* commandLine);

// A file of the image and its size, for machine.ini's [image]: "registry.reg",
// "notes.txt", or a copied file by its Windows path.
struct WrittenFile {
    std::string name;
    unsigned long size;
};

// How many keys could not be opened with one error.
struct UnreadableCount {
    DWORD error;
    unsigned long keys;
};

// What went into the image, for the closing message; one line for each
// thing that did not; the keys that could not be opened (a line each, and
// their number by error); the files written so far.
struct CollectResult {
    unsigned long keys = 0;
    unsigned long values = 0;
    unsigned long devices = 0;
    unsigned long windows = 0;
    unsigned long files = 0;
    std::vector<std::string> notes;
    std::vector<std::string> unreadableKeys;
    std::vector<UnreadableCount> unreadableCounts;
    std::vector<WrittenFile> written;
    bool setupApiMissing = false;  // the device list call is not there (a Windows 98)
};

// `text` as one line: a line break (or NUL) in a name it quotes is shown as
// "?", so that a file of lines keeps one line for it.
std::string OneLine(const std::string& text);

// A note: "PART: what could not be read (Windows error N)", as one line.
void AddNote(CollectResult& result, const std::string& note);

// "Windows error N" text for a note.
std::string ErrorText(DWORD error);

// Buffered output to a new file (CREATE_NEW: an image never overwrites).
struct OutFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
    std::string pending;
    unsigned long size = 0;  // the bytes written
    DWORD error = 0;         // the first failure, 0 while all is well
};
bool OpenOutFile(OutFile& out, const std::string& path);
void Put(OutFile& out, const char* bytes, size_t count);
void Put(OutFile& out, const std::string& bytes);
// Writes what is pending and closes: true when every byte was written and
// the file closed. Else the file is removed, so that no part of it is taken
// for the whole, and out.error tells why.
bool FinishOutFile(OutFile& out);

// registry.reg into `folder`. NT family: version 5 (UTF-16LE, read through
// the W functions); 9x family: REGEDIT4 (ANSI). False when the file could
// not be written; keys that could not be read are notes.
bool CollectRegistry(const std::string& folder, bool ntFamily, bool wholeMachine,
                     CollectResult& result);

// Copies the package's files and the ones the uninstaller rewrites from
// below `windowsDirectory` (on the NT family sharing delete too) into the image's drive folders (a folder that
// stands at such a path is made, empty); returns their [attributes] lines.
std::string CopyPackageFiles(const std::string& folder, const std::string& windowsDirectory, bool ntFamily,
                             CollectResult& result);

// machine.ini's [system], [devices], [windows] and [attributes] (with the
// attribute lines of the copied files), read from the machine now.
std::string MachineIniSections(const OSVERSIONINFOA& version, const std::string& windowsDirectory,
                               const std::string& attributeLines, CollectResult& result);

// machine.ini into `folder`, written last: [image] with every file written
// before it, the sections, and the closing line. False when it could not
// be written.
bool WriteMachineIni(const std::string& folder, const std::string& sections, CollectResult& result);
