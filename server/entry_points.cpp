// The library's exported entry points for loading, unloading and class
// objects. Registration entry points answer E_NOTIMPL until self-registration
// is built.
#include <windows.h>
#include <ole2.h>

#include "server/class_factory.h"
#include "server/module.h"
#include "text/errors.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    return ModuleDllMain(hInstance, dwReason, pReserved);
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
    return E_NOTIMPL;
}

STDAPI DllUnregisterServer()
{
    return E_NOTIMPL;
}
