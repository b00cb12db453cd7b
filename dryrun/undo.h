// The undo of a dry run: what it takes to bring the machine back.
//
//   undo.reg     restores every key the run deleted and every value it set
//                (in the registry export format of the image)
//   files/       copies of every file the run deleted or rewrote, in the
//                image layout (files/drive_c/...)
//   README.txt   where each copy goes, with its attributes, and what cannot
//                be undone from a file (devices, the installer, the window)
#pragma once

#include "dryrun/dry_run.h"
#include "image/reg_file.h"

#include "platform/sim/sim.h"

#include <string>

namespace dryrun {

// Writes the undo folder (created; it must not exist).
bool WriteUndo(const std::string& folder, const Report& report, const sim::Machine& before,
               const sim::Machine& after, const image::RegFormat& format, std::string* error);

// Applies an undo folder to `machine` as a person following its README would:
// imports undo.reg, copies the files back with their attributes, deletes
// what the run created. Devices are not brought back (Windows detects them).
bool ApplyUndo(const std::string& folder, sim::Machine& machine, image::InputError* diag);

}  // namespace dryrun
