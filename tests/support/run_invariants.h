// What a whole run may do to a machine, worked out from the machine alone,
// and the check of a finished run against it. Shared by the property tests
// over random machines and by the fuzz targets.
//
// The scope is derived from the platform's own answers on a copy of the
// machine (the package INF's lines, its class, the present devices), and
// from simple reference models of the documented rules (the line's second
// value, the id rewrite, the text replacement), never from the program's code.
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace support {

// ---------------------------------------------------------------- reference models

// The second value of an INF line's compact text: between its first and
// second comma, or from the first comma to the end; empty without a comma.
std::string ReferenceLineField(const std::string& lineText);

// The id rewrite by its definition over the id's segments.
struct IdRewrite {
    std::string diskMatchId, flatIdTail, usbKeyTail;
};
IdRewrite ReferenceRewrite(const std::string& instanceId);

// The text replacement: the first offset p (any parity) where byte p + 2k
// equals search[k] for every k, all within the file; the bytes before p, the
// replacement with a zero byte after each character, the bytes from
// p + 2 * |search| on. The file unchanged when there is no occurrence.
std::vector<uint8_t> ReferenceReplace(const std::vector<uint8_t>& file, const std::string& search,
                                      const std::string& replacement);

// ---------------------------------------------------------------- the scope of a run

struct RunScope {
    enum class Work { None, Windows98, StorageDriverRestore } work = Work::None;
    bool windowsDirectoryKnown = false;

    // Windows 98: the present package devices that stand in the inventory
    // (ids exactly as the device list gives them), and the disk drives paired
    // with them.
    std::set<std::string> recordDeviceIds;
    std::set<std::string> pairedDiskIds;

    // Keys (upper-case full paths) the run may delete, each with its subtree:
    // the records' hardware keys and driver keys, the package's drive letters.
    std::set<std::string> deletableKeys;
    // Values the run may write (what their state lines are about,
    // image::ValueWhat), and the keys whose ImagePath it must write.
    std::set<std::string> writableValues;
    std::set<std::string> requiredImagePaths;  // upper-case key paths
    // Drive letter keys with the package's marker (upper-case full paths).
    std::set<std::string> packageLetterKeys;

    // Files (normalized paths) the run may delete or strip of attributes;
    // the file it may rewrite, with the content it must then hold.
    std::set<std::string> deletableFiles;
    std::set<std::string> requiredGoneFiles;  // files the run must have deleted
    std::string rewritableFile;
    std::vector<uint8_t> rewrittenContent;
    bool rewriteExpected = false;  // a file that can be opened for writing
};

// With `faulted`, the scope of a run in which platform calls may fail: a
// failure may make the program read the other INF copy or fall back to the
// hard disk controller class, so the records of each are in scope.
RunScope ScopeOf(const sim::Machine& before, bool faulted = false);

// Every broken invariant of a finished run, one text each; empty when the
// run kept them all. `after` is the machine the run acted on (its events and
// handles are read), `before` a copy taken before the run. A fault-free run
// must also have done all its work; a `faulted` one only has to be safe:
// nothing outside its scope touched, the storage INF's content never lost,
// exit code 0, no handle left open.
std::vector<std::string> CheckRun(const sim::Machine& before, const sim::Machine& after,
                                  int exitCode, bool faulted = false);

// "handles left open: keys 1, infs 0, sets 0, files 0, finds 0".
std::string HandlesText(const sim::HandleCounts& open);

// Runs WinMain on a copy of `machine` and checks the run.
std::vector<std::string> RunAndCheck(const sim::Machine& machine);

}  // namespace support
