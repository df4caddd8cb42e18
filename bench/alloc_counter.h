// Counting heap allocations made by this thread while a stretch of code runs.
// Two views: every call of the system heap allocator (ntdll's
// RtlAllocateHeap, which HeapAlloc, the C runtime and the task allocator all
// reach), caught by redirecting its entry; and the net change in busy blocks
// over every heap of the process, by walking them.
#pragma once

#include <windows.h>

namespace alloc_counter {

// Redirects the allocator entry. False when its first bytes are not the
// expected patchable prologue; counting of individual calls is then absent.
bool Install();
bool Installed();

// Starts and stops counting for the calling thread; Stop returns the number
// of allocator calls since Start.
void Start();
LONG Stop();

// Busy blocks in all heaps of the process, or -1 when they cannot be walked.
LONG CountBusyBlocks();

}  // namespace alloc_counter
