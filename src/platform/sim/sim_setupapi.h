// The parts of the simulated SETUPAPI that its INF access (sim_setupapi_inf.cpp),
// class lookups (sim_setupapi_class.cpp) and device sets
// (sim_setupapi_devices.cpp) share.
#pragma once

#include "platform/sim/sim_inf.h"
#include "platform/sim/sim_internal.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

// The class keys: below Control\Class on both families, and on the 9x
// family below Services\Class too (where its driver keys are).
inline constexpr char kControlClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class";
inline constexpr char kServicesClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class";

inline bool SameClass(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The bytes of an INF file that SETUPAPI is given by name (a bare name is
// looked for where SetupOpenInfFile looks); false with the error it reports.
bool ReadInfBytes(const std::string& name, std::vector<uint8_t>* bytes, DWORD* error);

// The first value of a [Version] line, or "" when the line is missing.
std::string VersionValue(const std::vector<InfSection>& sections, const char* key);

// Parses and checks an INF's bytes; on failure the SETUPAPI error and, for
// a syntax error, its line.
bool ParseWin4Inf(const std::vector<uint8_t>& bytes, std::vector<InfSection>* sections, DWORD* error,
                  unsigned* errorLine);

}  // namespace sim
