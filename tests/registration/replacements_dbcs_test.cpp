// Expansion of references in double-byte text (process ANSI code page 936).
#include <gtest/gtest.h>

#include <string>

#include "registration/replacements.h"

namespace {

TEST(DoubleByteExpansion, RunsUnderCodePage936)
{
    ASSERT_EQ(936u, GetACP());
    ASSERT_TRUE(IsDBCSLeadByte(0x81));
    ASSERT_TRUE(IsDBCSLeadByte(0x95));
}

TEST(DoubleByteExpansion, TrailBytesAreNeverSeparators)
{
    if (GetACP() != 936)
        GTEST_SKIP() << "needs code page 936";
    ReplacementTable t;
    ASSERT_EQ(S_OK, t.Add("Module", "M"));
    ASSERT_EQ(S_OK, t.Add("\x81\x25", "pct"));     // a name whose trail byte is '%'
    ASSERT_EQ(S_OK, t.Add("\x95\x5C", "slash"));   // a name whose trail byte is '\'
    ASSERT_EQ(S_OK, t.Add("\x81", "lead"));        // what a byte-wise search would find
    struct Case {
        const char* text;
        HRESULT hr;
        const char* out;
    } cases[] = {
        {"\x81\x25", S_OK, "\x81\x25"},                 // not the start of a reference
        {"a\x95\x5C" "b", S_OK, "a\x95\x5C" "b"},       // both bytes copied whole
        {"%\x81\x25%", S_OK, "pct"},                    // the name runs past the trail byte
        {"%\x95\x5C%", S_OK, "slash"},
        {"\x81%%Module%", S_OK, "\x81%M"},              // "\x81%" is one character
        {"\x81%Module%", E_FAIL, nullptr},              // so this "%" is unclosed
        {"%\x81\x25", E_FAIL, nullptr},                 // no closing "%"
        {"\xD6\xD0%Module%\xCE\xC4", S_OK, "\xD6\xD0M\xCE\xC4"},
    };
    for (const auto& c : cases) {
        StringEntry table[] = {{c.text, 1}, {nullptr, 0}};
        char* psz = nullptr;
        bool owned = false;
        EXPECT_EQ(c.hr, ExpandReplacements(table, 0, t, &psz, &owned)) << c.text;
        if (c.out != nullptr) {
            ASSERT_NE(nullptr, psz) << c.text;
            EXPECT_EQ(std::string(c.out), std::string(psz)) << c.text;
        } else {
            EXPECT_EQ(nullptr, psz);
        }
        if (owned)
            FreeExpandedText(psz);
    }
}

}  // namespace
