// The site lock: the address matcher.
#include <gtest/gtest.h>

#include <string>

#include "automation/site_lock.h"

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

}  // namespace
