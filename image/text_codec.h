// Text encodings the machine image uses.
//
// The simulated machine holds registry names in Unicode (UTF-8) and string
// data as the ANSI API sees it: bytes in the machine's ANSI code page (1252
// unless machine.ini names another). Registry exports of the NT family are
// UTF-16LE (or UTF-8), Windows 98 exports are ANSI in that code page; the
// report is UTF-8.
#pragma once

#include "platform/sim/sim.h"
#include "platform/sim/sim_code_page.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace image {

using sim::AnsiToUnicode;
using sim::AnsiToUtf8;
using sim::AppendUtf16le;
using sim::AppendUtf8;
using sim::DecodeUtf8;
using sim::UnicodeToAnsi;
using sim::Utf8ToAnsi;

// Names compared as the registry and the file system compare them.
using sim::NamesEqual;
using sim::UpperAscii;

// `text` without the blanks (spaces, tabs, carriage returns) at its ends.
std::string Trim(std::string_view text);

}  // namespace image
