// The INF reader on bytes alone: line forms, quoting, strings, encodings and
// syntax errors, as SETUPAPI reads them.
#include "platform/sim/sim_inf.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Utf16Le(const std::u16string& text) {
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

// The compact texts of every line of a section.
std::vector<std::string> Texts(const sim::InfParse& inf, const std::string& section) {
    std::vector<std::string> out;
    const sim::InfSection* s = sim::FindInfSection(inf.sections, section);
    if (s != nullptr)
        for (const sim::InfLine& line : s->lines) out.push_back(sim::InfLineText(line));
    return out;
}

TEST(InfParser, CompactLineText) {
    struct Row {
        const char* line;
        const char* text;
    };
    const Row rows[] = {
        {"%Desc% = Install, USB\\VID_1234&PID_5678 , USB\\CLASS_08",
         "Install,USB\\VID_1234&PID_5678,USB\\CLASS_08"},
        {"Install,USB\\VID_1234&PID_5678", "Install,USB\\VID_1234&PID_5678"},
        {"  key=value  ", "value"},
        {"key =", ""},
        {"key = ,", ","},
        {"a,,b", "a,,b"},
        {"a = b = c", "b = c"},                       // only the first "=" is the key's
        {"a, b = c", "a,b = c"},                      // no key once a comma was seen
        {"\"x, y\" , \" pad \"", "x, y, pad "},       // quoted commas and blanks stay
        {"k = \"say \"\"hi\"\"\"", "say \"hi\""},     // "" is a quote
        {"k = \"a;b\" ; comment", "a;b"},
        {"v1, v2 ; comment, more", "v1,v2"},
        {"k = %Name%, %name%, %%, %Unknown%, 100%", "Gadget,Gadget,%,%Unknown%,100%"},
        {"k = \"%Name%\"", "Gadget"},
        {"k = a, \\\n   b, \\ ; note\n c", "a,b,c"},  // continuation, also before a comment
        {"k = a\\b", "a\\b"},
        {"k = \"open, quote", "open, quote"},        // an open quote ends with the line
    };
    for (const Row& row : rows) {
        const std::string inf =
            std::string("[S]\r\n") + row.line + "\r\n[Strings]\r\nname = \"Gadget\"\r\n";
        const sim::InfParse parsed = sim::ParseInf(Bytes(inf));
        ASSERT_EQ(parsed.error, static_cast<DWORD>(ERROR_SUCCESS)) << row.line;
        EXPECT_EQ(Texts(parsed, "S"), std::vector<std::string>{row.text}) << row.line;
    }
    // A backslash that continues the file's last line is dropped.
    EXPECT_EQ(Texts(sim::ParseInf(Bytes("[S]\nk = USB\\VID_1\\ ")), "S"),
              std::vector<std::string>{"USB\\VID_1"});
}

TEST(InfParser, SectionsKeysAndBlankLines) {
    const sim::InfParse parsed = sim::ParseInf(Bytes(
        "; header comment\n"
        "\n"
        "[Version]\n"
        "Signature = \"$CHICAGO$\"   ; any case\n"
        "[ devs ] trailing text is ignored\n"
        "\t \n"
        "Install, USB\\A\n"
        "[DEVS]\r"
        "%Key% = x\n"
        "[Empty]\n"
        "[Strings]\n"
        "KEY=\"Renamed Key\"\n"));
    ASSERT_EQ(parsed.error, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(parsed.sections.size(), 4u);
    const sim::InfSection* devs = sim::FindInfSection(parsed.sections, "DeVs");
    ASSERT_NE(devs, nullptr);
    EXPECT_EQ(devs->name, "devs");
    ASSERT_EQ(devs->lines.size(), 2u);  // the two [devs] sections merged, in file order
    EXPECT_FALSE(devs->lines[0].hasKey);
    EXPECT_EQ(devs->lines[0].sourceLine, 7u);
    EXPECT_EQ(devs->lines[1].key, "Renamed Key");
    EXPECT_EQ(sim::FindInfLine(*devs, "renamed KEY"), &devs->lines[1]);
    EXPECT_EQ(Texts(parsed, "Empty"), std::vector<std::string>{});
    const sim::InfLine* signature =
        sim::FindInfLine(*sim::FindInfSection(parsed.sections, "version"), "SIGNATURE");
    ASSERT_NE(signature, nullptr);
    EXPECT_EQ(sim::InfLineText(*signature), "$CHICAGO$");
}

TEST(InfParser, LongLinesAreKeptWhole) {
    for (size_t length : {255u, 256u, 4000u}) {
        const std::string value(length, 'x');
        const sim::InfParse parsed = sim::ParseInf(Bytes("[S]\n" + value + "\n"));
        EXPECT_EQ(Texts(parsed, "S"), std::vector<std::string>{value}) << length;
    }
}

TEST(InfParser, Encodings) {
    // UTF-16LE with its mark; a character above 0xFF becomes '?', one per
    // character also for a surrogate pair; U+00E9 stays one byte.
    const sim::InfParse wide = sim::ParseInf(
        Utf16Le(u"[S]\r\nk = caf\u00e9, \u4e2d, \U0001F600\r\nInstall,USB\\VID_1234\r\n"));
    ASSERT_EQ(wide.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Texts(wide, "S"),
              (std::vector<std::string>{"caf\xE9,?,?", "Install,USB\\VID_1234"}));

    const sim::InfParse utf8 =
        sim::ParseInf(Bytes("\xEF\xBB\xBF[S]\nk = caf\xC3\xA9, \xE4\xB8\xAD, \xFF\n"));
    EXPECT_EQ(Texts(utf8, "S"), std::vector<std::string>{"caf\xE9,?,\xFF"});

    // The text ends at a NUL or a Ctrl-Z.
    const sim::InfParse cut = sim::ParseInf(Bytes(std::string("[S]\na\nb\x1A\nc\n[T]\n", 15)));
    EXPECT_EQ(Texts(cut, "S"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(sim::FindInfSection(cut.sections, "T"), nullptr);
}

TEST(InfParser, SyntaxErrorsNameTheirLine) {
    struct Row {
        std::string text;
        DWORD error;
        unsigned line;
    };
    const Row rows[] = {
        {"; fine\nvalue before any section\n[S]\n", ERROR_EXPECTED_SECTION_NAME, 2},
        {"[S]\na\n[Broken\nb\n", ERROR_BAD_SECTION_NAME_LINE, 3},
        {"[S]\n[" + std::string(256, 'N') + "]\n", ERROR_SECTION_NAME_TOO_LONG, 2},
    };
    for (const Row& row : rows) {
        const sim::InfParse parsed = sim::ParseInf(Bytes(row.text));
        EXPECT_EQ(parsed.error, row.error) << row.text;
        EXPECT_EQ(parsed.errorLine, row.line) << row.text;
        EXPECT_TRUE(parsed.sections.empty());
    }
    const std::string longest = "[" + std::string(255, 'N') + "]\n";
    EXPECT_EQ(sim::ParseInf(Bytes(longest)).error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(sim::ParseInf(Bytes("")).sections.size(), 0u);
}

}  // namespace
