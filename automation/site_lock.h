// The site lock: a policy with which an administrator lets only the pages of
// listed sites use the object. Without the policy's key nothing of it exists:
// an object holds a null policy and answers as it always has. With the key,
// the object learns the page that made it from the site its host gives it
// (IObjectWithSite::SetSite) and refuses the calls that reach the hall or read
// the machine unless that page is allowed, or unless it has no page and the
// policy lets page-less hosts use it.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "platform/owners.h"

// The policy's key, under HKEY_LOCAL_MACHINE and, where the machine has none,
// under HKEY_CURRENT_USER. Values: AllowedSites (REG_MULTI_SZ, one
// scheme://host or scheme://host:port a line) and AllowWithoutPage (REG_DWORD).
extern const wchar_t g_szSiteLockKey[];

// What an object knows of its page.
enum SiteLockVerdict : BYTE {
    kSiteNoPage,   // no site yet, or a site that gives no document
    kSiteAllowed,  // its document's address is an allowed site's
    kSiteDenied,   // for good: an address not allowed, or one that could not be read or parsed
};

// One object's policy and verdict in one block of the process heap. The
// allowed sites follow the header, cbSites bytes, each as: its flags
// (kSiteHttps, kSiteSubdomains), its port (two bytes, low first; the scheme's
// default where the line names none), the host's length and the host in
// lower case.
struct SiteLockPolicy {
    BYTE verdict;
    BYTE allowWithoutPage;  // 1: an object that has no page may be used
    WORD cbSites;
    BYTE sites[1];

    bool Permits() const noexcept
    {
        return verdict == kSiteAllowed || (verdict == kSiteNoPage && allowWithoutPage != 0);
    }
};

constexpr BYTE kSiteHttps = 1;       // https, else http
constexpr BYTE kSiteSubdomains = 2;  // "*.host": the host's proper subdomains, not the host

// A policy whose sites are the lines of pszSites that parse (cch units of
// REG_MULTI_SZ text, terminated or not; null for none), its verdict "no page".
// Fails only for memory.
HRESULT MakeSiteLockPolicy(const wchar_t* pszSites, DWORD cch, bool fAllowWithoutPage,
                           HeapBlock<SiteLockPolicy>* pPolicy) noexcept;

// The policy the registry holds now; null, and no other value read, where
// neither key is there. A key that is there but cannot be read, or whose
// AllowedSites is missing, of another type or longer than 64 KB, allows no
// page. Fails only for memory.
HRESULT ReadSiteLockPolicy(HeapBlock<SiteLockPolicy>* pPolicy) noexcept;

// True when a page at this address may use the object: the platform's parser
// takes it, its scheme is http or https, it has no user information, its host
// is plain ASCII (letters, digits, '-' and '.', no empty label, no trailing
// dot) and one allowed site names its scheme, whole host and port.
bool SiteLockAllowsAddress(const SiteLockPolicy& policy, const wchar_t* pszUrl) noexcept;

// An object's side of the lock: the policy it was made under, and the site
// its host gave it.
class CSiteLock {
public:
    // Reads the policy; the object is made only where this succeeds.
    HRESULT Read() noexcept { return ReadSiteLockPolicy(&m_policy); }
    bool IsOn() const noexcept { return static_cast<bool>(m_policy); }
    // True when the lock is on and the object may not be used.
    bool Refuses() const noexcept
    {
        const SiteLockPolicy* p = m_policy.Get();
        return p != nullptr && !p->Permits();
    }

    // IObjectWithSite. SetSite judges the site's document: E_ACCESSDENIED,
    // holding no site, for a page that is not allowed and for every site after
    // one; a site that gives no document is held and leaves the object
    // without a page. Null lets go of the site and changes no verdict.
    HRESULT SetSite(IUnknown* pSite) noexcept;
    HRESULT GetSite(REFIID riid, void** ppv) noexcept;

private:
    HeapBlock<SiteLockPolicy> m_policy;
    ComRef<IUnknown> m_site;
};
