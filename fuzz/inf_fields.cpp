// Fuzz target: the package INF's text, read by the simulator's INF reader
// and through the program's section count and field extraction.
//
// Input: the bytes of USBZAV03.inf. Checks: the section counts as many
// lines as the reader gives it; each line's field is its second value when
// the line fits the 256-byte buffer and the read fails otherwise, leaving
// the field untouched; nothing stays open.
#include "fuzz_check.h"

#include "inventory/inventory.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_inf.h"
#include "support/run_invariants.h"
#include "run/run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const sim::InfParse parse = sim::ParseInf(bytes);
    fuzz::Check(parse.error == ERROR_SUCCESS || parse.sections.empty(), "a failed parse kept sections");
    const sim::InfSection* section =
        parse.error == ERROR_SUCCESS ? sim::FindInfSection(parse.sections, "MSZAV03SECTION") : nullptr;

    sim::Machine m = sim::MakeWindows98();
    m.files.AddFile(m.windowsDirectory + "\\inf\\other\\USBZAV03.inf", bytes);
    sim::ActiveMachine active(m);
    RecordWindowsDirectory();
    HINF inf = OpenDriverInf();
    const int lines = CountInfSectionLines(inf, kDriverInfSection);
    if (inf == INVALID_HANDLE_VALUE) {
        fuzz::Check(lines == 0, "lines counted in an INF that did not open");
    } else {
        const size_t expected = section != nullptr ? section->lines.size() : 0;
        fuzz::Check(static_cast<size_t>(lines) == expected, "section line count");
    }
    for (int i = 0; i < lines; ++i) {
        const std::string text = sim::InfLineText(section->lines[static_cast<size_t>(i)]);
        std::string field = "\x01untouched";
        const bool read = ReadInfLineField(inf, kDriverInfSection, i, field);
        if (text.size() + 1 <= 256) {
            fuzz::Check(read, "a line that fits was not read");
            fuzz::Check(field == support::ReferenceLineField(text), "field of \"" + text + "\"");
        } else {
            fuzz::Check(!read && field == "\x01untouched", "a line too long for the buffer was read");
        }
    }
    std::string past = "past";
    fuzz::Check(!ReadInfLineField(inf, kDriverInfSection, lines, past) && past == "past",
                "a line past the section's end was read");
    CloseDriverInf(inf);
    GUID classGuid = kHardDiskControllerClassGuid;
    GetDriverInfClassGuid(classGuid);
    fuzz::Check(m.OpenHandles().Total() == 0, "a handle left open");
    return 0;
}
