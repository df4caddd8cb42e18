// Code pages and conversions between wide (UTF-16) and narrow text.
#pragma once

#include <windows.h>

#include "text/work_buffer.h"

// The code page of every conversion of the component except the hall
// messages' text argument. Process-wide pointer: at load it points to a
// one-time chooser, which replaces itself by the chosen function on first use.
using CodePageFunction = UINT (*)();
extern CodePageFunction volatile g_pfnGetConversionCodePage;
inline UINT GetConversionCodePage() { return g_pfnGetConversionCodePage(); }

// Puts the chooser back, so that the next call chooses again (tests only).
void ResetConversionCodePageChooser();

// Convert a whole NUL-terminated source, terminator included. The destination's
// first character is cleared first; null when an argument is null or the
// platform conversion fails, else the destination.
char* WideToNarrow(char* pszDest, const wchar_t* pszSource, int cbDest, UINT codePage);
wchar_t* NarrowToWide(wchar_t* pszDest, const char* pszSource, int cchDest, UINT codePage);

// Narrow copy of a wide text, owned by the object: in a 128-byte buffer inside
// it when that is enough, else on the heap. Raises CHResultException.
class CWideToNarrowText {
public:
    CWideToNarrowText(const wchar_t* pszSource, UINT codePage);
    CWideToNarrowText(const CWideToNarrowText&) = delete;
    CWideToNarrowText& operator=(const CWideToNarrowText&) = delete;

    const char* Text() const noexcept { return m_psz; }  // null for a null source
    operator const char*() const noexcept { return m_psz; }

private:
    WorkBuffer<char, 128> m_buffer;
    char* m_psz = nullptr;
};
