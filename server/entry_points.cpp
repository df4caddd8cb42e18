// The library's exported entry points: loading, unloading, class objects and
// self-registration.
#include <windows.h>
#include <ole2.h>

#include "registration/driver.h"
#include "server/class_factory.h"
#include "server/module.h"
#include "server/runtime_setup.h"
#include "text/errors.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    const BOOL bResult = ModuleDllMain(hInstance, dwReason, pReserved);
    if (bResult && dwReason == DLL_PROCESS_ATTACH)
        PrepareRuntimeOnLoad();
    else if (dwReason == DLL_THREAD_ATTACH)
        PrepareRuntimeForThread();
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
    return GuardedCall([&] { return g_classList.GetClassObject(rclsid, riid, ppv); });
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
