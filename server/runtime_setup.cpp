#include "server/runtime_setup.h"

#include <exception>

namespace __gnu_cxx {

// The runtime's own release of its emergency pool.
void __freeres() noexcept;

}  // namespace __gnu_cxx

void PrepareRuntimeForThread() noexcept
{
    // Reading the count of uncaught exceptions builds the thread's record. The
    // runtime declares that read pure, so the count goes to a volatile: left
    // unused, the call would be dropped and the record left unbuilt.
    volatile int nUncaught = std::uncaught_exceptions();
    static_cast<void>(nUncaught);
}

void PrepareRuntimeOnLoad() noexcept
{
    PrepareRuntimeForThread();
}

void ReleaseRuntimeOnUnload() noexcept
{
    __gnu_cxx::__freeres();
}
