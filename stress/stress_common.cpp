#include "stress/stress_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stress {

Options ParseOptions(int argc, char** argv, uint64_t defaultCalls, uint32_t defaultRounds)
{
    Options o;
    o.calls = defaultCalls;
    o.rounds = defaultRounds;
    bool haveSeed = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--seed") {
            o.seed = std::strtoull(value, nullptr, 0);
            haveSeed = true;
        } else if (key == "--calls") {
            o.calls = std::strtoull(value, nullptr, 0);
        } else if (key == "--rounds") {
            o.rounds = static_cast<uint32_t>(std::strtoul(value, nullptr, 0));
        } else if (key == "--child") {
            o.child = value;
        }
    }
    if (!haveSeed) {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        o.seed = (static_cast<uint64_t>(t.QuadPart) ^ GetCurrentProcessId()) % 1000000007ull;
    }
    return o;
}

std::string DllPath()
{
    const char* bin = std::getenv("TARNWICK_BIN");
    std::string path;
    if (bin != nullptr) {
        path = std::string("Z:") + bin + "\\Tarnwick.dll";
        for (char& c : path)
            if (c == '/')
                c = '\\';
    } else {
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        path = self;
        path = path.substr(0, path.find_last_of('\\') + 1) + "Tarnwick.dll";
    }
    char full[MAX_PATH * 2] = {};
    const DWORD cch = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return cch != 0 && cch < sizeof full ? std::string(full, cch) : path;
}

namespace {

template <typename Fn>
Fn Export(HMODULE h, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(h, name)));
}

long long HeapBusyBytes(HANDLE hHeap)
{
    if (!HeapLock(hHeap))
        return -1;
    long long total = 0;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = nullptr;
    while (HeapWalk(hHeap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            total += entry.cbData;
    HeapUnlock(hHeap);
    return total;
}

}  // namespace

bool Dll::Load()
{
    Free();
    h = LoadLibraryA(DllPath().c_str());
    if (h == nullptr)
        return false;
    GetClassObject = Export<GetClassObjectFn>(h, "DllGetClassObject");
    CanUnloadNow = Export<EntryFn>(h, "DllCanUnloadNow");
    Register = Export<EntryFn>(h, "DllRegisterServer");
    Unregister = Export<EntryFn>(h, "DllUnregisterServer");
    return GetClassObject && CanUnloadNow && Register && Unregister;
}

void Dll::Free()
{
    if (h != nullptr)
        FreeLibrary(h);
    h = nullptr;
    GetClassObject = nullptr;
    CanUnloadNow = Register = Unregister = nullptr;
}

IClassFactory* Dll::Factory() const
{
    IClassFactory* p = nullptr;
    if (FAILED(GetClassObject(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&p))))
        return nullptr;
    return p;
}

long long ProcessHeapBytes()
{
    return HeapBusyBytes(GetProcessHeap());
}

long long AllHeapsBytes()
{
    HANDLE rgh[256];
    const DWORD c = GetProcessHeaps(256, rgh);
    if (c == 0 || c > 256)
        return -1;
    long long total = 0;
    for (DWORD i = 0; i < c; ++i) {
        const long long b = HeapBusyBytes(rgh[i]);
        if (b >= 0)
            total += b;
    }
    return total;
}

LONG CountedObject::s_cRefs = 0;

STDMETHODIMP CountedObject::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// The objects are static; only the total count of references matters.
STDMETHODIMP_(ULONG) CountedObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&s_cRefs)); }
STDMETHODIMP_(ULONG) CountedObject::Release() { return static_cast<ULONG>(InterlockedDecrement(&s_cRefs)); }

STDMETHODIMP CountedObject::GetTypeInfoCount(UINT* pc)
{
    if (pc == nullptr)
        return E_POINTER;
    *pc = 0;
    return S_OK;
}

STDMETHODIMP CountedObject::GetTypeInfo(UINT, LCID, ITypeInfo** pp)
{
    if (pp != nullptr)
        *pp = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP CountedObject::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP CountedObject::Invoke(DISPID id, REFIID, LCID, WORD wFlags, DISPPARAMS*, VARIANT* pResult, EXCEPINFO*,
                                   UINT*)
{
    if (id != DISPID_VALUE || !(wFlags & DISPATCH_PROPERTYGET))
        return DISP_E_MEMBERNOTFOUND;
    if (pResult != nullptr) {
        VariantInit(pResult);
        pResult->vt = VT_I4;
        pResult->lVal = 42;
    }
    return S_OK;
}

bool SetHallPath(DWORD type, const void* data, DWORD cb)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "SoftWare\\Vorm\\Game", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExA(hKey, "path", 0, type, static_cast<const BYTE*>(data), cb);
    RegCloseKey(hKey);
    return r == ERROR_SUCCESS;
}

void DeleteHallPath()
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "SoftWare\\Vorm\\Game", 0, KEY_SET_VALUE, &hKey) == ERROR_SUCCESS) {
        RegDeleteValueA(hKey, "path");
        RegCloseKey(hKey);
    }
}

bool SetSiteLock(const std::wstring& site)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Policies\\Tarnwick\\SiteLock", 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    std::wstring value = site;
    value.append(2, L'\0');  // the last line's end and the list's
    const LONG status = RegSetValueExW(key, L"AllowedSites", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                       static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void DeleteSiteLock()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Policies\\Tarnwick");
}

}  // namespace stress
