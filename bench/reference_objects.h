// Two stand-ins for the bridge object whose IDispatch is the platform's own
// type-information-driven dispatch, for comparison with our hand-written one.
// Both implement IInvokerK318's five methods as cheaply as ours behave when
// nothing is there to receive a request: GetVer stores 1, LoadExe and RunVideo
// answer S_FALSE (a refused request), the two text methods return no text.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "tarnwick_h.h"

// The five methods; IUnknown and IDispatch are left to the forms below.
class CCheapInvoker : public IInvokerK318 {
public:
    virtual ~CCheapInvoker() = default;
    STDMETHODIMP LoadExe(ULONG rid, BSTR ConnStr) override;
    STDMETHODIMP GetMacAddress(BSTR* bstrText) override;
    STDMETHODIMP GetVer(ULONG* ver) override;
    STDMETHODIMP GetSpReadUserID(BSTR* nUserName) override;
    STDMETHODIMP RunVideo(ULONG userid, ULONG rid, BSTR ConnStr) override;
};

// The IDispatch comes from CreateStdDispatch: this object is the controlling
// unknown, the standard dispatch object aggregated inside it calls the
// methods of m_inner through the interface table described by the type info.
class CStdDispatchInvoker final : public IUnknown {
public:
    CStdDispatchInvoker() noexcept;
    ~CStdDispatchInvoker();
    HRESULT Init(ITypeInfo* pInterfaceInfo);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

private:
    class Inner final : public CCheapInvoker {
    public:
        explicit Inner(CStdDispatchInvoker* pOuter) noexcept : m_pOuter(pOuter) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pOuter->QueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return m_pOuter->AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return m_pOuter->Release(); }
        STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
        STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override;
        STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
        STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override;
        CStdDispatchInvoker* m_pOuter;
    };

    LONG m_cRef;
    Inner m_inner;
    IUnknown* m_punkStdDispatch;
};

// The IDispatch methods are our own but forward to DispGetIDsOfNames and
// DispInvoke (that is, ITypeInfo::GetIDsOfNames and ITypeInfo::Invoke).
class CTypeInfoInvoker final : public CCheapInvoker {
public:
    explicit CTypeInfoInvoker(ITypeInfo* pInterfaceInfo) noexcept;
    ~CTypeInfoInvoker();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

private:
    LONG m_cRef;
    ITypeInfo* m_pTypeInfo;
};

// The TKIND_INTERFACE type info of IInvokerK318 from the type library inside
// the DLL at pszDllPath (the interface half of the dual interface, which is
// what drives calls through the table).
HRESULT LoadInvokerTypeInfo(const wchar_t* pszDllPath, ITypeInfo** ppInterfaceInfo);

// The least an IDispatch can do for a script's o.GetVer(): GetIDsOfNames
// answers 3 for "GetVer" (compared without regard to case) and Invoke stores
// VT_I4 1, with no checks at all. Only used from script, to show how much of
// a call's cost belongs to the engine itself.
class CFloorDispatch final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* pVarResult, EXCEPINFO*, UINT*) override;
};
