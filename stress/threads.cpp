// Threads: 16 threads, half in single-threaded and half in multithreaded
// apartments, released together by one event, race DllGetClassObject,
// LockServer, CreateInstance, QueryInterface, Invoke (GetVer) and Release over
// a fresh load of the built library each round. Within a round every thread
// must see the same class object, and at its end DllCanUnloadNow must be S_OK.
//
// Usage: stress_threads [--seed N] [--rounds R] [--calls C]  (C: iterations per thread)

#include "stress/stress_common.h"

#include <cstdio>
#include <set>
#include <vector>

namespace {

constexpr int kThreads = 16;

struct Worker {
    stress::Dll* dll = nullptr;
    HANDLE hStart = nullptr;
    bool sta = false;
    uint64_t seed = 0;
    uint64_t iterations = 0;
    uint64_t calls = 0;
    uint64_t failures = 0;
    std::set<void*> classObjects;
};

DWORD WINAPI WorkerMain(void* pv)
{
    Worker& w = *static_cast<Worker*>(pv);
    const HRESULT hrInit = CoInitializeEx(nullptr, w.sta ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    stress::Rng rng(w.seed);
    WaitForSingleObject(w.hStart, INFINITE);
    auto check = [&](HRESULT hr) {
        ++w.calls;
        if (FAILED(hr))
            ++w.failures;
        return SUCCEEDED(hr);
    };
    for (uint64_t i = 0; i < w.iterations; ++i) {
        IClassFactory* pFactory = nullptr;
        if (!check(w.dll->GetClassObject(stress::kClsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory))))
            continue;
        w.classObjects.insert(pFactory);
        const bool lock = rng.OneIn(2);
        if (lock)
            check(pFactory->LockServer(TRUE));
        IUnknown* pUnk = nullptr;
        if (check(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pUnk)))) {
            IDispatch* pDisp = nullptr;
            if (check(pUnk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDisp)))) {
                DISPPARAMS dp = {nullptr, nullptr, 0, 0};
                VARIANT r;
                VariantInit(&r);
                const HRESULT hr =
                    pDisp->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &r, nullptr, nullptr);
                check(hr == S_OK && r.vt == VT_I4 && r.lVal == 1 ? S_OK : E_UNEXPECTED);
                VariantClear(&r);
                // Release in either order.
                if (rng.OneIn(2)) {
                    pUnk->Release();
                    pDisp->Release();
                } else {
                    pDisp->Release();
                    pUnk->Release();
                }
            } else {
                pUnk->Release();
            }
        }
        if (lock)
            check(pFactory->LockServer(FALSE));
        pFactory->Release();
    }
    if (SUCCEEDED(hrInit))
        CoUninitialize();
    return 0;
}

// Heap bytes one load-use-unload cycle leaves behind, net of warm-up cycles:
// what a host that loads and unloads the library often would grow by.
long long BytesPerLoadCycle(int cycles)
{
    auto cycle = [] {
        stress::Dll dll;
        if (!dll.Load())
            return false;
        IClassFactory* pFactory = dll.Factory();
        if (pFactory != nullptr) {
            IInvokerK318* pInvoker = nullptr;
            if (SUCCEEDED(pFactory->CreateInstance(nullptr, stress::kIidInvoker, reinterpret_cast<void**>(&pInvoker)))) {
                BSTR b = nullptr;
                pInvoker->GetSpReadUserID(&b);
                SysFreeString(b);
                pInvoker->Release();
            }
            pFactory->Release();
        }
        dll.Free();
        return true;
    };
    for (int i = 0; i < 5; ++i)
        if (!cycle())
            return -1;
    const long long before = stress::AllHeapsBytes();
    for (int i = 0; i < cycles; ++i)
        if (!cycle())
            return -1;
    return (stress::AllHeapsBytes() - before) / cycles;
}

}  // namespace

int main(int argc, char** argv)
{
    const stress::Options o = stress::ParseOptions(argc, argv, 200, 5);
    std::printf("threads: seed %llu, rounds %u, threads %d (8 STA, 8 MTA), iterations per thread %llu\n",
                static_cast<unsigned long long>(o.seed), o.rounds, kThreads, static_cast<unsigned long long>(o.calls));
    std::fflush(stdout);
    stress::Rng rng(o.seed);
    uint64_t calls = 0, failures = 0, badRounds = 0;
    for (uint32_t round = 0; round < o.rounds; ++round) {
        stress::Dll dll;
        if (!dll.Load()) {
            std::printf("cannot load %s\n", stress::DllPath().c_str());
            return 2;
        }
        HANDLE hStart = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<Worker> workers(kThreads);
        HANDLE rgh[kThreads];
        for (int t = 0; t < kThreads; ++t) {
            workers[t].dll = &dll;
            workers[t].hStart = hStart;
            workers[t].sta = t % 2 == 0;
            workers[t].seed = rng.Next();
            workers[t].iterations = o.calls;
            rgh[t] = CreateThread(nullptr, 0, WorkerMain, &workers[t], 0, nullptr);
        }
        Sleep(20);  // let every thread reach the event
        SetEvent(hStart);
        const DWORD wait = WaitForMultipleObjects(kThreads, rgh, TRUE, 120000);
        std::set<void*> classObjects;
        uint64_t roundCalls = 0, roundFailures = 0;
        for (int t = 0; t < kThreads; ++t) {
            CloseHandle(rgh[t]);
            classObjects.insert(workers[t].classObjects.begin(), workers[t].classObjects.end());
            roundCalls += workers[t].calls;
            roundFailures += workers[t].failures;
        }
        CloseHandle(hStart);
        const HRESULT hrUnload = dll.CanUnloadNow();
        const bool ok = wait == WAIT_OBJECT_0 && classObjects.size() == 1 && hrUnload == S_OK && roundFailures == 0;
        std::printf("  round %u: calls %llu, distinct class objects %zu, failures %llu, DllCanUnloadNow 0x%08lX%s\n",
                    round + 1, static_cast<unsigned long long>(roundCalls), classObjects.size(),
                    static_cast<unsigned long long>(roundFailures), static_cast<unsigned long>(hrUnload),
                    wait == WAIT_OBJECT_0 ? "" : ", HANG");
        std::fflush(stdout);
        if (wait != WAIT_OBJECT_0)
            return 3;  // threads still inside the library: it cannot be unloaded
        calls += roundCalls;
        failures += roundFailures;
        badRounds += ok ? 0 : 1;
        dll.Free();
    }
    // A cycle leaves nothing behind (the runtime of the win32 thread model has
    // no thread library of its own to keep books per load); above all, the
    // emergency pool's 72 KB must not be among what remains.
    constexpr long long kCycleTolerance = 4096;
    const long long perCycle = BytesPerLoadCycle(40);
    const bool cycleOk = perCycle >= 0 && perCycle <= kCycleTolerance;
    std::printf("  load-use-unload cycles leave %lld heap bytes each (40 cycles after 5 of warm-up; tolerance %lld)%s\n",
                perCycle, kCycleTolerance, cycleOk ? "" : ": FAULT");
    badRounds += cycleOk ? 0 : 1;
    std::printf("threads: rounds %u, threads %d, calls %llu, failures %llu, rounds with faults %llu: %s "
                "(replay: --seed %llu --rounds %u --calls %llu)\n",
                o.rounds, kThreads, static_cast<unsigned long long>(calls), static_cast<unsigned long long>(failures),
                static_cast<unsigned long long>(badRounds), badRounds ? "FAIL" : "PASS",
                static_cast<unsigned long long>(o.seed), o.rounds, static_cast<unsigned long long>(o.calls));
    return badRounds ? 1 : 0;
}
