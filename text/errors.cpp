// Failure carriers and the platform-error rule.
#include "text/errors.h"

#include <new>

#include "platform/platform.h"

void RaiseHResult(HRESULT hr)
{
    throw CHResultException(hr);
}

void RaiseOutOfMemory()
{
    RaiseHResult(E_OUTOFMEMORY);
}

void RaiseLastError()
{
    RaiseHResult(HResultFromLastError());
}

HRESULT HResultFromWin32(LONG code)
{
    if (code > 0)
        return static_cast<HRESULT>(0x80070000UL | (static_cast<ULONG>(code) & 0xFFFFUL));
    return static_cast<HRESULT>(code);
}

HRESULT HResultFromLastError()
{
    return HResultFromWin32(static_cast<LONG>(platform::ops().GetLastError()));
}

HRESULT FailureFromLastError()
{
    return AsFailure(HResultFromLastError());
}

HRESULT HResultFromCurrentException() noexcept
{
    try {
        throw;
    } catch (const CCarriedHResult& e) {
        return e.Code();  // a carrier holds a failure code by construction
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
