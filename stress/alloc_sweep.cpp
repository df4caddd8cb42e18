// Allocation-failure sweep. For each scenario, the k-th allocation the built
// library makes is failed (k = 1, 2, ... until a run sees fewer than k), once
// failing that call only and once failing it and every later one. The
// library's imports are redirected in this process: its import address table,
// and the copies of those addresses it keeps in its own writable data (its
// platform table is filled from them when it loads).
// Every failed run must answer a failure HRESULT (E_OUTOFMEMORY), or the same
// answer as a clean run; leave no objects alive and no heap bytes behind, and
// a failed registration must leave nothing of ours after an unregistration.
//
// Each scenario runs in a child process, so a crash is reported with the
// scenario and k instead of ending the sweep.
//   stress_alloc_sweep                   every scenario
//   stress_alloc_sweep --child NAME      one scenario, in this process

#include "stress/stress_common.h"

#include "fake_hall/fake_hall.h"

#include <objsafe.h>
#include <ocidl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A child's exit code when it found faults; any other but 0 is a crash.
constexpr DWORD kFaults = 10;

// ---------------------------------------------------------------------------
// Failure injection.
volatile LONG g_armed = 0;
constexpr DWORD kAnyThread = 0;  // as g_thread: fail the calls of every thread
DWORD g_thread = 0;
LONG g_count = 0;       // allocations seen while armed
LONG g_failAt = 0;      // 0: fail nothing
bool g_sticky = false;  // fail every call from g_failAt on
LONG g_injected = 0;
LONG* g_pShared = nullptr;  // [0] the current k and mode, [1] set when the child finished

const char* g_failedCall = "";  // the last call failed on purpose

bool Fail(const char* name)
{
    if (!g_armed || (g_thread != kAnyThread && GetCurrentThreadId() != g_thread))
        return false;
    ++g_count;
    if (g_failAt != 0 && (g_count == g_failAt || (g_sticky && g_count > g_failAt))) {
        if (g_injected++ == 0)
            g_failedCall = name;
        return true;
    }
    return false;
}

#define HOOK(ret, name, params, args, failValue, failSide) \
    decltype(&::name) g_real_##name = nullptr;             \
    ret WINAPI Hook_##name params                          \
    {                                                      \
        if (Fail(#name)) {                                 \
            failSide;                                      \
            return failValue;                              \
        }                                                  \
        return g_real_##name args;                         \
    }
#define HOOK_C(ret, name, params, args)                      \
    decltype(&::name) g_real_##name = nullptr;               \
    ret __cdecl Hook_##name params                           \
    {                                                        \
        return Fail(#name) ? nullptr : g_real_##name args;   \
    }

HOOK(LPVOID, HeapAlloc, (HANDLE h, DWORD f, SIZE_T n), (h, f, n), nullptr, (void)0)
HOOK(LPVOID, HeapReAlloc, (HANDLE h, DWORD f, LPVOID p, SIZE_T n), (h, f, p, n), nullptr, (void)0)
HOOK(BSTR, SysAllocString, (const OLECHAR* s), (s), nullptr, (void)0)
HOOK(BSTR, SysAllocStringLen, (const OLECHAR* s, UINT n), (s, n), nullptr, (void)0)
HOOK(HRESULT, StringFromCLSID, (REFCLSID c, LPOLESTR* p), (c, p), E_OUTOFMEMORY, *p = nullptr)
HOOK(HRESULT, LoadTypeLib, (LPCOLESTR s, ITypeLib** pp), (s, pp), E_OUTOFMEMORY, *pp = nullptr)
HOOK(HRESULT, LoadRegTypeLib, (REFGUID g, WORD a, WORD b, LCID l, ITypeLib** pp), (g, a, b, l, pp), E_OUTOFMEMORY,
     *pp = nullptr)
HOOK(HRESULT, RegisterTypeLib, (ITypeLib * p, OLECHAR* a, OLECHAR* b), (p, a, b), E_OUTOFMEMORY, (void)0)
HOOK(LONG, RegCreateKeyExA,
     (HKEY h, LPCSTR s, DWORD r, LPSTR c, DWORD o, REGSAM m, LPSECURITY_ATTRIBUTES sa, PHKEY ph, LPDWORD d),
     (h, s, r, c, o, m, sa, ph, d), ERROR_OUTOFMEMORY, (void)0)
HOOK(LONG, RegSetValueExA, (HKEY h, LPCSTR s, DWORD r, DWORD t, const BYTE* p, DWORD n), (h, s, r, t, p, n),
     ERROR_OUTOFMEMORY, (void)0)
// The library accepts one hall request a second; its clock is moved on two
// seconds at every reading so each run's request is accepted.
decltype(&::GetTickCount) g_real_GetTickCount = nullptr;
DWORD g_tick = 0;
DWORD WINAPI Hook_GetTickCount()
{
    return g_tick += 2000;
}
HOOK_C(void*, malloc, (size_t n), (n))
HOOK_C(void*, calloc, (size_t a, size_t b), (a, b))
HOOK_C(void*, realloc, (void* p, size_t n), (p, n))
HOOK_C(char*, _strdup, (const char* s), (s))

struct Hook {
    const char* dll;
    const char* name;
    void* hook;
    void** pReal;
};
#define ENTRY(dll, name) {dll, #name, reinterpret_cast<void*>(&Hook_##name), reinterpret_cast<void**>(&g_real_##name)}
const Hook kHooks[] = {
    ENTRY("kernel32.dll", HeapAlloc),       ENTRY("kernel32.dll", HeapReAlloc),
    ENTRY("oleaut32.dll", SysAllocString),  ENTRY("oleaut32.dll", SysAllocStringLen),
    ENTRY("ole32.dll", StringFromCLSID),    ENTRY("oleaut32.dll", LoadTypeLib),
    ENTRY("oleaut32.dll", LoadRegTypeLib),  ENTRY("oleaut32.dll", RegisterTypeLib),
    ENTRY("advapi32.dll", RegCreateKeyExA), ENTRY("advapi32.dll", RegSetValueExA),
    ENTRY("msvcrt.dll", malloc),            ENTRY("msvcrt.dll", calloc),
    ENTRY("msvcrt.dll", realloc),           ENTRY("msvcrt.dll", _strdup),
    ENTRY("kernel32.dll", GetTickCount),
};

struct Patch {
    void** where;
    void* original;
};
std::vector<Patch> g_patches;

void Write(void** where, void* value)
{
    DWORD old = 0;
    VirtualProtect(where, sizeof(void*), PAGE_READWRITE, &old);
    *where = value;
    VirtualProtect(where, sizeof(void*), old, &old);
}

// Redirects the library's imports; returns how many were found.
int PatchImports(HMODULE hMod, std::vector<std::string>& missing)
{
    auto* base = reinterpret_cast<BYTE*>(hMod);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int found = 0;
    std::vector<void*> originals;
    for (const Hook& hook : kHooks) {
        void* original = nullptr;
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
            if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), hook.dll) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<char*>(byName->Name), hook.name) != 0)
                    continue;
                void** where = reinterpret_cast<void**>(&slots->u1.Function);
                original = *where;
                g_patches.push_back({where, original});
                Write(where, hook.hook);
            }
        }
        if (original == nullptr) {
            missing.push_back(hook.name);
            continue;
        }
        *hook.pReal = original;
        ++found;
        // The library's own copies of the address, in its writable data.
        IMAGE_SECTION_HEADER* sec = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++sec) {
            if (!(sec->Characteristics & IMAGE_SCN_MEM_WRITE))
                continue;
            auto** p = reinterpret_cast<void**>(base + sec->VirtualAddress);
            const size_t n = sec->Misc.VirtualSize / sizeof(void*);
            for (size_t j = 0; j < n; ++j)
                if (p[j] == original) {
                    g_patches.push_back({&p[j], original});
                    Write(&p[j], hook.hook);
                }
        }
    }
    return found;
}

void UnpatchImports()
{
    for (auto it = g_patches.rbegin(); it != g_patches.rend(); ++it)
        Write(it->where, it->original);
    g_patches.clear();
}

void Arm() { g_armed = 1; }
void Disarm() { g_armed = 0; }

// ---------------------------------------------------------------------------
// Scenarios. Each arms the injection around the part under test and answers
// an HRESULT and a text to compare with a clean run; problems only it can see
// go to wrong.
struct Answer {
    HRESULT hr = S_OK;
    std::wstring text;
    const char* wrong = nullptr;
};

stress::Dll g_dll;
std::string g_installDir;

// What a caller's out locations hold before a call: never a valid pointer, so
// a failed call that hands it back is seen (and it is never used).
template <class T>
T Garbage()
{
    return reinterpret_cast<T>(static_cast<UINT_PTR>(0xBAADF00D));
}

// A failed call leaves its out value empty: a null pointer or BSTR, 0.
template <class T>
void CheckOut(Answer& a, HRESULT hr, const T& out, const char* call)
{
    if (FAILED(hr) && out != T() && a.wrong == nullptr)
        a.wrong = call;
}

// A failed Invoke hands out nothing: its result is empty or a null text.
void CheckResult(Answer& a, HRESULT hr, const VARIANT& r, const char* call)
{
    if (FAILED(hr) && r.vt != VT_EMPTY && !(r.vt == VT_BSTR && r.bstrVal == nullptr) && a.wrong == nullptr)
        a.wrong = call;
}

std::wstring TakeBstr(BSTR b)
{
    std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
    SysFreeString(b);
    return s;
}

IInvokerK318* NewObject()
{
    IClassFactory* pFactory = g_dll.Factory();
    IInvokerK318* p = nullptr;
    if (pFactory != nullptr) {
        pFactory->CreateInstance(nullptr, stress::kIidInvoker, reinterpret_cast<void**>(&p));
        pFactory->Release();
    }
    return p;
}

Answer CreateRelease()
{
    Answer a;
    Arm();
    IClassFactory* pFactory = Garbage<IClassFactory*>();
    a.hr = g_dll.GetClassObject(stress::kClsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    CheckOut(a, a.hr, pFactory, "DllGetClassObject failed and left its out value");
    if (SUCCEEDED(a.hr)) {
        IUnknown* p = Garbage<IUnknown*>();
        a.hr = pFactory->CreateInstance(nullptr, stress::kIidInvoker, reinterpret_cast<void**>(&p));
        CheckOut(a, a.hr, p, "CreateInstance failed and left its out value");
        if (SUCCEEDED(a.hr))
            p->Release();
        pFactory->Release();
    }
    Disarm();
    return a;
}

// Calls member id by name through IDispatch, as a script host does.
Answer ByName(const wchar_t* name, std::vector<VARIANT> args)
{
    Answer a;
    IInvokerK318* p = NewObject();
    if (p == nullptr)
        return {E_FAIL, L"", "no object in a clean run"};
    Arm();
    DISPID id = 0;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    a.hr = p->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (SUCCEEDED(a.hr)) {
        DISPPARAMS dp = {args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        VARIANT r;
        VariantInit(&r);
        r.vt = VT_UNKNOWN;
        r.punkVal = Garbage<IUnknown*>();
        a.hr = p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &r, nullptr, nullptr);
        CheckResult(a, a.hr, r, "Invoke failed and handed out a result");
        if (FAILED(a.hr))
            VariantInit(&r);
        VARIANT t;
        VariantInit(&t);
        if (r.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&t, &r, 0, VT_BSTR)))
            a.text = TakeBstr(t.bstrVal);
        VariantClear(&r);
    }
    Disarm();
    for (VARIANT& v : args)
        VariantClear(&v);
    p->Release();
    return a;
}

VARIANT Num(LONG n)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

VARIANT Text(const std::wstring& s)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return v;
}

// Calls a member through the interface table.
Answer ByTable(int member, const std::wstring& text = L"room=7")
{
    Answer a;
    IInvokerK318* p = NewObject();
    if (p == nullptr)
        return {E_FAIL, L"", "no object in a clean run"};
    BSTR arg = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    BSTR out = Garbage<BSTR>();
    ULONG ver = 0xBAADF00D;
    Arm();
    switch (member) {
    case 1: a.hr = p->LoadExe(12, arg); break;
    case 2: a.hr = p->GetMacAddress(&out); break;
    case 3: a.hr = p->GetVer(&ver); a.text = std::to_wstring(ver); break;
    case 4: a.hr = p->GetSpReadUserID(&out); break;
    default: a.hr = p->RunVideo(7, 12, arg); break;
    }
    Disarm();
    if (member == 3)
        CheckOut(a, a.hr, ver, "GetVer failed and left its number");
    if (member == 2 || member == 4) {
        CheckOut(a, a.hr, out, "a text method failed and left its BSTR");
        if (FAILED(a.hr) || out == Garbage<BSTR>())
            out = nullptr;
    }
    if (member == 2 || member == 4)
        a.text = TakeBstr(out);
    SysFreeString(arg);
    p->Release();
    return a;
}

Answer Names()
{
    Answer a;
    IInvokerK318* p = NewObject();
    if (p == nullptr)
        return {E_FAIL, L"", "no object in a clean run"};
    const wchar_t* rg[] = {L"LoadExe", L"getmacaddress", L"GetVer", L"GetSpReadUserID", L"RunVideo", L"Nothing"};
    Arm();
    for (const wchar_t* name : rg) {
        DISPID id = 0;
        LPOLESTR n = const_cast<LPOLESTR>(name);
        const HRESULT hr = p->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
        a.text += std::to_wstring(hr) + L":" + std::to_wstring(SUCCEEDED(hr) ? id : 0) + L" ";
        if (hr != S_OK && hr != DISP_E_UNKNOWNNAME)
            a.hr = hr;
    }
    Disarm();
    p->Release();
    return a;
}

Answer TypeInformation()
{
    Answer a;
    IInvokerK318* p = NewObject();
    if (p == nullptr)
        return {E_FAIL, L"", "no object in a clean run"};
    Arm();
    UINT c = 0xBAADF00D;
    ITypeInfo* pInfo = Garbage<ITypeInfo*>();
    a.hr = p->GetTypeInfoCount(&c);
    CheckOut(a, a.hr, c, "GetTypeInfoCount failed and left its count");
    if (SUCCEEDED(a.hr)) {
        a.hr = p->GetTypeInfo(0, LOCALE_USER_DEFAULT, &pInfo);
        CheckOut(a, a.hr, pInfo, "GetTypeInfo failed and left its out value");
    }
    if (SUCCEEDED(a.hr)) {
        TYPEATTR* pAttr = nullptr;
        a.hr = pInfo->GetTypeAttr(&pAttr);
        if (SUCCEEDED(a.hr)) {
            a.text = std::to_wstring(c) + L" " + std::to_wstring(pAttr->cFuncs);
            for (UINT i = 0; i < pAttr->cFuncs && SUCCEEDED(a.hr); ++i) {
                FUNCDESC* pFunc = nullptr;
                a.hr = pInfo->GetFuncDesc(i, &pFunc);
                if (SUCCEEDED(a.hr)) {
                    BSTR name = nullptr;
                    if (SUCCEEDED(pInfo->GetDocumentation(pFunc->memid, &name, nullptr, nullptr, nullptr)))
                        a.text += L" " + TakeBstr(name);
                    pInfo->ReleaseFuncDesc(pFunc);
                }
            }
            pInfo->ReleaseTypeAttr(pAttr);
        }
        pInfo->Release();
    }
    Disarm();
    p->Release();
    return a;
}

// A controlling object: answers IUnknown, hands the rest to the inner object.
struct Outer : IUnknown {
    LONG cRef = 1;
    IUnknown* pInner = nullptr;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return pInner ? pInner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++cRef); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--cRef); }
};

Answer Aggregation()
{
    Answer a;
    Outer outer;
    IClassFactory* pFactory = g_dll.Factory();
    if (pFactory == nullptr)
        return {E_FAIL, L"", "no class object in a clean run"};
    Arm();
    outer.pInner = Garbage<IUnknown*>();
    a.hr = pFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.pInner));
    CheckOut(a, a.hr, outer.pInner, "CreateInstance of an aggregate failed and left its out value");
    if (FAILED(a.hr))
        outer.pInner = nullptr;
    if (SUCCEEDED(a.hr)) {
        IDispatch* pDisp = Garbage<IDispatch*>();
        a.hr = outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDisp));
        CheckOut(a, a.hr, pDisp, "QueryInterface failed and left its out value");
        if (SUCCEEDED(a.hr)) {
            DISPPARAMS dp = {nullptr, nullptr, 0, 0};
            VARIANT r;
            VariantInit(&r);
            a.hr = pDisp->Invoke(3, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &r, nullptr, nullptr);
            a.text = std::to_wstring(r.vt) + L":" + std::to_wstring(r.lVal);
            VariantClear(&r);
            pDisp->Release();
        }
        outer.pInner->Release();
    }
    Disarm();
    pFactory->Release();
    if (outer.cRef != 1)
        a.wrong = "the outer object's references are not back to one";
    return a;
}

// A page's site for the site lock: its services give the document, whose
// URL property is an allowed page's address.
struct PageDocument : IDispatch {
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* p) override { *p = 0; return S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** pp) override { *pp = nullptr; return DISP_E_BADINDEX; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT c, LCID, DISPID* ids) override
    {
        if (c != 1 || lstrcmpiW(names[0], L"URL") != 0)
            return DISP_E_UNKNOWNNAME;
        ids[0] = 1;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* r, EXCEPINFO*, UINT*) override
    {
        r->vt = VT_BSTR;
        r->bstrVal = SysAllocString(L"https://hall.example/lobby");
        return r->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

struct PageSite : IServiceProvider {
    PageDocument document;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IServiceProvider) ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP QueryService(REFGUID, REFIID riid, void** ppv) override { return document.QueryInterface(riid, ppv); }
};

// Under a site lock that allows the page: the object is made (its policy
// read), is given the page's site, and hands a request to the hall.
Answer SiteLocked()
{
    Answer a;
    IClassFactory* pFactory = g_dll.Factory();
    if (pFactory == nullptr)
        return {E_FAIL, L"", "no class object in a clean run"};
    PageSite site;
    Arm();
    IUnknown* p = Garbage<IUnknown*>();
    a.hr = pFactory->CreateInstance(nullptr, stress::kIidInvoker, reinterpret_cast<void**>(&p));
    CheckOut(a, a.hr, p, "CreateInstance failed and left its out value");
    if (SUCCEEDED(a.hr)) {
        IObjectWithSite* pWithSite = Garbage<IObjectWithSite*>();
        a.hr = p->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&pWithSite));
        CheckOut(a, a.hr, pWithSite, "QueryInterface failed and left its out value");
        if (SUCCEEDED(a.hr)) {
            a.hr = pWithSite->SetSite(&site);
            if (SUCCEEDED(a.hr))
                a.hr = static_cast<IInvokerK318*>(p)->LoadExe(12, nullptr);
            IUnknown* pHeld = Garbage<IUnknown*>();
            const HRESULT hrSite = pWithSite->GetSite(IID_IUnknown, reinterpret_cast<void**>(&pHeld));
            CheckOut(a, hrSite, pHeld, "GetSite failed and left its out value");
            pWithSite->SetSite(nullptr);
            pWithSite->Release();
        }
        p->Release();
    }
    Disarm();
    pFactory->Release();
    return a;
}

const char* const kOurKeys[] = {
    "CLSID\\{944F576C-8D13-4177-9B3F-E827E4AFE8FF}",
    "Tarnwick.InvokerK318",
    "Tarnwick.InvokerK318.1",
    "TypeLib\\{6E328742-AEEA-4D34-A0A8-9EA8B322768A}",
};

int OurKeysPresent()
{
    int n = 0;
    for (const char* k : kOurKeys) {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, k, 0, KEY_READ, &h) == ERROR_SUCCESS) {
            RegCloseKey(h);
            ++n;
        }
    }
    return n;
}

Answer Register()
{
    Answer a;
    Arm();
    a.hr = g_dll.Register();
    Disarm();
    if (SUCCEEDED(a.hr) && OurKeysPresent() != 4)
        a.wrong = "a registration that succeeded wrote too little";
    g_dll.Unregister();
    if (OurKeysPresent() != 0)
        a.wrong = "unregistering after it left keys of ours behind";
    return a;
}

Answer Unregister()
{
    Answer a;
    if (FAILED(g_dll.Register()))
        return {E_FAIL, L"", "a clean registration failed"};
    Arm();
    a.hr = g_dll.Unregister();
    Disarm();
    if (SUCCEEDED(a.hr) && OurKeysPresent() != 0)
        a.wrong = "an unregistration that succeeded left keys of ours";
    g_dll.Unregister();
    if (OurKeysPresent() != 0)
        a.wrong = "a clean unregistration after it left keys of ours";
    return a;
}

// The hall's install folder with an introduce.ini whose introducer is text.
void WriteInstall(const std::string& introducer)
{
    char tmp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tmp);
    g_installDir = std::string(tmp) + "TarnwickSweep";
    CreateDirectoryA(g_installDir.c_str(), nullptr);
    CreateDirectoryA((g_installDir + "\\Data").c_str(), nullptr);
    const std::string ini = "[config]\r\nintroducer=" + introducer + "\r\n";
    HANDLE h = CreateFileA((g_installDir + "\\Data\\introduce.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cb = 0;
    WriteFile(h, ini.data(), static_cast<DWORD>(ini.size()), &cb, nullptr);
    CloseHandle(h);
    stress::SetHallPath(REG_SZ, g_installDir.c_str(), static_cast<DWORD>(g_installDir.size() + 1));
}

// The hall's windows in this process: the last request they received.
std::string g_lastRequest;
fake_hall::Hall* g_pHall = nullptr;

void MakeHallWindows()
{
    static fake_hall::Hall hall;
    hall.onRequest = [](const fake_hall::Request& r, fake_hall::Header*) {
        g_lastRequest = std::to_string(r.rid) + ":" + r.text;
    };
    hall.Open(fake_hall::kPlainTitle);
    hall.Open("K318HallHideWindows7");
    g_pHall = &hall;
}

// What a failed run may answer besides E_OUTOFMEMORY, by design:
//  - kAnyFailure: registration reports some failures by another code (an
//    unrecorded addition of the class's friendly name surfaces as E_FAIL at
//    its first use; a type library that cannot be read from the module is
//    reported with the code of the fallback .tlb file beside it);
//  - kLessInformation: with no type library to read, the object reports no
//    type information (a count of 0) instead of failing.
enum Allowance { kOutOfMemoryOnly, kAnyFailure, kLessInformation };

struct Scenario {
    const char* name;
    Answer (*run)();
    Allowance allowance = kOutOfMemoryOnly;
};

const Scenario kScenarios[] = {
    {"create_release", CreateRelease},
    {"invoke_LoadExe", [] { return ByName(L"LoadExe", {Text(L"room=7"), Text(L"12")}); }},
    {"invoke_GetMacAddress", [] { return ByName(L"GetMacAddress", {}); }},
    {"invoke_GetVer", [] { return ByName(L"GetVer", {}); }},
    {"invoke_GetSpReadUserID", [] { return ByName(L"GetSpReadUserID", {}); }},
    {"invoke_RunVideo", [] { return ByName(L"RunVideo", {Text(L"video=42"), Num(12), Num(7)}); }},
    {"vtable_LoadExe", [] { return ByTable(1); }},
    {"vtable_GetMacAddress", [] { return ByTable(2); }},
    {"vtable_GetVer", [] { return ByTable(3); }},
    {"vtable_GetSpReadUserID", [] { return ByTable(4); }},
    {"vtable_RunVideo", [] { return ByTable(5); }},
    {"GetIDsOfNames", Names},
    {"type_information", TypeInformation, kLessInformation},
    {"aggregation", Aggregation},
    {"DllRegisterServer", Register, kAnyFailure},
    {"DllUnregisterServer", Unregister, kAnyFailure},
    {"LoadExe_8KB", [] { return ByTable(1, std::wstring(8192, L'x')); }},
    {"GetSpReadUserID_5000", [] { return ByTable(4); }},
    {"site_lock", SiteLocked},
};

// A run, with the request the hall received appended to its answer.
Answer Run(const Scenario& s)
{
    g_lastRequest.clear();
    if (g_pHall != nullptr)
        g_pHall->Clear();  // only the last request counts
    Answer a = s.run();
    a.text += L"|";
    for (unsigned char c : g_lastRequest)
        a.text.push_back(c);
    return a;
}

std::string Narrow(const std::wstring& w)
{
    std::string n;
    for (wchar_t c : w.substr(0, 60))
        n.push_back(c < 128 ? static_cast<char>(c) : '?');
    return w.size() > 60 ? n + "..." : n;
}

struct Tally {
    LONG seen = 0, injected = 0, oom = 0, otherFailures = 0, absorbed = 0, wrong = 0, objectsLeft = 0;
};

// One failed run at k; classifies its answer against the clean one.
void FailedRun(const Scenario& s, LONG k, bool sticky, const Answer& clean, Tally& t, const Tally& t0, bool& done)
{
    g_count = 0;
    g_injected = 0;
    g_failAt = k;
    g_sticky = sticky;
    g_thread = GetCurrentThreadId();
    const Answer a = Run(s);
    g_failAt = 0;
    if (g_injected == 0) {
        t.seen = g_count;
        done = true;
        return;
    }
    t.injected += g_injected;
    const char* problem = a.wrong;
    if (a.hr == E_OUTOFMEMORY) {
        ++t.oom;
    } else if (FAILED(a.hr)) {
        ++t.otherFailures;
        if (s.allowance != kAnyFailure)
            problem = "a failure other than E_OUTOFMEMORY";
    } else if (a.hr != clean.hr || a.text != clean.text) {
        if (s.allowance == kLessInformation)
            ++t.absorbed;
        else
            problem = "an answer that differs from a clean run";
    } else {
        ++t.absorbed;
    }
    if (g_dll.CanUnloadNow() != S_OK) {
        ++t.objectsLeft;
        problem = problem ? problem : "objects left alive";
    }
    if (problem != nullptr && ++t.wrong <= 3 && &t == &t0)
        std::printf("    %s k=%ld%s (%s failed): hr 0x%08lX: %s (answer \"%s\", clean \"%s\")\n", s.name,
                    static_cast<long>(k), sticky ? " and after" : "", g_failedCall, static_cast<unsigned long>(a.hr),
                    problem, Narrow(a.text).c_str(), Narrow(clean.text).c_str());
}

int RunScenario(const Scenario& s)
{
    WriteInstall(std::strcmp(s.name, "GetSpReadUserID_5000") == 0 ? std::string(5000, '7') : "10086");
    const bool locked = std::strcmp(s.name, "site_lock") == 0;
    if (locked && !stress::SetSiteLock(L"https://hall.example"))
        return 2;
    std::vector<std::string> missing;
    const int hooked = PatchImports(g_dll.h, missing);
    Answer clean;
    for (int i = 0; i < 3; ++i)  // warm-up: the platform's one-time allocations
        clean = Run(s);
    // Each mode's sweep runs three times. The first pass also warms up what
    // the platform makes once on a failure path (a type library cache, say).
    // Under WoW64 Wine the platform's heaps also grow once, by a few
    // kilobytes, at some later moment of their own; a leak grows the heaps
    // in every pass, so the growth counted is the smaller of the last two
    // passes'. A mode's line is printed before the next starts, so a crash in
    // the second leaves the first's figures.
    bool faults = false;
    for (int sticky = 0; sticky < 2; ++sticky) {
        constexpr int kPasses = 3;
        Tally tally[kPasses];
        long long heaps[kPasses] = {};
        for (int pass = 0; pass < kPasses; ++pass) {
            if (pass > 0)
                heaps[pass] = stress::AllHeapsBytes();
            bool done = false;
            for (LONG k = 1; k < 100000 && !done; ++k) {
                g_pShared[0] = k * 2 + sticky;
                FailedRun(s, k, sticky != 0, clean, tally[pass], tally[0], done);
            }
        }
        const long long growth = std::min(heaps[2] - heaps[1], stress::AllHeapsBytes() - heaps[2]);
        // Tolerance: none beyond the heap's rounding. After the warm-up a
        // failed run leaves the platform as it found it, and a leak of one
        // block per failed run grows each pass by far more than this.
        const long long tolerance = 64;
        const bool leak = growth > tolerance;
        const Tally& t = tally[0];
        std::printf("  %-22s %-11s allocations %3ld  injected %4ld  E_OUTOFMEMORY %3ld  other failures %2ld  "
                    "absorbed %2ld  crashes 0  leaks %s (%+lld bytes, each later pass)  objects left %ld  wrong %ld\n",
                    s.name, sticky ? "k and after" : "k only", static_cast<long>(t.seen), static_cast<long>(t.injected),
                    static_cast<long>(t.oom), static_cast<long>(t.otherFailures), static_cast<long>(t.absorbed),
                    leak ? "YES" : "0", growth, static_cast<long>(t.objectsLeft), static_cast<long>(t.wrong));
        faults = faults || leak || t.wrong != 0;
    }
    if (hooked != static_cast<int>(sizeof kHooks / sizeof kHooks[0]) && std::strcmp(s.name, "create_release") == 0) {
        std::printf("    not imported by the library:");
        for (const std::string& m : missing)
            std::printf(" %s", m.c_str());
        std::printf("\n");
    }
    UnpatchImports();
    stress::DeleteHallPath();
    if (locked)
        stress::DeleteSiteLock();
    g_pShared[1] = 1;
    return faults ? kFaults : 0;
}

// From now on every allocation of the library fails on thread (or on every
// thread, kAnyThread).
void FailEveryAllocation(DWORD thread)
{
    g_thread = thread;
    g_failAt = 1;
    g_sticky = true;
    g_pShared[0] = 3;  // k = 1 and after
    Arm();
}

// Out values that a failed call left as they were, on the first-call runs.
int g_outsLeft = 0;

void CheckFirstCallOut(HRESULT hr, bool cleared, const char* call)
{
    if (FAILED(hr) && !cleared) {
        ++g_outsLeft;
        std::printf("    %s failed (0x%08lX) and left its out value as it was\n", call, static_cast<unsigned long>(hr));
    }
}

// Every allocation of the calling thread failed from its first call on,
// through to the first C++ exception the library throws on that thread.
void CallWithEveryAllocationFailing(DWORD thread = GetCurrentThreadId())
{
    FailEveryAllocation(thread);
    IClassFactory* pFactory = Garbage<IClassFactory*>();
    HRESULT hr = g_dll.GetClassObject(stress::kClsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    std::printf("    DllGetClassObject 0x%08lX\n", static_cast<unsigned long>(hr));
    CheckFirstCallOut(hr, pFactory == nullptr, "DllGetClassObject");
    std::fflush(stdout);
    if (SUCCEEDED(hr)) {
        IDispatch* p = Garbage<IDispatch*>();
        hr = pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&p));
        std::printf("    CreateInstance 0x%08lX\n", static_cast<unsigned long>(hr));
        CheckFirstCallOut(hr, p == nullptr, "CreateInstance");
        std::fflush(stdout);
        if (SUCCEEDED(hr)) {
            for (DISPID id = 1; id <= 5; ++id) {
                DISPPARAMS dp = {nullptr, nullptr, 0, 0};
                VARIANT r;
                VariantInit(&r);
                hr = p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &dp, &r, nullptr, nullptr);
                std::printf("    Invoke(%ld) 0x%08lX\n", static_cast<long>(id), static_cast<unsigned long>(hr));
                std::fflush(stdout);
                VariantClear(&r);
            }
            p->Release();
        }
        pFactory->Release();
    }
    Disarm();
}

// An object made on the loading thread, then every entry with an out value
// called on a thread that has never called the library, with every
// allocation failing: the thread's first call cannot build what an entry
// needs, and each entry that fails clears its out values all the same.
IInvokerK318* g_pObject = nullptr;
IObjectSafety* g_pSafety = nullptr;
IProvideClassInfo* g_pClassInfo = nullptr;

DWORD WINAPI EveryEntryFirstMain(void*)
{
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IInvokerK318* p = g_pObject;
    FailEveryAllocation(GetCurrentThreadId());
    for (int round = 0; round < 2; ++round) {  // the thread's first call, then later ones
        void* pv = Garbage<void*>();
        HRESULT hr = p->QueryInterface(IID_IDispatch, &pv);
        CheckFirstCallOut(hr, pv == nullptr, "QueryInterface");
        if (SUCCEEDED(hr))
            static_cast<IUnknown*>(pv)->Release();
        UINT count = 0xBAADF00D;
        hr = p->GetTypeInfoCount(&count);
        CheckFirstCallOut(hr, count == 0, "GetTypeInfoCount");
        ITypeInfo* pInfo = Garbage<ITypeInfo*>();
        hr = p->GetTypeInfo(0, LOCALE_USER_DEFAULT, &pInfo);
        CheckFirstCallOut(hr, pInfo == nullptr, "GetTypeInfo");
        if (SUCCEEDED(hr))
            pInfo->Release();
        BSTR text = Garbage<BSTR>();
        hr = p->GetMacAddress(&text);
        CheckFirstCallOut(hr, text == nullptr, "GetMacAddress");
        if (SUCCEEDED(hr))
            SysFreeString(text);
        text = Garbage<BSTR>();
        hr = p->GetSpReadUserID(&text);
        CheckFirstCallOut(hr, text == nullptr, "GetSpReadUserID");
        if (SUCCEEDED(hr))
            SysFreeString(text);
        ULONG ver = 0xBAADF00D;
        hr = p->GetVer(&ver);
        CheckFirstCallOut(hr, ver == 0, "GetVer");
        DWORD supported = 0xBAADF00D, enabled = 0xBAADF00D;
        hr = g_pSafety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
        CheckFirstCallOut(hr, supported == 0 && enabled == 0, "GetInterfaceSafetyOptions");
        pInfo = Garbage<ITypeInfo*>();
        hr = g_pClassInfo->GetClassInfo(&pInfo);
        CheckFirstCallOut(hr, pInfo == nullptr, "GetClassInfo");
        if (SUCCEEDED(hr))
            pInfo->Release();
    }
    Disarm();
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return 0;
}

DWORD WINAPI NewThreadMain(void*)
{
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CallWithEveryAllocationFailing();
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return 0;
}

DWORD WINAPI IdleThreadMain(void*)
{
    return 0;
}

// A thread of the host that never calls the library starts while every
// allocation of the library fails; then a thread that calls it.
DWORD WINAPI HostThreadsMain(void*)
{
    HANDLE hIdle = CreateThread(nullptr, 0, IdleThreadMain, nullptr, 0, nullptr);
    if (hIdle) {
        WaitForSingleObject(hIdle, INFINITE);
        CloseHandle(hIdle);
    }
    std::printf("    an idle thread started and ended\n");
    std::fflush(stdout);
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CallWithEveryAllocationFailing(kAnyThread);
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return 0;
}

// The loading thread of a fresh load (first_load_fail_all), a thread started
// after the load (new_thread_fail_all), whose exception record the library
// builds at its first call, or the threads of HostThreadsMain
// (thread_start_fail_all), with the failures armed before they start.
int RunFromTheStart(const char* name, bool newThread, bool failFromThreadStart = false)
{
    std::vector<std::string> missing;
    PatchImports(g_dll.h, missing);
    if (failFromThreadStart)
        FailEveryAllocation(kAnyThread);
    if (newThread) {
        HANDLE hThread =
            CreateThread(nullptr, 0, failFromThreadStart ? HostThreadsMain : NewThreadMain, nullptr, 0, nullptr);
        if (!hThread) {
            std::printf("  %-22s cannot start a thread\n", name);
            return 2;
        }
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    } else {
        CallWithEveryAllocationFailing();
    }
    std::printf("  %-22s allocations failed %ld, crashes 0, out values left %d\n", name, static_cast<long>(g_injected),
                g_outsLeft);
    UnpatchImports();
    g_pShared[1] = 1;
    return g_outsLeft != 0 ? static_cast<int>(kFaults) : 0;
}

// Every entry with an out value, first called on a new thread (above).
int RunEveryEntryFirst(const char* name)
{
    g_pObject = NewObject();
    if (g_pObject == nullptr ||
        FAILED(g_pObject->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&g_pSafety))) ||
        FAILED(g_pObject->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&g_pClassInfo)))) {
        std::printf("  %-22s no object in a clean run\n", name);
        return 2;
    }
    std::vector<std::string> missing;
    PatchImports(g_dll.h, missing);
    HANDLE hThread = CreateThread(nullptr, 0, EveryEntryFirstMain, nullptr, 0, nullptr);
    if (!hThread) {
        std::printf("  %-22s cannot start a thread\n", name);
        return 2;
    }
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    UnpatchImports();
    g_pClassInfo->Release();
    g_pSafety->Release();
    g_pObject->Release();
    std::printf("  %-22s allocations failed %ld, crashes 0, out values left %d\n", name, static_cast<long>(g_injected),
                g_outsLeft);
    g_pShared[1] = 1;
    return g_outsLeft != 0 ? static_cast<int>(kFaults) : 0;
}

// Runs one scenario in a child process; reports a crash or hang with its k.
int RunChild(const char* self, const char* name, LONG* pShared)
{
    pShared[0] = pShared[1] = 0;
    std::string cmd = std::string("\"") + self + "\" --child " + name;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("  %-22s cannot start a child process\n", name);
        return 1;
    }
    const DWORD wait = WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 0;
    if (wait != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 3);
        code = 3;
        std::printf("  %-22s HANG at k=%ld%s\n", name, static_cast<long>(*pShared / 2), *pShared % 2 ? " and after" : "");
    } else {
        GetExitCodeProcess(pi.hProcess, &code);
        // A stack overflow under Wine ends the process with code 0: only
        // the child's own mark tells a finished run.
        if (pShared[1] == 0)
            std::printf("  %-22s CRASH (exit 0x%08lX) at k=%ld%s\n", name, static_cast<unsigned long>(code),
                        static_cast<long>(*pShared / 2), *pShared % 2 ? " and after" : "");
    }
    std::fflush(stdout);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0 && pShared[1] != 0 ? 0 : 1;
}

}  // namespace

// Another MinGW program's runtime DLL already in the host when the library
// loads (a stand-in whose unwinder knows no tables): the library's failures
// still answer E_OUTOFMEMORY, as its own unwinder has its tables.
constexpr char kRuntimeDllPresent[] = "runtime_dll_present";

bool LoadRuntimeStandIn()
{
    const std::string dll = stress::DllPath();
    const std::string path = dll.substr(0, dll.find_last_of('\\') + 1) + "standin\\libgcc_s_dw2-1.dll";
    if (LoadLibraryA(path.c_str()) != nullptr)
        return true;
    std::printf("  %-22s cannot load %s\n", kRuntimeDllPresent, path.c_str());
    return false;
}

int main(int argc, char** argv)
{
    const stress::Options o = stress::ParseOptions(argc, argv, 0, 0);
    char mapName[64];
    const DWORD parent = o.child.empty() ? GetCurrentProcessId() : 0;
    const char* env = std::getenv("TARNWICK_SWEEP_PARENT");
    std::snprintf(mapName, sizeof mapName, "Local\\TarnwickSweep%lu",
                  static_cast<unsigned long>(parent ? parent : (env ? std::strtoul(env, nullptr, 10) : 0)));
    HANDLE hMap = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, mapName);
    g_pShared = static_cast<LONG*>(MapViewOfFile(hMap, FILE_MAP_WRITE, 0, 0, 4096));
    if (g_pShared == nullptr)
        return 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (o.child.empty()) {
        std::printf("allocation-failure sweep: deterministic (no seed), every scenario in a child process\n");
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        char id[16];
        std::snprintf(id, sizeof id, "%lu", static_cast<unsigned long>(parent));
        SetEnvironmentVariableA("TARNWICK_SWEEP_PARENT", id);
        int failed = 0;
        for (const Scenario& s : kScenarios)
            failed += RunChild(self, s.name, g_pShared);
        failed += RunChild(self, "first_load_fail_all", g_pShared);
        failed += RunChild(self, "new_thread_fail_all", g_pShared);
        failed += RunChild(self, "thread_start_fail_all", g_pShared);
        failed += RunChild(self, "every_entry_first_call", g_pShared);
        failed += RunChild(self, kRuntimeDllPresent, g_pShared);
        std::printf("allocation-failure sweep: %s (%d scenarios with faults; replay one: --child NAME)\n",
                    failed ? "FAIL" : "PASS", failed);
        return failed ? 1 : 0;
    }

    if (o.child == kRuntimeDllPresent && !LoadRuntimeStandIn())
        return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) || !g_dll.Load())
        return 2;
    MakeHallWindows();
    if (o.child == "first_load_fail_all" || o.child == "new_thread_fail_all")
        return RunFromTheStart(o.child.c_str(), o.child == "new_thread_fail_all");
    if (o.child == "thread_start_fail_all")
        return RunFromTheStart(o.child.c_str(), true, true);
    if (o.child == "every_entry_first_call")
        return RunEveryEntryFirst(o.child.c_str());
    if (o.child == kRuntimeDllPresent) {
        Scenario s = kScenarios[1];  // invoke_LoadExe
        s.name = kRuntimeDllPresent;
        return RunScenario(s);
    }
    for (const Scenario& s : kScenarios)
        if (o.child == s.name)
            return RunScenario(s);
    std::printf("no scenario %s\n", o.child.c_str());
    return 2;
}
