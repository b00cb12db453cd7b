// Registry values in words, for the dry run's report and for the state of a
// machine as comparable lines (UTF-8 text; string data converted from the
// machine's ANSI code page).
#pragma once

#include "platform/sim/sim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace image {

// "REG_SZ", "REG_DWORD", ...; "type 42" for a type without a name.
std::string TypeName(DWORD type);

// A quoted UTF-8 text, with '"' and '\' escaped and control characters as
// \xNN.
std::string QuoteText(const std::string& utf8);
// The same of ANSI text in `codePage`.
std::string QuoteAnsi(const std::string& ansi, unsigned codePage);

// "01,02,ff": the first `limit` bytes.
std::string HexBytes(const sim::ValueData& data, size_t limit);

// The strings of REG_MULTI_SZ data, up to the empty string that ends them.
std::vector<std::string> MultiStrings(const sim::ValueData& data);

enum class ValueDetail {
    Brief,  // for people: long data cut after 32 bytes, stray bytes after a text counted
    Exact,  // every byte told: two values have the same text only when equal
};

// "REG_SZ \"text\"", "REG_DWORD 0x00000001 (1)", "REG_BINARY 01,02", ...
std::string DescribeValue(const sim::RegValue& value, ValueDetail detail = ValueDetail::Brief,
                          unsigned codePage = sim::kDefaultCodePage);

}  // namespace image
