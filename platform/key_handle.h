// Registry keys over the platform seam: KeyHandle owns one open key and
// closes it; KeyView borrows a key someone else owns and never closes it.
// Operations on an open key (writing a multi-string, deleting a subtree) are
// the view's; an owner lends them through View().
#pragma once

#include <windows.h>

// A borrowed open key (or null). Copyable; the owner must outlive it.
class KeyView {
public:
    constexpr explicit KeyView(HKEY hKey) noexcept : m_hKey(hKey) {}

    HKEY Get() const noexcept { return m_hKey; }

    // Platform error codes (0 = success).
    LONG SetMultiString(const char* pszValueName, const char* pszText) const noexcept;
    // Deletes the named key and everything below it, leaves first; a registry
    // link inside the tree is deleted as a link, never followed.
    LONG DeleteTree(const char* pszName) const noexcept;

private:
    HKEY m_hKey;
};

// The owner of one open registry key: closes it on destruction, on Close, and
// before taking another. Move-only; a moved-from holder holds nothing.
class KeyHandle {
public:
    static constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F

    KeyHandle() noexcept = default;
    ~KeyHandle();
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    KeyHandle(KeyHandle&& other) noexcept;

    HKEY Get() const noexcept { return m_hKey; }
    KeyView View() const noexcept { return KeyView(m_hKey); }

    // Gives up the held key without closing it; the caller owns it now.
    HKEY Release() noexcept;

    // Platform error codes (0 = success) unless stated otherwise. On failure
    // the holder keeps what it held.
    LONG Close() noexcept;
    LONG Open(HKEY hParent, const char* pszName, REGSAM access, DWORD options = 0) noexcept;
    HRESULT OpenOrCreate(HKEY hParent, const char* pszName) noexcept;  // HRESULT

private:
    void Take(HKEY hKey) noexcept;

    HKEY m_hKey = nullptr;
};
