// A client that asks for the class out of its process (as a client of the
// other bitness ends up doing on Wine, through the default surrogate) gets a
// failure, never an object: the library refuses to serve inside the
// surrogate. Here the surrogate is the 64-bit dllhost.exe, named by a
// DllSurrogate value under the key that the class's empty AppID value opens,
// HKEY_CLASSES_ROOT\AppID itself.
#include <gtest/gtest.h>

#include <windows.h>
#include <ole2.h>

#include <string>

#include "registration_support.h"
#include "tarnwick_h.h"
#include "tests/support/built_library.h"

namespace {

using namespace registration_test;

class SurrogateActivation : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(BuiltLibraryPath().empty()) << "TARNWICK_BIN is not set";
        ASSERT_EQ(Regsvr32(BuiltLibraryPath()), 0u);
        char system[MAX_PATH] = {};
        ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
        WriteSz(HKEY_CLASSES_ROOT, "AppID", "DllSurrogate", std::string(system) + "\\dllhost.exe");
        CoInitialize(nullptr);
    }
    void TearDown() override
    {
        CoUninitialize();
        HKEY hKey = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_SET_VALUE, &hKey) == ERROR_SUCCESS) {
            RegDeleteValueA(hKey, "DllSurrogate");
            RegCloseKey(hKey);
        }
        Regsvr32(BuiltLibraryPath(), true);
    }
};

TEST_F(SurrogateActivation, OutOfProcessActivationFailsInsteadOfGivingAnObject)
{
    // The class key carries the empty AppID value that leads there.
    const RegistryTree classKey = ReadTree(HKEY_CLASSES_ROOT, ClassKeyPath());
    const auto appId = classKey.values.find("|AppID");
    ASSERT_NE(appId, classKey.values.end());
    ASSERT_EQ(appId->second, Sz(""));

    for (REFIID riid : {IID_IDispatch, IID_IInvokerK318}) {
        void* pObject = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_CInvokerK318, nullptr, CLSCTX_LOCAL_SERVER, riid, &pObject);
        EXPECT_TRUE(FAILED(hr)) << "activation answered 0x" << std::hex << hr;
        EXPECT_EQ(pObject, nullptr);
        if (pObject != nullptr)
            static_cast<IUnknown*>(pObject)->Release();
    }

    // In the process itself the class is served as ever.
    IDispatch* pDispatch = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CInvokerK318, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&pDispatch)),
              S_OK);
    pDispatch->Release();
}

}  // namespace
