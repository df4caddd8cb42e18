// One-time set-up of the statically linked C++ runtime (win32 thread model),
// done while memory is there, so that an exception raised later while memory
// is exhausted still reaches its handler, and the runtime's release when the
// library is unloaded.
//
// Each thread's exception record (emulated thread-local storage) is allocated
// on the thread's first exception; a failed allocation there aborts, so it is
// built when the thread starts. The emergency pool for exception objects
// needs nothing: its lock is a semaphore made with the pool while the library
// loads, and taking it allocates nothing.
#pragma once

// At load, on the loading thread: builds the thread's record.
void PrepareRuntimeOnLoad() noexcept;

// When a thread starts: builds its exception record.
void PrepareRuntimeForThread() noexcept;

// When the library is unloaded while the process goes on: gives back the
// emergency pool's memory (some 72 KB), which the runtime never frees by
// itself, so a host that loads and unloads the library often does not grow
// by that much each time.
void ReleaseRuntimeOnUnload() noexcept;
