// Invoke fuzz: seeded random IDispatch::Invoke and GetIDsOfNames calls on
// objects of the built library, with every argument type the platform knows,
// by value, by reference and as arrays, odd names and null pointers. The
// caller owns its arguments and cleans them up after every call; at the end
// the heaps must be back where they were after the warm-up, every reference
// handed to the library returned, and DllCanUnloadNow S_OK.
//
// Usage: stress_invoke_fuzz [--seed N] [--calls M]   (run with OANOCACHE=1)

#include "stress/stress_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using stress::CountedObject;
using stress::Rng;

CountedObject g_object;  // handed out as VT_DISPATCH and VT_UNKNOWN

const wchar_t* const kMembers[] = {L"LoadExe", L"GetMacAddress", L"GetVer", L"GetSpReadUserID", L"RunVideo"};

// Storage behind a by-reference argument; the caller frees what it holds.
struct Slot {
    VARTYPE vt = VT_EMPTY;  // the type pointed to (with VT_ARRAY for arrays)
    union {
        LONGLONG ll;
        double dbl;
        CY cy;
        DECIMAL dec;
        BSTR bstr;
        IUnknown* punk;
        IDispatch* pdisp;
        SAFEARRAY* psa;
    } raw;
    VARIANT var;
};

BSTR RandomBstr(Rng& rng)
{
    switch (rng.Below(10)) {
    case 0:
        return nullptr;
    case 1:
        return SysAllocString(L"");
    case 2: {
        static const wchar_t* const kNumbers[] = {L"12", L"-5", L"1e3", L" 7 ", L"4294967295", L"0x10", L"99999999999"};
        return SysAllocString(kNumbers[rng.Below(7)]);
    }
    case 3:
        if (rng.OneIn(2000)) {
            BSTR b = SysAllocStringLen(nullptr, 1u << 19);  // 1 MB of text
            if (b != nullptr)
                for (UINT i = 0; i < (1u << 19); ++i)
                    b[i] = static_cast<wchar_t>(L'a' + i % 26);
            return b;
        }
        [[fallthrough]];
    default: {
        const UINT cch = rng.Below(40);
        BSTR b = SysAllocStringLen(nullptr, cch);
        if (b != nullptr)
            for (UINT i = 0; i < cch; ++i) {
                const uint32_t r = rng.Below(8);
                b[i] = r == 0 ? L'\0' : r == 1 ? static_cast<wchar_t>(0x4E00 + rng.Below(0x5000))
                                              : static_cast<wchar_t>(L' ' + rng.Below(95));
            }
        return b;
    }
    }
}

bool ArrayableType(VARTYPE vt)
{
    return vt != VT_EMPTY && vt != VT_NULL;
}

SAFEARRAY* RandomArray(Rng& rng, VARTYPE vt)
{
    const ULONG n = rng.Below(5);
    SAFEARRAY* psa = SafeArrayCreateVector(vt, 0, n);
    if (psa == nullptr)
        return nullptr;
    for (LONG i = 0; i < static_cast<LONG>(n); ++i) {
        if (vt == VT_BSTR) {
            BSTR b = RandomBstr(rng);
            SafeArrayPutElement(psa, &i, b);  // copies
            SysFreeString(b);
        } else if (vt == VT_VARIANT) {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_BSTR;
            v.bstrVal = RandomBstr(rng);
            SafeArrayPutElement(psa, &i, &v);
            VariantClear(&v);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            SafeArrayPutElement(psa, &i, static_cast<IDispatch*>(&g_object));  // adds a reference
        } else {
            LONGLONG bits[2] = {static_cast<LONGLONG>(rng.Next()), 0};
            if (vt == VT_BOOL)
                bits[0] = rng.OneIn(2) ? VARIANT_TRUE : VARIANT_FALSE;
            else if (vt == VT_DECIMAL)
                bits[0] = static_cast<LONGLONG>(rng.Next() & 0xFFFFFFFF00000000ull);  // scale 0, sign 0
            else if (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE) {
                const double d = static_cast<double>(static_cast<int32_t>(rng.Next())) / 7.0;
                const float f = static_cast<float>(d);
                if (vt == VT_R4)
                    std::memcpy(bits, &f, sizeof f);
                else
                    std::memcpy(bits, &d, sizeof d);
            }
            SafeArrayPutElement(psa, &i, bits);
        }
    }
    return psa;
}

// Scalar value bits for a base type, written into raw.
void RandomScalar(Rng& rng, VARTYPE vt, Slot& s)
{
    std::memset(&s.raw, 0, sizeof s.raw);
    switch (vt) {
    case VT_R4: {
        const float f = static_cast<float>(static_cast<int32_t>(rng.Next())) / 3.0f;
        std::memcpy(&s.raw, &f, sizeof f);
        break;
    }
    case VT_R8: case VT_DATE:
        s.raw.dbl = rng.OneIn(4) ? 1e308 : static_cast<double>(static_cast<int32_t>(rng.Next())) / 3.0;
        break;
    case VT_BOOL:
        s.raw.ll = rng.OneIn(2) ? VARIANT_TRUE : static_cast<SHORT>(rng.Next());
        break;
    case VT_DECIMAL:
        s.raw.dec.scale = static_cast<BYTE>(rng.Below(30));  // above 28 is invalid on purpose
        s.raw.dec.sign = rng.OneIn(2) ? DECIMAL_NEG : 0;
        s.raw.dec.Hi32 = rng.OneIn(3) ? static_cast<ULONG>(rng.Next()) : 0;
        s.raw.dec.Lo64 = rng.Next() >> rng.Below(64);
        break;
    default:
        s.raw.ll = static_cast<LONGLONG>(rng.Next() >> rng.Below(64));
        break;
    }
}

// One argument: a value, a reference to storage in slot, or an array.
void MakeArg(Rng& rng, VARIANT& v, Slot& s)
{
    VariantInit(&v);
    s.vt = VT_EMPTY;
    VariantInit(&s.var);
    if (rng.OneIn(60)) {  // a type the platform does not know, with no payload
        v.vt = static_cast<VARTYPE>(24 + rng.Below(0x1000));
        v.vt &= static_cast<VARTYPE>(~(VT_BYREF | VT_ARRAY | VT_VECTOR | VT_RESERVED));
        if (v.vt == VT_RECORD || v.vt == VT_VARIANT || v.vt <= VT_UINT)
            v.vt = VT_EMPTY;
        return;
    }
    VARTYPE vt = static_cast<VARTYPE>(rng.Below(VT_UINT + 1));
    if (vt == 15)  // no type has this number
        vt = VT_I4;
    const uint32_t form = rng.Below(8);  // 0-4 value, 5-6 reference, 7 array
    if (vt == VT_VARIANT && form < 5)
        vt = VT_BSTR;  // a variant is only held by reference or in an array
    if (form == 7 && ArrayableType(vt)) {
        SAFEARRAY* psa = RandomArray(rng, vt);
        if (psa == nullptr)
            return;
        if (rng.OneIn(2)) {
            v.vt = VT_ARRAY | vt;
            v.parray = psa;
        } else {
            s.vt = VT_ARRAY | vt;
            s.raw.psa = psa;
            v.vt = VT_BYREF | VT_ARRAY | vt;
            v.pparray = &s.raw.psa;
        }
        return;
    }
    const bool byRef = form >= 5;
    Slot local;
    Slot& target = byRef ? s : local;
    switch (vt) {
    case VT_BSTR:
        target.raw.bstr = RandomBstr(rng);
        break;
    case VT_DISPATCH: case VT_UNKNOWN:
        target.raw.pdisp = rng.OneIn(6) ? nullptr : &g_object;
        if (target.raw.pdisp != nullptr)
            g_object.AddRef();
        break;
    case VT_VARIANT:
        // a variant holding a value or nothing
        if (!rng.OneIn(8)) {
            target.var.vt = rng.OneIn(2) ? VT_BSTR : VT_I4;
            if (target.var.vt == VT_BSTR)
                target.var.bstrVal = RandomBstr(rng);
            else
                target.var.lVal = static_cast<LONG>(rng.Next());
        }
        break;
    default:
        RandomScalar(rng, vt, target);
        break;
    }
    if (byRef) {
        s.vt = vt;
        v.vt = VT_BYREF | vt;
        v.byref = (vt == VT_VARIANT) ? static_cast<void*>(&s.var) : static_cast<void*>(&s.raw);
        if (rng.OneIn(40) && vt == VT_VARIANT) {
            v.pvarVal = nullptr;  // a reference that points nowhere
            VariantClear(&s.var);
        }
        return;
    }
    if (vt == VT_DECIMAL) {
        v.decVal = local.raw.dec;
    } else if (vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN) {
        v.byref = local.raw.bstr;  // the pointer members share their place
    } else {
        std::memcpy(&v.llVal, &local.raw, sizeof v.llVal);
    }
    v.vt = vt;
}

void FreeSlot(Slot& s)
{
    if (s.vt & VT_ARRAY) {
        if (s.raw.psa != nullptr)
            SafeArrayDestroy(s.raw.psa);
    } else if (s.vt == VT_BSTR) {
        SysFreeString(s.raw.bstr);
    } else if (s.vt == VT_DISPATCH || s.vt == VT_UNKNOWN) {
        if (s.raw.punk != nullptr)
            s.raw.punk->Release();
    }
    VariantClear(&s.var);
    s.vt = VT_EMPTY;
}

struct Figures {
    uint64_t invokes = 0, names = 0, wrong = 0;
};

void Wrong(Figures& f, uint64_t call, const char* what, HRESULT hr)
{
    if (++f.wrong <= 10)
        std::printf("  wrong answer at call %llu: %s (hr 0x%08lX)\n", static_cast<unsigned long long>(call), what,
                    static_cast<unsigned long>(hr));
}

void OneInvoke(Rng& rng, IDispatch* pDisp, Figures& f, uint64_t call)
{
    static const DISPID kIds[] = {1, 2, 3, 4, 5, 0, -1, DISPID_PROPERTYPUT, DISPID_NEWENUM, 6};
    const DISPID id = rng.OneIn(8) ? static_cast<DISPID>(rng.Next()) : kIds[rng.Below(10)];
    const WORD wFlags = static_cast<WORD>(rng.Below(16));
    static const UINT kCounts[] = {0, 0, 2, 2, 3, 3, 1, 4, 5, 6, 7, 8};
    const UINT cArgs = kCounts[rng.Below(12)];

    VARIANT rgv[8];
    Slot slots[8];
    for (UINT i = 0; i < cArgs; ++i)
        MakeArg(rng, rgv[i], slots[i]);
    DISPID rgNamed[8];
    DISPPARAMS dp = {cArgs ? rgv : nullptr, nullptr, cArgs, 0};
    if (cArgs != 0 && rng.OneIn(6)) {
        dp.cNamedArgs = 1 + rng.Below(cArgs);
        for (UINT i = 0; i < dp.cNamedArgs; ++i)
            rgNamed[i] = rng.OneIn(2) ? DISPID_PROPERTYPUT : static_cast<DISPID>(rng.Below(8));
        dp.rgdispidNamedArgs = rng.OneIn(5) ? nullptr : rgNamed;
    }
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO ei;
    std::memset(&ei, 0, sizeof ei);
    UINT uArgErr = 0xDEADu;
    const bool wantResult = !rng.OneIn(4);
    const bool wantExcep = rng.OneIn(2);
    const bool wantArgErr = rng.OneIn(2);
    const HRESULT hr = pDisp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, wFlags, rng.OneIn(100) ? nullptr : &dp,
                                     wantResult ? &result : nullptr, wantExcep ? &ei : nullptr,
                                     wantArgErr ? &uArgErr : nullptr);
    ++f.invokes;

    if (SUCCEEDED(hr) && (id < 1 || id > 5))
        Wrong(f, call, "a member that does not exist answered", hr);
    if (FAILED(hr) && wantResult && result.vt != VT_EMPTY && !(result.vt == VT_BSTR && result.bstrVal == nullptr))
        Wrong(f, call, "a failed call left a value in the result", hr);
    if (hr == S_OK && wantResult && id == 3 && !(result.vt == VT_I4 && result.lVal == 1))
        Wrong(f, call, "GetVer is not 1", hr);
    if (hr == S_OK && wantResult && (id == 2 || id == 4) && result.vt != VT_BSTR)
        Wrong(f, call, "a text member did not answer a BSTR", hr);
    if (hr == DISP_E_TYPEMISMATCH && wantArgErr && uArgErr >= cArgs)
        Wrong(f, call, "the argument error index is out of range", hr);

    VariantClear(&result);
    SysFreeString(ei.bstrSource);
    SysFreeString(ei.bstrDescription);
    SysFreeString(ei.bstrHelpFile);
    for (UINT i = 0; i < cArgs; ++i) {
        if (!(rgv[i].vt & VT_BYREF))
            VariantClear(&rgv[i]);
        FreeSlot(slots[i]);
    }
}

std::wstring OddName(Rng& rng)
{
    switch (rng.Below(8)) {
    case 0:
        return L"";
    case 1:
        return std::wstring(rng.OneIn(8) ? 60000 : 300 + rng.Below(2000), L'G');
    case 2:
        return L"GetV\x00E9r\x4E2D\x6587";
    case 3:
        return L"LoadExe ";
    default: {
        std::wstring s = kMembers[rng.Below(5)];
        for (wchar_t& c : s)
            if (rng.OneIn(3))
                c = static_cast<wchar_t>(c ^ 0x20);  // flips the case of a letter
        return s;
    }
    }
}

void OneGetIDsOfNames(Rng& rng, IDispatch* pDisp, ITypeInfo* pInfo, Figures& f, uint64_t call)
{
    const UINT cNames = rng.OneIn(10) ? rng.Below(64) : 1 + rng.Below(3);
    std::vector<std::wstring> names(cNames);
    std::vector<LPOLESTR> rgp(cNames);
    for (UINT i = 0; i < cNames; ++i) {
        names[i] = OddName(rng);
        rgp[i] = rng.OneIn(30) ? nullptr : names[i].data();
    }
    std::vector<DISPID> ids(cNames + 1, 12345);
    const bool nullNames = rng.OneIn(40), nullIds = rng.OneIn(40);
    const HRESULT hr = pDisp->GetIDsOfNames(IID_NULL, nullNames ? nullptr : rgp.data(), cNames, LOCALE_USER_DEFAULT,
                                            nullIds ? nullptr : ids.data());
    ++f.names;
    if (ids[cNames] != 12345)
        Wrong(f, call, "GetIDsOfNames wrote past the last name", hr);
    if (nullNames || nullIds || cNames == 0 || rgp[0] == nullptr)
        return;
    // The first name against the library's own type information.
    MEMBERID expected = DISPID_UNKNOWN;
    const bool known = SUCCEEDED(pInfo->GetIDsOfNames(&rgp[0], 1, &expected));
    if (hr == S_OK && ids[0] != expected)
        Wrong(f, call, "GetIDsOfNames gave another member than the type information", hr);
    if (cNames == 1 && known != (hr == S_OK))
        Wrong(f, call, "GetIDsOfNames and the type information disagree on a name", hr);
}

}  // namespace

int main(int argc, char** argv)
{
    const stress::Options o = stress::ParseOptions(argc, argv, 30000, 0);
    std::printf("invoke fuzz: seed %llu, calls %llu, OANOCACHE=%s\n", static_cast<unsigned long long>(o.seed),
                static_cast<unsigned long long>(o.calls), std::getenv("OANOCACHE") ? std::getenv("OANOCACHE") : "unset");
    std::fflush(stdout);
    if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) < 0)
        return 2;
    stress::Dll dll;
    if (!dll.Load()) {
        std::printf("cannot load %s\n", stress::DllPath().c_str());
        return 2;
    }
    IClassFactory* pFactory = dll.Factory();
    if (pFactory == nullptr)
        return 2;

    Rng rng(o.seed);
    Figures f;
    IDispatch* pDisp = nullptr;
    ITypeInfo* pInfo = nullptr;
    const uint64_t warmup = o.calls / 10 < 5000 ? o.calls / 10 : 5000;
    long long procBefore = 0, allBefore = 0;
    uint64_t objects = 0;
    for (uint64_t call = 0; call < o.calls; ++call) {
        // A fresh object now and then; the heaps are measured between objects.
        if (call % 997 == 0 || call == warmup) {
            if (pDisp != nullptr) {
                pInfo->Release();
                pDisp->Release();
                pDisp = nullptr;
            }
            if (call == warmup) {
                procBefore = stress::ProcessHeapBytes();
                allBefore = stress::AllHeapsBytes();
            }
            if (FAILED(pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&pDisp))) ||
                FAILED(pDisp->GetTypeInfo(0, LOCALE_USER_DEFAULT, &pInfo))) {
                std::printf("cannot create an object\n");
                return 2;
            }
            ++objects;
        }
        if (rng.OneIn(8))
            OneGetIDsOfNames(rng, pDisp, pInfo, f, call);
        else
            OneInvoke(rng, pDisp, f, call);
    }
    if (pDisp != nullptr) {
        pInfo->Release();
        pDisp->Release();
    }
    const long long procAfter = stress::ProcessHeapBytes();
    const long long allAfter = stress::AllHeapsBytes();
    const HRESULT hrLocked = dll.CanUnloadNow();
    pFactory->Release();
    const HRESULT hrUnload = dll.CanUnloadNow();
    const LONG refsOut = CountedObject::Live();

    // Tolerance: the platform keeps a few lazily grown tables of its own
    // (type information caches, per-thread buffers) whose growth after the
    // warm-up is a few kilobytes at most; a leak of one small block in one
    // call of a hundred already exceeds it over 10^4 calls.
    const long long kTolerance = 16 * 1024;
    const long long growth = allAfter - allBefore;
    std::printf("  calls %llu (Invoke %llu, GetIDsOfNames %llu), objects %llu, crashes 0\n",
                static_cast<unsigned long long>(f.invokes + f.names), static_cast<unsigned long long>(f.invokes),
                static_cast<unsigned long long>(f.names), static_cast<unsigned long long>(objects));
    std::printf("  process heap bytes after warm-up %lld, at end %lld (%+lld)\n", procBefore, procAfter,
                procAfter - procBefore);
    std::printf("  all heaps bytes after warm-up %lld, at end %lld (%+lld, tolerance %lld)\n", allBefore, allAfter,
                growth, kTolerance);
    std::printf("  references to our test object still held: %ld\n", static_cast<long>(refsOut));
    std::printf("  DllCanUnloadNow with the class object held 0x%08lX, after releasing everything 0x%08lX\n",
                static_cast<unsigned long>(hrLocked), static_cast<unsigned long>(hrUnload));
    std::printf("  wrong answers %llu\n", static_cast<unsigned long long>(f.wrong));
    const bool ok = growth <= kTolerance && refsOut == 0 && hrUnload == S_OK && f.wrong == 0;
    std::printf("invoke fuzz: %s (replay: --seed %llu --calls %llu)\n", ok ? "PASS" : "FAIL",
                static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.calls));
    dll.Free();
    CoUninitialize();
    return ok ? 0 : 1;
}
