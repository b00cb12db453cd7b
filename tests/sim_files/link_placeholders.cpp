// Temporary: the registry part of the simulator is written on another
// branch. The machine's copy constructor needs these to link; remove this
// file once the registry has landed.
#include "platform/sim/sim.h"

namespace sim {
Registry::Registry() = default;
Registry::Registry(const Registry& other) = default;
Registry& Registry::operator=(const Registry& other) = default;
}  // namespace sim
