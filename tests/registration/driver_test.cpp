// Registration driver: the replacement texts describing the library file, the
// class's registry tree written and removed through the entry points (with
// HKEY_CLASSES_ROOT redirected to a scratch key), component categories and
// the type library's registration arguments.
#include <gtest/gtest.h>

#include <windows.h>
#include <comcat.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "registration_support.h"
#include "tests/support/registry_link.h"
#include "registration/class_registration.h"
#include "registration/driver.h"
#include "server/module.h"
#include "tests/support/platform_override.h"
#include "tarnwick_h.h"

using testing_support::FakeState;
using testing_support::ScopedOp;

STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
STDAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine);

namespace {

const char kScratch[] = "Software\\TarnwickDriverTest";
const char kClsid[] = "{944F576C-8D13-4177-9B3F-E827E4AFE8FF}";
const char kLibId[] = "{6E328742-AEEA-4D34-A0A8-9EA8B322768A}";

// ---------------------------------------------------------------- fakes

// The file the module says it was loaded from, or the error that reading its name gives.
struct ModulePath {
    std::string path = "D:\\Games\\Hall\\Tarnwick.dll";
    DWORD error = 0;
};

DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buf, DWORD cch)
{
    const ModulePath& fake = FakeState<ModulePath>::Current();
    if (fake.error != 0) {
        SetLastError(fake.error);
        return 0;
    }
    // Truncates as the platform does: nSize characters, terminated, returned as nSize.
    DWORD n = static_cast<DWORD>(fake.path.size());
    if (n >= cch) {
        memcpy(buf, fake.path.data(), cch - 1);
        buf[cch - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return cch;
    }
    memcpy(buf, fake.path.c_str(), n + 1);
    return n;
}

DWORD_PTR WINAPI FakeExeType(LPCSTR, DWORD, SHFILEINFOA*, UINT, UINT)
{
    return 0x4550;  // "PE": an executable
}

// The type library's registration: what it is asked, what it answers, and
// the library that loading it hands back.
struct TypeLibRegistry {
    HRESULT registerResult = S_OK;
    std::wstring registeredPath, registeredHelpDir;
    HRESULT unregisterResult = S_OK;
    GUID unregisteredLib = GUID_NULL;
    WORD unregisteredMajor = 0, unregisteredMinor = 0;
    ITypeLib* pHandedLib = nullptr;
    int userCalls = 0;  // calls of the per-user forms
};

HRESULT WINAPI FakeRegisterTypeLib(ITypeLib*, OLECHAR* path, OLECHAR* helpDir)
{
    TypeLibRegistry& fake = FakeState<TypeLibRegistry>::Current();
    fake.registeredPath = path != nullptr ? path : L"(null)";
    fake.registeredHelpDir = helpDir != nullptr ? helpDir : L"(null)";
    return fake.registerResult;
}

HRESULT WINAPI FakeUnRegisterTypeLib(REFGUID lib, WORD major, WORD minor, LCID, SYSKIND)
{
    TypeLibRegistry& fake = FakeState<TypeLibRegistry>::Current();
    fake.unregisteredLib = lib;
    fake.unregisteredMajor = major;
    fake.unregisteredMinor = minor;
    return fake.unregisterResult;
}

HRESULT WINAPI FakeRegisterTypeLibForUser(ITypeLib* pLib, OLECHAR* path, OLECHAR* helpDir)
{
    ++FakeState<TypeLibRegistry>::Current().userCalls;
    return FakeRegisterTypeLib(pLib, path, helpDir);
}

HRESULT WINAPI FakeUnRegisterTypeLibForUser(REFGUID lib, WORD major, WORD minor, LCID lcid, SYSKIND kind)
{
    ++FakeState<TypeLibRegistry>::Current().userCalls;
    return FakeUnRegisterTypeLib(lib, major, minor, lcid, kind);
}

// The type library of this test program, whatever path the library asks for
// (the faked module path names no real file).
HRESULT WINAPI OwnTypeLib(LPCOLESTR, ITypeLib** ppTypeLib)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return LoadTypeLib(self, ppTypeLib);
}

// A categories manager that records what it is asked.
class FakeCatRegister : public ICatRegister {
public:
    std::vector<std::string> calls;
    HRESULT failWith = S_OK;
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_ICatRegister) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP RegisterCategories(ULONG, CATEGORYINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP UnRegisterCategories(ULONG, CATID*) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterClassImplCategories(REFCLSID, ULONG n, CATID*) override { return Record("impl+", n); }
    STDMETHODIMP UnRegisterClassImplCategories(REFCLSID, ULONG n, CATID*) override { return Record("impl-", n); }
    STDMETHODIMP RegisterClassReqCategories(REFCLSID, ULONG n, CATID*) override { return Record("req+", n); }
    STDMETHODIMP UnRegisterClassReqCategories(REFCLSID, ULONG n, CATID*) override { return Record("req-", n); }

private:
    HRESULT Record(const char* what, ULONG n)
    {
        calls.push_back(std::string(what) + std::to_string(n));
        return failWith;
    }
};

// The categories manager that creating one gives; none: not registered.
struct CategoriesManager {
    FakeCatRegister* pManager = nullptr;
};

HRESULT WINAPI FakeCoCreate(REFCLSID clsid, LPUNKNOWN, DWORD, REFIID riid, LPVOID* ppv)
{
    FakeCatRegister* pManager = FakeState<CategoriesManager>::Current().pManager;
    if (pManager == nullptr || clsid != CLSID_StdComponentCategoriesMgr)
        return REGDB_E_CLASSNOTREG;
    return pManager->QueryInterface(riid, ppv);
}

// ---------------------------------------------------------------- registry

// HKEY_CLASSES_ROOT points at a scratch key of HKEY_CURRENT_USER while a test runs.
class RedirectedClassesRoot {
public:
    RedirectedClassesRoot()
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
        RegCreateKeyExA(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_hKey, nullptr);
        m_ok = m_hKey != nullptr && RegOverridePredefKey(HKEY_CLASSES_ROOT, m_hKey) == ERROR_SUCCESS;
    }
    ~RedirectedClassesRoot()
    {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        if (m_hKey != nullptr)
            RegCloseKey(m_hKey);
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
    }
    bool Ok() const { return m_ok; }

private:
    HKEY m_hKey = nullptr;
    bool m_ok = false;
};

bool KeyExists(const std::string& sub)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + sub).c_str(), 0, KEY_READ, &h) != 0)
        return false;
    RegCloseKey(h);
    return true;
}

// The REG_SZ value, or "<absent>" / "<type N>".
std::string ReadSz(const std::string& sub, const char* name)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + sub).c_str(), 0, KEY_READ, &h) != 0)
        return "<absent>";
    char buf[512];
    DWORD cb = sizeof buf, type = 0;
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(h);
    if (rc != 0)
        return "<absent>";
    if (type != REG_SZ)
        return "<type " + std::to_string(type) + ">";
    if (cb == 0 || buf[cb - 1] != '\0')
        return "<unterminated>";
    return std::string(buf, cb - 1);
}

DWORD ValueCount(const std::string& sub)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + sub).c_str(), 0, KEY_READ, &h) != 0)
        return 0xFFFFFFFF;
    DWORD n = 0;
    RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(h);
    return n;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { m_hSavedInstance = g_moduleInstance.m_hInstance; }
    void TearDown() override
    {
        m_library.reset();
        g_moduleInstance.m_hInstance = m_hSavedInstance;
        testing_support::RestoreRealPlatform();
    }

    // The code under test runs as a library at m_path->path, with the type
    // library's registration recorded instead of done (TearDown restores).
    void PretendToBeTheLibraryFile()
    {
        g_moduleInstance.m_hInstance = LibraryHandle();
        m_library.emplace();
    }
    struct PretendedLibrary {
        template <class Fn>
        using Op = testing_support::ScopedOp<Fn>;
        Op<decltype(platform::Ops::GetModuleFileNameA)> path{&platform::Ops::GetModuleFileNameA, FakeModuleFileName};
        Op<decltype(platform::Ops::LoadTypeLib)> load{&platform::Ops::LoadTypeLib, OwnTypeLib};
        Op<decltype(platform::Ops::RegisterTypeLib)> reg{&platform::Ops::RegisterTypeLib, FakeRegisterTypeLib};
        Op<decltype(platform::Ops::UnRegisterTypeLib)> unreg{&platform::Ops::UnRegisterTypeLib, FakeUnRegisterTypeLib};
        Op<decltype(platform::Ops::RegisterTypeLibForUser)> regUser{&platform::Ops::RegisterTypeLibForUser,
                                                                   FakeRegisterTypeLibForUser};
        Op<decltype(platform::Ops::UnRegisterTypeLibForUser)> unregUser{&platform::Ops::UnRegisterTypeLibForUser,
                                                                       FakeUnRegisterTypeLibForUser};
    };
    FakeState<ModulePath> m_path;
    FakeState<TypeLibRegistry> m_typeLib;
    FakeState<CategoriesManager> m_categories;
    std::optional<PretendedLibrary> m_library;

    // A library handle that is not the process's main executable.
    static HINSTANCE LibraryHandle() { return reinterpret_cast<HINSTANCE>(0x10000000); }

    HINSTANCE m_hSavedInstance = nullptr;
};

// ---------------------------------------------------------------- replacements

TEST_F(DriverTest, ReplacementTextsDescribeTheLibraryFile)
{
    ScopedOp<decltype(platform::Ops::GetModuleFileNameA)> path(&platform::Ops::GetModuleFileNameA,
                                                               FakeModuleFileName);
    struct Case {
        const char* what;
        HINSTANCE hInstance;
        bool exeType;
        const char* module;
        const char* moduleType;
    };
    const Case cases[] = {
        {"library", LibraryHandle(), false, "D:\\Games\\Hall\\Tarnwick.dll", "InprocServer32"},
        {"main executable", GetModuleHandleA(nullptr), false, "\"D:\\Games\\Hall\\Tarnwick.dll\"", "InprocServer32"},
        {"no instance", nullptr, false, "\"D:\\Games\\Hall\\Tarnwick.dll\"", "InprocServer32"},
        {"executable file", LibraryHandle(), true, "D:\\Games\\Hall\\Tarnwick.dll", "LocalServer32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_moduleInstance.m_hInstance = c.hInstance;
        ScopedOp<decltype(platform::Ops::SHGetFileInfoA)> exe(
            &platform::Ops::SHGetFileInfoA, c.exeType ? FakeExeType : platform::ops().SHGetFileInfoA);
        ReplacementTable table;
        ASSERT_EQ(S_OK, AddModuleReplacements(table));
        EXPECT_EQ(5u, table.Count());
        EXPECT_STREQ(c.module, table.Find("MODULE"));
        EXPECT_STREQ("D:\\Games\\Hall\\Tarnwick.dll", table.Find("Module_Raw"));
        EXPECT_STREQ(kLibId, table.Find("MODULEGUID"));
        EXPECT_STREQ(c.moduleType, table.Find("moduletype"));
        EXPECT_STREQ("", table.Find("APPID"));
        table.Clear();
    }
}

TEST_F(DriverTest, UnreadableOrTooLongPathAddsNothing)
{
    ScopedOp<decltype(platform::Ops::GetModuleFileNameA)> path(&platform::Ops::GetModuleFileNameA,
                                                               FakeModuleFileName);
    g_moduleInstance.m_hInstance = LibraryHandle();
    struct Case {
        std::string path;
        DWORD error;
        HRESULT hr;
    };
    const Case cases[] = {
        {std::string(259, 'a'), 0, S_OK},
        {std::string(260, 'a'), 0, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
        {std::string(300, 'a'), 0, static_cast<HRESULT>(0x8007007A)},
        {"x", ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.size());
        m_path->path = c.path;
        m_path->error = c.error;
        ReplacementTable table;
        EXPECT_EQ(c.hr, AddModuleReplacements(table));
        EXPECT_EQ(c.hr == S_OK ? 5u : 0u, table.Count());
        table.Clear();
    }
}

TEST_F(DriverTest, ClassProgramNamesTheClassItServes)
{
    wchar_t wide[64];
    ASSERT_NE(0, StringFromGUID2(CLSID_CInvokerK318, wide, 64));
    char narrow[64];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    EXPECT_STREQ(narrow, g_rgInvokerStrings[4].pszText);
    EXPECT_STREQ(kClsid, narrow);
}

// ---------------------------------------------------------------- the tree

TEST_F(DriverTest, EntryPointsWriteAndRemoveTheClassTree)
{
    RedirectedClassesRoot root;
    ASSERT_TRUE(root.Ok());
    PretendToBeTheLibraryFile();
    m_path->path = "C:\\Program Files\\Tarn Wick\\Tarnwick.dll";

    // A stray subkey of the class key goes on re-registration; one under a ProgID stays.
    const std::string clsidKey = std::string("CLSID\\") + kClsid;
    HKEY h;
    for (const std::string& k : {clsidKey + "\\Stray", std::string("Tarnwick.InvokerK318\\Stray")}) {
        ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + k).c_str(), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, &h, nullptr));
        RegCloseKey(h);
    }
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\CLSID\\{Other}").c_str(), 0,
                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    RegSetValueExA(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("other"), 6);
    RegCloseKey(h);

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        ASSERT_EQ(S_OK, DllRegisterServer());
        struct Row {
            std::string key;
            const char* value;
            std::string data;
        };
        const Row rows[] = {
            {"Tarnwick.InvokerK318.1", nullptr, "CInvokerK318 Object"},
            {"Tarnwick.InvokerK318.1\\CLSID", nullptr, kClsid},
            {"Tarnwick.InvokerK318", nullptr, "CInvokerK318 Object"},
            {"Tarnwick.InvokerK318\\CLSID", nullptr, kClsid},
            {"Tarnwick.InvokerK318\\CurVer", nullptr, "Tarnwick.InvokerK318.1"},
            {clsidKey, nullptr, "CInvokerK318 Object"},
            {clsidKey + "\\ProgID", nullptr, "Tarnwick.InvokerK318.1"},
            {clsidKey + "\\VersionIndependentProgID", nullptr, "Tarnwick.InvokerK318"},
            {clsidKey + "\\InprocServer32", nullptr, "C:\\Program Files\\Tarn Wick\\Tarnwick.dll"},
            {clsidKey + "\\InprocServer32", "ThreadingModel", "apartment"},
            {clsidKey, "AppID", ""},
            {clsidKey + "\\TypeLib", nullptr, kLibId},
        };
        for (const Row& r : rows) {
            SCOPED_TRACE(r.key + " " + (r.value ? r.value : "(default)"));
            EXPECT_EQ(r.data, ReadSz(r.key, r.value));
        }
        EXPECT_TRUE(KeyExists(clsidKey + "\\Programmable"));
        EXPECT_EQ(0u, ValueCount(clsidKey + "\\Programmable"));
        EXPECT_FALSE(KeyExists(clsidKey + "\\Stray"));
        EXPECT_TRUE(KeyExists("Tarnwick.InvokerK318\\Stray"));
        EXPECT_FALSE(KeyExists("AppID"));
    }
    // The type library is registered from the library's path, with its folder for help.
    EXPECT_EQ(L"C:\\Program Files\\Tarn Wick\\", m_typeLib->registeredHelpDir);

    // A subkey whose name the ANSI code page cannot write goes too, with what is below it.
    const std::wstring wideScratch(kScratch, kScratch + sizeof kScratch - 1);
    const std::wstring wideClsid(kClsid, kClsid + std::strlen(kClsid));
    ASSERT_EQ(0, RegCreateKeyExW(HKEY_CURRENT_USER, (wideScratch + L"\\CLSID\\" + wideClsid + L"\\\x952e\x540d\\Inner").c_str(),
                                 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    RegCloseKey(h);

    ASSERT_EQ(S_OK, DllUnregisterServer());
    for (const char* gone : {"Tarnwick.InvokerK318.1", "Tarnwick.InvokerK318"})
        EXPECT_FALSE(KeyExists(gone)) << gone;
    EXPECT_FALSE(KeyExists(clsidKey));
    EXPECT_TRUE(KeyExists("CLSID"));
    EXPECT_EQ("other", ReadSz("CLSID\\{Other}", nullptr));
    EXPECT_TRUE(IsEqualGUID(m_typeLib->unregisteredLib, LIBID_Tarnwick));
    EXPECT_EQ(1, m_typeLib->unregisteredMajor);
    EXPECT_EQ(0, m_typeLib->unregisteredMinor);

    // Again, with nothing left to remove: the result is the type library's.
    m_typeLib->unregisterResult = TYPE_E_REGISTRYACCESS;
    EXPECT_EQ(TYPE_E_REGISTRYACCESS, DllUnregisterServer());
    m_typeLib->unregisterResult = S_FALSE;
    EXPECT_EQ(S_OK, DllUnregisterServer());
}

// The module's type library as the load step hands it back: the real one
// (one reference more for every hand-out), or a success with none.
HRESULT WINAPI HandOutTypeLib(LPCOLESTR, ITypeLib** ppTypeLib)
{
    ITypeLib* pLib = FakeState<TypeLibRegistry>::Current().pHandedLib;
    *ppTypeLib = pLib;
    if (pLib != nullptr)
        pLib->AddRef();
    return S_OK;
}
BSTR WINAPI FailingSysAllocString(const OLECHAR*) { return nullptr; }

ULONG RefsOf(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

// Whatever the load hands back is released on every path, and a success
// without a library is a failure, for registering and unregistering alike.
TEST_F(DriverTest, TypeLibraryHandedBackIsAlwaysReleased)
{
    PretendToBeTheLibraryFile();
    ASSERT_EQ(S_OK, OwnTypeLib(nullptr, &m_typeLib->pHandedLib));
    const ULONG refs = RefsOf(m_typeLib->pHandedLib);
    testing_support::ScopedOp<decltype(platform::ops().LoadTypeLib)> load(&platform::Ops::LoadTypeLib,
                                                                           &HandOutTypeLib);
    {
        // The path cannot be kept: out of memory, with the library handed back.
        testing_support::ScopedOp<decltype(platform::ops().SysAllocString)> bstr(&platform::Ops::SysAllocString,
                                                                                 &FailingSysAllocString);
        EXPECT_EQ(E_OUTOFMEMORY, RegisterServerTypeLibrary(g_moduleInstance.m_hInstance));
        EXPECT_EQ(E_OUTOFMEMORY, UnregisterServerTypeLibrary(g_moduleInstance.m_hInstance));
    }
    EXPECT_EQ(refs, RefsOf(m_typeLib->pHandedLib));
    m_typeLib->pHandedLib->Release();

    m_typeLib->pHandedLib = nullptr;
    EXPECT_EQ(E_FAIL, RegisterServerTypeLibrary(g_moduleInstance.m_hInstance));
    EXPECT_EQ(E_FAIL, UnregisterServerTypeLibrary(g_moduleInstance.m_hInstance));
}

// Links planted under the class key and a ProgID key: re-registration (which
// rebuilds the class key) and unregistration delete the links themselves and
// never reach the keys they point at.
TEST_F(DriverTest, PlantedRegistryLinksAreDeletedNotFollowed)
{
    RedirectedClassesRoot root;
    ASSERT_TRUE(root.Ok());
    PretendToBeTheLibraryFile();
    const char kVictim[] = "Software\\TarnwickDriverVictim";
    RegDeleteTreeA(HKEY_CURRENT_USER, kVictim);
    HKEY hVictim = nullptr;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kVictim) + "\\Data").c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &hVictim, nullptr));
    RegCloseKey(hVictim);
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_CURRENT_USER, kVictim, 0, KEY_READ, &hVictim));
    auto victimIntact = [&] {
        HKEY h = nullptr;
        const bool ok = RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kVictim) + "\\Data").c_str(), 0, KEY_READ,
                                      &h) == ERROR_SUCCESS;
        if (ok)
            RegCloseKey(h);
        return ok;
    };
    auto plant = [&](const std::string& under) {
        HKEY hParent = nullptr;
        ASSERT_EQ(0, RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + under).c_str(), 0,
                                   KEY_ALL_ACCESS, &hParent));
        ASSERT_EQ(0, testing_support::CreateRegistryLink(hParent, "Planted", hVictim));
        RegCloseKey(hParent);
        ASSERT_TRUE(KeyExists(under + "\\Planted\\Data"));
    };
    const std::string clsidKey = std::string("CLSID\\") + kClsid;

    ASSERT_EQ(S_OK, DllRegisterServer());
    plant(clsidKey);
    EXPECT_EQ(S_OK, DllRegisterServer());
    EXPECT_FALSE(KeyExists(clsidKey + "\\Planted"));
    EXPECT_TRUE(victimIntact());

    plant(clsidKey);
    plant("Tarnwick.InvokerK318");
    EXPECT_EQ(S_OK, DllUnregisterServer());
    EXPECT_FALSE(KeyExists(clsidKey));
    EXPECT_FALSE(KeyExists("Tarnwick.InvokerK318"));
    EXPECT_TRUE(victimIntact());

    RegCloseKey(hVictim);
    RegDeleteTreeA(HKEY_CURRENT_USER, kVictim);
}

TEST_F(DriverTest, RegistrationResultRules)
{
    RedirectedClassesRoot root;
    ASSERT_TRUE(root.Ok());
    PretendToBeTheLibraryFile();

    // A success other than S_OK passes through registration unchanged.
    m_typeLib->registerResult = S_FALSE;
    EXPECT_EQ(S_FALSE, DllRegisterServer());
    m_typeLib->registerResult = TYPE_E_REGISTRYACCESS;
    EXPECT_EQ(TYPE_E_REGISTRYACCESS, DllRegisterServer());

    // A path that does not fit stops registration before any key is written.
    RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
    m_typeLib->registeredPath.clear();
    m_path->path = "C:\\" + std::string(300, 'p') + "\\Tarnwick.dll";
    EXPECT_EQ(static_cast<HRESULT>(0x8007007A), DllRegisterServer());
    EXPECT_FALSE(KeyExists("Tarnwick.InvokerK318.1"));
    EXPECT_FALSE(KeyExists("CLSID"));
    EXPECT_TRUE(m_typeLib->registeredPath.empty());
}

TEST_F(DriverTest, HelpFolderIsCutAfterTheLastSeparator)
{
    // The type library comes from this test program's own resources.
    ScopedOp<decltype(platform::Ops::RegisterTypeLib)> reg(&platform::Ops::RegisterTypeLib, FakeRegisterTypeLib);
    ASSERT_EQ(S_OK, RegisterServerTypeLibrary(GetModuleHandleA(nullptr)));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.erase(folder.find_last_of(L"\\/:") + 1);
    EXPECT_EQ(std::wstring(self), m_typeLib->registeredPath);
    EXPECT_EQ(folder, m_typeLib->registeredHelpDir);
}

// ---------------------------------------------------------------- per user

const char kUserScratch[] = "Software\\TarnwickDriverUserTest";

// The library's redirection of HKEY_CLASSES_ROOT, played over the test's own:
// a redirection to any key lands in the user scratch key, and ending it puts
// the test's scratch key (the "machine" classes) back. Each call is recorded:
// the target, or null for the end.
struct Redirections {
    std::vector<HKEY> calls;
    LONG failWith = ERROR_SUCCESS;
    HKEY hMachine = nullptr;
    HKEY hUser = nullptr;
};

LONG WINAPI FakeOverridePredefKey(HKEY hPredefined, HKEY hTarget)
{
    Redirections& fake = FakeState<Redirections>::Current();
    fake.calls.push_back(hTarget);
    if (fake.failWith != ERROR_SUCCESS)
        return fake.failWith;
    if (hPredefined != HKEY_CLASSES_ROOT)
        return ERROR_INVALID_PARAMETER;
    return RegOverridePredefKey(HKEY_CLASSES_ROOT, hTarget != nullptr ? fake.hUser : fake.hMachine);
}

registration_test::RegistryTree MachineTree()
{
    return registration_test::ReadTree(HKEY_CURRENT_USER, kScratch);
}

registration_test::RegistryTree UserTree()
{
    return registration_test::ReadTree(HKEY_CURRENT_USER, kUserScratch);
}

bool UserKeyExists(const std::string& sub)
{
    return registration_test::ReadTree(HKEY_CURRENT_USER, std::string(kUserScratch) + "\\" + sub).present;
}

class PerUserTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        RegDeleteTreeA(HKEY_CURRENT_USER, kUserScratch);
        RegCreateKeyExA(HKEY_CURRENT_USER, kUserScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_redirects->hUser,
                        nullptr);
        RegOpenKeyExA(HKEY_CURRENT_USER, kScratch, 0, KEY_ALL_ACCESS, &m_redirects->hMachine);
        ASSERT_NE(nullptr, m_redirects->hUser);
        ASSERT_NE(nullptr, m_redirects->hMachine);
        PretendToBeTheLibraryFile();
    }
    void TearDown() override
    {
        m_override.reset();
        RegCloseKey(m_redirects->hUser);
        RegCloseKey(m_redirects->hMachine);
        RegDeleteTreeA(HKEY_CURRENT_USER, kUserScratch);
        DriverTest::TearDown();
    }

    RedirectedClassesRoot m_root;  // made before the fixture opens the scratch key
    FakeState<Redirections> m_redirects;
    std::optional<ScopedOp<decltype(platform::Ops::RegOverridePredefKey)>> m_override{
        std::in_place, &platform::Ops::RegOverridePredefKey, FakeOverridePredefKey};
};

// The user's tree is the machine-wide one, key by key and value by value,
// with the type library registered through the per-user call; removing it
// leaves what removing the machine-wide one leaves. The machine classes are
// never touched, and the redirection ends after each pass.
TEST_F(PerUserTest, WritesAndRemovesTheMachineLayoutForTheUser)
{
    ASSERT_TRUE(m_root.Ok());
    m_path->path = "C:\\Users\\Player\\AppData\\Local\\Tarn Wick\\Tarnwick.dll";
    ASSERT_EQ(S_OK, DllRegisterServer());
    const registration_test::RegistryTree machineLayout = MachineTree();
    ASSERT_EQ(S_OK, DllUnregisterServer());
    const registration_test::RegistryTree machineRemoved = MachineTree();
    ASSERT_TRUE(registration_test::ReadTree(HKEY_CURRENT_USER, std::string(kScratch) + "\\CLSID").present);
    m_typeLib->registeredPath.clear();
    m_typeLib->registeredHelpDir.clear();

    ASSERT_EQ(S_OK, DllInstall(TRUE, L"user"));
    EXPECT_EQ(machineLayout, UserTree());
    EXPECT_EQ(machineRemoved, MachineTree());
    EXPECT_EQ(1, m_typeLib->userCalls);
    EXPECT_EQ(L"C:\\Users\\Player\\AppData\\Local\\Tarn Wick\\", m_typeLib->registeredHelpDir);
    ASSERT_EQ(2u, m_redirects->calls.size());
    EXPECT_NE(nullptr, m_redirects->calls[0]);
    EXPECT_EQ(nullptr, m_redirects->calls[1]);

    ASSERT_EQ(S_OK, DllInstall(FALSE, L"user"));
    EXPECT_EQ(machineRemoved, UserTree());  // the CLSID key stays, as machine-wide
    EXPECT_EQ(machineRemoved, MachineTree());
    EXPECT_EQ(2, m_typeLib->userCalls);
    EXPECT_TRUE(IsEqualGUID(m_typeLib->unregisteredLib, LIBID_Tarnwick));
    ASSERT_EQ(4u, m_redirects->calls.size());
    EXPECT_NE(nullptr, m_redirects->calls[2]);
    EXPECT_EQ(nullptr, m_redirects->calls[3]);
}

TEST_F(PerUserTest, CommandIsUserInAnyCase)
{
    ASSERT_TRUE(m_root.Ok());
    for (const wchar_t* command : {L"user", L"USER", L"User", L"uSeR"}) {
        SCOPED_TRACE(testing::Message() << "command " << std::string(command, command + wcslen(command)));
        m_redirects->calls.clear();
        EXPECT_EQ(S_OK, DllInstall(TRUE, command));
        EXPECT_TRUE(UserKeyExists("Tarnwick.InvokerK318"));
        EXPECT_EQ(S_OK, DllInstall(FALSE, command));
        EXPECT_FALSE(UserKeyExists("Tarnwick.InvokerK318"));
        EXPECT_EQ(4u, m_redirects->calls.size());
    }
}

struct BadCommand {
    BOOL bInstall;
    const wchar_t* command;  // null: no command string
};

// Anything but "user" is refused before anything is redirected, written,
// removed or handed to the type library calls.
TEST_F(PerUserTest, OtherCommandsAreRefusedAndTouchNothing)
{
    ASSERT_TRUE(m_root.Ok());
    ASSERT_EQ(S_OK, DllRegisterServer());  // a machine-wide registration that must survive
    ASSERT_EQ(S_OK, DllInstall(TRUE, L"user"));  // and a per-user one
    const registration_test::RegistryTree machine = MachineTree();
    const registration_test::RegistryTree user = UserTree();
    m_redirects->calls.clear();
    m_typeLib->userCalls = 0;
    m_typeLib->registeredPath.clear();
    m_typeLib->unregisteredLib = GUID_NULL;

    const BadCommand rows[] = {
        {TRUE, nullptr},        {FALSE, nullptr},      {TRUE, L""},          {FALSE, L""},
        {TRUE, L"machine"},     {FALSE, L"machine"},   {TRUE, L"user "},     {FALSE, L" user"},
        {TRUE, L"users"},       {FALSE, L"use"},       {TRUE, L"/user"},     {FALSE, L"\"user\""},
        {TRUE, L"user,machine"}, {FALSE, L"u"},
    };
    for (const BadCommand& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.bInstall ? "install " : "uninstall ")
                                        << (row.command == nullptr
                                                ? std::string("(null)")
                                                : "\"" + std::string(row.command, row.command + wcslen(row.command)) +
                                                      "\""));
        EXPECT_EQ(E_INVALIDARG, DllInstall(row.bInstall, row.command));
        EXPECT_TRUE(m_redirects->calls.empty());
        EXPECT_EQ(0, m_typeLib->userCalls);
        EXPECT_TRUE(m_typeLib->registeredPath.empty());
        EXPECT_TRUE(IsEqualGUID(m_typeLib->unregisteredLib, GUID_NULL));
        EXPECT_EQ(machine, MachineTree());
        EXPECT_EQ(user, UserTree());
    }
}

struct FailureRow {
    const char* what;
    bool bInstall;
    LONG redirectFails;          // the redirection's answer
    size_t pathLength;           // 0: the usual path
    HRESULT userTypeLibResult;   // the per-user type library call's answer
    HRESULT expected;
    size_t redirectCalls;        // 2: begun and ended
};

// Whatever fails, the failure is the answer and the redirection, once begun,
// is ended; one that was refused is not ended, since nothing was redirected.
TEST_F(PerUserTest, FailuresAnswerAndEndTheRedirection)
{
    ASSERT_TRUE(m_root.Ok());
    const FailureRow rows[] = {
        {"redirection refused", true, ERROR_ACCESS_DENIED, 0, S_OK, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), 1},
        {"redirection refused, removing", false, ERROR_ACCESS_DENIED, 0, S_OK,
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), 1},
        {"path too long", true, ERROR_SUCCESS, 300, S_OK, static_cast<HRESULT>(0x8007007A), 2},
        {"type library refused", true, ERROR_SUCCESS, 0, TYPE_E_REGISTRYACCESS, TYPE_E_REGISTRYACCESS, 2},
        {"type library removal refused", false, ERROR_SUCCESS, 0, TYPE_E_REGISTRYACCESS, TYPE_E_REGISTRYACCESS, 2},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeA(m_redirects->hUser, nullptr);
        const registration_test::RegistryTree machine = MachineTree();
        m_redirects->calls.clear();
        m_redirects->failWith = row.redirectFails;
        m_path->path = row.pathLength == 0 ? "D:\\Games\\Hall\\Tarnwick.dll" : "C:\\" + std::string(row.pathLength, 'p');
        m_typeLib->registerResult = row.userTypeLibResult;
        m_typeLib->unregisterResult = row.userTypeLibResult;
        m_typeLib->userCalls = 0;

        EXPECT_EQ(row.expected, DllInstall(row.bInstall, L"user"));
        ASSERT_EQ(row.redirectCalls, m_redirects->calls.size());
        if (row.redirectCalls == 2) {
            EXPECT_EQ(nullptr, m_redirects->calls.back());
        }
        EXPECT_EQ(machine, MachineTree());
        if (row.redirectFails != ERROR_SUCCESS || row.pathLength != 0) {
            EXPECT_EQ(0, m_typeLib->userCalls);
            EXPECT_FALSE(UserKeyExists("Tarnwick.InvokerK318.1"));
        }
        m_redirects->failWith = ERROR_SUCCESS;
    }
}

// ---------------------------------------------------------------- categories

TEST_F(DriverTest, CategoriesGoThroughTheManager)
{
    static const GUID kCat = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    const CategoryEntry list[] = {{1, &kCat}, {2, &kCat}, {0, nullptr}};
    ScopedOp<decltype(platform::Ops::CoCreateInstance)> create(&platform::Ops::CoCreateInstance, FakeCoCreate);

    FakeCatRegister manager;
    m_categories->pManager = &manager;
    EXPECT_EQ(S_OK, UpdateClassCategories(CLSID_CInvokerK318, nullptr, true));
    EXPECT_EQ(S_OK, UpdateClassCategories(GUID_NULL, list, true));
    EXPECT_TRUE(manager.calls.empty());

    EXPECT_EQ(S_OK, UpdateClassCategories(CLSID_CInvokerK318, list, true));
    EXPECT_EQ((std::vector<std::string>{"impl+1", "req+1"}), manager.calls);
    EXPECT_EQ(1, manager.refs);

    // A refused registration stops the list and is the result; unregistering ignores failures.
    manager.calls.clear();
    manager.failWith = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, UpdateClassCategories(CLSID_CInvokerK318, list, true));
    EXPECT_EQ((std::vector<std::string>{"impl+1"}), manager.calls);
    EXPECT_EQ(1, manager.refs);
    manager.calls.clear();
    {
        RedirectedClassesRoot root;
        ASSERT_TRUE(root.Ok());
        const std::string base = std::string("CLSID\\") + kClsid;
        HKEY h;
        for (const char* sub : {"\\Implemented Categories", "\\Required Categories\\{Kept}"}) {
            ASSERT_EQ(0, RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kScratch) + "\\" + base + sub).c_str(), 0,
                                         nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
            RegCloseKey(h);
        }
        EXPECT_EQ(S_OK, UpdateClassCategories(CLSID_CInvokerK318, list, false));
        EXPECT_FALSE(KeyExists(base + "\\Implemented Categories"));  // empty: removed
        EXPECT_TRUE(KeyExists(base + "\\Required Categories"));      // still has a subkey
    }
    EXPECT_EQ((std::vector<std::string>{"impl-1", "req-1"}), manager.calls);
    EXPECT_EQ(1, manager.refs);

    // Without a manager there is nothing to record them in, and that is no error.
    m_categories->pManager = nullptr;
    EXPECT_EQ(S_OK, UpdateClassCategories(CLSID_CInvokerK318, list, true));
}

}  // namespace
