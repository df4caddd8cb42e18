// Module object, lock count, shutdown callbacks, entry-point logic and the
// critical-section lock.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "server/module.h"
#include "tests/support/platform_override.h"
#include "tests/support/test_thread.h"
#include "tarnwick_h.h"

using testing_support::FakeState;
using testing_support::TestThread;
using testing_support::ScopedOp;

namespace {

// What the shutdown callbacks below see.
struct RecordedCalls {
    std::string calls;
};
struct LockObservation {
    CServerModule* pObserved = nullptr;
    bool bLockFreeDuringCallback = false;
};

// Each test gets its own module object; the constructor points g_pModule at
// it, so the previous values are put back afterwards.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pSavedModule = g_pModule;
        m_bSavedFailed = g_bStartupFailed;
        m_pModule = new CServerModule;
    }
    void TearDown() override
    {
        delete m_pModule;
        g_pModule = m_pSavedModule;
        g_bStartupFailed = m_bSavedFailed;
        testing_support::RestoreRealPlatform();
    }

    CServerModule* m_pModule = nullptr;
    FakeState<RecordedCalls> m_recorded;
    FakeState<LockObservation> m_observed;

private:
    CServerModule* m_pSavedModule = nullptr;
    bool m_bSavedFailed = false;
};

TEST_F(ModuleTest, ConstructorMakesItTheProcessModule)
{
    EXPECT_EQ(m_pModule, g_pModule);
    EXPECT_NE(0u, m_pModule->m_dwLive);
    EXPECT_TRUE(IsEqualGUID(LIBID_Tarnwick, g_libid));
}

TEST_F(ModuleTest, CanUnloadFollowsTheLockCount)
{
    EXPECT_EQ(S_OK, ModuleCanUnloadNow());  // fresh: nothing holds the library

    EXPECT_EQ(1, m_pModule->Lock());
    EXPECT_EQ(S_FALSE, ModuleCanUnloadNow());
    EXPECT_EQ(0, m_pModule->Unlock());
    EXPECT_EQ(S_OK, ModuleCanUnloadNow());

    // An unmatched Unlock goes below zero and is not clamped.
    EXPECT_EQ(-1, m_pModule->Unlock());
    EXPECT_EQ(-1, m_pModule->LockCount());
    EXPECT_EQ(S_FALSE, ModuleCanUnloadNow());
    EXPECT_EQ(0, m_pModule->Lock());
    EXPECT_EQ(S_OK, ModuleCanUnloadNow());
}

TEST_F(ModuleTest, LockAndUnlockFromTwoThreadsBalance)
{
    constexpr int kRounds = 10000;
    auto worker = [this] {
        for (int i = 0; i < kRounds; ++i) {
            m_pModule->Lock();
            m_pModule->Unlock();
        }
    };
    TestThread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(0, m_pModule->LockCount());
}

TEST(ModuleDllMain, OnlyProcessAttachIsRefusedAfterAFailedStartup)
{
    struct Case {
        DWORD reason;
        bool startupFailed;
        BOOL expected;
    };
    const Case cases[] = {
        {DLL_PROCESS_ATTACH, false, TRUE},  {DLL_PROCESS_ATTACH, true, FALSE},
        {DLL_PROCESS_DETACH, false, TRUE},  {DLL_PROCESS_DETACH, true, TRUE},
        {DLL_THREAD_ATTACH, false, TRUE},   {DLL_THREAD_ATTACH, true, TRUE},
        {DLL_THREAD_DETACH, false, TRUE},   {DLL_THREAD_DETACH, true, TRUE},
    };
    const bool saved = g_bStartupFailed;
    for (const auto& c : cases) {
        g_bStartupFailed = c.startupFailed;
        EXPECT_EQ(c.expected, ModuleDllMain(GetModuleHandleA(nullptr), c.reason, nullptr))
            << "reason " << c.reason << " failed " << c.startupFailed;
    }
    g_bStartupFailed = saved;
}

// --- shutdown callbacks ------------------------------------------------------

void Record(void* pArg)
{
    FakeState<RecordedCalls>::Current().calls += static_cast<const char*>(pArg);
}

TEST_F(ModuleTest, ShutdownRunsCallbacksNewestFirstAndOnlyOnce)
{
    static char a[] = "A", b[] = "B";
    ASSERT_EQ(S_OK, m_pModule->AddShutdownCallback(&Record, a));
    ASSERT_EQ(S_OK, m_pModule->AddShutdownCallback(&Record, b));
    EXPECT_EQ("", m_recorded->calls);

    m_pModule->Shutdown();
    EXPECT_EQ("BA", m_recorded->calls);
    EXPECT_EQ(nullptr, m_pModule->m_pShutdownList);
    EXPECT_EQ(0u, m_pModule->m_dwLive);

    m_pModule->Shutdown();  // and once more through the destructor in TearDown
    EXPECT_EQ("BA", m_recorded->calls);
}

void CheckLockIsFree(void*)
{
    // Another thread can take the module lock only if the runner holds none.
    LockObservation& fake = FakeState<LockObservation>::Current();
    TestThread t([&fake] {
        if (TryEnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&fake.pObserved->m_lockModule))) {
            fake.bLockFreeDuringCallback = true;
            LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&fake.pObserved->m_lockModule));
        }
    });
    t.join();
}

TEST_F(ModuleTest, CallbacksRunWithoutTheModuleLock)
{
    m_observed->pObserved = m_pModule;
    ASSERT_EQ(S_OK, m_pModule->AddShutdownCallback(&CheckLockIsFree, nullptr));
    m_pModule->Shutdown();
    EXPECT_TRUE(m_observed->bLockFreeDuringCallback);
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T)
{
    return nullptr;
}

TEST_F(ModuleTest, FailedAllocationLeavesTheListUnchanged)
{
    static char a[] = "A", b[] = "B";
    ASSERT_EQ(S_OK, m_pModule->AddShutdownCallback(&Record, a));
    ShutdownCallback* const pBefore = m_pModule->m_pShutdownList;
    {
        ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> op(&platform::Ops::HeapAlloc, &FailingHeapAlloc);
        EXPECT_EQ(E_OUTOFMEMORY, m_pModule->AddShutdownCallback(&Record, b));
    }
    EXPECT_EQ(pBefore, m_pModule->m_pShutdownList);
    EXPECT_EQ(nullptr, pBefore->pNext);
    m_pModule->Shutdown();
    EXPECT_EQ("A", m_recorded->calls);
}

// --- CCriticalLock -----------------------------------------------------------

struct InitError {
    DWORD lastError = 0;
};
BOOL WINAPI FailingInit(LPCRITICAL_SECTION, DWORD)
{
    SetLastError(FakeState<InitError>::Current().lastError);
    return FALSE;
}

TEST(CCriticalLock, InitFailureIsMappedToAnHResult)
{
    struct Case {
        DWORD lastError;
        HRESULT expected;
    };
    const Case cases[] = {
        {ERROR_NOT_ENOUGH_MEMORY, E_OUTOFMEMORY},
        {ERROR_OUTOFMEMORY, E_OUTOFMEMORY},
        {static_cast<DWORD>(STATUS_NO_MEMORY), E_OUTOFMEMORY},
        {ERROR_INVALID_PARAMETER, E_FAIL},
        {0, E_FAIL},
    };
    FakeState<InitError> fake;
    ScopedOp<BOOL(WINAPI*)(LPCRITICAL_SECTION, DWORD)> op(&platform::Ops::InitializeCriticalSectionAndSpinCount,
                                                          &FailingInit);
    for (const auto& c : cases) {
        fake->lastError = c.lastError;
        CCriticalLock lock;
        EXPECT_EQ(c.expected, lock.Init()) << "last error " << c.lastError;
    }
}

TEST(CCriticalLock, FailedInitMarksTheStartupFailed)
{
    CServerModule* const pSaved = g_pModule;
    const bool savedFailed = g_bStartupFailed;
    g_bStartupFailed = false;
    FakeState<InitError> fake;
    fake->lastError = ERROR_NOT_ENOUGH_MEMORY;
    {
        ScopedOp<BOOL(WINAPI*)(LPCRITICAL_SECTION, DWORD)> op(&platform::Ops::InitializeCriticalSectionAndSpinCount,
                                                              &FailingInit);
        CServerModule module;
        EXPECT_TRUE(g_bStartupFailed);
        EXPECT_EQ(FALSE, ModuleDllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
    }
    g_pModule = pSaved;
    g_bStartupFailed = savedFailed;
}

// True when a thread other than the caller can take the lock right now.
bool FreeForOtherThreads(CCriticalLock& lock)
{
    bool free = false;
    TestThread t([&] {
        if (TryEnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&lock))) {
            free = true;
            LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&lock));
        }
    });
    t.join();
    return free;
}

TEST(CCriticalLock, IsReentrantOnOneThread)
{
    CCriticalLock lock;
    ASSERT_EQ(S_OK, lock.Init());
    lock.Enter();
    lock.Enter();  // would deadlock if not re-entrant
    lock.Leave();
    EXPECT_FALSE(FreeForOtherThreads(lock));  // still held once
    lock.Leave();
    EXPECT_TRUE(FreeForOtherThreads(lock));
    lock.Term();
}

TEST(CCriticalLockHolder, ReleasesWhenAnExceptionPasses)
{
    CCriticalLock lock;
    ASSERT_EQ(S_OK, lock.Init());
    EXPECT_THROW(
        {
            CCriticalLockHolder hold(lock);
            EXPECT_FALSE(FreeForOtherThreads(lock));
            throw std::runtime_error("passing through");
        },
        std::runtime_error);
    EXPECT_TRUE(FreeForOtherThreads(lock));

    {
        CCriticalLockHolder hold(lock);
        hold.Unlock();
        EXPECT_TRUE(FreeForOtherThreads(lock));
    }  // the destructor must not leave a second time
    EXPECT_TRUE(FreeForOtherThreads(lock));
    lock.Term();
}

// --- process-wide records ----------------------------------------------------

TEST(CModuleInstance, NamesTheModuleItLivesIn)
{
    EXPECT_EQ(GetModuleHandleA(nullptr), g_moduleInstance.m_hInstance);
}

TEST(CServerModule, GlobalModuleIsLiveAndCarriesTheLibid)
{
    EXPECT_NE(0u, g_serverModule.m_dwLive);
    EXPECT_FALSE(g_bStartupFailed);
    EXPECT_TRUE(IsEqualGUID(LIBID_Tarnwick, g_libid));
}

}  // namespace
