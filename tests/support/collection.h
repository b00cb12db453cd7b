// The collector on simulated machines: its run, and the check of what it
// left, shared by the round trip over the examples and the random machines,
// the fault sweep and the fuzz target.
//
// A collection is sound when it changed nothing but its own new folder
// (events and machine state alike), left no handle open, and either wrote no
// image (exit code 1, and whatever it left is refused by the image library)
// or wrote one (exit code 0) that the image library reads back as the
// machine: the system, the collected registry branches key for key and
// value for value with names exact (a 9x family's subkeys in their stored
// order), the present devices in order with their class and description,
// the titled windows, and the files the uninstaller reads with their
// attributes and content. What a note of notes.txt names may differ; an
// image the reader refuses is no loss either, as the dry run then shows
// nothing of it.
#pragma once

#include "support/random_machine.h"

#include "image/machine_image.h"

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace support {

// Runs zavcollect.exe with `arguments` (after its own name) on `machine`,
// made the active one; the call log is kept with `keepCalls`. Returns the
// exit code.
int Collect(sim::Machine& machine, const std::string& arguments = "/quiet", bool keepCalls = false);

// What a collection came to, for the totals.
struct CollectionOutcome {
    std::string folder;  // the image folder it made; "" for none
    bool written = false;  // exit code 0
    bool refused = false;  // the image library refused what it left
    size_t notes = 0;
};

// Every way the collection that turned `before` into `after` with
// `exitCode` is unsound, one text each; empty when it is sound. With
// `wholeMachine`, the image holds all of HKEY_LOCAL_MACHINE. A collection
// met by an injected failure (`after.faults`) may also lose what the
// failure makes indistinguishable from the machine itself: a device list
// that ends early, a description that reads as missing.
std::vector<std::string> CheckCollection(const sim::Machine& before, const sim::Machine& after, int exitCode,
                                         bool wholeMachine = false, CollectionOutcome* outcome = nullptr);

// What a collector meets on real machines and the random machines lack, put
// into `machine` as `choices` say: names beyond the code page (the NT
// family), keys whose security denies access or grants query and enumerate
// alone (NT), a value name and a key name with a line break, window titles
// and a description machine.ini cannot hold.
void AddCollectorCases(sim::Machine& machine, Choices& choices);

// The ANSI code pages the round trip draws from.
unsigned RandomCodePage(Choices& choices);

}  // namespace support
