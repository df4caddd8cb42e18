#include "server/surrogate.h"

#include <windows.h>

#include "platform/platform.h"

namespace {

wchar_t FoldAscii(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// The command line past the program's name (quoted or not) and the blanks
// after it, as the platform's own argument splitting finds the first
// argument.
const wchar_t* FirstArgument(const wchar_t* p)
{
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"')
            ++p;
        if (*p == L'"')
            ++p;
    } else {
        while (*p != L'\0' && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

}  // namespace

bool RunsAsComSurrogate() noexcept
{
    const wchar_t* pszLine = platform::ops().GetCommandLineW();
    if (pszLine == nullptr)
        return false;
    static constexpr wchar_t kSwitch[] = L"/processid:";
    const wchar_t* p = FirstArgument(pszLine);
    for (const wchar_t* q = kSwitch; *q != L'\0'; ++q, ++p) {
        if (FoldAscii(*p) != *q)
            return false;
    }
    return *p != L'\0' && *p != L' ' && *p != L'\t';  // an identifier follows
}
