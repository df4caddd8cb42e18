// The library in a COM surrogate process: recognised by the command line the
// platform starts a surrogate with, and refused there, so that a client whose
// activation ends in a surrogate gets a failure instead of an object that can
// reach no hall window.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>

#include "server/surrogate.h"
#include "tarnwick_h.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

namespace {

// The command line the process appears to have been started with.
struct CommandLine {
    std::wstring text;
};

LPWSTR WINAPI FakeCommandLine()
{
    return FakeState<CommandLine>::Current().text.data();
}

class SurrogateTest : public ::testing::Test {
protected:
    void TearDown() override { testing_support::RestoreRealPlatform(); }

    FakeState<CommandLine> m_line;
    ScopedOp<decltype(platform::Ops::GetCommandLineW)> m_op{&platform::Ops::GetCommandLineW, FakeCommandLine};
};

struct LineCase {
    const wchar_t* line;
    bool surrogate;
};

TEST_F(SurrogateTest, RecognisesTheSurrogateSwitchAsTheFirstArgument)
{
    const LineCase cases[] = {
        // As the platforms start their surrogates.
        {L"C:\\windows\\system32\\dllhost.exe /PROCESSID:{944F576C-8D13-4177-9B3F-E827E4AFE8FF}", true},
        {L"C:\\Windows\\syswow64\\DllHost.exe /Processid:{944F576C-8D13-4177-9B3F-E827E4AFE8FF}", true},
        {L"\"C:\\Program Files\\Surrogate\\host.exe\" /processid:{00000000-0000-0000-0000-000000000001}", true},
        {L"dllhost.exe \t /PROCESSID:{X}", true},
        // Ordinary hosts.
        {L"C:\\windows\\system32\\wscript.exe page.js", false},
        {L"\"C:\\Program Files\\Hall\\hall.exe\"", false},
        {L"", false},
        {L"dllhost.exe", false},
        // The switch without an identifier, or not first, or misspelt.
        {L"dllhost.exe /PROCESSID:", false},
        {L"dllhost.exe /PROCESSID: {X}", false},
        {L"host.exe page.js /PROCESSID:{X}", false},
        {L"host.exe /PROCESS:{X}", false},
        {L"host.exe -PROCESSID:{X}", false},
        // The switch inside a quoted program name is part of the name.
        {L"\"C:\\x /PROCESSID:{X}\\host.exe\"", false},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "command line \"" << std::string(c.line, c.line + wcslen(c.line)) << "\"");
        m_line->text = c.line;
        EXPECT_EQ(c.surrogate, RunsAsComSurrogate());
    }
}

TEST_F(SurrogateTest, ClassObjectIsRefusedOnlyInASurrogate)
{
    m_line->text = L"C:\\windows\\system32\\dllhost.exe /PROCESSID:{944F576C-8D13-4177-9B3F-E827E4AFE8FF}";
    IClassFactory* pFactory = reinterpret_cast<IClassFactory*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              DllGetClassObject(CLSID_CInvokerK318, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
    EXPECT_EQ(nullptr, pFactory);
    EXPECT_EQ(E_POINTER, DllGetClassObject(CLSID_CInvokerK318, IID_IClassFactory, nullptr));  // in every process

    m_line->text = L"C:\\windows\\system32\\wscript.exe page.js";
    ASSERT_EQ(S_OK, DllGetClassObject(CLSID_CInvokerK318, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
    ASSERT_NE(nullptr, pFactory);
    pFactory->Release();
}

}  // namespace
