// What the loaders of Windows 95/98 and NT 4/2000 need from the shipped exe,
// as checks over a parsed image. Each check returns the problems it found,
// one readable line each; an empty list means the image passes.
#pragma once

#include "pe_image.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace pe {

// The import allow-list file: "[DLL]" section lines, then one function name
// per line; "#" starts a comment. The section "[msvcrt.dll lacks]" names
// functions that Windows 98's msvcrt.dll does not export, with the release
// that added them as the rest of the line.
struct AllowList {
    std::map<std::string, std::set<std::string>> functions;  // by upper-case DLL name
    std::map<std::string, std::string> msvcrtLacks;          // function -> where it first appeared
};

bool LoadAllowList(const std::string& path, AllowList& list, std::string& error);

// Upper case, without a trailing ".DLL".
std::string DllKey(const std::string& dll);

// The DLLs the program may import from: all of them exist on Windows 95/98
// and NT 4/2000 alike.
const std::set<std::string>& AllowedDlls();

// Machine, format, subsystem and versions, image layout and the directories
// that old loaders do not understand.
std::vector<std::string> CheckHeaders(const Image& image);

// Every import by name, from an allowed DLL, on the allow-list.
std::vector<std::string> CheckImports(const Image& image, const AllowList& list);

// No static constructor or destructor: the exe starts at the program's own
// entry point (src/platform/win32/start.cpp), which runs none, so one would
// silently never run. `bytes` are the file's.
std::vector<std::string> CheckStaticConstructors(const Image& image, const std::vector<uint8_t>& bytes);

}  // namespace pe
