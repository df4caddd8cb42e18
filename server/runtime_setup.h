#pragma once

// When a thread that may have called the library leaves the process: gives
// back its exception record. Nothing is done when a thread starts: a thread's
// record is built at its first call into the library.
void ReleaseRuntimeForThread() noexcept;

// When the library is unloaded while the process goes on: gives back every
// thread's exception record and their TLS index, and the emergency pool's
// memory (some 72 KB), which the runtime never frees by itself, so a host
// that loads and unloads the library often does not grow each time.
void ReleaseRuntimeOnUnload() noexcept;
