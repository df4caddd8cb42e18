#include "registration_support.h"

#include <ole2.h>

#include <sstream>
#include <vector>

#include "tarnwick_h.h"
#include "tests/support/built_library.h"

namespace registration_test {

namespace {

std::string GuidText(REFGUID guid)
{
    wchar_t wide[64] = {};
    StringFromGUID2(guid, wide, 64);
    std::string text;
    for (const wchar_t* p = wide; *p != L'\0'; ++p)
        text += static_cast<char>(*p);
    return text;
}

void ReadKey(HKEY hKey, const std::string& relative, RegistryTree& tree)
{
    tree.keys.insert(relative);
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD cchName = sizeof name;
        DWORD type = 0;
        DWORD cbData = 0;
        if (RegEnumValueA(hKey, i, name, &cchName, nullptr, &type, nullptr, &cbData) != ERROR_SUCCESS)
            break;
        std::vector<char> data(cbData + 1);
        DWORD cbRead = cbData;
        cchName = sizeof name;
        if (RegEnumValueA(hKey, i, name, &cchName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &cbRead) !=
            ERROR_SUCCESS)
            break;
        tree.values[relative + "|" + std::string(name, cchName)] = StoredValue{type, std::string(data.data(), cbRead)};
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD cchName = sizeof name;
        if (RegEnumKeyExA(hKey, i, name, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, cchName);
    }
    for (const std::string& subkey : subkeys) {
        HKEY hSub = nullptr;
        if (RegOpenKeyExA(hKey, subkey.c_str(), 0, KEY_READ, &hSub) != ERROR_SUCCESS)
            continue;
        ReadKey(hSub, relative.empty() ? subkey : relative + "\\" + subkey, tree);
        RegCloseKey(hSub);
    }
}

}  // namespace

std::string ClassIdText()
{
    return GuidText(CLSID_CInvokerK318);
}

std::string LibIdText()
{
    return GuidText(LIBID_Tarnwick);
}

std::string ClassKeyPath()
{
    return "CLSID\\" + ClassIdText();
}

std::string ScriptFolder()
{
    return WindowsPathFromEnvironment("TARNWICK_REGISTRATION_SOURCES");
}

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs)
{
    ProcessResult result;

    // The child's output goes to a file: read once it has ended, it cannot
    // hold the test up the way a full pipe could.
    char tempFolder[MAX_PATH] = {};
    char outputPath[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempFolder);
    GetTempFileNameA(tempFolder, "trw", 0, outputPath);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE hOutput = CreateFileA(outputPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (hOutput == INVALID_HANDLE_VALUE)
        return result;

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = hOutput;
    startup.hStdError = hOutput;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
            result.finished = GetExitCodeProcess(process.hProcess, &result.exitCode) != FALSE;
        } else {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    SetFilePointer(hOutput, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD cbRead = 0;
    while (ReadFile(hOutput, buffer, sizeof buffer, &cbRead, nullptr) && cbRead != 0)
        result.output.append(buffer, cbRead);
    CloseHandle(hOutput);
    DeleteFileA(outputPath);
    return result;
}

DWORD Regsvr32(const std::string& libraryPath, bool unregister)
{
    const ProcessResult run =
        RunProcess(std::string("regsvr32.exe ") + (unregister ? "/u " : "") + "/s \"" + libraryPath + "\"");
    return run.finished ? run.exitCode : ~0u;
}

void WipeRegistration()
{
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kVersionedProgId);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kProgId);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKeyPath().c_str());
    UnRegisterTypeLib(LIBID_Tarnwick, 1, 0, 0, kBuildSysKind);
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

RegistryTree ReadTree(HKEY root, const std::string& path, REGSAM view)
{
    RegistryTree tree;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &hKey) != ERROR_SUCCESS)
        return tree;
    tree.present = true;
    ReadKey(hKey, "", tree);
    RegCloseKey(hKey);
    return tree;
}

std::string Describe(const RegistryTree& tree)
{
    if (!tree.present)
        return "(absent)\n";
    std::ostringstream out;
    for (const std::string& key : tree.keys)
        out << "[" << key << "]\n";
    for (const auto& [name, value] : tree.values) {
        out << name << " type " << value.type << " (" << value.bytes.size() << " bytes) \"";
        for (char c : value.bytes)
            out << (c == '\0' ? std::string("\\0") : std::string(1, c));
        out << "\"\n";
    }
    return out.str();
}

void PrintTo(const RegistryTree& tree, std::ostream* out)
{
    *out << "\n" << Describe(tree);
}

StoredValue Sz(const std::string& text)
{
    return StoredValue{REG_SZ, text + std::string(1, '\0')};
}

void WriteSz(HKEY root, const std::string& path, const char* name, const std::string& text, REGSAM view)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(hKey);
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide;
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

bool MakeParentFolders(const std::wstring& path)
{
    // The long form lifts the usual path length limit for the folders.
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1)) {
        const std::wstring folder = L"\\\\?\\" + path.substr(0, pos);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

}  // namespace registration_test
