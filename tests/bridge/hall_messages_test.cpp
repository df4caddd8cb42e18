#include <gtest/gtest.h>

#include <cstddef>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/invoker.h"
#include "fake_hall/fake_hall.h"
#include "tests/bridge/barrier_calls.h"
#include "tests/support/platform_override.h"
#include "tests/support/test_thread.h"
#include "text/narrow_string.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

// With waitFor set, each caller waits in the clock until that many have read
// it, so that they all go on to judge the same tick at once.
struct TickState {
    DWORD now = 100000;
    LONG waitFor = 0;
    volatile LONG arrived = 0;
};
DWORD WINAPI FakeTick()
{
    TickState& fake = FakeState<TickState>::Current();
    if (fake.waitFor > 0) {
        InterlockedIncrement(&fake.arrived);
        for (int spins = 0; fake.arrived < fake.waitFor && spins < 1000000; ++spins)
            YieldProcessor();
    }
    return fake.now;
}

// Reports the window's process as another one: only foreignWindow, or every
// window while it is null.
struct OwnerState {
    DWORD reportedPid = 0;
    HWND foreignWindow = nullptr;
};
DWORD WINAPI ForeignOwner(HWND hWnd, LPDWORD pid)
{
    const OwnerState& fake = FakeState<OwnerState>::Current();
    *pid = (fake.foreignWindow == nullptr || hWnd == fake.foreignWindow) ? fake.reportedPid : ::GetCurrentProcessId();
    return 1;
}

struct ConversionState {
    DWORD error = ERROR_NO_UNICODE_TRANSLATION;
};
int WINAPI FailingConversion(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)
{
    ::SetLastError(FakeState<ConversionState>::Current().error);
    return 0;
}

static_assert(sizeof(fake_hall::Header) == sizeof(CStringHeader), "the hall reads the header we write");
static_assert(offsetof(TarnwickTextHeader, length) == offsetof(CStringHeader, nLength) &&
                  offsetof(TarnwickTextHeader, capacity) == offsetof(CStringHeader, nCapacity) &&
                  offsetof(TarnwickTextHeader, refs) == offsetof(CStringHeader, nRefs),
              "the hall kit reads the counts where we write them");
static_assert(WM_HALL_REQUEST == fake_hall::kRequestMessage, "the hall listens for the message we send");

struct Bstr {
    BSTR b;
    explicit Bstr(const wchar_t* s) : b(SysAllocString(s)) {}
    Bstr(const wchar_t* s, UINT n) : b(SysAllocStringLen(s, n)) {}
    ~Bstr() { SysFreeString(b); }
};

class HallMessages : public ::testing::Test {
public:
    HWND m_plain{}, m_seven{}, m_minusOne{};

protected:
    void SetUp() override
    {
        m_plain = MakeWindow("K318HallHideWindows");
        m_seven = MakeWindow("K318HallHideWindows7");
        m_minusOne = MakeWindow("K318HallHideWindows-1");
        g_dwLastRequestTick = 0;
    }

    void TearDown() override { testing_support::RestoreRealPlatform(); }

    HWND MakeWindow(const char* title)
    {
        HWND h = m_hall.Open(title);
        EXPECT_NE(h, nullptr);
        return h;
    }
    const std::vector<fake_hall::Request>& Received() const { return m_hall.Received(); }

    fake_hall::Hall m_hall;  // its windows go with the test
    FakeState<TickState> m_tick;
    FakeState<OwnerState> m_owner;
    FakeState<ConversionState> m_conversion;
    ScopedOp<DWORD(WINAPI*)()> m_tickOp{&platform::Ops::GetTickCount, &FakeTick};
};

enum class Call { LoadExe, RunVideo };

HRESULT Request(Call call, BSTR text = nullptr)
{
    return call == Call::LoadExe ? Methods::LoadExe(1, text)
                                 : Methods::RunVideo(7, 1, text);
}

TEST_F(HallMessages, RateLimitJudgesTheUnsignedDifference)
{
    struct Case {
        const char* name;
        DWORD last, now;
        HRESULT expected;
    } cases[] = {
        {"999 ms after", 5000, 5999, S_FALSE},
        {"1000 ms after", 5000, 6000, S_OK},
        {"long after", 5000, 900000, S_OK},
        {"same tick", 5000, 5000, S_FALSE},
        {"wrapped, 768 ms after", 0xFFFFFE00u, 0x100, S_FALSE},
        {"wrapped, 1280 ms after", 0xFFFFFE00u, 0x300, S_OK},
        {"at load, tick 500", 0, 500, S_FALSE},
        {"at load, tick 999", 0, 999, S_FALSE},
        {"at load, tick 1000", 0, 1000, S_OK},
    };
    for (Call call : {Call::LoadExe, Call::RunVideo}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            m_hall.Clear();
            g_dwLastRequestTick = c.last;
            m_tick->now = c.now;
            EXPECT_EQ(Request(call), c.expected);
            EXPECT_EQ(g_dwLastRequestTick, c.expected == S_OK ? c.now : c.last);
            EXPECT_EQ(Received().size(), c.expected == S_OK ? 1u : 0u);
        }
    }
}

TEST_F(HallMessages, RefusedCallsDoNotMoveTheTickAndTheTickIsShared)
{
    struct Step {
        DWORD at;
        Call call;
        HRESULT expected;
    } steps[] = {
        {100000, Call::LoadExe, S_OK},     {100500, Call::RunVideo, S_FALSE},
        {100900, Call::LoadExe, S_FALSE},  {101000, Call::RunVideo, S_OK},
        {101999, Call::LoadExe, S_FALSE},  {102000, Call::LoadExe, S_OK},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at);
        m_tick->now = s.at;
        EXPECT_EQ(Request(s.call), s.expected);
    }
    EXPECT_EQ(Received().size(), 3u);
    EXPECT_EQ(g_dwLastRequestTick, 102000u);
}

TEST_F(HallMessages, OfRequestsRacingAtOneTickExactlyOneIsAccepted)
{
    constexpr LONG kThreads = 8;
    m_tick->waitFor = kThreads;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        g_dwLastRequestTick = 0;
        m_tick->arrived = 0;
        m_tick->now = 200000 + round;
        volatile LONG accepted = 0, refused = 0;
        std::vector<testing_support::TestThread> threads;
        for (LONG i = 0; i < kThreads; ++i)
            threads.emplace_back([&] {
                // No window of this title: nothing is sent to the test's own.
                const HRESULT hr = Methods::RunVideo(99, 1, nullptr);
                InterlockedIncrement(hr == S_OK ? &accepted : &refused);
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(accepted, 1);
        EXPECT_EQ(refused, kThreads - 1);
    }
}

TEST_F(HallMessages, ARequestWithoutWindowStillCounts)
{
    EXPECT_EQ(Methods::RunVideo(99, 1, nullptr), S_OK);
    EXPECT_TRUE(Received().empty());
    m_tick->now += 500;
    EXPECT_EQ(Methods::LoadExe(1, nullptr), S_FALSE);
    EXPECT_TRUE(Received().empty());
}

TEST_F(HallMessages, EachMethodReachesOnlyItsOwnWindow)
{
    struct Case {
        const char* name;
        Call call;
        ULONG userid;
        HWND HallMessages::*target;
    } cases[] = {
        {"LoadExe", Call::LoadExe, 0, &HallMessages::m_plain},
        {"RunVideo 7", Call::RunVideo, 7, &HallMessages::m_seven},
        {"RunVideo 4294967295", Call::RunVideo, 4294967295u, &HallMessages::m_minusOne},
    };
    Bstr x(L"x");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_hall.Clear();
        m_tick->now += HALL_REQUEST_INTERVAL;
        HRESULT hr = c.call == Call::LoadExe ? Methods::LoadExe(12, x.b)
                                             : Methods::RunVideo(c.userid, 12, x.b);
        EXPECT_EQ(hr, S_OK);
        ASSERT_EQ(Received().size(), 1u);
        EXPECT_EQ(Received()[0].hWnd, this->*c.target);
        EXPECT_EQ(Received()[0].rid, 12u);
        EXPECT_EQ(Received()[0].text, "x");
    }
    // No numbered window for 0: RunVideo does not fall back to the plain one.
    m_hall.Clear();
    m_tick->now += HALL_REQUEST_INTERVAL;
    EXPECT_EQ(Methods::RunVideo(0, 12, x.b), S_OK);
    EXPECT_TRUE(Received().empty());
}

TEST_F(HallMessages, LoadExeIgnoresNumberedWindowsWhenThePlainOneIsMissing)
{
    m_hall.Close(m_plain);
    m_plain = nullptr;
    EXPECT_EQ(Methods::LoadExe(12, nullptr), S_OK);
    EXPECT_TRUE(Received().empty());
}

TEST_F(HallMessages, WParamCarriesRidUnchanged)
{
    EXPECT_EQ(Methods::LoadExe(0xFFFFFFFFu, nullptr), S_OK);
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Received()[0].rid, 0xFFFFFFFFu);
}

TEST_F(HallMessages, TextAsTheHallReceivesIt)
{
    struct Case {
        const char* name;
        BSTR text;
        std::string expected;
    };
    Bstr room(L"room=7"), empty(L""), embedded(L"ab\0cd", 5);
    Case cases[] = {
        {"plain", room.b, "room=7"},
        {"empty", empty.b, ""},
        {"embedded NUL", embedded.b, "ab"},
        {"null", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_hall.Clear();
        m_tick->now += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(Methods::LoadExe(12, c.text), S_OK);
        ASSERT_EQ(Received().size(), 1u);
        EXPECT_EQ(Received()[0].text, c.expected);
        EXPECT_EQ(Received()[0].header.length, static_cast<LONG>(c.expected.size()));
    }
}

// Double-byte text in code page 936, a trail byte 0x5C ("\\") among it,
// reaches the hall byte for byte. The conversion's system code page is made
// 936 whatever this machine's is.
int WINAPI ConvertAs936(UINT cp, DWORD flags, LPCWCH w, int cw, LPSTR s, int cb, LPCCH def, LPBOOL used)
{
    return ::WideCharToMultiByte(cp == CP_ACP ? 936 : cp, flags, w, cw, s, cb, def, used);
}

TEST_F(HallMessages, DoubleByteTextReachesTheHallAsItsBytes)
{
    ScopedOp<int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)> conv(
        &platform::Ops::WideCharToMultiByte, &ConvertAs936);
    Bstr text(L"\u623f\u95f4=\u4e57\\7");  // 房间=乗\7
    const std::string expected = "\xB7\xBF\xBC\xE4=\x81\x5C\\7";
    for (Call call : {Call::LoadExe, Call::RunVideo}) {
        m_hall.Clear();
        m_tick->now += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(Request(call, text.b), S_OK);
        ASSERT_EQ(Received().size(), 1u);
        EXPECT_EQ(Received()[0].text, expected);
        EXPECT_EQ(Received()[0].header.length, static_cast<LONG>(expected.size()));
    }
}

// The string manager as a hall built by another compiler reaches it: the five
// slots of its table, called with the manager as `this` (thiscall on 32-bit).
#if defined(__i386__)
#define HALL_THISCALL __attribute__((thiscall))
#else
#define HALL_THISCALL
#endif
struct HallManagerTable {
    CStringHeader*(HALL_THISCALL* Allocate)(void* self, int nChars, int nCharSize);
    void(HALL_THISCALL* Free)(void* self, CStringHeader* pData);
    CStringHeader*(HALL_THISCALL* Reallocate)(void* self, CStringHeader* pData, int nChars, int nCharSize);
    CStringHeader*(HALL_THISCALL* GetNilString)(void* self);
    void*(HALL_THISCALL* Clone)(void* self);
};

TEST_F(HallMessages, TheHallKeepsGrowsAndReleasesTextThroughTheManagersTable)
{
    // The hall keeps a reference to the text it receives, as a hall that
    // queues the request does.
    std::vector<CStringHeader*> kept;
    m_hall.onRequest = [&](const fake_hall::Request&, fake_hall::Header* pLive) {
        InterlockedIncrement(&pLive->refs);
        kept.push_back(reinterpret_cast<CStringHeader*>(pLive));
    };
    Bstr room(L"room=7");
    EXPECT_EQ(Methods::LoadExe(12, room.b), S_OK);
    ASSERT_EQ(kept.size(), 1u);
    CStringHeader* pData = kept[0];
    EXPECT_EQ(pData->nRefs, 1);  // the sender has let go; the hall's reference holds it
    EXPECT_STREQ(pData->Text(), "room=7");

    void* pManager = pData->pManager;
    const HallManagerTable& t = **reinterpret_cast<HallManagerTable**>(pManager);
    EXPECT_EQ(t.Clone(pManager), pManager);
    CStringHeader* pNil = t.GetNilString(pManager);
    ASSERT_NE(pNil, nullptr);
    EXPECT_EQ(pNil->nLength, 0);
    EXPECT_EQ(pNil->Text()[0], '\0');

    // The hall's own copy, then grown well past its capacity and appended to.
    CStringHeader* pCopy = t.Allocate(pManager, pData->nLength, 1);
    ASSERT_NE(pCopy, nullptr);
    EXPECT_EQ(pCopy->nRefs, 1);
    memcpy(pCopy->Text(), pData->Text(), static_cast<size_t>(pData->nLength) + 1);
    pCopy->nLength = pData->nLength;
    pCopy = t.Reallocate(pManager, pCopy, 3000, 1);
    ASSERT_NE(pCopy, nullptr);
    EXPECT_GE(pCopy->nCapacity, 3000);
    EXPECT_STREQ(pCopy->Text(), "room=7");
    memcpy(pCopy->Text() + 6, "&seat=2", 8);
    pCopy->nLength = 13;
    EXPECT_STREQ(pCopy->Text(), "room=7&seat=2");
    t.Free(pManager, pCopy);

    // The last reference goes back through the table.
    if (InterlockedDecrement(&pData->nRefs) <= 0)
        t.Free(pManager, pData);
}

TEST_F(HallMessages, HeaderInFrontOfTheText)
{
    Bstr room(L"room=7");
    EXPECT_EQ(Methods::LoadExe(12, room.b), S_OK);
    ASSERT_EQ(Received().size(), 1u);
    const fake_hall::Header& h = Received()[0].header;
    EXPECT_EQ(h.manager, reinterpret_cast<UINT_PTR>(&StringManager()));
    EXPECT_EQ(h.length, 6);
    EXPECT_GE(h.capacity, 6);
    EXPECT_EQ(h.refs, 1);
}

TEST_F(HallMessages, AWindowOfAnotherProcessCountsAsNone)
{
    m_owner->reportedPid = ::GetCurrentProcessId() + 4;
    ScopedOp<DWORD(WINAPI*)(HWND, LPDWORD)> owner(&platform::Ops::GetWindowThreadProcessId, &ForeignOwner);
    Bstr x(L"x");
    EXPECT_EQ(Methods::LoadExe(12, x.b), S_OK);
    m_tick->now += HALL_REQUEST_INTERVAL;
    EXPECT_EQ(Methods::RunVideo(7, 12, x.b), S_OK);
    EXPECT_TRUE(Received().empty());
    EXPECT_EQ(g_dwLastRequestTick, m_tick->now);
}

TEST_F(HallMessages, TheFirstWindowOfOurOwnProcessGetsTheMessage)
{
    HWND second = MakeWindow("K318HallHideWindows");
    // Whichever of the two the platform finds first is reported foreign.
    m_owner->foreignWindow = FindWindowExA(nullptr, nullptr, "K318HallMutexClass", "K318HallHideWindows");
    m_owner->reportedPid = ::GetCurrentProcessId() + 4;
    HWND expected = m_owner->foreignWindow == m_plain ? second : m_plain;
    {
        ScopedOp<DWORD(WINAPI*)(HWND, LPDWORD)> owner(&platform::Ops::GetWindowThreadProcessId, &ForeignOwner);
        EXPECT_EQ(Methods::LoadExe(12, nullptr), S_OK);
    }
    m_hall.Close(second);
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Received()[0].hWnd, expected);
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

TEST_F(HallMessages, FailuresBecomeTheCarriedResultAfterTheTickIsSet)
{
    Bstr x(L"x");
    {
        ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> heap(&platform::Ops::HeapAlloc, &FailingHeapAlloc);
        EXPECT_EQ(Methods::LoadExe(12, x.b), E_OUTOFMEMORY);
        EXPECT_EQ(g_dwLastRequestTick, m_tick->now);
        m_tick->now += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(Methods::RunVideo(7, 12, x.b), E_OUTOFMEMORY);
        EXPECT_EQ(g_dwLastRequestTick, m_tick->now);
    }
    {
        ScopedOp<int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)> conv(
            &platform::Ops::WideCharToMultiByte, &FailingConversion);
        m_tick->now += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(Methods::LoadExe(12, x.b), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(g_dwLastRequestTick, m_tick->now);
        // A failed conversion that leaves no last error is a failure all the same.
        m_conversion->error = 0;
        m_tick->now += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(Methods::RunVideo(7, 12, x.b), E_FAIL);
    }
    EXPECT_TRUE(Received().empty());
}

TEST(ConvertBstrToAnsi, ConvertsUpToTheFirstNul)
{
    EXPECT_EQ(ConvertBstrToAnsi(nullptr), nullptr);
    Bstr embedded(L"ab\0cd", 5);
    char* text = ConvertBstrToAnsi(embedded.b);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "ab");
    FreeAnsiText(text);
}

TEST(GetVer, AlwaysOne)
{
    for (int i = 0; i < 2; ++i) {
        ULONG ver = 0;
        EXPECT_EQ(Methods::GetVer(&ver), S_OK);
        EXPECT_EQ(ver, 1u);
    }
}

}  // namespace
