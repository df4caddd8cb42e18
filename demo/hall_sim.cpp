// Hall simulator. Plays the game hall around the bridge: it writes the
// hall's install registry value and introduce.ini, owns the hidden request
// windows (the plain one and one numbered for user 7), and prints every
// request message it receives exactly as a hall would read it. Like the
// hall's embedded browser, it runs a page script in an in-process JScript
// engine; the page creates the component by its ProgID, registered (make demo)
// or found through hall_sim.exe.manifest beside the program (make demo-regfree).
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "fake_hall/fake_hall.h"
#include "script_host/script_host.h"

namespace {

const char kHallKey[] = "SoftWare\\Vorm\\Game";

// ---------------------------------------------------------------- the hall

// Prints a request exactly as the hall read it.
void PrintRequest(const fake_hall::Request& r, fake_hall::Header*)
{
    std::printf("  hall  | window \"%s\" got WM_HALL_REQUEST: rid=%lu text=\"%s\"\n"
                "        |   header: length=%ld capacity=%ld refs=%ld manager=%p\n",
                r.title.c_str(), static_cast<unsigned long>(r.rid), r.text.c_str(), r.header.length,
                r.header.capacity, r.header.refs, reinterpret_cast<void*>(static_cast<UINT_PTR>(r.header.manager)));
}

class Hall {
public:
    bool Open()
    {
        m_windows.onRequest = PrintRequest;
        return m_windows.Open(fake_hall::kPlainTitle) && m_windows.Open("K318HallHideWindows7") &&
               WriteInstallData();
    }

    const std::string& Folder() const { return m_folder; }

private:
    bool WriteInstallData()
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        m_folder = std::string(temp) + "TarnwickHall";
        CreateDirectoryA(m_folder.c_str(), nullptr);
        CreateDirectoryA((m_folder + "\\Data").c_str(), nullptr);
        const std::string ini = m_folder + "\\Data\\introduce.ini";
        if (!WritePrivateProfileStringA("config", "introducer", "10086", ini.c_str()))
            return false;
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kHallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr))
            return false;
        LONG rc = RegSetValueExA(key, "path", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_folder.c_str()),
                                 static_cast<DWORD>(m_folder.size() + 1));
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    fake_hall::Hall m_windows;
    std::string m_folder;
};

// ---------------------------------------------------------------- the page

// Reads the page script (UTF-8, ASCII being a part of it) into wide text.
bool ReadPage(const char* pszPath, std::wstring& page)
{
    HANDLE h = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got != 0)
        bytes.append(buf, got);
    CloseHandle(h);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    const int cch = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    page.assign(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), page.data(), cch);
    return true;
}

void PrintPageLine(const std::wstring& line)
{
    std::printf("  page  | %ls\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* pszPage = argc > 1 ? argv[1] : "page.js";
    std::wstring page;
    if (!ReadPage(pszPage, page)) {
        std::printf("hall simulator: cannot read the page script %s\n", pszPage);
        return 1;
    }

    Hall hall;
    if (!hall.Open()) {
        std::printf("hall simulator: could not set up the hall (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("Tarnwick hall simulator\n"
                "  hall  | windows \"%s\" and \"K318HallHideWindows7\" of class \"%s\"\n"
                "  hall  | HKCU\\%s path = %s, introducer = 10086\n"
                "  hall  | running page %s in the in-process JScript engine\n\n",
                fake_hall::kPlainTitle, fake_hall::kWindowClass, kHallKey, hall.Folder().c_str(), pszPage);
    std::fflush(stdout);

    if (FAILED(CoInitialize(nullptr))) {
        std::printf("hall simulator: COM would not start\n");
        return 1;
    }
    int status = 0;
    {
        CScriptHost browser;
        HRESULT hr = browser.Start(L"JScript", PrintPageLine);
        if (SUCCEEDED(hr))
            hr = browser.Run(page.c_str());
        if (FAILED(hr)) {
            std::printf("  page  | script error %ls\n", browser.LastError().empty() ? L"" : browser.LastError().c_str());
            if (hr == REGDB_E_CLASSNOTREG || hr == static_cast<HRESULT>(0x800A01AD))
                std::printf("  page  | (is Tarnwick.dll registered, or beside this program with its manifest?"
                            " make demo registers it with regsvr32, make demo-regfree uses the manifest)\n");
            status = 2;
        }
    }
    CoUninitialize();
    std::fflush(stdout);
    return status;
}
