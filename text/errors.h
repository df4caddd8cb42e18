// Failure carriers used below the COM boundary, and the one rule that turns a
// platform error code into an HRESULT.
#pragma once

#include <windows.h>

#include "platform/exception_records.h"

// hr when it is a failure code, E_FAIL otherwise: a failed platform call
// whose last error is 0 still reports a failure.
constexpr HRESULT AsFailure(HRESULT hr) noexcept
{
    return hr < 0 ? hr : E_FAIL;
}

// What both failure carriers share: one HRESULT, always a failure code.
class CCarriedHResult {
public:
    HRESULT Code() const noexcept { return m_hr; }

protected:
    explicit CCarriedHResult(HRESULT hr) noexcept : m_hr(AsFailure(hr)) {}

private:
    HRESULT m_hr;
};

// A failure inside an operation.
class CHResultException : public CCarriedHResult {
public:
    explicit CHResultException(HRESULT hr) noexcept : CCarriedHResult(hr) {}
};

// A failed conversion of a script's text argument for the hall messages.
class CConversionError : public CCarriedHResult {
public:
    explicit CConversionError(HRESULT hr) noexcept : CCarriedHResult(hr) {}
};

[[noreturn]] void RaiseHResult(HRESULT hr);
[[noreturn]] void RaiseOutOfMemory();
[[noreturn]] void RaiseLastError();

// HRESULT_FROM_WIN32 of the calling thread's last error: c > 0 gives
// 0x80070000 | (c & 0xFFFF); 0 and negative values pass unchanged.
HRESULT HResultFromLastError();
// HResultFromLastError after a platform call that failed: E_FAIL when the
// last error is 0.
HRESULT FailureFromLastError();
// The same rule for an error code that a platform call returned.
HRESULT HResultFromWin32(LONG code);

// Inside a catch (...) block: the HRESULT that the exception in flight
// carries (E_OUTOFMEMORY for std::bad_alloc, E_UNEXPECTED for anything else).
// Only there: it rethrows the exception being handled, which outside a handler
// ends the process. GuardedCall is its one caller.
HRESULT HResultFromCurrentException() noexcept;

// Clears an entry's out values: every location given that is not null gets
// the empty value of its type (a null pointer or BSTR, the number 0).
template <class... T>
inline void ClearOutValues(T*... pp) noexcept
{
    ((pp != nullptr ? static_cast<void>(*pp = T()) : static_cast<void>(0)), ...);
}

// Runs f, which returns an HRESULT, and turns any exception into the HRESULT
// it carries. Every interface method and exported entry point goes through it,
// so no C++ exception ever crosses the COM boundary.
// outs are the entry's out values. They are cleared before anything else
// runs, so whichever layer fails the call, the barrier included, the caller
// never gets back what the locations held before; f writes them only with
// what it hands out.
// A thread's first call builds its exception record, which a thrown
// exception needs; when memory is short then, that is the call's answer.
template <class F, class... T>
HRESULT GuardedCall(F&& f, T*... outs) noexcept
{
    ClearOutValues(outs...);
    if (!exception_records::CurrentThreadReady() && !exception_records::PrepareCurrentThread())
        return E_OUTOFMEMORY;
    try {
        return f();
    } catch (...) {
        return HResultFromCurrentException();
    }
}
