#include "server/runtime_setup.h"

#include <windows.h>

#include <cstddef>
#include <exception>

// The library is linked with --wrap=malloc: every malloc of the runtime and of
// the library comes here first, so the set-up can make one of them fail.
extern "C" void* __real_malloc(std::size_t cb);

// The runtime's own release of its emergency pool.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {

volatile LONG g_lFailNextMalloc = 0;

}  // namespace

extern "C" void* __wrap_malloc(std::size_t cb)
{
    if (g_lFailNextMalloc != 0 && InterlockedExchange(&g_lFailNextMalloc, 0) != 0)
        return nullptr;
    return __real_malloc(cb);
}

void PrepareRuntimeForThread() noexcept
{
    // Reading the count of uncaught exceptions builds the thread's record.
    static_cast<void>(std::uncaught_exceptions());
}

void PrepareRuntimeOnLoad() noexcept
{
    PrepareRuntimeForThread();
    // The exception object cannot come from malloc, so it comes from the
    // emergency pool, whose lock is built now.
    InterlockedExchange(&g_lFailNextMalloc, 1);
    try {
        throw 0;
    } catch (...) {
    }
    InterlockedExchange(&g_lFailNextMalloc, 0);
}

void ReleaseRuntimeOnUnload() noexcept
{
    __gnu_cxx::__freeres();
}
