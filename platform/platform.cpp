#include "platform/platform.h"
#include "platform/init_order.h"

#include <shlwapi.h>

namespace platform {

namespace {

// The registry's own delete-by-handle, which RegDeleteKey lacks: it removes a
// link key itself instead of following it.
LONG WINAPI DeleteOpenedKey(HKEY hKey)
{
    using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
    using StatusToErrorFn = ULONG(NTAPI*)(LONG);
    const HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    const auto pfnDelete = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hNtdll, "NtDeleteKey")));
    const auto pfnToError = reinterpret_cast<StatusToErrorFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hNtdll, "RtlNtStatusToDosError")));
    if (pfnDelete == nullptr || pfnToError == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    const LONG status = pfnDelete(hKey);
    return status == 0 ? ERROR_SUCCESS : static_cast<LONG>(pfnToError(status));
}

Ops MakeRealOps()
{
    Ops ops{};
    ops.GetTickCount = ::GetTickCount;
    ops.GetLastError = ::GetLastError;
    ops.SetLastError = ::SetLastError;
    ops.OutputDebugStringA = ::OutputDebugStringA;
    ops.GetModuleFileNameA = ::GetModuleFileNameA;
    ops.GetModuleHandleA = ::GetModuleHandleA;
    ops.GetCurrentProcessId = ::GetCurrentProcessId;
    ops.GetVersionExA = ::GetVersionExA;
    ops.GetThreadLocale = ::GetThreadLocale;
    ops.GetLocaleInfoA = ::GetLocaleInfoA;
    ops.GetACP = ::GetACP;
    ops.WideCharToMultiByte = ::WideCharToMultiByte;
    ops.MultiByteToWideChar = ::MultiByteToWideChar;
    ops.InitializeCriticalSectionAndSpinCount = ::InitializeCriticalSectionAndSpinCount;
    ops.GetProcessHeap = ::GetProcessHeap;
    ops.HeapAlloc = ::HeapAlloc;
    ops.HeapReAlloc = ::HeapReAlloc;
    ops.HeapFree = ::HeapFree;
    ops.HeapSize = ::HeapSize;
    ops.GetPrivateProfileStringA = ::GetPrivateProfileStringA;
    ops.FindWindowExA = ::FindWindowExA;
    ops.GetWindowThreadProcessId = ::GetWindowThreadProcessId;
    ops.SendMessageA = ::SendMessageA;
    ops.Netbios = ::Netbios;
    ops.RegOpenKeyExA = ::RegOpenKeyExA;
    ops.RegCreateKeyExA = ::RegCreateKeyExA;
    ops.RegQueryValueExA = ::RegQueryValueExA;
    ops.RegSetValueExA = ::RegSetValueExA;
    ops.RegDeleteKeyA = ::RegDeleteKeyA;
    ops.RegEnumKeyExA = ::RegEnumKeyExA;
    ops.RegQueryInfoKeyA = ::RegQueryInfoKeyA;
    ops.RegCloseKey = ::RegCloseKey;
    ops.DeleteOpenedKey = DeleteOpenedKey;
    ops.SysAllocString = ::SysAllocString;
    ops.SysAllocStringLen = ::SysAllocStringLen;
    ops.VariantChangeType = ::VariantChangeType;
    ops.VarUI4FromStr = ::VarUI4FromStr;
    ops.LoadTypeLib = ::LoadTypeLib;
    ops.LoadRegTypeLib = ::LoadRegTypeLib;
    ops.RegisterTypeLib = ::RegisterTypeLib;
    ops.UnRegisterTypeLib = ::UnRegisterTypeLib;
    ops.StringFromCLSID = ::StringFromCLSID;
    ops.StringFromGUID2 = ::StringFromGUID2;
    ops.CoTaskMemFree = ::CoTaskMemFree;
    ops.CoCreateInstance = ::CoCreateInstance;
    ops.SHGetFileInfoA = ::SHGetFileInfoA;
    ops.PathFindExtensionA = ::PathFindExtensionA;
    return ops;
}

const Ops g_realOps TW_INIT_PLATFORM = MakeRealOps();

}  // namespace

Ops g_ops TW_INIT_PLATFORM = g_realOps;

const Ops& RealOps()
{
    return g_realOps;
}

}  // namespace platform
