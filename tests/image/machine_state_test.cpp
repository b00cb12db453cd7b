// The state of a machine as comparable lines: an export as Wine's regedit
// writes it reads into the lines the Wine harness compares, and a deletion
// shows as exactly the lines it removed.
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_state.h"

namespace {

TEST(MachineState, WinesUnicodeExportReadsIntoLinesAndDeletionsShowAsRemovedLines) {
    // What regedit /E writes: UTF-16LE with BOM, 5.00 header, hex lists
    // continued over lines, text types in UTF-16.
    const std::string exported = support::Utf16le(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR]\r\n"
        "\"ImagePath\"=hex(2):53,00,79,00,73,00,\\\r\n"
        "  00,00\r\n"
        "\"Start\"=dword:00000003\r\n"
        "\"Quote\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
        "@=\"\"\r\n"
        "\r\n[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum]\r\n"
        "\"Count\"=dword:00000000\r\n");
    const sim::Registry registry = support::ReadExport(exported);
    image::StateLines before;
    image::AddRegistry(before, registry, "HKLM\\System\\ControlSet001\\Services");
    const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CONTROLSET001\\SERVICES";
    std::vector<std::string> lines;
    for (const auto& line : before) lines.push_back(image::Line(line));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "key " + key,
                         "key " + key + "\\USBSTOR",
                         "key " + key + "\\USBSTOR\\ENUM",
                         "value " + key + "\\USBSTOR | \"IMAGEPATH\" = REG_EXPAND_SZ \"Sys\"",
                         "value " + key + "\\USBSTOR | \"QUOTE\" = REG_SZ \"a \\\"b\\\" c:\\\\d\"",
                         "value " + key + "\\USBSTOR | \"START\" = REG_DWORD 0x00000003 (3)",
                         "value " + key + "\\USBSTOR | @ = REG_SZ \"\"",
                         "value " + key + "\\USBSTOR\\ENUM | \"COUNT\" = REG_DWORD 0x00000000 (0)",
                     }));

    const sim::Registry deleted = support::ReadExport(
        "REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR\\Enum]\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\USBSTOR]\r\n\"Start\"=-\r\n",
        nullptr, registry);
    image::StateLines after;
    image::AddRegistry(after, deleted, "HKLM\\System\\ControlSet001\\Services");
    const image::StateDifference difference = image::Difference(before, after);
    EXPECT_TRUE(difference.added.empty());
    EXPECT_EQ(difference.removed, (image::StateLines{
                                      {"key " + key + "\\USBSTOR\\ENUM", ""},
                                      {"value " + key + "\\USBSTOR | \"START\"", "REG_DWORD 0x00000003 (3)"},
                                      {"value " + key + "\\USBSTOR\\ENUM | \"COUNT\"", "REG_DWORD 0x00000000 (0)"},
                                  }));
}

}  // namespace
