// Tarnwick.dll after it has registered itself: the class's type information
// comes from the registered type library, is kept for the rest of the load,
// and is let go exactly once when the library unloads. The program registers
// the library, so it runs in a Wine prefix of its own.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include "loaded_dll.h"

namespace {

// The reference count of a type information object, read by adding and
// removing one reference.
ULONG RefsOf(ITypeInfo* p)
{
    const ULONG n = p->AddRef();
    p->Release();
    return n - 1;
}

IProvideClassInfo* NewInfoSource(const LoadedDll& dll)
{
    IProvideClassInfo* p = nullptr;
    if (FAILED(dll.CreateObject(IID_IProvideClassInfo, reinterpret_cast<void**>(&p))))
        p = nullptr;
    return p;
}

class RegisteredDll : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        LoadedDll dll;
        ASSERT_TRUE(dll.Load()) << DllPathA();
        s_hrRegister = dll.RegisterServer();
    }
    static void TearDownTestSuite()
    {
        LoadedDll dll;
        if (dll.Load())
            dll.UnregisterServer();
        dll.Free();
        CoUninitialize();
    }
    void SetUp() override
    {
        ASSERT_EQ(s_hrRegister, S_OK);
        ASSERT_FALSE(DllIsMapped()) << "the library is still loaded: this would not be a fresh load";
        ITypeLib* pLib = nullptr;
        ASSERT_EQ(LoadRegTypeLib(kLibidTarnwick, 1, 0, 0, &pLib), S_OK);
        pLib->Release();
    }

    static HRESULT s_hrRegister;
};

HRESULT RegisteredDll::s_hrRegister = E_FAIL;

TEST_F(RegisteredDll, ClassInfoIsLoadedOnceAndSharedByAllObjects)
{
    LoadedDll dll;
    ASSERT_TRUE(dll.Load());
    IProvideClassInfo* pFirst = NewInfoSource(dll);
    IProvideClassInfo* pSecond = NewInfoSource(dll);
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);

    ITypeInfo* pInfo = nullptr;
    ASSERT_EQ(pFirst->GetClassInfo(&pInfo), S_OK);
    ASSERT_NE(pInfo, nullptr);
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(pInfo->GetTypeAttr(&pAttr), S_OK);
    EXPECT_EQ(pAttr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, kClsidInvoker));
    pInfo->ReleaseTypeAttr(pAttr);

    // Later calls, on any object, hand out the cached object with one more
    // reference each.
    const ULONG refs = RefsOf(pInfo);
    for (IProvideClassInfo* pSource : {pFirst, pSecond, pFirst}) {
        ITypeInfo* pAgain = nullptr;
        ASSERT_EQ(pSource->GetClassInfo(&pAgain), S_OK);
        EXPECT_EQ(pAgain, pInfo);
        EXPECT_EQ(RefsOf(pInfo), refs + 1);
        pAgain->Release();
    }
    pInfo->Release();
    EXPECT_EQ(pFirst->Release(), 0u);
    EXPECT_EQ(pSecond->Release(), 0u);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// The cached class type information is released when the library unloads,
// once, and a new load caches it anew.
TEST_F(RegisteredDll, UnloadReleasesTheCachedClassInfoOnce)
{
    LoadedDll dll;
    for (int load = 0; load < 2; ++load) {
        SCOPED_TRACE(testing::Message() << "load " << load);
        ASSERT_FALSE(DllIsMapped());
        ASSERT_TRUE(dll.Load());
        IProvideClassInfo* pSource = NewInfoSource(dll);
        ASSERT_NE(pSource, nullptr);
        ITypeInfo* pInfo = nullptr;
        ASSERT_EQ(pSource->GetClassInfo(&pInfo), S_OK);
        ASSERT_NE(pInfo, nullptr);
        EXPECT_EQ(pSource->Release(), 0u);
        ASSERT_EQ(dll.CanUnloadNow(), S_OK);

        const ULONG whileLoaded = RefsOf(pInfo);  // ours and the library's
        dll.Free();
        ASSERT_FALSE(DllIsMapped());
        EXPECT_EQ(RefsOf(pInfo), whileLoaded - 1);
        pInfo->Release();
    }
}

}  // namespace
