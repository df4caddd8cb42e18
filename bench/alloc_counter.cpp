#include "bench/alloc_counter.h"

#include <cstring>

namespace alloc_counter {
namespace {

using AllocFn = PVOID(WINAPI*)(HANDLE, ULONG, SIZE_T);

// The allocator's own code, entered past the bytes we overwrote (see the
// patching below for each architecture).
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

// Writes a jump at pEntry over `cb` bytes of its prologue.
bool WriteEntry(BYTE* pEntry, const BYTE* pbCode, SIZE_T cb)
{
    DWORD dwOld = 0;
    if (!VirtualProtect(pEntry, cb, PAGE_EXECUTE_READWRITE, &dwOld))
        return false;
    std::memcpy(pEntry, pbCode, cb);
    VirtualProtect(pEntry, cb, dwOld, &dwOld);
    FlushInstructionCache(GetCurrentProcess(), pEntry, cb);
    return true;
}

LONG Rel32(const void* pTarget, const void* pNext)
{
    return static_cast<LONG>(reinterpret_cast<INT_PTR>(pTarget) - reinterpret_cast<INT_PTR>(pNext));
}

#if defined(_WIN64)
// x86_64: the entry starts with an 8-byte no-op (lea rsp, [rsp + 0]) left
// for patching. It becomes a 5-byte relative jump to a relay within 2 GB of
// it; the relay jumps on to CountingAlloc, and the original is entered at
// pEntry + 8, past the no-op.
const BYTE kPrologue[8] = {0x48, 0x8D, 0xA4, 0x24, 0x00, 0x00, 0x00, 0x00};

// An absolute jump: jmp qword [rip + 0], then the target.
void WriteAbsoluteJump(BYTE* p, const void* pTarget)
{
    p[0] = 0xFF;
    p[1] = 0x25;
    std::memset(p + 2, 0, 4);
    const ULONG_PTR target = reinterpret_cast<ULONG_PTR>(pTarget);
    std::memcpy(p + 6, &target, 8);
}

// A page for the relay, tried in 64 KB steps below the entry.
BYTE* AllocateNear(BYTE* pEntry)
{
    const ULONG_PTR kStep = 0x10000;
    ULONG_PTR at = reinterpret_cast<ULONG_PTR>(pEntry) & ~(kStep - 1);
    for (int i = 0; i < 16384 && at > kStep; ++i) {
        at -= kStep;
        void* p = VirtualAlloc(reinterpret_cast<void*>(at), 64, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
        if (p != nullptr)
            return static_cast<BYTE*>(p);
    }
    return nullptr;
}

bool Patch(BYTE* pEntry)
{
    if (std::memcmp(pEntry, kPrologue, sizeof kPrologue) != 0)
        return false;
    BYTE* pStub = AllocateNear(pEntry);
    if (pStub == nullptr)
        return false;
    WriteAbsoluteJump(pStub, reinterpret_cast<void*>(&CountingAlloc));  // relay
    WriteAbsoluteJump(pStub + 16, pEntry + sizeof kPrologue);          // original
    g_pfnOriginal = reinterpret_cast<AllocFn>(pStub + 16);
    BYTE jump[8] = {0xE9, 0, 0, 0, 0, 0x90, 0x90, 0x90};  // jmp relay; nop x3
    const LONG rel = Rel32(pStub, pEntry + 5);
    std::memcpy(jump + 1, &rel, 4);
    return WriteEntry(pEntry, jump, sizeof jump);
}
#else
// x86: mov edi, edi; push ebp; mov ebp, esp. A small executable stub repeats
// the last two (push ebp; mov ebp, esp) and jumps back past the five bytes.
const BYTE kPrologue[5] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC};

bool Patch(BYTE* pEntry)
{
    if (std::memcmp(pEntry, kPrologue, sizeof kPrologue) != 0)
        return false;
    auto* pStub = static_cast<BYTE*>(VirtualAlloc(nullptr, 16, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (pStub == nullptr)
        return false;
    pStub[0] = 0x55;  // push ebp
    pStub[1] = 0x8B;  // mov ebp, esp
    pStub[2] = 0xEC;
    pStub[3] = 0xE9;  // jmp pEntry + 5
    const LONG relBack = Rel32(pEntry + 5, pStub + 8);
    std::memcpy(pStub + 4, &relBack, 4);
    g_pfnOriginal = reinterpret_cast<AllocFn>(pStub);
    BYTE jump[5] = {0xE9};  // jmp CountingAlloc
    const LONG relHook = Rel32(reinterpret_cast<void*>(&CountingAlloc), pEntry + 5);
    std::memcpy(jump + 1, &relHook, 4);
    return WriteEntry(pEntry, jump, sizeof jump);
}
#endif

}  // namespace

bool Install()
{
    if (g_installed)
        return true;
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    if (hNtdll == nullptr)
        return false;
    auto* pEntry = reinterpret_cast<BYTE*>(GetProcAddress(hNtdll, "RtlAllocateHeap"));
    if (pEntry == nullptr || !Patch(pEntry))
        return false;
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
