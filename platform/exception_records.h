// Each thread's exception record: the C++ runtime's per-thread state of
// exceptions in flight and caught (the ABI's __cxa_get_globals), kept here
// instead of in the runtime's emulated thread-local storage.
//
// The runtime's own copy takes a TLS index the first time the library is
// used and never gives it back, so a host that loads and unloads the library
// all day runs out of TLS indexes; and it builds a thread's record when the
// thread first needs it, aborting the process when memory is short then. Here
// the TLS index lives as long as the load, a record is built only for a
// thread that calls the library, at its entry, where a shortage of memory is
// answered with E_OUTOFMEMORY, and every record goes with its thread or, at
// the latest, with the unload.
#pragma once

#include <windows.h>

#include <cstdint>

namespace exception_records {

// The TLS index of the records; TLS_OUT_OF_INDEXES until the first one.
// Defined here, so that each caller reads it in place: it is read on the path
// of every call.
inline DWORD g_index = TLS_OUT_OF_INDEXES;

// Where the thread's environment block keeps its first 64 TLS slots.
constexpr std::uintptr_t kTebTlsSlots = sizeof(void*) == 8 ? 0x1480 : 0xE10;

// The fast check, on the path of every call: the calling thread's record is
// in its TLS slot, read directly from its environment block. Only the first
// 64 indexes have their slot there; for any other, and before the first
// index is taken, the answer is false, and PrepareCurrentThread, which the
// caller asks next, finds a record that is there through the platform.
[[gnu::always_inline]] inline bool CurrentThreadReady() noexcept
{
    const DWORD index = g_index;
    if (index >= 64)
        return false;
    void* value;
    const std::uintptr_t offset = kTebTlsSlots + index * sizeof(void*);
#ifdef _WIN64
    __asm__("movq %%gs:(%1), %0" : "=r"(value) : "r"(offset));
#else
    __asm__("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
#endif
    return value != nullptr;
}

// Builds the calling thread's record where it is not there yet; true when it
// is there, false when memory (or a TLS index) is short. Safe to call again.
// Cold: where the index is one of the first 64, the fast check answers every
// call but a thread's first.
[[gnu::cold]] bool PrepareCurrentThread() noexcept;

// When a thread leaves the process: gives back its record.
void ReleaseCurrentThread() noexcept;

// When the library is unloaded while the process goes on: gives back every
// record left and the TLS index.
void ReleaseAll() noexcept;

}  // namespace exception_records
