#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>

#include "tests/support/built_library.h"

#include "tarnwick_h.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The built library, as a host loads it: by its path, not linked in.
class LoadedLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        const std::string path = BuiltLibraryPath();
        ASSERT_FALSE(path.empty()) << "TARNWICK_BIN is not set";
        s_hDll = LoadLibraryA(path.c_str());
        ASSERT_NE(s_hDll, nullptr) << path;
        s_getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(s_hDll, "DllGetClassObject")));
        s_canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(s_hDll, "DllCanUnloadNow")));
        ASSERT_NE(s_getClassObject, nullptr);
        ASSERT_NE(s_canUnloadNow, nullptr);
    }

    static IClassFactory* Factory()
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(s_getClassObject(CLSID_CInvokerK318, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)),
                  S_OK);
        return pFactory;
    }

    static HMODULE s_hDll;
    static GetClassObjectFn s_getClassObject;
    static CanUnloadNowFn s_canUnloadNow;
};

HMODULE LoadedLibrary::s_hDll = nullptr;
GetClassObjectFn LoadedLibrary::s_getClassObject = nullptr;
CanUnloadNowFn LoadedLibrary::s_canUnloadNow = nullptr;

TEST_F(LoadedLibrary, ScriptStyleCallByNameReturnsTheVersion)
{
    EXPECT_EQ(s_canUnloadNow(), S_OK);
    IClassFactory* pFactory = Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(s_canUnloadNow(), S_FALSE);  // the host holds the class object

    IDispatch* pDisp = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&pDisp)), S_OK);
    pFactory->Release();
    EXPECT_EQ(s_canUnloadNow(), S_FALSE);  // the object holds the module

    LPOLESTR name = const_cast<LPOLESTR>(L"getver");
    DISPID id = 0;
    ASSERT_EQ(pDisp->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 3);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(pDisp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1);

    IInvokerK318* pInvoker = nullptr;
    ASSERT_EQ(pDisp->QueryInterface(IID_IInvokerK318, reinterpret_cast<void**>(&pInvoker)), S_OK);
    EXPECT_EQ(static_cast<IDispatch*>(pInvoker), pDisp);
    ULONG ver = 0;
    EXPECT_EQ(pInvoker->GetVer(&ver), S_OK);
    EXPECT_EQ(ver, 1u);
    pInvoker->Release();

    EXPECT_EQ(pDisp->Release(), 0u);
    EXPECT_EQ(s_canUnloadNow(), S_OK);
}

TEST_F(LoadedLibrary, ClassObjectRequests)
{
    IUnknown* pUnk = nullptr;
    IClassFactory* pFactory = Factory();
    ASSERT_EQ(s_getClassObject(CLSID_CInvokerK318, IID_IUnknown, reinterpret_cast<void**>(&pUnk)), S_OK);
    EXPECT_EQ(pUnk, static_cast<IUnknown*>(pFactory));  // one class object per load
    pUnk->Release();
    pFactory->Release();

    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(s_getClassObject(IID_IDispatch, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(s_getClassObject(CLSID_CInvokerK318, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(s_getClassObject(CLSID_CInvokerK318, IID_IClassFactory, nullptr), E_POINTER);

    pFactory = Factory();
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    pFactory->Release();
    EXPECT_EQ(s_canUnloadNow(), S_FALSE);
    pFactory = Factory();
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    pFactory->Release();
    EXPECT_EQ(s_canUnloadNow(), S_OK);
}

}  // namespace
