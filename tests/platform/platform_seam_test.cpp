// The platform table: the shipped one, and swapping one operation in a test.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/platform_override.h"

namespace {

DWORD WINAPI FrozenTick()
{
    return 42;
}

TEST(PlatformSeam, ShippedTableCallsTheRealFunctions)
{
    EXPECT_EQ(&platform::RealOps(), &platform::ops());
    EXPECT_EQ(platform::ops().GetTickCount, &::GetTickCount);
    EXPECT_EQ(platform::ops().HeapAlloc, &::HeapAlloc);
}

TEST(PlatformSeam, AnOverrideTouchesOneSlotAndEndsWithItsScope)
{
    {
        testing_support::ScopedOp<decltype(platform::Ops::GetTickCount)> tick(&platform::Ops::GetTickCount,
                                                                               &FrozenTick);
        EXPECT_EQ(42u, platform::ops().GetTickCount());
        EXPECT_EQ(platform::RealOps().HeapAlloc, platform::ops().HeapAlloc);
        EXPECT_EQ(&::GetTickCount, platform::RealOps().GetTickCount);  // the real table is never written
    }
    EXPECT_EQ(&::GetTickCount, platform::ops().GetTickCount);
    testing_support::RestoreRealPlatform();
    EXPECT_EQ(&platform::RealOps(), &platform::ops());
}

}  // namespace
