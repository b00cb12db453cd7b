// Fuzz target: the dry run's reader and writer of registry exports.
//
// Input: the bytes of registry.reg. Checks: a refused file is refused with a
// reason; one that reads (its skipped lines named) is written back in its own
// format, and that text reads again into the same registry, with no line
// that regedit would skip.
#include "fuzz_check.h"

#include "image/machine_state.h"
#include "image/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    sim::Registry registry;
    image::RegFormat format;
    image::InputError diag;
    if (!image::ReadRegFile(bytes, "registry.reg", registry, &format, &diag)) {
        fuzz::Check(!diag.Text().empty(), "a refused file without a reason");
        return 0;
    }
    const std::string written = image::WriteRegFile(registry, format);
    sim::Registry again;
    image::RegFormat againFormat;
    std::vector<image::InputError> skipped;
    fuzz::Check(image::ReadRegFile(written, "written.reg", again, &againFormat, &diag, &skipped),
                "the written export does not read back: " + diag.Text());
    fuzz::Check(skipped.empty(), "regedit would skip a line of the written export: " +
                                     (skipped.empty() ? std::string() : skipped.front().Text()));
    fuzz::Check(image::RegistryText(again) == image::RegistryText(registry), "the written export reads back as another registry");
    return 0;
}
