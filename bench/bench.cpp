// The dispatch benchmark. One run measures, in nanoseconds per call, the
// late-bound calls that a page script makes on the bridge object: on our
// object from the built DLL, on two objects whose IDispatch is the platform's
// standard type-information-driven dispatch over the same interface, and
// directly through the interface table. Then the same calls from an
// in-process JScript engine, and the heap allocations each path makes.
//
// Calls compared with one another are timed in rounds: each round times every
// one of them once, in turn, so a drift of the machine touches all alike, and
// each ratio or difference is formed per round. A goal is checked against the
// spread of those per-round values (their interquartile range), never against
// a single figure, and printed with PASS or MISS.
//
// Usage: tarnwick_bench [path of Tarnwick.dll]   (default: beside the program)
#include <windows.h>
#include <dispex.h>
#include <ole2.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/reference_objects.h"
#include "script_host/script_host.h"
#include "tarnwick_h.h"

namespace {

constexpr int kRuns = 15;            // rounds per row
constexpr double kMinRunMs = 20.0;   // a calibrated run lasts at least this long
constexpr double kAimRunMs = 30.0;   // and is aimed at this length
constexpr long kMaxCalls = 100000000;
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

double TicksToNs(LONGLONG t) { return static_cast<double>(t) * 1e9 / static_cast<double>(g_freq.QuadPart); }

// ---------------------------------------------------------------------------
// Timing. A batch makes n calls; a series holds ns per call of each round, in
// round order, so that two series of one row can be paired round by round.
using Batch = std::function<void(long n)>;

struct Series {
    std::vector<double> ns;
    long n = 0;  // calls per timed run
    bool Valid() const { return static_cast<int>(ns.size()) == kRuns; }
};

// Median, minimum, quartiles and maximum of some values.
struct Stats {
    double median = 0, min = 0, q1 = 0, q3 = 0, max = 0;
    bool valid = false;
};

Stats StatsOf(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const size_t k = v.size();
    s = {v[k / 2], v[0], v[k / 4], v[(3 * k) / 4], v[k - 1], true};
    return s;
}

double TimeNs(const Batch& batch, long n)
{
    const LONGLONG t0 = Now();
    batch(n);
    return TicksToNs(Now() - t0) / static_cast<double>(n);
}

// The count of calls that makes one run last kMinRunMs or more.
long Calibrate(const Batch& batch)
{
    long n = 64;
    batch(n);  // warm the caches and any lazily built state
    for (;;) {
        const double ms = TimeNs(batch, n) * static_cast<double>(n) / 1e6;
        if (ms >= kMinRunMs || n >= kMaxCalls)
            return n;
        n = (ms < 1.0) ? n * 10 : static_cast<long>(static_cast<double>(n) * kAimRunMs / ms) + 1;
    }
}

// Each batch calibrated, then kRuns rounds that time every batch once.
std::vector<Series> MeasureRounds(const std::vector<Batch>& batches)
{
    std::vector<Series> out(batches.size());
    for (size_t i = 0; i < batches.size(); ++i)
        out[i].n = Calibrate(batches[i]);
    for (int r = 0; r < kRuns; ++r) {
        for (size_t i = 0; i < batches.size(); ++i)
            out[i].ns.push_back(TimeNs(batches[i], out[i].n));
    }
    return out;
}

// Per-round values f(a[r], b[r], base[r]) of series from one set of rounds.
template <class F>
std::vector<double> PerRound(const Series& a, const Series& b, const Series& base, F f)
{
    std::vector<double> v;
    if (a.Valid() && b.Valid() && base.Valid()) {
        for (int r = 0; r < kRuns; ++r)
            v.push_back(f(a.ns[r], b.ns[r], base.ns[r]));
    }
    return v;
}

std::vector<double> Ratios(const Series& a, const Series& b)
{
    return PerRound(a, b, a, [](double x, double y, double) { return y > 0.0 ? x / y : 0.0; });
}

std::vector<double> Differences(const Series& a, const Series& b)
{
    return PerRound(a, b, a, [](double x, double y, double) { return x - y; });
}

// (a - base) / (b - base) per round: the ratio of two costs net of a base.
std::vector<double> NetRatios(const Series& a, const Series& b, const Series& base)
{
    return PerRound(a, b, base, [](double x, double y, double z) { return y - z > 0.0 ? (x - z) / (y - z) : 0.0; });
}

// (a - b) / b per round: a's cost beyond b's, as a multiple of b's.
std::vector<double> CostRatios(const Series& a, const Series& b)
{
    return PerRound(a, b, b, [](double x, double y, double) { return y > 0.0 ? (x - y) / y : 0.0; });
}

// ---------------------------------------------------------------------------
// The objects compared, as IDispatch pointers with the DISPIDs each answers.
struct Subject {
    const char* pszName;
    IDispatch* pDisp = nullptr;
    DISPID dispidGetVer = DISPID_UNKNOWN;
    DISPID dispidLoadExe = DISPID_UNKNOWN;
    HRESULT hrLoadExe = E_FAIL;  // what Invoke(LoadExe) answered in the timed runs
    long cLoadExeAccepted = 0;   // calls that were not refused
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
    kRows
};
const char* const kRowTitles[kRows] = {
    "GetIDsOfNames(\"GetVer\")",
    "GetIDsOfNames(\"RunVideo\")",
    "Invoke(GetVer)",
    "Invoke(LoadExe, I4 12 + BSTR) [1]",
    "Invoke(LoadExe, BSTR \"12\" + BSTR) [2]",
    "  argument setup alone [2]",
};

// The script loops, timed in the same rounds.
enum Loop { kLoopEmpty, kLoopOurs, kLoopStd, kLoopTypeInfo, kLoopFloor, kLoopFunction, kLoops };
struct LoopRow {
    const char* pszTitle;
    const wchar_t* pszBody;  // empty for the engine's empty loop
};
const LoopRow kLoopRows[kLoops] = {
    {"empty loop", L""},
    {"o.GetVer() (ours)", L"o.GetVer()"},
    {"s.GetVer() (CreateStdDispatch)", L"s.GetVer()"},
    {"t.GetVer() (DispInvoke)", L"t.GetVer()"},
    {"n.GetVer() (do-nothing IDispatch) [3]", L"n.GetVer()"},
    {"f() (empty script function) [3]", L"f()"},
};

// Allocator calls per call (-1: not countable) and net busy blocks per call.
struct AllocCount {
    double perCall = -1.0;
    double netPerCall = 0.0;
};

// Everything one run measured.
struct Results {
    Series table[kRows][kColumns];
    bool script = false;
    Series loops[kLoops];
    Series engineCalls[2];  // ours, the do-nothing object
    AllocCount allocGetVer, allocLoadExe, allocIds;
};

// What the run works on.
struct Bench {
    std::wstring dllPath;
    HMODULE hDll = nullptr;
    IClassFactory* pFactory = nullptr;
    IDispatch* pOurDisp = nullptr;
    IInvokerK318* pOurInvoker = nullptr;
    ITypeInfo* pInterfaceInfo = nullptr;
    CStdDispatchInvoker stdObject;
    IDispatch* pStdDisp = nullptr;
    CTypeInfoInvoker* pTypeInfoObject = nullptr;
    CFloorDispatch floorObject;
    Subject subjects[3] = {{"ours"}, {"CreateStdDispatch"}, {"DispInvoke"}};
    BSTR bstrConn = nullptr;
    DWORD dwArmedTick = 0;
    DWORD rgdwSeriesMs[3] = {};
    long cDirectAccepted = 0;
    CScriptHost host;
};

// ---------------------------------------------------------------------------
// Batches.
Batch IdsBatch(IDispatch* p, const wchar_t* pszName)
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

Batch InvokeGetVerBatch(IDispatch* p, DISPID id)
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

Batch DirectGetVerBatch(IInvokerK318* p)
{
    return [p](long n) {
        for (long i = 0; i < n; ++i) {
            ULONG v = 0;
            p->GetVer(&v);
            Sink(static_cast<LONG>(v));
        }
    };
}

Batch InvokeLoadExeBatch(Subject* s, BSTR bstrConn)
{
    return [s, bstrConn](long n) {
        VARIANTARG args[2];
        args[1].vt = VT_I4;  // rid, the first parameter, is the last in rgvarg
        args[1].lVal = 12;
        args[0].vt = VT_BSTR;
        args[0].bstrVal = bstrConn;
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
Batch InvokeLoadExeCoercedBatch(Subject* s, BSTR bstrConn)
{
    return [s, bstrConn](long n) {
        VARIANTARG args[2];
        args[0].vt = VT_BSTR;
        args[0].bstrVal = bstrConn;
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

Batch ArgSetupBatch()
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

Batch DirectLoadExeBatch(IInvokerK318* p, BSTR bstrConn, long* pcAccepted)
{
    return [p, bstrConn, pcAccepted](long n) {
        long cAccepted = 0;
        for (long i = 0; i < n; ++i)
            cAccepted += (p->LoadExe(12, bstrConn) != S_FALSE);
        *pcAccepted += cAccepted;
    };
}

// The calls the script engine makes on an object for one o.GetVer(), as a
// forwarding wrapper counted them: QueryInterface for IDispatchEx twice
// (refused), two references taken and given back, GetIDsOfNames and Invoke.
// Made directly, they show the object's share of a script call without the
// engine's own work and its noise.
Batch EngineCallsBatch(IDispatch* p)
{
    return [p](long n) {
        LPOLESTR name = const_cast<LPOLESTR>(L"GetVer");
        DISPPARAMS dp = {nullptr, nullptr, 0, 0};
        VARIANT result;
        VariantInit(&result);
        for (long i = 0; i < n; ++i) {
            void* pv = nullptr;
            Sink(p->QueryInterface(__uuidof(IDispatchEx), &pv));
            Sink(p->QueryInterface(__uuidof(IDispatchEx), &pv));
            p->AddRef();
            p->AddRef();
            DISPID id = DISPID_UNKNOWN;
            p->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
            p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &result, nullptr, nullptr);
            p->Release();
            Sink(static_cast<LONG>(p->Release()) + result.lVal);
        }
    };
}

std::wstring LoopText(const wchar_t* pszBody, long n)
{
    return L"for (var i = 0; i < " + std::to_wstring(n) + L"; i++) " + pszBody + L";";
}

// One script loop of n iterations per batch; a script error stops the loop
// for good and is reported once.
Batch ScriptBatch(CScriptHost* pHost, const wchar_t* pszBody, bool* pfFailed)
{
    return [pHost, pszBody, pfFailed](long n) {
        if (*pfFailed)
            return;
        const std::wstring text = LoopText(pszBody, n);
        const HRESULT hr = pHost->Run(text.c_str());
        if (FAILED(hr)) {
            std::printf("script error 0x%08lX in \"%ls\": %ls\n", static_cast<unsigned long>(hr), text.c_str(),
                        pHost->LastError().c_str());
            *pfFailed = true;
        }
    };
}

// ---------------------------------------------------------------------------
// The bridge refuses requests closer than a second apart; a refused LoadExe
// touches no window and no text, so its cost is that of the dispatch alone.
// One accepted call starts the second; every timed LoadExe series of our
// object follows such a call and must end within it.
void ArmRefusal(Bench& b)
{
    while (b.pOurInvoker->LoadExe(12, b.bstrConn) != S_OK)
        Sleep(50);
    b.dwArmedTick = GetTickCount();
}

DWORD MsSinceArmed(const Bench& b) { return GetTickCount() - b.dwArmedTick; }

// A series timed on its own: the LoadExe rows, which each need their own
// refusing second, cannot share rounds.
Series MeasureAlone(const Batch& batch) { return MeasureRounds({batch})[0]; }

// ---------------------------------------------------------------------------
// The measured rows.
void MeasureIdsRow(Bench& b, Results& res, Row row, const wchar_t* pszName)
{
    std::vector<Batch> batches;
    for (const Subject& s : b.subjects)
        batches.push_back(IdsBatch(s.pDisp, pszName));
    const std::vector<Series> series = MeasureRounds(batches);
    for (int c = kOurs; c <= kTypeInfo; ++c)
        res.table[row][c] = series[c];
}

void MeasureInvokeGetVerRow(Bench& b, Results& res)
{
    std::vector<Batch> batches;
    for (const Subject& s : b.subjects)
        batches.push_back(InvokeGetVerBatch(s.pDisp, s.dispidGetVer));
    batches.push_back(DirectGetVerBatch(b.pOurInvoker));
    const std::vector<Series> series = MeasureRounds(batches);
    for (int c = kOurs; c < kColumns; ++c)
        res.table[kRowInvokeGetVer][c] = series[c];
}

void MeasureLoadExeRows(Bench& b, Results& res)
{
    for (int c = kOurs; c <= kTypeInfo; ++c) {
        Subject& s = b.subjects[c];
        ArmRefusal(b);
        res.table[kRowInvokeLoadExe][c] = MeasureAlone(InvokeLoadExeBatch(&s, b.bstrConn));
        if (c == kOurs)
            b.rgdwSeriesMs[0] = MsSinceArmed(b);
        ArmRefusal(b);
        res.table[kRowInvokeLoadExeCoerced][c] = MeasureAlone(InvokeLoadExeCoercedBatch(&s, b.bstrConn));
        if (c == kOurs)
            b.rgdwSeriesMs[1] = MsSinceArmed(b);
    }
    ArmRefusal(b);
    res.table[kRowInvokeLoadExe][kDirect] =
        MeasureAlone(DirectLoadExeBatch(b.pOurInvoker, b.bstrConn, &b.cDirectAccepted));
    b.rgdwSeriesMs[2] = MsSinceArmed(b);
    res.table[kRowArgSetup][kOurs] = MeasureAlone(ArgSetupBatch());
}

bool StartScript(Bench& b)
{
    HRESULT hr;
    bool fOk = SUCCEEDED(hr = b.host.Start(L"JScript")) && SUCCEEDED(hr = b.host.AddObject(L"o", b.pOurDisp)) &&
               SUCCEEDED(hr = b.host.AddObject(L"s", b.pStdDisp)) &&
               SUCCEEDED(hr = b.host.AddObject(L"t", b.subjects[kTypeInfo].pDisp)) &&
               SUCCEEDED(hr = b.host.AddObject(L"n", &b.floorObject)) &&
               SUCCEEDED(hr = b.host.Run(L"function f() { return 1; }"));
    if (!fOk) {
        std::printf("script host: 0x%08lX %ls\n", static_cast<unsigned long>(hr), b.host.LastError().c_str());
        return false;
    }
    // One checked call each, so a broken object is not timed.
    for (int i = kLoopOurs; i < kLoops; ++i) {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(b.host.Evaluate(kLoopRows[i].pszBody, &v)) || FAILED(VariantChangeType(&v, &v, 0, VT_I4)) ||
            v.lVal != 1) {
            std::printf("script: %ls did not give 1: %ls\n", kLoopRows[i].pszBody, b.host.LastError().c_str());
            fOk = false;
        }
        VariantClear(&v);
    }
    return fOk;
}

void MeasureScriptRows(Bench& b, Results& res)
{
    if (!StartScript(b))
        return;
    bool fFailed = false;
    std::vector<Batch> batches;
    for (const LoopRow& row : kLoopRows)
        batches.push_back(ScriptBatch(&b.host, row.pszBody, &fFailed));
    const std::vector<Series> series = MeasureRounds(batches);
    if (fFailed)
        return;
    for (int i = 0; i < kLoops; ++i)
        res.loops[i] = series[i];
    res.script = true;
    const std::vector<Series> calls = MeasureRounds({EngineCallsBatch(b.pOurDisp), EngineCallsBatch(&b.floorObject)});
    res.engineCalls[0] = calls[0];
    res.engineCalls[1] = calls[1];
}

// ---------------------------------------------------------------------------
// Allocations: calls of the heap allocator on this thread, and the net change
// of busy heap blocks, per call, over kAllocCalls calls after a warm-up.
AllocCount CountAllocations(const Batch& batch, long calls = kAllocCalls)
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

void PrintAlloc(const std::string& title, const AllocCount& a)
{
    if (a.perCall >= 0.0)
        std::printf("  %-56s %10.3f %14.3f\n", title.c_str(), a.perCall, a.netPerCall);
    else
        std::printf("  %-56s %10s %14.3f\n", title.c_str(), "n/a", a.netPerCall);
}

// Last of all: the counting hook must not touch the timings.
void MeasureAllocations(Bench& b, Results& res)
{
    const bool fHook = alloc_counter::Install();
    std::printf("\nHeap allocations per call over %d calls (allocator calls on this thread%s;\n"
                "net change of busy blocks over all process heaps)\n",
                kAllocCalls, fHook ? "" : ": n/a, the allocator entry could not be redirected");
    std::printf("  %-56s %10s %14s\n", "call", "allocs", "net blocks");
    Subject& ours = b.subjects[kOurs];
    PrintAlloc("ours Invoke(GetVer)", res.allocGetVer = CountAllocations(InvokeGetVerBatch(ours.pDisp, ours.dispidGetVer)));
    ArmRefusal(b);
    PrintAlloc("ours Invoke(LoadExe, I4 + BSTR)", res.allocLoadExe = CountAllocations(InvokeLoadExeBatch(&ours, b.bstrConn)));
    PrintAlloc("ours GetIDsOfNames(\"GetVer\")", res.allocIds = CountAllocations(IdsBatch(ours.pDisp, L"GetVer")));
    ArmRefusal(b);
    PrintAlloc("ours Invoke(LoadExe, BSTR \"12\"), with setup",
               CountAllocations(InvokeLoadExeCoercedBatch(&ours, b.bstrConn)));
    PrintAlloc("  argument setup alone", CountAllocations(ArgSetupBatch()));
    PrintAlloc("direct GetVer", CountAllocations(DirectGetVerBatch(b.pOurInvoker)));
    for (int c : {kStd, kTypeInfo}) {
        Subject& s = b.subjects[c];
        const std::string title = kColumnTitles[c];
        PrintAlloc(title + " Invoke(GetVer)", CountAllocations(InvokeGetVerBatch(s.pDisp, s.dispidGetVer)));
        PrintAlloc(title + " Invoke(LoadExe, I4 + BSTR)", CountAllocations(InvokeLoadExeBatch(&s, b.bstrConn)));
        PrintAlloc(title + " GetIDsOfNames(\"GetVer\")", CountAllocations(IdsBatch(s.pDisp, L"GetVer")));
    }
    if (!res.script)
        return;
    bool fFailed = false;
    for (const LoopRow& row : kLoopRows) {
        // One batch of kAllocCalls iterations is one script run.
        const Batch loop = ScriptBatch(&b.host, row.pszBody, &fFailed);
        AllocCount a = CountAllocations([&loop](long calls) { loop(calls); });
        PrintAlloc(std::string("script iteration: ") + row.pszTitle, a);
    }
}

// ---------------------------------------------------------------------------
// Printing the figures.
void PrintCell(const Series& s)
{
    const Stats st = StatsOf(s.ns);
    if (st.valid)
        std::printf(" %9.1f /%8.1f", st.median, st.min);
    else
        std::printf(" %18s", "-");
}

void PrintTable(const Results& res)
{
    std::printf("\nLate-bound calls, ns per call: median / minimum of %d rounds\n", kRuns);
    std::printf("%-40s", "call");
    for (const char* pszTitle : kColumnTitles)
        std::printf(" %18s", pszTitle);
    std::printf("\n");
    for (int r = 0; r < kRows; ++r) {
        std::printf("%-40s", kRowTitles[r]);
        for (int c = 0; c < kColumns; ++c)
            PrintCell(res.table[r][c]);
        std::printf("\n");
    }
    // The setup row is timed apart from the coercion row, so the two are
    // netted by their medians, not per round.
    std::printf("%-40s", "  the same, net of setup (medians)");
    const Stats setup = StatsOf(res.table[kRowArgSetup][kOurs].ns);
    for (int c = 0; c < kColumns; ++c) {
        const Stats coerced = StatsOf(res.table[kRowInvokeLoadExeCoerced][c].ns);
        if (coerced.valid && setup.valid)
            std::printf(" %18.1f", coerced.median - setup.median);
        else
            std::printf(" %18s", "-");
    }
    std::printf("\n");
    std::printf("\nCalls per timed run\n");
    for (int r = 0; r < kRows; ++r) {
        std::printf("%-40s", kRowTitles[r]);
        for (int c = 0; c < kColumns; ++c) {
            if (res.table[r][c].Valid())
                std::printf(" %18ld", res.table[r][c].n);
            else
                std::printf(" %18s", "-");
        }
        std::printf("\n");
    }
}

void PrintLoadExeNotes(const Bench& b)
{
    std::printf("\n[1] The LoadExe rows are timed column by column, each of our series inside one refusing\n"
                "    second, so their rounds are not shared between columns.\n"
                "[2] Our Invoke converts a text rid in place and releases the caller's BSTR, so every call of the\n"
                "    coercion row gets a fresh SysAllocString(\"12\") and a VariantClear afterwards, in every column;\n"
                "    the setup row times that work alone.\n");
    std::printf("LoadExe series of our object: %ld calls not refused; Invoke series ended %lu ms and %lu ms after\n"
                "the accepted call that opened them, the direct series %lu ms (the bridge refuses for 1000 ms).\n",
                b.subjects[kOurs].cLoadExeAccepted + b.cDirectAccepted, static_cast<unsigned long>(b.rgdwSeriesMs[0]),
                static_cast<unsigned long>(b.rgdwSeriesMs[1]), static_cast<unsigned long>(b.rgdwSeriesMs[2]));
    std::printf("Invoke(LoadExe) returned: ours 0x%08lX, CreateStdDispatch 0x%08lX, DispInvoke 0x%08lX\n",
                static_cast<unsigned long>(b.subjects[kOurs].hrLoadExe),
                static_cast<unsigned long>(b.subjects[kStd].hrLoadExe),
                static_cast<unsigned long>(b.subjects[kTypeInfo].hrLoadExe));
}

void PrintStatsCells(const Stats& st)
{
    std::printf(" %9.1f %9.1f..%-9.1f %9.1f..%-9.1f\n", st.median, st.q1, st.q3, st.min, st.max);
}

void PrintScriptTable(const Results& res)
{
    if (!res.script) {
        std::printf("\nFrom JScript: not measured (the script engine could not be used)\n");
        return;
    }
    std::printf("\nFrom JScript, timed around Run(\"for (var i = 0; i < N; i++) <body>;\"), ns per iteration;\n"
                "the loops take turns within each of %d rounds, and each difference is formed per round\n", kRuns);
    std::printf("%-42s %10s %9s %20s %20s\n", "loop body", "N", "median", "interquartile", "min..max");
    for (int i = 0; i < kLoops; ++i) {
        std::printf("%-42s %10ld", kLoopRows[i].pszTitle, res.loops[i].n);
        PrintStatsCells(StatsOf(res.loops[i].ns));
    }
    std::printf("Per-round differences\n");
    for (int i = kLoopOurs; i < kLoops; ++i) {
        char title[64];
        std::snprintf(title, sizeof title, "  %ls - empty loop", kLoopRows[i].pszBody);
        std::printf("%-42s %10s", title, "");
        PrintStatsCells(StatsOf(Differences(res.loops[i], res.loops[kLoopEmpty])));
    }
    std::printf("%-42s %10s", "  o.GetVer() - n.GetVer()", "");
    PrintStatsCells(StatsOf(Differences(res.loops[kLoopOurs], res.loops[kLoopFloor])));
    std::printf("[3] n is an IDispatch that does nothing but answer (no checks), f a script function; their\n"
                "    net cost is what the engine spends on a call before and after the object.\n");
    std::printf("The engine's calls on the object for one o.GetVer() (2 QueryInterface(IDispatchEx), refused;\n"
                "2 AddRef, 2 Release; GetIDsOfNames; Invoke), made directly, ns per set\n");
    std::printf("%-42s %10ld", "  ours", res.engineCalls[0].n);
    PrintStatsCells(StatsOf(res.engineCalls[0].ns));
    std::printf("%-42s %10ld", "  do-nothing IDispatch [3]", res.engineCalls[1].n);
    PrintStatsCells(StatsOf(res.engineCalls[1].ns));
    std::printf("%-42s %10s", "  ours - do-nothing", "");
    PrintStatsCells(StatsOf(Differences(res.engineCalls[0], res.engineCalls[1])));
}

// The built DLL as figures: its size on disk and the DLLs it imports.
void PrintDllFigures(const Bench& b)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(b.dllPath.c_str(), GetFileExInfoStandard, &data))
        std::printf("  DLL size: %llu bytes\n",
                    (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    auto* base = reinterpret_cast<const BYTE*>(b.hDll);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::printf("  DLL imports:");
    if (dir.VirtualAddress != 0) {
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d)
            std::printf(" %s", reinterpret_cast<const char*>(base + d->Name));
    }
    std::printf("\n");
}

// ---------------------------------------------------------------------------
// The goals. Each is a value formed per round; its spread is the
// interquartile range of those values. A goal claims a difference only where
// the whole spread lies beyond the bound.
enum class Bound {
    kAtLeast,       // the whole spread at or above the goal
    kAtMost,        // the whole spread at or below the goal
    kNotAboveSpread // the goal is not exceeded beyond the spread: lower quartile at or below it
};

struct Goal {
    const char* pszName;
    const char* pszValue;  // how the value is formed, per round
    std::vector<double> (*values)(const Results&);
    double goal;
    Bound bound;
};

const Series& T(const Results& r, Row row, Column c) { return r.table[row][c]; }

std::vector<double> AllocValue(const AllocCount& a)
{
    return a.perCall >= 0.0 ? std::vector<double>{a.perCall} : std::vector<double>{};
}

const Goal kGoals[] = {
    {"Invoke(GetVer): ours vs the direct call through the table", "ours / direct",
     [](const Results& r) { return Ratios(T(r, kRowInvokeGetVer, kOurs), T(r, kRowInvokeGetVer, kDirect)); },
     2.5, Bound::kAtMost},
    {"Invoke(GetVer): standard dispatch vs ours", "CreateStdDispatch / ours",
     [](const Results& r) { return Ratios(T(r, kRowInvokeGetVer, kStd), T(r, kRowInvokeGetVer, kOurs)); },
     50.0, Bound::kAtLeast},
    {"Invoke(GetVer): DispInvoke vs ours", "DispInvoke / ours",
     [](const Results& r) { return Ratios(T(r, kRowInvokeGetVer, kTypeInfo), T(r, kRowInvokeGetVer, kOurs)); },
     50.0, Bound::kAtLeast},
    {"GetIDsOfNames(\"GetVer\"): standard dispatch vs ours", "CreateStdDispatch / ours",
     [](const Results& r) { return Ratios(T(r, kRowIdsGetVer, kStd), T(r, kRowIdsGetVer, kOurs)); },
     100.0, Bound::kAtLeast},
    {"GetIDsOfNames(\"GetVer\"): DispGetIDsOfNames vs ours", "DispInvoke / ours",
     [](const Results& r) { return Ratios(T(r, kRowIdsGetVer, kTypeInfo), T(r, kRowIdsGetVer, kOurs)); },
     100.0, Bound::kAtLeast},
    {"GetIDsOfNames(\"RunVideo\"): standard dispatch vs ours", "CreateStdDispatch / ours",
     [](const Results& r) { return Ratios(T(r, kRowIdsRunVideo, kStd), T(r, kRowIdsRunVideo, kOurs)); },
     100.0, Bound::kAtLeast},
    {"GetIDsOfNames(\"RunVideo\"): DispGetIDsOfNames vs ours", "DispInvoke / ours",
     [](const Results& r) { return Ratios(T(r, kRowIdsRunVideo, kTypeInfo), T(r, kRowIdsRunVideo, kOurs)); },
     100.0, Bound::kAtLeast},
    {"Invoke(LoadExe, no coercion): standard dispatch vs ours [1]", "CreateStdDispatch / ours",
     [](const Results& r) { return Ratios(T(r, kRowInvokeLoadExe, kStd), T(r, kRowInvokeLoadExe, kOurs)); },
     15.0, Bound::kAtLeast},
    {"Invoke(LoadExe, no coercion): DispInvoke vs ours [1]", "DispInvoke / ours",
     [](const Results& r) { return Ratios(T(r, kRowInvokeLoadExe, kTypeInfo), T(r, kRowInvokeLoadExe, kOurs)); },
     15.0, Bound::kAtLeast},
    {"script: o.GetVer() no costlier than the do-nothing n.GetVer()", "o - n, ns/iteration",
     [](const Results& r) { return Differences(r.loops[kLoopOurs], r.loops[kLoopFloor]); }, 0.0,
     Bound::kNotAboveSpread},
    {"engine's calls of one o.GetVer(), direct: ours vs do-nothing", "ours - n, ns/set",
     [](const Results& r) { return Differences(r.engineCalls[0], r.engineCalls[1]); }, 5.0, Bound::kAtMost},
    {"script: o.GetVer() net cost vs one empty iteration", "(o - empty) / empty",
     [](const Results& r) { return CostRatios(r.loops[kLoopOurs], r.loops[kLoopEmpty]); }, 1.2,
     Bound::kAtMost},
    {"script: s.GetVer() net vs o.GetVer() net", "(s - empty) / (o - empty)",
     [](const Results& r) { return NetRatios(r.loops[kLoopStd], r.loops[kLoopOurs], r.loops[kLoopEmpty]); }, 3.0,
     Bound::kAtLeast},
    {"script: t.GetVer() net vs o.GetVer() net", "(t - empty) / (o - empty)",
     [](const Results& r) { return NetRatios(r.loops[kLoopTypeInfo], r.loops[kLoopOurs], r.loops[kLoopEmpty]); },
     3.0, Bound::kAtLeast},
    {"allocations: ours Invoke(GetVer)", "allocator calls/call",
     [](const Results& r) { return AllocValue(r.allocGetVer); }, 0.0, Bound::kAtMost},
    {"allocations: ours Invoke(LoadExe, I4 + BSTR)", "allocator calls/call",
     [](const Results& r) { return AllocValue(r.allocLoadExe); }, 0.0, Bound::kAtMost},
    {"allocations: ours GetIDsOfNames(\"GetVer\")", "allocator calls/call",
     [](const Results& r) { return AllocValue(r.allocIds); }, 0.0, Bound::kAtMost},
};

bool Passes(const Stats& st, double goal, Bound bound)
{
    switch (bound) {
    case Bound::kAtLeast:
        return st.q1 >= goal;
    case Bound::kAtMost:
        return st.q3 <= goal;
    default:
        return st.q1 <= goal;
    }
}

const char* BoundText(Bound bound)
{
    switch (bound) {
    case Bound::kAtLeast:
        return ">=";
    case Bound::kAtMost:
        return "<=";
    default:
        return "<= within spread";
    }
}

// Prints every goal; returns the count of those missed.
int CheckGoals(const Results& res)
{
    std::printf("\nGoals: median of the per-round values [interquartile range]; PASS needs the whole range on the\n"
                "goal's side (\"within spread\": the lower quartile)\n");
    int cMiss = 0;
    for (const Goal& g : kGoals) {
        const Stats st = StatsOf(g.values(res));
        const bool fPass = st.valid && Passes(st, g.goal, g.bound);
        cMiss += fPass ? 0 : 1;
        std::printf("  %-60s %-26s", g.pszName, g.pszValue);
        if (st.valid)
            std::printf(" %9.2f [%8.2f ..%8.2f]", st.median, st.q1, st.q3);
        else
            std::printf(" %32s", "not measured");
        std::printf("  goal %s %.1f  %s\n", BoundText(g.bound), g.goal, fPass ? "PASS" : "MISS");
    }
    const int cGoals = static_cast<int>(sizeof kGoals / sizeof kGoals[0]);
    std::printf("\n%d goals PASS, %d MISS\n", cGoals - cMiss, cMiss);
    return cMiss;
}

// ---------------------------------------------------------------------------
// Setting up and tidying up.
std::wstring DllPathFrom(int argc, char** argv)
{
    wchar_t sz[MAX_PATH];
    if (argc > 1) {
        MultiByteToWideChar(CP_ACP, 0, argv[1], -1, sz, MAX_PATH);
        return sz;
    }
    const DWORD cch = GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring path(sz, cch);
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + L"Tarnwick.dll";
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// (a) our object, from the built DLL.
bool OpenOurs(Bench& b)
{
    b.hDll = LoadLibraryW(b.dllPath.c_str());
    if (b.hDll == nullptr) {
        std::printf("cannot load %ls (error %lu)\n", b.dllPath.c_str(), GetLastError());
        return false;
    }
    auto pfnGetClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(b.hDll, "DllGetClassObject")));
    HRESULT hr = pfnGetClassObject ? pfnGetClassObject(CLSID_CInvokerK318, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&b.pFactory))
                                   : E_FAIL;
    if (SUCCEEDED(hr))
        hr = b.pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&b.pOurDisp));
    if (SUCCEEDED(hr))
        hr = b.pOurDisp->QueryInterface(IID_IInvokerK318, reinterpret_cast<void**>(&b.pOurInvoker));
    if (FAILED(hr))
        std::printf("cannot create the bridge object: 0x%08lX\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr);
}

// (b) and (c): the platform's dispatch over the type info in the same DLL.
bool OpenStandard(Bench& b)
{
    HRESULT hr = LoadInvokerTypeInfo(b.dllPath.c_str(), &b.pInterfaceInfo);
    if (FAILED(hr)) {
        std::printf("cannot read the type information of IInvokerK318: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    hr = b.stdObject.Init(b.pInterfaceInfo);
    if (SUCCEEDED(hr))
        hr = b.stdObject.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&b.pStdDisp));
    if (FAILED(hr)) {
        std::printf("CreateStdDispatch failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    b.pTypeInfoObject = new CTypeInfoInvoker(b.pInterfaceInfo);
    return true;
}

bool Open(Bench& b)
{
    if (!OpenOurs(b) || !OpenStandard(b))
        return false;
    b.subjects[kOurs].pDisp = b.pOurDisp;
    b.subjects[kStd].pDisp = b.pStdDisp;
    b.subjects[kTypeInfo].pDisp = static_cast<IInvokerK318*>(b.pTypeInfoObject);
    for (Subject& s : b.subjects) {
        LPOLESTR names[2] = {const_cast<LPOLESTR>(L"GetVer"), const_cast<LPOLESTR>(L"LoadExe")};
        if (FAILED(s.pDisp->GetIDsOfNames(IID_NULL, &names[0], 1, LOCALE_USER_DEFAULT, &s.dispidGetVer)) ||
            FAILED(s.pDisp->GetIDsOfNames(IID_NULL, &names[1], 1, LOCALE_USER_DEFAULT, &s.dispidLoadExe))) {
            std::printf("%s: GetIDsOfNames failed\n", s.pszName);
            return false;
        }
        // One checked call each, so a broken object is not timed.
        DISPPARAMS dp = {nullptr, nullptr, 0, 0};
        VARIANT v;
        VariantInit(&v);
        const HRESULT hr = s.pDisp->Invoke(s.dispidGetVer, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &v,
                                           nullptr, nullptr);
        if (FAILED(hr) || (v.vt != VT_I4 && v.vt != VT_UI4) || v.lVal != 1) {
            std::printf("%s: Invoke(GetVer) gave 0x%08lX, vt %u\n", s.pszName, static_cast<unsigned long>(hr), v.vt);
            return false;
        }
        VariantClear(&v);
    }
    b.bstrConn = SysAllocString(L"room=7&seat=3");
    return true;
}

void Close(Bench& b)
{
    b.host.Close();
    SysFreeString(b.bstrConn);
    if (b.pTypeInfoObject != nullptr)
        delete b.pTypeInfoObject;  // releases its type-info reference
    if (b.pStdDisp != nullptr)
        b.pStdDisp->Release();
    if (b.pOurInvoker != nullptr)
        b.pOurInvoker->Release();
    if (b.pOurDisp != nullptr)
        b.pOurDisp->Release();
    if (b.pFactory != nullptr)
        b.pFactory->Release();
    if (b.pInterfaceInfo != nullptr)
        b.pInterfaceInfo->Release();
}

void PrintHeader(const Bench& b)
{
    char szWine[64] = "not Wine";
    using VersionFn = const char*(CDECL*)();
    if (auto pfn = reinterpret_cast<VersionFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))))
        std::snprintf(szWine, sizeof szWine, "Wine %s", pfn());
    std::printf("Tarnwick dispatch benchmark (%d-bit)\n", static_cast<int>(sizeof(void*) * 8));
    std::printf("  DLL: %ls\n", b.dllPath.c_str());
    PrintDllFigures(b);
    std::printf("  platform: %s, performance counter %lld Hz\n", szWine, static_cast<long long>(g_freq.QuadPart));
    std::printf("  each row: %d rounds, calls per run raised until a run lasts >= %.0f ms\n", kRuns, kMinRunMs);
    std::printf("  DISPIDs: ours GetVer=%ld LoadExe=%ld; standard GetVer=%ld LoadExe=%ld\n",
                b.subjects[kOurs].dispidGetVer, b.subjects[kOurs].dispidLoadExe, b.subjects[kStd].dispidGetVer,
                b.subjects[kStd].dispidLoadExe);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    QueryPerformanceFrequency(&g_freq);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    if (FAILED(CoInitialize(nullptr))) {
        std::printf("CoInitialize failed\n");
        return 1;
    }
    int rc = 1;
    {
        Bench b;
        b.dllPath = DllPathFrom(argc, argv);
        if (Open(b)) {
            static Results res;
            PrintHeader(b);
            MeasureIdsRow(b, res, kRowIdsGetVer, L"GetVer");
            MeasureIdsRow(b, res, kRowIdsRunVideo, L"RunVideo");
            MeasureInvokeGetVerRow(b, res);
            MeasureLoadExeRows(b, res);
            PrintTable(res);
            PrintLoadExeNotes(b);
            MeasureScriptRows(b, res);
            PrintScriptTable(res);
            MeasureAllocations(b, res);
            CheckGoals(res);
            rc = 0;
        }
        Close(b);
    }
    CoUninitialize();
    return rc;
}
