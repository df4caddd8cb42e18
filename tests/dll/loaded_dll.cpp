#include "loaded_dll.h"

#include "tests/support/built_library.h"



namespace {

template <typename Fn>
Fn Export(HMODULE h, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(h, name)));
}

}  // namespace

std::string DllPathA()
{
    return BuiltLibraryPath();
}

std::wstring DllPathW()
{
    const std::string narrow = DllPathA();
    std::wstring wide;
    for (unsigned char c : narrow)
        wide.push_back(static_cast<wchar_t>(c));  // the build path is plain ASCII
    return wide;
}

bool DllIsMapped()
{
    return GetModuleHandleA(DllPathA().c_str()) != nullptr;
}

bool LoadedDll::Load()
{
    Free();
    const std::string path = DllPathA();
    if (path.empty())
        return false;
    m_hDll = LoadLibraryA(path.c_str());
    if (!m_hDll)
        return false;
    m_pfnGetClassObject = Export<GetClassObjectFn>(m_hDll, "DllGetClassObject");
    m_pfnCanUnloadNow = Export<ServerEntryFn>(m_hDll, "DllCanUnloadNow");
    m_pfnRegister = Export<ServerEntryFn>(m_hDll, "DllRegisterServer");
    m_pfnUnregister = Export<ServerEntryFn>(m_hDll, "DllUnregisterServer");
    return m_pfnGetClassObject && m_pfnCanUnloadNow && m_pfnRegister && m_pfnUnregister;
}

void LoadedDll::Free()
{
    if (m_hDll)
        FreeLibrary(m_hDll);
    m_hDll = nullptr;
    m_pfnGetClassObject = nullptr;
    m_pfnCanUnloadNow = nullptr;
    m_pfnRegister = nullptr;
    m_pfnUnregister = nullptr;
}

IClassFactory* LoadedDll::Factory() const
{
    IClassFactory* pFactory = nullptr;
    if (FAILED(GetClassObject(kClsidInvoker, IID_IClassFactory, reinterpret_cast<void**>(&pFactory))))
        return nullptr;
    return pFactory;
}

HRESULT LoadedDll::CreateObject(REFIID riid, void** ppv) const
{
    IClassFactory* pFactory = Factory();
    if (!pFactory)
        return E_FAIL;
    const HRESULT hr = pFactory->CreateInstance(nullptr, riid, ppv);
    pFactory->Release();
    return hr;
}

STDMETHODIMP TestOuter::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    if (!pInner) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return pInner->QueryInterface(riid, ppv);
}
