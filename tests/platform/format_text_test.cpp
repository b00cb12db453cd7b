// FormatText: the program's paths and names, and texts around and past the
// first 256-byte try, exactly as printf would give them.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FormatText, GivesTheFormattedTextWhateverItsLength) {
    EXPECT_EQ(FormatText("%s\\inf\\%s", "C:\\WINDOWS", "USBZAV03.inf"),
              "C:\\WINDOWS\\inf\\USBZAV03.inf");
    EXPECT_EQ(FormatText("%s.~%s%02u", "C:\\WINNT\\inf\\usbstor.inf", "zt", 7u),
              "C:\\WINNT\\inf\\usbstor.inf.~zt07");
    EXPECT_EQ(FormatText("%c\\%s", 'E', "TEVDRIVE"), "E\\TEVDRIVE");
    EXPECT_EQ(FormatText("%s", ""), "");

    // Lengths on both sides of the first try and of its doublings.
    for (size_t length : {254u, 255u, 256u, 257u, 511u, 512u, 513u, 5000u, 70000u}) {
        const std::string name(length, 'k');
        const std::string text = FormatText("Enum\\%s", name.c_str());
        EXPECT_EQ(text, "Enum\\" + name) << length;
        EXPECT_EQ(text.size(), length + 5) << length;
    }
    // A zero character it was given is kept.
    EXPECT_EQ(FormatText("a%cb", 0), std::string("a\0b", 3));
}

}  // namespace
