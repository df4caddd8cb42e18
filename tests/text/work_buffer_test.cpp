// The fixed-or-heap work buffer: where its room comes from, who frees it, and
// what a move hands over.
#include <gtest/gtest.h>

#include <utility>

#include "tests/support/platform_override.h"
#include "text/work_buffer.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapFreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

// The heap as the buffer sees it: every block it asks for and gives back.
struct HeapLog {
    int allocs = 0;
    int frees = 0;
    SIZE_T lastBytes = 0;
    void* lastFreed = nullptr;
    bool refuse = false;
};

LPVOID WINAPI LoggedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T cb)
{
    HeapLog& log = FakeState<HeapLog>::Current();
    ++log.allocs;
    log.lastBytes = cb;
    return log.refuse ? nullptr : HeapAlloc(heap, flags, cb);
}

BOOL WINAPI LoggedHeapFree(HANDLE heap, DWORD flags, LPVOID p)
{
    HeapLog& log = FakeState<HeapLog>::Current();
    ++log.frees;
    log.lastFreed = p;
    return HeapFree(heap, flags, p);
}

class WorkBufferTest : public ::testing::Test {
protected:
    FakeState<HeapLog> m_log;
    ScopedOp<HeapAllocFn> m_alloc{&platform::Ops::HeapAlloc, &LoggedHeapAlloc};
    ScopedOp<HeapFreeFn> m_free{&platform::Ops::HeapFree, &LoggedHeapFree};
};

using Wide4 = WorkBuffer<wchar_t, 4>;

TEST_F(WorkBufferTest, SmallRequestsStayInsideLargeOnesTakeOneExactBlock)
{
    struct Case {
        SIZE_T n;
        bool onHeap;
    };
    const Case cases[] = {{0, false}, {1, false}, {4, false}, {5, true}, {4096, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        *m_log = HeapLog{};
        {
            Wide4 buf;
            wchar_t* p = buf.Reserve(c.n);
            ASSERT_NE(nullptr, p);
            EXPECT_EQ(p, buf.Get());
            EXPECT_EQ(c.n, buf.Count());
            EXPECT_EQ(c.onHeap, buf.OnHeap());
            for (SIZE_T i = 0; i < c.n; ++i)
                p[i] = static_cast<wchar_t>(i);  // the whole room is writable
            EXPECT_EQ(c.onHeap ? 1 : 0, m_log->allocs);
            EXPECT_EQ(c.onHeap ? c.n * sizeof(wchar_t) : 0, m_log->lastBytes);
            EXPECT_EQ(0, m_log->frees);
        }
        EXPECT_EQ(m_log->allocs, m_log->frees);  // the holder gave back what it took
    }
}

TEST_F(WorkBufferTest, RefusedOrImpossibleRequestsLeaveNoRoom)
{
    Wide4 buf;
    m_log->refuse = true;
    EXPECT_EQ(nullptr, buf.Reserve(5));
    EXPECT_EQ(0u, buf.Count());
    EXPECT_FALSE(buf.OnHeap());
    m_log->refuse = false;
    // A count whose byte size does not fit never reaches the heap.
    EXPECT_EQ(nullptr, buf.Reserve(static_cast<SIZE_T>(-1) / sizeof(wchar_t) + 1));
    EXPECT_EQ(1, m_log->allocs);
    EXPECT_EQ(0, m_log->frees);
}

TEST_F(WorkBufferTest, ReservingAgainGivesBackTheEarlierBlock)
{
    Wide4 buf;
    wchar_t* first = buf.Reserve(10);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, buf.Reserve(2));
    EXPECT_FALSE(buf.OnHeap());
    EXPECT_EQ(1, m_log->frees);
    EXPECT_EQ(first, m_log->lastFreed);
}

TEST_F(WorkBufferTest, MoveHandsTheBlockOverOrCopiesTheFixedElements)
{
    for (SIZE_T n : {SIZE_T(3), SIZE_T(9)}) {
        SCOPED_TRACE(n);
        *m_log = HeapLog{};
        {
            Wide4 from;
            wchar_t* p = from.Reserve(n);
            ASSERT_NE(nullptr, p);
            for (SIZE_T i = 0; i < n; ++i)
                p[i] = static_cast<wchar_t>(L'a' + i);
            Wide4 to(std::move(from));
            EXPECT_EQ(0u, from.Count());
            EXPECT_FALSE(from.OnHeap());
            EXPECT_EQ(n, to.Count());
            EXPECT_EQ(n > 4, to.Get() == p);  // only a heap block keeps its address
            for (SIZE_T i = 0; i < n; ++i)
                EXPECT_EQ(static_cast<wchar_t>(L'a' + i), to.Get()[i]);

            Wide4 third;
            ASSERT_NE(nullptr, third.Reserve(7));
            third = std::move(to);  // third's own block goes back first
            EXPECT_EQ(n, third.Count());
            EXPECT_EQ(1, m_log->frees);
        }
        EXPECT_EQ(m_log->allocs, m_log->frees);
    }
}

}  // namespace
