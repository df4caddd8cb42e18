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

// Checks the parameter block, coerces the arguments in place and calls the
// member through pTarget's interface table. Catches nothing: the caller's
// Invoke is the barrier.
HRESULT DispatchInvoke(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, UINT* puArgErr);

// Brings one argument to vtTarget (VT_I4 or VT_BSTR). *ppvarArg may be
// redirected to the VARIANT that a VT_BYREF | VT_VARIANT argument refers to;
// a conversion replaces the argument in place. pvarScratch is working space.
HRESULT CoerceArgument(VARIANTARG** ppvarArg, VARIANTARG* pvarScratch, VARTYPE vtTarget);
