#include "automation/type_info.h"

#include <shlwapi.h>

#include "platform/owners.h"
#include "platform/platform.h"
#include "server/module.h"
#include "tarnwick_h.h"
#include "text/code_page.h"
#include "text/errors.h"

CClassTypeInfoHolder g_classTypeInfo = {&CLSID_CInvokerK318, &g_libid, 1, 0, nullptr};

namespace {

// A path of at most 270 narrow characters always fits in 1024 bytes of wide
// text, so the wide copy lives on the stack.
constexpr int kWidePathChars = 512;

bool WidenPath(wchar_t* pszWide, const char* pszPath)
{
    return NarrowToWide(pszWide, pszPath, kWidePathChars, GetConversionCodePage()) != nullptr;
}

}  // namespace

HRESULT LoadInterfaceTypeInfo(LCID, ITypeInfo** ppTInfo) noexcept
{
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    char szPath[MAX_PATH];
    DWORD cch = platform::ops().GetModuleFileNameA(g_moduleInstance.m_hInstance, szPath, MAX_PATH);
    if (cch == 0 || cch == MAX_PATH)
        return E_FAIL;
    wchar_t szWide[kWidePathChars];
    if (!WidenPath(szWide, szPath))
        return E_OUTOFMEMORY;
    ComRef<ITypeLib> lib;
    HRESULT hr = platform::ops().LoadTypeLib(szWide, lib.Put());
    if (FAILED(hr))
        return hr;
    hr = lib->GetTypeInfoOfGuid(IID_IInvokerK318, ppTInfo);
    if (FAILED(hr))
        *ppTInfo = nullptr;
    return hr;
}

HRESULT GetTypeInfoCountImpl(UINT* pctinfo) noexcept
{
    if (!pctinfo)
        return E_POINTER;
    ComRef<ITypeInfo> info;
    const HRESULT hr = LoadInterfaceTypeInfo(0, info.Put());
    *pctinfo = SUCCEEDED(hr) ? 1 : 0;
    return S_OK;
}

HRESULT GetTypeInfoImpl(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept
{
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return LoadInterfaceTypeInfo(lcid, ppTInfo);
}

HRESULT GetClassTypeInfo(LCID lcid, ITypeInfo** ppTInfo) noexcept
{
    if (!ppTInfo)
        return E_POINTER;
    // The cached description is published complete, with release order;
    // the lock-free look reads it with acquire.
    HRESULT hr = S_OK;
    if (!__atomic_load_n(&g_classTypeInfo.pInfo, __ATOMIC_ACQUIRE)) {
        CCriticalLockHolder lock(g_pModule->m_lockModule);
        if (!g_classTypeInfo.pInfo) {
            ComRef<ITypeLib> lib;
            hr = ::LoadRegTypeLib(*g_classTypeInfo.plibid, g_classTypeInfo.wMajor,
                                                g_classTypeInfo.wMinor, lcid, lib.Put());
            if (SUCCEEDED(hr)) {
                ITypeInfo* pInfo = nullptr;
                hr = lib->GetTypeInfoOfGuid(*g_classTypeInfo.pguid, &pInfo);
                if (SUCCEEDED(hr) && pInfo) {
                    __atomic_store_n(&g_classTypeInfo.pInfo, pInfo, __ATOMIC_RELEASE);
                    (void)g_pModule->AddShutdownCallback(ReleaseClassTypeInfo, &g_classTypeInfo);
                }
            }
        }
    }
    *ppTInfo = __atomic_load_n(&g_classTypeInfo.pInfo, __ATOMIC_ACQUIRE);
    if (*ppTInfo) {
        (*ppTInfo)->AddRef();
        return S_OK;
    }
    return FAILED(hr) ? hr : E_FAIL;
}

void ReleaseClassTypeInfo(void* pHolder) noexcept
{
    auto* holder = static_cast<CClassTypeInfoHolder*>(pHolder);
    if (holder) {
        ComRef<ITypeInfo> cached(holder->pInfo);
        holder->pInfo = nullptr;
    }
}

HRESULT LoadModuleTypeLibrary(HINSTANCE hInstance, BSTR* pbstrPath, ITypeLib** ppTypeLib) noexcept
{
    if (!pbstrPath || !ppTypeLib)
        return E_POINTER;
    *pbstrPath = nullptr;
    *ppTypeLib = nullptr;
    char szPath[MAX_PATH + 10];
    DWORD cch = platform::ops().GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    if (cch == 0)
        return FailureFromLastError();
    if (cch == MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    szPath[cch] = '\0';
    size_t extPos = static_cast<size_t>(::PathFindExtensionA(szPath) - szPath);
    wchar_t szWide[kWidePathChars];
    if (!WidenPath(szWide, szPath))
        return E_OUTOFMEMORY;
    HRESULT hr = platform::ops().LoadTypeLib(szWide, ppTypeLib);
    if (FAILED(hr)) {
        *ppTypeLib = nullptr;
        if (extPos + 5 > MAX_PATH)
            return E_FAIL;
        lstrcpyA(szPath + extPos, ".tlb");
        if (!WidenPath(szWide, szPath))
            return E_OUTOFMEMORY;
        hr = platform::ops().LoadTypeLib(szWide, ppTypeLib);
        if (FAILED(hr)) {
            *ppTypeLib = nullptr;
            return hr;
        }
    }
    *pbstrPath = platform::ops().SysAllocString(szWide);
    if (!*pbstrPath)
        return E_OUTOFMEMORY;
    return hr;
}
