#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/dispatch.h"
#include "tests/support/platform_override.h"
#include "text/errors.h"

using testing_support::ScopedOp;

namespace {

// ---------------------------------------------------------------------------
// A bridge object that records what each method received.

struct Call {
    int method;  // DISPID of the member that ran
    ULONG a = 0, b = 0;
    BSTR text = nullptr;  // as lent by Invoke
    std::wstring textValue;
};

class RecordingInvoker : public IInvokerK318 {
public:
    std::vector<Call> calls;
    HRESULT hr[6] = {S_OK, S_OK, S_OK, S_OK, S_OK, S_OK};
    bool throwFromLoadExe = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override { *ppv = nullptr; return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE LoadExe(ULONG rid, BSTR ConnStr) override
    {
        if (throwFromLoadExe)
            throw CHResultException(E_ABORT);
        calls.push_back({1, rid, 0, ConnStr, Text(ConnStr)});
        return hr[1];
    }
    HRESULT STDMETHODCALLTYPE GetMacAddress(BSTR* p) override
    {
        calls.push_back({2, 0, 0, nullptr, {}});
        *p = SysAllocString(L"00-1A-2B-3C-4D-5E");
        return hr[2];
    }
    HRESULT STDMETHODCALLTYPE GetVer(ULONG* p) override
    {
        calls.push_back({3, 0, 0, nullptr, {}});
        *p = 1;
        return hr[3];
    }
    HRESULT STDMETHODCALLTYPE GetSpReadUserID(BSTR* p) override
    {
        calls.push_back({4, 0, 0, nullptr, {}});
        *p = SysAllocString(L"hall-user");
        return hr[4];
    }
    HRESULT STDMETHODCALLTYPE RunVideo(ULONG userid, ULONG rid, BSTR ConnStr) override
    {
        calls.push_back({5, userid, rid, ConnStr, Text(ConnStr)});
        return hr[5];
    }

private:
    static std::wstring Text(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }
};

constexpr UINT ARGERR_UNSET = 0xDEADu;
constexpr LONG RESULT_SENTINEL = 0x5A5A;

// A parameter block whose arguments the test owns and clears.
struct Args {
    VARIANTARG v[4];
    DISPID named[2] = {DISPID_PROPERTYPUT, DISPID_PROPERTYPUT};
    DISPPARAMS dp{};
    explicit Args(UINT cArgs, UINT cNamed = 0)
    {
        for (auto& x : v)
            VariantInit(&x);
        dp.rgvarg = v;
        dp.cArgs = cArgs;
        dp.rgdispidNamedArgs = cNamed ? named : nullptr;
        dp.cNamedArgs = cNamed;
    }
    ~Args()
    {
        for (auto& x : v)
            VariantClear(&x);
    }
};

void SetI4(VARIANT& v, LONG n) { v.vt = VT_I4; v.lVal = n; }
void SetText(VARIANT& v, const wchar_t* s) { v.vt = VT_BSTR; v.bstrVal = SysAllocString(s); }

struct Outcome {
    HRESULT hr;
    VARIANT result;
    UINT argErr;
};

Outcome CallInvoke(RecordingInvoker& obj, DISPID id, DISPPARAMS* dp)
{
    Outcome o{};
    o.result.vt = VT_I4;
    o.result.lVal = RESULT_SENTINEL;
    o.argErr = ARGERR_UNSET;
    // Through one barrier, as the object's Invoke calls it.
    o.hr = GuardedCall([&] { return DispatchInvoke(&obj, id, dp, &o.result, &o.argErr); });
    return o;
}

// ---------------------------------------------------------------------------
// GetIDsOfNames

TEST(DispatchNames, TableHoldsTheFiveMembersInOrder)
{
    const wchar_t* expected[5] = {L"LoadExe", L"GetMacAddress", L"GetVer", L"GetSpReadUserID", L"RunVideo"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(expected[i], g_rgszMemberNames[i]);
        EXPECT_EQ(i + 1, g_rgdispidMembers[i]);
    }
}

struct NameCase {
    std::vector<const wchar_t*> names;
    HRESULT hr;
    std::vector<DISPID> ids;  // after the call; -77 means left as it was
};

TEST(DispatchNames, LooksUpEachNameInOrder)
{
    const NameCase cases[] = {
        {{L"LoadExe"}, S_OK, {1}},
        {{L"GetMacAddress"}, S_OK, {2}},
        {{L"GetVer"}, S_OK, {3}},
        {{L"GetSpReadUserID"}, S_OK, {4}},
        {{L"RunVideo"}, S_OK, {5}},
        {{L"loadexe"}, S_OK, {1}},
        {{L"LOADEXE"}, S_OK, {1}},
        {{L"gEtSpReAdUsErId"}, S_OK, {4}},
        {{L"LoadExe "}, DISP_E_UNKNOWNNAME, {-77}},
        {{L"Load"}, DISP_E_UNKNOWNNAME, {-77}},
        {{L""}, DISP_E_UNKNOWNNAME, {-77}},
        {{L"LoadExe2"}, DISP_E_UNKNOWNNAME, {-77}},
        {{L"L\u00D3adExe"}, DISP_E_UNKNOWNNAME, {-77}},
        {{L"GetVer", L"ver"}, DISP_E_UNKNOWNNAME, {3, -77}},
        {{L"RunVideo", L"userid"}, DISP_E_UNKNOWNNAME, {5, -77}},
        {{L"nosuch", L"GetVer"}, DISP_E_UNKNOWNNAME, {-77, -77}},
        {{L"RunVideo", L"getver", L"LOADEXE"}, S_OK, {5, 3, 1}},
        {{L"GetVer", nullptr, L"LoadExe"}, DISP_E_UNKNOWNNAME, {3, -77, -77}},
    };
    for (const auto& c : cases) {
        std::vector<DISPID> ids(c.names.size(), -77);
        std::vector<LPOLESTR> names;
        for (auto* n : c.names)
            names.push_back(const_cast<LPOLESTR>(n));
        SCOPED_TRACE(c.names[0] ? c.names[0] : L"(null)");
        EXPECT_EQ(c.hr, DispatchGetIDsOfNames(names.data(), static_cast<UINT>(names.size()), ids.data()));
        EXPECT_EQ(c.ids, ids);
    }
}

TEST(DispatchNames, EmptyAndNullArrays)
{
    DISPID id = -77;
    LPOLESTR name = const_cast<LPOLESTR>(L"GetVer");
    EXPECT_EQ(S_OK, DispatchGetIDsOfNames(&name, 0, &id));
    EXPECT_EQ(-77, id);
    EXPECT_EQ(S_OK, DispatchGetIDsOfNames(nullptr, 0, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, DispatchGetIDsOfNames(nullptr, 1, &id));
    EXPECT_EQ(E_INVALIDARG, DispatchGetIDsOfNames(&name, 1, nullptr));
    EXPECT_EQ(-77, id);
}

// ---------------------------------------------------------------------------
// Invoke: the parameter block

TEST(DispatchInvoke, NullParameterBlockLeavesResultUntouched)
{
    RecordingInvoker obj;
    Outcome o = CallInvoke(obj, 3, nullptr);
    EXPECT_EQ(DISP_E_BADVARTYPE, o.hr);
    EXPECT_EQ(VT_I4, o.result.vt);
    EXPECT_EQ(RESULT_SENTINEL, o.result.lVal);
    EXPECT_TRUE(obj.calls.empty());
}

struct BlockCase {
    const char* what;
    DISPID id;
    UINT cArgs;
    UINT cNamed;
    DISPID named0;
    bool nullNamed;
    bool nullArgs;
    HRESULT hr;
    bool resultTouched;  // VT_EMPTY afterwards rather than the sentinel
};

// Calls Invoke with the case's parameter block, its arguments all VT_I4 or
// (wellTyped) of their parameters' own types, and expects the case's refusal
// with no member called, no argument blamed, and the result as described.
void ExpectBlockRefused(const BlockCase& c, bool wellTyped)
{
    SCOPED_TRACE(c.what);
    RecordingInvoker obj;
    Args args(c.cArgs, c.cNamed);
    for (UINT i = 0; i < c.cArgs && i < 4; ++i)
        SetI4(args.v[i], 1);
    if (wellTyped && c.cArgs != 0)
        SetText(args.v[0], L"x");
    args.named[0] = c.named0;
    if (c.nullNamed)
        args.dp.rgdispidNamedArgs = nullptr;
    if (c.nullArgs)
        args.dp.rgvarg = nullptr;
    Outcome o = CallInvoke(obj, c.id, &args.dp);
    EXPECT_EQ(c.hr, o.hr);
    if (c.resultTouched) {
        EXPECT_EQ(VT_EMPTY, o.result.vt);
    } else {
        EXPECT_EQ(VT_I4, o.result.vt);
        EXPECT_EQ(RESULT_SENTINEL, o.result.lVal);
    }
    EXPECT_EQ(ARGERR_UNSET, o.argErr);
    EXPECT_TRUE(obj.calls.empty());
}

TEST(DispatchInvoke, RefusesBadParameterBlocks)
{
    const BlockCase cases[] = {
        {"four args, unknown DISPID", 99, 4, 0, 0, false, false, DISP_E_BADPARAMCOUNT, false},
        {"four args, LoadExe", 1, 4, 0, 0, false, false, DISP_E_BADPARAMCOUNT, false},
        {"null rgvarg", 1, 2, 0, 0, false, true, E_INVALIDARG, false},
        {"no args, unknown DISPID", 99, 0, 0, 0, false, false, DISP_E_MEMBERNOTFOUND, true},
        {"DISPID 0", 0, 0, 0, 0, false, false, DISP_E_MEMBERNOTFOUND, true},
        {"DISPID_PROPERTYPUT as member", DISPID_PROPERTYPUT, 0, 0, 0, false, false, DISP_E_MEMBERNOTFOUND, true},
        {"DISPID 6", 6, 0, 0, 0, false, false, DISP_E_MEMBERNOTFOUND, true},
        {"GetVer with one arg", 3, 1, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"LoadExe with one arg", 1, 1, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"RunVideo with two args", 5, 2, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"GetMacAddress with three args", 2, 3, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"named arg other than put", 1, 2, 1, 7, false, false, DISP_E_NONAMEDARGS, true},
        {"two named args", 5, 3, 2, DISPID_PROPERTYPUT, false, false, DISP_E_NONAMEDARGS, true},
        {"null named array", 1, 2, 1, 0, true, false, DISP_E_NONAMEDARGS, true},
        {"named arg checked before DISPID", 99, 0, 1, 0, false, false, DISP_E_NONAMEDARGS, true},
    };
    for (const auto& c : cases)
        ExpectBlockRefused(c, /*wellTyped=*/false);
}

// Arguments already of their parameters' types, and GetVer with none, still
// meet every check of the parameter block.
TEST(DispatchInvoke, WellTypedArgumentsMeetEveryCheck)
{
    const BlockCase cases[] = {
        {"LoadExe, named arg other than put", 1, 2, 1, 7, false, false, DISP_E_NONAMEDARGS, true},
        {"LoadExe, null named array", 1, 2, 1, 0, true, false, DISP_E_NONAMEDARGS, true},
        {"RunVideo, two named args", 5, 3, 2, DISPID_PROPERTYPUT, false, false, DISP_E_NONAMEDARGS, true},
        {"RunVideo, named arg other than put", 5, 3, 1, 7, false, false, DISP_E_NONAMEDARGS, true},
        {"LoadExe, null rgvarg", 1, 2, 0, 0, false, true, E_INVALIDARG, false},
        {"RunVideo, null rgvarg", 5, 3, 0, 0, false, true, E_INVALIDARG, false},
        {"LoadExe as RunVideo", 5, 2, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"RunVideo as LoadExe", 1, 3, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
        {"GetVer, named arg other than put", 3, 0, 1, 7, false, false, DISP_E_NONAMEDARGS, true},
        {"GetVer, null named array", 3, 0, 1, 0, true, false, DISP_E_NONAMEDARGS, true},
        {"GetVer, one arg", 3, 1, 0, 0, false, false, DISP_E_BADPARAMCOUNT, true},
    };
    for (const auto& c : cases)
        ExpectBlockRefused(c, /*wellTyped=*/true);
}

TEST(DispatchInvoke, PropertyPutValueIsTheLastArgument)
{
    RecordingInvoker obj;
    Args args(2, 1);
    SetI4(args.v[1], 8);
    SetText(args.v[0], L"put");
    Outcome o = CallInvoke(obj, 1, &args.dp);
    EXPECT_EQ(S_OK, o.hr);
    ASSERT_EQ(1u, obj.calls.size());
    EXPECT_EQ(8u, obj.calls[0].a);
    EXPECT_EQ(L"put", obj.calls[0].textValue);
    EXPECT_EQ(args.v[0].bstrVal, obj.calls[0].text);  // lent, not copied
    EXPECT_EQ(VT_EMPTY, o.result.vt);
}

// ---------------------------------------------------------------------------
// Invoke: results

struct ResultCase {
    DISPID id;
    HRESULT methodHr;
    VARTYPE vt;
    const wchar_t* text;
};

TEST(DispatchInvoke, StoresMemberResultWhateverItReturned)
{
    const ResultCase cases[] = {
        {2, S_OK, VT_BSTR, L"00-1A-2B-3C-4D-5E"},
        {2, E_FAIL, VT_BSTR, L"00-1A-2B-3C-4D-5E"},
        {3, S_OK, VT_I4, nullptr},
        {3, S_FALSE, VT_I4, nullptr},
        {4, S_OK, VT_BSTR, L"hall-user"},
        {4, E_OUTOFMEMORY, VT_BSTR, L"hall-user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        RecordingInvoker obj;
        obj.hr[c.id] = c.methodHr;
        Args args(0);
        Outcome o = CallInvoke(obj, c.id, &args.dp);
        EXPECT_EQ(c.methodHr, o.hr);
        ASSERT_EQ(1u, obj.calls.size());
        EXPECT_EQ(c.id, obj.calls[0].method);
        ASSERT_EQ(c.vt, o.result.vt);
        if (c.text)
            EXPECT_STREQ(c.text, o.result.bstrVal);
        else
            EXPECT_EQ(1, o.result.lVal);
        VariantClear(&o.result);
    }
}

TEST(DispatchInvoke, PropertyGetFormAndNullResult)
{
    RecordingInvoker obj;
    Args args(0);
    EXPECT_EQ(S_OK, DispatchInvoke(&obj, 3, &args.dp, nullptr, nullptr));
    EXPECT_EQ(S_OK, DispatchInvoke(&obj, 4, &args.dp, nullptr, nullptr));
    EXPECT_EQ(2u, obj.calls.size());
}

TEST(DispatchInvoke, DiscardedTextResultIsFreed)
{
    // The platform keeps freed strings for reuse: a freed text of one size
    // comes back from the next allocation of that size.
    RecordingInvoker obj;
    Args args(0);
    VARIANT kept;
    ASSERT_EQ(S_OK, DispatchInvoke(&obj, 2, &args.dp, &kept, nullptr));
    BSTR first = kept.bstrVal;
    VariantClear(&kept);
    BSTR again = SysAllocString(L"00-1A-2B-3C-4D-5E");
    ASSERT_EQ(first, again) << "string reuse not observable here";
    SysFreeString(again);

    ASSERT_EQ(S_OK, DispatchInvoke(&obj, 2, &args.dp, nullptr, nullptr));
    BSTR reused = SysAllocString(L"00-1A-2B-3C-4D-5E");
    EXPECT_EQ(first, reused);
    SysFreeString(reused);
}

TEST(DispatchInvoke, MethodHResultPassesThrough)
{
    const struct { DISPID id; HRESULT hr; } cases[] = {{1, S_FALSE}, {1, E_ACCESSDENIED}, {5, S_FALSE}, {5, E_FAIL}};
    for (const auto& c : cases) {
        RecordingInvoker obj;
        obj.hr[c.id] = c.hr;
        Args args(c.id == 1 ? 2 : 3);
        for (UINT i = 1; i < args.dp.cArgs; ++i)
            SetI4(args.v[i], 1);
        SetText(args.v[0], L"x");
        Outcome o = CallInvoke(obj, c.id, &args.dp);
        EXPECT_EQ(c.hr, o.hr);
        EXPECT_EQ(VT_EMPTY, o.result.vt);
        EXPECT_EQ(1u, obj.calls.size());
    }
}

TEST(DispatchInvoke, ExceptionFromMemberBecomesItsHResult)
{
    RecordingInvoker obj;
    obj.throwFromLoadExe = true;
    Args args(2);
    SetI4(args.v[1], 1);
    SetText(args.v[0], L"x");
    EXPECT_EQ(E_ABORT, CallInvoke(obj, 1, &args.dp).hr);
}

// ---------------------------------------------------------------------------
// Invoke: coercion of the integer parameter (LoadExe rid, rgvarg[1])

struct RidCase {
    const char* what;
    void (*make)(VARIANT&);
    HRESULT hr;
    ULONG received;
    VARTYPE vtAfter;  // the caller's argument afterwards
};

TEST(DispatchCoerce, IntegerParameter)
{
    const RidCase cases[] = {
        {"BSTR 12", [](VARIANT& v) { SetText(v, L"12"); }, S_OK, 12, VT_I4},
        {"BSTR letters", [](VARIANT& v) { SetText(v, L"abc"); }, DISP_E_TYPEMISMATCH, 0, VT_BSTR},
        {"I1 -1", [](VARIANT& v) { v.vt = VT_I1; v.cVal = -1; }, S_OK, 255, VT_I1},
        {"UI1 200", [](VARIANT& v) { v.vt = VT_UI1; v.bVal = 200; }, S_OK, 200, VT_UI1},
        {"I2 -1", [](VARIANT& v) { v.vt = VT_I2; v.iVal = -1; }, S_OK, 65535, VT_I2},
        {"UI2 40000", [](VARIANT& v) { v.vt = VT_UI2; v.uiVal = 40000; }, S_OK, 40000, VT_UI2},
        {"BOOL true", [](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE; }, S_OK, 65535, VT_BOOL},
        {"I4 -1", [](VARIANT& v) { SetI4(v, -1); }, S_OK, 4294967295u, VT_I4},
        {"UI4 max", [](VARIANT& v) { v.vt = VT_UI4; v.ulVal = 0xFFFFFFFFu; }, S_OK, 0xFFFFFFFFu, VT_UI4},
        {"INT -2", [](VARIANT& v) { v.vt = VT_INT; v.intVal = -2; }, S_OK, 0xFFFFFFFEu, VT_INT},
        {"UINT 9", [](VARIANT& v) { v.vt = VT_UINT; v.uintVal = 9; }, S_OK, 9, VT_UINT},
        {"ERROR", [](VARIANT& v) { v.vt = VT_ERROR; v.scode = E_FAIL; }, S_OK, 0x80004005u, VT_ERROR},
        {"HRESULT", [](VARIANT& v) { v.vt = VT_HRESULT; v.lVal = 0x12345678; }, S_OK, 0x12345678u, VT_HRESULT},
        {"I8 low bits", [](VARIANT& v) { v.vt = VT_I8; v.llVal = 0x700000007LL; }, S_OK, 7, VT_I8},
        {"UI8 low bits", [](VARIANT& v) { v.vt = VT_UI8; v.ullVal = 0xFFFFFFFF00000010ULL; }, S_OK, 16, VT_UI8},
        {"R8 3.0", [](VARIANT& v) { v.vt = VT_R8; v.dblVal = 3.0; }, S_OK, 3, VT_I4},
        {"R4 2.0", [](VARIANT& v) { v.vt = VT_R4; v.fltVal = 2.0f; }, S_OK, 2, VT_I4},
        {"R8 5e9", [](VARIANT& v) { v.vt = VT_R8; v.dblVal = 5e9; }, DISP_E_TYPEMISMATCH, 0, VT_R8},
        {"NULL", [](VARIANT& v) { v.vt = VT_NULL; }, DISP_E_TYPEMISMATCH, 0, VT_NULL},
        {"BYREF I4", [](VARIANT& v) { static LONG n = 5; v.vt = VT_BYREF | VT_I4; v.plVal = &n; },
         DISP_E_TYPEMISMATCH, 0, VT_BYREF | VT_I4},
        {"BYREF VARIANT null", [](VARIANT& v) { v.vt = VT_BYREF | VT_VARIANT; v.pvarVal = nullptr; },
         DISP_E_TYPEMISMATCH, 0, VT_BYREF | VT_VARIANT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingInvoker obj;
        Args args(2);
        c.make(args.v[1]);
        SetText(args.v[0], L"conn");
        Outcome o = CallInvoke(obj, 1, &args.dp);
        EXPECT_EQ(c.hr, o.hr);
        EXPECT_EQ(c.vtAfter, args.v[1].vt);
        if (SUCCEEDED(c.hr)) {
            ASSERT_EQ(1u, obj.calls.size());
            EXPECT_EQ(c.received, obj.calls[0].a);
            EXPECT_EQ(ARGERR_UNSET, o.argErr);
        } else {
            EXPECT_TRUE(obj.calls.empty());
            EXPECT_EQ(1u, o.argErr);
            EXPECT_EQ(VT_EMPTY, o.result.vt);
        }
    }
}

TEST(DispatchCoerce, ConvertedTextReplacesCallersArgument)
{
    RecordingInvoker obj;
    Args args(2);
    SetText(args.v[1], L"12");
    SetText(args.v[0], L"c");
    ASSERT_EQ(S_OK, CallInvoke(obj, 1, &args.dp).hr);
    EXPECT_EQ(VT_I4, args.v[1].vt);
    EXPECT_EQ(12, args.v[1].lVal);
}

// ---------------------------------------------------------------------------
// Invoke: coercion of the text parameter (LoadExe ConnStr, rgvarg[0])

struct TextCase {
    const char* what;
    void (*make)(VARIANT&);
    HRESULT hr;
    const wchar_t* received;
};

TEST(DispatchCoerce, TextParameter)
{
    const TextCase cases[] = {
        {"I4 42", [](VARIANT& v) { SetI4(v, 42); }, S_OK, L"42"},
        {"EMPTY", [](VARIANT& v) { v.vt = VT_EMPTY; }, S_OK, L""},
        {"BSTR", [](VARIANT& v) { SetText(v, L"Server=hall"); }, S_OK, L"Server=hall"},
        {"NULL", [](VARIANT& v) { v.vt = VT_NULL; }, DISP_E_TYPEMISMATCH, nullptr},
        {"BYREF BSTR", [](VARIANT& v) { static BSTR b = nullptr; v.vt = VT_BYREF | VT_BSTR; v.pbstrVal = &b; },
         DISP_E_TYPEMISMATCH, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingInvoker obj;
        Args args(2);
        SetI4(args.v[1], 1);
        c.make(args.v[0]);
        const VARTYPE vtBefore = args.v[0].vt;
        Outcome o = CallInvoke(obj, 1, &args.dp);
        EXPECT_EQ(c.hr, o.hr);
        if (SUCCEEDED(c.hr)) {
            ASSERT_EQ(1u, obj.calls.size());
            EXPECT_EQ(c.received, obj.calls[0].textValue);
            ASSERT_EQ(VT_BSTR, args.v[0].vt);
            EXPECT_EQ(args.v[0].bstrVal, obj.calls[0].text);  // the caller's argument holds the text lent
        } else {
            EXPECT_TRUE(obj.calls.empty());
            EXPECT_EQ(0u, o.argErr);
            EXPECT_EQ(vtBefore, args.v[0].vt);
        }
    }
}

TEST(DispatchCoerce, ReferenceToVariantIsFollowedOnce)
{
    RecordingInvoker obj;
    VARIANT ridVar, textVar, inner, outer;
    SetI4(ridVar, 7);
    SetI4(textVar, 99);
    SetI4(inner, 3);
    outer.vt = VT_BYREF | VT_VARIANT;
    outer.pvarVal = &inner;
    {
        Args args(2);
        args.v[1].vt = VT_BYREF | VT_VARIANT;
        args.v[1].pvarVal = &ridVar;
        args.v[0].vt = VT_BYREF | VT_VARIANT;
        args.v[0].pvarVal = &textVar;
        ASSERT_EQ(S_OK, CallInvoke(obj, 1, &args.dp).hr);
        ASSERT_EQ(1u, obj.calls.size());
        EXPECT_EQ(7u, obj.calls[0].a);
        EXPECT_EQ(L"99", obj.calls[0].textValue);
        EXPECT_EQ(VT_I4, ridVar.vt);
        ASSERT_EQ(VT_BSTR, textVar.vt);  // the referenced variable itself was converted
        EXPECT_EQ(textVar.bstrVal, obj.calls[0].text);
        EXPECT_EQ(VT_BYREF | VT_VARIANT, args.v[0].vt);
        args.v[0].vt = args.v[1].vt = VT_EMPTY;  // references are not ours to clear
    }
    {
        Args args(2);
        args.v[1].vt = VT_BYREF | VT_VARIANT;
        args.v[1].pvarVal = &outer;  // two levels
        SetText(args.v[0], L"c");
        Outcome o = CallInvoke(obj, 1, &args.dp);
        EXPECT_EQ(DISP_E_TYPEMISMATCH, o.hr);
        EXPECT_EQ(1u, o.argErr);
        args.v[1].vt = VT_EMPTY;
    }
    VariantClear(&textVar);
}

TEST(DispatchCoerce, RunVideoStopsAtFirstBadArgument)
{
    {
        RecordingInvoker obj;
        Args args(3);
        SetText(args.v[2], L"x");
        SetText(args.v[1], L"5");
        SetI4(args.v[0], 9);
        Outcome o = CallInvoke(obj, 5, &args.dp);
        EXPECT_EQ(DISP_E_TYPEMISMATCH, o.hr);
        EXPECT_EQ(2u, o.argErr);
        EXPECT_EQ(VT_BSTR, args.v[1].vt);
        EXPECT_EQ(VT_I4, args.v[0].vt);
        EXPECT_TRUE(obj.calls.empty());
    }
    {
        RecordingInvoker obj;
        Args args(3);
        SetText(args.v[2], L"3");
        args.v[1].vt = VT_R8;
        args.v[1].dblVal = 4.0;
        args.v[0].vt = VT_NULL;
        Outcome o = CallInvoke(obj, 5, &args.dp);
        EXPECT_EQ(DISP_E_TYPEMISMATCH, o.hr);
        EXPECT_EQ(0u, o.argErr);
        EXPECT_EQ(VT_I4, args.v[2].vt);
        EXPECT_EQ(3, args.v[2].lVal);
        EXPECT_EQ(VT_I4, args.v[1].vt);
        EXPECT_EQ(4, args.v[1].lVal);
        EXPECT_TRUE(obj.calls.empty());
    }
    {
        RecordingInvoker obj;
        Args args(3);
        SetI4(args.v[2], -1);
        args.v[1].vt = VT_UI2;
        args.v[1].uiVal = 77;
        SetText(args.v[0], L"room");
        ASSERT_EQ(S_OK, CallInvoke(obj, 5, &args.dp).hr);
        ASSERT_EQ(1u, obj.calls.size());
        EXPECT_EQ(0xFFFFFFFFu, obj.calls[0].a);
        EXPECT_EQ(77u, obj.calls[0].b);
        EXPECT_EQ(L"room", obj.calls[0].textValue);
    }
}

HRESULT WINAPI FailingChangeType(VARIANTARG*, VARIANTARG*, USHORT, VARTYPE) { return E_OUTOFMEMORY; }

TEST(DispatchCoerce, AnyConversionFailureIsTypeMismatch)
{
    ScopedOp op(&platform::Ops::VariantChangeType, &FailingChangeType);
    RecordingInvoker obj;
    Args args(2);
    args.v[1].vt = VT_R8;
    args.v[1].dblVal = 1.0;
    SetText(args.v[0], L"c");
    Outcome o = CallInvoke(obj, 1, &args.dp);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, o.hr);
    EXPECT_EQ(1u, o.argErr);
    EXPECT_EQ(VT_R8, args.v[1].vt);
    EXPECT_EQ(1.0, args.v[1].dblVal);
}

}  // namespace
