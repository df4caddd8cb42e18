// The site lock: the address matcher, and objects made under each kind of
// policy in the registry of this program's own prefix.
#include <gtest/gtest.h>

#include <mshtml.h>
#include <ocidl.h>
#include <oleauto.h>
#include <servprov.h>

#include <string>

#include "automation/bridge_object.h"
#include "automation/site_lock.h"
#include "bridge/invoker.h"
#include "fake_hall/fake_hall.h"
#include "server/module.h"
#include "tests/automation/fake_html_document.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

// Lines joined by '|', as REG_MULTI_SZ text.
std::wstring Lines(const wchar_t* pszJoined)
{
    std::wstring text(pszJoined);
    for (wchar_t& c : text)
        c = (c == L'|') ? L'\0' : c;
    return text;
}

std::string Narrow(const wchar_t* psz)
{
    std::string s;
    for (; psz != nullptr && *psz != L'\0'; ++psz)
        s += (*psz < 0x80) ? static_cast<char>(*psz) : '?';
    return s;
}

// ---------------------------------------------------------------------------
// The matcher

// Each row: the AllowedSites lines, a page's address and whether it may use
// the object.
TEST(SiteLockMatcher, JudgesEachAddressAgainstTheAllowedSites)
{
    constexpr const wchar_t* kHall = L"https://hall.example.com";
    const struct {
        const wchar_t* sites;
        const wchar_t* url;
        bool allowed;
    } rows[] = {
        // Allowed.
        {kHall, L"https://hall.example.com/", true},
        {kHall, L"https://hall.example.com/lobby/room.html?room=7#top", true},
        {kHall, L"https://HALL.Example.COM/", true},
        {L"HTTPS://Hall.Example.Com", L"https://hall.example.com/", true},
        {kHall, L"https://hall.example.com:443/", true},
        {L"https://hall.example.com:443", L"https://hall.example.com/", true},
        {L"http://hall.example.com", L"http://hall.example.com/", true},
        {L"https://hall.example.com:8443", L"https://hall.example.com:8443/", true},
        {L"https://*.hall.example.com", L"https://games.hall.example.com/", true},
        {L"https://*.hall.example.com", L"https://a.b.HALL.example.com/", true},
        {L"https://xn--bcher-kva.example", L"https://xn--bcher-kva.example/", true},
        {L"http://127.0.0.1", L"http://127.0.0.1/", true},
        {L"https://other.example|https://hall.example.com", L"https://hall.example.com/", true},
        {kHall, L"https://hall.example.com\\@evil.net/", true},  // the backslash starts the path
        // Denied: another host, scheme or port.
        {kHall, L"https://evil.net/", false},
        {kHall, L"http://hall.example.com/", false},
        {L"http://hall.example.com", L"https://hall.example.com/", false},
        {kHall, L"https://hall.example.com:8443/", false},
        {L"https://hall.example.com:8443", L"https://hall.example.com/", false},
        {kHall, L"https://hall.example.com:0/", false},
        {kHall, L"https://hall.example.com:/", false},
        {kHall, L"ftp://hall.example.com/", false},
        {L"https://*.hall.example.com", L"https://hall.example.com/", false},
        {L"", L"https://hall.example.com/", false},
        // Denied: addresses that fooled matchers that look for the text.
        {kHall, L"https://hall.example.com@evil.net/", false},
        {kHall, L"https://@hall.example.com/", false},
        {kHall, L"https://user:pw@hall.example.com/", false},
        {kHall, L"https://:@hall.example.com/", false},
        {kHall, L"https:/\\hall.example.com/", false},
        {kHall, L"https:hall.example.com", false},
        {kHall, L"https:///hall.example.com/", false},
        {kHall, L"https://evil.net/?https://hall.example.com/", false},
        {kHall, L"https://evil.net/hall.example.com", false},
        {kHall, L"https://hall.example.com.evil.net/", false},
        {kHall, L"https://evilhall.example.com/", false},
        {L"https://*.hall.example.com", L"https://evilhall.example.com/", false},
        {L"https://*.hall.example.com", L"https://a..hall.example.com/", false},
        {kHall, L"https://hall.example.co/", false},
        {kHall, L"https://hall.example.com./", false},
        {kHall, L"https://hall.example.com%00.evil.net/", false},
        {L"http://127.0.0.1", L"http://0x7f.1/", false},
        {L"https://xn--bcher-kva.example", L"https://b\u00fccher.example/", false},
        {L"https://hall.example.com|file://hall.example.com", L"file:///C:/hall/index.html", false},
        {kHall, L"file://hall.example.com/index.html", false},
        {kHall, L"about:blank", false},
        {kHall, L"javascript:alert(1)", false},
        {kHall, L"res://hall.example.com/page.htm", false},
        {kHall, L"data:text/html,<p>hall.example.com</p>", false},
        {kHall, L"", false},
        {kHall, nullptr, false},
        // Lines that do not parse are skipped, and widen nothing.
        {L"hall.example.com", L"https://hall.example.com/", false},
        {L"https://hall.example.com/", L"https://hall.example.com/", false},
        {L" https://hall.example.com", L"https://hall.example.com/", false},
        {L"https://hall.example.com ", L"https://hall.example.com/", false},
        {L"https://hall.example.com.", L"https://hall.example.com/", false},
        {L"https://hall..example.com", L"https://hall..example.com/", false},
        {L"https://user@hall.example.com", L"https://user@hall.example.com/", false},
        {L"https://", L"https://hall.example.com/", false},
        {L"https://*", L"https://hall.example.com/", false},
        {L"https://*.", L"https://hall.example.com/", false},
        {L"*.hall.example.com", L"https://a.hall.example.com/", false},
        {L"https://*hall.example.com", L"https://evilhall.example.com/", false},
        {L"https://*.*.example.com", L"https://a.b.example.com/", false},
        {L"https://hall.*.com", L"https://hall.example.com/", false},
        {L"https://hall_x.example.com", L"https://hall_x.example.com/", false},
        {L"https://b\u00fccher.example", L"https://b\u00fccher.example/", false},
        {L"https://hall.example.com:0", L"https://hall.example.com:0/", false},
        {L"https://hall.example.com:65536", L"https://hall.example.com:0/", false},
        {L"https://hall.example.com:123456", L"https://hall.example.com/", false},
        {L"https://hall.example.com:", L"https://hall.example.com/", false},
        {L"https://hall.example.com:-1", L"https://hall.example.com/", false},
        {L"https://hall.example.com:443x", L"https://hall.example.com/", false},
        {L"https://hall.example.com: 443", L"https://hall.example.com/", false},
        {L"ftp://hall.example.com", L"ftp://hall.example.com/", false},
        {L"garbage|https://hall.example.com", L"https://hall.example.com/", true},
        {L"https://hall.example.com:99999|https://other.example", L"https://hall.example.com/", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "sites " << Narrow(row.sites) << ", page " << Narrow(row.url));
        const std::wstring text = Lines(row.sites);  // given without a final terminator
        HeapBlock<SiteLockPolicy> policy;
        ASSERT_EQ(MakeSiteLockPolicy(text.data(), static_cast<DWORD>(text.size()), false, &policy), S_OK);
        EXPECT_EQ(SiteLockAllowsAddress(*policy.Get(), row.url), row.allowed);
    }
}

// ---------------------------------------------------------------------------
// Objects under a policy

constexpr DWORD kAbsent = 0xFFFFFFFF;

// One policy key: its AllowedSites ('|' between lines; null: no value) and
// AllowWithoutPage (kAbsent: no value; of type REG_SZ it is written as "1").
struct PolicyKey {
    const wchar_t* sites;
    DWORD sitesType;
    DWORD withoutPage;
    DWORD withoutPageType;
};

void WritePolicy(HKEY hRoot, const PolicyKey& key)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(hRoot, g_szSiteLockKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    if (key.sites != nullptr) {
        const std::wstring text = Lines(key.sites) + std::wstring(2, L'\0');
        EXPECT_EQ(RegSetValueExW(hKey, L"AllowedSites", 0, key.sitesType, reinterpret_cast<const BYTE*>(text.data()),
                                 static_cast<DWORD>(text.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    if (key.withoutPage != kAbsent) {
        const wchar_t kOne[] = L"1";
        const bool fText = key.withoutPageType == REG_SZ;
        EXPECT_EQ(RegSetValueExW(hKey, L"AllowWithoutPage", 0, key.withoutPageType,
                                 fText ? reinterpret_cast<const BYTE*>(kOne)
                                       : reinterpret_cast<const BYTE*>(&key.withoutPage),
                                 fText ? sizeof kOne : sizeof(DWORD)),
                  ERROR_SUCCESS);
    }
    RegCloseKey(hKey);
}

void DeletePolicies()
{
    for (HKEY hRoot : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        RegDeleteTreeW(hRoot, L"SOFTWARE\\Policies\\Tarnwick");
}

// What the object's site offers.
enum class Page {
    kNone,          // no SetSite at all
    kNoServices,    // a site without IServiceProvider
    kNoDocument,    // its QueryService fails, as the script engine's site does under a host that has no services
    kUrl,           // a document whose dispatch property URL is the row's address
    kHtmlUrl,       // a document whose IHTMLDocument2::get_URL is the row's address (its URL property: another)
    kUnreadable,    // a document without a URL
};

class FakeDocument : public IDispatch {
public:
    FakeDocument(Page page, const wchar_t* pszUrl, const wchar_t* pszOtherUrl)
        : m_page(page), m_pszUrl(page == Page::kHtmlUrl ? pszOtherUrl : pszUrl),
          m_pHtml(page == Page::kHtmlUrl ? CreateFakeHtmlDocument(pszUrl) : nullptr)
    {
    }
    ~FakeDocument()
    {
        if (m_pHtml != nullptr)
            m_pHtml->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (m_pHtml != nullptr && IsEqualIID(riid, IID_IHTMLDocument2))
            return m_pHtml->QueryInterface(riid, ppv);
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override
    {
        if (m_page == Page::kUnreadable || lstrcmpiW(names[0], L"URL") != 0)
            return DISP_E_UNKNOWNNAME;
        ids[0] = 8;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* pResult, EXCEPINFO*,
                        UINT*) override
    {
        if (id != 8 || flags != DISPATCH_PROPERTYGET || pResult == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        pResult->vt = VT_BSTR;
        pResult->bstrVal = SysAllocString(m_pszUrl);
        return S_OK;
    }

    LONG m_refs = 1;

private:
    Page m_page;
    const wchar_t* m_pszUrl;
    IUnknown* m_pHtml;
};

class FakeSite : public IServiceProvider {
public:
    FakeSite(Page page, const wchar_t* pszUrl, const wchar_t* pszOtherUrl = L"https://evil.net/")
        : m_page(page), m_document(page, pszUrl, pszOtherUrl)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || (m_page != Page::kNoServices && IsEqualIID(riid, IID_IServiceProvider))) {
            *ppv = static_cast<IServiceProvider*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
    STDMETHODIMP QueryService(REFGUID sid, REFIID riid, void** ppv) override
    {
        static const GUID kSidContainerDispatch = {
            0xb722be00, 0x4e68, 0x101b, {0xa2, 0xbc, 0x00, 0xaa, 0x00, 0x40, 0x47, 0x70}};
        *ppv = nullptr;
        if (m_page == Page::kNoDocument || !IsEqualGUID(sid, kSidContainerDispatch))
            return E_NOINTERFACE;
        return m_document.QueryInterface(riid, ppv);
    }

    LONG m_refs = 1;

private:
    Page m_page;
    FakeDocument m_document;
};

// The controlling object of an aggregate.
class Outer : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_pInner->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }

    LONG m_refs = 1;
    IUnknown* m_pInner = nullptr;
};

DWORD WINAPI FixedTick()
{
    return 100000;
}

class SiteLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeletePolicies();
        ASSERT_NE(m_hall.Open(fake_hall::kPlainTitle), nullptr);
        ASSERT_NE(m_hall.Open("K318HallHideWindows7"), nullptr);
    }
    void TearDown() override
    {
        DeletePolicies();
        g_dwLastRequestTick = 0;
    }

    // A new object's interface, plain or as the inner object of m_outer.
    ComRef<IInvokerK318> Create(bool fAggregated)
    {
        ComRef<IInvokerK318> object;
        if (!fAggregated) {
            EXPECT_EQ(CreateBridgeObject(nullptr, IID_IInvokerK318, object.PutVoid()), S_OK);
            return object;
        }
        m_inner.Reset();
        EXPECT_EQ(CreateBridgeObject(&m_outer, IID_IUnknown, reinterpret_cast<void**>(m_inner.Put())), S_OK);
        m_outer.m_pInner = m_inner.Get();
        if (m_inner) {
            EXPECT_EQ(m_inner->QueryInterface(IID_IInvokerK318, object.PutVoid()), S_OK);
        }
        return object;
    }

    // Calls the four guarded methods (through the interface table, or through
    // Invoke) and GetVer, and checks that each worked, or was refused
    // without a request or a move of the rate limit's tick.
    void ExpectMethods(IInvokerK318* pObject, bool fThroughInvoke, bool fWork)
    {
        const HRESULT expected = fWork ? S_OK : E_ACCESSDENIED;
        BSTR text = SysAllocString(L"room=7");
        for (int i = 0; i < 2; ++i) {
            g_dwLastRequestTick = 0;
            m_hall.Clear();
            HRESULT hr;
            if (fThroughInvoke) {
                VARIANTARG args[3];
                args[0].vt = VT_BSTR;
                args[0].bstrVal = text;
                args[1].vt = args[2].vt = VT_I4;
                args[1].lVal = 1;
                args[2].lVal = 7;
                DISPPARAMS params = {args, nullptr, i == 0 ? 2u : 3u, 0};
                hr = pObject->Invoke(i == 0 ? 1 : 5, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
            } else {
                hr = i == 0 ? pObject->LoadExe(1, text) : pObject->RunVideo(7, 1, text);
            }
            EXPECT_EQ(hr, expected) << "request " << i;
            EXPECT_EQ(m_hall.Received().size(), fWork ? 1u : 0u) << "request " << i;
            EXPECT_EQ(g_dwLastRequestTick, fWork ? 100000u : 0u) << "request " << i;
        }
        SysFreeString(text);
        for (DISPID id : {2, 4}) {
            BSTR out = reinterpret_cast<BSTR>(0x1);
            HRESULT hr;
            if (fThroughInvoke) {
                VARIANT result;
                result.vt = VT_ERROR;
                DISPPARAMS none = {nullptr, nullptr, 0, 0};
                hr = pObject->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
                EXPECT_EQ(result.vt, VT_BSTR);
                out = result.bstrVal;
            } else {
                hr = id == 2 ? pObject->GetMacAddress(&out) : pObject->GetSpReadUserID(&out);
            }
            EXPECT_EQ(hr, expected) << "member " << id;
            EXPECT_EQ(out != nullptr, fWork) << "member " << id;
            SysFreeString(out);
        }
        ULONG version = 0;
        EXPECT_EQ(pObject->GetVer(&version), S_OK);
        EXPECT_EQ(version, 1u);
    }

    fake_hall::Hall m_hall;
    ScopedOp<DWORD(WINAPI*)()> m_tick{&platform::Ops::GetTickCount, &FixedTick};
    Outer m_outer;
    ComRef<IUnknown> m_inner;
};

constexpr const wchar_t* kHallPage = L"https://hall.example.com/lobby";
constexpr const wchar_t* kEvilPage = L"https://evil.net/";

// Each row: the policy of the machine and of the user, the object's page, and
// what the object does: whether it answers IObjectWithSite, SetSite's answer,
// and whether the four methods work. Each row runs on a plain object called
// through its table and on an aggregated one called through Invoke.
TEST_F(SiteLock, PolicyAndPageDecideWhatTheObjectDoes)
{
    const PolicyKey hall = {L"https://hall.example.com", REG_MULTI_SZ, kAbsent, 0};
    const PolicyKey other = {L"https://other.example", REG_MULTI_SZ, kAbsent, 0};
    const PolicyKey hallWithoutPage = {L"https://hall.example.com", REG_MULTI_SZ, 1, REG_DWORD};
    const PolicyKey withoutPageZero = {L"https://hall.example.com", REG_MULTI_SZ, 0, REG_DWORD};
    const PolicyKey withoutPageTwo = {L"https://hall.example.com", REG_MULTI_SZ, 2, REG_DWORD};
    const PolicyKey withoutPageText = {L"https://hall.example.com", REG_MULTI_SZ, 1, REG_SZ};
    const PolicyKey sitesAsText = {L"https://hall.example.com", REG_SZ, kAbsent, 0};
    const PolicyKey noSites = {nullptr, 0, 1, REG_DWORD};
    const PolicyKey noValidSite = {L"hall.example.com|https://hall.example.com/|*.hall.example.com", REG_MULTI_SZ,
                                   kAbsent, 0};
    const PolicyKey emptyKey = {nullptr, 0, kAbsent, 0};
    const struct {
        const char* what;
        const PolicyKey* machine;
        const PolicyKey* user;
        Page page;
        const wchar_t* url;
        bool lockOn;
        HRESULT setSite;
        bool work;
    } rows[] = {
        {"no policy, no site", nullptr, nullptr, Page::kNone, nullptr, false, S_OK, true},
        {"no policy, any page", nullptr, nullptr, Page::kUrl, kEvilPage, false, S_OK, true},
        {"machine: allowed page", &hall, nullptr, Page::kUrl, kHallPage, true, S_OK, true},
        {"machine: allowed page (IHTMLDocument2)", &hall, nullptr, Page::kHtmlUrl, kHallPage, true, S_OK, true},
        {"machine: denied page", &hall, nullptr, Page::kUrl, kEvilPage, true, E_ACCESSDENIED, false},
        {"machine: denied page (IHTMLDocument2)", &hall, nullptr, Page::kHtmlUrl, kEvilPage, true, E_ACCESSDENIED,
         false},
        {"machine: lookalike host", &hall, nullptr, Page::kUrl, L"https://hall.example.com.evil.net/", true,
         E_ACCESSDENIED, false},
        {"machine: address that does not parse", &hall, nullptr, Page::kUrl, L"", true, E_ACCESSDENIED, false},
        {"machine: document without URL", &hall, nullptr, Page::kUnreadable, nullptr, true, E_ACCESSDENIED, false},
        {"machine: no site", &hall, nullptr, Page::kNone, nullptr, true, S_OK, false},
        {"machine: site without services", &hall, nullptr, Page::kNoServices, nullptr, true, S_OK, false},
        {"machine: site without document", &hall, nullptr, Page::kNoDocument, nullptr, true, S_OK, false},
        {"without page 1: no site", &hallWithoutPage, nullptr, Page::kNone, nullptr, true, S_OK, true},
        {"without page 1: site without services", &hallWithoutPage, nullptr, Page::kNoServices, nullptr, true, S_OK,
         true},
        {"without page 1: site without document", &hallWithoutPage, nullptr, Page::kNoDocument, nullptr, true, S_OK,
         true},
        {"without page 1: denied page", &hallWithoutPage, nullptr, Page::kUrl, kEvilPage, true, E_ACCESSDENIED, false},
        {"without page 0", &withoutPageZero, nullptr, Page::kNoDocument, nullptr, true, S_OK, false},
        {"without page 2", &withoutPageTwo, nullptr, Page::kNone, nullptr, true, S_OK, false},
        {"without page as text", &withoutPageText, nullptr, Page::kNone, nullptr, true, S_OK, false},
        {"user: allowed page", nullptr, &hall, Page::kUrl, kHallPage, true, S_OK, true},
        {"user: denied page", nullptr, &hall, Page::kUrl, kEvilPage, true, E_ACCESSDENIED, false},
        {"both: the machine's denies", &other, &hall, Page::kUrl, kHallPage, true, E_ACCESSDENIED, false},
        {"both: the machine's allows", &hall, &other, Page::kUrl, kHallPage, true, S_OK, true},
        {"both: the user's without page is not read", &hall, &hallWithoutPage, Page::kNone, nullptr, true, S_OK,
         false},
        {"sites as REG_SZ", &sitesAsText, nullptr, Page::kUrl, kHallPage, true, E_ACCESSDENIED, false},
        {"no AllowedSites", &noSites, nullptr, Page::kUrl, kHallPage, true, E_ACCESSDENIED, false},
        {"no AllowedSites, no page", &noSites, nullptr, Page::kNoDocument, nullptr, true, S_OK, true},
        {"no valid site", &noValidSite, nullptr, Page::kUrl, kHallPage, true, E_ACCESSDENIED, false},
        {"empty key", nullptr, &emptyKey, Page::kNone, nullptr, true, S_OK, false},
    };
    for (const auto& row : rows) {
        DeletePolicies();
        if (row.machine != nullptr)
            WritePolicy(HKEY_LOCAL_MACHINE, *row.machine);
        if (row.user != nullptr)
            WritePolicy(HKEY_CURRENT_USER, *row.user);
        for (bool fAggregated : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.what << (fAggregated ? ", aggregated" : ", plain"));
            const LONG locksBefore = g_pModule->LockCount();
            FakeSite site(row.page, row.url);
            {
                ComRef<IInvokerK318> object = Create(fAggregated);
                ASSERT_TRUE(object);
                ComRef<IObjectWithSite> withSite;
                EXPECT_EQ(object->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()),
                          row.lockOn ? S_OK : E_NOINTERFACE);
                EXPECT_EQ(static_cast<bool>(withSite), row.lockOn);
                if (withSite && row.page != Page::kNone) {
                    EXPECT_EQ(withSite->SetSite(&site), row.setSite);
                }
                ExpectMethods(object.Get(), fAggregated, row.work);
            }
            m_inner.Reset();  // after the interfaces of the inner object
            EXPECT_EQ(site.m_refs, 1);  // the object let go of its site
            EXPECT_EQ(g_pModule->LockCount(), locksBefore);
        }
    }
}

// Each step: a site given to an object that the machine's policy locks to the
// hall, SetSite's answer, then GetSite's, and whether the methods work. A
// denial is for good; letting go of the site changes no verdict.
TEST_F(SiteLock, ADenialIsForGoodAndGetSiteAnswersTheHeldSite)
{
    WritePolicy(HKEY_LOCAL_MACHINE, {L"https://hall.example.com", REG_MULTI_SZ, kAbsent, 0});
    FakeSite hall(Page::kUrl, kHallPage);
    FakeSite noDocument(Page::kNoDocument, nullptr);
    FakeSite evil(Page::kUrl, kEvilPage);
    const struct {
        FakeSite* site;
        HRESULT setSite;
        HRESULT getSite;
        bool work;
    } steps[] = {
        {nullptr, S_OK, E_FAIL, false},
        {&hall, S_OK, S_OK, true},
        {nullptr, S_OK, E_FAIL, true},
        {&noDocument, S_OK, S_OK, false},
        {&hall, S_OK, S_OK, true},
        {&evil, E_ACCESSDENIED, E_FAIL, false},
        {&hall, E_ACCESSDENIED, E_FAIL, false},
        {nullptr, S_OK, E_FAIL, false},
    };
    ComRef<IInvokerK318> object = Create(false);
    ComRef<IObjectWithSite> withSite;
    ASSERT_EQ(object->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()), S_OK);
    int n = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << n++);
        EXPECT_EQ(withSite->SetSite(step.site), step.setSite);
        ComRef<IServiceProvider> got;
        EXPECT_EQ(withSite->GetSite(IID_IServiceProvider, got.PutVoid()), step.getSite);
        EXPECT_EQ(got.Get(), step.getSite == S_OK ? static_cast<IServiceProvider*>(step.site) : nullptr);
        got.Reset();
        ExpectMethods(object.Get(), false, step.work);
    }
    EXPECT_EQ(withSite->GetSite(IID_IServiceProvider, nullptr), E_POINTER);
    void* pv = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(withSite->GetSite(IID_IServiceProvider, &pv), E_FAIL);
    EXPECT_EQ(pv, nullptr);

    // The interface's identity is the object's, as for its other interfaces.
    ComRef<IObjectWithSite> again;
    ComRef<IUnknown> identity;
    ComRef<IUnknown> objectIdentity;
    ASSERT_EQ(withSite->QueryInterface(IID_IObjectWithSite, again.PutVoid()), S_OK);
    EXPECT_EQ(again.Get(), withSite.Get());
    ASSERT_EQ(withSite->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, objectIdentity.PutVoid()), S_OK);
    EXPECT_EQ(identity.Get(), objectIdentity.Get());
    withSite.Reset();
    again.Reset();
    identity.Reset();
    objectIdentity.Reset();
    EXPECT_EQ(object.Detach()->Release(), 0u);
    for (FakeSite* site : {&hall, &noDocument, &evil})
        EXPECT_EQ(site->m_refs, 1);
}

// The policy is read as an object is made: a change reaches only the objects
// made after it.
TEST_F(SiteLock, APolicyChangeReachesOnlyObjectsMadeAfterIt)
{
    ComRef<IInvokerK318> before = Create(false);
    WritePolicy(HKEY_CURRENT_USER, {L"https://hall.example.com", REG_MULTI_SZ, kAbsent, 0});
    ComRef<IInvokerK318> after = Create(false);
    DeletePolicies();
    ExpectMethods(before.Get(), false, true);
    ExpectMethods(after.Get(), false, false);
    ComRef<IObjectWithSite> withSite;
    EXPECT_EQ(before->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()), E_NOINTERFACE);
    EXPECT_EQ(after->QueryInterface(IID_IObjectWithSite, withSite.PutVoid()), S_OK);
}

// Where the policy cannot be kept for want of memory, no object is made: one
// without its lock would be open to every page.
struct AllocationState {
    int failAt = 0;
    int calls = 0;
};
LPVOID WINAPI FailingNthHeapAlloc(HANDLE hHeap, DWORD flags, SIZE_T cb)
{
    AllocationState& fake = FakeState<AllocationState>::Current();
    if (++fake.calls == fake.failAt)
        return nullptr;
    return HeapAlloc(hHeap, flags, cb);
}

TEST_F(SiteLock, NoMemoryForThePolicyMakesNoObject)
{
    WritePolicy(HKEY_CURRENT_USER, {L"https://hall.example.com", REG_MULTI_SZ, kAbsent, 0});
    FakeState<AllocationState> fake;
    ScopedOp<decltype(platform::ops().HeapAlloc)> alloc(&platform::Ops::HeapAlloc, &FailingNthHeapAlloc);
    for (int failAt : {2, 3}) {  // the site list's text, the policy
        for (bool fAggregated : {false, true}) {
            SCOPED_TRACE(testing::Message() << "allocation " << failAt << (fAggregated ? ", aggregated" : ""));
            fake->calls = 0;
            fake->failAt = failAt;
            const LONG locksBefore = g_pModule->LockCount();
            void* pv = reinterpret_cast<void*>(0x1);
            EXPECT_EQ(CreateBridgeObject(fAggregated ? &m_outer : nullptr,
                                         fAggregated ? IID_IUnknown : IID_IInvokerK318, &pv),
                      E_OUTOFMEMORY);
            EXPECT_EQ(pv, nullptr);
            EXPECT_EQ(g_pModule->LockCount(), locksBefore);
        }
    }
}

}  // namespace
