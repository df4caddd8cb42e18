#include "server/surrogate.h"

#include <windows.h>

#include "platform/platform.h"
#include "text/ascii.h"

namespace {

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
    const wchar_t* p = SkipAsciiWordNoCase(FirstArgument(pszLine), L"/processid:");
    return p != nullptr && *p != L'\0' && *p != L' ' && *p != L'\t';  // an identifier follows
}
