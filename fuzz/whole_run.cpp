// Fuzz target: a whole run on a machine decoded from the input.
//
// The input's bytes are the choices of the property tests' machine
// generator: the system and its family, the package INF (raw text among
// them), the "Enum" tree and its "Driver" values, the present devices, the
// files, the storage driver's keys and INF, the drive icon keys, and maybe
// one platform call that fails. Checks: the property tests' invariants of a
// run (of a safe run only, when a call failed).
#include "fuzz_check.h"

#include "support/random_machine.h"
#include "support/run_invariants.h"

#include "dryrun/run_winmain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    support::ByteChoices choices(data, size);
    const sim::Machine machine = support::RandomMachine(choices);
    // The choices after the machine's: no failure (an exhausted input), or
    // one platform call made to fail.
    if (choices.Below(3) == 0) {
        fuzz::CheckNone(support::RunAndCheck(machine));
        return 0;
    }
    sim::Machine after = machine;
    after.InjectFault(support::RandomFault(choices, 48));
    const int exitCode = dryrun::RunWinMain(after);
    fuzz::CheckNone(support::CheckRun(machine, after, exitCode, true));
    return 0;
}
