// The library's exported entry points: loading, unloading, class objects and
// self-registration, machine-wide and for the current user.
#include <windows.h>
#include <ole2.h>

#include "registration/driver.h"
#include "server/class_factory.h"
#include "server/module.h"
#include "server/runtime_setup.h"
#include "server/surrogate.h"
#include "text/ascii.h"
#include "text/errors.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    const BOOL bResult = ModuleDllMain(hInstance, dwReason, pReserved);
    if (dwReason == DLL_THREAD_DETACH)
        ReleaseRuntimeForThread();
    else if (dwReason == DLL_PROCESS_DETACH && pReserved == nullptr)
        ReleaseRuntimeOnUnload();  // unloaded, not the process ending
    return bResult;
}

STDAPI DllCanUnloadNow()
{
    return ModuleCanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return GuardedCall([&] {
        if (ppv == nullptr)
            return E_POINTER;
        // The bridge reaches only hall windows of its own process, and a
        // surrogate holds none: an object served there would take every
        // request and deliver none. The client's activation fails instead.
        if (RunsAsComSurrogate())
            return CLASS_E_CLASSNOTAVAILABLE;
        return g_classList.GetClassObject(rclsid, riid, ppv);
    }, ppv);
}

STDAPI DllRegisterServer()
{
    return GuardedCall([] { return RegisterServerClasses(g_classList.Served(), true); });
}

STDAPI DllUnregisterServer()
{
    return GuardedCall([] {
        const HRESULT hr = UnregisterServerClasses(g_classList.Served(), true);
        return FAILED(hr) ? hr : S_OK;
    });
}

namespace {

// "user", the letters in any case: the one command that DllInstall knows.
bool IsUserCommand(PCWSTR pszCmdLine)
{
    if (pszCmdLine == nullptr)
        return false;
    const wchar_t* pEnd = SkipAsciiWordNoCase(pszCmdLine, L"user");
    return pEnd != nullptr && *pEnd == L'\0';
}

}  // namespace

// regsvr32 /n /i:user registers for the current user (bInstall TRUE), and
// regsvr32 /u /n /i:user removes that registration; no other command is known.
STDAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine)
{
    return GuardedCall([&] {
        if (!IsUserCommand(pszCmdLine))
            return E_INVALIDARG;
        const HRESULT hr = UpdateServerForUser(g_classList.Served(), bInstall != FALSE);
        return FAILED(hr) || bInstall ? hr : S_OK;
    });
}
