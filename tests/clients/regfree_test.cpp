// Tarnwick.dll with nothing registered: this program's application manifest
// (regfree_tests.exe.manifest, beside it) names the assembly Tarnwick, and the
// library carries that assembly's manifest. The program runs in a Wine prefix
// where the library was never registered, checks that the registry holds none
// of the class's keys, and uses every method the way the hall does: through
// COM by CLSID and ProgID, through the type library, and from a page script.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <cwctype>
#include <string>
#include <vector>

#include "fake_hall/fake_hall.h"
#include "script_host/script_host.h"
#include "tarnwick_h.h"
#include "tests/support/built_library.h"

namespace {

constexpr wchar_t kProgId[] = L"Tarnwick.InvokerK318";
constexpr wchar_t kVersionedProgId[] = L"Tarnwick.InvokerK318.1";
constexpr char kHallKey[] = "SoftWare\\Vorm\\Game";
constexpr char kUserTitle[] = "K318HallHideWindows7";  // the hall's window for user 7

std::string Narrow(const std::wstring& wide)
{
    std::string text;
    for (wchar_t c : wide)
        text += c < 0x80 ? static_cast<char>(c) : '?';
    return text;
}

std::string GuidText(REFGUID guid)
{
    wchar_t wide[40] = {};
    StringFromGUID2(guid, wide, 40);
    return Narrow(wide);
}

// ---------------------------------------------------------------- the registry

// Every key a registration would write for the class, by its path under a
// classes root.
std::vector<std::string> OurKeys()
{
    return {
        "CLSID\\" + GuidText(CLSID_CInvokerK318),
        Narrow(kProgId),
        Narrow(kVersionedProgId),
        "TypeLib\\" + GuidText(LIBID_Tarnwick),
        "Interface\\" + GuidText(IID_IInvokerK318),
    };
}

// The keys of `keys` found under any classes root in any view, described as
// "root\path (view)". Empty when none is there.
std::vector<std::string> KeysPresent(const std::vector<std::string>& keys)
{
    struct Root {
        HKEY hKey;
        const char* path;  // of the classes root, with its separator
        const char* name;
    };
    static const Root roots[] = {
        {HKEY_CLASSES_ROOT, "", "HKCR\\"},
        {HKEY_LOCAL_MACHINE, "Software\\Classes\\", "HKLM\\Software\\Classes\\"},
        {HKEY_CURRENT_USER, "Software\\Classes\\", "HKCU\\Software\\Classes\\"},
    };
    struct View {
        REGSAM sam;
        const char* prefix;  // a folder between the root and the key
        const char* name;
    };
    static const View views[] = {
        {0, "", "this process's view"},
        {KEY_WOW64_64KEY, "", "64-bit view"},
        {KEY_WOW64_32KEY, "", "32-bit view"},
        {KEY_WOW64_64KEY, "Wow6432Node\\", "Wow6432Node"},
    };
    std::vector<std::string> found;
    for (const Root& root : roots) {
        for (const View& view : views) {
            for (const std::string& key : keys) {
                const std::string path = std::string(root.path) + view.prefix + key;
                HKEY hKey = nullptr;
                if (RegOpenKeyExA(root.hKey, path.c_str(), 0, KEY_READ | view.sam, &hKey) == ERROR_SUCCESS) {
                    RegCloseKey(hKey);
                    found.push_back(std::string(root.name) + view.prefix + key + " (" + view.name + ")");
                }
            }
        }
    }
    return found;
}

// ---------------------------------------------------------------- the fixture

// One hall for the whole program: its install data (the registry value and
// introduce.ini that GetSpReadUserID reads) and its two request windows.
class RegFree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Looked at before anything of COM ran in this process.
        s_keysAtStart = new std::vector<std::string>(KeysPresent(OurKeys()));
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        s_hall = new fake_hall::Hall;
        ASSERT_NE(nullptr, s_hall->Open(fake_hall::kPlainTitle));
        ASSERT_NE(nullptr, s_hall->Open(kUserTitle));
        ASSERT_TRUE(WriteInstallData());
    }

    static void TearDownTestSuite()
    {
        delete s_hall;
        s_hall = nullptr;
        RegDeleteKeyA(HKEY_CURRENT_USER, kHallKey);
        DeleteFileA((s_folder + "\\Data\\introduce.ini").c_str());
        RemoveDirectoryA((s_folder + "\\Data").c_str());
        RemoveDirectoryA(s_folder.c_str());
        delete s_keysAtStart;
        s_keysAtStart = nullptr;
        CoUninitialize();
    }

    void SetUp() override { s_hall->Clear(); }

    static bool WriteInstallData()
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        s_folder = std::string(temp) + "tarnwick_regfree_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(s_folder.c_str(), nullptr);
        CreateDirectoryA((s_folder + "\\Data").c_str(), nullptr);
        if (!WritePrivateProfileStringA("config", "introducer", "10086", (s_folder + "\\Data\\introduce.ini").c_str()))
            return false;
        HKEY hKey = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kHallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr))
            return false;
        const LONG rc = RegSetValueExA(hKey, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(s_folder.c_str()),
                                       static_cast<DWORD>(s_folder.size() + 1));
        RegCloseKey(hKey);
        return rc == ERROR_SUCCESS;
    }

    // A request is accepted at most once a second; each test that sends one
    // waits first, so the last test's request does not refuse it.
    static void WaitOutRequestInterval() { Sleep(1100); }

    static IInvokerK318* Create(REFCLSID clsid)
    {
        IInvokerK318* p = nullptr;
        const HRESULT hr =
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInvokerK318, reinterpret_cast<void**>(&p));
        EXPECT_EQ(S_OK, hr);
        return SUCCEEDED(hr) ? p : nullptr;
    }

    static std::vector<std::string>* s_keysAtStart;
    static fake_hall::Hall* s_hall;
    static std::string s_folder;
};

std::vector<std::string>* RegFree::s_keysAtStart = nullptr;
fake_hall::Hall* RegFree::s_hall = nullptr;
std::string RegFree::s_folder;

// ---------------------------------------------------------------- nothing registered

TEST_F(RegFree, RegistryHoldsNoneOfOurKeys)
{
    EXPECT_EQ(std::vector<std::string>{}, *s_keysAtStart) << "the prefix was not left unregistered";
    EXPECT_EQ(std::vector<std::string>{}, KeysPresent(OurKeys()));
}

TEST_F(RegFree, RegistryLookFindsKeysThatExist)
{
    // The look above would see a key if it were there: the script engine's
    // ProgID and the automation marshaller's class are in every prefix.
    EXPECT_FALSE(KeysPresent({"JScript"}).empty());
    EXPECT_FALSE(KeysPresent({"CLSID\\{00020424-0000-0000-C000-000000000046}"}).empty());
}

// ---------------------------------------------------------------- creation

// The CLSID of a ProgID that an activation context resolves is one the
// context made up for the class, not the class's own (Windows does the same);
// creating by it makes the class all the same.
CLSID ClassOfObject(IUnknown* pObject)
{
    CLSID clsid = GUID_NULL;
    IProvideClassInfo* pProvide = nullptr;
    if (SUCCEEDED(pObject->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pProvide)))) {
        ITypeInfo* pClass = nullptr;
        TYPEATTR* pAttr = nullptr;
        if (SUCCEEDED(pProvide->GetClassInfo(&pClass)) && SUCCEEDED(pClass->GetTypeAttr(&pAttr))) {
            clsid = pAttr->guid;
            pClass->ReleaseTypeAttr(pAttr);
        }
        if (pClass)
            pClass->Release();
        pProvide->Release();
    }
    return clsid;
}

TEST_F(RegFree, ProgIdsResolveThroughTheManifest)
{
    const wchar_t* const progIds[] = {kProgId, kVersionedProgId};
    for (const wchar_t* progId : progIds) {
        SCOPED_TRACE(Narrow(progId));
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(S_OK, CLSIDFromProgID(progId, &clsid));
        EXPECT_FALSE(IsEqualCLSID(GUID_NULL, clsid));
    }
    // The other way, the class's versioned ProgID, as the registration writes
    // it under the class's key.
    LPOLESTR progId = nullptr;
    ASSERT_EQ(S_OK, ProgIDFromCLSID(CLSID_CInvokerK318, &progId));
    EXPECT_EQ(std::wstring(kVersionedProgId), progId);
    CoTaskMemFree(progId);
    // A name the manifest does not give stays unknown.
    CLSID clsid;
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"Tarnwick.InvokerK318.2", &clsid));
}

TEST_F(RegFree, CreatedByClsidAndByEitherProgIdFromTheBuiltLibrary)
{
    struct Case {
        const char* how;
        const wchar_t* progId;  // null: by the CLSID itself
    };
    const Case cases[] = {
        {"by CLSID", nullptr},
        {"by Tarnwick.InvokerK318", kProgId},
        {"by Tarnwick.InvokerK318.1", kVersionedProgId},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        CLSID clsid = CLSID_CInvokerK318;
        if (c.progId) {
            ASSERT_EQ(S_OK, CLSIDFromProgID(c.progId, &clsid));
        }
        IInvokerK318* p = Create(clsid);
        ASSERT_NE(nullptr, p);
        EXPECT_TRUE(IsEqualCLSID(CLSID_CInvokerK318, ClassOfObject(p))) << GuidText(ClassOfObject(p));
        ULONG ver = 0;
        EXPECT_EQ(S_OK, p->GetVer(&ver));
        EXPECT_EQ(1u, ver);
        p->Release();
    }
    // The objects came from the library beside this program, not from
    // anything else of the same name.
    HMODULE hDll = GetModuleHandleA("Tarnwick.dll");
    ASSERT_NE(nullptr, hDll);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(hDll, path, sizeof path);
    EXPECT_EQ(0, lstrcmpiA(BuiltLibraryPath().c_str(), path)) << path;
}

// ---------------------------------------------------------------- the methods

TEST_F(RegFree, QueriesAnswer)
{
    IInvokerK318* p = Create(CLSID_CInvokerK318);
    ASSERT_NE(nullptr, p);

    BSTR mac = nullptr;
    EXPECT_EQ(S_OK, p->GetMacAddress(&mac));
    ASSERT_NE(nullptr, mac);
    // Six bytes as XX-XX-XX-XX-XX-XX, or nothing where no adapter answers.
    const std::wstring text(mac, SysStringLen(mac));
    SysFreeString(mac);
    if (!text.empty()) {
        ASSERT_EQ(17u, text.size()) << Narrow(text);
        for (size_t i = 0; i < text.size(); ++i) {
            if (i % 3 == 2)
                EXPECT_EQ(L'-', text[i]) << Narrow(text);
            else
                EXPECT_TRUE(iswxdigit(text[i]) && !iswlower(text[i])) << Narrow(text);
        }
    }

    BSTR user = nullptr;
    EXPECT_EQ(S_OK, p->GetSpReadUserID(&user));
    ASSERT_NE(nullptr, user);
    EXPECT_EQ(std::wstring(L"10086"), std::wstring(user, SysStringLen(user)));  // the hall's introduce.ini
    SysFreeString(user);
    p->Release();
}

TEST_F(RegFree, RequestsReachTheHallWindows)
{
    using Send = HRESULT (*)(IInvokerK318*, ULONG rid, BSTR text);
    struct Case {
        const char* call;
        Send send;
        const char* title;  // the window that must receive it
        ULONG rid;
        const char* text;
    };
    const Case cases[] = {
        {"LoadExe(12, \"room=7\")", [](IInvokerK318* p, ULONG rid, BSTR text) { return p->LoadExe(rid, text); },
         fake_hall::kPlainTitle, 12, "room=7"},
        {"RunVideo(7, 40, \"video=42\")",
         [](IInvokerK318* p, ULONG rid, BSTR text) { return p->RunVideo(7, rid, text); }, kUserTitle, 40, "video=42"},
    };
    IInvokerK318* p = Create(CLSID_CInvokerK318);
    ASSERT_NE(nullptr, p);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        s_hall->Clear();
        WaitOutRequestInterval();
        BSTR text = SysAllocString(std::wstring(c.text, c.text + lstrlenA(c.text)).c_str());
        EXPECT_EQ(S_OK, c.send(p, c.rid, text));
        SysFreeString(text);
        ASSERT_EQ(1u, s_hall->Received().size());
        EXPECT_EQ(c.title, s_hall->Received()[0].title);
        EXPECT_EQ(c.rid, s_hall->Received()[0].rid);
        EXPECT_EQ(c.text, s_hall->Received()[0].text);
    }
    p->Release();
}

// ---------------------------------------------------------------- type information

TEST_F(RegFree, TypeInfoFromTheObject)
{
    IInvokerK318* p = Create(CLSID_CInvokerK318);
    ASSERT_NE(nullptr, p);
    UINT count = 0;
    EXPECT_EQ(S_OK, p->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    ITypeInfo* pInfo = nullptr;
    ASSERT_EQ(S_OK, p->GetTypeInfo(0, LOCALE_USER_DEFAULT, &pInfo));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pInfo->GetTypeAttr(&pAttr));
    EXPECT_TRUE(IsEqualIID(IID_IInvokerK318, pAttr->guid)) << GuidText(pAttr->guid);
    pInfo->ReleaseTypeAttr(pAttr);
    ITypeLib* pLib = nullptr;
    UINT index = 0;
    ASSERT_EQ(S_OK, pInfo->GetContainingTypeLib(&pLib, &index));
    TLIBATTR* pLibAttr = nullptr;
    ASSERT_EQ(S_OK, pLib->GetLibAttr(&pLibAttr));
    EXPECT_TRUE(IsEqualGUID(LIBID_Tarnwick, pLibAttr->guid));
    pLib->ReleaseTLibAttr(pLibAttr);
    pLib->Release();
    pInfo->Release();

    // Names and calls through the type information, as a late-bound client.
    OLECHAR name[] = L"GetVer";
    LPOLESTR names[] = {name};
    DISPID id = DISPID_UNKNOWN;
    ASSERT_EQ(S_OK, p->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(3, id);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, p->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(1, V_VT(&result) == VT_I4 ? V_I4(&result) : -1);
    VariantClear(&result);

    // The class's own description comes from the type library too.
    IProvideClassInfo* pProvide = nullptr;
    ASSERT_EQ(S_OK, p->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pProvide)));
    ITypeInfo* pClass = nullptr;
    ASSERT_EQ(S_OK, pProvide->GetClassInfo(&pClass));
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_TRUE(IsEqualCLSID(CLSID_CInvokerK318, pAttr->guid)) << GuidText(pAttr->guid);
    pClass->ReleaseTypeAttr(pAttr);
    pClass->Release();
    pProvide->Release();
    p->Release();
}

TEST_F(RegFree, TypeLibraryLoadsByItsLibid)
{
    ITypeLib* pLib = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_Tarnwick, 1, 0, LOCALE_NEUTRAL, &pLib));
    ITypeInfo* pClass = nullptr;
    ASSERT_EQ(S_OK, pLib->GetTypeInfoOfGuid(CLSID_CInvokerK318, &pClass));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_COCLASS, pAttr->typekind);
    pClass->ReleaseTypeAttr(pAttr);
    pClass->Release();
    pLib->Release();

    // It is the library's own file that the manifest points at.
    BSTR path = nullptr;
    ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_Tarnwick, 1, 0, LOCALE_NEUTRAL, &path));
    const std::string dll = BuiltLibraryPath();
    EXPECT_EQ(0, lstrcmpiW(std::wstring(dll.begin(), dll.end()).c_str(), path)) << Narrow(path);
    SysFreeString(path);

    // A version the manifest does not describe is not found.
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_Tarnwick, 2, 0, LOCALE_NEUTRAL, &pLib));
}

// ---------------------------------------------------------------- page scripts

TEST_F(RegFree, PageScriptCreatesAndCallsTheBridge)
{
    std::vector<std::wstring> echoed;
    CScriptHost browser;
    ASSERT_EQ(S_OK, browser.Start(L"JScript", [&](const std::wstring& line) { echoed.push_back(line); }));
    WaitOutRequestInterval();
    const HRESULT hr = browser.Run(
        L"var o = new ActiveXObject(\"Tarnwick.InvokerK318\");"
        L"host.echo(o.GetVer(), typeof o.GetMacAddress(), o.GetSpReadUserID());"
        L"host.echo(new ActiveXObject(\"Tarnwick.InvokerK318.1\").GetVer());"
        L"o.LoadExe(5, \"room=1\");");
    ASSERT_EQ(S_OK, hr) << Narrow(browser.LastError());
    ASSERT_EQ(2u, echoed.size());
    EXPECT_EQ(L"1 string 10086", echoed[0]);
    EXPECT_EQ(L"1", echoed[1]);
    ASSERT_EQ(1u, s_hall->Received().size());
    EXPECT_EQ(5u, s_hall->Received()[0].rid);
    EXPECT_EQ("room=1", s_hall->Received()[0].text);
}

// Declared last, so it runs after everything above has used the component.
TEST_F(RegFree, UseWroteNoneOfOurKeys)
{
    EXPECT_EQ(std::vector<std::string>{}, KeysPresent(OurKeys()));
}

}  // namespace
