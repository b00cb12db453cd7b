// The run's global state: what the run's first step records for every
// later step. A leaf, like package.h: it includes nothing, so that every
// room may read it without an arrow back to the run.
#pragma once

// The Windows directory, zero-terminated; all zero until WinMain records it,
// and all zero again when it could not be read or did not fit.
// Written by: RecordWindowsDirectory (run), WinMain's first step.
// Read by: the package INF lookup (inventory), the driver file removal and
// the storage driver restoration (files), each after IsWindowsDirectoryKnown.
extern char WindowsDirectory[100];

// True when WindowsDirectory holds a path. Every operation that builds a path
// from it asks first: an empty directory would make "\system32\..." name the
// root of the current drive.
bool IsWindowsDirectoryKnown();
