// The conversion code page and the wide/narrow conversions.
#include "text/code_page.h"

#include <cstdlib>
#include <cwchar>

#include "platform/platform.h"
#include "text/errors.h"

namespace {

// NT 5 and later resolve CP_THREAD_ACP themselves at every conversion.
UINT ThreadAnsiCodePage()
{
    return CP_THREAD_ACP;
}

// Older platforms: the default ANSI code page of the thread's locale, asked
// afresh every time so that a locale change is seen.
UINT ThreadLocaleCodePage()
{
    char szCodePage[7] = {};
    const LCID lcid = platform::ops().GetThreadLocale();
    if (platform::ops().GetLocaleInfoA(lcid, LOCALE_IDEFAULTANSICODEPAGE, szCodePage, 7) == 0 ||
        szCodePage[0] == '\0')
        return platform::ops().GetACP();
    szCodePage[6] = '\0';
    const UINT codePage = static_cast<UINT>(std::strtoul(szCodePage, nullptr, 10));
    return codePage != 0 ? codePage : platform::ops().GetACP();
}

UINT ChooseConversionCodePage()
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    CodePageFunction pfn = &ThreadLocaleCodePage;
    if (platform::ops().GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        info.dwMajorVersion >= 5)
        pfn = &ThreadAnsiCodePage;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_pfnGetConversionCodePage),
                               reinterpret_cast<PVOID>(pfn));
    return pfn();
}

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version query takes a 148-byte record");

}  // namespace

CodePageFunction volatile g_pfnGetConversionCodePage = &ChooseConversionCodePage;

void ResetConversionCodePageChooser()
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_pfnGetConversionCodePage),
                               reinterpret_cast<PVOID>(&ChooseConversionCodePage));
}

char* WideToNarrow(char* pszDest, const wchar_t* pszSource, int cbDest, UINT codePage)
{
    if (!pszDest)
        return nullptr;
    if (cbDest > 0)
        pszDest[0] = '\0';
    if (!pszSource)
        return nullptr;
    if (platform::ops().WideCharToMultiByte(codePage, 0, pszSource, -1, pszDest, cbDest, nullptr,
                                            nullptr) == 0)
        return nullptr;
    return pszDest;
}

wchar_t* NarrowToWide(wchar_t* pszDest, const char* pszSource, int cchDest, UINT codePage)
{
    if (!pszDest)
        return nullptr;
    if (cchDest > 0)
        pszDest[0] = L'\0';
    if (!pszSource)
        return nullptr;
    if (platform::ops().MultiByteToWideChar(codePage, 0, pszSource, -1, pszDest, cchDest) == 0)
        return nullptr;
    return pszDest;
}

CWideToNarrowText::CWideToNarrowText(const wchar_t* pszSource, UINT codePage)
{
    if (!pszSource)
        return;
    // The converter says how many bytes the text takes: up to three per
    // UTF-16 unit where the code page is UTF-8.
    const int cbNeeded =
        platform::ops().WideCharToMultiByte(codePage, 0, pszSource, -1, nullptr, 0, nullptr, nullptr);
    if (cbNeeded <= 0)
        RaiseHResult(FailureFromLastError());
    char* pBuffer = m_buffer.Reserve(static_cast<SIZE_T>(cbNeeded));
    if (!pBuffer)
        RaiseOutOfMemory();
    pBuffer[0] = '\0';
    if (platform::ops().WideCharToMultiByte(codePage, 0, pszSource, -1, pBuffer, cbNeeded, nullptr, nullptr) == 0)
        RaiseHResult(FailureFromLastError());
    m_psz = pBuffer;
}
