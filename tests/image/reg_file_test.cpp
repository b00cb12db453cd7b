// Registry exports in and out of the simulated registry: both of regedit's
// formats round-trip byte for byte, every value type reads as the ANSI API
// sees it, deletion lines act as on import, and bad lines are named.
#include "support/scratch.h"
#include "support/text_bytes.h"
#include "image/machine_state.h"
#include "image/reg_file.h"

#include <algorithm>
#include <functional>
#include <random>

using image::InputError;
using image::ReadRegFile;
using image::RegEncoding;
using image::RegFormat;
using image::WriteRegFile;
using support::Utf16le;

namespace {

sim::ValueData Bytes(const std::string& s) { return sim::ValueData(s.begin(), s.end()); }

// `text` with each `from` (found once) replaced by its `to`.
std::string Replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& changes) {
    for (const auto& [from, to] : changes) {
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        EXPECT_EQ(text.rfind(from), at) << from;  // once
        if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    return text;
}

// The export `written` of `registry` reads again into the same registry,
// with no line that regedit would skip.
void ExpectReadsBackAs(const std::string& written, const sim::Registry& registry) {
    sim::Registry again;
    InputError diag;
    std::vector<InputError> skipped;
    ASSERT_TRUE(ReadRegFile(written, "again.reg", again, nullptr, &diag, &skipped)) << diag.Text();
    EXPECT_TRUE(skipped.empty()) << skipped.front().Text();
    EXPECT_EQ(image::RegistryText(again), image::RegistryText(registry));
}

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

// Each export as its regedit writes it: read, its values as the ANSI API
// sees them, and written back byte for byte in its own format.
TEST(RegFile, ExportsRoundTripByteForByteAndReadAsTheAnsiApiSeesThem) {
    struct Row {
        const char* name;
        std::string bytes;
        RegEncoding encoding;
        std::string key;                    // the key holding `values`
        std::vector<sim::RegValue> values;  // each value's type and data exactly
    };
    const std::string service = "HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR";
    sim::ValueData flags(32);
    for (size_t i = 0; i < flags.size(); ++i) flags[i] = static_cast<uint8_t>(i);
    const std::vector<sim::RegValue> version5Values = {
        {"ImagePath", REG_EXPAND_SZ, Bytes(std::string("System32\\DRIVERS\\USBSTORSP3.SYS") + '\0')},
        {"", REG_SZ, Bytes(std::string("Caf\xE9 \"quoted\" C:\\path") + '\0')},
        {"DependOnService", REG_MULTI_SZ, Bytes(std::string("USBD\0\0", 6))},
        {"Start", REG_DWORD, {3, 0, 0, 0}},
        {"Flags", REG_BINARY, flags},
        {"Nothing", REG_NONE, {}},
        {"Big", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
    };
    const Row rows[] = {
        {"version 5 in UTF-16LE", Utf16le(kVersion5Export), RegEncoding::Utf16le, service, version5Values},
        // UTF-8 with its byte order mark (without one a file is ANSI text).
        {"version 5 in UTF-8", "\xEF\xBB\xBF" + std::string(kVersion5Export), RegEncoding::Utf8, service,
         version5Values},
        {"REGEDIT4 with ANSI data", kRegedit4Export, RegEncoding::Ansi, "HKLM\\Enum\\USB\\VID_1234&PID_5678\\SN01",
         {{"Driver", REG_SZ, Bytes(std::string("hdc\\0003") + '\0')},
          {"Mfg", REG_SZ, Bytes(std::string("Caf\xE9") + '\0')},
          {"Path", REG_EXPAND_SZ, Bytes(std::string("%windir%\\system32\\drivers") + '\0')},
          {"ConfigFlags", REG_BINARY, {0, 0, 0, 0}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RegFormat format;
        const sim::Registry registry = support::ReadExport(row.bytes, &format);
        EXPECT_EQ(format.version5, row.encoding != RegEncoding::Ansi);
        EXPECT_EQ(format.encoding, row.encoding);
        for (const sim::RegValue& expected : row.values)
            EXPECT_EQ(registry.GetValue(row.key, expected.name), expected) << expected.name;
        EXPECT_EQ(WriteRegFile(registry, format), row.bytes);
        if (!format.version5) continue;
        // A name keeps every character; string data reads as the ANSI API
        // sees it, a character the code page lacks as '?', and the value's
        // lines are kept to be written back as they were.
        EXPECT_EQ(registry.GetString(service, "\xE6\xBC\xA2\xE5\xAD\x97"), "??");
        EXPECT_FALSE(registry.GetValue(service, "??"));
        EXPECT_TRUE(registry.Exists("HKEY_USERS\\.DEFAULT\\Control Panel"));
        EXPECT_EQ(format.branches, std::vector<std::string>({"HKEY_LOCAL_MACHINE\\SYSTEM",
                                                             "HKEY_USERS\\.DEFAULT\\Control Panel"}));
    }
}

// An export read, changed or not, is written in the format it was read in:
// what the run did not change as its lines stood (characters the code page
// lacks included; UTF-16 exports, code page 1252), and reads back as the
// registry it was written from.
TEST(RegFile, ExportsAreWrittenBackInTheFormatTheyWereReadIn) {
    struct Row {
        const char* name;
        std::string text;
        std::function<void(sim::Registry&)> change;  // none: written as read
        std::string written;
        const char* ansi = nullptr;  // the value HKLM\A "x" as the ANSI functions read it, when a string
    };
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string service = "HKLM\\SYSTEM\\ControlSet001\\Services\\USBSTOR";
    const Row rows[] = {
        {"a value under a header that comes again after its subkey's",
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n[hkey_local_machine\\a]\r\n"
                          "\"x\"=\"\xE6\xBC\xA2\"\r\n\r\n"), nullptr,
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"\xE6\xBC\xA2\"\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"),
         "?"},
        // The file ends after the continuation: the value's last line loses
        // its "\", or the subkey's header written after it would be read as
        // more of its data.
        {"a value ending the file after its continuation",
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex(7):2a,6f,00,00,\\"), nullptr,
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex(7):2a,6f,00,00\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]")},
        // Set again under another case of its name, the value keeps the name
        // it was created with, which its lines do not spell: it is written
        // from the registry.
        {"a value set again under another case of its name",
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"X\"=hex:\r\n\"x\"=hex(7):41,00,42\r\n\r\n"), nullptr,
         Utf16le(header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"X\"=hex(7):41,00\r\n\r\n")},
        {"values changed, a key deleted, an empty one created beside a branch", Utf16le(kVersion5Export),
         [&](sim::Registry& registry) {
             registry.SetString(service, "ImagePath", "System32\\DRIVERS\\USBSTOR.SYS", REG_EXPAND_SZ);
             registry.SetString(service, "\xE6\xBC\xA2\xE5\xAD\x97", "now ANSI");
             registry.DeleteTree("HKLM\\SYSTEM\\Select");
             registry.SetValue("HKEY_USERS\\.DEFAULT\\Control Panel", "Colors", REG_SZ, {});
             registry.Create("HKEY_USERS\\.DEFAULT\\Keyboard Layout");
         },
         // The export as read but for the changes.
         Utf16le(Replaced(kVersion5Export,
                          {{"00,52,00,53,00,50,00,33,00,2e,00", "00,52,00,2e,00"},  // "USBSTOR.SYS"
                           {"\"\xE5\x90\x8D\xE5\x89\x8D\"", "\"now ANSI\""},
                           {"[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n", ""},
                           // An empty REG_SZ without its terminating zero is no quoted string.
                           {"\"Colors\"=\"\"\r\n\r\n",
                            "\"Colors\"=hex(1):\r\n\r\n[HKEY_USERS\\.DEFAULT\\Keyboard Layout]\r\n\r\n"}}))},
        {"a REGEDIT4 key added later: stored, and written, after the others", kRegedit4Export,
         [](sim::Registry& registry) {
             registry.SetString("HKLM\\Enum\\USB\\VID_1234&PID_5678\\AAAA", "Driver", "hdc\\0005");
         },
         std::string(kRegedit4Export) + "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678\\AAAA]\r\n"
                                        "\"Driver\"=\"hdc\\\\0005\"\r\n\r\n"},
        // The keys the export held only as parents of the one removed stay,
        // each with its header, as regedit would export them.
        {"a REGEDIT4 key removed below keys the export held only as its parents", kRegedit4Export,
         [](sim::Registry& registry) { registry.DeleteTree("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1234&PID_5678"); },
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\USB]\r\n\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RegFormat format;
        sim::Registry registry = support::ReadExport(row.text, &format);
        if (row.ansi != nullptr) {
            EXPECT_EQ(registry.GetString("HKLM\\A", "x"), row.ansi);
        }
        if (row.change) row.change(registry);
        const std::string written = WriteRegFile(registry, format);
        EXPECT_EQ(written, row.written);
        ExpectReadsBackAs(written, registry);
    }
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
        // Escapes in a name, and a run of them before a quote in a string.
        {{"a\"b\\c", REG_DWORD, {1, 0, 0, 0}}, false, R"("a\"b\\c"=dword:00000001)"},
        {{"x", REG_SZ, Bytes(std::string(R"(\\\\"x)") + '\0')}, false, R"("x"="\\\\\\\\\"x")"},
        // Hex data wrapped after the comma that brings a line to 77 characters.
        {{"x", REG_BINARY, Bytes(std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
                                             "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19", 26))},
         false,
         "\"x\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n  17,18,19"},
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
    std::vector<InputError> skipped;
    ASSERT_TRUE(ReadRegFile(text, "undo.reg", registry, nullptr, &diag, &skipped)) << diag.Text();
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].Text(), "undo.reg:4: regedit skips the value \"ignored\": it goes nowhere: the deletion on "
                                 "line 3 closed the key before it");
    EXPECT_EQ(image::RegistryText(registry),
              "key HKEY_LOCAL_MACHINE\n"
              "key HKEY_LOCAL_MACHINE\\Software\n"
              "key HKEY_LOCAL_MACHINE\\Software\\Keep\n"
              "value HKEY_LOCAL_MACHINE\\Software\\Keep | \"stays\" = REG_SZ \"5\"\n");
}

// Export lines as regedit imports them. Each row says what Windows' regedit
// does with it, as Wine's regedit conformance tests (programs/regedit/tests,
// which run on Windows) record it, by the name of their case: what it
// imports reads into the same registry; a line it skips is skipped and
// named with its line; what it refuses is refused with the file and line.
TEST(RegFile, LinesReadAsRegeditImportsThemAndTheRestIsNamedByLine) {
    struct Row {
        const char* regedit;  // what regedit does, and the conformance case that shows it
        std::string text;
        std::string result;  // the registry's exact text when read, else a part of the refusal
        int refusedAt = 0;   // the line refused, 0 when read
        std::vector<std::pair<int, std::string>> skipped = {};  // each note: its line, a part of it
        bool utf16 = false;  // the text as UTF-16LE with its byte order mark
        std::string after = "";  // bytes after the text
        bool writtenBack = false;  // read, and written back byte for byte
    };
    using namespace std::string_literals;  // texts with NUL bytes
    const std::string r4 = "REGEDIT4\r\n", v5 = "Windows Registry Editor Version 5.00\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\A]\r\n";
    const std::string a = "key HKEY_LOCAL_MACHINE\nkey HKEY_LOCAL_MACHINE\\A\n";
    const std::string in = "value HKEY_LOCAL_MACHINE\\A | ";
    const auto values = [](const std::string& names) {
        return "key HKEY_LOCAL_MACHINE\nkey HKEY_LOCAL_MACHINE\\A = values " + names + "\n";
    };
    const std::string longName(16383, 'n');
    const Row rows[] = {
        // Imported: comments, line endings, blanks and continuations.
        {"imports (comments: Wine4)", r4 + key + "\"a\"=\"b\";comment\r\n", a + in + "\"a\" = REG_SZ \"b\"\n"},
        {"imports (comments: Wine6, Wine25a)", r4 + key + "\"x\"=dword:00000000 ; text\r\n\"y\"=dword:1234;5678\r\n",
         values("\"x\", \"y\"") + in + "\"x\" = REG_DWORD 0x00000000 (0)\n" + in +
             "\"y\" = REG_DWORD 0x00001234 (4660)\n"},
        {"imports (comments: Wine1, Wine2; value deletion: Wine46e)",
         r4 + key + "#comment\\\r\n  ;comment\r\n\"a\"=- ;gone\r\n", a},
        {"imports (CR line endings: TestValue4)", "REGEDIT4\r[HKEY_LOCAL_MACHINE\\A]\r\"a\"=\"b\"\r\r",
         a + in + "\"a\" = REG_SZ \"b\"\n"},
        {"imports (whitespace: Wine1c, Wine2c)", " \tREGEDIT4\r\n  " + key, a},
        {"imports (whitespace: Wine5d, Wine9b)",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\t\"a\" \t= \t\"b\"  \n@ = dword:\t8\t\n\"\"=\"c\"\n",
         values("\"a\", @") + in + "\"a\" = REG_SZ \"b\"\n" + in + "@ = REG_SZ \"c\"\n"},
        {"imports (continuations over comments and blank lines: Multi-Line6, Wine29b, Wine14a)",
         r4 + key + "\"h\"=hex:01,  \\ ;comment\r\n\r\n  ;comment\r\n  02,\\\r\n  03,;end\r\n",
         a + in + "\"h\" = REG_BINARY 01,02,03\n"},
        {"imports (a backslash right after the type: Wine16; the end of the file ends the data: Wine17c)",
         r4 + key + "\"h\"=hex(2):\\\r\n  41,00 ;comment\r\n\"e\"=hex:01,02,\\",
         values("\"h\", \"e\"") + in + "\"e\" = REG_BINARY 01,02\n" + in + "\"h\" = REG_EXPAND_SZ \"A\"\n"},
        {"imports (key names: Subkey1c, Subkey1e, Subkey1f)",
         r4 + "[HKEY_LOCAL_MACHINE\\A\\]\r\n[HKEY_LOCAL_MACHINE\\A\\B\\\\]\r\n[hkey_local_machine\\A\\C ]\r\n",
         a + "key HKEY_LOCAL_MACHINE\\A\\B\nkey HKEY_LOCAL_MACHINE\\A\\C \n"},
        {"imports the name up to the last \"]\" (key_name_state: wcsrchr)",
         r4 + "[HKEY_LOCAL_MACHINE\\A] ; comment\r\n\"a\"=\"b\"\r\n[HKEY_LOCAL_MACHINE\\B] ; [c]\r\n",
         a + "key HKEY_LOCAL_MACHINE\\B] ; [c\n" + in + "\"a\" = REG_SZ \"b\"\n"},
        {"imports a type of eight hex digits (hex(0000000b)) and a key name of the 255 characters Windows "
         "allows (parse_data_type; RegCreateKeyEx)",
         r4 + key + "\"q\"=hex(0000000b):01,00,00,00,00,00,00,00\r\n[HKEY_LOCAL_MACHINE\\" + std::string(255, 'k') +
             "]\r\n",
         a + "key HKEY_LOCAL_MACHINE\\" + std::string(255, 'k') + "\n" + in + "\"q\" = REG_QWORD 01,00,00,00,00,00,00,00\n"},
        // Read, and written back as read: lines ended by CR alone (as an old
        // Mac editor leaves them); UTF-16 with LF line ends and no final line
        // break; UTF-16 string data of odd size, which no ANSI text holds.
        {"imports, and is written back as read (CR line endings alone: TestValue4)", "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r\"a\"=\"b\"\r\r",
         a + in + "\"a\" = REG_SZ \"b\"\n", 0, {}, false, "", true},
        {"imports (LF line endings, no final line break: get_lineW)", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"",
         a + in + "\"a\" = REG_SZ \"b\"\n", 0, {}, true, "", true},
        {"imports UTF-16 string data of odd size (convert_hex_csv_to_hex keeps the bytes)",
         v5 + "\r\n" + key + "\"a\"=hex(2):41,00,42\r\n\r\n", a + in + "\"a\" = REG_EXPAND_SZ 41\n", 0, {}, true, "",
         true},
        {"stores the value the file ends after, line break and all (Wine17a)", r4 + key + "\"a\"=hex:01,\\\r\n",
         a + in + "\"a\" = REG_BINARY 01\n"},
        {"stores it past blank and comment lines too (hex_multiline_state)",
         r4 + key + "\"a\"=hex:01,\\\r\n\r\n  ;comment\r\n", a + in + "\"a\" = REG_BINARY 01\n"},
        {"reads a version 5 file without a byte order mark as ANSI (get_lineA)",
         v5 + key + "\"Caf\xE9\"=\"\xE9t\xE9\"\r\n\"\xC3\xA9\"=dword:1\r\n",
         values("\"Caf\xC3\xA9\", \"\xC3\x83\xC2\xA9\"") + in + "\"Caf\xC3\xA9\" = REG_SZ \"\xC3\xA9t\xC3\xA9\"\n" + in +
             "\"\xC3\x83\xC2\xA9\" = REG_DWORD 0x00000001 (1)\n"},
        {"takes a value name of 16,383 characters (the registry's limit)",
         r4 + key + "\"" + longName + "\"=\"x\"\r\n", a + in + "\"" + longName + "\" = REG_SZ \"x\"\n"},
        {"drops a stray byte after UTF-16 text (get_lineW reads whole characters)", v5 + key + "\"a\"=\"b\"",
         a + in + "\"a\" = REG_SZ \"b\"\n", 0, {{3, "a stray byte after the last UTF-16 character"}}, true, "x"},
        // Skipped, and named.
        {"skips lines that begin with none of [, @ and \" (line_start_state), hex bytes after a value ended "
         "with a comma included (Wine10d, Wine12d)",
         r4 + key + ":: comment\r\n\xE2\x80\x9Cx\xE2\x80\x9D=\"y\"\r\n\"h\"=hex:01,02,\r\n  03,04\r\n",
         a + in + "\"h\" = REG_BINARY 01,02\n", 0,
         {{3, "regedit skips the line \"::"}, {4, "begins with none of"}, {6, "\"03,04\""}}},
        {"skips a key line with a blank after [ or without ], and the key before it stays open (Subkey1a, "
         "No_Closing_Bracket)",
         r4 + key + "[ HKEY_LOCAL_MACHINE\\B]\r\n\"a\"=\"1\"\r\n[HKEY_LOCAL_MACHINE\\C\r\n\"b\"=\"2\"\r\n",
         values("\"a\", \"b\"") + in + "\"a\" = REG_SZ \"1\"\n" + in + "\"b\" = REG_SZ \"2\"\n", 0,
         {{3, "a blank after \"[\""}, {5, "no closing \"]\""}}},
        {"opens no key for a root it does not know, abbreviations included, and its values go nowhere "
         "(Subkey4b)",
         r4 + "[HKLM\\A]\r\n\"a\"=\"b\"\r\n[HKEY_CURRENT_USERS\\A]\r\n@=\"c\"\r\n", "", 0,
         {{2, "no root key \"HKLM\""},
          {3, "the value \"a\": it goes nowhere: regedit could not open the key of line 2"},
          {4, "no root key \"HKEY_CURRENT_USERS\""},
          {5, "the default value: it goes nowhere"}}},
        {"cannot open a key the registry cannot hold", r4 + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", "", 0,
         {{2, "an empty key name"}}},
        {"cannot open a key whose name is longer than the 255 characters Windows allows (RegCreateKeyEx "
         "fails), and its values go nowhere",
         r4 + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n\"a\"=\"b\"\r\n", "", 0,
         {{2, "a key name longer than the 255 characters"}, {3, "the value \"a\": it goes nowhere"}}},
        {"sets no value before the first key line (hkey NULL)", r4 + "\r\n\"a\"=\"b\"\r\n", "", 0,
         {{3, "the value \"a\": it goes nowhere: no key line before it"}}},
        {"ignores a deletion line whose root name does not follow \"[-\" (Subkey2a: \"[- HKEY_...]\")",
         r4 + key + "[- HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=\"b\"\r\n", a, 0,
         {{3, "regedit ignores the deletion line"}, {4, "goes nowhere: the deletion on line 3 closed"}}},
        {"skips type tags it does not know: case, blanks (parse_data_type matches \"dword:\", \"hex:\" and "
         "\"hex(\" exactly; convert_hex_csv_to_hex: a blank before a comma)",
         r4 + key + "\"a\"=DWORD:1\r\n\"b\"=dword :1\r\n\"c\"=HEX:01\r\n\"d\"=Hex(2):41,00\r\n\"e\"=hex:01 ,02\r\n", a,
         0,
         {{3, "its type \"DWORD:\" is none regedit knows"},
          {4, "\"dword :\""},
          {5, "\"HEX:\""},
          {6, "\"Hex(2):\""},
          {7, "the value \"e\": no \",\" right after a byte"}}},
        {"skips a value whose name or string has no closing quote (TestNoEndQuote, NameNoEndQuote, MixedQuotes)",
         r4 + key + "\"a\"=\"open\r\n\"a=\"x\"\r\n\"open=1\r\n", a, 0,
         {{3, "its string has no closing quote"}, {4, "the value \"a=\": no \"=\""}, {5, "its name has no closing"}}},
        {"skips a string or a name the line ends in, after a backslash (TestNoEndQuote)",
         r4 + key + "\"a\"=\"x\\\r\n\"b\\", a, 0,
         {{3, "its string has no closing quote"}, {4, "its name has no closing quote"}}},
        {"skips escapes other than \\\\ and \\\" (Wine33a: \\0; others not recorded)",
         r4 + key + "\"a\"=\"x\\n\"\r\n\"b\"=\"\\0\"\r\n", a, 0, {{3, "an escape \"\\n\""}, {4, "an escape \"\\0\""}}},
        {"skips text after a string but a ; comment (Test15a, Wine3, Wine26c)",
         r4 + key + "\"a\"=\"x\" junk\r\n\"b\"=\"x\"#comment\r\n\"c\"=\"x\"  #comment\r\n", a, 0,
         {{3, "text after the closing quote"}, {4, "text after the closing quote"}, {5, "text after"}}},
        {"skips a deletion with text after \"=-\" (Wine46d, Wine46f)",
         r4 + key + "\"a\"=\"1\"\r\n\"a\"=-\"x\"\r\n\"a\"=- #comment\r\n", a + in + "\"a\" = REG_SZ \"1\"\n", 0,
         {{4, "text after \"=-\""}, {5, "text after \"=-\""}}},
        {"skips types it does not know (Test16a, Wine13)",
         r4 + key + "\"a\"=qword:1\r\n\"b\"=1234\r\n\"c\"=\r\n\"d\"=#\"x\"\r\n", a, 0,
         {{3, "\"qword:\""}, {4, "\"1234\""}, {5, "\"\" is none"}, {6, "\"#\"x\"\""}}},
        {"skips bad dwords (Test12b, Test12c, Test12a, Wine25d, Test14a)",
         r4 + key + "\"a\"=dword:123456789\r\n\"b\"=dword:xyz\r\n\"c\"=dword:\r\n\"d\"=dword:1 #c\r\n\"e\"=dword:0x1\r\n", a,
         0, {{3, "1 to 8 hex digits"}, {4, "dword"}, {5, "dword"}, {6, "dword"}, {7, "dword"}}},
        {"skips bad hex bytes (Wine22a: a byte over ff; Wine32b: no byte between commas; Wine27c; a byte of "
         "three digits not recorded)",
         r4 + key + "\"a\"=hex:01,zz\r\n\"b\"=hex:012\r\n\"c\"=hex:01,,02\r\n\"d\"=hex:01 02\r\n\"e\"=hex:01,02 #c\r\n", a,
         0,
         {{3, "a bad hex byte \"zz\""},
          {4, "a bad hex byte \"012\""},
          {5, "a bad hex byte \",\""},
          {6, "no \",\" right after a byte"},
          {7, "no \",\" right after a byte"}}},
        {"skips a continuation without a comma before it, and reads the next line (Wine9c, Wine9d, Wine28b)",
         r4 + key + "\"a\"=hex:01,02\\\r\n\"b\"=\"c\"\r\n\"d\"=hex:01,02  \\  ;c\r\n",
         a + in + "\"b\" = REG_SZ \"c\"\n", 0, {{3, "must follow a comma"}, {5, "must follow a comma"}}},
        {"skips a value and the line continuing it when that line starts with no hex byte: a value, a key, a "
         "# comment or a backslash (Wine9e, Wine9f, Wine24a, Wine25e, Wine29a, Test19d)",
         r4 + key + "\"a\"=hex:01,\\\r\n\"b\"=\"c\"\r\n\"d\"=hex:01,\\\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"e\"=hex:01,\\\r\n"
                    "#comment\r\n\"f\"=\"g\"\r\n\"h\"=hex:01,\\\r\n  \\\r\n  02\r\n\"i\"=hex:01,7\\\r\n5,00\r\n",
         a + in + "\"f\" = REG_SZ \"g\"\n", 0,
         {{4, "the value \"a\" of line 3 and this line: the line continuing its data \"\"b\"=\"c\"\""},
          {6, "the value \"d\" of line 5 and this line: the line continuing its data \"[HKEY_LOCAL_MACHINE"},
          {8, "the value \"e\" of line 7 and this line: the line continuing its data \"#comment\""},
          {11, "the value \"h\" of line 10 and this line"},
          {12, "regedit skips the line \"02\""},
          {13, "must follow a comma"},
          {14, "regedit skips the line \"5,00\""}}},
        {"skips a continuation past a blank line with the value line there (Wine25g, Wine25h)",
         r4 + key + "\"a\"=hex:01,\\\r\n\r\n\"b\"=\"c\"\r\n", a, 0, {{5, "the value \"a\" of line 3 and this line"}}},
        {"skips text after a continuation but a ; comment (Test19f, Wine28e)",
         r4 + key + "\"a\"=hex:01,\\#comment\r\n  02\r\n\"b\"=hex:01,\\\t  ;comment\r\n  02\r\n",
         a + in + "\"b\" = REG_BINARY 01,02\n", 0,
         {{3, "text after the line continuation"}, {4, "regedit skips the line \"02\""}}},
        {"skips hex(N) types beyond 32 bits or not in hex digits (Wine13i, Wine13j, Wine13l)",
         r4 + key + "\"a\"=hex(100000000):01\r\n\"b\"=hex(0x2):01\r\n\"c\"=hex(x2):01\r\n\"d\"=hex(ffffffff):01\r\n",
         a + in + "\"d\" = type 4294967295 01\n", 0,
         {{3, "\"hex(100000000):\" is not"}, {4, "\"hex(0x2):\""}, {5, "\"hex(x2):\""}}},
        // Refused, with the line.
        {"refuses: not a registry script (an empty file)", "", "empty file", 1},
        {"refuses: not a registry script (Test7: REGEDIT5)", "REGEDIT5\r\n", "not a registry export", 1},
        {"refuses: not a registry script (the header on the first line)", "\r\nREGEDIT4\r\n", "not a registry export", 1},
        {"refuses: not a registry script (no header)", "[HKEY_LOCAL_MACHINE\\X]\r\n", "not a registry export", 1},
        {"refuses: not a registry script (big-endian)", "\xFE\xFF\0R"s, "big-endian", 1},
        {"refuses: not a registry script (UTF-16 without its byte order mark)",
         std::string("R\0E\0G\0E\0D\0I\0T\0004\0"s), "without its byte order mark", 1},
        {"stops at a deletion of a root it does not know (delete_registry_key: invalid system key)",
         r4 + "[-HKLM\\A]\r\n", "\"HKLM\" is no root key regedit knows", 2},
        {"stops at a deletion of a whole root (delete_registry_key: delete failed)",
         r4 + "[-HKEY_LOCAL_MACHINE\\]\r\n", "the whole root HKEY_LOCAL_MACHINE", 2},
        {"refused here: a NUL in a key name, which no registry holds (regedit's line ends at it)",
         r4 + "[HKEY_LOCAL_MACHINE\\A\0B]\r\n"s, "a NUL character in a key line", 2},
        {"refused here: the same in UTF-16", v5 + "\r\n[HKEY_LOCAL_MACHINE\\A\0B]\r\n"s,
         "a NUL character in a key line", 3, {}, true},
        {"refused here: a NUL in a value name or string (regedit's line ends at it)",
         r4 + key + "\"a\0b\"=\"c\"\r\n"s, "a NUL character in a value line", 3},
        {"refused here: the same in string data", r4 + key + "\"a\"=\"b\0c\"\r\n"s, "a NUL character in a value line", 3},
        {"refused here: the same a word after a letter beyond ASCII", r4 + key + "\"a\"=\"\xE9 and more\0c\"\r\n"s,
         "a NUL character in a value line", 3},
        {"refused here: a value name longer than the registry holds (RegSetValueEx fails)",
         r4 + key + "\"" + longName + "n\"=\"x\"\r\n", "longer than the 16,383 characters", 3},
        {"refused here: a UTF-8 file (with its byte order mark) that is not UTF-8",
         "\xEF\xBB\xBF" + v5 + key + "\"\xC3\x28\"=\"x\"\r\n", "not valid UTF-8", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.regedit);
        sim::Registry registry;
        InputError diag;
        std::vector<InputError> skipped;
        const std::string bytes = (row.utf16 ? Utf16le(row.text) : row.text) + row.after;
        RegFormat format;
        const bool read = ReadRegFile(bytes, "image/registry.reg", registry, &format, &diag, &skipped);
        if (row.refusedAt == 0) {
            ASSERT_TRUE(read) << diag.Text();
            EXPECT_EQ(image::RegistryText(registry), row.result);
            if (row.writtenBack) {
                EXPECT_EQ(WriteRegFile(registry, format), bytes);
            }
            ASSERT_EQ(skipped.size(), row.skipped.size());
            for (size_t i = 0; i < skipped.size(); ++i) {
                EXPECT_EQ(skipped[i].file, "image/registry.reg");
                EXPECT_EQ(skipped[i].line, row.skipped[i].first) << skipped[i].Text();
                EXPECT_NE(skipped[i].message.find(row.skipped[i].second), std::string::npos) << skipped[i].Text();
            }
            continue;
        }
        EXPECT_FALSE(read);
        EXPECT_EQ(diag.file, "image/registry.reg");
        EXPECT_EQ(diag.line, row.refusedAt);
        EXPECT_NE(diag.message.find(row.result), std::string::npos) << diag.Text();
    }
}

// A key's children listed out of order, as a Windows 98 export lists them:
// the NT family enumerates them sorted (ASCII letters without regard to
// case, other bytes by value), the 9x family in the file's order, and the
// export is written back in that order. Names alike in their first eight
// characters, in another case, a prefix of another, "_" between "Z" and
// "a"; from 16 children on they are found by name through a table, where a
// header repeated in another case names the same key.
TEST(RegFile, ChildrenOutOfOrderEnumerateSortedAndKeepTheFileOrder) {
    struct Row {
        const char* what;
        std::vector<std::string> listed;  // the children's headers in file order (code page 1252)
        std::vector<std::string> sorted;  // the NT family's order (UTF-8)
    };
    std::vector<std::string> many, manySorted;
    for (int i = 19; i >= 0; --i) many.push_back("Key" + std::to_string(i));
    for (int i : {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 2, 3, 4, 5, 6, 7, 8, 9})
        manySorted.push_back("Key" + std::to_string(i));
    std::vector<std::string> manyAgain = many;
    manyAgain.push_back("KEY7");
    const Row rows[] = {
        {"a few children", {"Zeta", "alpha_long_name_2", "ALPHA_LONG_NAME_1", "alpha", "Alpha_", "alph", "_x", "b"},
         {"alph", "alpha", "Alpha_", "ALPHA_LONG_NAME_1", "alpha_long_name_2", "b", "Zeta", "_x"}},
        {"names beyond ASCII, by their bytes", {"\xE9t\xE9", "\xC9T\xC9", "ete", "ETF"},
         {"ete", "ETF", "\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"}},
        {"twenty children, found through a table", many, manySorted},
        {"the same with a header repeated in another case", manyAgain, manySorted},
    };
    const auto utf8 = [](const std::string& ansi) { return sim::AnsiToUtf8(1252, ansi); };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n";
        std::vector<std::string> stored;
        for (const std::string& name : row.listed) {
            text += "\r\n[HKEY_LOCAL_MACHINE\\A\\" + name + "]\r\n\"v\"=\"" + name + "\"\r\n";
            if (std::none_of(stored.begin(), stored.end(), [&](const std::string& s) { return sim::NamesEqual(s, name); }))
                stored.push_back(name);
        }
        RegFormat format;
        const sim::Registry registry = support::ReadExport(text, &format);
        EXPECT_EQ(registry.SubkeyNames("HKEY_LOCAL_MACHINE\\A"), row.sorted);
        const sim::RegKey* key = registry.Find("HKEY_LOCAL_MACHINE\\A");
        ASSERT_NE(key, nullptr);
        std::vector<std::string> enumerated, expected;
        for (size_t i = 0; const sim::RegKey* sub = key->EnumeratedSubkey(i, sim::Family::Win9x); ++i)
            enumerated.push_back(sub->name);
        for (const std::string& name : stored) expected.push_back(utf8(name));
        EXPECT_EQ(enumerated, expected);
        // Each child is found in any case and holds the value of its last header.
        for (const std::string& name : stored) {
            std::string last;
            for (const std::string& l : row.listed)
                if (sim::NamesEqual(l, name)) last = l;
            const std::string path = "HKEY_LOCAL_MACHINE\\A\\" + utf8(sim::UpperAscii(name));
            ASSERT_NE(registry.Find(path), nullptr) << name;
            EXPECT_EQ(registry.Find(path)->values.size(), 1u);
            EXPECT_EQ(registry.GetString(path, "v"), last);
        }
        if (stored.size() == row.listed.size()) {
            EXPECT_EQ(WriteRegFile(registry, format), text);
        }
    }
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
            // Whatever loaded can be written and read again to the same
            // registry, with no line that regedit would skip.
            ExpectReadsBackAs(WriteRegFile(registry, format), registry);
        }
    }
    EXPECT_GT(refused, 0u);
}

namespace {

// 30,000 keys of two values each, a key of 3,000 values (a list longer than
// the registry keeps in its store), and a last value of over a megabyte of
// hex text: an export of several megabytes that ends in a line longer than
// the parts a file is written in.
sim::Registry LargeRegistry() {
    sim::Registry source;
    for (int i = 0; i < 30000; ++i) {
        const std::string key = "HKLM\\SOFTWARE\\Big\\Key" + std::to_string(i);
        source.SetString(key, "Name", "value number " + std::to_string(i));
        source.SetValue(key, "Data", REG_BINARY, std::vector<uint8_t>(40, static_cast<uint8_t>(i)));
    }
    for (int i = 0; i < 3000; ++i) source.SetDword("HKLM\\SOFTWARE\\Big\\Many", "v" + std::to_string(i), i);
    source.SetValue("HKLM\\SOFTWARE\\Big\\Last", "Data", REG_BINARY, std::vector<uint8_t>(400000, 0xAB));
    return source;
}

// A large export read with a listener: it hears of ever larger offsets, each
// well behind the end, and the registry is the same as without it; one read
// in which the bytes it was done with are scrambled still gives it.
TEST(RegFileLarge, TheReaderSaysHowFarItIsDone) {
    const sim::Registry source = LargeRegistry();
    for (const bool version5 : {false, true}) {
        RegFormat format = version5 ? RegFormat::Version5() : RegFormat::Regedit4();
        format.branches = {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Big"};
        std::string bytes = WriteRegFile(source, format);
        ASSERT_GT(bytes.size(), 6u << 20);  // past the reader's first report

        sim::Registry plain;
        ASSERT_TRUE(ReadRegFile(bytes, "big.reg", plain, nullptr, nullptr));

        std::vector<size_t> told;
        sim::Registry listened;
        ASSERT_TRUE(ReadRegFile(bytes, "big.reg", listened, nullptr, nullptr, nullptr,
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

// A large export is parsed a few batches ahead of the reader, in a thread of
// its own: the registry, the notes, where the reading stops and what it
// leaves are those of the file's order, whichever of the two refuses it
// (the reader, at a deletion of a root it does not know, stops the parser).
TEST(RegFileLarge, ReadAheadKeepsTheFileOrder) {
    using namespace std::string_literals;  // a text with a NUL byte
    std::string text = "REGEDIT4\r\n";
    int line = 1;
    std::vector<int> noted;
    const auto add = [&](const std::string& l) {
        text += l + "\r\n";
        ++line;
    };
    for (int i = 0; i < 20000; ++i) {
        add("");
        add("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key" + std::to_string(i) + "]");
        add("\"Name\"=\"value number " + std::to_string(i) + "\"");
        if (i % 2000 == 1000) {
            add(":: a line regedit skips");
            noted.push_back(line);
            add("\"Bad\"=DWORD:1");
            noted.push_back(line);
        }
    }
    add("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key7]");
    add("\"Nowhere\"=\"the deletion closed the key before it\"");
    noted.push_back(line);
    std::string after;
    for (int i = 0; i < 20000; ++i) after += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\After" + std::to_string(i) + "]\r\n";
    struct Row {
        const char* what;
        std::string tail;
        int refusedAt;  // 0: read
        const char* refusal;
    };
    const Row rows[] = {
        {"read to its end", after, 0, ""},
        {"refused by the parser", "[HKEY_LOCAL_MACHINE\\A\0B]\r\n"s + after, line + 1, "a NUL character in a key line"},
        {"refused by the reader", "[-HKLM\\A]\r\n" + after, line + 1, "\"HKLM\" is no root key regedit knows"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string bytes = text + row.tail;
        ASSERT_GT(bytes.size(), 1u << 20);  // past the size from which the parser runs ahead
        sim::Registry registry;
        InputError diag;
        std::vector<InputError> skipped;
        EXPECT_EQ(ReadRegFile(bytes, "big.reg", registry, nullptr, &diag, &skipped), row.refusedAt == 0);
        EXPECT_EQ(diag.line, row.refusedAt);
        EXPECT_NE(diag.message.find(row.refusal), std::string::npos) << diag.Text();
        std::vector<int> lines;
        for (const InputError& note : skipped) lines.push_back(note.line);
        EXPECT_EQ(lines, noted);
        EXPECT_EQ(registry.SubkeyNames("HKEY_LOCAL_MACHINE\\SOFTWARE\\Big").size(), 19999u);
        EXPECT_FALSE(registry.Exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key7"));
        EXPECT_EQ(registry.GetString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key19999", "Name"), "value number 19999");
        EXPECT_FALSE(registry.GetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key1000", "Bad"));
        EXPECT_EQ(registry.Exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\After19999"), row.refusedAt == 0);
        EXPECT_FALSE(registry.Exists("HKEY_LOCAL_MACHINE\\A"));
    }
}

// Written to a file as it is built, an export is the bytes it is in memory,
// its last line end taken back or blank lines added at the very end.
TEST(RegFileLarge, AnExportWrittenAsItGoesIsTheSameFile) {
    const sim::Registry source = LargeRegistry();
    support::ScratchFolder folder;
    struct Row {
        const char* name;
        RegFormat format;
    };
    RegFormat noFinalLineEnd = RegFormat::Version5(), blankLinesAtTheEnd = RegFormat::Regedit4(),
              utf8 = RegFormat::Version5();
    noFinalLineEnd.finalNewline = false;
    noFinalLineEnd.trailingBlankLines = 0;
    blankLinesAtTheEnd.trailingBlankLines = 3;
    blankLinesAtTheEnd.crlf = false;
    utf8.encoding = RegEncoding::Utf8;
    utf8.finalNewline = false;
    for (const Row& row : {Row{"version 5, no line end after the last line", noFinalLineEnd},
                           Row{"REGEDIT4, three blank lines at the end", blankLinesAtTheEnd},
                           Row{"version 5 in UTF-8, no line end after the last line", utf8}}) {
        SCOPED_TRACE(row.name);
        const std::string path = folder.Path() + "/registry.reg";
        ASSERT_TRUE(image::WriteRegFileTo(path, source, row.format));
        std::string written;
        ASSERT_TRUE(image::ReadHostFile(path, &written));
        const std::string inMemory = WriteRegFile(source, row.format);
        ASSERT_GT(inMemory.size(), 2u << 20);  // written in several parts
        EXPECT_TRUE(written == inMemory);
    }
    EXPECT_FALSE(image::WriteRegFileTo(folder.Path() + "/no such folder/registry.reg", source, RegFormat::Regedit4()));
}

}  // namespace
