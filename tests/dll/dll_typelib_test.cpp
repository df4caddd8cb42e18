// The type library that Tarnwick.dll carries, read back the way an object
// browser or a script host reads it: LoadTypeLib on the library's own file.
// The help strings are checked by dll_typelib_help_tests, which runs in the
// code page they are stored in.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <cstring>
#include <iterator>
#include <string>

#include "invoker_members.h"
#include "tests/support/built_library.h"
#include "loaded_dll.h"

namespace {

std::wstring Str(BSTR b)
{
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

struct Doc {
    HRESULT hr = E_FAIL;
    std::wstring name;
    bool hasName = false;
    bool hasHelpFile = false;
    DWORD helpContext = 0xFFFFFFFF;
};

Doc DocOf(ITypeInfo* pInfo, MEMBERID memid)
{
    Doc d;
    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    d.hr = pInfo->GetDocumentation(memid, &name, &doc, &d.helpContext, &helpFile);
    d.hasName = name != nullptr;
    d.hasHelpFile = helpFile != nullptr;
    d.name = Str(name);
    SysFreeString(doc);
    SysFreeString(helpFile);
    return d;
}

// The attributes of a type description, copied out so that the caller has
// nothing to release.
struct Attr {
    HRESULT hr = E_FAIL;
    TYPEATTR a = {};
};

Attr AttrOf(ITypeInfo* pInfo)
{
    Attr r;
    TYPEATTR* p = nullptr;
    r.hr = pInfo->GetTypeAttr(&p);
    if (SUCCEEDED(r.hr) && p) {
        r.a = *p;
        pInfo->ReleaseTypeAttr(p);
    }
    return r;
}

// The type description that implementation slot `index` refers to (-1: the
// interface half of a dual interface), or null.
ITypeInfo* RefOf(ITypeInfo* pInfo, UINT index)
{
    HREFTYPE href = 0;
    if (FAILED(pInfo->GetRefTypeOfImplType(index, &href)))
        return nullptr;
    ITypeInfo* pRef = nullptr;
    if (FAILED(pInfo->GetRefTypeInfo(href, &pRef)))
        return nullptr;
    return pRef;
}

class TarnwickTypeLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::wstring path = DllPathW();
        ASSERT_FALSE(path.empty()) << "TARNWICK_BIN is not set";
        ASSERT_EQ(LoadTypeLib(path.c_str(), &s_pLib), S_OK);
        ASSERT_EQ(s_pLib->GetTypeInfoOfGuid(kClsidInvoker, &s_pClass), S_OK);
        ASSERT_EQ(s_pLib->GetTypeInfoOfGuid(kIidInvoker, &s_pDisp), S_OK);
    }
    static void TearDownTestSuite()
    {
        for (IUnknown* p : {static_cast<IUnknown*>(s_pDisp), static_cast<IUnknown*>(s_pClass),
                            static_cast<IUnknown*>(s_pLib)})
            if (p)
                p->Release();
        s_pDisp = nullptr;
        s_pClass = nullptr;
        s_pLib = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(s_pLib, nullptr);
        ASSERT_NE(s_pClass, nullptr);
        ASSERT_NE(s_pDisp, nullptr);
    }

    static ITypeLib* s_pLib;
    static ITypeInfo* s_pClass;
    static ITypeInfo* s_pDisp;
};

ITypeLib* TarnwickTypeLibrary::s_pLib = nullptr;
ITypeInfo* TarnwickTypeLibrary::s_pClass = nullptr;
ITypeInfo* TarnwickTypeLibrary::s_pDisp = nullptr;

// ---------------------------------------------------------------------------
// The library as a whole

TEST_F(TarnwickTypeLibrary, LibraryAttributes)
{
    TLIBATTR* pAttr = nullptr;
    ASSERT_EQ(s_pLib->GetLibAttr(&pAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, kLibidTarnwick));
    EXPECT_EQ(pAttr->wMajorVerNum, 1);
    EXPECT_EQ(pAttr->wMinorVerNum, 0);
    EXPECT_EQ(pAttr->lcid, 0u);
    EXPECT_EQ(pAttr->syskind, kBuildSysKind);
    // Not restricted, not a control library, not hidden. (The loader adds
    // LIBFLAG_FHASDISKIMAGE for a library read from a file.)
    EXPECT_EQ(pAttr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN), 0);
    s_pLib->ReleaseTLibAttr(pAttr);

    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    DWORD helpContext = 0xFFFFFFFF;
    ASSERT_EQ(s_pLib->GetDocumentation(-1, &name, &doc, &helpContext, &helpFile), S_OK);
    EXPECT_EQ(Str(name), L"Tarnwick");
    EXPECT_NE(doc, nullptr);  // its text is checked in the code page it is stored in
    EXPECT_EQ(helpFile, nullptr);
    EXPECT_EQ(helpContext, 0u);
    SysFreeString(doc);
    SysFreeString(helpFile);
}

TEST_F(TarnwickTypeLibrary, TypeDescriptionsInOrder)
{
    struct Expected {
        const wchar_t* name;
        TYPEKIND kind;
        GUID guid;
    } expected[] = {
        {L"CInvokerK318", TKIND_COCLASS, kClsidInvoker},
        {L"IInvokerK318", TKIND_DISPATCH, kIidInvoker},
    };
    ASSERT_EQ(s_pLib->GetTypeInfoCount(), 2u);
    for (UINT i = 0; i < 2; ++i) {
        const Expected& e = expected[i];
        TYPEKIND kind = TKIND_MAX;
        EXPECT_EQ(s_pLib->GetTypeInfoType(i, &kind), S_OK) << i;
        EXPECT_EQ(kind, e.kind) << i;
        BSTR name = nullptr;
        EXPECT_EQ(s_pLib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr), S_OK) << i;
        EXPECT_EQ(Str(name), e.name) << i;

        ITypeInfo* pInfo = nullptr;
        ASSERT_EQ(s_pLib->GetTypeInfo(i, &pInfo), S_OK) << i;
        Attr attr = AttrOf(pInfo);
        ASSERT_EQ(attr.hr, S_OK) << i;
        EXPECT_TRUE(IsEqualGUID(attr.a.guid, e.guid)) << i;
        EXPECT_EQ(attr.a.typekind, e.kind) << i;
        ITypeLib* pContaining = nullptr;
        UINT index = 99;
        EXPECT_EQ(pInfo->GetContainingTypeLib(&pContaining, &index), S_OK) << i;
        EXPECT_EQ(index, i);
        if (pContaining)
            pContaining->Release();
        pInfo->Release();
    }
    ITypeInfo* pNone = nullptr;
    EXPECT_EQ(s_pLib->GetTypeInfo(2, &pNone), TYPE_E_ELEMENTNOTFOUND);

    // The names of the types, their members and parameters are known.
    for (const wchar_t* name : {L"CInvokerK318", L"IInvokerK318", L"GetVer", L"ConnStr", L"nUserName"}) {
        std::wstring buffer(name);
        BOOL found = FALSE;
        EXPECT_EQ(s_pLib->IsName(&buffer[0], 0, &found), S_OK) << name;
        EXPECT_TRUE(found) << name;
    }
    std::wstring unknown(L"LoadDll");
    BOOL found = TRUE;
    EXPECT_EQ(s_pLib->IsName(&unknown[0], 0, &found), S_OK);
    EXPECT_FALSE(found);
}

// ---------------------------------------------------------------------------
// The class

TEST_F(TarnwickTypeLibrary, CoclassIsCreatableWithTheInterfaceAsDefault)
{
    Attr attr = AttrOf(s_pClass);
    ASSERT_EQ(attr.hr, S_OK);
    EXPECT_EQ(attr.a.typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(attr.a.guid, kClsidInvoker));
    EXPECT_EQ(attr.a.wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr.a.cFuncs, 0);
    EXPECT_EQ(attr.a.cVars, 0);
    EXPECT_EQ(attr.a.lcid, 0u);
    ASSERT_EQ(attr.a.cImplTypes, 1);

    INT implFlags = -1;
    EXPECT_EQ(s_pClass->GetImplTypeFlags(0, &implFlags), S_OK);
    EXPECT_EQ(implFlags, IMPLTYPEFLAG_FDEFAULT);

    ITypeInfo* pDefault = RefOf(s_pClass, 0);
    ASSERT_NE(pDefault, nullptr);
    Attr def = AttrOf(pDefault);
    EXPECT_TRUE(IsEqualGUID(def.a.guid, kIidInvoker));
    EXPECT_EQ(def.a.typekind, TKIND_DISPATCH);
    EXPECT_EQ(DocOf(pDefault, MEMBERID_NIL).name, L"IInvokerK318");
    pDefault->Release();

    Doc doc = DocOf(s_pClass, MEMBERID_NIL);
    EXPECT_EQ(doc.hr, S_OK);
    EXPECT_EQ(doc.name, L"CInvokerK318");
    EXPECT_FALSE(doc.hasHelpFile);
    EXPECT_EQ(doc.helpContext, 0u);
}

// The class description carries version 1.0.
TEST_F(TarnwickTypeLibrary, CoclassVersion)
{
    Attr attr = AttrOf(s_pClass);
    ASSERT_EQ(attr.hr, S_OK);
    EXPECT_EQ(attr.a.wMajorVerNum, 1);
    EXPECT_EQ(attr.a.wMinorVerNum, 0);
}

// ---------------------------------------------------------------------------
// The interface: its dispatch half and its table-of-operations half

// The type descriptions as the library file stores them (its TYPELIB 1
// resource, in the compiled "MSFT" layout), read without the platform's
// loader: the coclass record and the one record of the dual interface.
TEST_F(TarnwickTypeLibrary, StoredRecordsCarryTheDeclaredFlags)
{
    HMODULE hDll = LoadLibraryExW(DllPathW().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hDll, nullptr);
    HRSRC hRes = FindResourceW(hDll, MAKEINTRESOURCEW(1), L"TYPELIB");
    ASSERT_NE(hRes, nullptr);
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(hDll, hRes)));
    const DWORD cb = SizeofResource(hDll, hRes);
    ASSERT_NE(p, nullptr);
    auto at = [&](DWORD off) {
        LONG v = 0;
        if (off + 4 <= cb)
            memcpy(&v, p + off, 4);
        return v;
    };
    ASSERT_EQ(at(0), 0x5446534D);           // "MSFT"
    const LONG count = at(0x20);            // type descriptions
    ASSERT_EQ(count, 2);
    DWORD offsets = 0x54 + ((at(0x14) & 0x100) ? 4 : 0);
    const DWORD segments = offsets + 4 * static_cast<DWORD>(count);
    const DWORD records = static_cast<DWORD>(at(segments));  // first segment: the records
    struct Stored {
        LONG kind;
        WORD flags;
    } expected[] = {{TKIND_COCLASS, TYPEFLAG_FCANCREATE}, {TKIND_DISPATCH, kInvokerTypeFlags}};
    for (LONG i = 0; i < count; ++i) {
        const DWORD rec = records + static_cast<DWORD>(at(offsets + 4 * i));
        EXPECT_EQ(at(rec) & 0xF, expected[i].kind) << i;
        EXPECT_EQ(static_cast<WORD>(at(rec + 0x30)), expected[i].flags) << i;
    }
    FreeLibrary(hDll);
}

TEST_F(TarnwickTypeLibrary, BothHalvesOfTheDualInterface)
{
    ITypeInfo* pVtbl = RefOf(s_pDisp, static_cast<UINT>(-1));
    ASSERT_NE(pVtbl, nullptr) << "no interface half behind the dispatch description";

    // Both halves carry what the interface declares: dual, OLE automation,
    // dispatchable. The platform's view differs on one mark: Wine's loader
    // reports the dispatch half without FOLEAUTOMATION, though the stored
    // record has it (see StoredRecordsCarryTheDeclaredFlags), so that mark is
    // not compared on the dispatch half.
    struct Half {
        const char* what;
        ITypeInfo* pInfo;
        TYPEKIND kind;
        WORD notCompared;
    } halves[] = {
        {"dispatch", s_pDisp, TKIND_DISPATCH, TYPEFLAG_FOLEAUTOMATION},
        {"interface", pVtbl, TKIND_INTERFACE, 0},
    };
    for (const Half& h : halves) {
        Attr attr = AttrOf(h.pInfo);
        ASSERT_EQ(attr.hr, S_OK) << h.what;
        EXPECT_EQ(attr.a.typekind, h.kind) << h.what;
        EXPECT_TRUE(IsEqualGUID(attr.a.guid, kIidInvoker)) << h.what;
        EXPECT_EQ(attr.a.wTypeFlags & ~h.notCompared, kInvokerTypeFlags & ~h.notCompared) << h.what;
        EXPECT_EQ(attr.a.wMajorVerNum, 0) << h.what;
        EXPECT_EQ(attr.a.wMinorVerNum, 0) << h.what;
        EXPECT_EQ(attr.a.cVars, 0) << h.what;
        EXPECT_EQ(DocOf(h.pInfo, MEMBERID_NIL).name, L"IInvokerK318") << h.what;

        // Both derive from IDispatch of the standard automation library.
        ASSERT_EQ(attr.a.cImplTypes, 1) << h.what;
        ITypeInfo* pBase = RefOf(h.pInfo, 0);
        ASSERT_NE(pBase, nullptr) << h.what;
        Attr base = AttrOf(pBase);
        EXPECT_TRUE(IsEqualGUID(base.a.guid, IID_IDispatch)) << h.what;
        EXPECT_EQ(DocOf(pBase, MEMBERID_NIL).name, L"IDispatch") << h.what;
        ITypeLib* pStdOle = nullptr;
        UINT index = 0;
        ASSERT_EQ(pBase->GetContainingTypeLib(&pStdOle, &index), S_OK) << h.what;
        TLIBATTR* pLibAttr = nullptr;
        ASSERT_EQ(pStdOle->GetLibAttr(&pLibAttr), S_OK);
        EXPECT_TRUE(IsEqualGUID(pLibAttr->guid, kLibidStdOle)) << h.what;
        EXPECT_EQ(pLibAttr->wMajorVerNum, 2) << h.what;
        EXPECT_EQ(pLibAttr->wMinorVerNum, 0) << h.what;
        pStdOle->ReleaseTLibAttr(pLibAttr);
        pStdOle->Release();
        pBase->Release();
    }

    // The table of operations: 3 of IUnknown, 4 of IDispatch, then the five
    // methods, one pointer each.
    Attr vtbl = AttrOf(pVtbl);
    EXPECT_EQ(vtbl.a.cFuncs, 5);
    EXPECT_EQ(vtbl.a.cbSizeVft, 12 * sizeof(void*));
    pVtbl->Release();
}

TEST_F(TarnwickTypeLibrary, MethodsOfTheInterfaceHalf)
{
    ITypeInfo* pVtbl = RefOf(s_pDisp, static_cast<UINT>(-1));
    ASSERT_NE(pVtbl, nullptr);
    ASSERT_EQ(AttrOf(pVtbl).a.cFuncs, static_cast<WORD>(std::size(kInvokerMethods)));

    for (UINT i = 0; i < std::size(kInvokerMethods); ++i) {
        const MethodRow& m = kInvokerMethods[i];
        SCOPED_TRACE(testing::Message() << "method " << i);
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(pVtbl->GetFuncDesc(i, &pFunc), S_OK);
        EXPECT_EQ(pFunc->memid, m.memid);
        EXPECT_EQ(pFunc->invkind, INVOKE_FUNC);
        EXPECT_EQ(pFunc->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(pFunc->callconv, CC_STDCALL);
        EXPECT_EQ(pFunc->oVft, static_cast<SHORT>(m.slot * sizeof(void*)));
        EXPECT_EQ(pFunc->elemdescFunc.tdesc.vt, VT_HRESULT);
        EXPECT_EQ(pFunc->cParamsOpt, 0);
        EXPECT_EQ(pFunc->wFuncFlags, 0);
        ASSERT_EQ(pFunc->cParams, m.cParams);
        for (int p = 0; p < m.cParams; ++p) {
            const ParamRow& ps = m.params[p];
            const ELEMDESC& e = pFunc->lprgelemdescParam[p];
            SCOPED_TRACE(testing::Message() << "parameter " << p);
            if (ps.byRef) {
                ASSERT_EQ(e.tdesc.vt, VT_PTR);
                ASSERT_NE(e.tdesc.lptdesc, nullptr);
                EXPECT_EQ(e.tdesc.lptdesc->vt, ps.vt);
            } else {
                EXPECT_EQ(e.tdesc.vt, ps.vt);
            }
            EXPECT_EQ(e.paramdesc.wParamFlags, ps.flags);
        }

        // Names come back as the method's name followed by its parameters'.
        BSTR names[4] = {};
        UINT cNames = 0;
        ASSERT_EQ(pVtbl->GetNames(m.memid, names, 4, &cNames), S_OK);
        ASSERT_EQ(cNames, static_cast<UINT>(m.cParams + 1));
        EXPECT_EQ(Str(names[0]), m.name);
        for (int p = 0; p < m.cParams; ++p)
            EXPECT_EQ(Str(names[p + 1]), m.params[p].name) << p;
        pVtbl->ReleaseFuncDesc(pFunc);
    }
    FUNCDESC* pNone = nullptr;
    EXPECT_EQ(pVtbl->GetFuncDesc(static_cast<UINT>(std::size(kInvokerMethods)), &pNone), TYPE_E_ELEMENTNOTFOUND);
    pVtbl->Release();
}

// What a script host sees through the dispatch half: every method is a
// function called by its DISPID, and named arguments resolve to positions.
TEST_F(TarnwickTypeLibrary, MethodsOfTheDispatchHalf)
{
    Attr attr = AttrOf(s_pDisp);
    ASSERT_EQ(attr.hr, S_OK);
    for (const MethodRow& m : kInvokerMethods) {
        SCOPED_TRACE(testing::Message() << "method " << m.memid);
        int found = 0;
        for (UINT i = 0; i < attr.a.cFuncs; ++i) {
            FUNCDESC* pFunc = nullptr;
            ASSERT_EQ(s_pDisp->GetFuncDesc(i, &pFunc), S_OK);
            if (pFunc->memid == m.memid) {
                ++found;
                EXPECT_EQ(pFunc->invkind, INVOKE_FUNC);
                EXPECT_EQ(pFunc->funckind, FUNC_DISPATCH);
            }
            s_pDisp->ReleaseFuncDesc(pFunc);
        }
        EXPECT_EQ(found, 1);

        // The method name and the names of its [in] parameters.
        std::wstring names[4];
        LPOLESTR rgsz[4] = {};
        names[0] = m.name;
        UINT cNames = 1;
        for (int p = 0; p < m.cParams; ++p)
            if (m.params[p].flags == kIn)
                names[cNames++] = m.params[p].name;
        for (UINT n = 0; n < cNames; ++n)
            rgsz[n] = &names[n][0];
        MEMBERID ids[4] = {-7, -7, -7, -7};
        ASSERT_EQ(s_pDisp->GetIDsOfNames(rgsz, cNames, ids), S_OK);
        EXPECT_EQ(ids[0], m.memid);
        for (UINT n = 1; n < cNames; ++n)
            EXPECT_EQ(ids[n], static_cast<MEMBERID>(n - 1)) << "parameter " << n - 1;
    }
    std::wstring unknown(L"LoadDll");
    LPOLESTR rgsz[1] = {&unknown[0]};
    MEMBERID id = 0;
    EXPECT_EQ(s_pDisp->GetIDsOfNames(rgsz, 1, &id), DISP_E_UNKNOWNNAME);
}

}  // namespace
