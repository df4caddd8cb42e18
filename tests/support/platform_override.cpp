#include "tests/support/platform_override.h"

namespace testing_support {

namespace {

platform::Ops g_testOps;
int g_cOverrides = 0;

}  // namespace

platform::Ops& BeginOverride()
{
    if (g_cOverrides++ == 0) {
        g_testOps = platform::RealOps();
        platform::UseOps(&g_testOps);
    }
    return g_testOps;
}

void EndOverride()
{
    if (g_cOverrides > 0 && --g_cOverrides == 0)
        platform::UseOps(nullptr);
}

void RestoreRealPlatform()
{
    g_cOverrides = 0;
    platform::UseOps(nullptr);
}

}  // namespace testing_support
