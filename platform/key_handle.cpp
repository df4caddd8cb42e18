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

LONG KeyHandle::Adopt(LONG status, HKEY hKey) noexcept
{
    if (status == ERROR_SUCCESS)
        Take(hKey);
    return status;
}

LONG KeyHandle::Open(HKEY hParent, const char* pszName, REGSAM access, DWORD options) noexcept
{
    HKEY hKey = nullptr;
    const LONG status = ::RegOpenKeyExA(hParent, pszName, options, access, &hKey);
    return Adopt(status, hKey);
}

LONG KeyHandle::Open(HKEY hParent, const wchar_t* pszName, REGSAM access, DWORD options) noexcept
{
    HKEY hKey = nullptr;
    const LONG status = ::RegOpenKeyExW(hParent, pszName, options, access, &hKey);
    return Adopt(status, hKey);
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
    return ::RegQueryValueExW(hKey, L"SymbolicLinkValue", nullptr, &type, nullptr, &cb) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// Every key of the tree is opened as a link when it is one: a link planted
// inside the tree is deleted itself, and its target is never entered.
LONG DeleteSubtree(HKEY hParent, const wchar_t* pszName) noexcept
{
    KeyHandle child;
    LONG status = child.Open(hParent, pszName, KeyHandle::kReadWrite | DELETE, REG_OPTION_OPEN_LINK);
    if (status != ERROR_SUCCESS)
        return status;
    if (IsLink(child.Get()))
        return DeleteOpenedKey(child.Get());  // child closes itself
    // A subkey that was listed and then not found on opening it: gone since,
    // or there and not to be opened. Listed first again, it is the latter,
    // and the tree cannot be deleted.
    wchar_t szNotFound[256] = L"";
    for (;;) {
        wchar_t szSub[256];  // the longest key name the registry allows, and its NUL
        DWORD cch = 256;
        if (::RegEnumKeyExW(child.Get(), 0, szSub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (lstrcmpW(szSub, szNotFound) == 0)
            return ERROR_CANTOPEN;  // child closes itself
        status = DeleteSubtree(child.Get(), szSub);
        if (status == ERROR_FILE_NOT_FOUND) {
            lstrcpyW(szNotFound, szSub);
            continue;
        }
        if (status != ERROR_SUCCESS)
            return status;  // child closes itself
        szNotFound[0] = L'\0';
    }
    child.Close();
    return platform::ops().RegDeleteKeyW(hParent, pszName);
}

}  // namespace

LONG KeyView::DeleteTree(const char* pszName) const noexcept
{
    wchar_t szName[256];
    if (::MultiByteToWideChar(CP_ACP, 0, pszName, -1, szName, 256) == 0)
        return ERROR_INVALID_PARAMETER;
    return DeleteSubtree(m_hKey, szName);
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
