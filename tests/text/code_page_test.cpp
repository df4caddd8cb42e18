// Choice of the conversion code page and the wide/narrow conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "tests/support/platform_override.h"
#include "text/code_page.h"
#include "text/errors.h"

using testing_support::ScopedOp;

namespace {

DWORD g_platformId;
DWORD g_major;
int g_versionCalls;
BOOL WINAPI FakeGetVersionExA(LPOSVERSIONINFOA p)
{
    ++g_versionCalls;
    if (p->dwOSVersionInfoSize != 148)
        return FALSE;
    p->dwPlatformId = g_platformId;
    p->dwMajorVersion = g_major;
    p->dwMinorVersion = 0;
    return TRUE;
}

const char* g_localeAnswer;  // null: the query fails
int g_localeCalls;
int WINAPI FakeGetLocaleInfoA(LCID lcid, LCTYPE type, LPSTR buf, int cch)
{
    ++g_localeCalls;
    if (lcid != 0x0404 || type != 0x1004 || cch != 7 || !g_localeAnswer)
        return 0;
    std::strcpy(buf, g_localeAnswer);
    return static_cast<int>(std::strlen(g_localeAnswer)) + 1;
}
LCID WINAPI FakeGetThreadLocale() { return 0x0404; }
UINT WINAPI FakeGetACP() { return 874; }

class ConversionCodePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_versionCalls = g_localeCalls = 0;
        ResetConversionCodePageChooser();
    }
    void TearDown() override
    {
        testing_support::RestoreRealPlatform();
        ResetConversionCodePageChooser();
    }
    ScopedOp<BOOL(WINAPI*)(LPOSVERSIONINFOA)> m_version{&platform::Ops::GetVersionExA, &FakeGetVersionExA};
    ScopedOp<int(WINAPI*)(LCID, LCTYPE, LPSTR, int)> m_locale{&platform::Ops::GetLocaleInfoA, &FakeGetLocaleInfoA};
    ScopedOp<LCID(WINAPI*)()> m_thread{&platform::Ops::GetThreadLocale, &FakeGetThreadLocale};
    ScopedOp<UINT(WINAPI*)()> m_acp{&platform::Ops::GetACP, &FakeGetACP};
};

TEST_F(ConversionCodePage, NtFiveAndLaterUseTheThreadAnsiCodePage)
{
    g_platformId = VER_PLATFORM_WIN32_NT;
    for (DWORD major : {5u, 6u, 10u}) {
        g_major = major;
        g_versionCalls = g_localeCalls = 0;
        ResetConversionCodePageChooser();
        g_localeAnswer = "950";
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(3u, GetConversionCodePage()) << "major " << major;
        EXPECT_EQ(1, g_versionCalls);
        EXPECT_EQ(0, g_localeCalls);
    }
}

TEST_F(ConversionCodePage, OlderPlatformsAskTheThreadLocaleAtEveryCall)
{
    struct Platform {
        DWORD id;
        DWORD major;
    };
    for (const Platform p : {Platform{VER_PLATFORM_WIN32_NT, 4}, Platform{VER_PLATFORM_WIN32_WINDOWS, 4},
                             Platform{VER_PLATFORM_WIN32_WINDOWS, 5}}) {
        g_platformId = p.id;
        g_major = p.major;
        g_versionCalls = g_localeCalls = 0;
        ResetConversionCodePageChooser();
        g_localeAnswer = "950";
        EXPECT_EQ(950u, GetConversionCodePage());
        g_localeAnswer = "1251";  // the thread's locale changed
        EXPECT_EQ(1251u, GetConversionCodePage());
        EXPECT_EQ(1, g_versionCalls);
        EXPECT_EQ(2, g_localeCalls);
    }
}

TEST_F(ConversionCodePage, UnusableLocaleAnswersFallBackToTheSystemCodePage)
{
    g_platformId = VER_PLATFORM_WIN32_NT;
    g_major = 4;
    const char* answers[] = {"0", "", nullptr};
    for (const char* answer : answers) {
        g_localeAnswer = answer;
        EXPECT_EQ(874u, GetConversionCodePage()) << (answer ? answer : "(failure)");
    }
}

TEST(Conversions, NullArgumentsGiveNull)
{
    char narrow[8] = "x";
    wchar_t wide[8] = L"x";
    EXPECT_EQ(nullptr, WideToNarrow(nullptr, L"a", 8, CP_ACP));
    EXPECT_EQ(nullptr, WideToNarrow(narrow, nullptr, 8, CP_ACP));
    EXPECT_EQ('\0', narrow[0]);
    EXPECT_EQ(nullptr, NarrowToWide(nullptr, "a", 8, CP_ACP));
    EXPECT_EQ(nullptr, NarrowToWide(wide, nullptr, 8, CP_ACP));
    EXPECT_EQ(L'\0', wide[0]);
}

int g_heapAllocs;
LPVOID WINAPI CountingHeapAlloc(HANDLE h, DWORD f, SIZE_T cb)
{
    ++g_heapAllocs;
    return platform::RealOps().HeapAlloc(h, f, cb);
}

TEST(WideToNarrowText, SmallTextStaysInsideLargeTextGoesToTheHeap)
{
    ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> op(&platform::Ops::HeapAlloc, &CountingHeapAlloc);
    struct Case {
        size_t length;
        int heapAllocs;
    };
    // (length + 1) * 2 bytes: 63 characters fit in 128 bytes, 64 do not.
    for (const Case c : {Case{0, 0}, Case{63, 0}, Case{64, 1}, Case{5000, 1}}) {
        std::wstring source(c.length, L'q');
        g_heapAllocs = 0;
        {
            CWideToNarrowText text(source.c_str(), CP_ACP);
            ASSERT_NE(nullptr, text.Text());
            EXPECT_EQ(std::string(c.length, 'q'), text.Text());
        }
        EXPECT_EQ(c.heapAllocs, g_heapAllocs) << "length " << c.length;
    }
    CWideToNarrowText none(nullptr, CP_ACP);
    EXPECT_EQ(nullptr, none.Text());
}

TEST(WideToNarrowText, FailuresRaise)
{
    {
        ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> op(
            &platform::Ops::HeapAlloc, [](HANDLE, DWORD, SIZE_T) WINAPI -> LPVOID { return nullptr; });
        std::wstring source(200, L'q');
        try {
            CWideToNarrowText text(source.c_str(), CP_ACP);
            FAIL();
        } catch (const CHResultException& e) {
            EXPECT_EQ(E_OUTOFMEMORY, e.Code());
        }
    }
    ScopedOp<int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL)> fail(
        &platform::Ops::WideCharToMultiByte,
        [](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) WINAPI -> int { return 0; });
    ScopedOp<DWORD(WINAPI*)()> err(&platform::Ops::GetLastError, []() WINAPI -> DWORD { return 1113; });
    try {
        CWideToNarrowText text(L"abc", CP_ACP);
        FAIL();
    } catch (const CHResultException& e) {
        EXPECT_EQ(static_cast<HRESULT>(0x80070459), e.Code());
    }
}

}  // namespace
