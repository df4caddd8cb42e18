#include "registration/driver.h"

#include <comcat.h>

#include "automation/type_info.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "platform/key_handle.h"
#include "text/code_page.h"

namespace {

constexpr UINT kPathBuffer = 260;

bool Matches(const ClassEntry* pEntry, const CLSID* pFilter)
{
    return pFilter == nullptr || memcmp(pEntry->pClassId, pFilter, sizeof(CLSID)) == 0;
}

const CategoryEntry* CategoriesOf(const ClassEntry* pEntry)
{
    return pEntry->pfnGetCategories != nullptr ? pEntry->pfnGetCategories() : nullptr;
}

HRESULT UpdateRegistrationOf(const ClassEntry* pEntry, bool bRegister)
{
    return pEntry->pfnUpdateRegistration != nullptr ? pEntry->pfnUpdateRegistration(bRegister) : S_OK;
}

// Deletes HKEY_CLASSES_ROOT\CLSID\{clsid}\<suffix> when it has no subkeys left.
void DeleteIfNoSubkeys(const char* pszClsid, const char* pszSuffix)
{
    char szKey[128];
    lstrcpyA(szKey, "CLSID\\");
    lstrcatA(szKey, pszClsid);
    lstrcatA(szKey, pszSuffix);
    KeyHandle key;
    if (key.Open(HKEY_CLASSES_ROOT, szKey, KEY_READ) != ERROR_SUCCESS)
        return;
    DWORD cSubKeys = 0;
    const LONG status = ::RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr,
                                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    key.Close();
    if (status == ERROR_SUCCESS && cSubKeys == 0)
        platform::ops().RegDeleteKeyA(HKEY_CLASSES_ROOT, szKey);
}

}  // namespace

HRESULT UpdateClassCategories(REFCLSID rclsid, const CategoryEntry* pCategories, bool bRegister)
{
    static const CLSID kNone = {};
    if (pCategories == nullptr || memcmp(&rclsid, &kNone, sizeof(CLSID)) == 0)
        return S_OK;

    ComRef<ICatRegister> manager;
    if (FAILED(platform::ops().CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_ICatRegister, manager.PutVoid())))
        return S_OK;  // no manager, nothing to record categories in
    ICatRegister* pRegister = manager.Get();

    CLSID clsid = rclsid;
    for (const CategoryEntry* p = pCategories; p->lKind != 0; ++p) {
        CATID catid = *p->pCategoryId;
        if (bRegister) {
            const HRESULT hr = p->lKind == 1 ? pRegister->RegisterClassImplCategories(clsid, 1, &catid)
                                             : pRegister->RegisterClassReqCategories(clsid, 1, &catid);
            if (FAILED(hr))
                return hr;
        } else if (p->lKind == 1) {
            pRegister->UnRegisterClassImplCategories(clsid, 1, &catid);
        } else {
            pRegister->UnRegisterClassReqCategories(clsid, 1, &catid);
        }
    }

    if (!bRegister) {
        // The manager leaves the category keys behind once they are empty.
        wchar_t szWide[64];
        char szClsid[64];
        if (::StringFromGUID2(rclsid, szWide, 64) != 0 &&
            WideToNarrow(szClsid, szWide, sizeof szClsid, GetConversionCodePage()) != nullptr) {
            DeleteIfNoSubkeys(szClsid, "\\Required Categories");
            DeleteIfNoSubkeys(szClsid, "\\Implemented Categories");
        }
    }
    return S_OK;
}

namespace {

// Calls step(entry) for each served class (only those with the CLSID, given
// one) in list order, stopping at the first failure. S_OK for no class.
template <class Step>
HRESULT ForEachClass(const ServedClasses& classes, const CLSID* pClassId, Step step)
{
    HRESULT hr = S_OK;
    for (ClassEntry* const* pp = classes.ppFirst; pp != classes.ppEnd; ++pp) {
        const ClassEntry* pEntry = *pp;
        if (pEntry == nullptr || !Matches(pEntry, pClassId))
            continue;
        hr = step(pEntry);
        if (FAILED(hr))
            return hr;
    }
    return hr;
}

}  // namespace

HRESULT RegisterServerClasses(const ServedClasses& classes, bool bTypeLibrary, const CLSID* pClassId)
{
    HRESULT hr = ForEachClass(classes, pClassId, [](const ClassEntry* pEntry) {
        HRESULT hr = UpdateRegistrationOf(pEntry, true);
        if (SUCCEEDED(hr))
            hr = UpdateClassCategories(*pEntry->pClassId, CategoriesOf(pEntry), true);
        return hr;
    });
    if (FAILED(hr) || !bTypeLibrary)
        return hr;
    return RegisterServerTypeLibrary(classes.hTypeLibInstance);
}

HRESULT UnregisterServerClasses(const ServedClasses& classes, bool bTypeLibrary, const CLSID* pClassId)
{
    HRESULT hr = ForEachClass(classes, pClassId, [](const ClassEntry* pEntry) {
        HRESULT hr = UpdateClassCategories(*pEntry->pClassId, CategoriesOf(pEntry), false);
        if (SUCCEEDED(hr))
            hr = UpdateRegistrationOf(pEntry, false);
        return hr;
    });
    if (FAILED(hr) || !bTypeLibrary)
        return hr;
    return UnregisterServerTypeLibrary(classes.hTypeLibInstance);
}

namespace {

// Loads the module's type library, hands it and the path it came from to
// use, and releases both; a failed load is the result. Whatever the load
// handed back is released on every path, also with a failure.
template <class Use>
HRESULT WithModuleTypeLibrary(HINSTANCE hInstance, Use use)
{
    BstrOwner path;
    ComRef<ITypeLib> typeLib;
    HRESULT hr = LoadModuleTypeLibrary(hInstance, path.Put(), typeLib.Put());
    if (SUCCEEDED(hr) && !typeLib)
        hr = E_FAIL;  // a success without a library is no success
    if (SUCCEEDED(hr))
        hr = use(typeLib.Get(), path.Get());
    return hr;
}

}  // namespace

HRESULT RegisterServerTypeLibrary(HINSTANCE hInstance)
{
    return WithModuleTypeLibrary(hInstance, [](ITypeLib* pTypeLib, BSTR bstrPath) {
        OLECHAR szHelpDir[kPathBuffer];
        lstrcpynW(szHelpDir, bstrPath != nullptr ? bstrPath : L"", kPathBuffer);
        // The help folder is the library's folder, separator included.
        OLECHAR* pCut = szHelpDir;
        for (OLECHAR* p = szHelpDir; *p != L'\0'; ++p) {
            if (*p == L'\\' || *p == L'/' || *p == L':')
                pCut = p + 1;
        }
        *pCut = L'\0';
        return platform::ops().RegisterTypeLib(pTypeLib, bstrPath, szHelpDir);
    });
}

HRESULT UnregisterServerTypeLibrary(HINSTANCE hInstance)
{
    return WithModuleTypeLibrary(hInstance, [](ITypeLib* pTypeLib, BSTR) {
        TLIBATTR* pAttr = nullptr;
        HRESULT hr = pTypeLib->GetLibAttr(&pAttr);
        if (FAILED(hr))
            return hr;
        hr = platform::ops().UnRegisterTypeLib(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid,
                                               pAttr->syskind);
        pTypeLib->ReleaseTLibAttr(pAttr);
        return hr;
    });
}
