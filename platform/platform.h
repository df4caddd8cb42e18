// The platform seam: the platform operations that tests drive (the tick
// clock, the hall window's owner, NetBIOS, the platform version, the ANSI code
// page and locale, allocation and conversion failures, the process's command
// line, the registry writes and deletions, the redirection of
// HKEY_CLASSES_ROOT, the type library calls) are called through one table, so
// that a test program can put its own function in a single slot and leave the
// rest on the real platform. Every other platform function is called
// directly.
//
// The shipped library calls through the real table, which is filled once as
// the library loads and never written again; it is not exported. Only a test
// program puts another table in place, with UseOps.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <nb30.h>
#include <shellapi.h>

// oleaut32 exports these (Windows Vista and later); the toolchain's headers do
// not declare them.
extern "C" {
DECLSPEC_IMPORT HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
DECLSPEC_IMPORT HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum,
                                                        LCID lcid, SYSKIND syskind);
}

namespace platform {

struct Ops {
    // Kernel
    DWORD(WINAPI* GetTickCount)();
    DWORD(WINAPI* GetLastError)();
    void(WINAPI* OutputDebugStringA)(LPCSTR);
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE, LPSTR, DWORD);
    BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA);
    LCID(WINAPI* GetThreadLocale)();
    int(WINAPI* GetLocaleInfoA)(LCID, LCTYPE, LPSTR, int);
    UINT(WINAPI* GetACP)();
    int(WINAPI* WideCharToMultiByte)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
    int(WINAPI* MultiByteToWideChar)(UINT, DWORD, LPCCH, int, LPWSTR, int);
    BOOL(WINAPI* InitializeCriticalSectionAndSpinCount)(LPCRITICAL_SECTION, DWORD);
    LPVOID(WINAPI* HeapAlloc)(HANDLE, DWORD, SIZE_T);
    LPVOID(WINAPI* HeapReAlloc)(HANDLE, DWORD, LPVOID, SIZE_T);
    BOOL(WINAPI* HeapFree)(HANDLE, DWORD, LPVOID);
    DWORD(WINAPI* GetPrivateProfileStringA)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR);
    LPWSTR(WINAPI* GetCommandLineW)();

    // Windows
    DWORD(WINAPI* GetWindowThreadProcessId)(HWND, LPDWORD);

    // NetBIOS
    UCHAR(WINAPI* Netbios)(PNCB);

    // Registry
    LONG(WINAPI* RegCreateKeyExA)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    LONG(WINAPI* RegDeleteKeyA)(HKEY, LPCSTR);
    LONG(WINAPI* RegDeleteKeyW)(HKEY, LPCWSTR);
    LONG(WINAPI* RegCloseKey)(HKEY);
    LONG(WINAPI* RegOverridePredefKey)(HKEY, HKEY);

    // COM and OLE Automation
    BSTR(WINAPI* SysAllocString)(const OLECHAR*);
    BSTR(WINAPI* SysAllocStringLen)(const OLECHAR*, UINT);
    HRESULT(WINAPI* VariantChangeType)(VARIANTARG*, VARIANTARG*, USHORT, VARTYPE);
    HRESULT(WINAPI* LoadTypeLib)(LPCOLESTR, ITypeLib**);
    HRESULT(WINAPI* RegisterTypeLib)(ITypeLib*, OLECHAR*, OLECHAR*);
    HRESULT(WINAPI* UnRegisterTypeLib)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HRESULT(WINAPI* RegisterTypeLibForUser)(ITypeLib*, OLECHAR*, OLECHAR*);
    HRESULT(WINAPI* UnRegisterTypeLibForUser)(REFGUID, WORD, WORD, LCID, SYSKIND);
    void(WINAPI* CoTaskMemFree)(LPVOID);
    HRESULT(WINAPI* CoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

    // Shell
    DWORD_PTR(WINAPI* SHGetFileInfoA)(LPCSTR, DWORD, SHFILEINFOA*, UINT, UINT);
};

// The real functions, as the shipped library calls them.
const Ops& RealOps() noexcept;

// The table in use: the real one unless a test program has put its own in
// place.
extern const Ops* g_pOps;
inline const Ops& ops() noexcept
{
    return *g_pOps;
}

// For test programs: calls go through `table` (which must outlive its use)
// from now on; null puts the real table back.
void UseOps(const Ops* table) noexcept;

}  // namespace platform
