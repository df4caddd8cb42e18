// The bridge object CInvokerK318: its COM identity, reference counting,
// creation alone or inside an aggregate, script safety, class information and
// the site lock.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <new>

#include "automation/site_lock.h"
#include "tarnwick_h.h"

// The operations every form shares; the IUnknown operations belong to the form.
class CInvokerK318Core : public IInvokerK318, public IObjectSafety, public IProvideClassInfo, public IObjectWithSite {
public:
    CInvokerK318Core() noexcept : m_dwSafetyOptions(0) {}
    virtual ~CInvokerK318Core() = default;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    // IInvokerK318. Final: every form answers them alike, and Invoke, calling
    // them on the object itself, may call them directly.
    STDMETHODIMP LoadExe(ULONG rid, BSTR ConnStr) final;
    STDMETHODIMP GetMacAddress(BSTR* bstrText) final;
    STDMETHODIMP GetVer(ULONG* ver) final;
    STDMETHODIMP GetSpReadUserID(BSTR* nUserName) final;
    STDMETHODIMP RunVideo(ULONG userid, ULONG rid, BSTR ConnStr) final;
    // IObjectSafety
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                           DWORD* pdwEnabledOptions) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) override;
    // IProvideClassInfo
    STDMETHODIMP GetClassInfo(ITypeInfo** ppTI) override;
    // IObjectWithSite, offered while the site lock is on
    STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;

    // The interface pointer of the interface table's row equal to riid
    // (pIdentity for IUnknown), or null (also for IObjectWithSite while the
    // site lock is off). Defined beside the forms' QueryInterface, its only
    // callers.
    inline IUnknown* FindInterface(REFIID riid, IUnknown* pIdentity) noexcept;

    DWORD m_dwSafetyOptions;
    CSiteLock m_siteLock;  // read as the object is made
};

// The plain form: one object with its own reference count.
class CInvokerK318 final : public CInvokerK318Core {
public:
    CInvokerK318() noexcept;
    ~CInvokerK318() override;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    static void* operator new(size_t, void* p) noexcept { return p; }
    static void operator delete(void* p) noexcept;

    LONG m_cRef;

private:
    // The last Release: destroys the object, and answers 0. Out of line, so
    // that every other Release is only the count.
    [[gnu::noinline]] ULONG Destroy() noexcept;
};

// The object inside an aggregate: its IUnknown operations go to the outer object.
class CInvokerK318Contained final : public CInvokerK318Core {
public:
    explicit CInvokerK318Contained(IUnknown* pUnkOuter) noexcept : m_punkOuter(pUnkOuter) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    IUnknown* m_punkOuter;  // no reference held
};

// The aggregated form: the non-delegating IUnknown that the outer object holds.
class CInvokerK318Aggregate final : public IUnknown {
public:
    explicit CInvokerK318Aggregate(IUnknown* pUnkOuter) noexcept;
    virtual ~CInvokerK318Aggregate();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    static void* operator new(size_t, void* p) noexcept { return p; }
    static void operator delete(void* p) noexcept;

    LONG m_cRef;
    CInvokerK318Contained m_contained;

private:
    // The last Release: destroys the object, and answers 0. Out of line, so
    // that every other Release is only the count.
    [[gnu::noinline]] ULONG Destroy() noexcept;
};

HRESULT CreateBridgeObject(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept;
HRESULT CreatePlainBridge(REFIID riid, void** ppv) noexcept;
HRESULT CreateAggregatedBridge(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept;
