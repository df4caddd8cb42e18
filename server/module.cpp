#include "server/module.h"


#include "platform/init_order.h"
#include "platform/owners.h"
#include "platform/platform.h"

#include "tarnwick_h.h"

// The library's own load address, provided by the linker.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// ---------------------------------------------------------------------------
// CCriticalLock

CCriticalLock::CCriticalLock() noexcept : m_sec{}, m_bInitialised(false) {}

HRESULT CCriticalLock::Init() noexcept
{
    if (platform::ops().InitializeCriticalSectionAndSpinCount(&m_sec, 0)) {
        m_bInitialised = true;
        return S_OK;
    }
    switch (platform::ops().GetLastError()) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case static_cast<DWORD>(STATUS_NO_MEMORY):
        return E_OUTOFMEMORY;
    default:
        return E_FAIL;
    }
}

// A section whose initialisation failed was never made: nothing to delete.
void CCriticalLock::Term() noexcept
{
    if (m_bInitialised) {
        ::DeleteCriticalSection(&m_sec);
        m_bInitialised = false;
    }
}

void CCriticalLock::Enter() noexcept
{
    ::EnterCriticalSection(&m_sec);
}

void CCriticalLock::Leave() noexcept
{
    ::LeaveCriticalSection(&m_sec);
}

CCriticalLockHolder::CCriticalLockHolder(CCriticalLock& lock) noexcept : m_lock(lock), m_bLocked(false)
{
    m_lock.Enter();
    m_bLocked = true;
}

CCriticalLockHolder::~CCriticalLockHolder()
{
    Unlock();
}

void CCriticalLockHolder::Unlock() noexcept
{
    if (m_bLocked) {
        m_bLocked = false;
        m_lock.Leave();
    }
}

// ---------------------------------------------------------------------------
// Process-wide values. The pointers and the flag are constant-initialised, so
// they hold their values before any of the ordered constructions runs.

CServerModule* g_pModule = nullptr;
// {6F1B3C2A-8D47-4E59-9A0B-5C7D3E2F1A84}
const IID IID_ITarnwickReplacements = {0x6f1b3c2a, 0x8d47, 0x4e59, {0x9a, 0x0b, 0x5c, 0x7d, 0x3e, 0x2f, 0x1a, 0x84}};
GUID g_libid = {};
bool g_bStartupFailed = false;
void (*g_pfnClassListStartStop)(bool start) = nullptr;

CModuleInstance::CModuleInstance() noexcept : m_hInstance(reinterpret_cast<HINSTANCE>(&__ImageBase)) {}

CModuleInstance g_moduleInstance TW_INIT_MODULE_INSTANCE;

// ---------------------------------------------------------------------------
// CServerModule

CServerModule::CServerModule() noexcept : m_dwLive(1), m_lLocks(0), m_pShutdownList(nullptr)
{
    g_pModule = this;
    if (FAILED(m_lockModule.Init()))
        g_bStartupFailed = true;
    g_libid = LIBID_Tarnwick;
    if (g_pfnClassListStartStop)
        g_pfnClassListStartStop(true);
}

CServerModule::~CServerModule()
{
    if (g_pfnClassListStartStop)
        g_pfnClassListStartStop(false);
    Shutdown();
}

LONG CServerModule::Lock() noexcept
{
    return ::InterlockedIncrement(&m_lLocks);
}

LONG CServerModule::Unlock() noexcept
{
    return ::InterlockedDecrement(&m_lLocks);
}

LONG CServerModule::LockCount() noexcept
{
    return m_lLocks;
}

HRESULT CServerModule::AddCommonReplacements(IUnknown* pReplacements)
{
    if (pReplacements == nullptr)
        return E_POINTER;
    ComRef<ITarnwickReplacements> table;
    const HRESULT hr = pReplacements->QueryInterface(IID_ITarnwickReplacements, table.PutVoid());
    if (FAILED(hr))
        return hr;
    // This library keeps no application identifier of its own.
    return table->AddWide(L"APPID", L"");
}

HRESULT CServerModule::AddShutdownCallback(void (*pfn)(void* pArg), void* pArg) noexcept
{
    auto* pItem = static_cast<ShutdownCallback*>(
        platform::ops().HeapAlloc(::GetProcessHeap(), 0, sizeof(ShutdownCallback)));
    if (!pItem)
        return E_OUTOFMEMORY;
    pItem->pfn = pfn;
    pItem->pArg = pArg;

    CCriticalLockHolder hold(m_lockModule);
    pItem->pNext = m_pShutdownList;
    m_pShutdownList = pItem;
    return S_OK;
}

void CServerModule::RunShutdownCallbacks() noexcept
{
    ShutdownCallback* pItem = m_pShutdownList;
    while (pItem) {
        HeapBlock<ShutdownCallback> item(pItem);
        pItem->pfn(pItem->pArg);
        pItem = pItem->pNext;
    }
    m_pShutdownList = nullptr;
}

void CServerModule::Shutdown() noexcept
{
    if (m_dwLive == 0)
        return;
    if (m_pShutdownList)
        RunShutdownCallbacks();
    m_lockModule.Term();
    m_dwLive = 0;
}

CServerModule g_serverModule TW_INIT_SERVER_MODULE;

// ---------------------------------------------------------------------------
// Entry-point logic

BOOL ModuleDllMain(HINSTANCE /*hInstance*/, DWORD reason, void* /*pReserved*/)
{
    if (reason == DLL_PROCESS_ATTACH && g_bStartupFailed)
        return FALSE;
    return TRUE;
}

HRESULT ModuleCanUnloadNow()
{
    return g_pModule->LockCount() == 0 ? S_OK : S_FALSE;
}
