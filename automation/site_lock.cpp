#include "automation/site_lock.h"

#include <cstddef>

#include <mshtml.h>
#include <servprov.h>
#include <shlwapi.h>
#include <urlmon.h>

#include "platform/key_handle.h"
#include "platform/platform.h"
#include "text/ascii.h"

const wchar_t g_szSiteLockKey[] = L"SOFTWARE\\Policies\\Tarnwick\\SiteLock";

namespace {

// The platform's SID_SContainerDispatch (docobj.h), here because the
// toolchain's uuid library defines it in one block with a hundred others.
constexpr GUID kSidContainerDispatch = {0xb722be00, 0x4e68, 0x101b, {0xa2, 0xbc, 0x00, 0xaa, 0x00, 0x40, 0x47, 0x70}};

constexpr DWORD kMaxSiteListBytes = 65536;
constexpr DWORD kMaxHostLength = 253;

// ASCII letters, digits, '-' and '.', 1 to 253 units, in labels that are
// none of them empty (so no leading, trailing or doubled dot).
bool IsPlainHost(const wchar_t* pszHost, DWORD cch) noexcept
{
    if (cch == 0 || cch > kMaxHostLength)
        return false;
    wchar_t prev = L'.';
    for (DWORD i = 0; i < cch; ++i) {
        const wchar_t c = AsciiLower(pszHost[i]);
        if (c == L'.') {
            if (prev == L'.')
                return false;
        } else if (!((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-')) {
            return false;
        }
        prev = c;
    }
    return prev != L'.';
}

// Moves p past pszPrefix (lower case) where [p, pEnd) starts with it in either case.
bool SkipPrefix(const wchar_t*& p, const wchar_t* pEnd, const wchar_t* pszPrefix) noexcept
{
    const wchar_t* const pAfter = SkipAsciiWordNoCase(p, pszPrefix, pEnd);
    if (pAfter == nullptr)
        return false;
    p = pAfter;
    return true;
}

// One AllowedSites line [p, pEnd), scheme://[*.]host[:port], written in the
// policy's form at pOut unless that is null. The bytes it takes; 0 for a line
// that does not parse.
DWORD ParseSite(const wchar_t* p, const wchar_t* pEnd, BYTE* pOut) noexcept
{
    BYTE flags = 0;
    if (SkipPrefix(p, pEnd, L"https://"))
        flags = kSiteHttps;
    else if (!SkipPrefix(p, pEnd, L"http://"))
        return 0;
    if (pEnd - p >= 2 && p[0] == L'*' && p[1] == L'.') {
        flags |= kSiteSubdomains;
        p += 2;
    }
    const wchar_t* pHost = p;
    while (p != pEnd && *p != L':')
        ++p;
    const DWORD cchHost = static_cast<DWORD>(p - pHost);
    if (!IsPlainHost(pHost, cchHost))
        return 0;
    DWORD port = (flags & kSiteHttps) ? 443 : 80;
    if (p != pEnd) {
        ++p;  // the colon
        if (p == pEnd || pEnd - p > 5)
            return 0;
        port = 0;
        for (; p != pEnd; ++p) {
            if (*p < L'0' || *p > L'9')
                return 0;
            port = port * 10 + (*p - L'0');
        }
        if (port == 0 || port > 65535)
            return 0;
    }
    if (pOut != nullptr) {
        pOut[0] = flags;
        pOut[1] = static_cast<BYTE>(port);
        pOut[2] = static_cast<BYTE>(port >> 8);
        pOut[3] = static_cast<BYTE>(cchHost);
        for (DWORD i = 0; i < cchHost; ++i)
            pOut[4 + i] = static_cast<BYTE>(AsciiLower(pHost[i]));
    }
    return 4 + cchHost;
}

// Every line of the text that parses, in the policy's form at pOut unless
// that is null; the bytes they take.
DWORD ParseSites(const wchar_t* pszSites, DWORD cch, BYTE* pOut) noexcept
{
    DWORD cb = 0;
    const wchar_t* const pEnd = pszSites + cch;
    for (const wchar_t* pLine = pszSites; pLine < pEnd;) {
        const wchar_t* pLineEnd = pLine;
        while (pLineEnd != pEnd && *pLineEnd != L'\0')
            ++pLineEnd;
        cb += ParseSite(pLine, pLineEnd, pOut != nullptr ? pOut + cb : nullptr);
        if (pLineEnd == pEnd)
            break;
        pLine = pLineEnd + 1;
    }
    return cb;
}

// The host of a page address against one allowed site.
bool MatchesSite(const BYTE* pSite, bool fHttps, const wchar_t* pszHost, DWORD cchHost, DWORD port) noexcept
{
    if (((pSite[0] & kSiteHttps) != 0) != fHttps || static_cast<DWORD>(pSite[1] | (pSite[2] << 8)) != port)
        return false;
    const DWORD cch = pSite[3];
    const wchar_t* pTail = pszHost;
    if (pSite[0] & kSiteSubdomains) {
        // A label of its own and a dot in front of the site's host.
        if (cchHost < cch + 2)
            return false;
        pTail = pszHost + (cchHost - cch);
        if (pTail[-1] != L'.')
            return false;
    } else if (cchHost != cch) {
        return false;
    }
    for (DWORD i = 0; i < cch; ++i) {
        if (AsciiLower(pTail[i]) != pSite[4 + i])
            return false;
    }
    return true;
}

// One value of the policy's key; where pData is null, only its type and size.
LONG QueryPolicyValue(HKEY hKey, const wchar_t* pszName, DWORD* pType, void* pData, DWORD* pcb) noexcept
{
    return ::RegQueryValueExW(hKey, pszName, nullptr, pType, static_cast<BYTE*>(pData), pcb);
}

// AllowedSites as text in *pText: left empty where the value is missing, of
// another type, longer than kMaxSiteListBytes or cannot be read.
HRESULT ReadSiteList(HKEY hKey, HeapBlock<wchar_t>* pText, DWORD* pcch) noexcept
{
    constexpr wchar_t kName[] = L"AllowedSites";
    DWORD type = 0;
    DWORD cb = 0;
    if (QueryPolicyValue(hKey, kName, &type, nullptr, &cb) != ERROR_SUCCESS || type != REG_MULTI_SZ ||
        cb > kMaxSiteListBytes)
        return S_OK;
    pText->Reset(static_cast<wchar_t*>(platform::ops().HeapAlloc(::GetProcessHeap(), 0, cb + sizeof(wchar_t))));
    if (!*pText)
        return E_OUTOFMEMORY;
    if (QueryPolicyValue(hKey, kName, &type, pText->Get(), &cb) != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        pText->Reset();
        return S_OK;
    }
    *pcch = cb / sizeof(wchar_t);
    return S_OK;
}

bool ReadAllowWithoutPage(HKEY hKey) noexcept
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD cb = sizeof value;
    return QueryPolicyValue(hKey, L"AllowWithoutPage", &type, &value, &cb) == ERROR_SUCCESS && type == REG_DWORD &&
           cb == sizeof value && value == 1;
}

// The document's address: IHTMLDocument2::get_URL where the document answers
// that interface, else its dispatch property "URL". Left null where it
// cannot be read.
void ReadDocumentUrl(IDispatch* pDocument, BstrOwner* pUrl) noexcept
{
    ComRef<IHTMLDocument2> html;
    if (SUCCEEDED(pDocument->QueryInterface(IID_IHTMLDocument2, html.PutVoid())) && html) {
        if (FAILED(html->get_URL(pUrl->Put())))
            pUrl->Reset();
        return;
    }
    LPOLESTR pszName = const_cast<LPOLESTR>(L"URL");
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(pDocument->GetIDsOfNames(IID_NULL, &pszName, 1, LOCALE_USER_DEFAULT, &id)))
        return;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    value.vt = VT_EMPTY;
    const HRESULT hr =
        pDocument->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    if (SUCCEEDED(hr) && value.vt == VT_BSTR)
        pUrl->Reset(value.bstrVal);  // the text is the owner's from here
    else
        ::VariantClear(&value);
}

// The verdict on a site: no page where it offers no services or no document;
// else its document's address judged.
SiteLockVerdict JudgeSite(const SiteLockPolicy& policy, IUnknown* pSite) noexcept
{
    ComRef<IServiceProvider> services;
    if (FAILED(pSite->QueryInterface(IID_IServiceProvider, services.PutVoid())) || !services)
        return kSiteNoPage;
    ComRef<IDispatch> document;
    if (FAILED(services->QueryService(kSidContainerDispatch, IID_IDispatch, document.PutVoid())))
        return kSiteNoPage;
    if (!document)
        return kSiteDenied;
    BstrOwner url;
    ReadDocumentUrl(document.Get(), &url);
    return SiteLockAllowsAddress(policy, url.Get()) ? kSiteAllowed : kSiteDenied;
}

}  // namespace

HRESULT MakeSiteLockPolicy(const wchar_t* pszSites, DWORD cch, bool fAllowWithoutPage,
                           HeapBlock<SiteLockPolicy>* pPolicy) noexcept
{
    if (pszSites == nullptr)
        cch = 0;
    const DWORD cbSites = ParseSites(pszSites, cch, nullptr);
    pPolicy->Reset(static_cast<SiteLockPolicy*>(
        platform::ops().HeapAlloc(::GetProcessHeap(), 0, offsetof(SiteLockPolicy, sites) + cbSites)));
    SiteLockPolicy* p = pPolicy->Get();
    if (p == nullptr)
        return E_OUTOFMEMORY;
    p->verdict = kSiteNoPage;
    p->allowWithoutPage = fAllowWithoutPage ? 1 : 0;
    p->cbSites = static_cast<WORD>(cbSites);
    ParseSites(pszSites, cch, p->sites);
    return S_OK;
}

HRESULT ReadSiteLockPolicy(HeapBlock<SiteLockPolicy>* pPolicy) noexcept
{
    pPolicy->Reset();
    KeyHandle key;
    LONG status = key.Open(HKEY_LOCAL_MACHINE, g_szSiteLockKey, KEY_READ);
    if (status == ERROR_FILE_NOT_FOUND)
        status = key.Open(HKEY_CURRENT_USER, g_szSiteLockKey, KEY_READ);
    if (status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    HeapBlock<wchar_t> text;
    DWORD cch = 0;
    bool fAllowWithoutPage = false;
    if (status == ERROR_SUCCESS) {
        const HRESULT hr = ReadSiteList(key.Get(), &text, &cch);
        if (FAILED(hr))
            return hr;
        fAllowWithoutPage = ReadAllowWithoutPage(key.Get());
    }
    return MakeSiteLockPolicy(text.Get(), cch, fAllowWithoutPage, pPolicy);
}

namespace {

// The platform's URL parser is in urlmon, which the library loads from the
// system folder only while a lock judges a page: where no lock is on, the
// host's process gets no module it did not have. Holds the module as long
// as it lives; declare it before anything the parser hands out.
class UrlParser {
public:
    UrlParser() noexcept
    {
        wchar_t szPath[MAX_PATH];
        const UINT cch = ::GetSystemDirectoryW(szPath, MAX_PATH - 12);
        if (cch == 0 || cch >= MAX_PATH - 12)
            return;
        lstrcpyW(szPath + cch, L"\\urlmon.dll");
        m_hModule = ::LoadLibraryW(szPath);
        if (m_hModule != nullptr)
            m_pfnCreateUri = reinterpret_cast<decltype(&::CreateUri)>(
                reinterpret_cast<void*>(::GetProcAddress(m_hModule, "CreateUri")));
    }
    ~UrlParser()
    {
        if (m_hModule != nullptr)
            ::FreeLibrary(m_hModule);
    }
    UrlParser(const UrlParser&) = delete;
    UrlParser& operator=(const UrlParser&) = delete;

    HRESULT Parse(const wchar_t* pszUrl, IUri** ppUri) const noexcept
    {
        return m_pfnCreateUri != nullptr ? m_pfnCreateUri(pszUrl, 0, 0, ppUri) : E_NOTIMPL;
    }

private:
    HMODULE m_hModule = nullptr;
    decltype(&::CreateUri) m_pfnCreateUri = nullptr;
};

}  // namespace

bool SiteLockAllowsAddress(const SiteLockPolicy& policy, const wchar_t* pszUrl) noexcept
{
    if (pszUrl == nullptr)
        return false;
    const UrlParser parser;
    ComRef<IUri> uri;
    if (FAILED(parser.Parse(pszUrl, uri.Put())) || !uri)
        return false;
    DWORD scheme = URL_SCHEME_INVALID;
    if (FAILED(uri->GetScheme(&scheme)) || (scheme != URL_SCHEME_HTTP && scheme != URL_SCHEME_HTTPS))
        return false;
    // No user information at all, not even an empty one ("https://@host/").
    for (Uri_PROPERTY part : {Uri_PROPERTY_USER_INFO, Uri_PROPERTY_USER_NAME, Uri_PROPERTY_PASSWORD}) {
        BstrOwner text;
        if (uri->GetPropertyBSTR(part, text.Put(), 0) != S_FALSE)
            return false;
    }
    BstrOwner host;
    DWORD port = 0;
    if (uri->GetPropertyBSTR(Uri_PROPERTY_HOST, host.Put(), 0) != S_OK || uri->GetPort(&port) != S_OK)
        return false;
    const DWORD cchHost = ::SysStringLen(host.Get());
    if (!IsPlainHost(host.Get(), cchHost))
        return false;
    const bool fHttps = scheme == URL_SCHEME_HTTPS;
    for (const BYTE* pSite = policy.sites; pSite < policy.sites + policy.cbSites; pSite += 4 + pSite[3]) {
        if (MatchesSite(pSite, fHttps, host.Get(), cchHost, port))
            return true;
    }
    return false;
}

HRESULT CSiteLock::SetSite(IUnknown* pSite) noexcept
{
    SiteLockPolicy* p = m_policy.Get();
    if (p == nullptr)
        return E_UNEXPECTED;  // the interface is offered only while the lock is on
    if (pSite == nullptr) {
        m_site.Reset();
        return S_OK;
    }
    if (p->verdict != kSiteDenied)
        p->verdict = JudgeSite(*p, pSite);
    if (p->verdict == kSiteDenied) {
        m_site.Reset();
        return E_ACCESSDENIED;
    }
    pSite->AddRef();
    m_site.Reset(pSite);
    return S_OK;
}

HRESULT CSiteLock::GetSite(REFIID riid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!m_site)
        return E_FAIL;
    return m_site->QueryInterface(riid, ppv);
}
