// The INF reader on bytes alone: line forms, quoting, strings, sections and
// encodings, as SETUPAPI reads them.
#include "platform/sim/sim_inf.h"
#include "support/text_bytes.h"

#include <gtest/gtest.h>

namespace {

using support::TextBytes;

// The compact texts of every line of a section.
std::vector<std::string> Texts(const std::vector<uint8_t>& bytes, const std::string& section) {
    const sim::InfParse parsed = sim::ParseInf(bytes);
    EXPECT_EQ(parsed.error, static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<std::string> out;
    if (const sim::InfSection* s = sim::FindInfSection(parsed.sections, section))
        for (const sim::InfLine& line : s->lines) out.push_back(sim::InfLineText(line));
    return out;
}

TEST(InfParser, CompactLineText) {
    const std::pair<const char*, const char*> rows[] = {
        {"%Desc% = Install, USB\\VID_1234&PID_5678 , USB\\CLASS_08",
         "Install,USB\\VID_1234&PID_5678,USB\\CLASS_08"},
        {"Install,USB\\VID_1234&PID_5678", "Install,USB\\VID_1234&PID_5678"},
        {"key =", ""},
        {"key = ,", ","},
        {"a = b = c", "b = c"},                       // only the first "=" is the key's
        {"a, b = c", "a,b = c"},                      // no key once a comma was seen
        {"\"x, y\" , \" pad \"", "x, y, pad "},       // quoted commas and blanks stay
        {"k = \"say \"\"hi\"\"\"", "say \"hi\""},     // "" is a quote
        {"k = \"a;b\" ; comment, more", "a;b"},
        {"k = %Name%, %name%, %%, %Unknown%, 100%", "Gadget,Gadget,%,%Unknown%,100%"},
        {"k = a, \\\n   b, \\ ; note\n c", "a,b,c"},  // continuation, also before a comment
        {"k = a\\b", "a\\b"},
        {"k = \"open, quote", "open, quote"},        // an open quote ends with the line
    };
    for (const auto& row : rows) {
        const std::string inf =
            std::string("[S]\r\n") + row.first + "\r\n[Strings]\r\nname = \"Gadget\"\r\n";
        EXPECT_EQ(Texts(TextBytes(inf), "S"), std::vector<std::string>{row.second}) << row.first;
    }
    // Comments and blank lines are no lines; sections of one name (any case)
    // are merged; a backslash continuing the last line is dropped.
    EXPECT_EQ(Texts(TextBytes("; c\n\n[S]\n \t\na\n[Other]\nx\n[s] tail\n  ; c\nk = USB\\VID_1\\ "), "S"),
              (std::vector<std::string>{"a", "USB\\VID_1"}));
}

TEST(InfParser, Encodings) {
    // UTF-16LE with its mark: a character above 0xFF becomes one '?', also
    // for a surrogate pair; U+00E9 stays one byte.
    const std::vector<uint8_t> bytes =
        TextBytes(support::Utf16le("[S]\r\nk = caf\u00e9, \u4e2d, \U0001F600 ; \u4e2d\r\nInstall,USB\\V\r\n"));
    EXPECT_EQ(Texts(bytes, "S"), (std::vector<std::string>{"caf\xE9,?,?", "Install,USB\\V"}));
    EXPECT_EQ(Texts(TextBytes("\xEF\xBB\xBF[S]\nk = caf\xC3\xA9, \xE4\xB8\xAD, \xFF\n"), "S"),
              std::vector<std::string>{"caf\xE9,?,\xFF"});
    // The text ends at a NUL or a Ctrl-Z.
    EXPECT_EQ(Texts(TextBytes(std::string("[S]\na\nb\x1A\nc\n", 11)), "S"),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Texts(TextBytes(std::string("[S]\na\0b\n", 8)), "S"), std::vector<std::string>{"a"});
}

}  // namespace
