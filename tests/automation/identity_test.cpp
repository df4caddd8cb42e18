#include <gtest/gtest.h>

#include <objsafe.h>
#include <ocidl.h>
#include <oleauto.h>

#include <set>
#include <string>

#include "automation/bridge_object.h"
#include "automation/type_info.h"
#include "server/module.h"
#include "tarnwick_h.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

IUnknown* QueryFor(IUnknown* pUnk, REFIID riid)
{
    void* pv = reinterpret_cast<void*>(0x1);
    HRESULT hr = pUnk->QueryInterface(riid, &pv);
    EXPECT_EQ(hr, S_OK);
    return static_cast<IUnknown*>(pv);
}

IInvokerK318* NewPlain()
{
    void* pv = nullptr;
    EXPECT_EQ(CreateBridgeObject(nullptr, IID_IInvokerK318, &pv), S_OK);
    return static_cast<IInvokerK318*>(pv);
}

// ---------------------------------------------------------------------------
// Identity of the plain object

TEST(PlainIdentity, PrimaryInterfacesShareOnePointerAndOthersLeadBack)
{
    IInvokerK318* pObj = NewPlain();
    ASSERT_NE(pObj, nullptr);
    for (const IID* piid : {&IID_IUnknown, &IID_IDispatch, &IID_IInvokerK318}) {
        IUnknown* p = QueryFor(pObj, *piid);
        EXPECT_EQ(p, static_cast<IUnknown*>(pObj));
        p->Release();
    }
    for (const IID* piid : {&IID_IObjectSafety, &IID_IProvideClassInfo}) {
        IUnknown* p = QueryFor(pObj, *piid);
        EXPECT_NE(p, static_cast<IUnknown*>(pObj));
        IUnknown* back = QueryFor(p, IID_IUnknown);
        EXPECT_EQ(back, static_cast<IUnknown*>(pObj));
        back->Release();
        p->Release();
    }
    EXPECT_EQ(pObj->Release(), 0u);
}

TEST(PlainIdentity, RefusesInterfacesItDoesNotOffer)
{
    IInvokerK318* pObj = NewPlain();
    for (const IID* piid : {&IID_IProvideClassInfo2, &IID_ISupportErrorInfo, &IID_IPersistStreamInit,
                            &IID_IClassFactory, &IID_IConnectionPointContainer}) {
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(pObj->QueryInterface(*piid, &pv), E_NOINTERFACE);
        EXPECT_EQ(pv, nullptr);
    }
    // One byte away from an offered IID, in either half, is another IID.
    for (const IID* piid : {&IID_IUnknown, &IID_IInvokerK318, &IID_IDispatch, &IID_IObjectSafety,
                            &IID_IProvideClassInfo}) {
        for (size_t byte : {5u, 15u}) {
            IID other = *piid;
            reinterpret_cast<BYTE*>(&other)[byte] ^= 1;
            void* pv = reinterpret_cast<void*>(0x1);
            EXPECT_EQ(pObj->QueryInterface(other, &pv), E_NOINTERFACE) << byte;
            EXPECT_EQ(pv, nullptr);
        }
    }
    EXPECT_EQ(pObj->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    pObj->Release();
}

TEST(PlainIdentity, CountsReferencesAndHoldsOneModuleLock)
{
    LONG before = g_pModule->LockCount();
    IInvokerK318* pObj = NewPlain();
    EXPECT_EQ(g_pModule->LockCount(), before + 1);
    EXPECT_EQ(pObj->AddRef(), 2u);
    IObjectSafety* pSafety = nullptr;
    ASSERT_EQ(pObj->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pSafety)), S_OK);
    EXPECT_EQ(pSafety->Release(), 2u);  // one count for all interfaces
    EXPECT_EQ(pObj->Release(), 1u);
    EXPECT_EQ(g_pModule->LockCount(), before + 1);
    EXPECT_EQ(pObj->Release(), 0u);
    EXPECT_EQ(g_pModule->LockCount(), before);
}

// ---------------------------------------------------------------------------
// Creation

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T)
{
    return nullptr;
}

TEST(Creation, RefusedInterfaceDestroysTheNewObject)
{
    LONG before = g_pModule->LockCount();
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CreateBridgeObject(nullptr, IID_IClassFactory, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_pModule->LockCount(), before);
}

TEST(Creation, NullOutPointerIsRefusedForBothForms)
{
    IUnknown* outer = reinterpret_cast<IUnknown*>(0x10);  // never called
    EXPECT_EQ(CreateBridgeObject(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(CreateBridgeObject(outer, IID_IUnknown, nullptr), E_POINTER);
}

TEST(Creation, AllocationFailureGivesOutOfMemoryForBothForms)
{
    LONG before = g_pModule->LockCount();
    ScopedOp<decltype(platform::ops().HeapAlloc)> alloc(&platform::Ops::HeapAlloc, &FailingHeapAlloc);
    IUnknown* outer = reinterpret_cast<IUnknown*>(0x10);  // not touched when allocation fails
    for (IUnknown* pOuter : {static_cast<IUnknown*>(nullptr), outer}) {
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(CreateBridgeObject(pOuter, IID_IUnknown, &pv), E_OUTOFMEMORY);
        EXPECT_EQ(pv, nullptr);
    }
    EXPECT_EQ(g_pModule->LockCount(), before);
}

// ---------------------------------------------------------------------------
// Script safety

TEST(Safety, OptionsAreStoredPerObjectUnderTheMask)
{
    IInvokerK318* pObj = NewPlain();
    IInvokerK318* pOther = NewPlain();
    IObjectSafety* pSafety = nullptr;
    IObjectSafety* pOtherSafety = nullptr;
    ASSERT_EQ(pObj->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pSafety)), S_OK);
    ASSERT_EQ(pOther->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pOtherSafety)), S_OK);

    DWORD supported = 99, enabled = 99;
    EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);

    struct Step {
        DWORD mask, enable;
        HRESULT hr;
        DWORD enabledAfter;
    };
    const Step steps[] = {
        {3, 3, S_OK, 3},
        {1, 0, S_OK, 2},
        {4, 4, E_FAIL, 2},
        {0, 3, S_OK, 2},  // bits outside the mask are ignored
        {3, 1, S_OK, 1},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(pSafety->SetInterfaceSafetyOptions(IID_IDispatch, s.mask, s.enable), s.hr) << s.mask;
        EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
        EXPECT_EQ(supported, 3u);
        EXPECT_EQ(enabled, s.enabledAfter) << s.mask << "," << s.enable;
    }
    EXPECT_EQ(pOtherSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 0u);

    supported = enabled = 99;
    EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IPersistStreamInit, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(pSafety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, 3, 3), E_NOINTERFACE);
    EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
    EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr), E_POINTER);

    pOtherSafety->Release();
    pSafety->Release();
    pOther->Release();
    pObj->Release();
}

// ---------------------------------------------------------------------------
// Aggregation

class TestOuter : public IUnknown {
public:
    LONG cRef = 1;
    IUnknown* pInner = nullptr;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return pInner->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--cRef); }
};

TEST(Aggregation, ContainedInterfacesDelegateToTheOuterObject)
{
    LONG before = g_pModule->LockCount();
    TestOuter outer;
    void* pv = nullptr;
    ASSERT_EQ(CreateBridgeObject(&outer, IID_IUnknown, &pv), S_OK);
    outer.pInner = static_cast<IUnknown*>(pv);
    EXPECT_EQ(outer.cRef, 1);  // the outer object gets no reference
    EXPECT_EQ(g_pModule->LockCount(), before + 1);

    IDispatch* pDisp = nullptr;
    ASSERT_EQ(outer.pInner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDisp)), S_OK);
    EXPECT_NE(static_cast<IUnknown*>(pDisp), outer.pInner);
    EXPECT_EQ(outer.cRef, 2);
    pDisp->AddRef();
    EXPECT_EQ(outer.cRef, 3);
    pDisp->Release();
    EXPECT_EQ(outer.cRef, 2);

    IUnknown* pUnk = QueryFor(pDisp, IID_IUnknown);
    EXPECT_EQ(pUnk, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.cRef, 3);
    pUnk->Release();

    IObjectSafety* pSafety = nullptr;
    ASSERT_EQ(pDisp->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&pSafety)), S_OK);
    DWORD supported = 0, enabled = 9;
    EXPECT_EQ(pSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);
    pSafety->Release();
    pDisp->Release();
    EXPECT_EQ(outer.cRef, 1);

    void* pRefused = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(outer.pInner->QueryInterface(IID_ISupportErrorInfo, &pRefused), E_NOINTERFACE);
    EXPECT_EQ(pRefused, nullptr);

    EXPECT_EQ(outer.pInner->Release(), 0u);
    EXPECT_EQ(g_pModule->LockCount(), before);
}

// An aggregate is made only for IUnknown: any other interface, offered or
// not, is refused before an object or a module lock is taken.
TEST(Aggregation, InterfaceOtherThanIUnknownIsRefusedBeforeAnythingIsTaken)
{
    for (const IID* piid : {&IID_IInvokerK318, &IID_IDispatch, &IID_IClassFactory}) {
        LONG before = g_pModule->LockCount();
        TestOuter outer;
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(CreateBridgeObject(&outer, *piid, &pv), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(pv, nullptr);
        EXPECT_EQ(outer.cRef, 1);
        EXPECT_EQ(g_pModule->LockCount(), before);
    }
    TestOuter outer;
    EXPECT_EQ(CreateBridgeObject(&outer, IID_IDispatch, nullptr), E_POINTER);
}

// ---------------------------------------------------------------------------
// Dispatch and type information through the object

TEST(ObjectDispatch, InvokeGetVerThroughTheObject)
{
    IInvokerK318* pObj = NewPlain();
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(pObj->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1);
    VariantClear(&result);

    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"RunVideo");
    EXPECT_EQ(pObj->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 5);
    pObj->Release();
}

TEST(ObjectDispatch, InvokeGetVerThroughTheObjectChecksTheParameterBlock)
{
    IInvokerK318* pObj = NewPlain();
    VARIANTARG arg;
    arg.vt = VT_I4;
    arg.lVal = 1;
    DISPID named = 7;
    const struct {
        const char* what;
        DISPPARAMS params;
        bool nullParams;
        HRESULT hr;
        VARTYPE vtAfter;  // VT_ERROR: the result as it was
    } cases[] = {
        {"no parameter block", {}, true, DISP_E_BADVARTYPE, VT_ERROR},
        {"one argument", {&arg, nullptr, 1, 0}, false, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {"four arguments", {&arg, nullptr, 4, 0}, false, DISP_E_BADPARAMCOUNT, VT_ERROR},
        {"a named argument", {nullptr, &named, 0, 1}, false, DISP_E_NONAMEDARGS, VT_EMPTY},
        {"a null named array", {nullptr, nullptr, 0, 1}, false, DISP_E_NONAMEDARGS, VT_EMPTY},
        {"nothing", {nullptr, nullptr, 0, 0}, false, S_OK, VT_I4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VARIANT result;
        result.vt = VT_ERROR;
        result.scode = E_ABORT;
        DISPPARAMS params = c.params;
        UINT argErr = 0xDEAD;
        EXPECT_EQ(pObj->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, c.nullParams ? nullptr : &params, &result, nullptr,
                               &argErr),
                  c.hr);
        EXPECT_EQ(result.vt, c.vtAfter);
        if (c.vtAfter == VT_I4) {
            EXPECT_EQ(result.lVal, 1);
        } else if (c.vtAfter == VT_ERROR) {
            EXPECT_EQ(result.scode, E_ABORT);
        }
        EXPECT_EQ(argErr, 0xDEADu);
    }
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(pObj->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), S_OK);
    pObj->Release();
}

TEST(ObjectTypeInfo, InterfaceTypeInfoComesFromTheModuleResource)
{
    IInvokerK318* pObj = NewPlain();
    UINT count = 7;
    EXPECT_EQ(pObj->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(pObj->GetTypeInfoCount(nullptr), E_POINTER);

    ITypeInfo* cleared = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(pObj->GetTypeInfo(1, 0, &cleared), DISP_E_BADINDEX);
    EXPECT_EQ(cleared, nullptr);
    EXPECT_EQ(pObj->GetTypeInfo(0, 0, nullptr), E_POINTER);

    ITypeInfo* pInfo = nullptr;
    ASSERT_EQ(pObj->GetTypeInfo(0, 0, &pInfo), S_OK);
    ASSERT_NE(pInfo, nullptr);
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(pInfo->GetTypeAttr(&pAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, IID_IInvokerK318));
    EXPECT_TRUE(pAttr->wTypeFlags & TYPEFLAG_FDUAL);

    struct Expected {
        const wchar_t* name;
        SHORT cParams;
    };
    const Expected expected[6] = {{}, {L"LoadExe", 2}, {L"GetMacAddress", 1}, {L"GetVer", 1},
                                  {L"GetSpReadUserID", 1}, {L"RunVideo", 3}};
    std::set<MEMBERID> seen;
    for (UINT i = 0; i < pAttr->cFuncs; ++i) {
        FUNCDESC* pFunc = nullptr;
        ASSERT_EQ(pInfo->GetFuncDesc(i, &pFunc), S_OK);
        MEMBERID id = pFunc->memid;
        if (id >= 1 && id <= 5) {
            seen.insert(id);
            BSTR name = nullptr;
            EXPECT_EQ(pInfo->GetDocumentation(id, &name, nullptr, nullptr, nullptr), S_OK);
            EXPECT_EQ(std::wstring(name ? name : L""), expected[id].name);
            SysFreeString(name);
            EXPECT_EQ(pFunc->invkind, INVOKE_FUNC);
            if (id == 1 || id == 5) {
                EXPECT_EQ(pFunc->lprgelemdescParam[0].tdesc.vt, VT_UI4) << id;
            }
            if (id == 5) {
                EXPECT_EQ(pFunc->lprgelemdescParam[1].tdesc.vt, VT_UI4);
            }
        } else {
            EXPECT_GE(static_cast<ULONG>(id), 0x60000000u) << "unexpected member " << id;
        }
        pInfo->ReleaseFuncDesc(pFunc);
    }
    EXPECT_EQ(seen.size(), 5u);
    pInfo->ReleaseTypeAttr(pAttr);
    pInfo->Release();
    pObj->Release();
}

TEST(ObjectTypeInfo, ClassInfoFailsWhileTheLibraryIsUnregistered)
{
    IInvokerK318* pObj = NewPlain();
    IProvideClassInfo* pPci = nullptr;
    ASSERT_EQ(pObj->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pPci)), S_OK);
    ITypeInfo* pInfo = reinterpret_cast<ITypeInfo*>(0x1);
    HRESULT hr = pPci->GetClassInfo(&pInfo);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(pInfo, nullptr);
    EXPECT_EQ(g_classTypeInfo.pInfo, nullptr);  // a failed load leaves the holder empty
    EXPECT_EQ(pPci->GetClassInfo(nullptr), E_POINTER);
    pPci->Release();
    pObj->Release();
}

TEST(ModuleTypeLibrary, LoadsFromTheModuleAndReturnsItsPath)
{
    BSTR path = nullptr;
    ITypeLib* pLib = nullptr;
    ASSERT_EQ(LoadModuleTypeLibrary(g_moduleInstance.m_hInstance, &path, &pLib), S_OK);
    ASSERT_NE(pLib, nullptr);
    wchar_t expected[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, expected, MAX_PATH), 0u);
    EXPECT_EQ(std::wstring(path), std::wstring(expected));
    TLIBATTR* pAttr = nullptr;
    ASSERT_EQ(pLib->GetLibAttr(&pAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, g_libid));
    pLib->ReleaseTLibAttr(pAttr);
    pLib->Release();
    SysFreeString(path);

    EXPECT_EQ(LoadModuleTypeLibrary(g_moduleInstance.m_hInstance, nullptr, &pLib), E_POINTER);
    EXPECT_EQ(LoadModuleTypeLibrary(g_moduleInstance.m_hInstance, &path, nullptr), E_POINTER);
}


// Fakes for the module path and type library loading.
struct ModulePathState {
    DWORD result = 0;
    DWORD lastError = 0;
};
DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR psz, DWORD cch)
{
    const ModulePathState& fake = FakeState<ModulePathState>::Current();
    DWORD n = fake.result < cch ? fake.result : cch;
    for (DWORD i = 0; i < n; ++i)
        psz[i] = 'a';
    if (n < cch)
        psz[n] = '\0';
    SetLastError(fake.lastError);
    return fake.result;
}

TEST(ModuleTypeLibrary, ModulePathFailuresGiveTheirCodes)
{
    FakeState<ModulePathState> fake;
    ScopedOp<decltype(platform::ops().GetModuleFileNameA)> path(&platform::Ops::GetModuleFileNameA,
                                                                &FakeModuleFileName);
    struct Case {
        DWORD result, lastError;
        HRESULT moduleLib, interfaceInfo;
    };
    const Case cases[] = {
        {0, ERROR_MOD_NOT_FOUND, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), E_FAIL},
        {260, 0, static_cast<HRESULT>(0x8007007A), E_FAIL},
        {0, 0, E_FAIL, E_FAIL},  // a failure with no last error is still a failure
    };
    for (const Case& c : cases) {
        fake->result = c.result;
        fake->lastError = c.lastError;
        BSTR bstr = reinterpret_cast<BSTR>(0x1);
        ITypeLib* pLib = reinterpret_cast<ITypeLib*>(0x1);
        EXPECT_EQ(LoadModuleTypeLibrary(g_moduleInstance.m_hInstance, &bstr, &pLib), c.moduleLib) << c.result;
        EXPECT_EQ(bstr, nullptr);
        EXPECT_EQ(pLib, nullptr);
        ITypeInfo* pInfo = reinterpret_cast<ITypeInfo*>(0x1);
        EXPECT_EQ(LoadInterfaceTypeInfo(0, &pInfo), c.interfaceInfo) << c.result;
        EXPECT_EQ(pInfo, nullptr);
        UINT count = 7;
        EXPECT_EQ(GetTypeInfoCountImpl(&count), S_OK);
        EXPECT_EQ(count, 0u);
    }
}

struct TriedPathsState {
    std::wstring paths[4];
    int cTried = 0;
};
HRESULT WINAPI FailingModuleLoadTypeLib(LPCOLESTR psz, ITypeLib** pp)
{
    TriedPathsState& fake = FakeState<TriedPathsState>::Current();
    fake.paths[fake.cTried++ & 3] = psz;
    if (fake.cTried == 1) {
        *pp = nullptr;
        return TYPE_E_CANTLOADLIBRARY;
    }
    return LoadTypeLib(L"stdole2.tlb", pp);  // stands in for the file beside the module
}

TEST(ModuleTypeLibrary, FallsBackToTheTlbFileBesideTheModule)
{
    FakeState<TriedPathsState> fake;
    ScopedOp<decltype(platform::ops().LoadTypeLib)> load(&platform::Ops::LoadTypeLib, &FailingModuleLoadTypeLib);
    BSTR path = nullptr;
    ITypeLib* pLib = nullptr;
    ASSERT_EQ(LoadModuleTypeLibrary(g_moduleInstance.m_hInstance, &path, &pLib), S_OK);
    ASSERT_EQ(fake->cTried, 2);
    std::wstring first = fake->paths[0];
    std::wstring expected = first.substr(0, first.rfind(L'.')) + L".tlb";
    EXPECT_EQ(fake->paths[1], expected);
    EXPECT_EQ(std::wstring(path), expected);
    SysFreeString(path);
    pLib->Release();
}

}  // namespace
