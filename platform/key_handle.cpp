#include "platform/key_handle.h"

#include "platform/platform.h"

KeyHandle::KeyHandle(KeyHandle&& other) noexcept : m_hKey(other.m_hKey)
{
    other.m_hKey = nullptr;
}

KeyHandle::~KeyHandle()
{
    Close();
}

HKEY KeyHandle::Release() noexcept
{
    HKEY hKey = m_hKey;
    m_hKey = nullptr;
    return hKey;
}

LONG KeyHandle::Close() noexcept
{
    LONG status = ERROR_SUCCESS;
    if (m_hKey != nullptr) {
        status = platform::ops().RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    return status;
}

void KeyHandle::Take(HKEY hKey) noexcept
{
    Close();
    m_hKey = hKey;
}

LONG KeyHandle::Open(HKEY hParent, const char* pszName, REGSAM access, DWORD options) noexcept
{
    HKEY hKey = nullptr;
    LONG status = ::RegOpenKeyExA(hParent, pszName, options, access, &hKey);
    if (status == ERROR_SUCCESS)
        Take(hKey);
    return status;
}

HRESULT KeyHandle::OpenOrCreate(HKEY hParent, const char* pszName) noexcept
{
    HKEY hKey = nullptr;
    LONG status = ::RegOpenKeyExA(hParent, pszName, 0, kReadWrite, &hKey);
    if (status != ERROR_SUCCESS) {
        DWORD disposition = 0;
        hKey = nullptr;
        status = platform::ops().RegCreateKeyExA(hParent, pszName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                 kReadWrite, nullptr, &hKey, &disposition);
        if (status != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(status);
    }
    Take(hKey);
    return S_OK;
}

LONG KeyView::SetMultiString(const char* pszValueName, const char* pszText) const noexcept
{
    DWORD cb = 0;
    const char* p = pszText;
    for (;;) {
        DWORD len = static_cast<DWORD>(lstrlenA(p));
        cb += len + 1;
        if (len == 0)
            break;
        p += len + 1;
    }
    return ::RegSetValueExA(m_hKey, pszValueName, 0, REG_MULTI_SZ,
                                          reinterpret_cast<const BYTE*>(pszText), cb);
}

namespace {

// The registry's own delete-by-handle, which RegDeleteKey lacks: it removes a
// link key itself instead of following it.
LONG WINAPI DeleteOpenedKey(HKEY hKey)
{
    using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
    using StatusToErrorFn = ULONG(NTAPI*)(LONG);
    const HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    const auto pfnDelete = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hNtdll, "NtDeleteKey")));
    const auto pfnToError = reinterpret_cast<StatusToErrorFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(hNtdll, "RtlNtStatusToDosError")));
    if (pfnDelete == nullptr || pfnToError == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    const LONG status = pfnDelete(hKey);
    return status == 0 ? ERROR_SUCCESS : static_cast<LONG>(pfnToError(status));
}

bool IsLink(HKEY hKey) noexcept
{
    DWORD type = 0;
    DWORD cb = 0;
    return ::RegQueryValueExA(hKey, "SymbolicLinkValue", nullptr, &type, nullptr, &cb) ==
               ERROR_SUCCESS &&
           type == REG_LINK;
}

}  // namespace

LONG KeyView::DeleteTree(const char* pszName) const noexcept
{
    // Every key of the tree is opened as a link when it is one: a link planted
    // inside the tree is deleted itself, and its target is never entered.
    KeyHandle child;
    LONG status = child.Open(m_hKey, pszName, KeyHandle::kReadWrite | DELETE, REG_OPTION_OPEN_LINK);
    if (status != ERROR_SUCCESS)
        return status;
    if (IsLink(child.Get()))
        return DeleteOpenedKey(child.Get());  // child closes itself
    for (;;) {
        char szSub[256];
        DWORD cch = 256;
        FILETIME ft;
        if (::RegEnumKeyExA(child.Get(), 0, szSub, &cch, nullptr, nullptr, nullptr, &ft) !=
            ERROR_SUCCESS)
            break;
        status = child.View().DeleteTree(szSub);
        if (status != ERROR_SUCCESS)
            return status;  // child closes itself
    }
    child.Close();
    return platform::ops().RegDeleteKeyA(m_hKey, pszName);
}

PredefinedKeyRedirect::~PredefinedKeyRedirect()
{
    End();
}

HRESULT PredefinedKeyRedirect::Begin(HKEY hPredefined, HKEY hTarget) noexcept
{
    End();
    const LONG status = platform::ops().RegOverridePredefKey(hPredefined, hTarget);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);
    m_hPredefined = hPredefined;
    return S_OK;
}

LONG PredefinedKeyRedirect::End() noexcept
{
    if (m_hPredefined == nullptr)
        return ERROR_SUCCESS;
    const HKEY hPredefined = m_hPredefined;
    m_hPredefined = nullptr;
    return platform::ops().RegOverridePredefKey(hPredefined, nullptr);
}
