// Page scripts in an in-process JScript engine create the bridge by ProgID and
// reach a hall window of this process, as in the hall's embedded browser.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>

#include "tests/support/built_library.h"
#include <vector>

#include "bridge/invoker.h"
#include "tarnwick_h.h"
#include "fake_hall/fake_hall.h"
#include "script_host/script_host.h"

namespace {

using EntryFn = HRESULT(STDAPICALLTYPE*)();

class HostedScript : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        const std::string path = BuiltLibraryPath();
        ASSERT_FALSE(path.empty()) << "TARNWICK_BIN is not set";
        s_hDll = LoadLibraryA(path.c_str());
        ASSERT_NE(s_hDll, nullptr) << path;
        auto reg = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(s_hDll, "DllRegisterServer")));
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(S_OK, reg());

        s_hall = new fake_hall::Hall;
        ASSERT_NE(s_hall->Open(fake_hall::kPlainTitle), nullptr);
    }

    static void TearDownTestSuite()
    {
        delete s_hall;
        s_hall = nullptr;
        if (s_hDll != nullptr) {
            auto unreg =
                reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(s_hDll, "DllUnregisterServer")));
            if (unreg != nullptr)
                unreg();
        }
        CoUninitialize();
    }

    void SetUp() override
    {
        s_hall->Clear();
        ASSERT_EQ(S_OK, m_host.Start(L"JScript", [this](const std::wstring& line) { m_echoed.push_back(line); }));
        // Requests closer than a second apart are refused; each test starts clear of the last.
        Sleep(1100);
    }

    std::wstring Eval(const wchar_t* expression)
    {
        VARIANT v;
        HRESULT hr = m_host.Evaluate(expression, &v);
        EXPECT_EQ(S_OK, hr) << std::string(m_host.LastError().begin(), m_host.LastError().end());
        VARIANT text;
        VariantInit(&text);
        std::wstring out;
        if (SUCCEEDED(hr) && SUCCEEDED(VariantChangeType(&text, &v, VARIANT_ALPHABOOL, VT_BSTR)))
            out.assign(text.bstrVal, SysStringLen(text.bstrVal));
        VariantClear(&text);
        VariantClear(&v);
        return out;
    }

    static HMODULE s_hDll;
    static fake_hall::Hall* s_hall;
    CScriptHost m_host;
    std::vector<std::wstring> m_echoed;
};

HMODULE HostedScript::s_hDll = nullptr;
fake_hall::Hall* HostedScript::s_hall = nullptr;

TEST_F(HostedScript, LoadExeReachesTheHallWindow)
{
    ASSERT_EQ(S_OK, m_host.Run(L"new ActiveXObject(\"Tarnwick.InvokerK318\").LoadExe(12, \"room=7\");"))
        << std::string(m_host.LastError().begin(), m_host.LastError().end());
    ASSERT_EQ(1u, s_hall->Received().size());
    EXPECT_EQ(12u, s_hall->Received()[0].rid);
    EXPECT_EQ("room=7", s_hall->Received()[0].text);
}

TEST_F(HostedScript, SecondRequestWithinASecondIsDropped)
{
    ASSERT_EQ(S_OK, m_host.Run(L"var o = new ActiveXObject(\"Tarnwick.InvokerK318.1\");"
                               L"o.LoadExe(1, \"first\"); o.LoadExe(2, \"second\");"));
    ASSERT_EQ(1u, s_hall->Received().size());
    EXPECT_EQ("first", s_hall->Received()[0].text);
}

TEST_F(HostedScript, AnswersSeenByThePage)
{
    ASSERT_EQ(S_OK, m_host.Run(L"var o = new ActiveXObject(\"Tarnwick.InvokerK318\");"));
    EXPECT_EQ(L"1", Eval(L"o.GetVer()"));
    EXPECT_EQ(L"number", Eval(L"typeof o.GetVer()"));
    EXPECT_EQ(L"string", Eval(L"typeof o.GetMacAddress()"));
    EXPECT_EQ(L"true", Eval(L"String(/^([0-9A-F]{2}(-[0-9A-F]{2}){5})?$/.test(o.GetMacAddress()))"));
    EXPECT_EQ(L"string", Eval(L"typeof o.GetSpReadUserID()"));
    // A string rid is coerced to the unsigned number the hall receives.
    EXPECT_EQ(L"undefined", Eval(L"typeof o.RunVideo(\"3\", \"40\", \"video\")"));
    ASSERT_EQ(0u, s_hall->Received().size());  // no window numbered for user 3 exists
}

TEST_F(HostedScript, ScriptErrorsForBadCalls)
{
    struct Case {
        const wchar_t* code;
        HRESULT hr;
    };
    const Case cases[] = {
        {L"new ActiveXObject(\"Tarnwick.InvokerK318\").GetVer(1);", DISP_E_BADPARAMCOUNT},
        {L"new ActiveXObject(\"Tarnwick.InvokerK318\").LoadExe(1);", DISP_E_BADPARAMCOUNT},
        // The engine reports an unknown name as its own "doesn't support" error, 438.
        {L"new ActiveXObject(\"Tarnwick.InvokerK318\").NoSuchMethod();", MAKE_HRESULT(1, FACILITY_CONTROL, 438)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.code, c.code + lstrlenW(c.code)));
        const HRESULT hr = m_host.Run(c.code);
        EXPECT_EQ(c.hr, hr) << std::string(m_host.LastError().begin(), m_host.LastError().end());
    }
    EXPECT_TRUE(s_hall->Received().empty());
}

TEST_F(HostedScript, EchoReachesTheHost)
{
    ASSERT_EQ(S_OK, m_host.Run(L"host.echo('ver', new ActiveXObject('Tarnwick.InvokerK318').GetVer());"));
    ASSERT_EQ(1u, m_echoed.size());
    EXPECT_EQ(L"ver 1", m_echoed[0]);
}

// The site lock's policy, where a row puts one.
struct SiteLockKey {
    const wchar_t* allowedSites;  // lines joined by '|'; null: no AllowedSites value
    DWORD allowWithoutPage;       // written when not kNoValue
    bool sitesAsText;             // AllowedSites written as REG_SZ, a type the lock does not take
};
constexpr DWORD kNoValue = 0xFFFFFFFF;

constexpr wchar_t kSiteLockKey[] = L"SOFTWARE\\Policies\\Tarnwick\\SiteLock";

void WriteSiteLock(HKEY root, const SiteLockKey& policy)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, kSiteLockKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    if (policy.allowedSites != nullptr) {
        std::wstring lines(policy.allowedSites);
        for (wchar_t& c : lines)
            c = c == L'|' ? L'\0' : c;
        lines.push_back(L'\0');
        lines.push_back(L'\0');
        const DWORD type = policy.sitesAsText ? REG_SZ : REG_MULTI_SZ;
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"AllowedSites", 0, type, reinterpret_cast<const BYTE*>(lines.data()),
                                                static_cast<DWORD>(lines.size() * sizeof(wchar_t))));
    }
    if (policy.allowWithoutPage != kNoValue) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"AllowWithoutPage", 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&policy.allowWithoutPage), sizeof(DWORD)));
    }
    RegCloseKey(key);
}

void DeleteSiteLocks()
{
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        RegDeleteTreeW(root, L"SOFTWARE\\Policies\\Tarnwick");
}

class HostedPage : public HostedScript {
protected:
    void SetUp() override { DeleteSiteLocks(); }  // each row starts its own host
    void TearDown() override { DeleteSiteLocks(); }
};

// A page made in a browser's way (safety settings, a security manager that
// lets it make the bridge and nothing else, and its document's address
// through the site's services), or a desktop script host (no page at all),
// under the policy of each row: the page's request reaches the hall or
// nothing does.
TEST_F(HostedPage, SiteLockDecidesWhichPagesReachTheHall)
{
    const SiteLockKey allowHall = {L"https://hall.example", kNoValue, false};
    const SiteLockKey allowSubdomains = {L"https://*.hall.example", kNoValue, false};
    const SiteLockKey allowOther = {L"https://other.example", kNoValue, false};
    const SiteLockKey allowWithoutPage = {L"https://hall.example", 1, false};
    const SiteLockKey noSites = {nullptr, 1, false};
    const SiteLockKey sitesAsText = {L"https://hall.example", kNoValue, true};
    constexpr const wchar_t* kDesktop = L"(no page)";
    constexpr const wchar_t* kNoDocument = L"(no document)";
    struct Row {
        const SiteLockKey* machine;
        const SiteLockKey* user;
        const wchar_t* page;  // an address, kDesktop or kNoDocument
        bool delivered;
    };
    const Row rows[] = {
        // No policy: every page and host as before.
        {nullptr, nullptr, L"https://evil.example/", true},
        {nullptr, nullptr, kDesktop, true},
        {nullptr, nullptr, kNoDocument, true},
        // The machine's policy.
        {&allowHall, nullptr, L"https://hall.example/lobby?room=7", true},
        {&allowHall, nullptr, L"https://HALL.example:443/", true},
        {&allowHall, nullptr, L"https://hall.example.evil.net/", false},
        {&allowHall, nullptr, L"https://evil.net/?https://hall.example/", false},
        {&allowHall, nullptr, L"https://hall.example@evil.net/", false},
        {&allowHall, nullptr, L"http://hall.example/", false},
        {&allowHall, nullptr, L"https://hall.example:8443/", false},
        {&allowHall, nullptr, kDesktop, false},
        {&allowHall, nullptr, kNoDocument, false},
        {&allowWithoutPage, nullptr, kDesktop, true},
        {&allowWithoutPage, nullptr, L"https://evil.example/", false},
        // The user's policy, where the machine has none.
        {nullptr, &allowSubdomains, L"https://games.hall.example/", true},
        {nullptr, &allowSubdomains, L"https://hall.example/", false},
        // Both: the machine's alone decides.
        {&allowOther, &allowHall, L"https://hall.example/", false},
        {&allowHall, &allowOther, L"https://hall.example/", true},
        // Malformed policies deny every page.
        {&noSites, nullptr, L"https://hall.example/", false},
        {&sitesAsText, nullptr, L"https://hall.example/", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.machine ? "machine policy, " : "") << (row.user ? "user policy, " : "")
                                        << std::string(row.page, row.page + lstrlenW(row.page)));
        DeleteSiteLocks();
        if (row.machine != nullptr)
            WriteSiteLock(HKEY_LOCAL_MACHINE, *row.machine);
        if (row.user != nullptr)
            WriteSiteLock(HKEY_CURRENT_USER, *row.user);
        s_hall->Clear();
        m_echoed.clear();
        CScriptHost host;
        const CScriptHost::Page page = {&CLSID_CInvokerK318, row.page == kNoDocument ? nullptr : row.page};
        ASSERT_EQ(S_OK, host.Start(L"JScript", [this](const std::wstring& line) { m_echoed.push_back(line); },
                                   row.page == kDesktop ? nullptr : &page));
        const HRESULT hr = host.Run(L"var o = new ActiveXObject('Tarnwick.InvokerK318');"
                                    L"host.echo(o.GetVer());"
                                    L"o.LoadExe(12, 'room=7');");
        if (row.delivered) {
            EXPECT_EQ(S_OK, hr) << std::string(host.LastError().begin(), host.LastError().end());
            ASSERT_EQ(1u, s_hall->Received().size());
            EXPECT_EQ("room=7", s_hall->Received()[0].text);
            Sleep(1100);  // the next accepted request must be a second later
        } else {
            EXPECT_TRUE(FAILED(hr));
            EXPECT_TRUE(s_hall->Received().empty());
        }
        // A denied object, where the page still has one, goes on answering GetVer.
        EXPECT_TRUE(m_echoed.empty() || m_echoed == std::vector<std::wstring>{L"1"});
        host.Close();
    }
}

}  // namespace
