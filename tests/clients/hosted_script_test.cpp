// Page scripts in an in-process JScript engine create the bridge by ProgID and
// reach a hall window of this process, as in the hall's embedded browser.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>

#include "tests/support/built_library.h"
#include <vector>

#include "bridge/invoker.h"
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

}  // namespace
