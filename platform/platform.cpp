#include "platform/platform.h"
#include "platform/init_order.h"

#include <shlwapi.h>

namespace platform {

namespace {

Ops MakeRealOps()
{
    Ops ops{};
    ops.GetTickCount = ::GetTickCount;
    ops.GetLastError = ::GetLastError;
    ops.OutputDebugStringA = ::OutputDebugStringA;
    ops.GetModuleFileNameA = ::GetModuleFileNameA;
    ops.GetVersionExA = ::GetVersionExA;
    ops.GetThreadLocale = ::GetThreadLocale;
    ops.GetLocaleInfoA = ::GetLocaleInfoA;
    ops.GetACP = ::GetACP;
    ops.WideCharToMultiByte = ::WideCharToMultiByte;
    ops.MultiByteToWideChar = ::MultiByteToWideChar;
    ops.InitializeCriticalSectionAndSpinCount = ::InitializeCriticalSectionAndSpinCount;
    ops.HeapAlloc = ::HeapAlloc;
    ops.HeapReAlloc = ::HeapReAlloc;
    ops.HeapFree = ::HeapFree;
    ops.GetPrivateProfileStringA = ::GetPrivateProfileStringA;
    ops.GetCommandLineW = ::GetCommandLineW;
    ops.GetWindowThreadProcessId = ::GetWindowThreadProcessId;
    ops.Netbios = ::Netbios;
    ops.RegCreateKeyExA = ::RegCreateKeyExA;
    ops.RegDeleteKeyA = ::RegDeleteKeyA;
    ops.RegDeleteKeyW = ::RegDeleteKeyW;
    ops.RegCloseKey = ::RegCloseKey;
    ops.RegOverridePredefKey = ::RegOverridePredefKey;
    ops.SysAllocString = ::SysAllocString;
    ops.SysAllocStringLen = ::SysAllocStringLen;
    ops.VariantChangeType = ::VariantChangeType;
    ops.LoadTypeLib = ::LoadTypeLib;
    ops.RegisterTypeLib = ::RegisterTypeLib;
    ops.UnRegisterTypeLib = ::UnRegisterTypeLib;
    ops.RegisterTypeLibForUser = ::RegisterTypeLibForUser;
    ops.UnRegisterTypeLibForUser = ::UnRegisterTypeLibForUser;
    ops.CoTaskMemFree = ::CoTaskMemFree;
    ops.CoCreateInstance = ::CoCreateInstance;
    ops.SHGetFileInfoA = ::SHGetFileInfoA;
    return ops;
}

const Ops g_realOps TW_INIT_PLATFORM = MakeRealOps();

}  // namespace

// Constant-initialised: it names the real table before anything is built.
const Ops* g_pOps = &g_realOps;

const Ops& RealOps() noexcept
{
    return g_realOps;
}

void UseOps(const Ops* table) noexcept
{
    g_pOps = table != nullptr ? table : &g_realOps;
}

}  // namespace platform
