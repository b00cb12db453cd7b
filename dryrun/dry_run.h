// The dry run: the whole program on a simulated machine, and the report of
// what it changed, what it attempted and what still names the package.
#pragma once

#include "image/reg_file.h"
#include "platform/sim/sim.h"
#include "run/run.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dryrun {

// The texts that name the package: its file names, the drive marker, the
// replacement driver, and the device id prefixes of the package INF's
// device section (as they are and with backslashes as "&", as disk ids
// carry them), read from the machine's "inf\other" and "inf" copies.
std::vector<std::string> PackageMarkers(const sim::Machine& machine);

struct Change {
    enum class Kind {
        DeviceRemoved,
        KeyDeleted,
        ValueSet,
        FileDeleted,
        FileRewritten,
        FileCreated,
        FileAttributes,
        MessageBox,
        ProgramStarted,
        WindowClosed,
    };
    Kind kind = Kind::DeviceRemoved;
    bool done = true;    // false: attempted and refused, or nothing there to change
    bool absent = false; // not done because there was nothing there (no such key/file)
    std::string target;  // instance id, key path, file path, program, window title, message text
    std::string reason;  // why an attempt was refused (only when not done)
    size_t order = 0;    // index of the first event that belongs to it

    // KeyDeleted: deleted by the device removal itself, not by the program.
    bool byDeviceRemoval = false;
    // KeyDeleted: what the key held.
    size_t values = 0, subkeys = 0, keysBelow = 0, valuesBelow = 0;
    // ValueSet
    std::string valueName;
    std::optional<sim::RegValue> oldValue, newValue;
    // Files: before and after (size 0 / attributes 0 where absent).
    uint64_t oldSize = 0, newSize = 0;
    DWORD oldAttributes = 0, newAttributes = 0;
    bool attributesChanged = false;
    // MessageBox: the caption, and how the box was answered ("OK", "Cancel").
    std::string caption, answer;
    // ProgramStarted: the program's parameters.
    std::string parameters;
};

struct Residue {
    std::string kind;    // "key", "value", "file"
    std::string path;    // key path or file path
    std::string name;    // value name ("" for the default value)
    std::string marker;  // the package text it contains
    std::string where;   // "name", "data", "content"
    std::string note;    // why it is still there
};

struct Summary {
    size_t devicesRemoved = 0, keysDeleted = 0, keysInside = 0, valuesInside = 0, valuesSet = 0,
           filesDeleted = 0, filesRewritten = 0, filesCreated = 0, attributeChanges = 0,
           messageBoxes = 0, programsStarted = 0, windowsClosed = 0, refused = 0, absent = 0;
};

struct Report {
    std::string image;
    // The system as the program identifies it, and the work it chooses for
    // it: identified once, for the report and the residue scan alike.
    std::string systemName;
    UninstallWork work = UninstallWork::None;
    DWORD platformId = 0, majorVersion = 0, minorVersion = 0;
    std::string servicePack;
    std::string windowsDirectory;
    unsigned codePage = sim::kDefaultCodePage;  // the machine's, which its ANSI texts are in
    // The image's notes.txt, one line each: what the collector could not read
    // into the image, so that the report says what it could not see.
    std::vector<std::string> imageNotes;
    // The lines of the image's registry.reg that regedit skips, and so did
    // the dry run, each with what regedit does with it.
    std::vector<image::InputError> skippedLines;
    int exitCode = 0;
    std::vector<Change> changes;  // in the order they happened
    Summary summary;
    std::vector<std::string> markers;
    std::vector<Residue> residue;
};

// Builds the report from the machine before the run and the machine after
// it (whose event log holds the run). Of the machine before, the version and
// the files are read; its registry may be left out (the events carry every
// registry change).
Report BuildReport(const std::string& image, const sim::Machine& before, const sim::Machine& after,
                   const std::vector<std::string>& markers, int exitCode);

// The residue scan of BuildReport: what on `after` still names the package
// (the report's markers), each with why it is still there; the report's
// changes tell which deletions were refused, its system and work why the
// program left the rest.
std::vector<Residue> FindResidue(const Report& report, const sim::Machine& before,
                                 const sim::Machine& after);

// The report for people: UTF-8 throughout, a UTF-16 unit of a name that
// pairs with none shown as "\uD800".
std::string ReportText(const Report& report);
// The report for scripts: every UTF-16 unit of a name, one that pairs with
// none as a "\ud800" escape.
std::string ReportJson(const Report& report);

}  // namespace dryrun
