// The assembly manifest inside the built library, read back from its
// resources and held against the type library the same file carries and
// the identifiers the C++ side was compiled with: a manifest that names
// another class, library, interface or version than the library really has
// would make registration-free activation fail or find the wrong file.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <map>
#include <string>
#include <vector>

#include "loaded_dll.h"
#include "tarnwick_h.h"

namespace {

// ---------------------------------------------------------------- reading the manifest

// One element of the manifest: its name, attributes and the text right inside it.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string text;
};

// The elements of a manifest in document order. Declarations, comments and
// closing tags are skipped; a malformed tag ends the list and sets *pBroken.
std::vector<Element> ReadElements(const std::string& xml, bool* pBroken)
{
    std::vector<Element> elements;
    *pBroken = false;
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string::npos) {
        if (xml.compare(at, 4, "<!--") == 0) {
            at = xml.find("-->", at);
            if (at == std::string::npos)
                break;
            continue;
        }
        const size_t end = xml.find('>', at);
        if (end == std::string::npos) {
            *pBroken = true;
            break;
        }
        if (xml[at + 1] == '?' || xml[at + 1] == '/') {
            at = end + 1;
            continue;
        }
        Element e;
        size_t p = at + 1;
        while (p < end && !isspace(static_cast<unsigned char>(xml[p])) && xml[p] != '/')
            e.name += xml[p++];
        for (;;) {
            while (p < end && (isspace(static_cast<unsigned char>(xml[p])) || xml[p] == '/'))
                ++p;
            if (p >= end)
                break;
            const size_t eq = xml.find('=', p);
            if (eq == std::string::npos || eq > end || eq + 1 >= end || (xml[eq + 1] != '"' && xml[eq + 1] != '\'')) {
                *pBroken = true;
                return elements;
            }
            const size_t close = xml.find(xml[eq + 1], eq + 2);
            if (close == std::string::npos || close > end) {
                *pBroken = true;
                return elements;
            }
            std::string name = xml.substr(p, eq - p);
            while (!name.empty() && isspace(static_cast<unsigned char>(name.back())))
                name.pop_back();
            e.attributes[name] = xml.substr(eq + 2, close - eq - 2);
            p = close + 1;
        }
        if (xml[end - 1] != '/') {
            const size_t next = xml.find('<', end);
            e.text = xml.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
        }
        elements.push_back(std::move(e));
        at = end + 1;
    }
    return elements;
}

std::string GuidText(REFGUID guid)
{
    wchar_t wide[40] = {};
    StringFromGUID2(guid, wide, 40);
    std::string text;
    for (const wchar_t* p = wide; *p != L'\0'; ++p)
        text += static_cast<char>(*p);
    return text;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// ---------------------------------------------------------------- the fixture

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR pszName, LONG_PTR param)
{
    auto* names = reinterpret_cast<std::vector<std::string>*>(param);
    names->push_back(IS_INTRESOURCE(pszName) ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(pszName))
                                             : std::string(pszName));
    return TRUE;
}

// The built library's file, mapped as data, with what the tests compare: its
// manifest resources, its type library and its version resource.
class DllManifest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_hFile = LoadLibraryExA(DllPathA().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(nullptr, s_hFile) << DllPathA();
        EnumResourceNamesA(s_hFile, MAKEINTRESOURCEA(24), CollectName, reinterpret_cast<LONG_PTR>(&s_names));
        HRSRC hRes = FindResourceA(s_hFile, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(nullptr, hRes) << "no RT_MANIFEST 1";
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(s_hFile, hRes)));
        ASSERT_NE(nullptr, bytes);
        s_xml.assign(bytes, SizeofResource(s_hFile, hRes));
        s_elements = ReadElements(s_xml, &s_broken);

        ASSERT_EQ(S_OK, LoadTypeLibEx(DllPathW().c_str(), REGKIND_NONE, &s_pLib));
    }

    static void TearDownTestSuite()
    {
        if (s_pLib)
            s_pLib->Release();
        s_pLib = nullptr;
        if (s_hFile)
            FreeLibrary(s_hFile);
        s_hFile = nullptr;
    }

    // The elements of that name, in order.
    static std::vector<const Element*> All(const char* name)
    {
        std::vector<const Element*> found;
        for (const Element& e : s_elements)
            if (e.name == name)
                found.push_back(&e);
        return found;
    }

    // The one element of that name; a test failure when there is not exactly one.
    static const Element& One(const char* name)
    {
        static const Element none;
        const auto found = All(name);
        EXPECT_EQ(1u, found.size()) << "elements <" << name << ">";
        return found.size() == 1 ? *found[0] : none;
    }

    // The library's own identity: the <assemblyIdentity> outside <dependency>.
    static const Element* Identity()
    {
        for (const Element& e : s_elements) {
            if (e.name == "dependency")
                return nullptr;
            if (e.name == "assemblyIdentity")
                return &e;
        }
        return nullptr;
    }

    // The GUID of the library's only type of this kind.
    static std::string GuidOfKind(TYPEKIND kind)
    {
        std::string found;
        for (UINT i = 0; i < s_pLib->GetTypeInfoCount(); ++i) {
            TYPEKIND k;
            if (FAILED(s_pLib->GetTypeInfoType(i, &k)) || k != kind)
                continue;
            ITypeInfo* pInfo = nullptr;
            TYPEATTR* pAttr = nullptr;
            if (SUCCEEDED(s_pLib->GetTypeInfo(i, &pInfo)) && SUCCEEDED(pInfo->GetTypeAttr(&pAttr))) {
                EXPECT_TRUE(found.empty()) << "more than one type of kind " << kind;
                found = GuidText(pAttr->guid);
                pInfo->ReleaseTypeAttr(pAttr);
            }
            if (pInfo)
                pInfo->Release();
        }
        return found;
    }

    static HMODULE s_hFile;
    static std::vector<std::string> s_names;
    static std::string s_xml;
    static std::vector<Element> s_elements;
    static bool s_broken;
    static ITypeLib* s_pLib;
};

HMODULE DllManifest::s_hFile = nullptr;
std::vector<std::string> DllManifest::s_names;
std::string DllManifest::s_xml;
std::vector<Element> DllManifest::s_elements;
bool DllManifest::s_broken = false;
ITypeLib* DllManifest::s_pLib = nullptr;

// ---------------------------------------------------------------- the tests

TEST_F(DllManifest, OneManifestAsResourceOne)
{
    // A loader looking for the assembly in Tarnwick.dll reads RT_MANIFEST 1.
    EXPECT_EQ(std::vector<std::string>{"#1"}, s_names);
    EXPECT_FALSE(s_broken) << s_xml;
    ASSERT_FALSE(s_elements.empty());
    EXPECT_EQ("assembly", s_elements[0].name);
    EXPECT_EQ("urn:schemas-microsoft-com:asm.v1", s_elements[0].attributes["xmlns"]);
    EXPECT_EQ("1.0", s_elements[0].attributes["manifestVersion"]);
    // Plain ASCII: the text needs no code page to be read right.
    for (unsigned char c : s_xml)
        ASSERT_LT(c, 0x80u) << "a byte beyond ASCII";
}

TEST_F(DllManifest, IdentityIsTheLibrarysOwn)
{
    const Element* pIdentity = Identity();
    ASSERT_NE(nullptr, pIdentity);
    auto attrs = pIdentity->attributes;
    EXPECT_EQ("win32", attrs["type"]);
    EXPECT_EQ("Tarnwick", attrs["name"]);
    EXPECT_EQ(sizeof(void*) == 8 ? "amd64" : "x86", attrs["processorArchitecture"]);

    // The version is the file's own, from its version resource.
    DWORD ignored = 0;
    const DWORD cb = GetFileVersionInfoSizeA(DllPathA().c_str(), &ignored);
    ASSERT_NE(0u, cb);
    std::vector<char> block(cb);
    ASSERT_TRUE(GetFileVersionInfoA(DllPathA().c_str(), 0, cb, block.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
    const std::string fileVersion = std::to_string(HIWORD(pFixed->dwFileVersionMS)) + "." +
                                    std::to_string(LOWORD(pFixed->dwFileVersionMS)) + "." +
                                    std::to_string(HIWORD(pFixed->dwFileVersionLS)) + "." +
                                    std::to_string(LOWORD(pFixed->dwFileVersionLS));
    EXPECT_EQ(fileVersion, attrs["version"]);
    // Who made it, as installers and the file's properties show it.
    for (const char* entry : {"CompanyName", "LegalCopyright"}) {
        char* pText = nullptr;
        UINT cch = 0;
        const std::string path = std::string("\\StringFileInfo\\080403a8\\") + entry;
        EXPECT_TRUE(VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&pText), &cch) && cch > 1)
            << entry;
    }

    const Element& file = One("file");
    const auto name = file.attributes.find("name");
    EXPECT_EQ("Tarnwick.dll", name != file.attributes.end() ? name->second : "(no name)");
    EXPECT_TRUE(All("dependency").empty()) << "the library depends on no other assembly";
}

TEST_F(DllManifest, IdentifiersAreThoseOfTheTypeLibrary)
{
    TLIBATTR* pLibAttr = nullptr;
    ASSERT_EQ(S_OK, s_pLib->GetLibAttr(&pLibAttr));
    const std::string libId = GuidText(pLibAttr->guid);
    const std::string libVersion = std::to_string(pLibAttr->wMajorVerNum) + "." + std::to_string(pLibAttr->wMinorVerNum);
    s_pLib->ReleaseTLibAttr(pLibAttr);
    const std::string classId = GuidOfKind(TKIND_COCLASS);
    const std::string interfaceId = GuidOfKind(TKIND_DISPATCH);

    // The type library and the compiled-in identifiers agree first, so a
    // difference below is the manifest's.
    ASSERT_EQ(GuidText(LIBID_Tarnwick), libId);
    ASSERT_EQ(GuidText(CLSID_CInvokerK318), classId);
    ASSERT_EQ(GuidText(IID_IInvokerK318), interfaceId);

    struct Case {
        const char* element;
        const char* attribute;
        std::string expected;
    };
    const Case cases[] = {
        {"comClass", "clsid", classId},
        {"comClass", "tlbid", libId},
        {"comClass", "threadingModel", "Apartment"},
        {"comClass", "progid", "Tarnwick.InvokerK318.1"},
        {"typelib", "tlbid", libId},
        {"typelib", "version", libVersion},
        // The help folder is the library's own, as the registration writes it.
        {"typelib", "helpdir", ""},
        {"comInterfaceExternalProxyStub", "iid", interfaceId},
        {"comInterfaceExternalProxyStub", "tlbid", libId},
        {"comInterfaceExternalProxyStub", "name", "IInvokerK318"},
        // Marshalled from the type library (PSOAInterface), based on IDispatch.
        {"comInterfaceExternalProxyStub", "proxyStubClsid32", "{00020424-0000-0000-C000-000000000046}"},
        {"comInterfaceExternalProxyStub", "baseInterface", "{00020400-0000-0000-C000-000000000046}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.element) + " " + c.attribute);
        const Element& e = One(c.element);
        ASSERT_EQ(1u, e.attributes.count(c.attribute)) << s_xml;
        EXPECT_EQ(c.expected, e.attributes.at(c.attribute));
    }
}

TEST_F(DllManifest, VersionIndependentProgIdBelongsToTheClass)
{
    // The versioned ProgID is the class's attribute; the other one is the
    // <progid> element inside <comClass>, right after it.
    const Element& progId = One("progid");
    EXPECT_EQ("Tarnwick.InvokerK318", Trimmed(progId.text));
    size_t classAt = s_elements.size(), progIdAt = s_elements.size();
    for (size_t i = 0; i < s_elements.size(); ++i) {
        if (s_elements[i].name == "comClass")
            classAt = i;
        else if (&s_elements[i] == &progId)
            progIdAt = i;
    }
    EXPECT_EQ(classAt + 1, progIdAt);
}

}  // namespace
