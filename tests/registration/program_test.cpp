// The registration program interpreter against scratch keys under HKEY_CURRENT_USER.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registration/program.h"
#include "registration/replacements.h"

namespace {

const char kRoot[] = "Software\\TarnwickProgramTest";
constexpr DWORD kHkcu = 1;  // 0x80000001

void Wipe()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
    RegDeleteKeyA(HKEY_CURRENT_USER, kRoot);
}

bool Exists(const std::string& sub)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

void MakeKey(const std::string& sub)
{
    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    RegCloseKey(h);
}

// The raw value; type 0xFFFFFFFF when it is absent.
struct Value {
    DWORD type = 0xFFFFFFFF;
    std::vector<BYTE> bytes;
};

Value Read(const std::string& sub, const char* name)
{
    Value v;
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return v;
    BYTE buf[256];
    DWORD cb = sizeof buf, type = 0;
    if (RegQueryValueExA(h, name, nullptr, &type, buf, &cb) == ERROR_SUCCESS) {
        v.type = type;
        v.bytes.assign(buf, buf + cb);
    }
    RegCloseKey(h);
    return v;
}

std::string Path(const char* rest = nullptr)
{
    std::string s = kRoot;
    if (rest != nullptr)
        s += std::string("\\") + rest;
    return s;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { Wipe(); }
    void TearDown() override { Wipe(); }
    ReplacementTable m_repl;
};

// Strings shared by the programs below.
enum : DWORD { S_EMPTY, S_ROOT, S_DEFAULT, S_CHILD, S_NAMED, S_NAMEDDATA, S_GRAND, S_STRAY, S_UNKNOWN, S_LAST };
const StringEntry kStrings[] = {
    {"", 0},
    {"Software\\TarnwickProgramTest", 0},
    {"root default", 0},
    {"Child", 0},
    {"Named", 0},
    {"named data", 0},
    {"Grand", 0},
    {"Stray", 0},
    {"%NoSuchName%", 1},
    {nullptr, 0},
};

// ROOT; KEY root = default; { KEY Child { SZ Named; KEY Grand } } ; LEAVE; END
const DWORD kTree[] = {
    RegWord(REGOP_ROOT, kHkcu),
    RegWord(REGOP_KEY, S_ROOT),
    RegWord(REGOP_SZ, 0, S_DEFAULT),
    RegWord(REGOP_ENTER),
    RegWord(REGOP_KEY, S_CHILD),
    RegWord(REGOP_ENTER),
    RegWord(REGOP_SZ, S_NAMED, S_NAMEDDATA),
    RegWord(REGOP_KEY, S_GRAND),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_END),
};

std::vector<BYTE> Sz(const char* s) { return std::vector<BYTE>(s, s + strlen(s) + 1); }

TEST_F(ProgramTest, RegistersTreeAndUnregistersIt)
{
    ASSERT_EQ(S_OK, RunRegistrationProgram(kTree, kStrings, nullptr, nullptr, m_repl, true));
    Value def = Read(Path(), nullptr);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), def.type);
    EXPECT_EQ(Sz("root default"), def.bytes);
    Value named = Read(Path("Child"), "Named");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), named.type);
    EXPECT_EQ(Sz("named data"), named.bytes);
    EXPECT_EQ(0xFFFFFFFFu, Read(Path(), "Named").type);  // not on the parent
    EXPECT_TRUE(Exists(Path("Child\\Grand")));

    ASSERT_EQ(S_OK, RunRegistrationProgram(kTree, kStrings, nullptr, nullptr, m_repl, false));
    EXPECT_FALSE(Exists(Path()));
    // A second unregister finds nothing and is no error.
    EXPECT_EQ(S_OK, RunRegistrationProgram(kTree, kStrings, nullptr, nullptr, m_repl, false));
}

TEST_F(ProgramTest, NoRemoveKeySurvivesUnregister)
{
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_NOREMOVE, S_ROOT),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, S_GRAND),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    ASSERT_TRUE(Exists(Path("Child\\Grand")));
    MakeKey(Path("Other"));
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, false));
    EXPECT_TRUE(Exists(Path()));
    EXPECT_TRUE(Exists(Path("Other")));
    EXPECT_FALSE(Exists(Path("Child")));
}

TEST_F(ProgramTest, ForceRemoveDeletesStraySubkeyOnRegister)
{
    MakeKey(Path("Child\\Stray\\Deep"));
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_FORCEREMOVE, S_CHILD),
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_SZ, 0, S_DEFAULT),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_TRUE(Exists(Path("Child")));
    EXPECT_FALSE(Exists(Path("Child\\Stray")));
    EXPECT_EQ(Sz("root default"), Read(Path("Child"), nullptr).bytes);
}

TEST_F(ProgramTest, AbsentOwnedKeyBesidePresentSiblingOnUnregister)
{
    // Root and Stray exist; Child (owned, with a block) does not.
    MakeKey(Path("Stray\\Keep"));
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_NOREMOVE, S_ROOT),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_NOREMOVE, S_STRAY),
        RegWord(REGOP_KEY, S_STRAY),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, S_GRAND),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    EXPECT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, false));
    EXPECT_TRUE(Exists(Path("Stray\\Keep")));
}

TEST_F(ProgramTest, FirstWordNotRootFailsAndTouchesNothing)
{
    const DWORD words[] = {
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_SZ, 0, S_DEFAULT),
        RegWord(REGOP_END),
    };
    EXPECT_EQ(E_FAIL, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_FALSE(Exists(Path()));
    EXPECT_EQ(E_INVALIDARG, RunRegistrationProgram(nullptr, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_EQ(E_INVALIDARG, RunRegistrationProgram(kTree, nullptr, nullptr, nullptr, m_repl, true));
}

TEST_F(ProgramTest, UnknownReplacementStopsAndKeepsEarlierWrites)
{
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_SZ, 0, S_DEFAULT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_SZ, S_NAMED, S_UNKNOWN),
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    EXPECT_EQ(E_FAIL, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_EQ(Sz("root default"), Read(Path(), nullptr).bytes);
    EXPECT_EQ(0xFFFFFFFFu, Read(Path(), "Named").type);
    EXPECT_FALSE(Exists(Path("Child")));
}

TEST_F(ProgramTest, WordsThatAreNoOpcodeStopTheRun)
{
    for (DWORD op : {4u, 12u, 13u, 14u, 15u}) {
        SCOPED_TRACE(op);
        Wipe();
        const DWORD words[] = {
            RegWord(REGOP_ROOT, kHkcu),
            RegWord(REGOP_KEY, S_ROOT),
            RegWord(REGOP_ENTER),
            RegWord(op, S_CHILD, S_NAMED),
            RegWord(REGOP_SZ, S_NAMED, S_NAMEDDATA),
            RegWord(REGOP_KEY, S_CHILD),
            RegWord(REGOP_LEAVE),
            RegWord(REGOP_LEAVE),
            RegWord(REGOP_END),
        };
        for (bool reg : {true, false})
            EXPECT_EQ(E_FAIL, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, reg));
        EXPECT_TRUE(Exists(Path()));
        EXPECT_EQ(0xFFFFFFFFu, Read(Path(), "Named").type);
        EXPECT_FALSE(Exists(Path("Child")));
    }
}

TEST_F(ProgramTest, UnregisteringABlockWithNoKeyBeforeItFailsAndDeletesNothing)
{
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_ENTER),  // no key before this block
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    MakeKey(Path("Child"));
    MakeKey(Path("Stray"));
    EXPECT_EQ(E_FAIL, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, false));
    EXPECT_TRUE(Exists(Path("Child")));
    EXPECT_TRUE(Exists(Path("Stray")));
}

TEST_F(ProgramTest, StringValueExpandsItsDataBeforeItsName)
{
    // The data entry has no text (S_FALSE), the name expands cleanly (S_OK):
    // the level answers the name's status, the one recorded last.
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_SZ, S_NAMED, S_LAST),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    EXPECT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_EQ(Sz(""), Read(Path(), "Named").bytes);
}

// One value opcode on the scratch key, with its data from the text.
struct ValueCase {
    DWORD op;
    const char* text;
    HRESULT hr;
    DWORD type;
    std::vector<BYTE> bytes;
};

TEST_F(ProgramTest, ValueConversions)
{
    const ValueCase cases[] = {
        {REGOP_BINARY, "0A1b", S_OK, REG_BINARY, {0x0A, 0x1B}},
        {REGOP_BINARY, "zz", S_OK, REG_BINARY, {0x00}},
        {REGOP_BINARY, "F0g7", S_OK, REG_BINARY, {0xF0, 0x07}},
        {REGOP_BINARY, "abc", E_FAIL, 0xFFFFFFFF, {}},
        {REGOP_MULTI_SZ, "a\\0b\\0", S_OK, REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
        {REGOP_MULTI_SZ, "x\\1\\0", S_OK, REG_MULTI_SZ, {'x', '\\', '1', 0, 0}},
        // Without the closing pair the value still ends with an empty string.
        {REGOP_MULTI_SZ, "ab", S_OK, REG_MULTI_SZ, {'a', 'b', 0, 0}},
        {REGOP_MULTI_SZ, "", S_OK, REG_MULTI_SZ, {0}},
        {REGOP_DWORD, "123", S_OK, REG_DWORD, {123, 0, 0, 0}},
        {REGOP_DWORD, "4294967295", S_OK, REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
        {REGOP_DWORD, "x", E_FAIL, 0xFFFFFFFF, {}},
        {REGOP_SZ, "plain", S_OK, REG_SZ, {'p', 'l', 'a', 'i', 'n', 0}},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        Wipe();
        MakeKey(Path());
        const StringEntry strings[] = {
            {"", 0}, {kRoot, 0}, {"V", 0}, {c.text, 0}, {nullptr, 0},
        };
        const DwordEntry dwords[] = {{3, 1}};
        const BinaryEntry binaries[] = {{nullptr, 3, 1}};
        const DWORD data = c.op == REGOP_SZ || c.op == REGOP_MULTI_SZ ? 3 : 0;
        const DWORD words[] = {
            RegWord(REGOP_ROOT, kHkcu),
            RegWord(REGOP_KEY, 1),
            RegWord(REGOP_ENTER),
            RegWord(c.op, 2, data),
            RegWord(REGOP_LEAVE),
            RegWord(REGOP_LEAVE),
            RegWord(REGOP_END),
        };
        EXPECT_EQ(c.hr, RunRegistrationProgram(words, strings, dwords, binaries, m_repl, true));
        Value v = Read(Path(), "V");
        EXPECT_EQ(c.type, v.type);
        EXPECT_EQ(c.bytes, v.bytes);
    }
}

TEST_F(ProgramTest, TableValuesAndReplacementsAreWritten)
{
    ASSERT_EQ(S_OK, m_repl.Add("Where", "Sub"));
    const BYTE raw[] = {1, 2, 3};
    const StringEntry strings[] = {
        {"", 0}, {kRoot, 0}, {"%WHERE%", 1}, {"N", 0}, {"B", 0}, {"%where%-%%", 1}, {nullptr, 0},
    };
    const DwordEntry dwords[] = {{0xDEADBEEF, 0}};
    const BinaryEntry binaries[] = {{raw, sizeof raw, 0}};
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, 1),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, 2),
        RegWord(REGOP_SZ, 0, 5),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_DWORD, 3, 0),
        RegWord(REGOP_BINARY, 4, 0),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, strings, dwords, binaries, m_repl, true));
    EXPECT_EQ(Sz("Sub-%"), Read(Path("Sub"), nullptr).bytes);
    EXPECT_EQ((std::vector<BYTE>{0xEF, 0xBE, 0xAD, 0xDE}), Read(Path("Sub"), "N").bytes);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), Read(Path("Sub"), "B").bytes);
}

}  // namespace

TEST_F(ProgramTest, ValueOpcodeWithoutItsTableIsRefused)
{
    const StringEntry strings[] = {{"", 0}, {kRoot, 0}, {"V", 0}, {nullptr, 0}};
    for (DWORD op : {DWORD(REGOP_DWORD), DWORD(REGOP_BINARY)}) {
        SCOPED_TRACE(op);
        const DWORD words[] = {
            RegWord(REGOP_ROOT, kHkcu), RegWord(REGOP_KEY, 1), RegWord(REGOP_ENTER), RegWord(op, 2, 0),
            RegWord(REGOP_LEAVE),       RegWord(REGOP_LEAVE),  RegWord(REGOP_END),
        };
        EXPECT_EQ(E_INVALIDARG, RunRegistrationProgram(words, strings, nullptr, nullptr, m_repl, true));
        EXPECT_EQ(0xFFFFFFFFu, Read(Path(), "V").type);
    }
}

TEST_F(ProgramTest, UnnamedValueBeforeAnyKeyGoesToTheLevelKeyWhichStaysOpen)
{
    const DWORD words[] = {
        RegWord(REGOP_ROOT, kHkcu),
        RegWord(REGOP_KEY, S_ROOT),
        RegWord(REGOP_ENTER),
        RegWord(REGOP_SZ, 0, S_NAMEDDATA),       // no key yet: the root key's default
        RegWord(REGOP_SZ, S_NAMED, S_DEFAULT),   // named: on the level key too
        RegWord(REGOP_KEY, S_CHILD),
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_SZ, 0, S_DEFAULT),         // the outer level's key is still usable
        RegWord(REGOP_LEAVE),
        RegWord(REGOP_END),
    };
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, kStrings, nullptr, nullptr, m_repl, true));
    EXPECT_EQ(Sz("root default"), Read(Path(), nullptr).bytes);
    EXPECT_EQ(Sz("root default"), Read(Path(), "Named").bytes);
    EXPECT_TRUE(Exists(Path("Child")));
    EXPECT_EQ(0xFFFFFFFFu, Read(Path("Child"), nullptr).type);
}
