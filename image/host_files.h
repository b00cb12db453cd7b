// A machine's files in an image folder (on the host, or among a simulated
// machine's files), and whole host files read and written.
//
// An image folder holds each drive's files below a folder of its own:
// drive_c/ holds C:\, drive_d/ holds D:\, ... Names keep their case; the
// attributes are not kept on the host (machine.ini holds them), and a file
// read from the host gets the archive bit. The simulated machine itself
// never touches the host: its files come and go through here.
#pragma once

#include "platform/sim/sim.h"

#include <string>

namespace image {

// Where an image keeps a Windows path, relative to the image folder:
// "C:\WINDOWS\x" is "drive_c/WINDOWS/x", the root "C:\" is "drive_c".
std::string HostRelativePath(const std::string& windowsPath);

// The drive root ("C:\") that a folder at the top of an image stands for
// ("drive_c", any case); "" for any other name.
std::string DriveRootOf(const std::string& folderName);

// Reads the drive folders below `hostRoot` into `files`, which changes only
// when the whole of it was read. Names that differ only in case, or that no
// Windows file may bear, are refused with `error` set.
bool LoadFromHost(sim::FileSystem& files, const std::string& hostRoot, std::string* error);

// The same of the drive folders below the folder `folder` (a Windows path)
// among a simulated machine's `source` files, where the collector wrote an
// image: "C:\IMAGE\drive_c\WINDOWS\x" is "C:\WINDOWS\x".
bool LoadFromFolder(sim::FileSystem& files, const sim::FileSystem& source, const std::string& folder,
                    std::string* error);

// Writes every folder and file of `files` below `hostRoot` (created; it must
// not exist or be empty, so that a round trip is exact).
bool SaveToHost(const sim::FileSystem& files, const std::string& hostRoot, std::string* error);

// Reads a whole host file; false when it cannot be read.
bool ReadHostFile(const std::string& path, std::string* bytes);
bool WriteHostFile(const std::string& path, const std::string& bytes);

}  // namespace image
