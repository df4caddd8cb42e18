// The platform seam. Every platform operation that the component's logic uses
// is called through this one table, so that a test program can put its own
// function in a single slot (a tick clock that wraps, NetBIOS adapters that
// fail, an older platform version, a failing allocation) and leave the rest on
// the real platform. The library fills the table with the real functions when
// it loads; the table is not exported and nothing outside the process can
// change it.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <nb30.h>
#include <shellapi.h>

namespace platform {

struct Ops {
    // Kernel
    DWORD(WINAPI* GetTickCount)();
    DWORD(WINAPI* GetLastError)();
    void(WINAPI* SetLastError)(DWORD);
    void(WINAPI* OutputDebugStringA)(LPCSTR);
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE, LPSTR, DWORD);
    HMODULE(WINAPI* GetModuleHandleA)(LPCSTR);
    DWORD(WINAPI* GetCurrentProcessId)();
    BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA);
    LCID(WINAPI* GetThreadLocale)();
    int(WINAPI* GetLocaleInfoA)(LCID, LCTYPE, LPSTR, int);
    UINT(WINAPI* GetACP)();
    int(WINAPI* WideCharToMultiByte)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
    int(WINAPI* MultiByteToWideChar)(UINT, DWORD, LPCCH, int, LPWSTR, int);
    BOOL(WINAPI* InitializeCriticalSectionAndSpinCount)(LPCRITICAL_SECTION, DWORD);
    HANDLE(WINAPI* GetProcessHeap)();
    LPVOID(WINAPI* HeapAlloc)(HANDLE, DWORD, SIZE_T);
    LPVOID(WINAPI* HeapReAlloc)(HANDLE, DWORD, LPVOID, SIZE_T);
    BOOL(WINAPI* HeapFree)(HANDLE, DWORD, LPVOID);
    SIZE_T(WINAPI* HeapSize)(HANDLE, DWORD, LPCVOID);
    DWORD(WINAPI* GetPrivateProfileStringA)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR);

    // Windows messaging
    HWND(WINAPI* FindWindowExA)(HWND, HWND, LPCSTR, LPCSTR);
    DWORD(WINAPI* GetWindowThreadProcessId)(HWND, LPDWORD);
    LRESULT(WINAPI* SendMessageA)(HWND, UINT, WPARAM, LPARAM);

    // NetBIOS
    UCHAR(WINAPI* Netbios)(PNCB);

    // Registry
    LONG(WINAPI* RegOpenKeyExA)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* RegCreateKeyExA)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    LONG(WINAPI* RegQueryValueExA)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegSetValueExA)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
    LONG(WINAPI* RegDeleteKeyA)(HKEY, LPCSTR);
    LONG(WINAPI* RegEnumKeyExA)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
    LONG(WINAPI* RegQueryInfoKeyA)(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME);
    LONG(WINAPI* RegCloseKey)(HKEY);
    // Deletes the key an open handle names, itself: a link key opened as a
    // link goes, its target stays. Returns a platform error code.
    LONG(WINAPI* DeleteOpenedKey)(HKEY);

    // COM and OLE Automation
    BSTR(WINAPI* SysAllocString)(const OLECHAR*);
    BSTR(WINAPI* SysAllocStringLen)(const OLECHAR*, UINT);
    HRESULT(WINAPI* VariantChangeType)(VARIANTARG*, VARIANTARG*, USHORT, VARTYPE);
    HRESULT(WINAPI* VarUI4FromStr)(OLECHAR*, LCID, ULONG, ULONG*);
    HRESULT(WINAPI* LoadTypeLib)(LPCOLESTR, ITypeLib**);
    HRESULT(WINAPI* LoadRegTypeLib)(REFGUID, WORD, WORD, LCID, ITypeLib**);
    HRESULT(WINAPI* RegisterTypeLib)(ITypeLib*, OLECHAR*, OLECHAR*);
    HRESULT(WINAPI* UnRegisterTypeLib)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HRESULT(WINAPI* StringFromCLSID)(REFCLSID, LPOLESTR*);
    int(WINAPI* StringFromGUID2)(REFGUID, LPOLESTR, int);
    void(WINAPI* CoTaskMemFree)(LPVOID);
    HRESULT(WINAPI* CoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

    // Shell
    DWORD_PTR(WINAPI* SHGetFileInfoA)(LPCSTR, DWORD, SHFILEINFOA*, UINT, UINT);
    LPSTR(WINAPI* PathFindExtensionA)(LPCSTR);
};

// The table the logic calls through.
extern Ops g_ops;

// The real functions, as the shipped library uses them.
const Ops& RealOps();

}  // namespace platform
