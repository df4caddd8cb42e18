// The interpreter's text conversions under a double-byte ANSI code page (936):
// a trail byte 0x5C is part of its character, never a backslash.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "registration/program.h"

namespace {

const char kRoot[] = "Software\\TarnwickProgramDbcsTest";

TEST(DoubleByteProgram, MultiStringKeepsTrailBackslashBytes)
{
    if (GetACP() != 936)
        GTEST_SKIP() << "needs code page 936";
    RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);

    // 0x81 0x5C is one character; the "0" after it stays a "0". The real
    // separator pair follows.
    const char text[] = "\x81\x5C" "0\\0";
    const StringEntry strings[] = {{"", 0}, {kRoot, 0}, {"V", 0}, {text, 0}, {nullptr, 0}};
    const DWORD words[] = {
        RegWord(REGOP_ROOT, 1), RegWord(REGOP_KEY, 1), RegWord(REGOP_ENTER), RegWord(REGOP_MULTI_SZ, 2, 3),
        RegWord(REGOP_LEAVE),   RegWord(REGOP_LEAVE),  RegWord(REGOP_END),
    };
    ReplacementTable repl;
    ASSERT_EQ(S_OK, RunRegistrationProgram(words, strings, nullptr, nullptr, repl, true));

    HKEY h;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kRoot, 0, KEY_READ, &h));
    BYTE buf[64];
    DWORD cb = sizeof buf, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "V", nullptr, &type, buf, &cb));
    RegCloseKey(h);
    RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);

    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    const std::vector<BYTE> expected = {0x81, 0x5C, '0', 0, 0};
    EXPECT_EQ(expected, std::vector<BYTE>(buf, buf + cb));
}

}  // namespace
