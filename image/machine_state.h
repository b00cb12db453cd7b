// The state of a machine as comparable lines: one for each registry key and
// value, and for each folder and file, each standing alone:
//
//   key HKEY_LOCAL_MACHINE\SOFTWARE\ZAV
//   value HKEY_LOCAL_MACHINE\SOFTWARE\ZAV | "START" = REG_DWORD 0x00000003 (3)
//   value HKEY_LOCAL_MACHINE\SOFTWARE\ZAV | @ = REG_SZ "text"
//   file C:\WINDOWS = folder
//   file C:\WINDOWS\INF\USBSTOR.INF = readonly archive, 1234 bytes, fnv 0123456789abcdef
//
// Key paths, value names and file paths are upper-cased, as Windows compares
// them without regard to case; values are told byte for byte, file content
// by its digest. Two machines are alike exactly where their lines are. The
// fault sweep and the Wine harness compare machines with it. The exact lines
// (Names::Exact) tell names with their case and the order of a key's values
// besides: the simulator's tests compare machines with them.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace image {

// What each line is about ("key P", "value P | \"N\"", "file P") -> what it
// says of it ("" for a key).
using StateLines = std::map<std::string, std::string>;

// The line as text: "what = facts".
std::string Line(const StateLines::value_type& entry);
// Every line as text, one after the other, each ended by a line feed.
std::string StateText(const StateLines& state);

// How the lines tell names.
enum class Names {
    Folded,  // upper-cased, as Windows compares them
    // With their case, and the line of a key with two values or more lists
    // them in their order ("key P = values \"B\", @"). Subkeys are told by
    // their own lines, whatever the order they were created in.
    Exact,
};

// The keys and values of `registry` from the key `from` down (every root
// when empty); keys deleted while a handle held them are left out. String
// data is told in the machine's code page.
void AddRegistry(StateLines& state, const sim::Registry& registry, const std::string& from = "",
                 unsigned codePage = sim::kDefaultCodePage, Names names = Names::Folded);

// One folder or file. `digest` tells the content apart (ContentDigest, or
// whatever a host snapshot can tell of a large file).
void AddFile(StateLines& state, const std::string& path, bool folder, DWORD attributes, uint64_t size,
             const std::string& digest);

// Every folder and file of `files`, with their attributes masked by
// `attributeMask` (a caller comparing with a platform that shows fewer
// attributes masks the others out). Exact names also tell a directory bit
// that is not what the entry's kind implies.
void AddFiles(StateLines& state, const sim::FileSystem& files, DWORD attributeMask = ~DWORD(0),
              Names names = Names::Folded);

// The whole machine: its registry, folders and files.
StateLines MachineState(const sim::Machine& machine);

// The exact lines of a registry (the roots that hold nothing left out) and
// of a file system, as text: what a test compares a machine with the one it
// expects by.
std::string RegistryText(const sim::Registry& registry);
std::string FilesText(const sim::FileSystem& files);

// "fnv 0123456789abcdef": the 64-bit FNV-1a digest of the content.
std::string ContentDigest(const std::vector<uint8_t>& bytes);

// What the line of a key, of a value of a key, and of a file or folder is
// about. Key paths begin with the root's full name, as sim::KeyPath gives it.
std::string KeyWhat(const std::string& path);
std::string ValueWhat(const std::string& keyPath, const std::string& name);
std::string FileWhat(const std::string& path);

// Two states compared: the lines of `before` that `after` lacks or tells
// otherwise, and the lines of `after` that `before` lacks or tells otherwise.
struct StateDifference {
    StateLines removed, added;
    bool Empty() const { return removed.empty() && added.empty(); }
};
StateDifference Difference(const StateLines& before, const StateLines& after);

}  // namespace image
