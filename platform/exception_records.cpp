#include "platform/exception_records.h"

#include <cstddef>
#include <cstdlib>

#include "platform/platform.h"

#include <winternl.h>

// The TEB's TLS slots where CurrentThreadReady reads them.
static_assert(offsetof(TEB, TlsSlots) == exception_records::kTebTlsSlots);

namespace {

// The C++ ABI's per-thread record (__cxa_eh_globals: the caught exceptions
// and the count of uncaught ones), then the links that keep every record
// reachable for the unload.
struct Record {
    void* pCaughtExceptions;
    unsigned int uncaughtExceptions;
    Record* pPrev;
    Record* pNext;
};

Record* g_pFirst = nullptr;
volatile LONG g_lock = 0;

// Guards the list. Taken only for a thread's first call and its end, and
// never while waiting for anything else.
class ListLock {
public:
    ListLock() noexcept
    {
        while (::InterlockedExchange(&g_lock, 1) != 0)
            ::SwitchToThread();
    }
    ~ListLock() { ::InterlockedExchange(&g_lock, 0); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
};

DWORD Index() noexcept
{
    const DWORD index = exception_records::g_index;
    if (index != TLS_OUT_OF_INDEXES)
        return index;
    const DWORD fresh = ::TlsAlloc();
    if (fresh == TLS_OUT_OF_INDEXES)
        return fresh;
    const auto prior = static_cast<DWORD>(::InterlockedCompareExchange(
        reinterpret_cast<volatile LONG*>(&exception_records::g_index), static_cast<LONG>(fresh),
        static_cast<LONG>(TLS_OUT_OF_INDEXES)));
    if (prior == TLS_OUT_OF_INDEXES)
        return fresh;
    ::TlsFree(fresh);  // another thread's index came first
    return prior;
}

void Unlink(Record* pRecord) noexcept
{
    if (pRecord->pPrev)
        pRecord->pPrev->pNext = pRecord->pNext;
    else
        g_pFirst = pRecord->pNext;
    if (pRecord->pNext)
        pRecord->pNext->pPrev = pRecord->pPrev;
}

Record* CurrentRecord() noexcept
{
    if (!exception_records::CurrentThreadReady() && !exception_records::PrepareCurrentThread())
        std::abort();  // as the runtime's own copy does when memory is short
    return static_cast<Record*>(::TlsGetValue(exception_records::g_index));
}

}  // namespace

bool exception_records::PrepareCurrentThread() noexcept
{
    const DWORD index = Index();
    if (index == TLS_OUT_OF_INDEXES)
        return false;
    if (::TlsGetValue(index) != nullptr)
        return true;
    const HANDLE hHeap = ::GetProcessHeap();
    auto* pRecord = static_cast<Record*>(platform::ops().HeapAlloc(hHeap, HEAP_ZERO_MEMORY, sizeof(Record)));
    if (pRecord == nullptr)
        return false;
    if (!::TlsSetValue(index, pRecord)) {
        platform::ops().HeapFree(hHeap, 0, pRecord);
        return false;
    }
    ListLock lock;
    pRecord->pNext = g_pFirst;
    if (g_pFirst)
        g_pFirst->pPrev = pRecord;
    g_pFirst = pRecord;
    return true;
}

void exception_records::ReleaseCurrentThread() noexcept
{
    const DWORD index = g_index;
    if (index == TLS_OUT_OF_INDEXES)
        return;
    auto* pRecord = static_cast<Record*>(::TlsGetValue(index));
    if (pRecord == nullptr)
        return;
    ::TlsSetValue(index, nullptr);
    {
        ListLock lock;
        Unlink(pRecord);
    }
    platform::ops().HeapFree(::GetProcessHeap(), 0, pRecord);
}

void exception_records::ReleaseAll() noexcept
{
    {
        ListLock lock;
        while (Record* pRecord = g_pFirst) {
            Unlink(pRecord);
            platform::ops().HeapFree(::GetProcessHeap(), 0, pRecord);
        }
    }
    if (g_index != TLS_OUT_OF_INDEXES) {
        ::TlsFree(g_index);
        g_index = TLS_OUT_OF_INDEXES;
    }
}

// The runtime's entry points for the record, in place of its own copy.
extern "C" void* __cxa_get_globals() noexcept
{
    return CurrentRecord();
}

extern "C" void* __cxa_get_globals_fast() noexcept
{
    return CurrentRecord();
}
