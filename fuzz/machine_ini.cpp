// Fuzz target: the dry run's machine.ini reader and writer.
//
// Input: the text of machine.ini, read into a machine that holds a few
// files (for its [attributes]). Checks: a file that reads is written back,
// and that text reads again into the same system, devices, windows and
// file attributes.
#include "fuzz_check.h"

#include "image/machine_image.h"
#include "image/machine_state.h"

namespace {

sim::Machine WithFiles() {
    sim::Machine m;
    m.files.AddDirectory("C:\\WINDOWS\\inf");
    m.files.AddFile("C:\\WINDOWS\\inf\\USBZAV03.inf", "[Version]");
    m.files.AddFile("C:\\WINDOWS\\system32\\drivers\\WDMZAV03.sys", "MZ");
    m.files.AddFile("C:\\MSDOS.SYS", "");
    return m;
}

bool SameDevices(const std::vector<sim::Device>& a, const std::vector<sim::Device>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const bool sameClass = a[i].classGuid.has_value() == b[i].classGuid.has_value() &&
                               (!a[i].classGuid || sim::GuidText(*a[i].classGuid) == sim::GuidText(*b[i].classGuid));
        if (a[i].instanceId != b[i].instanceId || !sameClass || a[i].description != b[i].description)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Machine m = WithFiles();
    image::InputError diag;
    if (!image::ReadMachineIni(text, "machine.ini", m, &diag)) {
        fuzz::Check(!diag.Text().empty(), "a refused file without a reason");
        return 0;
    }
    const std::string written = image::WriteMachineIni(m);
    sim::Machine again = WithFiles();
    fuzz::Check(image::ReadMachineIni(written, "written.ini", again, &diag),
                "the written machine.ini does not read back: " + diag.Text() + "\n" + written);
    fuzz::Check(again.platformId == m.platformId && again.family() == m.family() &&
                    again.majorVersion == m.majorVersion && again.minorVersion == m.minorVersion &&
                    again.buildNumber == m.buildNumber && again.csdVersion == m.csdVersion &&
                    again.windowsDirectory == m.windowsDirectory,
                "the system reads back otherwise:\n" + written);
    fuzz::Check(SameDevices(again.devices, m.devices), "the devices read back otherwise:\n" + written);
    fuzz::Check(again.windowTitles == m.windowTitles, "the windows read back otherwise:\n" + written);
    fuzz::Check(image::FilesText(again.files) == image::FilesText(m.files), "the attributes read back otherwise:\n" + written);
    return 0;
}
