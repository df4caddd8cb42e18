// Registry keys over the platform seam: KeyHandle owns one open key and
// closes it; KeyView borrows a key someone else owns and never closes it;
// PredefinedKeyRedirect owns this process's redirection of a predefined key.
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
    // link inside the tree is deleted as a link, never followed. The keys below
    // are named by the wide functions, so any name is reached. Absent: the
    // key itself is not there. A key of the tree that is there but cannot be
    // opened fails with ERROR_CANTOPEN, never as absent.
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
    LONG Open(HKEY hParent, const wchar_t* pszName, REGSAM access, DWORD options = 0) noexcept;
    HRESULT OpenOrCreate(HKEY hParent, const char* pszName) noexcept;  // HRESULT

private:
    void Take(HKEY hKey) noexcept;
    // Takes hKey when status is a success; answers status.
    LONG Adopt(LONG status, HKEY hKey) noexcept;

    HKEY m_hKey = nullptr;
};

// The owner of one redirection of a predefined key (HKEY_CLASSES_ROOT, say)
// to an open key, for this whole process: every thread's use of the
// predefined key reaches the target while the owner holds the redirection,
// and the platform's own mapping is back once it is destroyed or Ended. The
// target key must stay open while the redirection is held. Not copyable or
// movable: it is held for a scope.
class PredefinedKeyRedirect {
public:
    PredefinedKeyRedirect() noexcept = default;
    ~PredefinedKeyRedirect();
    PredefinedKeyRedirect(const PredefinedKeyRedirect&) = delete;
    PredefinedKeyRedirect& operator=(const PredefinedKeyRedirect&) = delete;

    // HRESULT of the platform's answer; on failure nothing is redirected. A
    // holder that already redirects a key gives it back first.
    HRESULT Begin(HKEY hPredefined, HKEY hTarget) noexcept;
    // Puts the platform's mapping back (0 = success, or nothing was held).
    LONG End() noexcept;
    bool Active() const noexcept { return m_hPredefined != nullptr; }

private:
    HKEY m_hPredefined = nullptr;
};
