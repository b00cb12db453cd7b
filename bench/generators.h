// Deterministic generators of large machines for the benchmarks. Every
// generator takes a seed; the same seed and sizes give the same bytes on
// every host (the random source is our own, not a library distribution).
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A small, fully specified random source (splitmix64).
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound);  // 0 .. bound-1 (bound > 0)
    std::string Hex(size_t digits);  // upper-case hex digits
    std::string Guid();              // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    std::string Word(size_t minLength, size_t maxLength);  // letters, first one upper case

private:
    uint64_t state_;
};

// ---------------------------------------------------------------- Windows 98

struct Windows98Sizes {
    int presentDevices = 10000;  // all present devices, disks included
    int candidates = 2000;       // sub-keys below the INF's Enum prefixes = present package devices
    int prefixes = 4;            // INF section lines, candidates spread evenly over them
};

// Windows 98 with the package: `candidates` package devices, each present
// and each with a present disk drive (every second one with a drive letter);
// the rest of the present devices are of the package's setup class too but
// stand under no prefix of the INF, so that the inventory compares every one
// of them with every candidate (the quadratic worst case). Driver keys,
// driver files, INF copies and drive icon registrations as installed.
sim::Machine MakeWindows98Machine(const Windows98Sizes& sizes, uint64_t seed);

// Writes a machine image folder (registry.reg in the REGEDIT4 format,
// machine.ini, drive_c/) of that machine. `folder` must not exist. False on
// a failure of the host (with `error` set).
bool WriteWindows98Image(const std::string& folder, const Windows98Sizes& sizes, uint64_t seed,
                         std::string* error);

// ---------------------------------------------------------------- 16-bit text

// A UTF-16LE text file (byte order mark, CRLF lines of INF-like text) of
// exactly `bytes` bytes (even), holding `search` once, as 16-bit characters,
// in its last 4 KB.
std::vector<uint8_t> MakeWideTextFile(size_t bytes, const std::string& search, uint64_t seed);

// ---------------------------------------------------------------- Windows 2000

// Windows 2000 Service Pack 2 with the package installed (USBSTOR pointed at
// the replacement driver in every control set, the rewritten usbstor.inf,
// the replacement driver file, the drive icon registrations, the companion
// window), and a registry padded with Windows-2000-like content: classes,
// COM registrations, installer data, services, device and class keys,
// hardware descriptions and user profiles, with values of every type.
// `scale` sets the size: the export grows linearly with it.
sim::Machine MakeWindows2000Machine(int scale, uint64_t seed);

// Writes a machine image folder (registry.reg, machine.ini, drive_c/) of the
// Windows 2000 machine whose registry export is about `exportBytes` long, in
// the version 5 format (UTF-16LE) or the REGEDIT4 format (ANSI). `folder` must
// not exist. Returns the export's size, 0 on a failure (with `error` set).
size_t WriteWindows2000Image(const std::string& folder, bool version5, size_t exportBytes,
                             uint64_t seed, std::string* error);

// ---------------------------------------------------------------- shapes

// The shapes an export's reading must be linear in, each at a size `n`:
// values in one key, subkeys of one key (in the 9x family's stored order,
// not sorted), key headers without their parents' headers, the length of one
// line (megabytes of hex data on it), and depth (chains of keys `n` levels
// deep, each header naming its whole path, 20,000 headers in all).
enum class Shape { ValuesInOneKey, KeysInOneParent, HeadersWithoutParents, LineLength, Depth };

// A REGEDIT4 export of `shape` at size `n`, its lines shuffled where their
// order is free (the same seed, the same bytes).
std::string MakeShapeExport(Shape shape, int n, uint64_t seed);

// Writes an image folder of a Windows 2000 machine without the package
// whose registry.reg is `registry`. `folder` must not exist.
bool WriteExportImage(const std::string& folder, const std::string& registry, std::string* error);

}  // namespace bench
