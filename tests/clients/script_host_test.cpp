// Page-style scripts run by the platform's console script host against the
// registered library: the objects are made by ProgID and called late-bound.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "registration_support.h"

namespace {

using namespace registration_test;

const char* const kSuccessLine = "TARNWICK SCRIPT OK";

struct ScriptCase {
    const char* file;
    DWORD unregisteredCode;  // the script's code for "the first ProgID cannot be created"
};

ProcessResult RunScript(const char* file)
{
    return RunProcess("cscript.exe //nologo \"" + ScriptFolder() + "\\" + file + "\"");
}

class ScriptHost : public ::testing::TestWithParam<ScriptCase> {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(BuiltLibraryPath().empty()) << "TARNWICK_BIN is not set";
        ASSERT_FALSE(ScriptFolder().empty()) << "TARNWICK_REGISTRATION_SOURCES is not set";
        WipeRegistration();
        ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    }
    void TearDown() override { WipeRegistration(); }
};

// A script that stops on an unexpected error ends with 0 as well, so success
// is the exit code together with the last line only a complete run prints.
TEST_P(ScriptHost, EveryMethodAnswersByBothProgIds)
{
    const ProcessResult run = RunScript(GetParam().file);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find(kSuccessLine), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("FAIL"), std::string::npos) << run.output;
}

TEST_P(ScriptHost, NoObjectOnceUnregistered)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath(), true), 0u);

    const ProcessResult run = RunScript(GetParam().file);
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.exitCode, GetParam().unregisteredCode) << run.output;
    EXPECT_EQ(run.output.find(kSuccessLine), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptHost,
                         ::testing::Values(ScriptCase{"invoker_check.js", 21}, ScriptCase{"invoker_check.vbs", 61}),
                         [](const ::testing::TestParamInfo<ScriptCase>& info) {
                             return std::string(info.param.file).substr(std::string(info.param.file).find('.') + 1) ==
                                            "js"
                                        ? std::string("JScript")
                                        : std::string("VBScript");
                         });

}  // namespace
