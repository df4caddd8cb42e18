// Registration for the current user through the platform's registration
// tool (regsvr32 /n /i:user, and /u to remove it), in a prefix of its own:
// the user's tree read back key by key against the machine-wide one, and the
// machine's classes read back whole.
//
// Creating the object from the user's registration is not tried: Wine does
// not look classes up under HKEY_CURRENT_USER\Software\Classes (activation
// answers REGDB_E_CLASSNOTREG), so that part needs Windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "registration_support.h"
#include "tarnwick_h.h"
#include "tests/support/built_library.h"

namespace {

using namespace registration_test;

std::string InterfaceKeyPath()
{
    wchar_t wide[64] = {};
    StringFromGUID2(IID_IInvokerK318, wide, 64);
    std::string text = "Interface\\";
    for (const wchar_t* p = wide; *p != L'\0'; ++p)
        text += static_cast<char>(*p);
    return text;
}

// Every key the registration writes, relative to a classes key.
std::vector<std::string> OwnedPaths()
{
    return {kVersionedProgId, kProgId, ClassKeyPath(), "TypeLib\\" + LibIdText(), InterfaceKeyPath()};
}

const char kUserClasses[] = "Software\\Classes";
const char kMachineClasses[] = "Software\\Classes";

std::vector<RegistryTree> ReadOwned(HKEY root, const std::string& classes)
{
    std::vector<RegistryTree> trees;
    for (const std::string& path : OwnedPaths())
        trees.push_back(ReadTree(root, classes + "\\" + path));
    return trees;
}

bool NoneOwnedUnder(HKEY root, const std::string& classes)
{
    for (const std::string& path : OwnedPaths()) {
        if (KeyExists(root, classes + "\\" + path))
            return false;
    }
    return true;
}

// The machine's classes with one subtree left out.
RegistryTree Without(RegistryTree tree, const std::string& prefix)
{
    auto under = [&](const std::string& key) {
        return key.compare(0, prefix.size(), prefix) == 0 && (key.size() == prefix.size() || key[prefix.size()] == '\\' ||
                                                               key[prefix.size()] == '|');
    };
    std::erase_if(tree.keys, under);
    std::erase_if(tree.values, [&](const auto& entry) { return under(entry.first); });
    return tree;
}

DWORD RunRegsvr32(const std::string& switches)
{
    const ProcessResult run = RunProcess("regsvr32.exe " + switches + " \"" + BuiltLibraryPath() + "\"");
    return run.finished ? run.exitCode : ~0u;
}

void WipeEverywhere()
{
    WipeRegistration();
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (const std::string& path : OwnedPaths())
            RegDeleteTreeA(root, (std::string(kUserClasses) + "\\" + path).c_str());
    }
}

class PerUserRegistration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(BuiltLibraryPath().empty()) << "TARNWICK_BIN is not set";
        WipeEverywhere();
        ASSERT_TRUE(NoneOwnedUnder(HKEY_CURRENT_USER, kUserClasses));
        ASSERT_TRUE(NoneOwnedUnder(HKEY_LOCAL_MACHINE, kMachineClasses));
    }
    void TearDown() override { WipeEverywhere(); }
};

// The tree the user gets is the one the machine-wide registration writes,
// with the path of the library; removing it leaves nothing of ours, and the
// machine's classes end as they began.
TEST_F(PerUserRegistration, UserGetsTheMachineLayoutAndTheRoundTripLeavesNothing)
{
    ASSERT_EQ(RunRegsvr32("/s"), 0u);
    const std::vector<RegistryTree> machineLayout = ReadOwned(HKEY_LOCAL_MACHINE, kMachineClasses);
    for (const RegistryTree& tree : machineLayout)
        ASSERT_TRUE(tree.present);
    ASSERT_EQ(RunRegsvr32("/u /s"), 0u);
    ASSERT_TRUE(NoneOwnedUnder(HKEY_LOCAL_MACHINE, kMachineClasses));
    const RegistryTree machineBefore = ReadTree(HKEY_LOCAL_MACHINE, kMachineClasses);

    ASSERT_EQ(RunRegsvr32("/s /n /i:user"), 0u);
    const std::vector<RegistryTree> userLayout = ReadOwned(HKEY_CURRENT_USER, kUserClasses);
    ASSERT_EQ(userLayout.size(), machineLayout.size());
    for (size_t i = 0; i < userLayout.size(); ++i) {
        SCOPED_TRACE(OwnedPaths()[i]);
        EXPECT_EQ(userLayout[i], machineLayout[i]);
    }
    const RegistryTree classKey = ReadTree(HKEY_CURRENT_USER, std::string(kUserClasses) + "\\" + ClassKeyPath());
    const auto server = classKey.values.find("InprocServer32|");
    ASSERT_NE(server, classKey.values.end());
    EXPECT_EQ(server->second, Sz(BuiltLibraryPath()));
    // Wine's type library registration also writes the interface's key in
    // the other (32-bit) registry view past the redirection, which is the
    // machine's; everything else of the machine's classes stays as it was.
    const std::string otherViewInterface = "Wow6432Node\\" + InterfaceKeyPath();
    EXPECT_EQ(Without(ReadTree(HKEY_LOCAL_MACHINE, kMachineClasses), otherViewInterface),
              Without(machineBefore, otherViewInterface));

    ASSERT_EQ(RunRegsvr32("/u /s /n /i:user"), 0u);
    EXPECT_TRUE(NoneOwnedUnder(HKEY_CURRENT_USER, kUserClasses));
    EXPECT_EQ(ReadTree(HKEY_LOCAL_MACHINE, kMachineClasses), machineBefore);
    // The keys registration makes under the user's classes when missing are
    // not left behind empty.
    for (const char* parent : {"CLSID", "Interface", "TypeLib"}) {
        const RegistryTree left = ReadTree(HKEY_CURRENT_USER, std::string(kUserClasses) + "\\" + parent);
        EXPECT_FALSE(left.present && left.keys.size() == 1 && left.values.empty()) << parent;  // only itself
    }
}

// Any other command string fails the tool and leaves the user's registration
// and the machine's classes as they were.
TEST_F(PerUserRegistration, OtherCommandsFailAndChangeNothing)
{
    ASSERT_EQ(RunRegsvr32("/s /n /i:user"), 0u);
    const std::vector<RegistryTree> user = ReadOwned(HKEY_CURRENT_USER, kUserClasses);
    const RegistryTree machine = ReadTree(HKEY_LOCAL_MACHINE, kMachineClasses);

    for (const char* switches : {"/s /n /i:machine", "/s /n /i:", "/s /n /i:users", "/u /s /n /i:all",
                                 "/u /s /n /i:", "/u /s /n /i:\"user \""}) {
        SCOPED_TRACE(switches);
        EXPECT_NE(RunRegsvr32(switches), 0u);
        EXPECT_EQ(ReadOwned(HKEY_CURRENT_USER, kUserClasses), user);
        EXPECT_EQ(ReadTree(HKEY_LOCAL_MACHINE, kMachineClasses), machine);
    }
}

// The command is "user" in any case.
TEST_F(PerUserRegistration, CommandInCapitalsWorksToo)
{
    ASSERT_EQ(RunRegsvr32("/s /n /i:USER"), 0u);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(kUserClasses) + "\\" + ClassKeyPath()));
    ASSERT_EQ(RunRegsvr32("/u /s /n /i:User"), 0u);
    EXPECT_TRUE(NoneOwnedUnder(HKEY_CURRENT_USER, kUserClasses));
}

}  // namespace
