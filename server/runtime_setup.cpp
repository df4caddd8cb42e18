#include "server/runtime_setup.h"

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

// The runtime's own release of its emergency pool.
void __freeres() noexcept;

// Replaces the runtime's default handler for std::terminate, which writes the
// pending exception's type name to stderr and so brings the runtime's whole
// name demangler into the library (some 46 KB). A library has no console to
// write to; the process ends the same way, by abort().
void __verbose_terminate_handler()
{
    std::abort();
}

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
