#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/class_factory.h"
#include "tests/support/platform_override.h"

namespace {

const CLSID kServed = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID kOther = {0x99999999, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

int g_creatorCalls = 0;
IUnknown* g_lastOuter = nullptr;

HRESULT FakeCreateInstance(IUnknown* pUnkOuter, REFIID, void** ppv)
{
    ++g_creatorCalls;
    g_lastOuter = pUnkOuter;
    *ppv = nullptr;
    return E_NOINTERFACE;
}

int g_factoriesMade = 0;
HRESULT CountingCreateClassFactory(void* pfn, REFIID riid, void** ppv)
{
    ++g_factoriesMade;
    return CreateClassFactory(pfn, riid, ppv);
}

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_creatorCalls = 0;
        g_factoriesMade = 0;
        m_entry = ClassEntry{&kServed, nullptr, CountingCreateClassFactory, FakeCreateInstance, nullptr, nullptr, nullptr};
        m_positions[0] = nullptr;  // empty positions are skipped
        m_positions[1] = &m_entry;
        m_lBaseLocks = g_pModule->LockCount();
    }
    void TearDown() override
    {
        m_list.Shutdown();
        testing_support::RestoreRealPlatform();
    }
    LONG Locks() const { return g_pModule->LockCount() - m_lBaseLocks; }

    ClassEntry m_entry{};
    ClassEntry* m_positions[2]{};
    CClassList m_list{m_positions, m_positions + 2, nullptr};
    LONG m_lBaseLocks = 0;
};

TEST_F(ClassFactoryTest, OneClassObjectIsCachedAndSharedAcrossRequests)
{
    IClassFactory* pFirst = nullptr;
    IUnknown* pSecond = nullptr;
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&pFirst)), S_OK);
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IUnknown, reinterpret_cast<void**>(&pSecond)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(pFirst), pSecond);
    EXPECT_EQ(g_factoriesMade, 1);
    // Two host references (count 3) hold one module lock.
    EXPECT_EQ(Locks(), 1);
    pFirst->Release();
    EXPECT_EQ(Locks(), 1);
    pSecond->Release();
    EXPECT_EQ(Locks(), 0);
    EXPECT_NE(m_entry.pClassObject, nullptr);  // still cached
}

TEST_F(ClassFactoryTest, LookupFailures)
{
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_list.GetClassObject(kOther, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, nullptr), E_POINTER);

    pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(m_list.GetClassObject(kServed, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(Locks(), 0);
    IUnknown* pUnk = nullptr;
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&pUnk)), S_OK);
    EXPECT_EQ(g_factoriesMade, 1);  // the refused request already made and cached it
    pUnk->Release();

    m_entry.pfnCreateClassObject = nullptr;  // an entry without a creator is never found
    EXPECT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);

    m_list.Shutdown();
    EXPECT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, &pv), E_UNEXPECTED);
}

BOOL WINAPI FailingInit(LPCRITICAL_SECTION, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

TEST_F(ClassFactoryTest, AFactoryWhoseLockFailsIsNotCachedAndTheNextRequestTriesAgain)
{
    void* pv = nullptr;
    {
        testing_support::ScopedOp init(&platform::Ops::InitializeCriticalSectionAndSpinCount, &FailingInit);
        EXPECT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, &pv), E_OUTOFMEMORY);
    }
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(m_entry.pClassObject, nullptr);
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, &pv), S_OK);
    static_cast<IUnknown*>(pv)->Release();
}

TEST_F(ClassFactoryTest, CreateInstanceRefusesAggregationExceptForIUnknown)
{
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)), S_OK);
    IUnknown* pOuter = reinterpret_cast<IUnknown*>(0x1234);
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(pFactory->CreateInstance(pOuter, IID_IDispatch, &pv), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(g_creatorCalls, 0);
    EXPECT_EQ(pFactory->CreateInstance(pOuter, IID_IUnknown, &pv), E_NOINTERFACE);  // the creator's answer
    EXPECT_EQ(g_creatorCalls, 1);
    EXPECT_EQ(g_lastOuter, pOuter);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(g_creatorCalls, 2);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
    pFactory->Release();
}

TEST_F(ClassFactoryTest, LockServerCountsEveryCall)
{
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)), S_OK);
    EXPECT_EQ(pFactory->LockServer(7), S_OK);  // any non-zero value locks
    EXPECT_EQ(Locks(), 2);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    pFactory->Release();
    EXPECT_EQ(Locks(), 0);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);  // unmatched: lowers the count like any unlock
    EXPECT_EQ(Locks(), -1);
    pFactory->LockServer(TRUE);
}

TEST_F(ClassFactoryTest, ThreadsRacingForTheClassObjectMakeOnlyOne)
{
    std::vector<std::thread> threads;
    std::vector<IUnknown*> got(8, nullptr);
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&got[i]));
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(g_factoriesMade, 1);
    for (IUnknown* p : got) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p, got[0]);
        p->Release();
    }
    EXPECT_EQ(Locks(), 0);
}

}  // namespace
