#include "bench/reference_objects.h"

// ---------------------------------------------------------------------------
STDMETHODIMP CCheapInvoker::LoadExe(ULONG, BSTR) { return S_FALSE; }

STDMETHODIMP CCheapInvoker::GetMacAddress(BSTR* bstrText)
{
    *bstrText = nullptr;
    return S_OK;
}

STDMETHODIMP CCheapInvoker::GetVer(ULONG* ver)
{
    *ver = 1;
    return S_OK;
}

STDMETHODIMP CCheapInvoker::GetSpReadUserID(BSTR* nUserName)
{
    *nUserName = nullptr;
    return S_OK;
}

STDMETHODIMP CCheapInvoker::RunVideo(ULONG, ULONG, BSTR) { return S_FALSE; }

// ---------------------------------------------------------------------------
CStdDispatchInvoker::CStdDispatchInvoker() noexcept : m_cRef(1), m_inner(this), m_punkStdDispatch(nullptr) {}

CStdDispatchInvoker::~CStdDispatchInvoker()
{
    if (m_punkStdDispatch != nullptr)
        m_punkStdDispatch->Release();
}

HRESULT CStdDispatchInvoker::Init(ITypeInfo* pInterfaceInfo)
{
    return CreateStdDispatch(this, static_cast<IInvokerK318*>(&m_inner), pInterfaceInfo, &m_punkStdDispatch);
}

STDMETHODIMP CStdDispatchInvoker::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = static_cast<IUnknown*>(this);
    } else if (IsEqualIID(riid, IID_IDispatch)) {
        if (m_punkStdDispatch == nullptr)
            return E_NOINTERFACE;
        return m_punkStdDispatch->QueryInterface(riid, ppv);
    } else if (IsEqualIID(riid, IID_IInvokerK318)) {
        *ppv = static_cast<IInvokerK318*>(&m_inner);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// The benchmark owns the object for the whole run; the count is kept for
// correctness of the protocol but the last Release does not free storage.
STDMETHODIMP_(ULONG) CStdDispatchInvoker::AddRef() { return InterlockedIncrement(&m_cRef); }
STDMETHODIMP_(ULONG) CStdDispatchInvoker::Release() { return InterlockedDecrement(&m_cRef); }

// The table's own IDispatch slots are never reached: QueryInterface hands out
// the standard dispatch object for IDispatch.
STDMETHODIMP CStdDispatchInvoker::Inner::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo)
        *pctinfo = 0;
    return E_NOTIMPL;
}
STDMETHODIMP CStdDispatchInvoker::Inner::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CStdDispatchInvoker::Inner::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CStdDispatchInvoker::Inner::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
CTypeInfoInvoker::CTypeInfoInvoker(ITypeInfo* pInterfaceInfo) noexcept : m_cRef(1), m_pTypeInfo(pInterfaceInfo)
{
    m_pTypeInfo->AddRef();
}

CTypeInfoInvoker::~CTypeInfoInvoker() { m_pTypeInfo->Release(); }

STDMETHODIMP CTypeInfoInvoker::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IInvokerK318)) {
        *ppv = static_cast<IInvokerK318*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CTypeInfoInvoker::AddRef() { return InterlockedIncrement(&m_cRef); }
STDMETHODIMP_(ULONG) CTypeInfoInvoker::Release() { return InterlockedDecrement(&m_cRef); }

STDMETHODIMP CTypeInfoInvoker::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo == nullptr)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CTypeInfoInvoker::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo == nullptr)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    m_pTypeInfo->AddRef();
    *ppTInfo = m_pTypeInfo;
    return S_OK;
}

STDMETHODIMP CTypeInfoInvoker::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId)
{
    return DispGetIDsOfNames(m_pTypeInfo, rgszNames, cNames, rgDispId);
}

STDMETHODIMP CTypeInfoInvoker::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    return DispInvoke(static_cast<IInvokerK318*>(this), m_pTypeInfo, dispIdMember, wFlags, pDispParams, pVarResult,
                      pExcepInfo, puArgErr);
}

// ---------------------------------------------------------------------------
HRESULT LoadInvokerTypeInfo(const wchar_t* pszDllPath, ITypeInfo** ppInterfaceInfo)
{
    *ppInterfaceInfo = nullptr;
    ITypeLib* pLib = nullptr;
    HRESULT hr = LoadTypeLibEx(pszDllPath, REGKIND_NONE, &pLib);
    if (FAILED(hr))
        return hr;
    ITypeInfo* pInfo = nullptr;
    hr = pLib->GetTypeInfoOfGuid(IID_IInvokerK318, &pInfo);
    pLib->Release();
    if (FAILED(hr))
        return hr;

    TYPEATTR* pAttr = nullptr;
    hr = pInfo->GetTypeAttr(&pAttr);
    if (FAILED(hr)) {
        pInfo->Release();
        return hr;
    }
    const bool fDispatchHalf = pAttr->typekind == TKIND_DISPATCH;
    pInfo->ReleaseTypeAttr(pAttr);
    if (!fDispatchHalf) {
        *ppInterfaceInfo = pInfo;
        return S_OK;
    }
    // A dual interface: href -1 names its TKIND_INTERFACE half.
    HREFTYPE hRef = 0;
    hr = pInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &hRef);
    ITypeInfo* pInterface = nullptr;
    if (SUCCEEDED(hr))
        hr = pInfo->GetRefTypeInfo(hRef, &pInterface);
    pInfo->Release();
    if (SUCCEEDED(hr))
        *ppInterfaceInfo = pInterface;
    return hr;
}

// ---------------------------------------------------------------------------
STDMETHODIMP CFloorDispatch::QueryInterface(REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CFloorDispatch::GetTypeInfoCount(UINT* pctinfo)
{
    *pctinfo = 0;
    return S_OK;
}

STDMETHODIMP CFloorDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CFloorDispatch::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId)
{
    static const wchar_t kName[] = L"GETVER";
    if (cNames != 1)
        return DISP_E_UNKNOWNNAME;
    const wchar_t* p = rgszNames[0];
    for (int i = 0;; ++i) {
        wchar_t c = p[i];
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - (L'a' - L'A'));
        if (c != kName[i])
            return DISP_E_UNKNOWNNAME;
        if (c == L'\0')
            break;
    }
    rgDispId[0] = 3;
    return S_OK;
}

STDMETHODIMP CFloorDispatch::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* pVarResult, EXCEPINFO*, UINT*)
{
    if (pVarResult != nullptr) {
        pVarResult->vt = VT_I4;
        pVarResult->lVal = 1;
    }
    return S_OK;
}
