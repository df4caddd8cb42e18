#include "automation/bridge_object.h"

#include <cstring>

#include "automation/dispatch.h"
#include "automation/type_info.h"
#include "bridge/invoker.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "server/module.h"
#include "text/errors.h"

namespace {

// Which interface of the object a row of the interface table hands out.
enum BridgeInterface {
    kBridgeIdentity,
    kBridgePrimary,
    kBridgeObjectSafety,
    kBridgeProvideClassInfo,
    kBridgeObjectWithSite,
};

struct BridgeInterfaceEntry {
    IID iid;
    BridgeInterface which;
};

// The platform's headers give the other IIDs as constants, not this one.
constexpr IID kIidObjectSafety = {0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};

// The interfaces the object hands out. The IIDs are held by value, so that a
// lookup compares with constants.
constexpr BridgeInterfaceEntry kInterfaceMap[] = {
    {__uuidof(IUnknown), kBridgeIdentity},
    {__uuidof(IInvokerK318), kBridgePrimary},
    {__uuidof(IDispatch), kBridgePrimary},
    {kIidObjectSafety, kBridgeObjectSafety},
    {__uuidof(IProvideClassInfo), kBridgeProvideClassInfo},
    {__uuidof(IObjectWithSite), kBridgeObjectWithSite},  // while the site lock is on
};

// No two rows share the first field of their IID, so that field alone picks
// the one row an IID can be.
constexpr bool FirstFieldsDiffer()
{
    for (const BridgeInterfaceEntry& a : kInterfaceMap) {
        for (const BridgeInterfaceEntry& b : kInterfaceMap) {
            if (&a != &b && a.iid.Data1 == b.iid.Data1)
                return false;
        }
    }
    return true;
}
static_assert(FirstFieldsDiffer());

// The IID's sixteen bytes, taken eight at a time.
inline UINT64 IidHalf(const IID& iid, size_t half) noexcept
{
    UINT64 v;
    std::memcpy(&v, reinterpret_cast<const BYTE*>(&iid) + half * sizeof v, sizeof v);
    return v;
}

inline bool SameIid(const IID& a, const IID& b) noexcept
{
    return ((IidHalf(a, 0) ^ IidHalf(b, 0)) | (IidHalf(a, 1) ^ IidHalf(b, 1))) == 0;
}

constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

void* AllocateObject(size_t cb) noexcept
{
    return platform::ops().HeapAlloc(::GetProcessHeap(), 0, cb);
}

void FreeObject(void* p) noexcept
{
    HeapBlock<void> block(p);
}

}  // namespace

// ---- shared operations ------------------------------------------------------

// In place in each form's QueryInterface, which a script engine asks for
// interfaces it may use, refused or not, on every call it makes.
[[gnu::always_inline]] inline IUnknown* CInvokerK318Core::FindInterface(REFIID riid, IUnknown* pIdentity) noexcept
{
    for (const BridgeInterfaceEntry& row : kInterfaceMap) {
        if (row.iid.Data1 != riid.Data1)
            continue;
        if (!SameIid(row.iid, riid))
            return nullptr;  // the one row it could have been
        switch (row.which) {
        case kBridgeIdentity:
            return pIdentity;
        case kBridgePrimary:
            return static_cast<IInvokerK318*>(this);
        case kBridgeObjectSafety:
            return static_cast<IObjectSafety*>(this);
        case kBridgeProvideClassInfo:
            return static_cast<IProvideClassInfo*>(this);
        case kBridgeObjectWithSite:
            return m_siteLock.IsOn() ? static_cast<IObjectWithSite*>(this) : nullptr;
        }
    }
    return nullptr;
}

STDMETHODIMP CInvokerK318Core::GetTypeInfoCount(UINT* pctinfo)
{
    return GuardedCall([&] { return GetTypeInfoCountImpl(pctinfo); }, pctinfo);
}

STDMETHODIMP CInvokerK318Core::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo)
{
    return GuardedCall([&] { return GetTypeInfoImpl(iTInfo, lcid, ppTInfo); }, ppTInfo);
}

STDMETHODIMP CInvokerK318Core::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId)
{
    return GuardedCall([&] { return DispatchGetIDsOfNames(rgszNames, cNames, rgDispId); });
}

// Flattened: GetVer's method, which also has its own place in the interface
// table, is done in place on the fast path, in a build optimised for size too.
[[gnu::flatten]] STDMETHODIMP CInvokerK318Core::Invoke(DISPID dispIdMember, REFIID, LCID, WORD,
                                                       DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*,
                                                       UINT* puArgErr)
{
    return GuardedCall([&] {
        return DispatchInvoke(static_cast<IInvokerK318*>(this), dispIdMember, pDispParams, pVarResult, puArgErr);
    });
}

// While the site lock refuses the object, the four methods that reach the hall
// or read the machine answer E_ACCESSDENIED before any of their work (the
// rate limit's tick included); GetVer answers regardless.
STDMETHODIMP CInvokerK318Core::LoadExe(ULONG rid, BSTR ConnStr)
{
    return GuardedCall([&] {
        return m_siteLock.Refuses() ? E_ACCESSDENIED : CInvokerK318Methods::LoadExe(rid, ConnStr);
    });
}

STDMETHODIMP CInvokerK318Core::GetMacAddress(BSTR* bstrText)
{
    return GuardedCall([&] {
        return m_siteLock.Refuses() ? E_ACCESSDENIED : CInvokerK318Methods::GetMacAddress(bstrText);
    }, bstrText);
}

STDMETHODIMP CInvokerK318Core::GetVer(ULONG* ver)
{
    return GuardedCall([&] { return CInvokerK318Methods::GetVer(ver); }, ver);
}

STDMETHODIMP CInvokerK318Core::GetSpReadUserID(BSTR* nUserName)
{
    return GuardedCall([&] {
        return m_siteLock.Refuses() ? E_ACCESSDENIED : CInvokerK318Methods::GetSpReadUserID(nUserName);
    }, nUserName);
}

STDMETHODIMP CInvokerK318Core::RunVideo(ULONG userid, ULONG rid, BSTR ConnStr)
{
    return GuardedCall([&] {
        return m_siteLock.Refuses() ? E_ACCESSDENIED : CInvokerK318Methods::RunVideo(userid, rid, ConnStr);
    });
}

STDMETHODIMP CInvokerK318Core::GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                         DWORD* pdwEnabledOptions)
{
    return GuardedCall([&]() -> HRESULT {
        if (!pdwSupportedOptions || !pdwEnabledOptions)
            return E_POINTER;
        ComRef<IUnknown> offered;
        HRESULT hr = static_cast<IInvokerK318*>(this)->QueryInterface(riid, offered.PutVoid());
        if (SUCCEEDED(hr)) {
            *pdwSupportedOptions = kSupportedSafety;
            *pdwEnabledOptions = m_dwSafetyOptions;
        }
        return hr;
    }, pdwSupportedOptions, pdwEnabledOptions);
}

STDMETHODIMP CInvokerK318Core::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions)
{
    return GuardedCall([&]() -> HRESULT {
        ComRef<IUnknown> offered;
        if (FAILED(static_cast<IInvokerK318*>(this)->QueryInterface(riid, offered.PutVoid())))
            return E_NOINTERFACE;
        if (dwOptionSetMask & ~kSupportedSafety)
            return E_FAIL;
        m_dwSafetyOptions = (m_dwSafetyOptions & ~dwOptionSetMask) | (dwOptionSetMask & dwEnabledOptions);
        return S_OK;
    });
}

STDMETHODIMP CInvokerK318Core::GetClassInfo(ITypeInfo** ppTI)
{
    return GuardedCall([&] { return GetClassTypeInfo(0, ppTI); }, ppTI);
}

STDMETHODIMP CInvokerK318Core::SetSite(IUnknown* pUnkSite)
{
    return GuardedCall([&] { return m_siteLock.SetSite(pUnkSite); });
}

STDMETHODIMP CInvokerK318Core::GetSite(REFIID riid, void** ppvSite)
{
    return GuardedCall([&] { return m_siteLock.GetSite(riid, ppvSite); }, ppvSite);
}

// ---- plain form -------------------------------------------------------------

CInvokerK318::CInvokerK318() noexcept : m_cRef(0)
{
    g_pModule->Lock();
}

CInvokerK318::~CInvokerK318()
{
    g_pModule->Unlock();
}

void CInvokerK318::operator delete(void* p) noexcept
{
    FreeObject(p);
}

STDMETHODIMP CInvokerK318::QueryInterface(REFIID riid, void** ppv)
{
    return GuardedCall([&]() -> HRESULT {
        if (!ppv)
            return E_POINTER;
        IUnknown* pUnk = FindInterface(riid, static_cast<IInvokerK318*>(this));
        if (!pUnk)
            return E_NOINTERFACE;
        AddRef();  // the one count of every interface
        *ppv = pUnk;
        return S_OK;
    }, ppv);
}

STDMETHODIMP_(ULONG) CInvokerK318::AddRef()
{
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CInvokerK318::Release()
{
    const LONG c = --m_cRef;
    return c == 0 ? Destroy() : static_cast<ULONG>(c);
}

ULONG CInvokerK318::Destroy() noexcept
{
    delete this;
    return 0;
}

// ---- aggregated form --------------------------------------------------------

STDMETHODIMP CInvokerK318Contained::QueryInterface(REFIID riid, void** ppv)
{
    return GuardedCall([&] { return m_punkOuter->QueryInterface(riid, ppv); }, ppv);
}

STDMETHODIMP_(ULONG) CInvokerK318Contained::AddRef()
{
    return m_punkOuter->AddRef();
}

STDMETHODIMP_(ULONG) CInvokerK318Contained::Release()
{
    return m_punkOuter->Release();
}

CInvokerK318Aggregate::CInvokerK318Aggregate(IUnknown* pUnkOuter) noexcept : m_cRef(0), m_contained(pUnkOuter)
{
    g_pModule->Lock();
}

CInvokerK318Aggregate::~CInvokerK318Aggregate()
{
    g_pModule->Unlock();
}

void CInvokerK318Aggregate::operator delete(void* p) noexcept
{
    FreeObject(p);
}

STDMETHODIMP CInvokerK318Aggregate::QueryInterface(REFIID riid, void** ppv)
{
    return GuardedCall([&]() -> HRESULT {
        if (!ppv)
            return E_POINTER;
        IUnknown* pUnk = m_contained.FindInterface(riid, this);
        if (!pUnk)
            return E_NOINTERFACE;
        pUnk->AddRef();
        *ppv = pUnk;
        return S_OK;
    }, ppv);
}

STDMETHODIMP_(ULONG) CInvokerK318Aggregate::AddRef()
{
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CInvokerK318Aggregate::Release()
{
    const LONG c = --m_cRef;
    return c == 0 ? Destroy() : static_cast<ULONG>(c);
}

ULONG CInvokerK318Aggregate::Destroy() noexcept
{
    delete this;
    return 0;
}

// ---- creation ---------------------------------------------------------------

HRESULT CreatePlainBridge(REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    void* pMem = AllocateObject(sizeof(CInvokerK318));
    if (!pMem)
        return E_OUTOFMEMORY;
    CInvokerK318* pObj = new (pMem) CInvokerK318();
    HRESULT hr = pObj->m_siteLock.Read();
    if (FAILED(hr)) {
        delete pObj;
        return hr;
    }
    hr = pObj->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        if (*ppv) {
            ComRef<IUnknown> discarded(static_cast<IUnknown*>(*ppv));  // count back to 0 destroys
            *ppv = nullptr;
        } else {
            delete pObj;
        }
        return hr;
    }
    return S_OK;
}

HRESULT CreateAggregatedBridge(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    void* pMem = AllocateObject(sizeof(CInvokerK318Aggregate));
    if (!pMem)
        return E_OUTOFMEMORY;
    CInvokerK318Aggregate* pAgg = new (pMem) CInvokerK318Aggregate(pUnkOuter);
    HRESULT hr = pAgg->m_contained.m_siteLock.Read();
    if (SUCCEEDED(hr))
        hr = pAgg->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        *ppv = nullptr;
        delete pAgg;
        return hr;
    }
    return S_OK;
}

HRESULT CreateBridgeObject(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept
{
    // An aggregate hands its inner object out only as IUnknown; anything else
    // is refused before an object or a module lock is taken.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    return pUnkOuter ? CreateAggregatedBridge(pUnkOuter, riid, ppv) : CreatePlainBridge(riid, ppv);
}
