// One-time set-up of the statically linked C++ runtime, done while memory is
// there, so that an exception raised later while memory is exhausted still
// reaches its handler.
//
// The runtime builds two things lazily that such an exception needs:
//  - the lock of its emergency pool for exception objects, built on its first
//    use with calloc; the pool is used only when malloc fails, so left alone
//    that first use falls exactly when memory is gone: the lock fails, the
//    runtime raises again, and the recursion overflows the stack;
//  - each thread's exception record (emulated thread-local storage), allocated
//    on the thread's first exception; a failed allocation there aborts.
#pragma once

// At load, on the loading thread: builds the pool's lock by throwing one
// exception with the runtime's malloc failing once, and the thread's record.
void PrepareRuntimeOnLoad() noexcept;

// When a thread starts: builds its exception record.
void PrepareRuntimeForThread() noexcept;

// When the library is unloaded while the process goes on: gives back the
// emergency pool's memory (some 72 KB), which the runtime never frees by
// itself, so a host that loads and unloads the library often does not grow
// by that much each time.
void ReleaseRuntimeOnUnload() noexcept;
