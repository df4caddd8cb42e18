// Choice of the conversion code page and the wide/narrow conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "tests/support/platform_override.h"
#include "text/code_page.h"
#include "text/errors.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

// The platform version and thread locale the chooser is shown, and how often it asks.
struct ChooserPlatform {
    DWORD platformId = 0;
    DWORD major = 0;
    int versionCalls = 0;
    const char* localeAnswer = nullptr;  // null: the query fails
    int localeCalls = 0;
};

BOOL WINAPI FakeGetVersionExA(LPOSVERSIONINFOA p)
{
    ChooserPlatform& fake = FakeState<ChooserPlatform>::Current();
    ++fake.versionCalls;
    if (p->dwOSVersionInfoSize != 148)
        return FALSE;
    p->dwPlatformId = fake.platformId;
    p->dwMajorVersion = fake.major;
    p->dwMinorVersion = 0;
    return TRUE;
}

int WINAPI FakeGetLocaleInfoA(LCID lcid, LCTYPE type, LPSTR buf, int cch)
{
    ChooserPlatform& fake = FakeState<ChooserPlatform>::Current();
    ++fake.localeCalls;
    if (lcid != 0x0404 || type != 0x1004 || cch != 7 || !fake.localeAnswer)
        return 0;
    std::strcpy(buf, fake.localeAnswer);
    return static_cast<int>(std::strlen(fake.localeAnswer)) + 1;
}
LCID WINAPI FakeGetThreadLocale() { return 0x0404; }
UINT WINAPI FakeGetACP() { return 874; }

class ConversionCodePage : public ::testing::Test {
protected:
    void SetUp() override { ResetConversionCodePageChooser(); }
    void TearDown() override
    {
        testing_support::RestoreRealPlatform();
        ResetConversionCodePageChooser();
    }
    FakeState<ChooserPlatform> m_fake;
    ScopedOp<BOOL(WINAPI*)(LPOSVERSIONINFOA)> m_version{&platform::Ops::GetVersionExA, &FakeGetVersionExA};
    ScopedOp<int(WINAPI*)(LCID, LCTYPE, LPSTR, int)> m_locale{&platform::Ops::GetLocaleInfoA, &FakeGetLocaleInfoA};
    ScopedOp<LCID(WINAPI*)()> m_thread{&platform::Ops::GetThreadLocale, &FakeGetThreadLocale};
    ScopedOp<UINT(WINAPI*)()> m_acp{&platform::Ops::GetACP, &FakeGetACP};
};

TEST_F(ConversionCodePage, NtFiveAndLaterUseTheThreadAnsiCodePage)
{
    m_fake->platformId = VER_PLATFORM_WIN32_NT;
    for (DWORD major : {5u, 6u, 10u}) {
        m_fake->major = major;
        m_fake->versionCalls = m_fake->localeCalls = 0;
        ResetConversionCodePageChooser();
        m_fake->localeAnswer = "950";
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(3u, GetConversionCodePage()) << "major " << major;
        EXPECT_EQ(1, m_fake->versionCalls);
        EXPECT_EQ(0, m_fake->localeCalls);
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
        m_fake->platformId = p.id;
        m_fake->major = p.major;
        m_fake->versionCalls = m_fake->localeCalls = 0;
        ResetConversionCodePageChooser();
        m_fake->localeAnswer = "950";
        EXPECT_EQ(950u, GetConversionCodePage());
        m_fake->localeAnswer = "1251";  // the thread's locale changed
        EXPECT_EQ(1251u, GetConversionCodePage());
        EXPECT_EQ(1, m_fake->versionCalls);
        EXPECT_EQ(2, m_fake->localeCalls);
    }
}

TEST_F(ConversionCodePage, UnusableLocaleAnswersFallBackToTheSystemCodePage)
{
    m_fake->platformId = VER_PLATFORM_WIN32_NT;
    m_fake->major = 4;
    const char* answers[] = {"0", "", nullptr};
    for (const char* answer : answers) {
        m_fake->localeAnswer = answer;
        EXPECT_EQ(874u, GetConversionCodePage()) << (answer ? answer : "(failure)");
    }
}

// A folder with a Chinese name where the ANSI code page is UTF-8 (three
// bytes for each of these UTF-16 units): the buffer is sized by the converter.
TEST_F(ConversionCodePage, WideToNarrowTextTakesWhatTheCodePageNeeds)
{
    m_fake->platformId = VER_PLATFORM_WIN32_NT;
    m_fake->major = 4;
    m_fake->localeAnswer = "65001";
    ASSERT_EQ(static_cast<UINT>(CP_UTF8), GetConversionCodePage());
    for (const size_t count : {1u, 30u, 200u}) {  // in the object's own buffer, just past it, on the heap
        std::wstring path = L"C:\\";
        std::string expected = "C:\\";
        for (size_t i = 0; i < count; ++i) {
            path += L"\u623F";
            expected += "\xE6\x88\xBF";
        }
        CWideToNarrowText text(path.c_str(), GetConversionCodePage());
        ASSERT_NE(nullptr, text.Text()) << count;
        EXPECT_EQ(expected, text.Text()) << count;
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

struct HeapAllocCount {
    int allocs = 0;
};
LPVOID WINAPI CountingHeapAlloc(HANDLE h, DWORD f, SIZE_T cb)
{
    ++FakeState<HeapAllocCount>::Current().allocs;
    return platform::RealOps().HeapAlloc(h, f, cb);
}

TEST(WideToNarrowText, SmallTextStaysInsideLargeTextGoesToTheHeap)
{
    FakeState<HeapAllocCount> heap;
    ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> op(&platform::Ops::HeapAlloc, &CountingHeapAlloc);
    struct Case {
        size_t length;
        int heapAllocs;
    };
    // As many bytes as the converter asks for: 127 characters and the NUL fit
    // in 128 bytes, 128 do not.
    for (const Case c : {Case{0, 0}, Case{127, 0}, Case{128, 1}, Case{5000, 1}}) {
        std::wstring source(c.length, L'q');
        heap->allocs = 0;
        {
            CWideToNarrowText text(source.c_str(), CP_ACP);
            ASSERT_NE(nullptr, text.Text());
            EXPECT_EQ(std::string(c.length, 'q'), text.Text());
        }
        EXPECT_EQ(c.heapAllocs, heap->allocs) << "length " << c.length;
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
