#include "script_host/script_host.h"

#include <oleauto.h>
#include <docobj.h>
#include <objsafe.h>
#include <urlmon.h>

// The engines' parse interface differs between 32- and 64-bit builds (its
// source cookie is 32 or 64 bits wide), and so does its IID.

namespace {

// {BB1A2AE1-A4F9-11CF-8F20-00805F2CD064} and {BB1A2AE2-...}
const IID kIID_IActiveScript = {0xBB1A2AE1, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
#ifdef _WIN64
// {C7EF7658-E1EE-480E-97EA-D52CB4D76D17}
const IID kIID_IActiveScriptParse = {0xC7EF7658, 0xE1EE, 0x480E, {0x97, 0xEA, 0xD5, 0x2C, 0xB4, 0xD7, 0x6D, 0x17}};
#else
const IID kIID_IActiveScriptParse = {0xBB1A2AE2, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
#endif
const IID kIID_IActiveScriptSite = {0xDB01A1E3, 0xA42B, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};

// {10200490-FA38-11D0-AC0E-00A0C90FFFC0}: the question whether an object made
// for a page may be scripted by it; declared by the platform headers, defined
// by no import library.
const GUID kGUID_CUSTOM_CONFIRMOBJECTSAFETY = {
    0x10200490, 0xFA38, 0x11D0, {0xAC, 0x0E, 0x00, 0xA0, 0xC9, 0x0F, 0xFF, 0xC0}};

const DISPID kDispidEcho = 1;
const DISPID kDispidUrl = 1;
const DISPID kDispidSleep = 2;

// Reference counting and QueryInterface for a host object that offers one
// interface I (with the given IID) besides IUnknown.
template <class I, const IID* piid>
class HostObject : public I {
public:
    virtual ~HostObject() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == *piid) {
            *ppv = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = InterlockedDecrement(&m_refs);
        if (n == 0)
            delete this;
        return n;
    }

private:
    LONG m_refs = 1;
};

// A host object reached by name only: an IDispatch without type information.
class NamedOnly : public HostObject<IDispatch, &IID_IDispatch> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override
    {
        if (pctinfo == nullptr)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override
    {
        if (ppTInfo != nullptr)
            *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
};

}  // namespace

// The global "host" object: echo(text, ...) and sleep(milliseconds).
class CScriptHost::Echo : public NamedOnly {
public:
    explicit Echo(EchoFunction pfn) : m_pfn(std::move(pfn)) {}

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override
    {
        if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        for (UINT i = 0; i < cNames; ++i) {
            rgDispId[i] = DISPID_UNKNOWN;
            hr = DISP_E_UNKNOWNNAME;
        }
        if (rgszNames[0] != nullptr) {
            if (lstrcmpiW(rgszNames[0], L"echo") == 0)
                rgDispId[0] = kDispidEcho;
            else if (lstrcmpiW(rgszNames[0], L"sleep") == 0)
                rgDispId[0] = kDispidSleep;
            if (rgDispId[0] != DISPID_UNKNOWN && cNames == 1)
                hr = S_OK;
        }
        return hr;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO*,
                        UINT*) override
    {
        if (id == kDispidSleep) {
            if (pParams == nullptr || pParams->cArgs != 1)
                return DISP_E_BADPARAMCOUNT;
            VARIANT ms;
            VariantInit(&ms);
            if (FAILED(VariantChangeType(&ms, &pParams->rgvarg[0], 0, VT_UI4)))
                return DISP_E_TYPEMISMATCH;
            Sleep(ms.ulVal);
            if (pResult != nullptr)
                VariantInit(pResult);
            return S_OK;
        }
        if (id != kDispidEcho)
            return DISP_E_MEMBERNOTFOUND;
        std::wstring line;
        // Arguments arrive last first.
        for (UINT i = pParams != nullptr ? pParams->cArgs : 0; i-- > 0;) {
            VARIANT text;
            VariantInit(&text);
            if (SUCCEEDED(VariantChangeType(&text, &pParams->rgvarg[i], VARIANT_ALPHABOOL, VT_BSTR))) {
                if (!line.empty())
                    line += L' ';
                line.append(text.bstrVal, SysStringLen(text.bstrVal));
            }
            VariantClear(&text);
        }
        if (m_pfn)
            m_pfn(line);
        if (pResult != nullptr)
            VariantInit(pResult);
        return S_OK;
    }

private:
    EchoFunction m_pfn;
};

namespace {

// A page's document, as far as an object made by its script looks at it:
// the URL property.
class PageDocument : public NamedOnly {
public:
    explicit PageDocument(const wchar_t* pszUrl) : m_url(pszUrl) {}

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override
    {
        if (rgszNames == nullptr || rgDispId == nullptr || cNames != 1 || rgszNames[0] == nullptr)
            return E_INVALIDARG;
        if (lstrcmpiW(rgszNames[0], L"URL") != 0) {
            rgDispId[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        rgDispId[0] = kDispidUrl;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD wFlags, DISPPARAMS*, VARIANT* pResult, EXCEPINFO*,
                        UINT*) override
    {
        if (id != kDispidUrl)
            return DISP_E_MEMBERNOTFOUND;
        if ((wFlags & DISPATCH_PROPERTYGET) == 0 || pResult == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        VariantInit(pResult);
        pResult->vt = VT_BSTR;
        pResult->bstrVal = SysAllocString(m_url.c_str());
        return pResult->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::wstring m_url;
};

// The browser's security decisions for a page: it may run one class of
// object, and only one that accepts untrusted callers on IDispatch.
class PageSecurity : public HostObject<IInternetHostSecurityManager, &IID_IInternetHostSecurityManager> {
public:
    explicit PageSecurity(const CLSID& allowed) : m_allowed(allowed) {}

    STDMETHODIMP GetSecurityId(BYTE*, DWORD*, DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessUrlAction(DWORD action, BYTE* pPolicy, DWORD cbPolicy, BYTE* pContext, DWORD cbContext,
                                  DWORD, DWORD) override
    {
        if (pPolicy == nullptr || cbPolicy < sizeof(DWORD))
            return E_INVALIDARG;
        DWORD answer = URLPOLICY_DISALLOW;
        if (action == URLACTION_ACTIVEX_RUN && pContext != nullptr && cbContext >= sizeof(CLSID) &&
            IsEqualCLSID(*reinterpret_cast<const CLSID*>(pContext), m_allowed))
            answer = URLPOLICY_ALLOW;
        CopyMemory(pPolicy, &answer, sizeof answer);
        return answer == URLPOLICY_ALLOW ? S_OK : S_FALSE;
    }
    STDMETHODIMP QueryCustomPolicy(REFGUID key, BYTE** ppPolicy, DWORD* pcbPolicy, BYTE* pContext, DWORD cbContext,
                                   DWORD) override
    {
        if (ppPolicy == nullptr || pcbPolicy == nullptr)
            return E_POINTER;
        *ppPolicy = nullptr;
        *pcbPolicy = 0;
        if (!IsEqualGUID(key, kGUID_CUSTOM_CONFIRMOBJECTSAFETY))
            return INET_E_DEFAULT_ACTION;
        DWORD answer = URLPOLICY_DISALLOW;
        const auto* pConfirm = reinterpret_cast<const CONFIRMSAFETY*>(pContext);
        IObjectSafety* pSafety = nullptr;
        if (pConfirm != nullptr && cbContext >= sizeof *pConfirm && pConfirm->pUnk != nullptr &&
            IsEqualCLSID(pConfirm->clsid, m_allowed) &&
            SUCCEEDED(pConfirm->pUnk->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pSafety)))) {
            if (pSafety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                   INTERFACESAFE_FOR_UNTRUSTED_CALLER) == S_OK)
                answer = URLPOLICY_ALLOW;
            pSafety->Release();
        }
        *ppPolicy = static_cast<BYTE*>(CoTaskMemAlloc(sizeof answer));
        if (*ppPolicy == nullptr)
            return E_OUTOFMEMORY;
        CopyMemory(*ppPolicy, &answer, sizeof answer);
        *pcbPolicy = sizeof answer;
        return answer == URLPOLICY_ALLOW ? S_OK : S_FALSE;
    }

private:
    CLSID m_allowed;
};

}  // namespace

// What the host's site offers a page's engine and objects: the security
// manager and the page's document.
class CScriptHost::Services : public HostObject<IServiceProvider, &IID_IServiceProvider> {
public:
    explicit Services(const Page& page)
        : m_pSecurity(new PageSecurity(*page.pAllowedClass)),
          m_pDocument(page.pszUrl != nullptr ? new PageDocument(page.pszUrl) : nullptr)
    {
    }
    ~Services() override
    {
        m_pSecurity->Release();
        if (m_pDocument != nullptr)
            m_pDocument->Release();
    }

    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualGUID(service, SID_SInternetHostSecurityManager))
            return m_pSecurity->QueryInterface(riid, ppv);
        if (IsEqualGUID(service, SID_SContainerDispatch) && m_pDocument != nullptr)
            return m_pDocument->QueryInterface(riid, ppv);
        return E_NOINTERFACE;
    }

private:
    PageSecurity* m_pSecurity;
    PageDocument* m_pDocument;
};

// The engine's view of this host: named objects and error reports.
class CScriptHost::Site : public HostObject<IActiveScriptSite, &kIID_IActiveScriptSite> {
public:
    explicit Site(CScriptHost* pHost) : m_pHost(pHost) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv != nullptr && riid == IID_IServiceProvider && m_pHost != nullptr && m_pHost->m_pServices != nullptr)
            return m_pHost->m_pServices->QueryInterface(riid, ppv);
        return HostObject::QueryInterface(riid, ppv);
    }

    STDMETHODIMP GetLCID(LCID* plcid) override
    {
        if (plcid == nullptr)
            return E_POINTER;
        *plcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetItemInfo(LPCOLESTR pstrName, DWORD dwReturnMask, IUnknown** ppiunkItem,
                             ITypeInfo** ppti) override
    {
        if (ppiunkItem != nullptr)
            *ppiunkItem = nullptr;
        if (ppti != nullptr)
            *ppti = nullptr;
        IUnknown* pItem = m_pHost != nullptr ? m_pHost->FindObject(pstrName) : nullptr;
        if (pItem == nullptr)
            return TYPE_E_ELEMENTNOTFOUND;
        if ((dwReturnMask & SCRIPTINFO_IUNKNOWN) != 0) {
            if (ppiunkItem == nullptr)
                return E_POINTER;
            pItem->AddRef();
            *ppiunkItem = pItem;
        }
        return S_OK;
    }
    STDMETHODIMP GetDocVersionString(BSTR* pbstrVersion) override
    {
        if (pbstrVersion != nullptr)
            *pbstrVersion = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError* pError) override
    {
        if (pError == nullptr || m_pHost == nullptr)
            return S_OK;
        EXCEPINFO info = {};
        std::wstring text;
        if (SUCCEEDED(pError->GetExceptionInfo(&info))) {
            if (info.pfnDeferredFillIn != nullptr)
                info.pfnDeferredFillIn(&info);
            m_lastCode = info.scode != 0 ? info.scode : static_cast<HRESULT>(info.wCode);
            if (info.bstrDescription != nullptr)
                text = info.bstrDescription;
            SysFreeString(info.bstrSource);
            SysFreeString(info.bstrDescription);
            SysFreeString(info.bstrHelpFile);
        }
        DWORD context = 0;
        ULONG line = 0;
        LONG column = 0;
        if (SUCCEEDED(pError->GetSourcePosition(&context, &line, &column))) {
            wchar_t where[48];
            wsprintfW(where, L" (line %lu, column %ld)", line + 1, column + 1);
            text += where;
        }
        wchar_t code[24];
        wsprintfW(code, L"0x%08lX: ", static_cast<unsigned long>(m_lastCode));
        m_pHost->m_lastError = code + text;
        return S_OK;
    }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

    void Detach() { m_pHost = nullptr; }
    HRESULT TakeLastCode()
    {
        const HRESULT hr = m_lastCode;
        m_lastCode = S_OK;
        return hr;
    }

private:
    CScriptHost* m_pHost;
    HRESULT m_lastCode = S_OK;
};

CScriptHost::CScriptHost() = default;

CScriptHost::~CScriptHost()
{
    Close();
}

HRESULT CScriptHost::Start(const wchar_t* pszLanguage, EchoFunction pfnEcho, const Page* pPage)
{
    if (m_pScript != nullptr)
        return E_UNEXPECTED;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(pszLanguage, &clsid);
    if (FAILED(hr))
        return hr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIID_IActiveScript,
                          reinterpret_cast<void**>(&m_pScript));
    if (FAILED(hr))
        return hr;
    if (pPage != nullptr) {
        // The page is untrusted: new ActiveXObject must ask the security manager.
        const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_SECURITY_MANAGER |
                              INTERFACE_USES_DISPEX;
        IObjectSafety* pSafety = nullptr;
        hr = m_pScript->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pSafety));
        if (SUCCEEDED(hr)) {
            hr = pSafety->SetInterfaceSafetyOptions(kIID_IActiveScriptParse, options, options);
            pSafety->Release();
        }
        if (FAILED(hr)) {
            Close();
            return hr;
        }
        m_pServices = new Services(*pPage);
    }
    hr = m_pScript->QueryInterface(kIID_IActiveScriptParse, reinterpret_cast<void**>(&m_pParse));
    if (FAILED(hr)) {
        Close();
        return hr;
    }
    m_pSite = new Site(this);
    m_pEcho = new Echo(std::move(pfnEcho));
    hr = m_pScript->SetScriptSite(m_pSite);
    if (SUCCEEDED(hr))
        hr = m_pParse->InitNew();
    if (SUCCEEDED(hr))
        hr = AddObject(L"host", m_pEcho);
    if (SUCCEEDED(hr))
        hr = m_pScript->SetScriptState(SCRIPTSTATE_STARTED);
    if (FAILED(hr))
        Close();
    return hr;
}

HRESULT CScriptHost::AddObject(const wchar_t* pszName, IDispatch* pObject)
{
    if (m_pScript == nullptr)
        return E_UNEXPECTED;
    if (pszName == nullptr || pObject == nullptr)
        return E_INVALIDARG;
    pObject->AddRef();
    m_objects.emplace_back(pszName, pObject);
    return m_pScript->AddNamedItem(pszName, SCRIPTITEM_ISVISIBLE | SCRIPTITEM_ISSOURCE);
}

IUnknown* CScriptHost::FindObject(const wchar_t* pszName) const
{
    if (pszName == nullptr)
        return nullptr;
    for (const auto& item : m_objects) {
        if (lstrcmpiW(item.first.c_str(), pszName) == 0)
            return item.second;
    }
    return nullptr;
}

HRESULT CScriptHost::Parse(const wchar_t* pszCode, DWORD dwFlags, VARIANT* pResult)
{
    if (m_pParse == nullptr)
        return E_UNEXPECTED;
    if (pszCode == nullptr)
        return E_INVALIDARG;
    m_lastError.clear();
    EXCEPINFO info = {};
    HRESULT hr = m_pParse->ParseScriptText(pszCode, nullptr, nullptr, nullptr, 0, 0, dwFlags, pResult, &info);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    const HRESULT hrReported = m_pSite->TakeLastCode();
    if (FAILED(hr) && FAILED(hrReported))
        hr = hrReported;  // the script's own error, rather than the engine's wrapper code
    if (FAILED(hr) && m_lastError.empty()) {
        wchar_t code[48];
        wsprintfW(code, L"0x%08lX: the script failed", static_cast<unsigned long>(hr));
        m_lastError = code;
    }
    return hr;
}

HRESULT CScriptHost::Run(const wchar_t* pszCode)
{
    return Parse(pszCode, SCRIPTTEXT_ISVISIBLE, nullptr);
}

HRESULT CScriptHost::Evaluate(const wchar_t* pszExpression, VARIANT* pResult)
{
    if (pResult == nullptr)
        return E_POINTER;
    VariantInit(pResult);
    return Parse(pszExpression, SCRIPTTEXT_ISEXPRESSION, pResult);
}

void CScriptHost::Close()
{
    if (m_pScript != nullptr) {
        m_pScript->SetScriptState(SCRIPTSTATE_DISCONNECTED);
        m_pScript->Close();
    }
    if (m_pParse != nullptr) {
        m_pParse->Release();
        m_pParse = nullptr;
    }
    if (m_pScript != nullptr) {
        m_pScript->Release();
        m_pScript = nullptr;
    }
    for (auto& item : m_objects)
        item.second->Release();
    m_objects.clear();
    if (m_pEcho != nullptr) {
        m_pEcho->Release();
        m_pEcho = nullptr;
    }
    if (m_pSite != nullptr) {
        m_pSite->Detach();
        m_pSite->Release();
        m_pSite = nullptr;
    }
    if (m_pServices != nullptr) {
        m_pServices->Release();
        m_pServices = nullptr;
    }
}
