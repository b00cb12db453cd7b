// Whole machines for the run-wide tests: a Windows 98 machine with the
// package installed and a Windows 2000 SP2 machine whose USB storage service
// was redirected to the package's replacement driver.
#pragma once

#include "platform/sim/sim.h"

#include <string>
#include <vector>

namespace scenarios {

sim::Machine Windows98WithPackage();
sim::Machine Windows2000Sp2WithPackage();

// "%12%\USBSTORSP3.SYS" and the like, as 16-bit little-endian text with a
// byte order mark.
std::vector<uint8_t> Utf16File(const std::string& text);

}  // namespace scenarios
