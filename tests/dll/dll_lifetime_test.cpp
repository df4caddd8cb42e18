// Loads and unloads of Tarnwick.dll, and class-object requests from several
// threads. Every test loads the library itself and unloads it again, so each
// one starts from a fresh load.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <functional>
#include <vector>

#include "loaded_dll.h"
#include "tarnwick_h.h"

namespace {

constexpr int kThreads = 8;

struct ThreadStart {
    HANDLE hGo;
    const std::function<void(int)>* pBody;
    int index;
};

DWORD WINAPI ThreadMain(void* pv)
{
    const ThreadStart* s = static_cast<const ThreadStart*>(pv);
    WaitForSingleObject(s->hGo, INFINITE);
    (*s->pBody)(s->index);
    return 0;
}

// Starts `count` threads that wait on one event and then run `body(index)`
// all at once; returns when every thread has finished.
void RunReleasedTogether(int count, const std::function<void(int)>& body)
{
    HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(hGo, nullptr);
    std::vector<ThreadStart> starts(count);
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        starts[i] = {hGo, &body, i};
        HANDLE h = CreateThread(nullptr, 0, ThreadMain, &starts[i], 0, nullptr);
        EXPECT_NE(h, nullptr);
        if (h)
            threads.push_back(h);
    }
    SetEvent(hGo);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 60000),
              WAIT_OBJECT_0);
    for (HANDLE h : threads)
        CloseHandle(h);
    CloseHandle(hGo);
}

ULONG GetVerOf(IClassFactory* pFactory)
{
    IInvokerK318* pObj = nullptr;
    if (FAILED(pFactory->CreateInstance(nullptr, kIidInvoker, reinterpret_cast<void**>(&pObj))) || !pObj)
        return 0;
    ULONG ver = 0;
    if (FAILED(pObj->GetVer(&ver)))
        ver = 0;
    pObj->Release();
    return ver;
}

class DllLifetime : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(DllIsMapped()) << "the library is still loaded: this would not be a fresh load";
        ASSERT_TRUE(m_dll.Load()) << DllPathA();
    }
    void TearDown() override
    {
        m_dll.Free();
        EXPECT_FALSE(DllIsMapped());
    }

    // Unloads the library and loads it again.
    void Reload()
    {
        m_dll.Free();
        ASSERT_FALSE(DllIsMapped());
        ASSERT_TRUE(m_dll.Load());
    }

    LoadedDll m_dll;
};

// The class object is made once per load, also when the first requests race.
// The request itself needs no COM runtime, so the threads do not enter an
// apartment.
TEST_F(DllLifetime, ThreadsRacingForTheFirstClassObjectShareOne)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(testing::Message() << "load " << round);
        if (round > 0)
            Reload();
        IUnknown* got[kThreads] = {};
        HRESULT hrs[kThreads] = {};
        const LoadedDll& dll = m_dll;
        RunReleasedTogether(kThreads, [&](int i) {
            hrs[i] = dll.GetClassObject(kClsidInvoker, IID_IUnknown, reinterpret_cast<void**>(&got[i]));
        });
        for (int i = 0; i < kThreads; ++i) {
            EXPECT_EQ(hrs[i], S_OK) << i;
            EXPECT_NE(got[i], nullptr) << i;
            EXPECT_EQ(got[i], got[0]) << i;
        }
        if (!got[0])
            continue;
        IClassFactory* pFactory = m_dll.Factory();
        EXPECT_EQ(static_cast<IUnknown*>(pFactory), got[0]);
        EXPECT_EQ(GetVerOf(pFactory), 1u);
        pFactory->Release();
        EXPECT_EQ(m_dll.CanUnloadNow(), S_FALSE);

        // One count per host reference, plus the one the library keeps: the
        // last host release leaves 1.
        for (int i = 0; i < kThreads; ++i) {
            if (!got[i])
                continue;
            EXPECT_EQ(got[i]->Release(), static_cast<ULONG>(kThreads - i)) << i;
        }
        EXPECT_EQ(m_dll.CanUnloadNow(), S_OK);
    }
}

// Objects made, used and released on several threads at once: every lock the
// class object and the objects take is given back.
TEST_F(DllLifetime, LocksBalanceAcrossThreads)
{
    LONG failures = 0;
    const LoadedDll& dll = m_dll;
    RunReleasedTogether(kThreads, [&](int) {
        for (int n = 0; n < 200; ++n) {
            IClassFactory* pFactory = nullptr;
            if (FAILED(dll.GetClassObject(kClsidInvoker, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)))) {
                InterlockedIncrement(&failures);
                continue;
            }
            if (n % 2)
                pFactory->LockServer(TRUE);
            if (GetVerOf(pFactory) != 1)
                InterlockedIncrement(&failures);
            if (n % 2)
                pFactory->LockServer(FALSE);
            pFactory->Release();
        }
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(m_dll.CanUnloadNow(), S_OK);
    IClassFactory* pFactory = m_dll.Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->Release(), 1u);  // only the library's own reference is left
}

// A lock that the host never gave back belongs to the load it was taken in.
TEST_F(DllLifetime, AFreshLoadStartsUnlockedWithAWorkingClassObject)
{
    IClassFactory* pFactory = m_dll.Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(pFactory->LockServer(TRUE), S_OK);
    pFactory->Release();
    ASSERT_EQ(m_dll.CanUnloadNow(), S_FALSE);

    Reload();
    EXPECT_EQ(m_dll.CanUnloadNow(), S_OK);
    pFactory = m_dll.Factory();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(m_dll.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(GetVerOf(pFactory), 1u);
    EXPECT_EQ(pFactory->Release(), 1u);
    EXPECT_EQ(m_dll.CanUnloadNow(), S_OK);
}

// The last-request tick of the hall messages starts at zero with every load:
// a request refused in one load is accepted right after a reload. No hall
// window exists here, so an accepted request changes nothing else.
TEST_F(DllLifetime, HallRequestIntervalStartsAfreshWithEveryLoad)
{
    if (GetTickCount() < 2000)
        GTEST_SKIP() << "the clock has not run long enough to tell a first request";
    BSTR text = SysAllocString(L"room=7");
    auto loadExe = [&](const LoadedDll& dll) -> HRESULT {
        IInvokerK318* pObj = nullptr;
        HRESULT hr = dll.CreateObject(kIidInvoker, reinterpret_cast<void**>(&pObj));
        if (FAILED(hr))
            return hr;
        hr = pObj->LoadExe(12, text);
        pObj->Release();
        return hr;
    };

    const DWORD accepted = GetTickCount();
    ASSERT_EQ(loadExe(m_dll), S_OK);
    ASSERT_EQ(loadExe(m_dll), S_FALSE);  // within the interval, same load
    Reload();
    const HRESULT afterReload = loadExe(m_dll);
    const DWORD elapsed = GetTickCount() - accepted;
    SysFreeString(text);
    if (elapsed >= 1000)
        GTEST_SKIP() << "the reload took " << elapsed << " ms: the interval is over anyway";
    EXPECT_EQ(afterReload, S_OK);
    EXPECT_EQ(m_dll.CanUnloadNow(), S_OK);
}

// The TLS indexes still free: taken until none is left, then given back.
size_t FreeTlsIndexes()
{
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        taken.push_back(index);
    for (DWORD index : taken)
        TlsFree(index);
    return taken.size();
}

// A host that unloads idle libraries loads this one again on every page: a
// load, a use and an unload give back every TLS index and handle they took.
TEST(DllLoadCycles, LoadUseUnloadGivesBackEveryTlsIndexAndHandle)
{
    ASSERT_FALSE(DllIsMapped());
    auto cycle = [] {
        LoadedDll dll;
        if (!dll.Load())
            return false;
        IClassFactory* pFactory = dll.Factory();
        const bool used = pFactory != nullptr && GetVerOf(pFactory) == 1;
        if (pFactory)
            pFactory->Release();
        return used;
    };
    for (int i = 0; i < 5; ++i)  // the platform's one-time set-up
        ASSERT_TRUE(cycle());
    const size_t tlsBefore = FreeTlsIndexes();
    DWORD handlesBefore = 0, handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    int failed = 0;
    for (int i = 0; i < 1200; ++i)
        failed += cycle() ? 0 : 1;
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(FreeTlsIndexes(), tlsBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
    EXPECT_FALSE(DllIsMapped());
}

// The blocks in use in the process heap.
size_t BusyHeapBlocks()
{
    const HANDLE hHeap = GetProcessHeap();
    size_t count = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(hHeap);
    while (HeapWalk(hHeap, &entry))
        count += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? 1 : 0;
    HeapUnlock(hHeap);
    return count;
}

// The environment block holds a thread's first 64 TLS slots only: where the
// library's index comes after them, its calls find the thread's record the
// platform's way, answer as ever, and build the record once.
TEST(DllLoadCycles, CallsAnswerWhereTheTlsIndexIsPastTheFirst64)
{
    ASSERT_FALSE(DllIsMapped());
    std::vector<DWORD> taken;
    DWORD index;
    while ((index = TlsAlloc()) != TLS_OUT_OF_INDEXES && index < 64)
        taken.push_back(index);
    ASSERT_NE(index, TLS_OUT_OF_INDEXES);
    TlsFree(index);  // the lowest free index, the one the library takes
    {
        LoadedDll dll;
        ASSERT_TRUE(dll.Load());
        IInvokerK318* pObj = nullptr;
        ASSERT_EQ(dll.CreateObject(kIidInvoker, reinterpret_cast<void**>(&pObj)), S_OK);
        const size_t blocksBefore = BusyHeapBlocks();
        for (int i = 0; i < 100; ++i) {
            ULONG ver = 0;
            EXPECT_EQ(pObj->GetVer(&ver), S_OK);
            EXPECT_EQ(ver, 1u);
            void* pv = reinterpret_cast<void*>(0x1);
            EXPECT_EQ(pObj->QueryInterface(IID_IClassFactory, &pv), E_NOINTERFACE);
            EXPECT_EQ(pv, nullptr);
        }
        EXPECT_EQ(BusyHeapBlocks(), blocksBefore);
        EXPECT_EQ(pObj->Release(), 0u);
    }
    for (DWORD t : taken)
        TlsFree(t);
}

}  // namespace
