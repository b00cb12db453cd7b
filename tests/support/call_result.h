// The outcome of a kernel or SETUPAPI call that returns BOOL, as one value a
// test compares exactly: what it returned, and the last error it set when it
// returned FALSE (Windows leaves the last error undefined on success, so it
// is not read then). Header-only, for GoogleTest tests.
#pragma once

#include "platform/platform.h"

#include <utility>

namespace support {

using CallResult = std::pair<BOOL, DWORD>;

// What a call returned, read right after it returned.
inline CallResult Called(BOOL result) { return {result, result == FALSE ? GetLastError() : 0}; }

// The outcome expected: TRUE for an error of 0, FALSE with the error otherwise.
inline CallResult Outcome(DWORD error) { return {error == 0 ? TRUE : FALSE, error}; }

}  // namespace support
