// The key holder against scratch keys under HKEY_CURRENT_USER.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/key_handle.h"
#include "tests/support/platform_override.h"
#include "tests/support/registry_link.h"

using testing_support::FakeState;

namespace {

const char kTestRoot[] = "Software\\TarnwickTest";

// What the faked registry calls saw.
struct DeletedKeys {
    std::string names;  // each deleted key's name and ';', in order
};
struct CloseCount {
    int closes = 0;
};

class KeyHandleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char sz[64];
        std::snprintf(sz, sizeof sz, "%s\\KeyHandle%lu_%lu", kTestRoot,
                      static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetTickCount()));
        m_path = sz;
        Wipe();
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &m_scratch, nullptr));
    }
    void TearDown() override
    {
        testing_support::RestoreRealPlatform();
        if (m_scratch != nullptr)
            RegCloseKey(m_scratch);
        Wipe();
        RegDeleteKeyA(HKEY_CURRENT_USER, kTestRoot);  // only when empty
    }
    void Wipe() { RegDeleteTreeA(HKEY_CURRENT_USER, m_path.c_str()); }
    bool Exists(const char* sub) const
    {
        HKEY h;
        if (RegOpenKeyExA(m_scratch, sub, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        RegCloseKey(h);
        return true;
    }
    void Make(const char* sub)
    {
        HKEY h;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_scratch, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
        RegCloseKey(h);
    }
    DWORD SubkeyCount(const char* sub) const
    {
        HKEY h;
        if (RegOpenKeyExA(m_scratch, sub, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return 0xFFFFFFFF;
        DWORD n = 0;
        RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(h);
        return n;
    }

    std::string m_path;
    HKEY m_scratch = nullptr;
    FakeState<DeletedKeys> m_deleted;
    FakeState<CloseCount> m_closed;
};

LONG WINAPI RecordingDeleteKey(HKEY h, LPCWSTR name)
{
    std::string& deleted = FakeState<DeletedKeys>::Current().names;
    for (const wchar_t* p = name; *p; ++p)
        deleted += static_cast<char>(*p);
    deleted += ';';
    return platform::RealOps().RegDeleteKeyW(h, name);
}

TEST_F(KeyHandleTest, DeleteTreeOfAbsentKeyReportsNotFoundAndChangesNothing)
{
    Make("Sibling");
    const KeyView parent(m_scratch);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent.DeleteTree("Absent"));
    EXPECT_TRUE(Exists("Sibling"));
    EXPECT_EQ(1u, SubkeyCount(""));
    EXPECT_EQ(m_scratch, parent.Get());  // the view leaves the key open
    EXPECT_TRUE(Exists("Sibling"));          // the borrowed key still works
}

TEST_F(KeyHandleTest, DeleteTreeRemovesLeavesBeforeParents)
{
    Make("Top\\A\\A1\\Leaf");
    Make("Top\\A\\A2");
    Make("Top\\B");
    Make("Keep");
    testing_support::ScopedOp<LONG(WINAPI*)(HKEY, LPCWSTR)> op(&platform::Ops::RegDeleteKeyW, &RecordingDeleteKey);
    const KeyView parent(m_scratch);
    EXPECT_EQ(ERROR_SUCCESS, parent.DeleteTree("Top"));
    EXPECT_FALSE(Exists("Top"));
    EXPECT_TRUE(Exists("Keep"));
    EXPECT_EQ("Leaf;A1;A2;A;B;Top;", m_deleted->names);
}

LONG WINAPI RefuseDeleteOf(HKEY h, LPCWSTR name)
{
    if (lstrcmpiW(name, L"B") == 0)
        return ERROR_ACCESS_DENIED;
    return platform::RealOps().RegDeleteKeyW(h, name);
}

TEST_F(KeyHandleTest, DeleteTreeStopsAtFirstFailureKeepingEarlierDeletions)
{
    Make("Top\\A");
    Make("Top\\B");
    Make("Top\\C");
    testing_support::ScopedOp<LONG(WINAPI*)(HKEY, LPCWSTR)> op(&platform::Ops::RegDeleteKeyW, &RefuseDeleteOf);
    const KeyView parent(m_scratch);
    EXPECT_EQ(ERROR_ACCESS_DENIED, parent.DeleteTree("Top"));
    EXPECT_FALSE(Exists("Top\\A"));
    EXPECT_TRUE(Exists("Top\\B"));
    EXPECT_TRUE(Exists("Top\\C"));
}

// A link planted inside the tree, or named as its top, is deleted itself; the
// key it points at, outside the tree, keeps everything.
TEST_F(KeyHandleTest, DeleteTreeDeletesLinksNotTheirTargets)
{
    Make("Target\\Precious");
    HKEY hTarget = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(m_scratch, "Target", 0, KEY_READ, &hTarget));
    Make("Top\\Inner");
    for (const char* link : {"Top\\Link", "Top\\Inner\\Link", "TopLink"}) {
        ASSERT_EQ(ERROR_SUCCESS, testing_support::CreateRegistryLink(m_scratch, link, hTarget)) << link;
        ASSERT_TRUE(testing_support::IsRegistryLink(m_scratch, link)) << link;
    }
    ASSERT_TRUE(Exists("Top\\Link\\Precious"));  // the link leads to the target
    RegCloseKey(hTarget);

    const KeyView parent(m_scratch);
    EXPECT_EQ(ERROR_SUCCESS, parent.DeleteTree("Top"));
    EXPECT_EQ(ERROR_SUCCESS, parent.DeleteTree("TopLink"));
    EXPECT_FALSE(Exists("Top"));
    EXPECT_FALSE(testing_support::IsRegistryLink(m_scratch, "TopLink"));
    EXPECT_TRUE(Exists("Target\\Precious"));
}

TEST_F(KeyHandleTest, OpenOrCreateKeepsExistingKeyAndCreatesMissingOne)
{
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_scratch, "Existing", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    const char value[] = "kept";
    RegSetValueExA(h, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
    RegCloseKey(h);

    KeyHandle key;
    EXPECT_EQ(S_OK, key.OpenOrCreate(m_scratch, "Existing"));
    ASSERT_NE(nullptr, key.Get());
    char buf[16] = {};
    DWORD cb = sizeof buf;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.Get(), "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb));
    EXPECT_STREQ("kept", buf);
    EXPECT_EQ(0u, SubkeyCount("Existing"));

    EXPECT_EQ(S_OK, key.OpenOrCreate(m_scratch, "New\\Deeper"));
    EXPECT_TRUE(Exists("New\\Deeper"));
    EXPECT_EQ(ERROR_SUCCESS, key.Close());
}

LONG WINAPI FailingCreate(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(KeyHandleTest, OpenOrCreateFailureIsConvertedAndKeepsHeldKey)
{
    KeyHandle key;
    ASSERT_EQ(S_OK, key.OpenOrCreate(m_scratch, "Held"));
    HKEY held = key.Get();
    testing_support::ScopedOp<decltype(platform::Ops::RegCreateKeyExA)> op(&platform::Ops::RegCreateKeyExA,
                                                                           &FailingCreate);
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), key.OpenOrCreate(m_scratch, "Missing"));
    EXPECT_EQ(held, key.Get());
}

TEST_F(KeyHandleTest, SetMultiStringWritesEveryStringAndTheFinalEmptyOne)
{
    struct Case {
        const char* text;
        DWORD cb;
    } cases[] = {
        {"a\0b\0", 5},
        {"", 1},
        {"abc\0", 5},
        {"one\0two\0three\0", 15},
    };
    KeyHandle key;
    ASSERT_EQ(S_OK, key.OpenOrCreate(m_scratch, "Multi"));
    for (const auto& c : cases) {
        EXPECT_EQ(ERROR_SUCCESS, key.View().SetMultiString("m", c.text));
        BYTE buf[32];
        DWORD cb = sizeof buf, type = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.Get(), "m", nullptr, &type, buf, &cb));
        EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
        EXPECT_EQ(c.cb, cb) << c.text;
        EXPECT_EQ(0, memcmp(c.text, buf, c.cb));
    }
    EXPECT_EQ(ERROR_SUCCESS, key.View().SetMultiString(nullptr, "x\0"));
    DWORD cb = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.Get(), nullptr, nullptr, nullptr, nullptr, &cb));
    EXPECT_EQ(3u, cb);
}

LONG WINAPI CountingClose(HKEY h)
{
    ++FakeState<CloseCount>::Current().closes;
    return platform::RealOps().RegCloseKey(h);
}

TEST_F(KeyHandleTest, CloseOpenAndLendingManageTheHandle)
{
    testing_support::ScopedOp<LONG(WINAPI*)(HKEY)> op(&platform::Ops::RegCloseKey, &CountingClose);
    KeyHandle key;
    EXPECT_EQ(ERROR_SUCCESS, key.Close());
    EXPECT_EQ(0, m_closed->closes);

    ASSERT_EQ(ERROR_SUCCESS, key.Open(m_scratch, "", KEY_READ));
    HKEY held = key.Get();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(m_scratch, "Nowhere", KEY_READ));
    EXPECT_EQ(held, key.Get());  // failure leaves the holder untouched
    EXPECT_EQ(0, m_closed->closes);

    Make("Other");
    ASSERT_EQ(ERROR_SUCCESS, key.Open(m_scratch, "Other", KEY_READ));
    EXPECT_EQ(1, m_closed->closes);  // the previous key was closed
    EXPECT_EQ(ERROR_SUCCESS, key.Close());
    EXPECT_EQ(2, m_closed->closes);
    EXPECT_EQ(nullptr, key.Get());

    {
        const KeyView borrowed(m_scratch);
        EXPECT_EQ(m_scratch, borrowed.Get());
        KeyHandle moved(std::move(key));  // key holds nothing now: nothing to close
        EXPECT_EQ(nullptr, moved.Get());
    }
    EXPECT_EQ(2, m_closed->closes);  // a view never closes its key
    {
        KeyHandle owner;
        ASSERT_EQ(ERROR_SUCCESS, owner.Open(m_scratch, "Other", KEY_READ));
    }
    EXPECT_EQ(3, m_closed->closes);  // destruction closes an owned key
}

}  // namespace
