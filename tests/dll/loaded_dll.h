// The built library as a host reaches it: by its file path, through the
// exported entry points only.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using ServerEntryFn = HRESULT(STDAPICALLTYPE*)();

// Path of Tarnwick.dll in the build tree as Wine sees it (Z:\...\Tarnwick.dll);
// empty when TARNWICK_BIN is not set.
std::string DllPathA();
std::wstring DllPathW();

// True while the library is mapped into this process as a module.
bool DllIsMapped();

// One load of the library: LoadLibrary on construction of Load(), FreeLibrary
// on Free() or destruction.
class LoadedDll {
public:
    LoadedDll() = default;
    ~LoadedDll() { Free(); }
    LoadedDll(const LoadedDll&) = delete;
    LoadedDll& operator=(const LoadedDll&) = delete;

    // Loads the library and looks up its exports; false if any step fails.
    bool Load();
    void Free();

    HMODULE Handle() const { return m_hDll; }
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const { return m_pfnGetClassObject(rclsid, riid, ppv); }
    HRESULT CanUnloadNow() const { return m_pfnCanUnloadNow(); }
    HRESULT RegisterServer() const { return m_pfnRegister(); }
    HRESULT UnregisterServer() const { return m_pfnUnregister(); }

    // The class object of CInvokerK318 as IClassFactory, or null.
    IClassFactory* Factory() const;
    // A new CInvokerK318 through its class object, as riid; the class object
    // is let go again. E_FAIL when there is no class object.
    HRESULT CreateObject(REFIID riid, void** ppv) const;

private:
    HMODULE m_hDll = nullptr;
    GetClassObjectFn m_pfnGetClassObject = nullptr;
    ServerEntryFn m_pfnCanUnloadNow = nullptr;
    ServerEntryFn m_pfnRegister = nullptr;
    ServerEntryFn m_pfnUnregister = nullptr;
};

// A controlling object for aggregation tests: it answers IUnknown itself and
// hands every other request to the inner object's non-delegating IUnknown.
// It lives on the stack and only counts its references.
class TestOuter : public IUnknown {
public:
    LONG cRef = 1;
    IUnknown* pInner = nullptr;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&cRef)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&cRef)); }
};

// The fixed identifiers, as a host knows them from outside the library.
constexpr GUID kLibidTarnwick = {0x6E328742, 0xAEEA, 0x4D34, {0xA0, 0xA8, 0x9E, 0xA8, 0xB3, 0x22, 0x76, 0x8A}};
constexpr GUID kClsidInvoker = {0x944F576C, 0x8D13, 0x4177, {0x9B, 0x3F, 0xE8, 0x27, 0xE4, 0xAF, 0xE8, 0xFF}};
constexpr GUID kIidInvoker = {0xE072AFD3, 0xCE13, 0x4A32, {0x9B, 0xB7, 0x44, 0x00, 0xF5, 0x4C, 0x05, 0x28}};
constexpr GUID kLibidStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
