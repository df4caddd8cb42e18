// The classes the library serves, their class objects and the class factory.
#pragma once

#include <windows.h>
#include <ole2.h>

#include "server/class_entry.h"
#include "server/module.h"

// The process-wide list of served classes.
class CClassList {
public:
    CClassList(ClassEntry* const* ppFirst, ClassEntry* const* ppEnd, HINSTANCE hTypeLibInstance) noexcept;
    ~CClassList();
    CClassList(const CClassList&) = delete;
    CClassList& operator=(const CClassList&) = delete;

    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
    void Shutdown() noexcept;
    void StartStop(bool bStart) noexcept;
    ServedClasses Served() const noexcept { return {m_ppFirst, m_ppEnd, m_hTypeLibInstance}; }

    DWORD m_dwLive;
    HINSTANCE m_hTypeLibInstance;
    ClassEntry* const* m_ppFirst;
    ClassEntry* const* m_ppEnd;
    CCriticalLock m_lockList;
};

// The class object: IClassFactory over an instance creator. While anyone but
// the class list holds it (count 2 or more) it holds one module lock.
class CClassFactory : public IClassFactory {
public:
    CClassFactory() noexcept;
    HRESULT Init() noexcept;  // the code of a lock that fails to initialise
    virtual ~CClassFactory();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL fLock) override;

    LONG m_lRefs;
    CCriticalLock m_lockObject;
    CreateInstanceFunction m_pfnCreateInstance;
    CCriticalLock m_lockCache;
};

HRESULT CreateClassFactory(void* pfnCreateInstance, REFIID riid, void** ppv);

// The process-wide class list.
extern CClassList g_classList;
