#include "platform/sim/sim.h"
#include <gtest/gtest.h>
TEST(SimFilesSmoke, Builds) {
    sim::Machine m = sim::MakeWindows98();
    sim::ActiveMachine active(m);
    EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}
