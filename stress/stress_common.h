// Shared by the robustness programs: the built library loaded as a host loads
// it, a seeded generator, heap figures by walking the heaps, the command line,
// and a small counted object to hand to the library as an argument.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "tarnwick_h.h"

namespace stress {

constexpr GUID kClsid = {0x944F576C, 0x8D13, 0x4177, {0x9B, 0x3F, 0xE8, 0x27, 0xE4, 0xAF, 0xE8, 0xFF}};
constexpr GUID kIidInvoker = {0xE072AFD3, 0xCE13, 0x4A32, {0x9B, 0xB7, 0x44, 0x00, 0xF5, 0x4C, 0x05, 0x28}};
constexpr GUID kLibid = {0x6E328742, 0xAEEA, 0x4D34, {0xA0, 0xA8, 0x9E, 0xA8, 0xB3, 0x22, 0x76, 0x8A}};

// splitmix64: small, fast, and the same sequence on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

private:
    uint64_t m_state;
};

// --seed N --calls M [--rounds R] [--child NAME]; a missing seed is taken from
// the clock and printed so the run can be replayed.
struct Options {
    uint64_t seed = 0;
    uint64_t calls = 0;
    uint32_t rounds = 0;
    std::string child;
};
Options ParseOptions(int argc, char** argv, uint64_t defaultCalls, uint32_t defaultRounds);

// Tarnwick.dll: TARNWICK_BIN (a Unix folder) when set, else beside the program.
std::string DllPath();

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using EntryFn = HRESULT(STDAPICALLTYPE*)();

struct Dll {
    HMODULE h = nullptr;
    GetClassObjectFn GetClassObject = nullptr;
    EntryFn CanUnloadNow = nullptr;
    EntryFn Register = nullptr;
    EntryFn Unregister = nullptr;

    bool Load();
    void Free();
    IClassFactory* Factory() const;  // null on failure
};

// Bytes in busy blocks: of the process heap, and of every heap of the process
// (the C runtime keeps its own). -1 when a heap cannot be walked.
long long ProcessHeapBytes();
long long AllHeapsBytes();

// A live object to pass as VT_DISPATCH / VT_UNKNOWN. Its value (DISPID_VALUE,
// property get) is the number 42. Live() counts references over all of them.
class CountedObject : public IDispatch {
public:
    static LONG Live() { return s_cRefs; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* pc) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override;

private:
    static LONG s_cRefs;
};

// Sets or deletes HKCU\SoftWare\Vorm\Game "path" (raw bytes of a type).
bool SetHallPath(DWORD type, const void* data, DWORD cb);
void DeleteHallPath();
// The current user's site lock allowing one site, and its removal.
bool SetSiteLock(const std::wstring& site);
void DeleteSiteLock();

}  // namespace stress
