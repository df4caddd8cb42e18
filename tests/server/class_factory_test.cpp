#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "server/class_factory.h"
#include "tests/support/platform_override.h"
#include "tests/support/test_thread.h"

using testing_support::FakeState;
using testing_support::TestThread;

namespace {

const CLSID kServed = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID kOther = {0x99999999, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

// The served class's creators. The class list makes its class object under
// its own lock, so the racing threads never count at the same time.
struct ServedClassState {
    int factoriesMade = 0;
    int creatorCalls = 0;
    IUnknown* lastOuter = nullptr;
};

HRESULT FakeCreateInstance(IUnknown* pUnkOuter, REFIID, void** ppv)
{
    ServedClassState& fake = FakeState<ServedClassState>::Current();
    ++fake.creatorCalls;
    fake.lastOuter = pUnkOuter;
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CountingCreateClassFactory(void* pfn, REFIID riid, void** ppv)
{
    ++FakeState<ServedClassState>::Current().factoriesMade;
    return CreateClassFactory(pfn, riid, ppv);
}

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
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

    FakeState<ServedClassState> m_served;  // first in, so it outlives the lists
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
    EXPECT_EQ(m_served->factoriesMade, 1);
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
    EXPECT_EQ(m_served->factoriesMade, 1);  // the refused request already made and cached it
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
    EXPECT_EQ(m_served->creatorCalls, 0);
    EXPECT_EQ(pFactory->CreateInstance(pOuter, IID_IUnknown, &pv), E_NOINTERFACE);  // the creator's answer
    EXPECT_EQ(m_served->creatorCalls, 1);
    EXPECT_EQ(m_served->lastOuter, pOuter);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(m_served->creatorCalls, 2);
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
    std::vector<TestThread> threads;
    std::vector<IUnknown*> got(8, nullptr);
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&got[i]));
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(m_served->factoriesMade, 1);
    for (IUnknown* p : got) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p, got[0]);
        p->Release();
    }
    EXPECT_EQ(Locks(), 0);
}

// A class object whose creator hands its pointer out before taking its first
// reference, and dawdles there: whoever uses it in that window sees it
// half-built (count 0), and a Release from there would destroy it under its
// creator. It is never deleted, only counted.
class HalfBuilt : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        if (m_refs.load() == 0)
            sawIncomplete = true;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = --m_refs;
        if (n == 0 && !finished)
            destroyedEarly = true;
        return static_cast<ULONG>(n);
    }

    std::atomic<LONG> m_refs{0};
    std::atomic<bool> sawIncomplete{false}, destroyedEarly{false}, finished{false};
};

struct PublishEarlyState {
    HalfBuilt* pObject = nullptr;
    HANDLE published = nullptr;
    HANDLE readerDone = nullptr;
};

HRESULT PublishEarlyCreator(void*, REFIID, void** ppv)
{
    PublishEarlyState& fake = FakeState<PublishEarlyState>::Current();
    *ppv = fake.pObject;                         // out pointer written first
    SetEvent(fake.published);
    WaitForSingleObject(fake.readerDone, 300);   // the widened window
    fake.pObject->AddRef();                      // its reference only now
    fake.pObject->finished = true;
    return S_OK;
}

TEST_F(ClassFactoryTest, NoReaderSeesTheClassObjectBeforeItsCreatorReturns)
{
    FakeState<PublishEarlyState> publishEarly;
    HalfBuilt object;
    publishEarly->pObject = &object;
    publishEarly->published = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    publishEarly->readerDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_entry.pfnCreateClassObject = PublishEarlyCreator;

    IUnknown* pReaderGot = nullptr;
    TestThread reader([&] {
        WaitForSingleObject(publishEarly->published, INFINITE);
        m_list.GetClassObject(kServed, IID_IUnknown, reinterpret_cast<void**>(&pReaderGot));
        SetEvent(publishEarly->readerDone);
        if (pReaderGot)
            pReaderGot->Release();
    });
    IUnknown* pCreatorGot = nullptr;
    EXPECT_EQ(m_list.GetClassObject(kServed, IID_IUnknown, reinterpret_cast<void**>(&pCreatorGot)), S_OK);
    reader.join();
    EXPECT_FALSE(object.sawIncomplete);
    EXPECT_FALSE(object.destroyedEarly);
    EXPECT_EQ(pReaderGot, &object);
    EXPECT_EQ(pCreatorGot, &object);
    if (pCreatorGot)
        pCreatorGot->Release();
    m_list.Shutdown();  // gives back the cached reference
    EXPECT_EQ(object.m_refs.load(), 0);
    CloseHandle(publishEarly->published);
    CloseHandle(publishEarly->readerDone);
}

// Many threads released together on a fresh class list, round after round:
// one class object per round, every thread gets it, and the locks return.
TEST_F(ClassFactoryTest, ThreadsRacingOverFreshClassListsShareOneObjectEachRound)
{
    constexpr int kRounds = 40;
    constexpr size_t kThreads = 8;
    for (int round = 0; round < kRounds; ++round) {
        m_served->factoriesMade = 0;
        ClassEntry entry{&kServed, nullptr, CountingCreateClassFactory, FakeCreateInstance, nullptr, nullptr, nullptr};
        ClassEntry* positions[] = {&entry};
        CClassList list(positions, positions + 1, nullptr);
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<IUnknown*> got(kThreads, nullptr);
        std::vector<TestThread> threads;
        for (size_t i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                WaitForSingleObject(go, INFINITE);
                list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&got[i]));
                for (int k = 0; k < 50 && got[i]; ++k) {
                    got[i]->AddRef();
                    got[i]->Release();
                }
            });
        SetEvent(go);
        for (auto& t : threads)
            t.join();
        CloseHandle(go);
        EXPECT_EQ(m_served->factoriesMade, 1) << "round " << round;
        for (IUnknown* p : got) {
            ASSERT_NE(p, nullptr) << "round " << round;
            EXPECT_EQ(p, got[0]) << "round " << round;
            p->Release();
        }
        EXPECT_EQ(Locks(), 0) << "round " << round;
        list.Shutdown();
    }
}

// Whoever looks under the class object's lock sees its count and its module
// lock agree: one module lock exactly while anyone but the list holds it.
TEST_F(ClassFactoryTest, CountAndModuleLockAgreeUnderTheObjectsLock)
{
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(m_list.GetClassObject(kServed, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)), S_OK);
    pFactory->Release();  // only the list holds it now
    CClassFactory* pObject = static_cast<CClassFactory*>(pFactory);

    std::atomic<int> running{2};
    std::atomic<long> disagreements{0}, looks{0};
    auto worker = [&] {
        for (int k = 0; k < 100000; ++k) {
            pFactory->AddRef();
            pFactory->Release();
        }
        --running;
    };
    TestThread a(worker), b(worker);
    while (running.load() > 0 || looks.load() < 1000) {
        CCriticalLockHolder hold(pObject->m_lockCache);
        const LONG refs = pObject->m_lRefs;
        if (Locks() != (refs >= 2 ? 1 : 0))
            ++disagreements;
        ++looks;
    }
    a.join();
    b.join();
    EXPECT_EQ(disagreements.load(), 0) << "in " << looks.load() << " looks";
    EXPECT_EQ(Locks(), 0);
}

}  // namespace
