#include <gtest/gtest.h>

#include "platform/platform.h"

TEST(PlatformSeam, ShippedTableCallsTheRealFunctions)
{
    EXPECT_EQ(platform::g_ops.GetTickCount, platform::RealOps().GetTickCount);
    EXPECT_EQ(platform::g_ops.GetCurrentProcessId(), ::GetCurrentProcessId());
}
