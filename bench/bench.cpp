// The dispatch benchmark. One run measures, in nanoseconds per call (median
// and minimum over repeated timed runs), the late-bound calls that a page
// script makes on the bridge object: on our object from the built DLL, on two
// objects whose IDispatch is the platform's standard type-information-driven
// dispatch over the same interface, and directly through the interface table.
// Then the same calls from an in-process JScript engine, and the heap
// allocations each path makes. The goals are checked against the figures
// measured in this run and printed with PASS or MISS.
//
// Usage: tarnwick_bench [path of Tarnwick.dll]   (default: beside the program)
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/reference_objects.h"
#include "script_host/script_host.h"
#include "tarnwick_h.h"

namespace {

constexpr int kRuns = 15;
constexpr double kMinRunMs = 20.0;   // a calibrated run lasts at least this long
constexpr double kAimRunMs = 30.0;   // and is aimed at this length
constexpr int kAllocCalls = 2000;    // calls per allocation count

volatile LONG g_sink = 0;
LARGE_INTEGER g_freq;

inline void Sink(LONG v) { g_sink = g_sink + v; }

LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double TicksToMs(LONGLONG t) { return static_cast<double>(t) * 1000.0 / static_cast<double>(g_freq.QuadPart); }
double TicksToNs(LONGLONG t) { return static_cast<double>(t) * 1e9 / static_cast<double>(g_freq.QuadPart); }

struct Figure {
    double median = -1.0;
    double min = -1.0;
    long n = 0;  // calls per timed run
    bool Valid() const { return median >= 0.0; }
};

// batch(n) makes n calls. The count is raised until one run lasts
// kMinRunMs, then kRuns runs of that many calls are timed.
template <class Batch>
Figure Measure(Batch&& batch)
{
    long n = 64;
    batch(n);  // warm the caches and any lazily built state
    for (;;) {
        const LONGLONG t0 = Now();
        batch(n);
        const double ms = TicksToMs(Now() - t0);
        if (ms >= kMinRunMs)
            break;
        if (ms < 1.0)
            n *= 10;
        else
            n = static_cast<long>(static_cast<double>(n) * kAimRunMs / ms) + 1;
    }
    std::vector<double> perCall;
    for (int r = 0; r < kRuns; ++r) {
        const LONGLONG t0 = Now();
        batch(n);
        perCall.push_back(TicksToNs(Now() - t0) / static_cast<double>(n));
    }
    std::sort(perCall.begin(), perCall.end());
    Figure f;
    f.median = perCall[kRuns / 2];
    f.min = perCall[0];
    f.n = n;
    return f;
}

Figure Difference(const Figure& a, const Figure& b)
{
    Figure f;
    if (a.Valid() && b.Valid()) {
        f.median = a.median - b.median;
        f.min = a.min - b.min;
        f.n = a.n;
    }
    return f;
}

// ---------------------------------------------------------------------------
// The objects compared, as IDispatch pointers with the DISPIDs each answers.
struct Subject {
    const char* pszName;
    IDispatch* pDisp = nullptr;
    DISPID dispidGetVer = DISPID_UNKNOWN;
    DISPID dispidLoadExe = DISPID_UNKNOWN;
    HRESULT hrLoadExe = E_FAIL;      // what Invoke(LoadExe) answered in the timed runs
    long cLoadExeAccepted = 0;       // calls that were not refused
};

enum Column { kOurs, kStd, kTypeInfo, kDirect, kColumns };
const char* const kColumnTitles[kColumns] = {"ours", "CreateStdDispatch", "DispInvoke", "direct"};

enum Row {
    kRowIdsGetVer,
    kRowIdsRunVideo,
    kRowInvokeGetVer,
    kRowInvokeLoadExe,
    kRowInvokeLoadExeCoerced,
    kRowArgSetup,
    kRowInvokeLoadExeCoercedNet,
    kRows
};
const char* const kRowTitles[kRows] = {
    "GetIDsOfNames(\"GetVer\")",
    "GetIDsOfNames(\"RunVideo\")",
    "Invoke(GetVer)",
    "Invoke(LoadExe, I4 12 + BSTR)",
    "Invoke(LoadExe, BSTR \"12\" + BSTR)",
    "  argument setup alone [1]",
    "  the same, net of setup",
};

Figure g_table[kRows][kColumns];

DISPID LookUp(IDispatch* p, const wchar_t* pszName)
{
    LPOLESTR name = const_cast<LPOLESTR>(pszName);
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(p->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)))
        return DISPID_UNKNOWN;
    return id;
}

// ---------------------------------------------------------------------------
// The bridge refuses requests closer than a second apart; a refused LoadExe
// touches no window and no text, so its cost is that of the dispatch alone.
// One accepted call starts the second; every timed LoadExe series of our
// object follows such a call and must end within it.
IInvokerK318* g_pOurInvoker = nullptr;
BSTR g_bstrConn = nullptr;
DWORD g_dwArmedTick = 0;

void ArmRefusal()
{
    for (;;) {
        if (g_pOurInvoker->LoadExe(12, g_bstrConn) == S_OK) {
            g_dwArmedTick = GetTickCount();
            return;
        }
        Sleep(50);
    }
}

DWORD MsSinceArmed() { return GetTickCount() - g_dwArmedTick; }

// ---------------------------------------------------------------------------
auto IdsBatch(IDispatch* p, const wchar_t* pszName)
{
    return [p, pszName](long n) {
        LPOLESTR name = const_cast<LPOLESTR>(pszName);
        for (long i = 0; i < n; ++i) {
            DISPID id = DISPID_UNKNOWN;
            p->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
            Sink(id);
        }
    };
}

auto InvokeGetVerBatch(IDispatch* p, DISPID id)
{
    return [p, id](long n) {
        DISPPARAMS dp = {nullptr, nullptr, 0, 0};
        VARIANT result;
        VariantInit(&result);
        UINT argErr = 0;
        for (long i = 0; i < n; ++i) {
            p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &result, nullptr, &argErr);
            Sink(result.lVal);  // VT_I4 or VT_UI4: nothing to clear
        }
    };
}

auto InvokeLoadExeBatch(Subject* s)
{
    return [s](long n) {
        VARIANTARG args[2];
        args[1].vt = VT_I4;  // rid, the first parameter, is the last in rgvarg
        args[1].lVal = 12;
        args[0].vt = VT_BSTR;
        args[0].bstrVal = g_bstrConn;
        DISPPARAMS dp = {args, nullptr, 2, 0};
        UINT argErr = 0;
        long cAccepted = 0;
        HRESULT hr = S_OK;
        for (long i = 0; i < n; ++i) {
            hr = s->pDisp->Invoke(s->dispidLoadExe, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, nullptr,
                                  nullptr, &argErr);
            cAccepted += (hr != S_FALSE);
        }
        s->hrLoadExe = hr;
        s->cLoadExeAccepted += cAccepted;
    };
}

// The rid arrives as text. Our Invoke converts it in place (the caller's
// BSTR is released and the argument becomes VT_I4), so each call gets a fresh
// text argument and the caller clears it afterwards, for every column alike.
auto InvokeLoadExeCoercedBatch(Subject* s)
{
    return [s](long n) {
        VARIANTARG args[2];
        args[0].vt = VT_BSTR;
        args[0].bstrVal = g_bstrConn;
        DISPPARAMS dp = {args, nullptr, 2, 0};
        UINT argErr = 0;
        long cAccepted = 0;
        for (long i = 0; i < n; ++i) {
            args[1].vt = VT_BSTR;
            args[1].bstrVal = SysAllocString(L"12");
            const HRESULT hr = s->pDisp->Invoke(s->dispidLoadExe, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                &dp, nullptr, nullptr, &argErr);
            cAccepted += (hr != S_FALSE);
            VariantClear(&args[1]);
        }
        s->cLoadExeAccepted += cAccepted;
    };
}

auto ArgSetupBatch()
{
    return [](long n) {
        VARIANTARG arg;
        for (long i = 0; i < n; ++i) {
            arg.vt = VT_BSTR;
            arg.bstrVal = SysAllocString(L"12");
            Sink(static_cast<LONG>(reinterpret_cast<INT_PTR>(arg.bstrVal) & 1));
            VariantClear(&arg);
        }
    };
}

auto DirectGetVerBatch(IInvokerK318* p)
{
    return [p](long n) {
        for (long i = 0; i < n; ++i) {
            ULONG v = 0;
            p->GetVer(&v);
            Sink(static_cast<LONG>(v));
        }
    };
}

auto DirectLoadExeBatch(IInvokerK318* p, long* pcAccepted)
{
    return [p, pcAccepted](long n) {
        long cAccepted = 0;
        for (long i = 0; i < n; ++i)
            cAccepted += (p->LoadExe(12, g_bstrConn) != S_FALSE);
        *pcAccepted += cAccepted;
    };
}

// ---------------------------------------------------------------------------
// Script: timed around CScriptHost::Run of a whole loop.
struct ScriptLoop {
    ScriptLoop(const char* title, const wchar_t* body) : pszTitle(title), pszBody(body) {}
    const char* pszTitle;
    const wchar_t* pszBody;  // the loop body, or empty for the engine's empty loop
    long n = 0;
    std::vector<double> perIteration;
    Figure figure;
};

std::wstring LoopText(const ScriptLoop& loop, long n)
{
    return L"for (var i = 0; i < " + std::to_wstring(n) + L"; i++) " + loop.pszBody + L";";
}

bool RunTimed(CScriptHost& host, const ScriptLoop& loop, long n, double* pMs)
{
    const std::wstring text = LoopText(loop, n);
    const LONGLONG t0 = Now();
    const HRESULT hr = host.Run(text.c_str());
    *pMs = TicksToMs(Now() - t0);
    if (FAILED(hr)) {
        std::printf("script error 0x%08lX in \"%ls\": %ls\n", static_cast<unsigned long>(hr), text.c_str(),
                    host.LastError().c_str());
        return false;
    }
    return true;
}

bool MeasureScript(CScriptHost& host, std::vector<ScriptLoop>& loops)
{
    for (ScriptLoop& loop : loops) {
        long n = 100;
        double ms = 0.0;
        if (!RunTimed(host, loop, n, &ms))
            return false;
        for (;;) {
            if (!RunTimed(host, loop, n, &ms))
                return false;
            if (ms >= kMinRunMs)
                break;
            n = (ms < 1.0) ? n * 10 : static_cast<long>(static_cast<double>(n) * kAimRunMs / ms) + 1;
        }
        loop.n = n;
    }
    // Rounds interleave the loops, so a drift of the machine touches all alike.
    for (int r = 0; r < kRuns; ++r) {
        for (ScriptLoop& loop : loops) {
            double ms = 0.0;
            if (!RunTimed(host, loop, loop.n, &ms))
                return false;
            loop.perIteration.push_back(ms * 1e6 / static_cast<double>(loop.n));
        }
    }
    for (ScriptLoop& loop : loops) {
        std::sort(loop.perIteration.begin(), loop.perIteration.end());
        loop.figure.median = loop.perIteration[kRuns / 2];
        loop.figure.min = loop.perIteration[0];
        loop.figure.n = loop.n;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Allocations: calls of the heap allocator on this thread, and the net change
// of busy heap blocks, per call, over kAllocCalls calls after a warm-up.
struct AllocCount {
    double perCall = -1.0;     // allocator calls per call
    double netPerCall = 0.0;   // busy blocks gained per call
};

template <class Batch>
AllocCount CountAllocations(Batch&& batch, long calls = kAllocCalls)
{
    batch(100);
    AllocCount a;
    const LONG busyBefore = alloc_counter::CountBusyBlocks();
    alloc_counter::Start();
    batch(calls);
    const LONG cAllocs = alloc_counter::Stop();
    const LONG busyAfter = alloc_counter::CountBusyBlocks();
    if (alloc_counter::Installed())
        a.perCall = static_cast<double>(cAllocs) / static_cast<double>(calls);
    if (busyBefore >= 0 && busyAfter >= 0)
        a.netPerCall = static_cast<double>(busyAfter - busyBefore) / static_cast<double>(calls);
    return a;
}

void PrintAlloc(const char* pszTitle, const AllocCount& a)
{
    if (a.perCall >= 0.0)
        std::printf("  %-52s %10.3f %14.3f\n", pszTitle, a.perCall, a.netPerCall);
    else
        std::printf("  %-52s %10s %14.3f\n", pszTitle, "n/a", a.netPerCall);
}

// ---------------------------------------------------------------------------
void PrintCell(const Figure& f)
{
    if (f.Valid())
        std::printf(" %9.1f /%8.1f", f.median, f.min);
    else
        std::printf(" %18s", "-");
}

void PrintTable()
{
    std::printf("\nLate-bound calls, ns per call: median / minimum of %d runs\n", kRuns);
    std::printf("%-36s", "call");
    for (int c = 0; c < kColumns; ++c)
        std::printf(" %18s", kColumnTitles[c]);
    std::printf("\n");
    for (int r = 0; r < kRows; ++r) {
        std::printf("%-36s", kRowTitles[r]);
        for (int c = 0; c < kColumns; ++c)
            PrintCell(g_table[r][c]);
        std::printf("\n");
    }
    std::printf("\nCalls per timed run\n");
    for (int r = 0; r < kRows; ++r) {
        if (r == kRowInvokeLoadExeCoercedNet)
            continue;
        std::printf("%-36s", kRowTitles[r]);
        for (int c = 0; c < kColumns; ++c) {
            if (g_table[r][c].Valid())
                std::printf(" %18ld", g_table[r][c].n);
            else
                std::printf(" %18s", "-");
        }
        std::printf("\n");
    }
}

int g_cPass = 0;
int g_cMiss = 0;

// Prints one goal line. fAtLeast: the measured ratio must reach the goal;
// otherwise it must not exceed it.
void Goal(const char* pszWhat, double ratio, double ratioMin, double goal, bool fAtLeast)
{
    const bool fPass = fAtLeast ? ratio >= goal : ratio <= goal;
    (fPass ? g_cPass : g_cMiss)++;
    std::printf("  %-62s %8.2fx  (from minima %6.2fx)  goal %s %5.1fx  %s\n", pszWhat, ratio, ratioMin,
                fAtLeast ? ">=" : "<=", goal, fPass ? "PASS" : "MISS");
}

void ZeroGoal(const char* pszWhat, double perCall)
{
    const bool fPass = perCall == 0.0;
    (fPass ? g_cPass : g_cMiss)++;
    std::printf("  %-62s %8.3f per call  goal 0  %s\n", pszWhat, perCall, fPass ? "PASS" : "MISS");
}

double Ratio(double a, double b) { return b > 0.0 ? a / b : 0.0; }

std::wstring DefaultDllPath()
{
    wchar_t szPath[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring path(szPath, cch);
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"Tarnwick.dll";
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    QueryPerformanceFrequency(&g_freq);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);

    std::wstring dllPath;
    if (argc > 1) {
        wchar_t sz[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, argv[1], -1, sz, MAX_PATH);
        dllPath = sz;
    } else {
        dllPath = DefaultDllPath();
    }

    if (FAILED(CoInitialize(nullptr))) {
        std::printf("CoInitialize failed\n");
        return 1;
    }

    // (a) our object, from the built DLL.
    HMODULE hDll = LoadLibraryW(dllPath.c_str());
    if (hDll == nullptr) {
        std::printf("cannot load %ls (error %lu)\n", dllPath.c_str(), GetLastError());
        return 1;
    }
    auto pfnGetClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(hDll, "DllGetClassObject")));
    IClassFactory* pFactory = nullptr;
    IDispatch* pOurDisp = nullptr;
    HRESULT hr = pfnGetClassObject ? pfnGetClassObject(CLSID_CInvokerK318, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&pFactory))
                                   : E_FAIL;
    if (SUCCEEDED(hr))
        hr = pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&pOurDisp));
    if (SUCCEEDED(hr))
        hr = pOurDisp->QueryInterface(IID_IInvokerK318, reinterpret_cast<void**>(&g_pOurInvoker));
    if (FAILED(hr)) {
        std::printf("cannot create the bridge object: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }

    // (b) and (c): the platform's dispatch over the type info in the same DLL.
    ITypeInfo* pInterfaceInfo = nullptr;
    hr = LoadInvokerTypeInfo(dllPath.c_str(), &pInterfaceInfo);
    if (FAILED(hr)) {
        std::printf("cannot read the type information of IInvokerK318: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    CStdDispatchInvoker stdObject;
    hr = stdObject.Init(pInterfaceInfo);
    IDispatch* pStdDisp = nullptr;
    if (SUCCEEDED(hr))
        hr = stdObject.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pStdDisp));
    if (FAILED(hr)) {
        std::printf("CreateStdDispatch failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    CTypeInfoInvoker typeInfoObject(pInterfaceInfo);
    IDispatch* pTypeInfoDisp = static_cast<IInvokerK318*>(&typeInfoObject);

    Subject subjects[3] = {{"ours"}, {"CreateStdDispatch"}, {"DispInvoke"}};
    subjects[kOurs].pDisp = pOurDisp;
    subjects[kStd].pDisp = pStdDisp;
    subjects[kTypeInfo].pDisp = pTypeInfoDisp;
    for (Subject& s : subjects) {
        s.dispidGetVer = LookUp(s.pDisp, L"GetVer");
        s.dispidLoadExe = LookUp(s.pDisp, L"LoadExe");
        if (s.dispidGetVer == DISPID_UNKNOWN || s.dispidLoadExe == DISPID_UNKNOWN) {
            std::printf("%s: GetIDsOfNames failed\n", s.pszName);
            return 1;
        }
        // One checked call each, so a broken object is not timed.
        DISPPARAMS dp = {nullptr, nullptr, 0, 0};
        VARIANT v;
        VariantInit(&v);
        hr = s.pDisp->Invoke(s.dispidGetVer, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &v, nullptr,
                             nullptr);
        if (FAILED(hr) || (v.vt != VT_I4 && v.vt != VT_UI4) || v.lVal != 1) {
            std::printf("%s: Invoke(GetVer) gave 0x%08lX, vt %u\n", s.pszName, static_cast<unsigned long>(hr), v.vt);
            return 1;
        }
        VariantClear(&v);
    }

    g_bstrConn = SysAllocString(L"room=7&seat=3");

    char szWine[64] = "not Wine";
    using VersionFn = const char*(CDECL*)();
    if (auto pfn = reinterpret_cast<VersionFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))))
        std::snprintf(szWine, sizeof szWine, "Wine %s", pfn());
    std::printf("Tarnwick dispatch benchmark\n");
    std::printf("  DLL: %ls\n  platform: %s, performance counter %lld Hz\n", dllPath.c_str(), szWine,
                static_cast<long long>(g_freq.QuadPart));
    std::printf("  each figure: %d timed runs, calls per run raised until a run lasts >= %.0f ms\n", kRuns,
                kMinRunMs);
    std::printf("  DISPIDs: ours GetVer=%ld LoadExe=%ld; standard GetVer=%ld LoadExe=%ld\n",
                subjects[kOurs].dispidGetVer, subjects[kOurs].dispidLoadExe, subjects[kStd].dispidGetVer,
                subjects[kStd].dispidLoadExe);

    // --- late-bound calls ---------------------------------------------------
    for (int c = kOurs; c <= kTypeInfo; ++c) {
        Subject& s = subjects[c];
        g_table[kRowIdsGetVer][c] = Measure(IdsBatch(s.pDisp, L"GetVer"));
        g_table[kRowIdsRunVideo][c] = Measure(IdsBatch(s.pDisp, L"RunVideo"));
        g_table[kRowInvokeGetVer][c] = Measure(InvokeGetVerBatch(s.pDisp, s.dispidGetVer));
    }
    g_table[kRowInvokeGetVer][kDirect] = Measure(DirectGetVerBatch(g_pOurInvoker));

    // LoadExe: every series of our object runs inside one refusing second.
    DWORD rgdwSeriesMs[4] = {};
    long cDirectAccepted = 0;
    for (int c = kOurs; c <= kTypeInfo; ++c) {
        Subject& s = subjects[c];
        ArmRefusal();
        g_table[kRowInvokeLoadExe][c] = Measure(InvokeLoadExeBatch(&s));
        if (c == kOurs)
            rgdwSeriesMs[0] = MsSinceArmed();
        ArmRefusal();
        g_table[kRowInvokeLoadExeCoerced][c] = Measure(InvokeLoadExeCoercedBatch(&s));
        if (c == kOurs)
            rgdwSeriesMs[1] = MsSinceArmed();
    }
    ArmRefusal();
    g_table[kRowInvokeLoadExe][kDirect] = Measure(DirectLoadExeBatch(g_pOurInvoker, &cDirectAccepted));
    rgdwSeriesMs[2] = MsSinceArmed();
    const Figure setup = Measure(ArgSetupBatch());
    for (int c = kOurs; c <= kTypeInfo; ++c) {
        g_table[kRowArgSetup][c] = setup;
        g_table[kRowInvokeLoadExeCoercedNet][c] =
            Difference(g_table[kRowInvokeLoadExeCoerced][c], setup);
    }

    PrintTable();
    std::printf("\n[1] Our Invoke converts a text rid in place and releases the caller's BSTR, so every call of the\n"
                "    coercion row gets a fresh SysAllocString(\"12\") and a VariantClear afterwards, in every column;\n"
                "    the setup row times that work alone.\n");
    std::printf("LoadExe series of our object: %ld calls not refused; Invoke series ended %lu ms and %lu ms after\n"
                "the accepted call that opened them, the direct series %lu ms (the bridge refuses for 1000 ms).\n",
                subjects[kOurs].cLoadExeAccepted + cDirectAccepted, static_cast<unsigned long>(rgdwSeriesMs[0]),
                static_cast<unsigned long>(rgdwSeriesMs[1]), static_cast<unsigned long>(rgdwSeriesMs[2]));
    std::printf("Invoke(LoadExe) returned: ours 0x%08lX, CreateStdDispatch 0x%08lX, DispInvoke 0x%08lX\n",
                static_cast<unsigned long>(subjects[kOurs].hrLoadExe),
                static_cast<unsigned long>(subjects[kStd].hrLoadExe),
                static_cast<unsigned long>(subjects[kTypeInfo].hrLoadExe));

    // --- from script ----------------------------------------------------------
    CScriptHost host;
    std::vector<ScriptLoop> loops = {
        {"empty loop", L""},
        {"o.GetVer() (ours)", L"o.GetVer()"},
        {"s.GetVer() (CreateStdDispatch)", L"s.GetVer()"},
        {"t.GetVer() (DispInvoke)", L"t.GetVer()"},
        {"n.GetVer() (bare IDispatch) [2]", L"n.GetVer()"},
        {"f() (empty script function) [2]", L"f()"},
    };
    CFloorDispatch floorObject;
    bool fScript = SUCCEEDED(hr = host.Start(L"JScript")) && SUCCEEDED(hr = host.AddObject(L"o", pOurDisp)) &&
                   SUCCEEDED(hr = host.AddObject(L"s", pStdDisp)) &&
                   SUCCEEDED(hr = host.AddObject(L"t", pTypeInfoDisp)) &&
                   SUCCEEDED(hr = host.AddObject(L"n", &floorObject)) &&
                   SUCCEEDED(hr = host.Run(L"function f() { return 1; }"));
    if (fScript) {
        for (const wchar_t* psz : {L"o.GetVer()", L"s.GetVer()", L"t.GetVer()", L"n.GetVer()", L"f()"}) {
            VARIANT v;
            VariantInit(&v);
            if (FAILED(host.Evaluate(psz, &v)) || FAILED(VariantChangeType(&v, &v, 0, VT_I4)) || v.lVal != 1) {
                std::printf("script: %ls did not give 1: %ls\n", psz, host.LastError().c_str());
                fScript = false;
            }
            VariantClear(&v);
        }
    } else {
        std::printf("script host: 0x%08lX %ls\n", static_cast<unsigned long>(hr), host.LastError().c_str());
    }
    if (fScript)
        fScript = MeasureScript(host, loops);

    Figure scriptNet[5];
    if (fScript) {
        std::printf("\nFrom JScript, timed around Run(\"for (var i = 0; i < N; i++) <body>;\"), ns per iteration\n");
        std::printf("%-36s %18s %10s %18s\n", "loop body", "median / min", "N", "net of empty loop");
        for (size_t i = 0; i < loops.size(); ++i) {
            std::printf("%-36s", loops[i].pszTitle);
            PrintCell(loops[i].figure);
            std::printf(" %10ld", loops[i].n);
            if (i == 0) {
                std::printf(" %18s\n", "-");
            } else {
                scriptNet[i - 1] = Difference(loops[i].figure, loops[0].figure);
                PrintCell(scriptNet[i - 1]);
                std::printf("\n");
            }
        }
        std::printf("[2] for reference only: n is an IDispatch that does nothing but answer (no checks), f a script\n"
                    "    function; their net cost is what the engine spends on a call before and after the object.\n");
    }

    // --- goals ------------------------------------------------------------------
    auto med = [](int r, int c) { return g_table[r][c].median; };
    auto mn = [](int r, int c) { return g_table[r][c].min; };
    std::printf("\nGoals (ratios of medians; the same from the minima in parentheses)\n");
    Goal("Invoke(GetVer): CreateStdDispatch / ours", Ratio(med(kRowInvokeGetVer, kStd), med(kRowInvokeGetVer, kOurs)),
         Ratio(mn(kRowInvokeGetVer, kStd), mn(kRowInvokeGetVer, kOurs)), 30.0, true);
    Goal("Invoke(GetVer): DispInvoke / ours", Ratio(med(kRowInvokeGetVer, kTypeInfo), med(kRowInvokeGetVer, kOurs)),
         Ratio(mn(kRowInvokeGetVer, kTypeInfo), mn(kRowInvokeGetVer, kOurs)), 30.0, true);
    Goal("Invoke(GetVer): ours / direct call through the table",
         Ratio(med(kRowInvokeGetVer, kOurs), med(kRowInvokeGetVer, kDirect)),
         Ratio(mn(kRowInvokeGetVer, kOurs), mn(kRowInvokeGetVer, kDirect)), 12.0, false);
    for (int r : {kRowIdsGetVer, kRowIdsRunVideo}) {
        for (int c : {kStd, kTypeInfo}) {
            std::string what = std::string(kRowTitles[r]) + ": " + kColumnTitles[c] + " / ours";
            Goal(what.c_str(), Ratio(med(r, c), med(r, kOurs)), Ratio(mn(r, c), mn(r, kOurs)), 20.0, true);
        }
    }
    for (int c : {kStd, kTypeInfo}) {
        std::string what = std::string("Invoke(LoadExe, no coercion): ") + kColumnTitles[c] + " / ours";
        Goal(what.c_str(), Ratio(med(kRowInvokeLoadExe, c), med(kRowInvokeLoadExe, kOurs)),
             Ratio(mn(kRowInvokeLoadExe, c), mn(kRowInvokeLoadExe, kOurs)), 15.0, true);
    }
    if (fScript) {
        const Figure& empty = loops[0].figure;
        std::printf("  script: net cost of one o.GetVer() call = (loop with call - empty loop) per iteration;\n"
                    "  it is compared with the cost of one empty iteration, and with the same call on s and t\n");
        Goal("script: o.GetVer() net / empty iteration", Ratio(scriptNet[0].median, empty.median),
             Ratio(scriptNet[0].min, empty.min), 1.2, false);
        Goal("script: s.GetVer() net / o.GetVer() net (CreateStdDispatch)",
             Ratio(scriptNet[1].median, scriptNet[0].median), Ratio(scriptNet[1].min, scriptNet[0].min), 3.0, true);
        Goal("script: t.GetVer() net / o.GetVer() net (DispInvoke)", Ratio(scriptNet[2].median, scriptNet[0].median),
             Ratio(scriptNet[2].min, scriptNet[0].min), 3.0, true);
        std::printf("  (for reference: loop with o.GetVer() / empty loop = %.2fx; net / empty iteration of\n"
                    "   n.GetVer() = %.2fx, of f() = %.2fx; ours' net - n's net = %.1f ns)\n",
                    Ratio(loops[1].figure.median, empty.median), Ratio(scriptNet[3].median, empty.median),
                    Ratio(scriptNet[4].median, empty.median), scriptNet[0].median - scriptNet[3].median);
    } else {
        std::printf("  script goals: not measured (the script engine could not be used)\n");
        ++g_cMiss;
    }

    // --- allocations (last: the counting hook must not touch the timings) -----------
    const bool fHook = alloc_counter::Install();
    std::printf("\nHeap allocations per call over %d calls (allocator calls on this thread%s;\n"
                "net change of busy blocks over all process heaps)\n",
                kAllocCalls, fHook ? "" : ": n/a, the allocator entry could not be redirected");
    std::printf("  %-52s %10s %14s\n", "call", "allocs", "net blocks");
    AllocCount ourGetVer = CountAllocations(InvokeGetVerBatch(pOurDisp, subjects[kOurs].dispidGetVer));
    PrintAlloc("ours Invoke(GetVer)", ourGetVer);
    ArmRefusal();
    AllocCount ourLoadExe = CountAllocations(InvokeLoadExeBatch(&subjects[kOurs]));
    PrintAlloc("ours Invoke(LoadExe, I4 + BSTR)", ourLoadExe);
    PrintAlloc("ours GetIDsOfNames(\"GetVer\")", CountAllocations(IdsBatch(pOurDisp, L"GetVer")));
    ArmRefusal();
    PrintAlloc("ours Invoke(LoadExe, BSTR \"12\"), with setup", CountAllocations(InvokeLoadExeCoercedBatch(&subjects[kOurs])));
    PrintAlloc("  argument setup alone", CountAllocations(ArgSetupBatch()));
    PrintAlloc("direct GetVer", CountAllocations(DirectGetVerBatch(g_pOurInvoker)));
    for (int c : {kStd, kTypeInfo}) {
        std::string title = std::string(kColumnTitles[c]) + " Invoke(GetVer)";
        PrintAlloc(title.c_str(), CountAllocations(InvokeGetVerBatch(subjects[c].pDisp, subjects[c].dispidGetVer)));
        title = std::string(kColumnTitles[c]) + " Invoke(LoadExe, I4 + BSTR)";
        PrintAlloc(title.c_str(), CountAllocations(InvokeLoadExeBatch(&subjects[c])));
        title = std::string(kColumnTitles[c]) + " GetIDsOfNames(\"GetVer\")";
        PrintAlloc(title.c_str(), CountAllocations(IdsBatch(subjects[c].pDisp, L"GetVer")));
    }
    if (fScript) {
        for (size_t i = 0; i < loops.size(); ++i) {
            const ScriptLoop& loop = loops[i];
            const std::wstring text = LoopText(loop, kAllocCalls);
            host.Run(LoopText(loop, 100).c_str());
            AllocCount a;
            const LONG busyBefore = alloc_counter::CountBusyBlocks();
            alloc_counter::Start();
            host.Run(text.c_str());
            const LONG cAllocs = alloc_counter::Stop();
            a.netPerCall = static_cast<double>(alloc_counter::CountBusyBlocks() - busyBefore) / kAllocCalls;
            if (fHook)
                a.perCall = static_cast<double>(cAllocs) / kAllocCalls;
            std::string title = std::string("script iteration: ") + loop.pszTitle;
            PrintAlloc(title.c_str(), a);
        }
    }
    std::printf("\nGoal: Invoke allocates nothing on paths that need no conversion\n");
    if (fHook) {
        ZeroGoal("allocator calls per ours Invoke(GetVer)", ourGetVer.perCall);
        ZeroGoal("allocator calls per ours Invoke(LoadExe, I4 + BSTR)", ourLoadExe.perCall);
    } else {
        ZeroGoal("net busy blocks per ours Invoke(GetVer) (calls not countable)", ourGetVer.netPerCall);
        ZeroGoal("net busy blocks per ours Invoke(LoadExe, I4 + BSTR) (calls not countable)", ourLoadExe.netPerCall);
    }
    std::printf("\n%d goals PASS, %d MISS\n", g_cPass, g_cMiss);

    // --- tidy up ------------------------------------------------------------------
    host.Close();
    SysFreeString(g_bstrConn);
    pStdDisp->Release();
    g_pOurInvoker->Release();
    pOurDisp->Release();
    pFactory->Release();
    pInterfaceInfo->Release();
    CoUninitialize();
    return 0;
}
