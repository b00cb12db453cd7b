// Fuzz target: a random machine collected by the collector and read back.
//
// The input's bytes are the choices of the machine: its code page, then the
// property tests' machine generator, what real machines add beside it
// (names beyond the code page, a key without access, names and texts an
// image cannot hold), whether the whole of HKEY_LOCAL_MACHINE is taken, and
// maybe one platform call that fails. Checks: the collection is sound (the
// machine unchanged but for the image folder, the image read back as the
// machine but for what its notes name, or refused, or none written).
#include "fuzz_check.h"

#include "support/collection.h"
#include "support/random_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    support::ByteChoices choices(data, size);
    const unsigned codePage = support::RandomCodePage(choices);
    sim::Machine machine = support::RandomMachine(choices, codePage);
    support::AddCollectorCases(machine, choices);
    const bool wholeMachine = choices.Below(8) == 7;
    sim::Machine after = machine;
    if (choices.Below(3) != 0) after.InjectFault(support::RandomFault(choices, 64));
    const int exitCode = support::Collect(after, wholeMachine ? "/quiet /all" : "/quiet");
    fuzz::CheckNone(support::CheckCollection(machine, after, exitCode, wholeMachine));
    return 0;
}
