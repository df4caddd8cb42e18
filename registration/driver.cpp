#include "registration/driver.h"

#include <comcat.h>
#include <shlwapi.h>

#include "automation/type_info.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "platform/key_handle.h"
#include "text/code_page.h"
#include "text/errors.h"

namespace {

// "{...}" of a GUID in narrow text, as the registry names keys; false when
// the conversion fails.
bool GuidText(REFGUID guid, char (&szOut)[64])
{
    wchar_t szWide[64];
    return ::StringFromGUID2(guid, szWide, 64) != 0 &&
           WideToNarrow(szOut, szWide, sizeof szOut, GetConversionCodePage()) != nullptr;
}

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

// Deletes hParent's subkey pszName when it has no subkeys left (and, with
// bNoValues, no values either).
void DeleteIfEmpty(HKEY hParent, const char* pszName, bool bNoValues) noexcept
{
    KeyHandle key;
    if (key.Open(hParent, pszName, KEY_READ) != ERROR_SUCCESS)
        return;
    DWORD cSubKeys = 0, cValues = 0;
    const LONG status = ::RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                                           &cValues, nullptr, nullptr, nullptr, nullptr);
    key.Close();
    if (status == ERROR_SUCCESS && cSubKeys == 0 && (!bNoValues || cValues == 0))
        platform::ops().RegDeleteKeyA(hParent, pszName);
}

// Deletes HKEY_CLASSES_ROOT\CLSID\{clsid}\<suffix> when it has no subkeys left.
void DeleteIfNoSubkeys(const char* pszClsid, const char* pszSuffix)
{
    char szKey[128];
    lstrcpyA(szKey, "CLSID\\");
    lstrcatA(szKey, pszClsid);
    lstrcatA(szKey, pszSuffix);
    DeleteIfEmpty(HKEY_CLASSES_ROOT, szKey, false);
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
        char szClsid[64];
        if (GuidText(rclsid, szClsid)) {
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

HRESULT RegisterServerTypeLibrary(HINSTANCE hInstance, bool bForUser)
{
    return WithModuleTypeLibrary(hInstance, [bForUser](ITypeLib* pTypeLib, BSTR bstrPath) {
        OLECHAR szHelpDir[kPathBuffer];
        lstrcpynW(szHelpDir, bstrPath != nullptr ? bstrPath : L"", kPathBuffer);
        // The help folder is the library's folder, separator included.
        OLECHAR* pCut = szHelpDir;
        for (OLECHAR* p = szHelpDir; *p != L'\0'; ++p) {
            if (*p == L'\\' || *p == L'/' || *p == L':')
                pCut = p + 1;
        }
        *pCut = L'\0';
        return bForUser ? platform::ops().RegisterTypeLibForUser(pTypeLib, bstrPath, szHelpDir)
                        : platform::ops().RegisterTypeLib(pTypeLib, bstrPath, szHelpDir);
    });
}

namespace {

// "TypeLib\{libid}\<major>.<minor>\<lcid>", the numbers in hexadecimal as
// the type library registration writes them; false when it does not fit.
bool TypeLibVersionKey(const TLIBATTR& attr, char* pszOut, UINT cchOut)
{
    char szLibId[64];
    if (!GuidText(attr.guid, szLibId))
        return false;
    const int cch = wnsprintfA(pszOut, static_cast<int>(cchOut), "TypeLib\\%s\\%x.%x\\%lx", szLibId,
                               attr.wMajorVerNum, attr.wMinorVerNum, static_cast<unsigned long>(attr.lcid));
    return cch > 0 && static_cast<UINT>(cch) < cchOut - 1;
}

const char* SysKindKey(SYSKIND kind)
{
    switch (kind) {
    case SYS_WIN32: return "win32";
    case SYS_WIN64: return "win64";
    default: return nullptr;
    }
}

// The 32-bit and the 64-bit library share the TypeLib key, each with its own
// path under it. True when kind's path is there.
bool KindRegistered(const char* pszVersionKey, SYSKIND kind)
{
    const char* pszKind = SysKindKey(kind);
    char szKey[256];
    if (pszKind == nullptr || wnsprintfA(szKey, sizeof szKey, "%s\\%s", pszVersionKey, pszKind) <= 0)
        return false;
    KeyHandle key;
    return key.Open(HKEY_CLASSES_ROOT, szKey, KEY_READ) == ERROR_SUCCESS;
}

// Both kinds have their path under the shared key: this kind's removal must
// leave the other's whole. Where only the other kind is registered, this
// kind has nothing to remove, and the platform's removal answers that
// without touching the other kind's path.
bool BothKindsRegistered(const char* pszVersionKey, SYSKIND kind)
{
    if (kind != SYS_WIN32 && kind != SYS_WIN64)
        return false;
    return KindRegistered(pszVersionKey, kind) &&
           KindRegistered(pszVersionKey, kind == SYS_WIN32 ? SYS_WIN64 : SYS_WIN32);
}

// Removes only this kind's share of a type library that the other kind still
// has registered: this kind's path, and the automation interfaces' keys in
// this process's registry view. The platform's removal would also take the
// interfaces' keys of the other view (Wine's does), which the other kind's
// clients still need, and the version key they share stays anyway.
HRESULT RemoveOwnKindOnly(ITypeLib* pTypeLib, const char* pszVersionKey, SYSKIND kind)
{
    char szKey[256];
    if (wnsprintfA(szKey, sizeof szKey, "%s\\%s", pszVersionKey, SysKindKey(kind)) <= 0)
        return E_UNEXPECTED;
    const LONG status = KeyView(HKEY_CLASSES_ROOT).DeleteTree(szKey);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return HResultFromWin32(status);

    const UINT count = pTypeLib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ComRef<ITypeInfo> info;
        if (FAILED(pTypeLib->GetTypeInfo(i, info.Put())))
            continue;
        TYPEATTR* pType = nullptr;
        if (FAILED(info->GetTypeAttr(&pType)))
            continue;
        const bool bAutomation = pType->typekind == TKIND_DISPATCH ||
                                 (pType->typekind == TKIND_INTERFACE && (pType->wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
        char szIid[64];
        const bool bNamed = GuidText(pType->guid, szIid);
        info->ReleaseTypeAttr(pType);
        if (!bAutomation || !bNamed)
            continue;
        lstrcpyA(szKey, "Interface\\");
        lstrcatA(szKey, szIid);
        const LONG removed = KeyView(HKEY_CLASSES_ROOT).DeleteTree(szKey);
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
            return HResultFromWin32(removed);
    }
    return S_OK;
}

}  // namespace

HRESULT UnregisterServerTypeLibrary(HINSTANCE hInstance, bool bForUser)
{
    return WithModuleTypeLibrary(hInstance, [bForUser](ITypeLib* pTypeLib, BSTR) {
        TLIBATTR* pAttr = nullptr;
        HRESULT hr = pTypeLib->GetLibAttr(&pAttr);
        if (FAILED(hr))
            return hr;
        char szVersionKey[160];
        if (TypeLibVersionKey(*pAttr, szVersionKey, sizeof szVersionKey) &&
            BothKindsRegistered(szVersionKey, pAttr->syskind)) {
            hr = RemoveOwnKindOnly(pTypeLib, szVersionKey, pAttr->syskind);
        } else if (bForUser) {
            hr = platform::ops().UnRegisterTypeLibForUser(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum,
                                                          pAttr->lcid, pAttr->syskind);
        } else {
            hr = platform::ops().UnRegisterTypeLib(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum,
                                                   pAttr->lcid, pAttr->syskind);
        }
        pTypeLib->ReleaseTLibAttr(pAttr);
        return hr;
    });
}

namespace {

// The keys under the user's classes that registration makes when they are
// missing (the class key's parent; the type library's and the interface's),
// deleted after a removal if nothing else is in them.
void RemoveEmptyParents(HKEY hUserClasses) noexcept
{
    for (const char* pszName : {"CLSID", "Interface", "TypeLib"})
        DeleteIfEmpty(hUserClasses, pszName, true);
}

}  // namespace

HRESULT UpdateServerForUser(const ServedClasses& classes, bool bRegister)
{
    // The user's classes key exists on every profile; it is made if not.
    KeyHandle userClasses;
    HRESULT hr = userClasses.OpenOrCreate(HKEY_CURRENT_USER, "Software\\Classes");
    if (FAILED(hr))
        return hr;
    // Declared after the key, so the redirection ends before the key closes.
    PredefinedKeyRedirect redirect;
    hr = redirect.Begin(HKEY_CLASSES_ROOT, userClasses.Get());
    if (FAILED(hr))
        return hr;
    if (bRegister) {
        hr = RegisterServerClasses(classes, false);
        if (SUCCEEDED(hr))
            hr = RegisterServerTypeLibrary(classes.hTypeLibInstance, true);
    } else {
        hr = UnregisterServerClasses(classes, false);
        if (SUCCEEDED(hr))
            hr = UnregisterServerTypeLibrary(classes.hTypeLibInstance, true);
        if (SUCCEEDED(hr))
            RemoveEmptyParents(userClasses.Get());
    }
    const LONG restored = redirect.End();
    if (SUCCEEDED(hr) && restored != ERROR_SUCCESS)
        hr = HResultFromWin32(restored);
    return hr;
}
