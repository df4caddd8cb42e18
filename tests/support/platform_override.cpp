#include "tests/support/platform_override.h"

namespace testing_support {

void RestoreRealPlatform()
{
    platform::g_ops = platform::RealOps();
}

}  // namespace testing_support
