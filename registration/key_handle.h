// An owning holder of one open registry key, over the platform seam.
#pragma once

#include <windows.h>

class KeyHandle {
public:
    static constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F

    KeyHandle() noexcept = default;
    // A holder of a key it does not own: Release gives it up without closing.
    static KeyHandle Lent(HKEY hKey) noexcept;
    ~KeyHandle();
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    KeyHandle(KeyHandle&& other) noexcept;

    HKEY Get() const noexcept { return m_hKey; }
    bool IsLent() const noexcept { return m_lent; }

    // Forgets the held key without closing it.
    HKEY Release() noexcept;

    // Platform error codes (0 = success) unless stated otherwise.
    LONG Close() noexcept;
    LONG Open(HKEY hParent, const char* pszName, REGSAM access, DWORD options = 0) noexcept;
    HRESULT OpenOrCreate(HKEY hParent, const char* pszName) noexcept;  // HRESULT
    LONG SetMultiString(const char* pszValueName, const char* pszText) noexcept;
    // Deletes the named key and everything below it, leaves first; a registry
    // link inside the tree is deleted as a link, never followed.
    LONG DeleteTree(const char* pszName) noexcept;

private:
    void Take(HKEY hKey) noexcept;

    HKEY m_hKey = nullptr;
    bool m_lent = false;
};
