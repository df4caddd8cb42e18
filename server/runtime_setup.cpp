#include "server/runtime_setup.h"

#include <cstdlib>

#include "platform/exception_records.h"

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

void ReleaseRuntimeForThread() noexcept
{
    exception_records::ReleaseCurrentThread();
}

void ReleaseRuntimeOnUnload() noexcept
{
    exception_records::ReleaseAll();
    __gnu_cxx::__freeres();
}
