// The shared narrow string: layout, growth, sharing and failures.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "tests/support/platform_override.h"
#include "text/code_page.h"
#include "text/errors.h"
#include "text/narrow_string.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
LPVOID WINAPI FailHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }
LPVOID WINAPI FailHeapReAlloc(HANDLE, DWORD, LPVOID, SIZE_T) { return nullptr; }
BSTR WINAPI FailSysAllocStringLen(const OLECHAR*, UINT) { return nullptr; }

HRESULT CodeOf(void (*f)())
{
    try {
        f();
    } catch (const CHResultException& e) {
        return e.Code();
    }
    return S_OK;
}

// What the hall's build of the same bitness reads: a 32-bit hall a 16-byte
// header, a 64-bit hall a 24-byte one (8-byte manager, three counts, padding).
struct HeaderLayout {
    size_t manager, length, capacity, refs, size;
};
constexpr HeaderLayout kHallLayout = sizeof(void*) == 4 ? HeaderLayout{0, 4, 8, 12, 16} : HeaderLayout{0, 8, 12, 16, 24};

TEST(StringHeader, LayoutIsWhatTheHallReads)
{
    EXPECT_EQ(kHallLayout.manager, offsetof(CStringHeader, pManager));
    EXPECT_EQ(kHallLayout.length, offsetof(CStringHeader, nLength));
    EXPECT_EQ(kHallLayout.capacity, offsetof(CStringHeader, nCapacity));
    EXPECT_EQ(kHallLayout.refs, offsetof(CStringHeader, nRefs));
    CNarrowString s("abc");
    EXPECT_EQ(reinterpret_cast<const char*>(s.Header()) + kHallLayout.size, s.GetString());
    EXPECT_EQ(&StringManager(), s.Header()->pManager);
    EXPECT_EQ(&StringManager(), StringManager().Clone());
}

TEST(StringManager, NilTextIsSharedAndNeverFreed)
{
    CStringHeader* nil = StringManager().GetNilString();
    const LONG before = nil->nRefs;
    EXPECT_GE(before, 2);
    EXPECT_EQ(&StringManager(), nil->pManager);
    EXPECT_EQ(0, nil->nLength);
    EXPECT_EQ(0, nil->nCapacity);
    EXPECT_EQ('\0', nil->Text()[0]);
    {
        CNarrowString a, b(nullptr), c("");
        EXPECT_EQ(nil->Text(), a.GetString());
        EXPECT_EQ(nil->Text(), b.GetString());
        EXPECT_EQ(nil->Text(), c.GetString());
        EXPECT_EQ(before + 3, nil->nRefs);
    }
    EXPECT_EQ(before, nil->nRefs);
    StringManager().Free(nil);  // ignored
    InterlockedDecrement(&nil->nRefs);
    EXPECT_EQ(before - 1, nil->nRefs);
}

TEST(StringManager, CapacityIsRoundedToEightKMinusOne)
{
    const struct {
        LONG request, capacity;
    } cases[] = {{0, 7}, {1, 7}, {7, 7}, {8, 15}, {15, 15}, {16, 23}, {100, 103}, {1030, 1031}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.capacity, RoundCapacity(c.request)) << c.request;
        CStringHeader* p = StringManager().Allocate(c.request, 1);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(c.capacity, p->nCapacity);
        EXPECT_EQ(1, p->nRefs);
        EXPECT_EQ(0, p->nLength);
        EXPECT_EQ(kHallLayout.size + c.capacity + 1, ProcessHeapAllocator().SizeOf(p));
        StringManager().Free(p);
    }
}

TEST(NarrowString, FormattingEmptyTextIntoNilGivesAnOwnBuffer)
{
    CNarrowString s;
    CStringHeader* nil = s.Header();
    s.SetFormatted("%s", "");
    EXPECT_NE(nil, s.Header());
    EXPECT_EQ(0, s.Header()->nLength);
    EXPECT_EQ(7, s.Header()->nCapacity);
    EXPECT_EQ(1, s.Header()->nRefs);
    EXPECT_STREQ("", s.GetString());
    s.SetFormatted("%02X-%s|%d", 0x0a, "hi", -7);
    EXPECT_STREQ("0A-hi|-7", s.GetString());
    EXPECT_EQ(8, s.GetLength());
    EXPECT_EQ(E_INVALIDARG, CodeOf([] {
                  CNarrowString t("keep");
                  t.SetFormatted(nullptr);
              }));
}

TEST(NarrowString, OwnedBufferGrowsByTheRule)
{
    const struct {
        int start, request, capacity;
    } cases[] = {
        {1023, 1030, 2047}, {2047, 2100, 3071}, {15, 100, 103}, {15, 20, 31}, {7, 7, 7}, {1031, 1040, 2055},
    };
    for (const auto& c : cases) {
        CNarrowString s;
        std::memcpy(s.GetBuffer(c.start), "abc", 3);
        s.ReleaseBuffer(3);
        ASSERT_EQ(c.start, s.Header()->nCapacity);
        char* p = s.GetBuffer(c.request);
        EXPECT_EQ(c.capacity, s.Header()->nCapacity) << c.start << " -> " << c.request;
        EXPECT_EQ(3, s.GetLength());
        EXPECT_EQ(0, std::memcmp(p, "abc", 4));
        std::memset(p, 'z', static_cast<size_t>(c.request));
        s.ReleaseBuffer(c.request);
        EXPECT_EQ(std::string(static_cast<size_t>(c.request), 'z'), s.GetString());
    }
}

TEST(NarrowString, SharedBufferIsCopiedBeforeWrite)
{
    CNarrowString a("first");
    CNarrowString b(a);
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(2, a.Header()->nRefs);

    b.SetFormatted("second %d", 2);
    EXPECT_STREQ("first", a.GetString());
    EXPECT_STREQ("second 2", b.GetString());
    EXPECT_NE(a.Header(), b.Header());
    EXPECT_EQ(1, a.Header()->nRefs);
    EXPECT_EQ(1, b.Header()->nRefs);

    CNarrowString c;
    c = a;
    EXPECT_EQ(2, a.Header()->nRefs);
    c = c;
    EXPECT_EQ(2, a.Header()->nRefs);
    char* p = c.GetBuffer(0);  // the copy keeps the text and its length
    EXPECT_NE(a.GetString(), p);
    EXPECT_STREQ("first", p);
    EXPECT_EQ(5, c.GetLength());
    EXPECT_EQ(1, a.Header()->nRefs);
}

TEST(NarrowString, AllocationFailureKeepsTheOldBuffer)
{
    CNarrowString owned("owned");
    CNarrowString shared("shared");
    CNarrowString other(shared);
    const char* ownedText = owned.GetString();
    const char* sharedText = shared.GetString();
    {
        ScopedOp<HeapAllocFn> a(&platform::Ops::HeapAlloc, &FailHeapAlloc);
        ScopedOp<HeapReAllocFn> r(&platform::Ops::HeapReAlloc, &FailHeapReAlloc);
        for (CNarrowString* s : {&owned, &shared}) {
            try {
                s->SetFormatted("%s", std::string(500, 'x').c_str());
                ADD_FAILURE();
            } catch (const CHResultException& e) {
                EXPECT_EQ(E_OUTOFMEMORY, e.Code());
            }
        }
        try {
            CNarrowString fresh("text");
            ADD_FAILURE();
        } catch (const CHResultException& e) {
            EXPECT_EQ(E_OUTOFMEMORY, e.Code());
        }
    }
    EXPECT_EQ(ownedText, owned.GetString());
    EXPECT_STREQ("owned", owned.GetString());
    EXPECT_EQ(sharedText, shared.GetString());
    EXPECT_STREQ("shared", shared.GetString());
    EXPECT_EQ(2, shared.Header()->nRefs);
}

TEST(MakeBstr, ConvertsExactlyTheText)
{
    const char* texts[] = {"", "00-1A-2B-3C-4D-5E"};
    for (const char* t : texts) {
        CNarrowString s(t);
        BSTR b = MakeBstr(s);
        ASSERT_NE(nullptr, b);
        const std::string narrow(t);
        EXPECT_EQ(narrow.size(), SysStringLen(b));
        EXPECT_EQ(std::wstring(narrow.begin(), narrow.end()), std::wstring(b, SysStringLen(b)));
        SysFreeString(b);
    }
}

// The hall may reach Reallocate through the manager's table with no block.
TEST(StringManager, ReallocatingNoBlockGivesAFullyFormedEmptyText)
{
    CStringHeader* p = StringManager().Reallocate(nullptr, 20, 1);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(&StringManager(), p->pManager);
    EXPECT_EQ(0, p->nLength);
    EXPECT_EQ(23, p->nCapacity);
    EXPECT_EQ(1, p->nRefs);
    EXPECT_EQ('\0', p->Text()[0]);
    StringManager().Free(p);
}

// A conversion that fails gives no BSTR: neither one of unwritten
// characters (the second call) nor an empty one for a text (the first).
TEST(MakeBstr, FailedConversionRaises)
{
    struct Fake {
        int calls = 0;
        int failAt = 0;
    };
    FakeState<Fake> fake;
    ScopedOp<int(WINAPI*)(UINT, DWORD, LPCCH, int, LPWSTR, int)> op(
        &platform::Ops::MultiByteToWideChar, [](UINT cp, DWORD f, LPCCH s, int cb, LPWSTR d, int cch) WINAPI -> int {
            Fake& state = FakeState<Fake>::Current();
            if (++state.calls == state.failAt) {
                ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            return ::MultiByteToWideChar(cp, f, s, cb, d, cch);
        });
    for (const int failAt : {1, 2}) {
        fake->calls = 0;
        fake->failAt = failAt;
        CNarrowString s("02-FC-00-00-00-01");
        try {
            SysFreeString(MakeBstr(s));
            ADD_FAILURE() << "call " << failAt;
        } catch (const CHResultException& e) {
            EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), e.Code()) << "call " << failAt;
        }
    }
}

TEST(MakeBstr, AllocationFailureRaisesOutOfMemory)
{
    ScopedOp<BSTR(WINAPI*)(const OLECHAR*, UINT)> op(&platform::Ops::SysAllocStringLen, &FailSysAllocStringLen);
    for (const char* t : {"", "abc"}) {
        CNarrowString s(t);
        try {
            MakeBstr(s);
            ADD_FAILURE() << t;
        } catch (const CHResultException& e) {
            EXPECT_EQ(E_OUTOFMEMORY, e.Code());
        }
    }
}

}  // namespace
