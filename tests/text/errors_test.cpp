// Failure carriers and the platform-error rule.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "tests/support/platform_override.h"
#include "text/errors.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

struct LastError {
    DWORD code = 0;
};
DWORD WINAPI FakeGetLastError() { return FakeState<LastError>::Current().code; }

struct ErrorCase {
    DWORD lastError;
    HRESULT expected;
};

TEST(HResultFromLastError, FollowsTheWin32Rule)
{
    const ErrorCase cases[] = {
        {0, S_OK},
        {14, static_cast<HRESULT>(0x8007000E)},
        {122, static_cast<HRESULT>(0x8007007A)},
        {0x12345, static_cast<HRESULT>(0x80072345)},  // only the low 16 bits are kept
        {0x80004005, static_cast<HRESULT>(0x80004005)},  // already an HRESULT: unchanged
    };
    FakeState<LastError> lastError;
    ScopedOp<DWORD(WINAPI*)()> op(&platform::Ops::GetLastError, &FakeGetLastError);
    for (const auto& c : cases) {
        lastError->code = c.lastError;
        EXPECT_EQ(c.expected, HResultFromLastError()) << "last error " << c.lastError;
        EXPECT_EQ(c.expected, HResultFromWin32(static_cast<LONG>(c.lastError)));
    }
    EXPECT_EQ(E_OUTOFMEMORY, static_cast<HRESULT>(0x8007000E));
}

TEST(GuardedCall, TurnsEveryExceptionIntoItsHResult)
{
    EXPECT_EQ(S_FALSE, GuardedCall([] { return S_FALSE; }));
    EXPECT_EQ(E_ACCESSDENIED, GuardedCall([]() -> HRESULT { RaiseHResult(E_ACCESSDENIED); }));
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              GuardedCall([]() -> HRESULT { throw CConversionError(DISP_E_TYPEMISMATCH); }));
    EXPECT_EQ(E_OUTOFMEMORY, GuardedCall([]() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(E_UNEXPECTED, GuardedCall([]() -> HRESULT { throw std::runtime_error("x"); }));
    EXPECT_EQ(E_UNEXPECTED, GuardedCall([]() -> HRESULT { throw 42; }));
}

// A platform call failed but left no last error: the carrier still carries a
// failure, so no caller reads the failure as success.
TEST(GuardedCall, CarriedSuccessCodesBecomeFailures)
{
    for (HRESULT carried : {S_OK, S_FALSE}) {
        EXPECT_EQ(E_FAIL, GuardedCall([=]() -> HRESULT { RaiseHResult(carried); })) << carried;
        EXPECT_EQ(E_FAIL, GuardedCall([=]() -> HRESULT { throw CConversionError(carried); })) << carried;
    }
    FakeState<LastError> lastError;
    ScopedOp<DWORD(WINAPI*)()> op(&platform::Ops::GetLastError, &FakeGetLastError);
    EXPECT_EQ(E_FAIL, GuardedCall([]() -> HRESULT { RaiseLastError(); }));
    EXPECT_EQ(E_FAIL, FailureFromLastError());
    lastError->code = 5;
    EXPECT_EQ(E_ACCESSDENIED, FailureFromLastError());
}

}  // namespace
