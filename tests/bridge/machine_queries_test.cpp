#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bridge/invoker.h"
#include "tests/bridge/barrier_calls.h"
#include "tests/support/platform_override.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

namespace {

// ---------------------------------------------------------------------------
// NetBIOS adapters, scripted.

struct Adapter {
    UCHAR resetResult;
    UCHAR statusResult;
    UCHAR address[6];
};

struct NetbiosScript {
    UCHAR enumResult = NRC_GOODRET;
    std::vector<UCHAR> lanas;
    std::map<UCHAR, Adapter> adapters;
    std::vector<NCB> calls;  // as received, before the fake writes anything
};

UCHAR WINAPI FakeNetbios(PNCB ncb)
{
    NetbiosScript& net = FakeState<NetbiosScript>::Current();
    net.calls.push_back(*ncb);
    switch (ncb->ncb_command) {
    case NCBENUM: {
        LANA_ENUM* list = reinterpret_cast<LANA_ENUM*>(ncb->ncb_buffer);
        list->length = static_cast<UCHAR>(net.lanas.size());
        for (size_t i = 0; i < net.lanas.size(); ++i)
            list->lana[i] = net.lanas[i];
        return net.enumResult;
    }
    case NCBRESET:
        return net.adapters.count(ncb->ncb_lana_num) ? net.adapters[ncb->ncb_lana_num].resetResult : NRC_BRIDGE;
    case NCBASTAT: {
        auto it = net.adapters.find(ncb->ncb_lana_num);
        if (it == net.adapters.end())
            return NRC_BRIDGE;
        if (it->second.statusResult == NRC_GOODRET)
            std::memcpy(reinterpret_cast<ADAPTER_STATUS*>(ncb->ncb_buffer)->adapter_address, it->second.address, 6);
        return it->second.statusResult;
    }
    }
    return NRC_ILLCMD;
}

struct DebugOutput {
    std::vector<std::string> lines;
};
void WINAPI FakeDebugOutput(LPCSTR text) { FakeState<DebugOutput>::Current().lines.push_back(text); }

std::wstring Take(BSTR b)
{
    EXPECT_NE(b, nullptr);
    std::wstring s(b ? b : L"", b ? SysStringLen(b) : 0);
    SysFreeString(b);
    return s;
}

class MacAddress : public ::testing::Test {
protected:
    void TearDown() override { testing_support::RestoreRealPlatform(); }

    FakeState<NetbiosScript> m_net;
    FakeState<DebugOutput> m_output;
    ScopedOp<UCHAR(WINAPI*)(PNCB)> m_netbios{&platform::Ops::Netbios, &FakeNetbios};
    ScopedOp<void(WINAPI*)(LPCSTR)> m_debug{&platform::Ops::OutputDebugStringA, &FakeDebugOutput};
};

// Calls as "command:lana", in order.
std::vector<std::string> CallLog(const std::vector<NCB>& calls)
{
    std::vector<std::string> log;
    for (const NCB& n : calls) {
        if (n.ncb_command == NCBENUM) {
            log.emplace_back("enum");
            continue;
        }
        std::string entry = n.ncb_command == NCBRESET ? "reset:" : "status:";
        entry += std::to_string(n.ncb_lana_num);
        log.push_back(entry);
    }
    return log;
}

const Adapter kAnswers3{NRC_GOODRET, NRC_GOODRET, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
const Adapter kAnswers0{NRC_GOODRET, NRC_GOODRET, {0xAA, 0xBB, 0xCC, 0x01, 0x02, 0x03}};
const Adapter kSilent{NRC_GOODRET, NRC_SYSTEM, {}};
const Adapter kResetFails{NRC_SYSTEM, NRC_GOODRET, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

TEST_F(MacAddress, FirstAnsweringAdapterInListOrder)
{
    struct Case {
        const char* name;
        UCHAR enumResult;
        std::vector<UCHAR> lanas;
        Adapter lana3, lana0;
        std::wstring expected;
        std::vector<std::string> calls;
    } cases[] = {
        {"3 answers, 0 untouched", NRC_GOODRET, {3, 0}, kAnswers3, kAnswers0, L"00-1A-2B-3C-4D-5E",
         {"enum", "reset:3", "status:3"}},
        {"3 silent, 0 answers", NRC_GOODRET, {3, 0}, kSilent, kAnswers0, L"AA-BB-CC-01-02-03",
         {"enum", "reset:3", "status:3", "reset:0", "status:0"}},
        {"failing reset still queried", NRC_GOODRET, {3, 0}, kResetFails, kAnswers0, L"00-1A-2B-3C-4D-5E",
         {"enum", "reset:3", "status:3"}},
        {"all silent", NRC_GOODRET, {3, 0}, kSilent, kSilent, L"",
         {"enum", "reset:3", "status:3", "reset:0", "status:0"}},
        {"no adapters", NRC_GOODRET, {}, kAnswers3, kAnswers0, L"", {"enum"}},
        {"enumeration fails", NRC_OPENERR, {3, 0}, kAnswers3, kAnswers0, L"", {"enum"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        *m_net = NetbiosScript{};
        m_net->enumResult = c.enumResult;
        m_net->lanas = c.lanas;
        m_net->adapters[3] = c.lana3;
        m_net->adapters[0] = c.lana0;
        m_output->lines.clear();

        BSTR text = nullptr;
        EXPECT_EQ(Methods::GetMacAddress(&text), S_OK);
        EXPECT_EQ(Take(text), c.expected);
        EXPECT_EQ(CallLog(m_net->calls), c.calls);
        if (c.expected.empty()) {
            EXPECT_TRUE(m_output->lines.empty());
        } else {
            ASSERT_EQ(m_output->lines.size(), 1u);
            EXPECT_EQ(m_output->lines[0], std::string(c.expected.begin(), c.expected.end()));
            EXPECT_EQ(m_output->lines[0].size(), 17u);
        }
    }
}

bool AllZero(const void* p, size_t n)
{
    const UCHAR* b = static_cast<const UCHAR*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i])
            return false;
    return true;
}

TEST_F(MacAddress, ControlBlocksCarryOnlyTheirOwnFields)
{
    m_net->lanas = {5};
    m_net->adapters[5] = kAnswers3;
    BSTR text = nullptr;
    EXPECT_EQ(Methods::GetMacAddress(&text), S_OK);
    Take(text);
    ASSERT_EQ(m_net->calls.size(), 3u);

    const NCB& e = m_net->calls[0];
    EXPECT_EQ(e.ncb_command, NCBENUM);
    EXPECT_EQ(e.ncb_lana_num, 0);
    EXPECT_EQ(e.ncb_length, 256);
    EXPECT_NE(e.ncb_buffer, nullptr);

    const NCB& r = m_net->calls[1];
    EXPECT_EQ(r.ncb_command, NCBRESET);
    EXPECT_EQ(r.ncb_lana_num, 5);
    EXPECT_EQ(r.ncb_length, 0);
    EXPECT_EQ(r.ncb_buffer, nullptr);
    EXPECT_TRUE(AllZero(r.ncb_callname, NCBNAMSZ));

    const NCB& s = m_net->calls[2];
    EXPECT_EQ(s.ncb_command, NCBASTAT);
    EXPECT_EQ(s.ncb_lana_num, 5);
    EXPECT_EQ(s.ncb_length, 600);
    EXPECT_NE(s.ncb_buffer, nullptr);
    EXPECT_EQ(s.ncb_callname[0], '*');
    EXPECT_TRUE(AllZero(s.ncb_callname + 1, NCBNAMSZ - 1));

    for (const NCB& n : m_net->calls) {
        EXPECT_EQ(n.ncb_post, nullptr);
        EXPECT_EQ(n.ncb_event, nullptr);
        EXPECT_EQ(n.ncb_retcode, 0);
        EXPECT_EQ(n.ncb_lsn, 0);
        EXPECT_EQ(n.ncb_num, 0);
        EXPECT_TRUE(AllZero(n.ncb_name, NCBNAMSZ));
    }
}

TEST_F(MacAddress, QueryAdapterAddressWritesTheTextForm)
{
    m_net->adapters[2] = kAnswers3;
    m_net->adapters[4] = kSilent;
    char text[1024] = {};
    EXPECT_TRUE(QueryAdapterAddress(2, text));
    EXPECT_STREQ(text, "00-1A-2B-3C-4D-5E");
    char untouched[1024] = {};
    EXPECT_FALSE(QueryAdapterAddress(4, untouched));
    EXPECT_STREQ(untouched, "");
}

// ---------------------------------------------------------------------------
// The hall's introducer entry.

const char kGameKey[] = "SoftWare\\Vorm\\Game";

struct ProfileRead {
    std::string section, key, defaultText, file;
    DWORD size;
};
struct ProfileReads {
    std::vector<ProfileRead> reads;
};
DWORD WINAPI FakeProfile(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size, LPCSTR file)
{
    FakeState<ProfileReads>::Current().reads.push_back({section, key, def, file, size});
    out[0] = '\0';
    return 0;
}

class Introducer : public ::testing::Test {
protected:
    void SetUp() override
    {
        HKEY h;
        m_keyExisted = RegOpenKeyExA(HKEY_CURRENT_USER, kGameKey, 0, KEY_READ, &h) == ERROR_SUCCESS;
        if (m_keyExisted) {
            BYTE data[4096];
            DWORD cb = sizeof(data);
            m_valueExisted = RegQueryValueExA(h, "path", nullptr, &m_type, data, &cb) == ERROR_SUCCESS;
            if (m_valueExisted)
                m_saved.assign(data, data + cb);
            RegCloseKey(h);
        }
        RegDeleteKeyA(HKEY_CURRENT_USER, kGameKey);

        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + "tarnwick_introducer_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(m_folder.c_str(), nullptr);
        CreateDirectoryA((m_folder + "\\Data").c_str(), nullptr);
        m_ini = m_folder + "\\Data\\introduce.ini";
    }

    void TearDown() override
    {
        testing_support::RestoreRealPlatform();
        DeleteFileA(m_ini.c_str());
        RemoveDirectoryA((m_folder + "\\Data").c_str());
        RemoveDirectoryA(m_folder.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, kGameKey);
        if (m_keyExisted) {
            HKEY h;
            RegCreateKeyExA(HKEY_CURRENT_USER, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
            if (m_valueExisted)
                RegSetValueExA(h, "path", 0, m_type, m_saved.data(), static_cast<DWORD>(m_saved.size()));
            RegCloseKey(h);
        }
    }

    static void SetPath(const void* data, DWORD cb, DWORD type)
    {
        HKEY h;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, "path", 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    static void SetPath(const std::string& s) { SetPath(s.c_str(), static_cast<DWORD>(s.size() + 1), REG_SZ); }

    static std::wstring Read()
    {
        BSTR b = nullptr;
        EXPECT_EQ(Methods::GetSpReadUserID(&b), S_OK);
        return Take(b);
    }

    bool m_keyExisted = false, m_valueExisted = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_saved;
    std::string m_folder, m_ini;
    FakeState<ProfileReads> m_profile;
};

TEST_F(Introducer, FileNameBuiltFromThePath)
{
    struct Case {
        std::string path, expectedFile;
    } cases[] = {
        {"D:\\Hall", "D:\\Hall\\Data\\introduce.ini"},
        {"D:\\Hall\\", "D:\\Hall\\\\Data\\introduce.ini"},
        {"%HALL%", "%HALL%\\Data\\introduce.ini"},
    };
    ScopedOp<DWORD(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR)> profile(
        &platform::Ops::GetPrivateProfileStringA, &FakeProfile);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        m_profile->reads.clear();
        SetPath(c.path);
        EXPECT_EQ(Read(), L"");
        ASSERT_EQ(m_profile->reads.size(), 1u);
        EXPECT_EQ(m_profile->reads[0].file, c.expectedFile);
        EXPECT_EQ(m_profile->reads[0].section, "config");
        EXPECT_EQ(m_profile->reads[0].key, "introducer");
        EXPECT_EQ(m_profile->reads[0].defaultText, "");
        EXPECT_EQ(m_profile->reads[0].size, 255u);
    }
}

TEST_F(Introducer, PathWithoutNulEndsAfterTheBytesRead)
{
    ScopedOp<DWORD(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR)> profile(
        &platform::Ops::GetPrivateProfileStringA, &FakeProfile);
    std::string full(1024, 'A');
    SetPath(full.data(), 1024, REG_BINARY);
    EXPECT_EQ(Read(), L"");
    ASSERT_EQ(m_profile->reads.size(), 1u);
    EXPECT_EQ(m_profile->reads[0].file, full + "\\Data\\introduce.ini");

    m_profile->reads.clear();
    SetPath("D:\\Hallxyz", 7, REG_BINARY);
    EXPECT_EQ(Read(), L"");
    ASSERT_EQ(m_profile->reads.size(), 1u);
    EXPECT_EQ(m_profile->reads[0].file, "D:\\Hall\\Data\\introduce.ini");
}

TEST_F(Introducer, NothingToReadGivesEmptyText)
{
    ScopedOp<DWORD(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR)> profile(
        &platform::Ops::GetPrivateProfileStringA, &FakeProfile);
    EXPECT_EQ(Read(), L"") << "no key";

    HKEY h;
    RegCreateKeyExA(HKEY_CURRENT_USER, kGameKey, 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
    RegCloseKey(h);
    EXPECT_EQ(Read(), L"") << "no value";

    std::string tooLong(1025, 'A');
    SetPath(tooLong.data(), 1025, REG_BINARY);
    EXPECT_EQ(Read(), L"") << "value longer than 1024 bytes";
    EXPECT_TRUE(m_profile->reads.empty());
}

TEST_F(Introducer, ReadsTheHallsIniFile)
{
    struct Case {
        const char* name;
        std::string content;  // empty: no file
        std::wstring expected;
    } cases[] = {
        {"value", "[config]\r\nintroducer=12345\r\n", L"12345"},
        {"kept as stored", "[config]\r\nintroducer=abc 42\r\n", L"abc 42"},
        {"long value cut", "[config]\r\nintroducer=" + std::string(300, '7') + "\r\n", std::wstring(254, L'7')},
        {"missing key", "[config]\r\nother=1\r\n", L""},
        {"missing section", "[other]\r\nintroducer=1\r\n", L""},
        {"missing file", "", L""},
    };
    SetPath(m_folder);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(m_ini.c_str());
        const std::string& content = c.content;
        if (!content.empty()) {
            HANDLE f = CreateFileA(m_ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(f, INVALID_HANDLE_VALUE);
            DWORD written = 0;
            WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
            CloseHandle(f);
        }
        EXPECT_EQ(Read(), c.expected);
    }
}

LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }
BSTR WINAPI FailingBstrAlloc(const OLECHAR*, UINT) { return nullptr; }

TEST_F(Introducer, AllocationFailureIsReported)
{
    SetPath("D:\\Hall");
    ScopedOp<LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T)> heap(&platform::Ops::HeapAlloc, &FailingHeapAlloc);
    BSTR b = reinterpret_cast<BSTR>(0x1);  // garbage the caller left in the out value
    EXPECT_EQ(Methods::GetSpReadUserID(&b), E_OUTOFMEMORY);
    EXPECT_EQ(b, nullptr);
    ScopedOp<BSTR(WINAPI*)(const OLECHAR*, UINT)> bstr(&platform::Ops::SysAllocStringLen, &FailingBstrAlloc);
    b = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(Methods::GetMacAddress(&b), E_OUTOFMEMORY);
    EXPECT_EQ(b, nullptr);
}

TEST(OutValues, NullOutPointersAreRefused)
{
    EXPECT_EQ(Methods::GetVer(nullptr), E_POINTER);
    EXPECT_EQ(Methods::GetMacAddress(nullptr), E_POINTER);
    EXPECT_EQ(Methods::GetSpReadUserID(nullptr), E_POINTER);
}

}  // namespace
