// Fuzz target: a whole run on a machine decoded from the input.
//
// The input's bytes are the choices of the property tests' machine
// generator: the system and its family, the package INF (raw text among
// them), the "Enum" tree and its "Driver" values, the present devices, the
// files, the storage driver's keys and INF, the drive icon keys. Checks: the
// property tests' invariants of a run.
#include "fuzz_check.h"

#include "properties/random_machine.h"
#include "properties/run_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    props::ByteChoices choices(data, size);
    const sim::Machine machine = props::RandomMachine(choices);
    fuzz::CheckNone(props::RunAndCheck(machine));
    return 0;
}
