// The simulated machine's answers about itself and its windows: the
// program's own path, the computer name, the ANSI code page and the
// conversion to it, the top-level windows and their titles, each with the
// buffer conventions of Windows.
#include "platform/sim/sim.h"
#include "support/active_machine.h"
#include "support/call_result.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

BOOL CALLBACK Collect(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

TEST(SimSystem, NamesTextsAndWindowsWithTheirBufferConventions) {
    sim::Machine m = sim::MakeWindowsXP();
    m.codePage = 1251;
    m.modulePath = "C:\\TOOLS\\zavcollect.exe";  // 23 characters
    m.computerName = "OFFICE7";
    m.windowTitles = {"Glovix", "Program Manager"};
    support::ActiveMachine active(m);

    // Too small a buffer: the path cut without its terminator, its size
    // returned (Windows XP); the name's size needed, terminator included.
    char text[32];
    EXPECT_EQ(GetModuleFileNameA(nullptr, text, sizeof text), 23u);
    EXPECT_STREQ(text, "C:\\TOOLS\\zavcollect.exe");
    std::memset(text, 'g', sizeof text);
    EXPECT_EQ(GetModuleFileNameA(nullptr, text, 10), 10u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(text, 11), "C:\\TOOLS\\zg");
    DWORD size = 7;
    EXPECT_EQ(support::Called(GetComputerNameA(text, &size)), support::Outcome(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(GetComputerNameA(text, &size));
    EXPECT_STREQ(text, "OFFICE7");
    EXPECT_EQ(size, 7u);

    // The code page, and UTF-16 through it: a character it lacks as a
    // look-alike or "?", a size of 0 asking for the size, too small a buffer
    // refused.
    EXPECT_EQ(GetACP(), 1251u);
    // The process's error mode: the mode it replaces comes back.
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), 0u);
    EXPECT_EQ(SetErrorMode(0), static_cast<UINT>(SEM_FAILCRITICALERRORS));
    const std::u16string wide = u"Имя \u00e9\u4e2d";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr), 7);
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), 6, text, sizeof text, nullptr, &usedDefault), 6);
    EXPECT_EQ(std::string(text, 6), "\xC8\xEC\xFF e?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), 6, text, 5, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // The windows in their order; a closed one answers no more.
    std::vector<HWND> windows;
    EXPECT_TRUE(EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows)));
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(GetWindowTextLengthA(windows[1]), 15);
    EXPECT_EQ(GetWindowTextA(windows[1], text, 8), 7);
    EXPECT_STREQ(text, "Program");
    SendMessageA(windows[0], WM_CLOSE, 0, 0);
    SetLastError(0);
    EXPECT_EQ(GetWindowTextLengthA(windows[0]), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
