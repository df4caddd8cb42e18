// The module object and the library's lifetime: the module instance record,
// the lock count that decides whether the library may be unloaded, the
// callbacks run at unload, and the lock primitive every singleton uses.
#pragma once

#include <windows.h>
#include <unknwn.h>

// A re-entrant platform critical section with an explicit initialisation
// step. The section is zero-filled on construction; Init() makes it usable.
class CCriticalLock {
public:
    CCriticalLock() noexcept;
    CCriticalLock(const CCriticalLock&) = delete;
    CCriticalLock& operator=(const CCriticalLock&) = delete;

    // S_OK, or E_OUTOFMEMORY when the platform ran out of memory, or E_FAIL.
    HRESULT Init() noexcept;
    void Term() noexcept;
    void Enter() noexcept;
    void Leave() noexcept;

private:
    CRITICAL_SECTION m_sec;  // first: tests look at the section itself
    bool m_bInitialised;
};

// Holds a CCriticalLock for a scope: enters on construction and, on
// destruction, leaves only if it still holds the lock, so an exception passing
// through leaves the lock free.
class CCriticalLockHolder {
public:
    explicit CCriticalLockHolder(CCriticalLock& lock) noexcept;
    ~CCriticalLockHolder();
    CCriticalLockHolder(const CCriticalLockHolder&) = delete;
    CCriticalLockHolder& operator=(const CCriticalLockHolder&) = delete;

    void Unlock() noexcept;  // leaves early; the destructor then does nothing

private:
    CCriticalLock& m_lock;
    bool m_bLocked;
};

// Which module the library is: its own load address, not DllMain's argument.
class CModuleInstance {
public:
    CModuleInstance() noexcept;

    HINSTANCE m_hInstance;
};

extern CModuleInstance g_moduleInstance;

// One element of the list of callbacks run when the module shuts down.
struct ShutdownCallback {
    void (*pfn)(void* pArg);
    void* pArg;
    ShutdownCallback* pNext;
};

// {6F1B3C2A-8D47-4E59-9A0B-5C7D3E2F1A84}
extern const IID IID_ITarnwickReplacements;

// The object form of a replacement table, handed to the module object: IUnknown, then these slots.
struct ITarnwickReplacements : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddWide(const wchar_t* pszName, const wchar_t* pszText) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE Add(const char* pszName, const char* pszText) = 0;
};

// The module object: lock count, shutdown callbacks and the module lock.
class CServerModule {
public:
    CServerModule() noexcept;
    virtual ~CServerModule();
    CServerModule(const CServerModule&) = delete;
    CServerModule& operator=(const CServerModule&) = delete;

    // The virtual operations keep this slot order.
    virtual LONG Lock() noexcept;    // the new count
    virtual LONG Unlock() noexcept;  // the new count
    virtual LONG LockCount() noexcept;
    virtual HRESULT AddCommonReplacements(IUnknown* pReplacements);

    // S_OK, or E_OUTOFMEMORY with the list unchanged.
    HRESULT AddShutdownCallback(void (*pfn)(void* pArg), void* pArg) noexcept;
    // Runs the callbacks newest first, with no lock held, and empties the list.
    void RunShutdownCallbacks() noexcept;
    // Runs the callbacks and ends the module lock; a second call does nothing.
    void Shutdown() noexcept;

    DWORD m_dwLive;
    LONG m_lLocks;
    ShutdownCallback* m_pShutdownList;
    CCriticalLock m_lockModule;
};

extern CServerModule* g_pModule;
extern CServerModule g_serverModule;
extern GUID g_libid;
extern bool g_bStartupFailed;

// Set by the class list: starts (true) or stops (false) every class entry.
// The module object calls it, when set, on construction and destruction.
extern void (*g_pfnClassListStartStop)(bool start);

// The logic of the exported DllMain and DllCanUnloadNow, which forward here.
BOOL ModuleDllMain(HINSTANCE hInstance, DWORD reason, void* pReserved);
HRESULT ModuleCanUnloadNow();
