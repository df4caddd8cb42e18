#include "tests/support/registry_link.h"

#include <vector>

namespace testing_support {

namespace {

// The kernel's full name of an open key (\REGISTRY\USER\...), from ntdll.
std::vector<BYTE> KernelNameOf(HKEY hKey)
{
    using NtQueryKeyFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto pfn = reinterpret_cast<NtQueryKeyFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryKey")));
    if (pfn == nullptr)
        return {};
    std::vector<BYTE> info(4096);
    ULONG cb = 0;
    const int kKeyNameInformation = 3;
    if (pfn(hKey, kKeyNameInformation, info.data(), static_cast<ULONG>(info.size()), &cb) != 0)
        return {};
    const ULONG nameBytes = *reinterpret_cast<const ULONG*>(info.data());
    return std::vector<BYTE>(info.begin() + sizeof(ULONG), info.begin() + sizeof(ULONG) + nameBytes);
}

}  // namespace

LONG CreateRegistryLink(HKEY parent, const char* name, HKEY target)
{
    const std::vector<BYTE> targetName = KernelNameOf(target);
    if (targetName.empty())
        return ERROR_NOT_SUPPORTED;
    HKEY hLink = nullptr;
    LONG status = RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                                  nullptr, &hLink, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(hLink, L"SymbolicLinkValue", 0, REG_LINK, targetName.data(),
                            static_cast<DWORD>(targetName.size()));
    RegCloseKey(hLink);
    return status;
}

bool IsRegistryLink(HKEY parent, const char* name)
{
    HKEY h = nullptr;
    if (RegOpenKeyExA(parent, name, REG_OPTION_OPEN_LINK, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD cb = 0;
    const bool link = RegQueryValueExA(h, "SymbolicLinkValue", nullptr, &type, nullptr, &cb) == ERROR_SUCCESS &&
                      type == REG_LINK;
    RegCloseKey(h);
    return link;
}

}  // namespace testing_support
