#include "automation/dispatch.h"

#include "platform/owners.h"
#include "platform/platform.h"
#include "text/errors.h"

const wchar_t* const g_rgszMemberNames[5] = {
    L"LoadExe", L"GetMacAddress", L"GetVer", L"GetSpReadUserID", L"RunVideo",
};
const DISPID g_rgdispidMembers[5] = {1, 2, 3, 4, 5};

namespace {

constexpr DISPID DISPID_LOADEXE = 1;
constexpr DISPID DISPID_GETMACADDRESS = 2;
constexpr DISPID DISPID_GETVER = 3;
constexpr DISPID DISPID_GETSPREADUSERID = 4;
constexpr DISPID DISPID_RUNVIDEO = 5;
constexpr UINT MAX_ARGS = 3;

// Arguments each member takes, indexed by DISPID.
constexpr UINT g_rgcArgs[6] = {0, 2, 0, 0, 0, 3};

inline wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

bool NamesEqual(const wchar_t* pszName, const wchar_t* pszMember) noexcept
{
    for (;; ++pszName, ++pszMember) {
        const wchar_t a = FoldAscii(*pszName);
        if (a != FoldAscii(*pszMember))
            return false;
        if (a == L'\0')
            return true;
    }
}

// The member names all differ in length, so the length alone picks the one
// row a name can match; -1 when none can.
int CandidateRow(const wchar_t* pszName) noexcept
{
    UINT cch = 0;
    while (cch < 16 && pszName[cch] != L'\0')
        ++cch;
    switch (cch) {
    case 7: return 0;   // LoadExe
    case 13: return 1;  // GetMacAddress
    case 6: return 2;   // GetVer
    case 15: return 3;  // GetSpReadUserID
    case 8: return 4;   // RunVideo
    default: return -1;
    }
}

bool IsPassThroughInteger(VARTYPE vt) noexcept
{
    switch (vt) {
    case VT_I1: case VT_UI1:
    case VT_I2: case VT_UI2: case VT_BOOL:
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_HRESULT:
    case VT_I8: case VT_UI8:
        return true;
    default:
        return false;
    }
}

// The 32-bit value of an argument that CoerceArgument has left as (or made)
// a pass-through integer: read at its own width, zero-extended.
ULONG ReadInteger(const VARIANTARG& v) noexcept
{
    switch (v.vt) {
    case VT_I1: case VT_UI1:
        return v.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL:
        return v.uiVal;
    case VT_I8: case VT_UI8:
        return static_cast<ULONG>(v.ullVal & 0xFFFFFFFFu);
    default:
        return v.ulVal;
    }
}

// The parameter block is there and holds no more arguments than any member takes.
HRESULT CheckParameters(const DISPPARAMS* pDispParams) noexcept
{
    if (pDispParams == nullptr)
        return DISP_E_BADVARTYPE;
    if (pDispParams->cArgs > MAX_ARGS)
        return DISP_E_BADPARAMCOUNT;
    if (pDispParams->cArgs != 0 && pDispParams->rgvarg == nullptr)
        return E_INVALIDARG;
    return S_OK;
}

// No argument is named but a property put's; the member exists and takes
// exactly the arguments given.
HRESULT CheckMember(DISPID dispIdMember, const DISPPARAMS* pDispParams) noexcept
{
    if (pDispParams->cNamedArgs != 0) {
        if (pDispParams->cNamedArgs != 1 || pDispParams->rgdispidNamedArgs == nullptr ||
            pDispParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_NONAMEDARGS;
    }
    if (dispIdMember < DISPID_LOADEXE || dispIdMember > DISPID_RUNVIDEO)
        return DISP_E_MEMBERNOTFOUND;
    if (pDispParams->cArgs != g_rgcArgs[dispIdMember])
        return DISP_E_BADPARAMCOUNT;
    return S_OK;
}

// Brings every argument to its parameter's type. Parameter order is highest
// index first; the text parameter, where a member has one, is always last,
// that is rgvarg[0].
HRESULT CoerceArguments(DISPPARAMS* pDispParams, VARIANTARG** rgpArgs, UINT* puArgErr) noexcept
{
    VARIANTARG varScratch;  // made empty by CoerceArgument before use
    for (UINT i = pDispParams->cArgs; i-- > 0;) {
        const VARTYPE vtTarget = (i == 0) ? VT_BSTR : VT_I4;
        VARIANTARG* pArg = &pDispParams->rgvarg[i];
        if (pArg->vt != vtTarget && FAILED(CoerceArgument(&pArg, &varScratch, vtTarget))) {
            if (puArgErr != nullptr)
                *puArgErr = i;
            return DISP_E_TYPEMISMATCH;
        }
        rgpArgs[i] = pArg;
    }
    return S_OK;
}

// Calls the member through the interface table and stores its result.
HRESULT CallMember(IInvokerK318* pTarget, DISPID dispIdMember, VARIANTARG* const* rgpArgs, VARIANT* pVarResult)
{
    switch (dispIdMember) {
    case DISPID_LOADEXE:
        return pTarget->LoadExe(ReadInteger(*rgpArgs[1]), rgpArgs[0]->bstrVal);
    case DISPID_RUNVIDEO:
        return pTarget->RunVideo(ReadInteger(*rgpArgs[2]), ReadInteger(*rgpArgs[1]), rgpArgs[0]->bstrVal);
    case DISPID_GETVER: {
        ULONG ulVer = 0;
        const HRESULT hr = pTarget->GetVer(&ulVer);
        if (pVarResult != nullptr) {
            pVarResult->vt = VT_I4;
            pVarResult->lVal = static_cast<LONG>(ulVer);
        }
        return hr;
    }
    default: {
        BstrOwner text;
        const HRESULT hr = (dispIdMember == DISPID_GETMACADDRESS) ? pTarget->GetMacAddress(text.Put())
                                                                  : pTarget->GetSpReadUserID(text.Put());
        if (pVarResult != nullptr) {
            pVarResult->vt = VT_BSTR;
            pVarResult->bstrVal = text.Detach();  // the caller owns it from here
        }
        return hr;
    }
    }
}

HRESULT InvokeMember(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
                     VARIANT* pVarResult, UINT* puArgErr)
{
    HRESULT hr = CheckParameters(pDispParams);
    if (FAILED(hr))
        return hr;
    if (pVarResult != nullptr)
        pVarResult->vt = VT_EMPTY;  // as VariantInit, without a call into the platform
    hr = CheckMember(dispIdMember, pDispParams);
    if (FAILED(hr))
        return hr;
    VARIANTARG* rgpArgs[MAX_ARGS] = {};
    hr = CoerceArguments(pDispParams, rgpArgs, puArgErr);
    if (FAILED(hr))
        return hr;
    return CallMember(pTarget, dispIdMember, rgpArgs, pVarResult);
}

}  // namespace

HRESULT DispatchGetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) noexcept
{
    if (cNames == 0)
        return S_OK;
    if (rgDispId == nullptr)
        return E_INVALIDARG;
    if (rgszNames == nullptr)
        return DISP_E_UNKNOWNNAME;
    for (UINT i = 0; i < cNames; ++i) {
        const wchar_t* pszName = rgszNames[i];
        if (pszName == nullptr)
            return DISP_E_UNKNOWNNAME;
        const int row = CandidateRow(pszName);
        if (row < 0 || !NamesEqual(pszName, g_rgszMemberNames[row]))
            return DISP_E_UNKNOWNNAME;
        rgDispId[i] = g_rgdispidMembers[row];
    }
    return S_OK;
}

HRESULT DispatchInvoke(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, UINT* puArgErr)
{
    return InvokeMember(pTarget, dispIdMember, pDispParams, pVarResult, puArgErr);
}

HRESULT CoerceArgument(VARIANTARG** ppvarArg, VARIANTARG* pvarScratch, VARTYPE vtTarget)
{
    VARIANTARG* pArg = *ppvarArg;
    if (pArg->vt == (VT_BYREF | VT_VARIANT)) {
        // A reference that points nowhere cannot be read.
        if (pArg->pvarVal == nullptr)
            return DISP_E_TYPEMISMATCH;
        pArg = pArg->pvarVal;
        *ppvarArg = pArg;
    }
    if (pArg->vt & VT_BYREF)
        return DISP_E_TYPEMISMATCH;
    if (vtTarget == VT_I4 && IsPassThroughInteger(pArg->vt))
        return S_OK;

    VariantInit(pvarScratch);
    const HRESULT hr = platform::ops().VariantChangeType(pvarScratch, pArg, 0, vtTarget);
    if (FAILED(hr))
        return hr;
    VariantClear(pArg);
    *pArg = *pvarScratch;  // the converted value now belongs to the argument
    return hr;
}
