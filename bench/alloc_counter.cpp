#include "bench/alloc_counter.h"

#include <cstring>

namespace alloc_counter {
namespace {

using AllocFn = PVOID(WINAPI*)(HANDLE, ULONG, SIZE_T);

// The allocator's own code, entered past the five bytes we overwrote: a small
// executable stub repeats them (push ebp; mov ebp, esp) and jumps back.
AllocFn g_pfnOriginal = nullptr;
bool g_installed = false;
volatile LONG g_cAllocs = 0;
volatile DWORD g_dwCountingThread = 0;

PVOID WINAPI CountingAlloc(HANDLE hHeap, ULONG dwFlags, SIZE_T cb)
{
    if (g_dwCountingThread != 0 && GetCurrentThreadId() == g_dwCountingThread)
        g_cAllocs = g_cAllocs + 1;
    return g_pfnOriginal(hHeap, dwFlags, cb);
}

}  // namespace

bool Install()
{
    if (g_installed)
        return true;
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    if (hNtdll == nullptr)
        return false;
    auto* pEntry = reinterpret_cast<BYTE*>(GetProcAddress(hNtdll, "RtlAllocateHeap"));
    if (pEntry == nullptr)
        return false;
    // mov edi, edi; push ebp; mov ebp, esp
    static const BYTE kPrologue[5] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC};
    if (std::memcmp(pEntry, kPrologue, sizeof kPrologue) != 0)
        return false;

    auto* pStub = static_cast<BYTE*>(VirtualAlloc(nullptr, 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (pStub == nullptr)
        return false;
    pStub[0] = 0x55;  // push ebp
    pStub[1] = 0x8B;  // mov ebp, esp
    pStub[2] = 0xEC;
    pStub[3] = 0xE9;  // jmp pEntry + 5
    const LONG relBack = static_cast<LONG>(reinterpret_cast<INT_PTR>(pEntry + 5) - reinterpret_cast<INT_PTR>(pStub + 8));
    std::memcpy(pStub + 4, &relBack, 4);
    g_pfnOriginal = reinterpret_cast<AllocFn>(pStub);

    DWORD dwOld = 0;
    if (!VirtualProtect(pEntry, 5, PAGE_EXECUTE_READWRITE, &dwOld))
        return false;
    BYTE jump[5];
    jump[0] = 0xE9;  // jmp CountingAlloc
    const LONG relHook =
        static_cast<LONG>(reinterpret_cast<INT_PTR>(&CountingAlloc) - reinterpret_cast<INT_PTR>(pEntry + 5));
    std::memcpy(jump + 1, &relHook, 4);
    std::memcpy(pEntry, jump, 5);
    VirtualProtect(pEntry, 5, dwOld, &dwOld);
    FlushInstructionCache(GetCurrentProcess(), pEntry, 5);
    g_installed = true;
    return true;
}

bool Installed() { return g_installed; }

void Start()
{
    g_cAllocs = 0;
    g_dwCountingThread = GetCurrentThreadId();
}

LONG Stop()
{
    g_dwCountingThread = 0;
    return g_cAllocs;
}

LONG CountBusyBlocks()
{
    HANDLE rghHeaps[256];
    const DWORD cHeaps = GetProcessHeaps(256, rghHeaps);
    if (cHeaps == 0 || cHeaps > 256)
        return -1;
    LONG cBusy = 0;
    for (DWORD i = 0; i < cHeaps; ++i) {
        if (!HeapLock(rghHeaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (HeapWalk(rghHeaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                ++cBusy;
        }
        HeapUnlock(rghHeaps[i]);
    }
    return cBusy;
}

}  // namespace alloc_counter
