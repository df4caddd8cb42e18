// LoadExe and RunVideo: one synchronous WM_HALL_REQUEST to a hidden window of
// the hall, at most one accepted request per HALL_REQUEST_INTERVAL.
#include "bridge/invoker.h"

#include "platform/owners.h"
#include "platform/platform.h"
#include "text/errors.h"
#include "text/narrow_string.h"

DWORD g_dwLastRequestTick = 0;

const char g_szHallWindowClass[] = "K318HallMutexClass";
const char g_szHallWindowTitle[] = "K318HallHideWindows";

namespace {

// Owns the converted ConnStr text.
class CAnsiText {
public:
    explicit CAnsiText(BSTR bstr) : m_text(ConvertBstrToAnsi(bstr)) {}
    // A null ConnStr goes to the hall as empty text.
    const char* Text() const noexcept { return m_text ? m_text.Get() : ""; }

private:
    HeapBlock<char> m_text;
};

// Unsigned difference, so a tick that wrapped past 2^32 is still judged right.
// A refused request leaves the last tick alone. Pages on several threads may
// ask at once: the tick a request was judged against is replaced in one
// atomic step, so that of requests judged against the same tick only the
// first is accepted.
bool AcceptRequest()
{
    const DWORD now = platform::ops().GetTickCount();
    auto* last = reinterpret_cast<volatile LONG*>(&g_dwLastRequestTick);
    const LONG seen = *last;
    if (now - static_cast<DWORD>(seen) < HALL_REQUEST_INTERVAL)
        return false;
    return ::InterlockedCompareExchange(last, static_cast<LONG>(now), seen) == seen;
}

// The first hall window with this title that belongs to our own process: the
// message carries addresses that mean nothing elsewhere, so a matching window
// of another process counts as none.
HWND FindHallWindow(const char* pszTitle)
{
    const DWORD dwSelf = ::GetCurrentProcessId();
    HWND hPrev = nullptr;
    for (;;) {
        HWND hWnd = ::FindWindowExA(nullptr, hPrev, g_szHallWindowClass, pszTitle);
        if (!hWnd)
            return nullptr;
        DWORD dwPid = 0;
        platform::ops().GetWindowThreadProcessId(hWnd, &dwPid);
        if (dwPid == dwSelf)
            return hWnd;
        hPrev = hWnd;
    }
}

// The text handed to the hall calls back into this library when the hall lets
// go of it, which may be long after the host has unloaded the library (a
// browser frees idle libraries). From the first request on, the library stays
// loaded until the process ends.
void KeepLibraryLoaded() noexcept
{
    static volatile LONG s_kept = 0;
    if (s_kept)
        return;
    HMODULE hSelf = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(&KeepLibraryLoaded), &hSelf))
        s_kept = 1;
}

void SendHallRequest(HWND hWnd, ULONG rid, const char* pszText)
{
    KeepLibraryLoaded();
    CNarrowString message;
    message.SetFormatted("%s", pszText);
    ::SendMessageA(hWnd, WM_HALL_REQUEST, static_cast<WPARAM>(rid),
                                 reinterpret_cast<LPARAM>(&message));
}

}  // namespace

char* ConvertBstrToAnsi(BSTR bstr)
{
    if (!bstr)
        return nullptr;
    int cch = 0;
    while (bstr[cch] != L'\0')
        ++cch;
    ++cch;  // the terminator

    int cb = platform::ops().WideCharToMultiByte(CP_ACP, 0, bstr, cch, nullptr, 0, nullptr, nullptr);
    if (cb == 0)
        throw CConversionError(HResultFromLastError());
    HeapBlock<char> text(static_cast<char*>(platform::ops().HeapAlloc(::GetProcessHeap(), 0, cb)));
    if (!text)
        throw CConversionError(E_OUTOFMEMORY);
    if (platform::ops().WideCharToMultiByte(CP_ACP, 0, bstr, cch, text.Get(), cb, nullptr, nullptr) == 0)
        throw CConversionError(HResultFromLastError());
    return text.Detach();
}

void FreeAnsiText(char* psz) noexcept
{
    HeapBlock<char> text(psz);
}

HRESULT CInvokerK318Methods::LoadExe(ULONG rid, BSTR ConnStr)
{
    if (!AcceptRequest())
        return S_FALSE;
    CAnsiText text(ConnStr);
    HWND hWnd = FindHallWindow(g_szHallWindowTitle);
    if (hWnd)
        SendHallRequest(hWnd, rid, text.Text());
    return S_OK;
}

HRESULT CInvokerK318Methods::RunVideo(ULONG userid, ULONG rid, BSTR ConnStr)
{
    if (!AcceptRequest())
        return S_FALSE;
    CAnsiText text(ConnStr);
    CNarrowString title;
    title.SetFormatted("K318HallHideWindows%d", static_cast<int>(userid));
    HWND hWnd = FindHallWindow(title);
    if (hWnd)
        SendHallRequest(hWnd, rid, text.Text());
    return S_OK;
}
