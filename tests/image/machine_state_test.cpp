// The state of a machine as comparable lines: an export as Wine's regedit
// writes it reads into the lines the Wine harness compares, and a deletion
// shows as exactly the lines it removed; the exact lines the simulator's
// tests compare by tell what the folded ones leave to Windows' comparison.
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_state.h"

#include <functional>

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

// One machine changed in one way each: which changes the folded lines (as
// Windows compares names) and the exact lines see.
TEST(MachineState, ExactLinesTellCaseAndValueOrderWhereFoldedLinesDoNot) {
    const std::string zav = "HKLM\\Software\\Zav";
    const std::string readMe = "C:\\Zav\\Read.me";
    sim::Machine base;
    base.registry.SetDword(zav, "A", 1);
    base.registry.SetString(zav, "b", "x");
    base.registry.Create(zav + "\\One");
    base.registry.Create(zav + "\\Two");
    base.files.AddFile(readMe, std::string("text"));
    struct Row {
        const char* change;
        std::function<void(sim::Machine&)> make;
        bool foldedAlike, exactAlike;
    };
    const Row rows[] = {
        {"a key's case",
         [&](sim::Machine& m) {
             m.registry.DeleteTree(zav + "\\One");
             m.registry.Create(zav + "\\ONE");
         },
         true, false},
        {"a value's case",
         [&](sim::Machine& m) {
             m.registry.DeleteValue(zav, "A");
             m.registry.DeleteValue(zav, "b");
             m.registry.SetDword(zav, "a", 1);
             m.registry.SetString(zav, "B", "x");
         },
         true, false},
        {"the order of the values",
         [&](sim::Machine& m) {
             m.registry.DeleteValue(zav, "A");
             m.registry.SetDword(zav, "A", 1);
         },
         true, false},
        {"the order the subkeys were created in",
         [&](sim::Machine& m) {
             m.registry.DeleteTree(zav + "\\One");
             m.registry.Create(zav + "\\One");
         },
         true, true},
        {"a file name's case",
         [&](sim::Machine& m) {
             m.files.Remove(readMe);
             m.files.AddFile("C:\\Zav\\READ.ME", std::string("text"));
         },
         true, false},
        {"a directory bit on a file",
         [&](sim::Machine& m) { m.files.Find(readMe)->attributes |= FILE_ATTRIBUTE_DIRECTORY; }, true, false},
        {"a value's data", [&](sim::Machine& m) { m.registry.SetString(zav, "b", "y"); }, false, false},
        {"a file's content", [&](sim::Machine& m) { m.files.AddFile(readMe, std::string("texT")); }, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.change);
        sim::Machine changed = base;
        row.make(changed);
        EXPECT_EQ(image::MachineState(changed) == image::MachineState(base), row.foldedAlike);
        EXPECT_EQ(image::RegistryText(changed.registry) + image::FilesText(changed.files) ==
                      image::RegistryText(base.registry) + image::FilesText(base.files),
                  row.exactAlike);
    }
}

}  // namespace
