// What the reader and the writer of regedit exports agree on: the header
// lines of the two formats, the lengths and depth Windows allows, and which
// value types hold strings (converted to UTF-16LE in a version 5 export).
#pragma once

#include "imageformat/reg_export.h"
#include "platform/sim/sim.h"

#include <cstddef>

namespace image {

// The header lines and the limits of names and depth are the format's
// (src/imageformat/reg_export.h), which the collector writes by.
using imageformat::kMaxKeyName;
using imageformat::kRegedit4;
using imageformat::kVersion5;

// Windows keeps keys to 512 levels; the limit also bounds every walk over a
// loaded tree.
inline constexpr size_t kMaxDepth = imageformat::kMaxKeyDepth;

inline bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace image
