// The documentation strings of the type library in Tarnwick.dll. They are
// stored as double-byte text of code page 936, so this program runs with
// Chinese (People's Republic of China) as the process code page.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <iterator>
#include <string>

#include "invoker_members.h"
#include "loaded_dll.h"

namespace {

std::wstring Str(BSTR b)
{
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

std::wstring HelpOf(ITypeInfo* pInfo, MEMBERID memid)
{
    BSTR doc = nullptr;
    EXPECT_EQ(pInfo->GetDocumentation(memid, nullptr, &doc, nullptr, nullptr), S_OK) << memid;
    return Str(doc);
}

ITypeInfo* InterfaceHalf(ITypeInfo* pDisp)
{
    HREFTYPE href = 0;
    ITypeInfo* pRef = nullptr;
    if (SUCCEEDED(pDisp->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)))
        pDisp->GetRefTypeInfo(href, &pRef);
    return pRef;
}

class TypeLibraryHelp : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (GetACP() != 936)
            GTEST_SKIP() << "needs code page 936";
        ASSERT_EQ(LoadTypeLib(DllPathW().c_str(), &m_pLib), S_OK);
    }
    void TearDown() override
    {
        if (m_pLib)
            m_pLib->Release();
    }

    ITypeLib* m_pLib = nullptr;
};

TEST(TypeLibraryHelpLocale, RunsUnderCodePage936)
{
    EXPECT_EQ(GetACP(), 936u);
}

TEST_F(TypeLibraryHelp, LibraryClassAndInterface)
{
    BSTR doc = nullptr;
    ASSERT_EQ(m_pLib->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Str(doc), L"Tarnwick 1.0 类型库");

    struct Case {
        GUID guid;
        const wchar_t* help;
    } cases[] = {
        {kClsidInvoker, L"InvokerK318 Class"},
        {kIidInvoker, L"IInvokerK318 接口"},
    };
    for (const Case& c : cases) {
        ITypeInfo* pInfo = nullptr;
        ASSERT_EQ(m_pLib->GetTypeInfoOfGuid(c.guid, &pInfo), S_OK);
        EXPECT_EQ(HelpOf(pInfo, MEMBERID_NIL), c.help);
        // The library's own index answers the same text.
        UINT index = 0;
        ITypeLib* pContaining = nullptr;
        ASSERT_EQ(pInfo->GetContainingTypeLib(&pContaining, &index), S_OK);
        pContaining->Release();
        BSTR byIndex = nullptr;
        EXPECT_EQ(m_pLib->GetDocumentation(static_cast<INT>(index), nullptr, &byIndex, nullptr, nullptr), S_OK);
        EXPECT_EQ(Str(byIndex), c.help);
        pInfo->Release();
    }
}

TEST_F(TypeLibraryHelp, InterfaceHalfCarriesTheSameText)
{
    ITypeInfo* pDisp = nullptr;
    ASSERT_EQ(m_pLib->GetTypeInfoOfGuid(kIidInvoker, &pDisp), S_OK);
    ITypeInfo* pVtbl = InterfaceHalf(pDisp);
    ASSERT_NE(pVtbl, nullptr);
    EXPECT_EQ(HelpOf(pVtbl, MEMBERID_NIL), L"IInvokerK318 接口");
    pVtbl->Release();
    pDisp->Release();
}

TEST_F(TypeLibraryHelp, EveryMethodHasItsHelpString)
{
    ITypeInfo* pDisp = nullptr;
    ASSERT_EQ(m_pLib->GetTypeInfoOfGuid(kIidInvoker, &pDisp), S_OK);
    ITypeInfo* pVtbl = InterfaceHalf(pDisp);
    ASSERT_NE(pVtbl, nullptr);
    for (const MethodRow& m : kInvokerMethods) {
        EXPECT_EQ(HelpOf(pDisp, m.memid), m.help) << m.memid;
        EXPECT_EQ(HelpOf(pVtbl, m.memid), m.help) << m.memid;
        BSTR name = nullptr;
        EXPECT_EQ(pVtbl->GetDocumentation(m.memid, &name, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(Str(name), m.name);
    }
    pVtbl->Release();
    pDisp->Release();
}

// A host that asks a live object for its type information reads the same
// texts: the object loads them from the library's own file.
TEST_F(TypeLibraryHelp, TypeInformationOfALiveObject)
{
    LoadedDll dll;
    ASSERT_TRUE(dll.Load());
    IDispatch* pObj = nullptr;
    ASSERT_EQ(dll.CreateObject(IID_IDispatch, reinterpret_cast<void**>(&pObj)), S_OK);

    ITypeInfo* pInfo = nullptr;
    ASSERT_EQ(pObj->GetTypeInfo(0, 0, &pInfo), S_OK);
    EXPECT_EQ(HelpOf(pInfo, MEMBERID_NIL), L"IInvokerK318 接口");
    for (const MethodRow& m : kInvokerMethods)
        EXPECT_EQ(HelpOf(pInfo, m.memid), m.help) << m.memid;
    pInfo->Release();
    EXPECT_EQ(pObj->Release(), 0u);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace
