// The hall bridge: the work behind the five methods of IInvokerK318. The COM
// identity of the bridge object forwards each interface method to the static
// functions of CInvokerK318Methods.
#pragma once

#include <windows.h>
#include <oleauto.h>

#define WM_HALL_REQUEST (WM_USER + 100)
constexpr DWORD HALL_REQUEST_INTERVAL = 1000;

// GetTickCount value of the last accepted hall request; process-wide, 0 at
// load. Plain loads and stores, no lock.
extern DWORD g_dwLastRequestTick;

// Window class and titles of the hall's hidden message windows.
extern const char g_szHallWindowClass[];   // "K318HallMutexClass"
extern const char g_szHallWindowTitle[];   // "K318HallHideWindows"

// ConnStr as NUL-terminated text in the system ANSI code page, up to the
// first NUL character. Null for a null BSTR. Raises CConversionError. The
// buffer comes from the process heap: free it with FreeAnsiText.
char* ConvertBstrToAnsi(BSTR bstr);
void FreeAnsiText(char* psz) noexcept;

// The work behind the five methods of IInvokerK318. Each returns the HRESULT
// it answers; a failure on the way (memory, conversion) is raised as a
// CHResultException or CConversionError, which the interface method that
// calls it, the COM boundary, turns into the HRESULT the exception carries.
struct CInvokerK318Methods {
    static HRESULT LoadExe(ULONG rid, BSTR ConnStr);
    static HRESULT GetMacAddress(BSTR* bstrText);
    static HRESULT GetVer(ULONG* ver) noexcept;  // below: the interface version
    static HRESULT GetSpReadUserID(BSTR* nUserName);
    static HRESULT RunVideo(ULONG userid, ULONG rid, BSTR ConnStr);
};

// Defined here, so that every caller, Invoke's fast path among them, does the
// work in place in either build.
inline HRESULT CInvokerK318Methods::GetVer(ULONG* ver) noexcept
{
    if (!ver)
        return E_POINTER;
    *ver = 1;
    return S_OK;
}

// Resets adapter lana, reads its status and writes its address as
// "XX-XX-XX-XX-XX-XX" into text (1024 bytes). False when the status query fails.
bool QueryAdapterAddress(UCHAR lana, char* text);
