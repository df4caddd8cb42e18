#include "automation/dispatch.h"

#include <cstring>

#include "platform/owners.h"
#include "platform/platform.h"
#include "text/errors.h"

namespace {

constexpr wchar_t g_szLoadExe[] = L"LoadExe";
constexpr wchar_t g_szGetMacAddress[] = L"GetMacAddress";
constexpr wchar_t g_szGetVer[] = L"GetVer";
constexpr wchar_t g_szGetSpReadUserID[] = L"GetSpReadUserID";
constexpr wchar_t g_szRunVideo[] = L"RunVideo";

constexpr DISPID DISPID_GETMACADDRESS = 2;
constexpr DISPID DISPID_GETSPREADUSERID = 4;
constexpr UINT MAX_ARGS = 3;

}  // namespace

const wchar_t* const g_rgszMemberNames[5] = {
    g_szLoadExe, g_szGetMacAddress, g_szGetVer, g_szGetSpReadUserID, g_szRunVideo,
};
const DISPID g_rgdispidMembers[5] = {
    DISPID_LOADEXE, DISPID_GETMACADDRESS, DISPID_GETVER, DISPID_GETSPREADUSERID, DISPID_RUNVIDEO,
};

namespace {

// Arguments each member takes, indexed by DISPID.
constexpr UINT g_rgcArgs[6] = {0, 2, 0, 0, 0, 3};

// The member names with every letter in lower case. Each name is letters
// only, and for a letter m a 16-bit unit c has (c | 0x20) == lower(m) exactly
// when c is m in either case: FoldedEqual compares four units at a time that
// way, which is the same as folding ASCII letters and comparing every other
// character exactly.
constexpr wchar_t g_szLoadExeLower[] = L"loadexe";
constexpr wchar_t g_szGetMacAddressLower[] = L"getmacaddress";
constexpr wchar_t g_szGetVerLower[] = L"getver";
constexpr wchar_t g_szGetSpReadUserIDLower[] = L"getspreaduserid";
constexpr wchar_t g_szRunVideoLower[] = L"runvideo";

// True when pszName is ASCII letters only and pszLower is the same name in
// lower case.
constexpr bool IsLettersInLowerCase(const wchar_t* pszName, const wchar_t* pszLower)
{
    for (;; ++pszName, ++pszLower) {
        const wchar_t c = *pszName;
        if (c == L'\0' || *pszLower == L'\0')
            return c == *pszLower;
        const bool fUpper = c >= L'A' && c <= L'Z';
        if (!fUpper && !(c >= L'a' && c <= L'z'))
            return false;
        if (*pszLower != (fUpper ? static_cast<wchar_t>(c + (L'a' - L'A')) : c))
            return false;
    }
}
static_assert(IsLettersInLowerCase(g_szLoadExe, g_szLoadExeLower));
static_assert(IsLettersInLowerCase(g_szGetMacAddress, g_szGetMacAddressLower));
static_assert(IsLettersInLowerCase(g_szGetVer, g_szGetVerLower));
static_assert(IsLettersInLowerCase(g_szGetSpReadUserID, g_szGetSpReadUserIDLower));
static_assert(IsLettersInLowerCase(g_szRunVideo, g_szRunVideoLower));

constexpr UINT64 kCaseBits = 0x0020002000200020ull;

inline UINT64 FourUnits(const wchar_t* p) noexcept
{
    UINT64 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first cch units of pszName against the lower-case member name pszLower
// of that length; cch >= 4, and pszName has no terminator before cch.
inline bool FoldedEqual(const wchar_t* pszName, const wchar_t* pszLower, UINT cch) noexcept
{
    UINT i = 0;
    for (; i + 4 < cch; i += 4) {
        if ((FourUnits(pszName + i) | kCaseBits) != FourUnits(pszLower + i))
            return false;
    }
    // The last four units, overlapping the block before where cch is not a multiple of four.
    return (FourUnits(pszName + cch - 4) | kCaseBits) == FourUnits(pszLower + cch - 4);
}

// The member names all differ in length, so the length alone picks the one
// row a name can match; -1 when none can. *ppszLower receives that row's name
// in lower case, *pcch the length.
inline int CandidateRow(const wchar_t* pszName, const wchar_t** ppszLower, UINT* pcch) noexcept
{
    UINT cch = 0;
    while (cch < 16 && pszName[cch] != L'\0')
        ++cch;
    *pcch = cch;
    switch (cch) {
    case 7: *ppszLower = g_szLoadExeLower; return 0;
    case 13: *ppszLower = g_szGetMacAddressLower; return 1;
    case 6: *ppszLower = g_szGetVerLower; return 2;
    case 15: *ppszLower = g_szGetSpReadUserIDLower; return 3;
    case 8: *ppszLower = g_szRunVideoLower; return 4;
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

// GetMacAddress or GetSpReadUserID through the interface table; the text
// they give stored as VT_BSTR, or freed when there is no result.
HRESULT CallTextMember(IInvokerK318* pTarget, DISPID dispIdMember, VARIANT* pVarResult)
{
    BstrOwner text;
    const HRESULT hr = (dispIdMember == DISPID_GETMACADDRESS) ? pTarget->GetMacAddress(text.Put())
                                                              : pTarget->GetSpReadUserID(text.Put());
    if (pVarResult != nullptr) {
        pVarResult->vt = VT_BSTR;
        pVarResult->bstrVal = text.Detach();  // the caller owns it from here
    }
    return hr;
}

// Calls the member through the interface table and stores its result.
HRESULT CallMember(IInvokerK318* pTarget, DISPID dispIdMember, VARIANTARG* const* rgpArgs, VARIANT* pVarResult)
{
    switch (dispIdMember) {
    case DISPID_LOADEXE:
        return pTarget->LoadExe(ReadInteger(*rgpArgs[1]), rgpArgs[0]->bstrVal);
    case DISPID_RUNVIDEO:
        return pTarget->RunVideo(ReadInteger(*rgpArgs[2]), ReadInteger(*rgpArgs[1]), rgpArgs[0]->bstrVal);
    case DISPID_GETVER:
        return DispatchGetVer(pTarget, pVarResult);
    default:
        return CallTextMember(pTarget, dispIdMember, pVarResult);
    }
}

// Every check in its order, the coercion and the call.
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
        const wchar_t* pszLower = nullptr;
        UINT cch = 0;
        const int row = CandidateRow(pszName, &pszLower, &cch);
        if (row < 0 || !FoldedEqual(pszName, pszLower, cch))
            return DISP_E_UNKNOWNNAME;
        rgDispId[i] = g_rgdispidMembers[row];
    }
    return S_OK;
}

HRESULT DispatchInvokeMember(IInvokerK318* pTarget, DISPID dispIdMember, DISPPARAMS* pDispParams,
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
