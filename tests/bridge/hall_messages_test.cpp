#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/invoker.h"
#include "tests/support/platform_override.h"
#include "text/narrow_string.h"

using testing_support::ScopedOp;

namespace {

DWORD g_fakeTick = 0;
DWORD WINAPI FakeTick() { return g_fakeTick; }

struct Received {
    HWND hWnd;
    WPARAM wParam;
    std::string text;
    CStringHeader header;
};
std::vector<Received> g_received;

LRESULT CALLBACK HallWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_HALL_REQUEST) {
        const char* text = *reinterpret_cast<char**>(lParam);
        Received r{hWnd, wParam, text, *(reinterpret_cast<const CStringHeader*>(text) - 1)};
        g_received.push_back(r);
        return 0;
    }
    return DefWindowProcA(hWnd, msg, wParam, lParam);
}

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
    static void SetUpTestSuite()
    {
        WNDCLASSA wc{};
        wc.lpfnWndProc = HallWndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "K318HallMutexClass";
        RegisterClassA(&wc);
    }

    void SetUp() override
    {
        m_plain = MakeWindow("K318HallHideWindows");
        m_seven = MakeWindow("K318HallHideWindows7");
        m_minusOne = MakeWindow("K318HallHideWindows-1");
        g_received.clear();
        g_dwLastRequestTick = 0;
        g_fakeTick = 100000;
    }

    void TearDown() override
    {
        for (HWND h : {m_plain, m_seven, m_minusOne})
            DestroyWindow(h);
        testing_support::RestoreRealPlatform();
    }

    static HWND MakeWindow(const char* title)
    {
        HWND h = CreateWindowA("K318HallMutexClass", title, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
        EXPECT_NE(h, nullptr);
        return h;
    }

    ScopedOp<DWORD(WINAPI*)()> m_tick{&platform::Ops::GetTickCount, &FakeTick};
};

enum class Call { LoadExe, RunVideo };

HRESULT Request(Call call, BSTR text = nullptr)
{
    return call == Call::LoadExe ? CInvokerK318Methods::LoadExe(1, text)
                                 : CInvokerK318Methods::RunVideo(7, 1, text);
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
            g_received.clear();
            g_dwLastRequestTick = c.last;
            g_fakeTick = c.now;
            EXPECT_EQ(Request(call), c.expected);
            EXPECT_EQ(g_dwLastRequestTick, c.expected == S_OK ? c.now : c.last);
            EXPECT_EQ(g_received.size(), c.expected == S_OK ? 1u : 0u);
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
        g_fakeTick = s.at;
        EXPECT_EQ(Request(s.call), s.expected);
    }
    EXPECT_EQ(g_received.size(), 3u);
    EXPECT_EQ(g_dwLastRequestTick, 102000u);
}

TEST_F(HallMessages, ARequestWithoutWindowStillCounts)
{
    EXPECT_EQ(CInvokerK318Methods::RunVideo(99, 1, nullptr), S_OK);
    EXPECT_TRUE(g_received.empty());
    g_fakeTick += 500;
    EXPECT_EQ(CInvokerK318Methods::LoadExe(1, nullptr), S_FALSE);
    EXPECT_TRUE(g_received.empty());
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
        g_received.clear();
        g_fakeTick += HALL_REQUEST_INTERVAL;
        HRESULT hr = c.call == Call::LoadExe ? CInvokerK318Methods::LoadExe(12, x.b)
                                             : CInvokerK318Methods::RunVideo(c.userid, 12, x.b);
        EXPECT_EQ(hr, S_OK);
        ASSERT_EQ(g_received.size(), 1u);
        EXPECT_EQ(g_received[0].hWnd, this->*c.target);
        EXPECT_EQ(g_received[0].wParam, 12u);
        EXPECT_EQ(g_received[0].text, "x");
    }
    // No numbered window for 0: RunVideo does not fall back to the plain one.
    g_received.clear();
    g_fakeTick += HALL_REQUEST_INTERVAL;
    EXPECT_EQ(CInvokerK318Methods::RunVideo(0, 12, x.b), S_OK);
    EXPECT_TRUE(g_received.empty());
}

TEST_F(HallMessages, LoadExeIgnoresNumberedWindowsWhenThePlainOneIsMissing)
{
    DestroyWindow(m_plain);
    m_plain = nullptr;
    EXPECT_EQ(CInvokerK318Methods::LoadExe(12, nullptr), S_OK);
    EXPECT_TRUE(g_received.empty());
}

TEST_F(HallMessages, WParamCarriesRidUnchanged)
{
    EXPECT_EQ(CInvokerK318Methods::LoadExe(0xFFFFFFFFu, nullptr), S_OK);
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].wParam, 0xFFFFFFFFu);
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
        g_received.clear();
        g_fakeTick += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(CInvokerK318Methods::LoadExe(12, c.text), S_OK);
        ASSERT_EQ(g_received.size(), 1u);
        EXPECT_EQ(g_received[0].text, c.expected);
        EXPECT_EQ(g_received[0].header.nLength, static_cast<LONG>(c.expected.size()));
    }
}

TEST_F(HallMessages, HeaderInFrontOfTheText)
{
    Bstr room(L"room=7");
    EXPECT_EQ(CInvokerK318Methods::LoadExe(12, room.b), S_OK);
    ASSERT_EQ(g_received.size(), 1u);
    const CStringHeader& h = g_received[0].header;
    EXPECT_EQ(h.pManager, &StringManager());
    EXPECT_EQ(h.nLength, 6);
    EXPECT_GE(h.nCapacity, 6);
    EXPECT_EQ(h.nRefs, 1);
}

DWORD g_reportedPid = 0;
HWND g_foreignWindow = nullptr;
DWORD WINAPI ForeignOwner(HWND hWnd, LPDWORD pid)
{
    *pid = (g_foreignWindow == nullptr || hWnd == g_foreignWindow) ? g_reportedPid : ::GetCurrentProcessId();
    return 1;
}

TEST_F(HallMessages, AWindowOfAnotherProcessCountsAsNone)
{
    g_reportedPid = ::GetCurrentProcessId() + 4;
    g_foreignWindow = nullptr;
    ScopedOp<DWORD(WINAPI*)(HWND, LPDWORD)> owner(&platform::Ops::GetWindowThreadProcessId, &ForeignOwner);
    Bstr x(L"x");
    EXPECT_EQ(CInvokerK318Methods::LoadExe(12, x.b), S_OK);
    g_fakeTick += HALL_REQUEST_INTERVAL;
    EXPECT_EQ(CInvokerK318Methods::RunVideo(7, 12, x.b), S_OK);
    EXPECT_TRUE(g_received.empty());
    EXPECT_EQ(g_dwLastRequestTick, g_fakeTick);
}

TEST_F(HallMessages, TheFirstWindowOfOurOwnProcessGetsTheMessage)
{
    HWND second = MakeWindow("K318HallHideWindows");
    // Whichever of the two the platform finds first is reported foreign.
    g_foreignWindow = FindWindowExA(nullptr, nullptr, "K318HallMutexClass", "K318HallHideWindows");
    g_reportedPid = ::GetCurrentProcessId() + 4;
    HWND expected = g_foreignWindow == m_plain ? second : m_plain;
    {
        ScopedOp<DWORD(WINAPI*)(HWND, LPDWORD)> owner(&platform::Ops::GetWindowThreadProcessId, &ForeignOwner);
        EXPECT_EQ(CInvokerK318Methods::LoadExe(12, nullptr), S_OK);
    }
    g_foreignWindow = nullptr;
    DestroyWindow(second);
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].hWnd, expected);
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

DWORD g_conversionError = ERROR_NO_UNICODE_TRANSLATION;
int WINAPI FailingConversion(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)
{
    ::SetLastError(g_conversionError);
    return 0;
}

TEST_F(HallMessages, FailuresBecomeTheCarriedResultAfterTheTickIsSet)
{
    Bstr x(L"x");
    {
        ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> heap(&platform::Ops::HeapAlloc, &FailingHeapAlloc);
        EXPECT_EQ(CInvokerK318Methods::LoadExe(12, x.b), E_OUTOFMEMORY);
        EXPECT_EQ(g_dwLastRequestTick, g_fakeTick);
        g_fakeTick += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(CInvokerK318Methods::RunVideo(7, 12, x.b), E_OUTOFMEMORY);
        EXPECT_EQ(g_dwLastRequestTick, g_fakeTick);
    }
    {
        ScopedOp<int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)> conv(
            &platform::Ops::WideCharToMultiByte, &FailingConversion);
        g_fakeTick += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(CInvokerK318Methods::LoadExe(12, x.b), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(g_dwLastRequestTick, g_fakeTick);
        // A failed conversion that leaves no last error is a failure all the same.
        g_conversionError = 0;
        g_fakeTick += HALL_REQUEST_INTERVAL;
        EXPECT_EQ(CInvokerK318Methods::RunVideo(7, 12, x.b), E_FAIL);
        g_conversionError = ERROR_NO_UNICODE_TRANSLATION;
    }
    EXPECT_TRUE(g_received.empty());
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
        EXPECT_EQ(CInvokerK318Methods::GetVer(&ver), S_OK);
        EXPECT_EQ(ver, 1u);
    }
}

}  // namespace
