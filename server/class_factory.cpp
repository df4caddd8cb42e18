#include "server/class_factory.h"

#include <cstring>
#include <new>

#include "platform/owners.h"
#include "platform/platform.h"
#include "text/errors.h"

// ---------------------------------------------------------------------------
// CClassList

CClassList::CClassList(ClassEntry* const* ppFirst, ClassEntry* const* ppEnd, HINSTANCE hTypeLibInstance) noexcept
    : m_dwLive(1), m_hTypeLibInstance(hTypeLibInstance), m_ppFirst(ppFirst), m_ppEnd(ppEnd)
{
    if (FAILED(m_lockList.Init()))
        g_bStartupFailed = true;
}

CClassList::~CClassList()
{
    Shutdown();
}

HRESULT CClassList::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept
{
    if (!m_dwLive)
        return E_UNEXPECTED;
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    ClassEntry* pEntry = nullptr;
    for (ClassEntry* const* pp = m_ppFirst; pp != m_ppEnd; ++pp) {
        if (*pp && (*pp)->pfnCreateClassObject && std::memcmp((*pp)->pClassId, &rclsid, sizeof(CLSID)) == 0) {
            pEntry = *pp;
            break;
        }
    }
    if (!pEntry)
        return CLASS_E_CLASSNOTAVAILABLE;

    // The cached object is published only once it is complete: it is created
    // into a local under the lock and stored with release order; the lock-free
    // look pairs with it through an acquire load.
    HRESULT hr = S_OK;
    IUnknown* pObject = __atomic_load_n(&pEntry->pClassObject, __ATOMIC_ACQUIRE);
    if (!pObject) {
        CCriticalLockHolder hold(m_lockList);
        pObject = __atomic_load_n(&pEntry->pClassObject, __ATOMIC_ACQUIRE);
        if (!pObject) {
            IUnknown* pCreated = nullptr;
            hr = pEntry->pfnCreateClassObject(reinterpret_cast<void*>(pEntry->pfnCreateInstance), IID_IUnknown,
                                              reinterpret_cast<void**>(&pCreated));
            if (pCreated) {
                __atomic_store_n(&pEntry->pClassObject, pCreated, __ATOMIC_RELEASE);
                pObject = pCreated;
            }
        }
    }
    if (pObject)
        hr = pObject->QueryInterface(riid, ppv);
    if (!*ppv && hr == S_OK)
        return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

void CClassList::Shutdown() noexcept
{
    if (!m_dwLive)
        return;
    for (ClassEntry* const* pp = m_ppFirst; pp != m_ppEnd; ++pp) {
        if (!*pp)
            continue;
        ComRef<IUnknown> cached((*pp)->pClassObject);  // the list's own reference goes
        (*pp)->pClassObject = nullptr;
    }
    m_lockList.Term();
    m_dwLive = 0;
}

void CClassList::StartStop(bool bStart) noexcept
{
    for (ClassEntry* const* pp = m_ppFirst; pp != m_ppEnd; ++pp)
        if (*pp && (*pp)->pfnStartStop)
            (*pp)->pfnStartStop(bStart);
}

// ---------------------------------------------------------------------------
// CClassFactory

CClassFactory::CClassFactory() noexcept : m_lRefs(0), m_pfnCreateInstance(nullptr) {}

HRESULT CClassFactory::Init() noexcept
{
    HRESULT hr = m_lockObject.Init();
    if (FAILED(hr))
        return hr;
    hr = m_lockCache.Init();
    if (FAILED(hr))
        m_lockObject.Term();
    return hr;
}

CClassFactory::~CClassFactory()
{
    m_lockCache.Term();
    m_lockObject.Term();
}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef()
{
    CCriticalLockHolder hold(m_lockCache);
    const LONG lRefs = InterlockedIncrement(&m_lRefs);
    if (lRefs == 2)
        g_pModule->Lock();
    return static_cast<ULONG>(lRefs);
}

STDMETHODIMP_(ULONG) CClassFactory::Release()
{
    // The module lock goes back under the same lock as the count, so anyone
    // who looks under it sees the two agree.
    LONG lRefs;
    {
        CCriticalLockHolder hold(m_lockCache);
        lRefs = InterlockedDecrement(&m_lRefs);
        if (lRefs == 1)
            g_pModule->Unlock();
    }
    if (lRefs == 0)
        delete this;
    return static_cast<ULONG>(lRefs);
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return m_pfnCreateInstance(pUnkOuter, riid, ppv);
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock)
        g_pModule->Lock();
    else
        g_pModule->Unlock();
    return S_OK;
}

HRESULT CreateClassFactory(void* pfnCreateInstance, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // A factory that cannot be built, for want of memory or of a lock, reads
    // as out of memory.
    CClassFactory* pFactory = new (std::nothrow) CClassFactory;
    if (!pFactory)
        return E_OUTOFMEMORY;
    if (FAILED(pFactory->Init())) {
        delete pFactory;
        return E_OUTOFMEMORY;
    }
    pFactory->m_pfnCreateInstance = reinterpret_cast<CreateInstanceFunction>(pfnCreateInstance);
    HRESULT hr = pFactory->QueryInterface(riid, ppv);
    if (hr != S_OK)
        delete pFactory;
    return hr;
}
