// The move-only owners: each resource is given back exactly once, whichever
// way its owner ends (destroyed, reset, assigned over, moved from), and never
// after Detach.
#include <gtest/gtest.h>

#include <utility>

#include "platform/owners.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

// A COM object that only counts.
class Counted : public IUnknown {
public:
    LONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
};

TEST(ComRef, EachEndingGivesTheReferenceBackOnce)
{
    Counted a, b;
    {
        ComRef<IUnknown> r(&a);
        EXPECT_EQ(r.Get(), &a);
    }
    EXPECT_EQ(a.refs, 0);  // destroyed

    a.refs = b.refs = 1;
    {
        ComRef<IUnknown> r(&a);
        r.Reset(&b);
        EXPECT_EQ(a.refs, 0);  // reset over
        ComRef<IUnknown> moved(std::move(r));
        EXPECT_EQ(r.Get(), nullptr);
        EXPECT_EQ(b.refs, 1);  // a move releases nothing
        ComRef<IUnknown> other(&a);
        a.refs = 1;
        other = std::move(moved);
        EXPECT_EQ(a.refs, 0);  // assigned over
        EXPECT_EQ(b.refs, 1);
    }
    EXPECT_EQ(b.refs, 0);

    a.refs = 1;
    {
        ComRef<IUnknown> r(&a);
        EXPECT_EQ(r.Detach(), &a);
    }
    EXPECT_EQ(a.refs, 1);  // taken out: the caller releases
}

TEST(ComRef, PutReleasesWhatIsHeldBeforeLendingTheSlot)
{
    Counted a, b;
    ComRef<IUnknown> r(&a);
    IUnknown** slot = r.Put();
    EXPECT_EQ(a.refs, 0);
    EXPECT_EQ(*slot, nullptr);
    *slot = &b;
    EXPECT_EQ(r.Get(), &b);
    r.Reset();
    EXPECT_EQ(b.refs, 0);
}

struct FreeCounts {
    int heap = 0;
    int task = 0;
};

BOOL WINAPI CountingHeapFree(HANDLE h, DWORD flags, LPVOID p)
{
    ++FakeState<FreeCounts>::Current().heap;
    return HeapFree(h, flags, p);
}

void WINAPI CountingTaskMemFree(LPVOID p)
{
    ++FakeState<FreeCounts>::Current().task;
    CoTaskMemFree(p);
}

TEST(HeapBlockAndTaskMem, FreedOnceThroughThePlatform)
{
    FakeState<FreeCounts> frees;
    ScopedOp<BOOL(WINAPI*)(HANDLE, DWORD, LPVOID)> heap(&platform::Ops::HeapFree, &CountingHeapFree);
    ScopedOp<void(WINAPI*)(LPVOID)> task(&platform::Ops::CoTaskMemFree, &CountingTaskMemFree);
    {
        HeapBlock<char> block(static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 16)));
        HeapBlock<char> moved(std::move(block));
        HeapBlock<char> empty;
        TaskMem<wchar_t> text(static_cast<wchar_t*>(CoTaskMemAlloc(8)));
        TaskMem<wchar_t> kept(static_cast<wchar_t*>(CoTaskMemAlloc(8)));
        CoTaskMemFree(kept.Detach());
    }
    EXPECT_EQ(frees->heap, 1);  // the moved-from and the empty owner free nothing
    EXPECT_EQ(frees->task, 1);  // the detached block was the caller's
}

TEST(BstrOwner, HandsOverAndTakesOut)
{
    BstrOwner a(SysAllocString(L"text"));
    BstrOwner b(std::move(a));
    EXPECT_EQ(a.Get(), nullptr);
    ASSERT_NE(b.Get(), nullptr);
    EXPECT_STREQ(b.Get(), L"text");
    BSTR out = b.Detach();
    EXPECT_EQ(b.Get(), nullptr);
    SysFreeString(out);
}

}  // namespace
