// Objects of the loaded Tarnwick.dll: their type information, their identity
// in the plain and the aggregated form, and the module locks that objects,
// class objects and LockServer hold as DllCanUnloadNow reports them.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <ocidl.h>

#include <iterator>
#include <string>

#include "loaded_dll.h"
#include "tarnwick_h.h"

namespace {

class DllObjects : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pDll = new LoadedDll;
        ASSERT_TRUE(s_pDll->Load()) << DllPathA();
    }
    static void TearDownTestSuite()
    {
        delete s_pDll;
        s_pDll = nullptr;
    }
    // Every test starts and ends with nothing holding the module.
    void SetUp() override
    {
        ASSERT_NE(s_pDll->Handle(), nullptr);
        ASSERT_EQ(s_pDll->CanUnloadNow(), S_OK);
    }
    void TearDown() override { EXPECT_EQ(s_pDll->CanUnloadNow(), S_OK); }

    static HRESULT CanUnload() { return s_pDll->CanUnloadNow(); }

    // A plain object asked for `riid`; the class object is released again.
    template <typename T>
    static T* NewObject(REFIID riid)
    {
        IClassFactory* pFactory = s_pDll->Factory();
        EXPECT_NE(pFactory, nullptr);
        if (!pFactory)
            return nullptr;
        T* p = nullptr;
        EXPECT_EQ(pFactory->CreateInstance(nullptr, riid, reinterpret_cast<void**>(&p)), S_OK);
        pFactory->Release();
        return p;
    }

    static LoadedDll* s_pDll;
};

LoadedDll* DllObjects::s_pDll = nullptr;

template <typename T>
T* Query(IUnknown* p, REFIID riid)
{
    T* pOut = nullptr;
    EXPECT_EQ(p->QueryInterface(riid, reinterpret_cast<void**>(&pOut)), S_OK);
    return pOut;
}

GUID TypeGuid(ITypeInfo* pInfo, TYPEKIND* pKind)
{
    GUID guid = GUID_NULL;
    TYPEATTR* pAttr = nullptr;
    if (SUCCEEDED(pInfo->GetTypeAttr(&pAttr))) {
        guid = pAttr->guid;
        *pKind = pAttr->typekind;
        pInfo->ReleaseTypeAttr(pAttr);
    }
    return guid;
}

LONG GetVerByDispatch(IDispatch* pDisp)
{
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(pDisp->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    const LONG v = result.vt == VT_I4 ? result.lVal : -1;
    VariantClear(&result);
    return v;
}

// IDispatchEx, which script engines ask for first.
constexpr IID kIidDispatchEx = {0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};

ITypeInfo* const kUntouched = reinterpret_cast<ITypeInfo*>(0x5A5A5A5A);

// ---------------------------------------------------------------------------
// Type information through the object

TEST_F(DllObjects, OneTypeInformationDescribingTheInterface)
{
    IDispatch* pObj = NewObject<IDispatch>(IID_IDispatch);
    ASSERT_NE(pObj, nullptr);

    UINT count = 7;
    EXPECT_EQ(pObj->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(pObj->GetTypeInfoCount(nullptr), E_POINTER);

    // Each request loads afresh and hands the caller a reference of its own,
    // whatever the locale asked for.
    ITypeInfo* pInfos[2] = {};
    const LCID lcids[2] = {0, 0x0804};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(pObj->GetTypeInfo(0, lcids[i], &pInfos[i]), S_OK) << i;
        ASSERT_NE(pInfos[i], nullptr) << i;
        TYPEKIND kind = TKIND_MAX;
        EXPECT_TRUE(IsEqualGUID(TypeGuid(pInfos[i], &kind), kIidInvoker)) << i;
        EXPECT_EQ(kind, TKIND_DISPATCH) << i;
        BSTR name = nullptr;
        EXPECT_EQ(pInfos[i]->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
        EXPECT_STREQ(name, L"IInvokerK318");
        SysFreeString(name);
    }

    // The type information and the object's own name lookup agree.
    for (const wchar_t* method : {L"LoadExe", L"GetMacAddress", L"GetVer", L"GetSpReadUserID", L"RunVideo"}) {
        std::wstring n(method);
        LPOLESTR psz = &n[0];
        MEMBERID fromInfo = -1;
        DISPID fromObject = -2;
        EXPECT_EQ(pInfos[0]->GetIDsOfNames(&psz, 1, &fromInfo), S_OK) << n;
        EXPECT_EQ(pObj->GetIDsOfNames(IID_NULL, &psz, 1, 0, &fromObject), S_OK) << n;
        EXPECT_EQ(fromInfo, fromObject) << n;
    }
    for (ITypeInfo* p : pInfos)
        p->Release();
    EXPECT_EQ(pObj->Release(), 0u);
}

TEST_F(DllObjects, TypeInformationRequestsThatFail)
{
    IDispatch* pObj = NewObject<IDispatch>(IID_IDispatch);
    ASSERT_NE(pObj, nullptr);
    struct Case {
        UINT index;
        bool nullOut;
        HRESULT hr;
    } cases[] = {
        {1, false, DISP_E_BADINDEX},
        {2, false, DISP_E_BADINDEX},
        {0xFFFFFFFFu, false, DISP_E_BADINDEX},
        {1, true, DISP_E_BADINDEX},  // the index is looked at first
        {0, true, E_POINTER},
    };
    for (const Case& c : cases) {
        ITypeInfo* pInfo = kUntouched;
        EXPECT_EQ(pObj->GetTypeInfo(c.index, 0, c.nullOut ? nullptr : &pInfo), c.hr) << c.index;
        EXPECT_EQ(pInfo, c.nullOut ? kUntouched : nullptr) << c.index;  // a failure hands out no pointer
    }
    EXPECT_EQ(pObj->Release(), 0u);
}

// The class's type information comes from the registered type library only;
// the test prefix never registers it.
TEST_F(DllObjects, ClassInfoFailsWhileTheTypeLibraryIsNotRegistered)
{
    ITypeLib* pRegistered = nullptr;
    const HRESULT hrRegistered = LoadRegTypeLib(kLibidTarnwick, 1, 0, 0, &pRegistered);
    if (SUCCEEDED(hrRegistered)) {
        pRegistered->Release();
        GTEST_SKIP() << "the type library is registered in this prefix";
    }

    IProvideClassInfo* pInfoSource = NewObject<IProvideClassInfo>(IID_IProvideClassInfo);
    ASSERT_NE(pInfoSource, nullptr);
    // A failed load is not remembered: every call tries again and fails alike.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ITypeInfo* pInfo = kUntouched;
        EXPECT_EQ(pInfoSource->GetClassInfo(&pInfo), hrRegistered) << attempt;
        EXPECT_EQ(pInfo, nullptr) << attempt;
    }
    EXPECT_EQ(pInfoSource->GetClassInfo(nullptr), E_POINTER);
    EXPECT_EQ(pInfoSource->Release(), 0u);
}

// ---------------------------------------------------------------------------
// Identity of a plain object

TEST_F(DllObjects, PlainObjectAnswersForItsInterfacesOnly)
{
    IUnknown* pUnk = NewObject<IUnknown>(IID_IUnknown);
    ASSERT_NE(pUnk, nullptr);

    struct Case {
        const char* name;
        IID iid;
        bool offered;
        bool primary;  // handed out as the object's IUnknown pointer
    } cases[] = {
        {"IUnknown", IID_IUnknown, true, true},
        {"IDispatch", IID_IDispatch, true, true},
        {"IInvokerK318", kIidInvoker, true, true},
        {"IObjectSafety", IID_IObjectSafety, true, false},
        {"IProvideClassInfo", IID_IProvideClassInfo, true, false},
        {"IProvideClassInfo2", IID_IProvideClassInfo2, false, false},
        {"ISupportErrorInfo", IID_ISupportErrorInfo, false, false},
        {"IPersistStreamInit", IID_IPersistStreamInit, false, false},
        {"IConnectionPointContainer", IID_IConnectionPointContainer, false, false},
        {"IClassFactory", IID_IClassFactory, false, false},
        {"IDispatchEx", kIidDispatchEx, false, false},
    };
    for (const Case& c : cases) {
        void* pv = reinterpret_cast<void*>(0x1);
        const HRESULT hr = pUnk->QueryInterface(c.iid, &pv);
        if (!c.offered) {
            EXPECT_EQ(hr, E_NOINTERFACE) << c.name;
            EXPECT_EQ(pv, nullptr) << c.name;
            continue;
        }
        ASSERT_EQ(hr, S_OK) << c.name;
        IUnknown* pItf = static_cast<IUnknown*>(pv);
        EXPECT_EQ(pItf == pUnk, c.primary) << c.name;
        // Every interface leads back to the one identity, with one count.
        IUnknown* pBack = Query<IUnknown>(pItf, IID_IUnknown);
        EXPECT_EQ(pBack, pUnk) << c.name;
        EXPECT_EQ(pBack->Release(), 2u) << c.name;
        EXPECT_EQ(pItf->Release(), 1u) << c.name;
    }
    EXPECT_EQ(pUnk->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(pUnk->Release(), 0u);
}

// ---------------------------------------------------------------------------
// Module locks as DllCanUnloadNow shows them

TEST_F(DllObjects, ClassObjectHoldsOneLockWhateverItsReferences)
{
    IClassFactory* p1 = s_pDll->Factory();
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(CanUnload(), S_FALSE);
    IClassFactory* p2 = s_pDll->Factory();
    ASSERT_EQ(p2, p1);
    IUnknown* p3 = nullptr;
    ASSERT_EQ(s_pDll->GetClassObject(kClsidInvoker, IID_IUnknown, reinterpret_cast<void**>(&p3)), S_OK);
    EXPECT_EQ(p3, static_cast<IUnknown*>(p1));
    // The class list keeps one reference of its own, which does not lock.
    EXPECT_EQ(p3->Release(), 3u);
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(p2->Release(), 2u);
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(p1->Release(), 1u);
    EXPECT_EQ(CanUnload(), S_OK);

    // A request for an interface the class object lacks takes no lock.
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(s_pDll->GetClassObject(kClsidInvoker, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(DllObjects, EveryLiveObjectHoldsTheModule)
{
    IClassFactory* pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    IUnknown* objects[3] = {};
    for (IUnknown*& p : objects)
        ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&p)), S_OK);
    EXPECT_EQ(pFactory->Release(), 1u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(CanUnload(), S_FALSE) << i;
        EXPECT_EQ(objects[i]->Release(), 0u) << i;
    }
    EXPECT_EQ(CanUnload(), S_OK);

    // Creations that fail leave no lock behind.
    pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IClassFactory, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
    pFactory->Release();
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(DllObjects, LockServerCountsEveryCall)
{
    // Any non-zero argument locks; calls are counted, not matched.
    const BOOL locks[] = {TRUE, 2, -1};
    IClassFactory* pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    for (BOOL f : locks)
        EXPECT_EQ(pFactory->LockServer(f), S_OK) << f;
    pFactory->Release();
    for (size_t i = 0; i < std::size(locks); ++i) {
        EXPECT_EQ(CanUnload(), S_FALSE) << i;
        pFactory = s_pDll->Factory();
        ASSERT_NE(pFactory, nullptr);
        EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
        pFactory->Release();
    }
    EXPECT_EQ(CanUnload(), S_OK);

    // An unlock without a lock takes the count below zero; the module stays
    // busy until a lock brings it back.
    pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    pFactory->Release();
    EXPECT_EQ(CanUnload(), S_FALSE);
    pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    pFactory->Release();
    EXPECT_EQ(CanUnload(), S_OK);
}

// ---------------------------------------------------------------------------
// The aggregated form

TEST_F(DllObjects, AggregationNeedsTheOuterToAskForIUnknown)
{
    IClassFactory* pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    TestOuter outer;
    struct Case {
        const char* name;
        IID iid;
    } refused[] = {
        {"IDispatch", IID_IDispatch},
        {"IInvokerK318", kIidInvoker},
        {"IObjectSafety", IID_IObjectSafety},
        {"IProvideClassInfo", IID_IProvideClassInfo},
        {"IClassFactory", IID_IClassFactory},
    };
    for (const Case& c : refused) {
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(pFactory->CreateInstance(&outer, c.iid, &pv), CLASS_E_NOAGGREGATION) << c.name;
        EXPECT_EQ(pv, nullptr) << c.name;
        EXPECT_EQ(outer.cRef, 1) << c.name;
    }
    EXPECT_EQ(pFactory->CreateInstance(&outer, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(pFactory->Release(), 1u);
    EXPECT_EQ(CanUnload(), S_OK);  // nothing was made
}

TEST_F(DllObjects, AggregatedObjectDelegatesToItsOuter)
{
    IClassFactory* pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    TestOuter outer;
    ASSERT_EQ(pFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.pInner)), S_OK);
    ASSERT_NE(outer.pInner, nullptr);
    pFactory->Release();
    EXPECT_NE(outer.pInner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.cRef, 1);            // the inner object keeps no reference to its outer
    EXPECT_EQ(CanUnload(), S_FALSE);     // the aggregate holds the module

    // The inner IUnknown does not delegate: it answers IUnknown with itself
    // and counts its own references.
    IUnknown* pSelf = Query<IUnknown>(outer.pInner, IID_IUnknown);
    EXPECT_EQ(pSelf, outer.pInner);
    EXPECT_EQ(outer.cRef, 1);
    EXPECT_EQ(pSelf->Release(), 1u);
    EXPECT_EQ(outer.pInner->AddRef(), 2u);
    EXPECT_EQ(outer.pInner->Release(), 1u);
    EXPECT_EQ(outer.cRef, 1);

    // Its other interfaces belong to the outer object's identity.
    IDispatch* pDisp = Query<IDispatch>(outer.pInner, IID_IDispatch);
    ASSERT_NE(pDisp, nullptr);
    EXPECT_NE(static_cast<IUnknown*>(pDisp), outer.pInner);
    EXPECT_EQ(outer.cRef, 2);
    EXPECT_EQ(pDisp->AddRef(), 3u);  // counts on the outer object
    EXPECT_EQ(outer.cRef, 3);
    EXPECT_EQ(pDisp->Release(), 2u);

    IUnknown* pIdentity = Query<IUnknown>(pDisp, IID_IUnknown);
    EXPECT_EQ(pIdentity, static_cast<IUnknown*>(&outer));
    pIdentity->Release();
    // Through the outer object the same interface pointer comes back.
    IInvokerK318* pInvoker = Query<IInvokerK318>(pDisp, kIidInvoker);
    EXPECT_EQ(static_cast<IDispatch*>(pInvoker), pDisp);
    IDispatch* pViaOuter = Query<IDispatch>(&outer, IID_IDispatch);
    EXPECT_EQ(pViaOuter, pDisp);
    pViaOuter->Release();
    IObjectSafety* pSafety = Query<IObjectSafety>(pDisp, IID_IObjectSafety);
    ASSERT_NE(pSafety, nullptr);
    pIdentity = Query<IUnknown>(pSafety, IID_IUnknown);
    EXPECT_EQ(pIdentity, static_cast<IUnknown*>(&outer));
    pIdentity->Release();
    EXPECT_EQ(outer.cRef, 4);  // pDisp, pInvoker, pSafety

    // It works as an object of the class.
    EXPECT_EQ(GetVerByDispatch(pDisp), 1);
    ULONG ver = 0;
    EXPECT_EQ(pInvoker->GetVer(&ver), S_OK);
    EXPECT_EQ(ver, 1u);
    UINT count = 0;
    EXPECT_EQ(pDisp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    // What neither the inner object nor its outer offers.
    for (const IID& iid : {IID_IProvideClassInfo2, IID_ISupportErrorInfo, IID_IClassFactory}) {
        void* pv = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(outer.pInner->QueryInterface(iid, &pv), E_NOINTERFACE);
        EXPECT_EQ(pv, nullptr);
    }

    pSafety->Release();
    pInvoker->Release();
    EXPECT_EQ(pDisp->Release(), 1u);
    EXPECT_EQ(outer.cRef, 1);
    EXPECT_EQ(CanUnload(), S_FALSE);
    EXPECT_EQ(outer.pInner->Release(), 0u);  // the outer object lets its part go
    outer.pInner = nullptr;
    EXPECT_EQ(outer.cRef, 1);
    EXPECT_EQ(CanUnload(), S_OK);
}

TEST_F(DllObjects, EachAggregateHasItsOwnSafetyOptions)
{
    IClassFactory* pFactory = s_pDll->Factory();
    ASSERT_NE(pFactory, nullptr);
    TestOuter outers[2];
    for (TestOuter& o : outers)
        ASSERT_EQ(pFactory->CreateInstance(&o, IID_IUnknown, reinterpret_cast<void**>(&o.pInner)), S_OK);
    pFactory->Release();

    IObjectSafety* pFirst = Query<IObjectSafety>(outers[0].pInner, IID_IObjectSafety);
    IObjectSafety* pSecond = Query<IObjectSafety>(outers[1].pInner, IID_IObjectSafety);
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    EXPECT_EQ(pFirst->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
    DWORD supported = 0, enabled = 9;
    EXPECT_EQ(pSecond->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(pFirst->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 3u);
    // The interface asked about is looked up through the outer object.
    EXPECT_EQ(pFirst->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    pFirst->Release();
    pSecond->Release();

    for (TestOuter& o : outers) {
        EXPECT_EQ(o.cRef, 1);
        EXPECT_EQ(o.pInner->Release(), 0u);
        o.pInner = nullptr;
    }
}

}  // namespace
