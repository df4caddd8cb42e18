// The late-bound half of the bridge object's IDispatch: the member name table,
// GetIDsOfNames and Invoke. The COM identity forwards its IDispatch methods
// here; riid, lcid, wFlags and pExcepInfo are not needed and are not passed.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "tarnwick_h.h"

// The five members, in the order GetIDsOfNames compares them.
extern const wchar_t* const g_rgszMemberNames[5];
extern const DISPID g_rgdispidMembers[5];

// Looks each name up in the member table (ASCII letters compared without
// regard to case, every other character exactly). Stops at the first unknown
// name with DISP_E_UNKNOWNNAME; the entries before it have been written.
HRESULT DispatchGetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) noexcept;

// The DISPIDs of the calls Invoke takes straight away, the ones
// g_rgdispidMembers gives them.
constexpr DISPID DISPID_LOADEXE = 1;
constexpr DISPID DISPID_GETVER = 3;
constexpr DISPID DISPID_RUNVIDEO = 5;

// Checks the parameter block, coerces the arguments in place and calls the
// member through pTarget's interface table. Catches nothing: the caller's
// Invoke is the barrier.
HRESULT DispatchInvokeMember(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
                             VARIANT* pVarResult, UINT* puArgErr);

// Calls GetVer through pTarget's interface table and stores its value as VT_I4.
inline HRESULT DispatchGetVer(IInvokerK318* pTarget, VARIANT* pVarResult)
{
    ULONG ulVer = 0;
    const HRESULT hr = pTarget->GetVer(&ulVer);
    if (pVarResult != nullptr) {
        pVarResult->vt = VT_I4;
        pVarResult->lVal = static_cast<LONG>(ulVer);
    }
    return hr;
}

// DispatchInvokeMember, with the calls a page makes most taken here: GetVer
// with no argument, and LoadExe and RunVideo with each argument already of its
// parameter's type; none named. Every check of the full path passes for them
// and there is nothing to coerce. Inline, so that an object calling it on
// itself, whose methods are final, calls them directly.
inline HRESULT DispatchInvoke(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
                              VARIANT* pVarResult, UINT* puArgErr)
{
    if (pDispParams != nullptr && pDispParams->cNamedArgs == 0) {
        const UINT cArgs = pDispParams->cArgs;
        const VARIANTARG* rgvarg = pDispParams->rgvarg;
        if (dispIdMember == DISPID_GETVER && cArgs == 0) {
            if (pVarResult != nullptr)
                pVarResult->vt = VT_EMPTY;  // what the member sees, as on the full path
            return DispatchGetVer(pTarget, pVarResult);
        }
        if (rgvarg != nullptr) {
            if (dispIdMember == DISPID_LOADEXE && cArgs == 2 && rgvarg[1].vt == VT_I4 && rgvarg[0].vt == VT_BSTR) {
                if (pVarResult != nullptr)
                    pVarResult->vt = VT_EMPTY;
                return pTarget->LoadExe(rgvarg[1].ulVal, rgvarg[0].bstrVal);
            }
            if (dispIdMember == DISPID_RUNVIDEO && cArgs == 3 && rgvarg[2].vt == VT_I4 && rgvarg[1].vt == VT_I4 &&
                rgvarg[0].vt == VT_BSTR) {
                if (pVarResult != nullptr)
                    pVarResult->vt = VT_EMPTY;
                return pTarget->RunVideo(rgvarg[2].ulVal, rgvarg[1].ulVal, rgvarg[0].bstrVal);
            }
        }
    }
    return DispatchInvokeMember(pTarget, dispIdMember, pDispParams, pVarResult, puArgErr);
}

// Brings one argument to vtTarget (VT_I4 or VT_BSTR). *ppvarArg may be
// redirected to the VARIANT that a VT_BYREF | VT_VARIANT argument refers to;
// a conversion replaces the argument in place. pvarScratch is working space.
HRESULT CoerceArgument(VARIANTARG** ppvarArg, VARIANTARG* pvarScratch, VARTYPE vtTarget);
