// Registry exports in and out of the simulated registry: both of regedit's
// formats round-trip byte for byte, every value type reads as the ANSI API
// sees it, deletion lines act as on import, and bad lines are named.
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_state.h"
#include "image/reg_file.h"

#include <algorithm>
#include <random>

using image::InputError;
using image::ReadRegFile;
using image::RegEncoding;
using image::RegFormat;
using image::WriteRegFile;
using support::Utf16le;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// As Windows 2000's regedit writes it: hex(2)/hex(7) data in UTF-16LE,
// long hex data wrapped after the comma that reaches column 77.
const char kVersion5Export[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\USBSTOR]\r\n"
    "\"Type\"=dword:00000001\r\n"
    "\"Start\"=dword:00000003\r\n"
    "\"ImagePath\"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,00,\\\r\n"
    "  52,00,49,00,56,00,45,00,52,00,53,00,5c,00,55,00,53,00,42,00,53,00,54,00,4f,\\\r\n"
    "  00,52,00,53,00,50,00,33,00,2e,00,53,00,59,00,53,00,00,00\r\n"
    "\"DisplayName\"=\"USB Mass Storage Driver\"\r\n"
    "@=\"Caf\xC3\xA9 \\\"quoted\\\" C:\\\\path\"\r\n"
    "\"DependOnService\"=hex(7):55,00,53,00,42,00,44,00,00,00,00,00\r\n"
    "\"Flags\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f\r\n"
    "\"Nothing\"=hex(0):\r\n"
    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\"\xE6\xBC\xA2\xE5\xAD\x97\"=\"\xE5\x90\x8D\xE5\x89\x8D\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n"
    "\"Current\"=dword:00000001\r\n"
    "\r\n"
    "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n"
    "\"Colors\"=\"\"\r\n"
    "\r\n";

// As Windows 98's regedit writes it: ANSI text, hex(2) data in ANSI bytes,
// the subkeys in the order the registry stored them (0001 after SN01).
const char kRegedit4Export[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\SN01]\r\n"
    "\"Class\"=\"hdc\"\r\n"
    "\"Driver\"=\"hdc\\\\0003\"\r\n"
    "\"ConfigFlags\"=hex:00,00,00,00\r\n"
    "\"Mfg\"=\"Caf\xE9\"\r\n"
    "\"Path\"=hex(2):25,77,69,6e,64,69,72,25,5c,73,79,73,74,65,6d,33,32,5c,64,72,69,\\\r\n"
    "  76,65,72,73,00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\0001]\r\n"
    "\"Driver\"=\"hdc\\\\0004\"\r\n"
    "\r\n";

}  // namespace

TEST(RegFile, Version5ExportRoundTripsByteForByteAndReadsAsTheAnsiApiSeesIt) {
    for (const bool utf8 : {false, true}) {
        SCOPED_TRACE(utf8 ? "UTF-8" : "UTF-16LE");
        const std::string bytes = utf8 ? std::string(kVersion5Export) : Utf16le(kVersion5Export);
        sim::Registry registry;
        RegFormat format;
        InputError diag;
        ASSERT_TRUE(ReadRegFile(bytes, "registry.reg", registry, &format, &diag)) << diag.Text();
        EXPECT_TRUE(format.version5);
        EXPECT_EQ(format.encoding, utf8 ? RegEncoding::Utf8 : RegEncoding::Utf16le);

        const std::string service = "HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR";
        EXPECT_EQ(registry.GetValue(service, "ImagePath")->type, static_cast<DWORD>(REG_EXPAND_SZ));
        EXPECT_EQ(registry.GetValue(service, "ImagePath")->data,
                  Bytes(std::string("System32\\DRIVERS\\USBSTORSP3.SYS") + '\0'));
        EXPECT_EQ(registry.GetValue(service, "")->data,
                  Bytes(std::string("Caf\xE9 \"quoted\" C:\\path") + '\0'));
        EXPECT_EQ(registry.GetValue(service, "DependOnService")->data, Bytes(std::string("USBD\0\0", 6)));
        EXPECT_EQ(registry.GetValue(service, "Start")->data, (std::vector<uint8_t>{3, 0, 0, 0}));
        EXPECT_EQ(registry.GetValue(service, "Flags")->data.size(), 32u);
        EXPECT_EQ(registry.GetValue(service, "Nothing")->type, static_cast<DWORD>(REG_NONE));
        EXPECT_TRUE(registry.GetValue(service, "Nothing")->data.empty());
        EXPECT_EQ(registry.GetValue(service, "Big")->type, static_cast<DWORD>(REG_QWORD));
        // A name keeps every character; string data reads as the ANSI API
        // sees it, a character the code page lacks as '?', and the value's
        // lines are kept to be written back as they were.
        EXPECT_EQ(registry.GetString(service, "\xE6\xBC\xA2\xE5\xAD\x97"), "??");
        EXPECT_FALSE(registry.GetValue(service, "??"));
        EXPECT_TRUE(registry.Exists("HKEY_USERS\\.DEFAULT\\Control Panel"));
        EXPECT_EQ(format.branches, std::vector<std::string>({"HKEY_LOCAL_MACHINE\\SYSTEM",
                                                             "HKEY_USERS\\.DEFAULT\\Control Panel"}));

        EXPECT_EQ(WriteRegFile(registry, format), bytes);
    }
}

TEST(RegFile, Regedit4ExportRoundTripsByteForByteWithAnsiData) {
    sim::Registry registry;
    RegFormat format;
    InputError diag;
    ASSERT_TRUE(ReadRegFile(kRegedit4Export, "registry.reg", registry, &format, &diag)) << diag.Text();
    EXPECT_FALSE(format.version5);
    EXPECT_EQ(format.encoding, RegEncoding::Ansi);
    const std::string key = "HKLM\\Enum\\USB\\VID_1234&PID_5678\\SN01";
    EXPECT_EQ(registry.GetString(key, "Driver"), "hdc\\0003");
    EXPECT_EQ(registry.GetString(key, "Mfg"), "Caf\xE9");
    EXPECT_EQ(registry.GetValue(key, "Path")->data, Bytes(std::string("%windir%\\system32\\drivers") + '\0'));
    EXPECT_EQ(registry.GetValue(key, "ConfigFlags")->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(WriteRegFile(registry, format), kRegedit4Export);
    // A key added later is stored, and written, after the others.
    registry.SetString("HKLM\\Enum\\USB\\VID_1234&PID_5678\\AAAA", "Driver", "hdc\\0005");
    EXPECT_EQ(WriteRegFile(registry, format), std::string(kRegedit4Export) +
                                                  "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\AAAA]\r\n"
                                                  "\"Driver\"=\"hdc\\\\0005\"\r\n\r\n");

    // The keys the export held only as parents of the one removed stay,
    // each with its header, as regedit would export them.
    registry.DeleteTree("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678");
    EXPECT_EQ(WriteRegFile(registry, format),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n");
}

TEST(RegFile, ChangedValuesAreWrittenInTheFormatTheyWereReadIn) {
    sim::Registry registry;
    RegFormat format;
    ASSERT_TRUE(ReadRegFile(Utf16le(kVersion5Export), "registry.reg", registry, &format, nullptr));
    const std::string service = "HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR";
    registry.SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTOR.SYS", REG_EXPAND_SZ);
    registry.SetString(service, "\xE6\xBC\xA2\xE5\xAD\x97", "now ANSI");
    registry.DeleteTree("HKLM\\SYSTEM\\Select");
    registry.SetValue("HKEY_USERS\\.DEFAULT\\Control Panel", "Colors", REG_SZ, {});
    registry.Create("HKEY_USERS\\.DEFAULT\\Keyboard Layout");  // no values, beside a branch

    const std::string written = WriteRegFile(registry, format);
    const std::string expected = Utf16le(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\USBSTOR]\r\n"
        "\"Type\"=dword:00000001\r\n"
        "\"Start\"=dword:00000003\r\n"
        "\"ImagePath\"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,00,\\\r\n"
        "  52,00,49,00,56,00,45,00,52,00,53,00,5c,00,55,00,53,00,42,00,53,00,54,00,4f,\\\r\n"
        "  00,52,00,2e,00,53,00,59,00,53,00,00,00\r\n"
        "\"DisplayName\"=\"USB Mass Storage Driver\"\r\n"
        "@=\"Caf\xC3\xA9 \\\"quoted\\\" C:\\\\path\"\r\n"
        "\"DependOnService\"=hex(7):55,00,53,00,42,00,44,00,00,00,00,00\r\n"
        "\"Flags\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17,18,19,1a,1b,1c,1d,1e,1f\r\n"
        "\"Nothing\"=hex(0):\r\n"
        "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"\xE6\xBC\xA2\xE5\xAD\x97\"=\"now ANSI\"\r\n\r\n"
        "[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n"
        // An empty REG_SZ without its terminating zero is no quoted string.
        "\"Colors\"=hex(1):\r\n\r\n"
        "[HKEY_USERS\\.DEFAULT\\Keyboard Layout]\r\n\r\n");
    EXPECT_EQ(written, expected);

    // What was written reads back as the same registry.
    sim::Registry again;
    RegFormat againFormat;
    ASSERT_TRUE(ReadRegFile(written, "after.reg", again, &againFormat, nullptr));
    EXPECT_EQ(image::RegistryText(again), image::RegistryText(registry));
}

TEST(RegFile, ValuesAreFormattedAsRegeditWritesThem) {
    struct Row {
        sim::RegValue value;
        bool version5;
        const char* text;  // UTF-8
        unsigned codePage = 1252;
    };
    const Row rows[] = {
        {{"", REG_SZ, Bytes(std::string("a\\b\"c") + '\0')}, false, "@=\"a\\\\b\\\"c\""},
        {{"x", REG_DWORD, {0x78, 0x56, 0x34, 0x12}}, true, "\"x\"=dword:12345678"},
        {{"x", REG_DWORD, {1, 2}}, true, "\"x\"=hex(4):01,02"},
        {{"x", REG_BINARY, {}}, false, "\"x\"=hex:"},
        {{"x", REG_EXPAND_SZ, Bytes(std::string("%a%") + '\0')}, false, "\"x\"=hex(2):25,61,25,00"},
        {{"x", REG_EXPAND_SZ, Bytes(std::string("%a%") + '\0')}, true,
         "\"x\"=hex(2):25,00,61,00,25,00,00,00"},
        {{"x", REG_SZ, Bytes(std::string("two\r\nlines") + '\0')}, false,
         "\"x\"=hex(1):74,77,6f,0d,0a,6c,69,6e,65,73,00"},
        {{"x", REG_SZ, Bytes(std::string("\x80", 1) + '\0')}, true, "\"x\"=\"\u20ac\""},
        {{"x", REG_SZ, Bytes(std::string("\x80", 1) + '\0')}, false, "\"x\"=\"\u0402\"", 1251},
        {{"x", REG_EXPAND_SZ, Bytes(std::string("\xC8", 1) + '\0')}, true, "\"x\"=hex(2):18,04,00,00", 1251},
        {{"x", REG_EXPAND_SZ, Bytes(std::string("\xC8", 1) + '\0')}, false, "\"x\"=hex(2):c8,00", 1251},
        {{"\u0418\u043c\u044f", REG_DWORD, {1, 0, 0, 0}}, false, "\"\u0418\u043c\u044f\"=dword:00000001"},
        {{"x", 0x20000, {7}}, false, "\"x\"=hex(20000):07"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(image::FormatRegValue(row.value, row.version5, "\r\n", row.codePage), row.text);
}

TEST(RegFile, DeletionLinesActAsOnImport) {
    sim::Registry registry;
    registry.SetString("HKLM\\Software\\Old", "a", "1");
    registry.SetString("HKLM\\Software\\Old\\Sub", "b", "2");
    registry.SetString("HKLM\\Software\\Keep", "gone", "3");
    registry.SetString("HKLM\\Software\\Keep", "stays", "4");
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
        "\"ignored\"=\"a value of a deleted key is not set\"\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\NeverThere]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Keep]\r\n"
        "\"GONE\"=-\r\n"
        "\"missing\"=-\r\n"
        "\"stays\"=\"5\"\r\n\r\n";
    InputError diag;
    ASSERT_TRUE(ReadRegFile(text, "undo.reg", registry, nullptr, &diag)) << diag.Text();
    EXPECT_EQ(image::RegistryText(registry),
              "key HKEY_LOCAL_MACHINE\n"
              "key HKEY_LOCAL_MACHINE\\Software\n"
              "key HKEY_LOCAL_MACHINE\\Software\\Keep\n"
              "value HKEY_LOCAL_MACHINE\\Software\\Keep | \"stays\" = REG_SZ \"5\"\n");
}

// Export lines as regedit imports them (the cases Wine's regedit
// conformance tests record on Windows): what it imports reads into the same
// registry; what it refuses is refused with the file and the line.
TEST(RegFile, LinesReadAsRegeditImportsThemAndTheRestIsNamedByLine) {
    struct Row {
        std::string text;
        int line;            // 0: imported
        std::string result;  // the registry's exact text when imported, else the message
        bool utf16 = false;  // the text as UTF-16LE with its byte order mark
        bool writtenBack = false;  // imported, and written back byte for byte
    };
    using namespace std::string_literals;  // texts with NUL bytes
    const std::string root = "key HKEY_LOCAL_MACHINE\n";
    const std::string a = root + "key HKEY_LOCAL_MACHINE\\A\n";
    const std::string in = "value HKEY_LOCAL_MACHINE\\A | ";
    const Row rows[] = {
        // Imported: comments, line endings, blanks and continuations.
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=\"b\";comment\r\n", 0, a + in + "\"a\" = REG_SZ \"b\"\n"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"x\"=dword:00000000 ; text\r\n\"y\"=dword:1234;5678\r\n", 0,
         root + "key HKEY_LOCAL_MACHINE\\A = values \"x\", \"y\"\n" + in + "\"x\" = REG_DWORD 0x00000000 (0)\n" + in +
             "\"y\" = REG_DWORD 0x00001234 (4660)\n"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n#comment\\\r\n  ;comment\r\n\"a\"=- ;gone\r\n", 0, a},
        {"REGEDIT4\r[HKLM\\A]\r\"a\"=\"b\"\r\r", 0, a + in + "\"a\" = REG_SZ \"b\"\n"},
        {" \tREGEDIT4\r\n  [HKLM\\A]\r\n", 0, a},
        {"REGEDIT4\n[HKLM\\A]\n\t\"a\" \t= \t\"b\"  \n@ = dword:\t8\t\n\"\"=\"c\"\n", 0,
         root + "key HKEY_LOCAL_MACHINE\\A = values \"a\", @\n" + in + "\"a\" = REG_SZ \"b\"\n" + in + "@ = REG_SZ \"c\"\n"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"h\"=hex:01,  \\ ;comment\r\n\r\n  ;comment\r\n  02,\\\r\n  03,;end\r\n", 0,
         a + in + "\"h\" = REG_BINARY 01,02,03\n"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"h\"=hex(2):\\\r\n  41,00 ;comment\r\n\"e\"=hex:01,02,\\", 0,
         root + "key HKEY_LOCAL_MACHINE\\A = values \"h\", \"e\"\n" + in + "\"e\" = REG_BINARY 01,02\n" + in +
             "\"h\" = REG_EXPAND_SZ \"A\"\n"},
        {"REGEDIT4\r\n[HKLM\\A\\]\r\n[HKLM\\A\\B\\\\]\r\n[HKLM\\A\\C ]\r\n", 0,
         a + "key HKEY_LOCAL_MACHINE\\A\\B\nkey HKEY_LOCAL_MACHINE\\A\\C \n"},
        // Eight digits of a type, and a key name of the 255 characters Windows allows.
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"q\"=hex(0000000b):01,00,00,00,00,00,00,00\r\n", 0,
         a + in + "\"q\" = REG_QWORD 01,00,00,00,00,00,00,00\n"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + std::string(255, 'k') + "]\r\n", 0,
         root + "key HKEY_LOCAL_MACHINE\\" + std::string(255, 'k') + "\n"},
        // Written back as read: lines ended by CR alone (as an old Mac editor
        // leaves them); UTF-16 with LF line ends and no final line break;
        // UTF-16 string data of odd size, which no ANSI text holds.
        {"REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r\"a\"=\"b\"\r\r", 0, a + in + "\"a\" = REG_SZ \"b\"\n", false, true},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"", 0,
         a + in + "\"a\" = REG_SZ \"b\"\n", true, true},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=hex(2):41,00,42\r\n\r\n", 0,
         a + in + "\"a\" = REG_EXPAND_SZ 41\n", true, true},
        // Refused, with the line.
        {"", 1, "empty file"},
        {"REGEDIT5\r\n", 1, "not a registry export"},
        {"\r\nREGEDIT4\r\n", 1, "not a registry export"},
        {"[HKEY_LOCAL_MACHINE\\X]\r\n", 1, "not a registry export"},
        {"\xFE\xFF\0R"s, 1, "big-endian"},
        {"REGEDIT4\r\n\r\n\"a\"=\"b\"\r\n", 3, "a value before the first key"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\r\n", 2, "closing \"]\""},
        {"REGEDIT4\r\n[HKEY_NOWHERE\\A]\r\n", 2, "unknown root key \"HKEY_NOWHERE\""},
        {"REGEDIT4\r\n[ HKLM\\A]\r\n", 2, "unknown root key \" HKLM\""},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 2, "empty key name"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n", 2,
         "a key name longer than the 255 characters"},
        {"REGEDIT4\r\n[HKLM\\A\0B]\r\n"s, 2, "a NUL character in a key name"},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A\0B]\r\n"s, 3, "a NUL character in a key name",
         true},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=\"open\r\n", 3, "unterminated string"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=\"x\\\r\n", 3, "unterminated string"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\\", 3, "unterminated value name"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a=\"x\"\r\n", 3, "expected \"=\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"open=1\r\n", 3, "unterminated value name"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=\"x\\n\"\r\n", 3, "unknown escape"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=\"x\" junk\r\n", 3, "after the closing quote"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=\"x\"#comment\r\n", 3, "after the closing quote"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=-\"x\"\r\n", 3, "unknown value type"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=qword:1\r\n", 3, "unknown value type \"qword\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=1234\r\n", 3, "unknown value type"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=dword:123456789\r\n", 3, "bad dword"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=dword:xyz\r\n", 3, "bad dword"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=dword:1 #comment\r\n", 3, "bad dword"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,zz\r\n", 3, "bad hex byte \"zz\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:012\r\n", 3, "bad hex byte"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,,02\r\n", 3, "bad hex byte"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01 02\r\n", 3, "expected \",\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,02 #comment\r\n", 3, "expected \",\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\\r\n  02,g0\r\n", 4, "bad hex byte"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\\r\n", 3, "past the end of the file"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,02\\\r\n  03\r\n", 3, "must follow a comma"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\\r\n  \\\r\n  02\r\n", 4, "must follow a comma"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\#comment\r\n  02\r\n", 3, "after the line continuation"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\\r\n  #comment\r\n  02\r\n", 4, "bad hex byte \"#comment\""},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex:01,\\\r\n\r\n\"b\"=\"c\"\r\n", 5, "bad hex byte"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex(x2):01\r\n", 3, "hex(N) takes 1 to 8 hex digits"},
        {"REGEDIT4\r\n[HKLM\\A]\r\n\"a\"=hex(100000000):01\r\n", 3, "hex(N) takes 1 to 8 hex digits"},
        {"REGEDIT4\r\n[HKLM\\A]\r\nplain text\r\n", 3, "neither a key"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"\xC3\x28\"=\"x\"\r\n", 3,
         "not valid UTF-8"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        sim::Registry registry;
        InputError diag;
        const std::string bytes = row.utf16 ? Utf16le(row.text) : row.text;
        RegFormat format;
        const bool read = ReadRegFile(bytes, "image/registry.reg", registry, &format, &diag);
        if (row.line == 0) {
            ASSERT_TRUE(read) << diag.Text();
            EXPECT_EQ(image::RegistryText(registry), row.result);
            if (row.writtenBack) {
                EXPECT_EQ(WriteRegFile(registry, format), bytes);
            }
            continue;
        }
        EXPECT_FALSE(read);
        EXPECT_EQ(diag.file, "image/registry.reg");
        EXPECT_EQ(diag.line, row.line);
        EXPECT_NE(diag.message.find(row.result), std::string::npos) << diag.Text();
    }
    // An odd UTF-16 byte count is named at the line it cuts.
    sim::Registry registry;
    InputError diag;
    EXPECT_FALSE(ReadRegFile(Utf16le("Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n") + "x",
                             "r.reg", registry, nullptr, &diag));
    EXPECT_EQ(diag.Text(), "r.reg:3: UTF-16 text with an odd number of bytes");
}

TEST(RegFile, ArbitraryDamageToAnExportNeverCrashesTheReader) {
    // Every damaged file either loads or is refused with a line; the
    // sanitizer build checks that nothing is read outside the text.
    const std::string sources[] = {Utf16le(kVersion5Export), kRegedit4Export, kVersion5Export};
    std::mt19937 random(20240607);
    size_t refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = sources[round % 3];
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const size_t at = random() % bytes.size();
            switch (random() % 4) {
            case 0: bytes[at] = static_cast<char>(random()); break;
            case 1: bytes.erase(at, 1 + random() % 16); break;
            case 2: bytes.insert(at, 1, "\\\"[]=,:-@\r\n\0"[random() % 12]); break;
            case 3: bytes.resize(at); break;
            }
        }
        sim::Registry registry;
        RegFormat format;
        InputError diag;
        if (!ReadRegFile(bytes, "fuzz.reg", registry, &format, &diag)) {
            ++refused;
            EXPECT_FALSE(diag.message.empty());
            EXPECT_GE(diag.line, 1);
        } else {
            // Whatever loaded can be written and read again to the same registry.
            sim::Registry again;
            ASSERT_TRUE(ReadRegFile(WriteRegFile(registry, format), "again.reg", again, nullptr, &diag))
                << diag.Text();
            EXPECT_EQ(image::RegistryText(again), image::RegistryText(registry));
        }
    }
    EXPECT_GT(refused, 0u);
}

namespace {

// A large export read with a listener: it hears of ever larger offsets, each
// well behind the end, and the registry is the same as without it; one read
// in which the bytes it was done with are scrambled still gives it.
TEST(RegFileLarge, TheReaderSaysHowFarItIsDone) {
    sim::Registry source;
    for (int i = 0; i < 30000; ++i) {
        const std::string key = "HKLM\\SOFTWARE\\Big\\Key" + std::to_string(i);
        source.SetString(key, "Name", "value number " + std::to_string(i));
        source.SetValue(key, "Data", REG_BINARY, std::vector<uint8_t>(40, static_cast<uint8_t>(i)));
    }
    for (const bool version5 : {false, true}) {
        RegFormat format = version5 ? RegFormat::Version5() : RegFormat::Regedit4();
        format.branches = {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Big"};
        std::string bytes = WriteRegFile(source, format);
        ASSERT_GT(bytes.size(), 6u << 20);  // past the reader's first report

        sim::Registry plain;
        ASSERT_TRUE(ReadRegFile(bytes, "big.reg", plain, nullptr, nullptr));

        std::vector<size_t> told;
        sim::Registry listened;
        ASSERT_TRUE(ReadRegFile(bytes, "big.reg", listened, nullptr, nullptr,
                                [&](size_t done) {
                                    told.push_back(done);
                                    // What it is done with is no longer read.
                                    std::fill(bytes.begin(), bytes.begin() + done, '\x7f');
                                }));
        ASSERT_FALSE(told.empty()) << version5;
        EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
        EXPECT_LT(told.back(), bytes.size());
        EXPECT_EQ(image::RegistryText(listened), image::RegistryText(plain)) << version5;
        EXPECT_EQ(image::RegistryText(plain), image::RegistryText(source)) << version5;
    }
}

}  // namespace
