// The library registered and unregistered by the platform's registration
// tool, as an installer does it, and the registry read back afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <cstring>
#include <string>
#include <vector>

#include "registration_support.h"
#include "tarnwick_h.h"
#include "tests/support/built_library.h"

namespace {

using namespace registration_test;

using EntryPointFn = HRESULT(STDAPICALLTYPE*)();

const char* const kFriendlyName = "CInvokerK318 Object";

// One value the registration writes under HKEY_CLASSES_ROOT.
struct ExpectedValue {
    std::string key;
    std::string name;  // "" is the default value
    std::string data;
};

// The whole layout for a library at the given path, in writing order.
std::vector<ExpectedValue> ExpectedLayout(const std::string& libraryPath)
{
    const std::string clsid = ClassKeyPath();
    return {
        {kVersionedProgId, "", kFriendlyName},
        {std::string(kVersionedProgId) + "\\CLSID", "", ClassIdText()},
        {kProgId, "", kFriendlyName},
        {std::string(kProgId) + "\\CLSID", "", ClassIdText()},
        {std::string(kProgId) + "\\CurVer", "", kVersionedProgId},
        {clsid, "", kFriendlyName},
        {clsid + "\\ProgID", "", kVersionedProgId},
        {clsid + "\\VersionIndependentProgID", "", kProgId},
        {clsid + "\\InprocServer32", "", libraryPath},
        {clsid + "\\InprocServer32", "ThreadingModel", "apartment"},
        {clsid, "AppID", ""},
        {clsid + "\\TypeLib", "", LibIdText()},
    };
}

// The three trees the class owns, each exactly as the layout describes it:
// keys with no values (CLSID\{CLSID}\Programmable) included, nothing else.
struct OwnedTrees {
    RegistryTree versioned, independent, classKey;
    bool operator==(const OwnedTrees&) const = default;
};

OwnedTrees ReadOwnedTrees()
{
    return {ReadTree(HKEY_CLASSES_ROOT, kVersionedProgId), ReadTree(HKEY_CLASSES_ROOT, kProgId),
            ReadTree(HKEY_CLASSES_ROOT, ClassKeyPath())};
}

OwnedTrees ExpectedOwnedTrees(const std::string& libraryPath)
{
    OwnedTrees trees;
    struct Root {
        std::string path;
        RegistryTree* tree;
    };
    const Root roots[] = {{std::string(kVersionedProgId), &trees.versioned},
                          {std::string(kProgId), &trees.independent},
                          {ClassKeyPath(), &trees.classKey}};
    for (const Root& root : roots) {
        root.tree->present = true;
        root.tree->keys.insert("");
    }
    trees.classKey.keys.insert("Programmable");
    for (const ExpectedValue& row : ExpectedLayout(libraryPath)) {
        for (const Root& root : roots) {
            if (row.key.compare(0, root.path.size(), root.path) != 0)
                continue;
            if (row.key.size() != root.path.size() && row.key[root.path.size()] != '\\')
                continue;
            const std::string relative = row.key.size() == root.path.size() ? "" : row.key.substr(root.path.size() + 1);
            root.tree->keys.insert(relative);
            root.tree->values[relative + "|" + row.name] = Sz(row.data);
        }
    }
    return trees;
}

void PrintTo(const OwnedTrees& trees, std::ostream* out)
{
    *out << "\n" << kVersionedProgId << ":\n" << Describe(trees.versioned) << kProgId << ":\n"
         << Describe(trees.independent) << ClassKeyPath() << ":\n" << Describe(trees.classKey);
}

bool AnyClassKeyExists()
{
    return KeyExists(HKEY_CLASSES_ROOT, kVersionedProgId) || KeyExists(HKEY_CLASSES_ROOT, kProgId) ||
           KeyExists(HKEY_CLASSES_ROOT, ClassKeyPath());
}

bool TypeLibraryRegistered()
{
    ITypeLib* pTypeLib = nullptr;
    if (FAILED(LoadRegTypeLib(LIBID_Tarnwick, 1, 0, 0, &pTypeLib)))
        return false;
    pTypeLib->Release();
    return true;
}

std::string DefaultValueOf(HKEY root, const std::string& path)
{
    const RegistryTree tree = ReadTree(root, path);
    const auto it = tree.values.find("|");
    if (it == tree.values.end() || it->second.type != REG_SZ)
        return {};
    return std::string(it->second.bytes.c_str());
}

std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\') + 1);
}

// Every test starts from a library that is not registered.
class Registration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CoInitialize(nullptr); }
    static void TearDownTestSuite()
    {
        CoFreeUnusedLibrariesEx(0, 0);
        CoUninitialize();
    }

    void SetUp() override
    {
        ASSERT_FALSE(BuiltLibraryPath().empty()) << "TARNWICK_BIN is not set";
        WipeRegistration();
        ASSERT_FALSE(AnyClassKeyExists());
        ASSERT_FALSE(TypeLibraryRegistered());
    }
};

TEST_F(Registration, WritesEveryValueOfTheLayout)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    for (const ExpectedValue& row : ExpectedLayout(BuiltLibraryPath())) {
        SCOPED_TRACE(row.key + " value \"" + row.name + "\"");
        HKEY hKey = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, row.key.c_str(), 0, KEY_READ, &hKey), ERROR_SUCCESS);
        char data[1024] = {};
        DWORD cbData = sizeof data;
        DWORD type = REG_NONE;
        const LONG status = RegQueryValueExA(hKey, row.name.empty() ? nullptr : row.name.c_str(), nullptr, &type,
                                             reinterpret_cast<BYTE*>(data), &cbData);
        RegCloseKey(hKey);
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(cbData, row.data.size() + 1);  // the terminating zero is written too
        EXPECT_EQ(std::string(data, cbData), row.data + std::string(1, '\0'));
    }
}

TEST_F(Registration, WritesNothingBeyondTheLayout)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    const OwnedTrees expected = ExpectedOwnedTrees(BuiltLibraryPath());
    const OwnedTrees written = ReadOwnedTrees();
    EXPECT_EQ(written, expected);

    // The CLSID text is the upper-case braced form, and Programmable is empty.
    const std::string clsid = ClassIdText();
    EXPECT_EQ(clsid.size(), 38u);
    EXPECT_EQ(clsid.front(), '{');
    EXPECT_EQ(clsid.back(), '}');
    EXPECT_EQ(clsid.find_first_of("abcdef"), std::string::npos);
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (ClassKeyPath() + "\\Programmable").c_str(), 0, KEY_READ, &hKey),
              ERROR_SUCCESS);
    DWORD cSubKeys = ~0u, cValues = ~0u;
    EXPECT_EQ(RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    EXPECT_EQ(cSubKeys, 0u);
    EXPECT_EQ(cValues, 0u);
}

TEST_F(Registration, RegistersTheTypeLibraryFromTheLibraryFile)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    ITypeLib* pTypeLib = nullptr;
    ASSERT_EQ(LoadRegTypeLib(LIBID_Tarnwick, 1, 0, 0, &pTypeLib), S_OK);
    TLIBATTR* pAttr = nullptr;
    ASSERT_EQ(pTypeLib->GetLibAttr(&pAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pAttr->guid, LIBID_Tarnwick));
    EXPECT_EQ(pAttr->wMajorVerNum, 1);
    EXPECT_EQ(pAttr->wMinorVerNum, 0);
    pTypeLib->ReleaseTLibAttr(pAttr);
    pTypeLib->Release();

    BSTR path = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(LIBID_Tarnwick, 1, 0, 0, &path), S_OK);
    EXPECT_EQ(std::wstring(path), Widen(BuiltLibraryPath()));
    SysFreeString(path);

    // The help folder is the library's folder with its trailing separator.
    EXPECT_EQ(DefaultValueOf(HKEY_CLASSES_ROOT, "TypeLib\\" + LibIdText() + "\\1.0\\HELPDIR"),
              FolderOf(BuiltLibraryPath()));
}

TEST_F(Registration, ObjectsMadeByProgIdGiveTheirClassInformation)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    for (const char* progId : {kProgId, kVersionedProgId}) {
        SCOPED_TRACE(progId);
        CLSID clsid = {};
        ASSERT_EQ(CLSIDFromProgID(Widen(progId).c_str(), &clsid), S_OK);
        EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CInvokerK318));

        IProvideClassInfo* pInfo = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProvideClassInfo,
                                   reinterpret_cast<void**>(&pInfo)),
                  S_OK);
        ITypeInfo* pTypeInfo = nullptr;
        ASSERT_EQ(pInfo->GetClassInfo(&pTypeInfo), S_OK);
        TYPEATTR* pAttr = nullptr;
        ASSERT_EQ(pTypeInfo->GetTypeAttr(&pAttr), S_OK);
        EXPECT_EQ(pAttr->typekind, TKIND_COCLASS);
        EXPECT_TRUE(IsEqualGUID(pAttr->guid, CLSID_CInvokerK318));
        pTypeInfo->ReleaseTypeAttr(pAttr);
        pTypeInfo->Release();
        pInfo->Release();
    }
}

TEST_F(Registration, LeavesApplicationIdentifiersAlone)
{
    const RegistryTree before = ReadTree(HKEY_CLASSES_ROOT, "AppID");
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    const RegistryTree after = ReadTree(HKEY_CLASSES_ROOT, "AppID");

    EXPECT_EQ(after, before);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "AppID\\Tarnwick.DLL"));
    for (const std::string& key : after.keys) {
        const auto it = after.values.find(key + "|");
        if (it != after.values.end()) {
            EXPECT_NE(std::string(it->second.bytes.c_str()), "Tarnwick") << "AppID\\" << key;
        }
    }
}

TEST_F(Registration, RegisteringAgainGivesTheSameTree)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    const OwnedTrees first = ReadOwnedTrees();
    const RegistryTree firstTypeLib = ReadTree(HKEY_CLASSES_ROOT, "TypeLib\\" + LibIdText());

    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    const OwnedTrees second = ReadOwnedTrees();
    EXPECT_EQ(second, first);
    EXPECT_EQ(ReadTree(HKEY_CLASSES_ROOT, "TypeLib\\" + LibIdText()), firstTypeLib);
    EXPECT_EQ(second, ExpectedOwnedTrees(BuiltLibraryPath()));
}

TEST_F(Registration, RebuildsTheClassKeyButKeepsExtrasOfTheProgIds)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    // Entries someone else put there.
    const std::string clsid = ClassKeyPath();
    WriteSz(HKEY_CLASSES_ROOT, clsid + "\\Stray", "Note", "left over");
    WriteSz(HKEY_CLASSES_ROOT, clsid + "\\Programmable\\Stray", nullptr, "left over");
    WriteSz(HKEY_CLASSES_ROOT, clsid, "StrayValue", "left over");
    WriteSz(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", "StrayValue", "left over");
    for (const char* progId : {kProgId, kVersionedProgId}) {
        WriteSz(HKEY_CLASSES_ROOT, progId, "StrayValue", "kept");
        WriteSz(HKEY_CLASSES_ROOT, std::string(progId) + "\\Stray", nullptr, "kept");
    }

    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);

    OwnedTrees expected = ExpectedOwnedTrees(BuiltLibraryPath());
    for (RegistryTree* tree : {&expected.versioned, &expected.independent}) {
        tree->values["|StrayValue"] = Sz("kept");
        tree->keys.insert("Stray");
        tree->values["Stray|"] = Sz("kept");
    }
    const OwnedTrees written = ReadOwnedTrees();
    EXPECT_EQ(written, expected);
}

TEST_F(Registration, RemovesEveryKeyOfTheClassAndNothingElse)
{
    // Another class's key beside this one's.
    const std::string sibling = "CLSID\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
    WriteSz(HKEY_CLASSES_ROOT, sibling, nullptr, "Another class");
    WriteSz(HKEY_CLASSES_ROOT, sibling + "\\InprocServer32", "ThreadingModel", "both");
    const RegistryTree siblingBefore = ReadTree(HKEY_CLASSES_ROOT, sibling);

    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    ASSERT_TRUE(AnyClassKeyExists());
    // The ProgID keys go whatever they hold.
    WriteSz(HKEY_CLASSES_ROOT, std::string(kProgId) + "\\Stray", "Note", "goes too");
    WriteSz(HKEY_CLASSES_ROOT, kVersionedProgId, "StrayValue", "goes too");

    EXPECT_EQ(Regsvr32(BuiltLibraryPath(), true), 0u);

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kVersionedProgId));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kProgId));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKeyPath() + "\\InprocServer32"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKeyPath()));
    EXPECT_FALSE(TypeLibraryRegistered());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_EQ(ReadTree(HKEY_CLASSES_ROOT, sibling), siblingBefore);

    RegDeleteTreeA(HKEY_CLASSES_ROOT, sibling.c_str());
}

TEST_F(Registration, UnregisteringWithTheClassKeysAbsentRemovesTheTypeLibrary)
{
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    for (const std::string& key : {std::string(kVersionedProgId), std::string(kProgId), ClassKeyPath()})
        ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str()), ERROR_SUCCESS);
    ASSERT_TRUE(TypeLibraryRegistered());

    EXPECT_EQ(Regsvr32(BuiltLibraryPath(), true), 0u);

    EXPECT_FALSE(TypeLibraryRegistered());
    EXPECT_FALSE(AnyClassKeyExists());
}

// The library of the other bitness registered beside this one, as its
// registration leaves the registry on Wine: its class and ProgID keys in its
// own view, its path under the TypeLib key both views share, and its interface
// key (this registration writes the 32-bit view's too). Removing this library
// leaves all of that whole. A 32-bit system has no other view. Under WoW64
// Wine, as on Windows 7 and later, the two views share the ProgID keys: both
// registrations write the same ones, and removing either removes them.
struct OtherBitness {
    const char* classes;  // its view's classes key, as this build reaches it
    REGSAM view;          // and the access flag that reaches it
    const char* path;
    const char* platform; // its subkey under the type library's version
    const char* ours;
    bool ownProgIds;      // whether its view has ProgID keys of its own
};
#ifdef _WIN64
constexpr OtherBitness kOther = {"Software\\Classes\\Wow6432Node\\", 0,
                                 "C:\\Program Files (x86)\\Tarn Wick\\Tarnwick.dll", "win32", "win64", true};
#else
constexpr OtherBitness kOther = {"Software\\Classes\\", KEY_WOW64_64KEY,
                                 "C:\\Program Files\\Tarn Wick\\Tarnwick.dll", "win64", "win32", false};
#endif

// With nothing of this bitness registered, the answer is the platform's own
// answer for removing a type library that is not registered, also where the
// library of the other bitness has its path under the shared key (which
// stays).
TEST_F(Registration, UnregisteringWhenNothingIsRegisteredAnswersAsTheTypeLibraryRemoval)
{
    const HRESULT platformAnswer = UnRegisterTypeLib(LIBID_Tarnwick, 1, 0, 0, kBuildSysKind);
    const std::string otherPath = "TypeLib\\" + LibIdText() + "\\1.0\\0\\" + kOther.platform;
    for (const bool otherRegistered : {false, true}) {
        SCOPED_TRACE(otherRegistered ? "the other bitness registered" : "nothing registered");
        if (otherRegistered)
            WriteSz(HKEY_CLASSES_ROOT, otherPath, nullptr, kOther.path, 0);
        HMODULE hLibrary = LoadLibraryA(BuiltLibraryPath().c_str());
        ASSERT_NE(hLibrary, nullptr);
        const auto unregister =
            reinterpret_cast<EntryPointFn>(reinterpret_cast<void*>(GetProcAddress(hLibrary, "DllUnregisterServer")));
        ASSERT_NE(unregister, nullptr);
        EXPECT_EQ(unregister(), SUCCEEDED(platformAnswer) ? S_OK : platformAnswer);
        EXPECT_FALSE(AnyClassKeyExists());
        FreeLibrary(hLibrary);

        // The tool reports the failure, if any, by its exit code.
        EXPECT_EQ(Regsvr32(BuiltLibraryPath(), true) == 0, SUCCEEDED(platformAnswer));
        EXPECT_FALSE(AnyClassKeyExists());
        EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, otherPath), otherRegistered);
    }
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ("TypeLib\\" + LibIdText()).c_str());
}

TEST_F(Registration, UnregisteringLeavesTheOtherBitnessRegistrationWhole)
{
#ifndef _WIN64
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        GTEST_SKIP() << "a 32-bit system has one registry view";
#endif
    ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
    const std::string otherView = kOther.classes;
    const std::string interfaceKey = "Interface\\{E072AFD3-CE13-4A32-9BB7-4400F54C0528}";
    const std::string version = "TypeLib\\" + LibIdText() + "\\1.0";
    struct Planted {
        std::string key;
        const char* name;
        std::string data;
    };
    std::vector<Planted> planted = {
        {otherView + ClassKeyPath(), nullptr, kFriendlyName},
        {otherView + ClassKeyPath() + "\\InprocServer32", nullptr, kOther.path},
        {otherView + interfaceKey, nullptr, "IInvokerK318"},
        {"Software\\Classes\\" + version + "\\0\\" + kOther.platform, nullptr, kOther.path},
    };
    std::vector<std::string> keptPaths = {otherView + ClassKeyPath(), otherView + interfaceKey,
                                          "Software\\Classes\\" + version + "\\0\\" + kOther.platform,
                                          "Software\\Classes\\" + version + "\\FLAGS",
                                          "Software\\Classes\\" + version + "\\HELPDIR"};
    if (kOther.ownProgIds) {
        for (const char* progId : {kVersionedProgId, kProgId}) {
            planted.push_back({otherView + progId, nullptr, kFriendlyName});
            planted.push_back({otherView + progId + "\\CLSID", nullptr, ClassIdText()});
            keptPaths.push_back(otherView + progId);
        }
    }
    for (const Planted& p : planted)
        WriteSz(HKEY_LOCAL_MACHINE, p.key, p.name, p.data, kOther.view);
    std::vector<RegistryTree> kept;
    for (const std::string& path : keptPaths) {
        kept.push_back(ReadTree(HKEY_LOCAL_MACHINE, path, kOther.view));
        ASSERT_TRUE(kept.back().present) << path;
    }

    EXPECT_EQ(Regsvr32(BuiltLibraryPath(), true), 0u);

    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(ReadTree(HKEY_LOCAL_MACHINE, keptPaths[i], kOther.view), kept[i]) << keptPaths[i];
    // This library's own share is gone.
    EXPECT_FALSE(AnyClassKeyExists());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, version + "\\0\\" + kOther.ours));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, interfaceKey));

    for (const std::string& path : {otherView + kVersionedProgId, otherView + kProgId, otherView + ClassKeyPath(),
                                    otherView + interfaceKey, "Software\\Classes\\TypeLib\\" + LibIdText()}) {
        HKEY classes = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes", 0, KEY_ALL_ACCESS | kOther.view, &classes) ==
            ERROR_SUCCESS) {
            RegDeleteTreeA(classes, path.substr(std::strlen("Software\\Classes\\")).c_str());
            RegCloseKey(classes);
        }
    }
}

// Copies of the library in other folders.
class RegistrationElsewhere : public Registration {
protected:
    void TearDown() override
    {
        WipeRegistration();
        for (const std::wstring& copy : m_copies)
            DeleteFileW((L"\\\\?\\" + copy).c_str());
    }

    // Copies the built library to a path; false when the platform refuses it.
    bool CopyLibraryTo(const std::wstring& path)
    {
        if (!MakeParentFolders(path))
            return false;
        if (!CopyFileW(Widen(BuiltLibraryPath()).c_str(), (L"\\\\?\\" + path).c_str(), FALSE))
            return false;
        m_copies.push_back(path);
        return true;
    }

    std::vector<std::wstring> m_copies;
};

TEST_F(RegistrationElsewhere, PathWithSpacesIsWrittenUnquoted)
{
    const std::string path = "C:\\Program Files\\Tarn Wick Test\\Tarnwick.dll";
    ASSERT_TRUE(CopyLibraryTo(Widen(path)));

    ASSERT_EQ(Regsvr32(path), 0u);

    const OwnedTrees written = ReadOwnedTrees();
    const OwnedTrees expected = ExpectedOwnedTrees(path);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(DefaultValueOf(HKEY_CLASSES_ROOT, ClassKeyPath() + "\\InprocServer32"), path);
    BSTR typeLibPath = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(LIBID_Tarnwick, 1, 0, 0, &typeLibPath), S_OK);
    EXPECT_EQ(std::wstring(typeLibPath), Widen(path));
    SysFreeString(typeLibPath);

    EXPECT_EQ(Regsvr32(path, true), 0u);
    EXPECT_FALSE(AnyClassKeyExists());
}

// A path of exactly the given length: C:\tarnwick-<length>\ddd...\Tarnwick.dll.
std::string PathOfLength(size_t length)
{
    const std::string head = "C:\\tarnwick-" + std::to_string(length) + "\\";
    const std::string tail = "\\Tarnwick.dll";
    std::string middle;
    size_t remaining = length - head.size() - tail.size();
    while (remaining > 120) {
        middle += std::string(100, 'd') + "\\";
        remaining -= 101;
    }
    middle += std::string(remaining, 'd');
    return head + middle + tail;
}

struct PathLengthCase {
    size_t length;
    HRESULT expected;
};

class RegistrationAtPathLength : public RegistrationElsewhere,
                                 public ::testing::WithParamInterface<PathLengthCase> {};

// The module path buffer holds 259 characters and the terminator; a longer
// path fails before the first key is written.
TEST_P(RegistrationAtPathLength, RegistersOnlyWhenThePathFits)
{
    const PathLengthCase& c = GetParam();
    const std::string path = PathOfLength(c.length);
    ASSERT_EQ(path.size(), c.length);
    ASSERT_TRUE(CopyLibraryTo(Widen(path))) << "error " << GetLastError();

    HMODULE hLibrary = LoadLibraryW(Widen(path).c_str());
    ASSERT_NE(hLibrary, nullptr) << "the platform cannot load a library from a path of " << c.length
                                 << " characters, error " << GetLastError();
    wchar_t loadedFrom[1024] = {};
    GetModuleFileNameW(hLibrary, loadedFrom, 1024);
    EXPECT_EQ(std::wstring(loadedFrom), Widen(path));
    const auto registerServer =
        reinterpret_cast<EntryPointFn>(reinterpret_cast<void*>(GetProcAddress(hLibrary, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    const HRESULT hr = registerServer();
    FreeLibrary(hLibrary);

    EXPECT_EQ(hr, c.expected);
    if (SUCCEEDED(c.expected)) {
        EXPECT_EQ(ReadOwnedTrees(), ExpectedOwnedTrees(path));
        EXPECT_TRUE(TypeLibraryRegistered());
    } else {
        EXPECT_FALSE(AnyClassKeyExists());
        EXPECT_FALSE(TypeLibraryRegistered());
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, RegistrationAtPathLength,
                         ::testing::Values(PathLengthCase{259, S_OK},
                                           PathLengthCase{260, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
                                           PathLengthCase{300, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)}),
                         [](const ::testing::TestParamInfo<PathLengthCase>& info) {
                             return "Length" + std::to_string(info.param.length);
                         });

}  // namespace
