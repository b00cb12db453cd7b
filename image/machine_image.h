// A machine image: a folder that describes one Windows machine.
//
//   registry.reg   the registry, as regedit exports it (REGEDIT4 or version 5)
//   machine.ini    version, Windows directory, present devices, open windows,
//                  file attributes
//   drive_c/ ...   the files of C:\ (drive_d/ for D:\, ...)
//   notes.txt      what the collector could not read, a line each (optional)
//   unreadable-keys.txt  the keys the collector could not open, a line each
//                  (optional; notes.txt tells their number)
//
// machine.ini (its rules: src/imageformat/machine_ini.h):
//   [image]        an image the collector wrote: each file it wrote with its
//                  size in bytes; machine.ini then ends with the line "[end]".
//                  Such an image is refused unless every file it names is
//                  there with that size, no other file is in its drive
//                  folders and machine.ini ends so: the collector did not
//                  finish it. An image without [image] is read as it is.
//   [system]       platform (0 Win32s, 1 Windows 95/98/ME, 2 NT family), major,
//                  minor, build (optional), service_pack ("quotes keep blanks"),
//                  windows_directory, codepage (optional: the ANSI code page,
//                  874 or 1250 to 1258; 1252 when not given), setupapi
//                  (optional: "missing" when the machine has no setupapi.dll
//                  or one without the device list; every device setup call
//                  then fails)
//   [devices]      present devices in enumeration order: an instance id,
//                  optionally "= {class GUID}" and ", description"; without
//                  them the hardware key's ClassGUID and DeviceDesc apply
//   [windows]      titles of the top-level windows, one a line
//   [attributes]   PATH = readonly hidden system archive normal temporary
//                  (or 0x hex); the file's whole attribute set
// ";" starts a comment (after a blank, outside quotes); quote a text that has
// blanks at its ends or a " ;" inside. No text holds a quote character: the
// format has no escape for one.
#pragma once

#include "image/host_files.h"
#include "image/reg_file.h"

#include "platform/sim/sim.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace image {

struct MachineImage {
    sim::Machine machine;
    RegFormat registryFormat;
    // The lines of registry.reg that regedit skips, each with what regedit
    // does with it; the machine lacks what they hold, as regedit would.
    std::vector<InputError> skippedLines;
    std::vector<std::string> notes;           // the lines of notes.txt
    std::vector<std::string> unreadableKeys;  // the lines of unreadable-keys.txt
};

// What [image] says the collector wrote: "registry.reg", "notes.txt",
// "unreadable-keys.txt" or a
// file by its Windows path, each with its size.
struct WrittenFiles {
    bool collected = false;  // machine.ini has [image]
    std::vector<std::pair<std::string, uint32_t>> files;
    bool closed = false;  // machine.ini ends with its closing line
};

// Reads machine.ini text into `machine` (version, Windows directory,
// devices, windows), and into `written`, when given, its [image].
// Attributes name files, so they are applied to `machine.files` as it
// stands: load the files first.
bool ReadMachineIni(const std::string& text, const std::string& fileName, sim::Machine& machine,
                    InputError* diag, WrittenFiles* written = nullptr);

// machine.ini text for a machine (attributes of every entry whose attributes
// differ from what a file or folder gets when loaded from the host).
std::string WriteMachineIni(const sim::Machine& machine);

// Loads an image folder; false with `diag` naming the file (and line) that is
// wrong. The folder is only read.
bool LoadImage(const std::string& folder, MachineImage* image, InputError* diag);
// The same of the image folder `folder` (a Windows path) among a simulated
// machine's `files`, where the collector wrote it.
bool LoadImage(const sim::FileSystem& files, const std::string& folder, MachineImage* image,
               InputError* diag);

// Writes `machine` as a new image into `folder` (created; it must not exist),
// the registry in `format`. False with `error` set on a failure of the host.
bool SaveImage(const sim::Machine& machine, const RegFormat& format, const std::string& folder,
               std::string* error);

// Attribute words <-> bits.
bool ParseAttributes(const std::string& words, DWORD* attributes);
std::string AttributeWords(DWORD attributes);  // "none" for 0

}  // namespace image
