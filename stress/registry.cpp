// Registry: HKEY_CLASSES_ROOT and HKCU\Software, key names and values, are
// read before DllRegisterServer and after DllUnregisterServer, and every
// difference is printed; only the platform's bookkeeping for the type
// library's interface may remain. Then the hall's install data is made
// hostile (the "path" value as 1 MB of text, binary, a number, a multi-string;
// introduce.ini as 8 MB of random bytes, UTF-16, one 100,000-character line, a
// folder): GetSpReadUserID must answer S_OK with a string every time, in time.
//
// Usage: stress_registry [--seed N]

#include "stress/stress_common.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Snapshot = std::map<std::string, std::string>;

void Walk(HKEY hKey, const std::string& path, Snapshot& out)
{
    out[path] = "";
    char name[1024];
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD cchName = sizeof name, type = 0, cb = static_cast<DWORD>(data.size());
        const LONG r = RegEnumValueA(hKey, i, name, &cchName, nullptr, &type, data.data(), &cb);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r == ERROR_MORE_DATA) {
            out[path + " [" + name + "]"] = "(large value)";
            continue;
        }
        if (r != ERROR_SUCCESS)
            break;
        out[path + " [" + name + "]"] = std::to_string(type) + ":" + std::string(data.begin(), data.begin() + cb);
    }
    for (DWORD i = 0;; ++i) {
        DWORD cchName = sizeof name;
        if (RegEnumKeyExA(hKey, i, name, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY hSub = nullptr;
        if (RegOpenKeyExA(hKey, name, 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            Walk(hSub, path + "\\" + name, out);
            RegCloseKey(hSub);
        }
    }
}

Snapshot Take()
{
    Snapshot s;
    Walk(HKEY_CLASSES_ROOT, "HKCR", s);
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &h) == ERROR_SUCCESS) {
        Walk(h, "HKCU\\Software", s);
        RegCloseKey(h);
    }
    return s;
}

// The platform's own record of the type library's dual interface.
bool PlatformBookkeeping(const std::string& key)
{
    return key.rfind("HKCR\\Interface\\{E072AFD3-CE13-4A32-9BB7-4400F54C0528}", 0) == 0;
}

struct Call {
    IInvokerK318* p;
    HRESULT hr;
    BSTR out;
};

DWORD WINAPI CallGetSpReadUserID(void* pv)
{
    auto* c = static_cast<Call*>(pv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    c->hr = c->p->GetSpReadUserID(&c->out);
    CoUninitialize();
    return 0;
}

// One hostile case: answers true when GetSpReadUserID answered S_OK with a
// string within 30 s.
bool Ask(IInvokerK318* p, const char* what)
{
    Call c = {p, E_FAIL, nullptr};
    HANDLE h = CreateThread(nullptr, 0, CallGetSpReadUserID, &c, 0, nullptr);
    const DWORD wait = WaitForSingleObject(h, 30000);
    CloseHandle(h);
    if (wait != WAIT_OBJECT_0) {
        std::printf("  %-34s HANG\n", what);
        return false;
    }
    const bool ok = c.hr == S_OK && c.out != nullptr;
    std::printf("  %-34s hr 0x%08lX, %u characters%s\n", what, static_cast<unsigned long>(c.hr),
                c.out ? SysStringLen(c.out) : 0u, ok ? "" : "  WRONG");
    SysFreeString(c.out);
    return ok;
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cb = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
    CloseHandle(h);
}

}  // namespace

int main(int argc, char** argv)
{
    const stress::Options o = stress::ParseOptions(argc, argv, 0, 0);
    std::printf("registry: seed %llu\n", static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 2;
    stress::Dll dll;
    if (!dll.Load())
        return 2;

    const Snapshot before = Take();
    const HRESULT hrReg = dll.Register();
    // The registration as the snapshot sees it: it must show up, or the
    // comparison below proves nothing.
    size_t added = 0;
    for (const auto& kv : Take())
        added += before.count(kv.first) ? 0 : 1;
    const HRESULT hrUnreg = dll.Unregister();
    const Snapshot after = Take();
    int stray = 0, bookkeeping = 0;
    auto report = [&](const std::string& key, const char* how) {
        const bool platform = PlatformBookkeeping(key);
        (platform ? bookkeeping : stray) += 1;
        if (!platform || bookkeeping <= 5)
            std::printf("    %s %s%s\n", how, key.c_str(), platform ? " (platform type-library bookkeeping)" : "");
    };
    for (const auto& [key, value] : after) {
        const auto it = before.find(key);
        if (it == before.end())
            report(key, "added  ");
        else if (it->second != value)
            report(key, "changed");
    }
    for (const auto& kv : before)
        if (after.find(kv.first) == after.end())
            report(kv.first, "removed");
    std::printf("  register 0x%08lX (added %zu keys and values), unregister 0x%08lX; keys and values read %zu before, "
                "%zu after; platform bookkeeping %d, stray %d\n",
                static_cast<unsigned long>(hrReg), added, static_cast<unsigned long>(hrUnreg), before.size(),
                after.size(), bookkeeping, stray);
    std::fflush(stdout);

    IClassFactory* pFactory = dll.Factory();
    IInvokerK318* p = nullptr;
    if (pFactory == nullptr ||
        FAILED(pFactory->CreateInstance(nullptr, stress::kIidInvoker, reinterpret_cast<void**>(&p))))
        return 2;
    pFactory->Release();

    stress::Rng rng(o.seed);
    int wrong = 0;
    const std::string mb(1 << 20, 'C');
    wrong += stress::SetHallPath(REG_SZ, mb.c_str(), static_cast<DWORD>(mb.size() + 1)) && !Ask(p, "path: 1 MB REG_SZ");
    wrong += stress::SetHallPath(REG_BINARY, mb.data(), static_cast<DWORD>(mb.size())) && !Ask(p, "path: 1 MB REG_BINARY");
    const DWORD dw = 0x12345678;
    wrong += stress::SetHallPath(REG_DWORD, &dw, sizeof dw) && !Ask(p, "path: REG_DWORD");
    std::string multi = mb.substr(0, 1000) + '\0' + "C:\\" + '\0' + '\0';
    wrong += stress::SetHallPath(REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size())) &&
             !Ask(p, "path: REG_MULTI_SZ");

    char tmp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tmp);
    const std::string dir = std::string(tmp) + "TarnwickRegistry";
    const std::string ini = dir + "\\Data\\introduce.ini";
    CreateDirectoryA(dir.c_str(), nullptr);
    CreateDirectoryA((dir + "\\Data").c_str(), nullptr);
    stress::SetHallPath(REG_SZ, dir.c_str(), static_cast<DWORD>(dir.size() + 1));
    std::string random(8 << 20, '\0');
    for (char& c : random)
        c = static_cast<char>(rng.Next());
    WriteFileBytes(ini, random);
    wrong += !Ask(p, "introduce.ini: 8 MB random bytes");
    const wchar_t utf16[] = L"\xFEFF[config]\r\nintroducer=\x4E2D\x6587" L"10086\r\n";
    WriteFileBytes(ini, std::string(reinterpret_cast<const char*>(utf16), sizeof utf16 - sizeof(wchar_t)));
    wrong += !Ask(p, "introduce.ini: UTF-16 with a BOM");
    WriteFileBytes(ini, "[config]\r\nintroducer=" + std::string(100000, '9') + "\r\n");
    wrong += !Ask(p, "introduce.ini: one 100,000-character line");
    DeleteFileA(ini.c_str());
    CreateDirectoryA(ini.c_str(), nullptr);
    wrong += !Ask(p, "introduce.ini: a folder");
    RemoveDirectoryA(ini.c_str());
    RemoveDirectoryA((dir + "\\Data").c_str());
    RemoveDirectoryA(dir.c_str());
    stress::DeleteHallPath();

    p->Release();
    const HRESULT hrUnload = dll.CanUnloadNow();
    const bool ok = added != 0 && stray == 0 && wrong == 0 && hrUnload == S_OK && SUCCEEDED(hrReg) && SUCCEEDED(hrUnreg);
    std::printf("registry: stray keys %d, wrong answers %d, DllCanUnloadNow 0x%08lX: %s (replay: --seed %llu)\n", stray,
                wrong, static_cast<unsigned long>(hrUnload), ok ? "PASS" : "FAIL",
                static_cast<unsigned long long>(o.seed));
    dll.Free();
    CoUninitialize();
    return ok ? 0 : 1;
}
