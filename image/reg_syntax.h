// What the reader and the writer of regedit exports agree on: the header
// lines of the two formats, the depth Windows allows, and which value types
// hold strings (converted to UTF-16LE in a version 5 export).
#pragma once

#include "platform/sim/sim.h"

#include <cstddef>

namespace image {

inline constexpr char kRegedit4[] = "REGEDIT4";
inline constexpr char kVersion5[] = "Windows Registry Editor Version 5.00";

// Windows keeps keys to 512 levels; the limit also bounds every walk over a
// loaded tree.
inline constexpr size_t kMaxDepth = 512;

inline bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace image
