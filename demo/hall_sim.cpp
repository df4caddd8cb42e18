// Hall simulator. Plays the game hall around the bridge: it writes the
// hall's install registry value and introduce.ini, owns the hidden request
// windows (the plain one and one numbered for user 7), and prints every
// WM_HALL_REQUEST it receives exactly as a hall would read it. The "page" part
// then calls the bridge's five methods and prints what each returned.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "bridge/invoker.h"
#include "text/narrow_string.h"

namespace {

const char kHallClass[] = "K318HallMutexClass";
const char kHallTitle[] = "K318HallHideWindows";
const char kHallKey[] = "SoftWare\\Vorm\\Game";

// ---------------------------------------------------------------- the hall

LRESULT CALLBACK HallWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_HALL_REQUEST) {
        char title[64] = {};
        GetWindowTextA(hwnd, title, sizeof title);
        // lParam is the address of a string handle: one pointer to the first
        // character, with the 16-byte header in front of it.
        const char* text = *reinterpret_cast<const char* const*>(lParam);
        const CStringHeader* header = reinterpret_cast<const CStringHeader*>(text) - 1;
        std::printf("  hall  | window \"%s\" got WM_HALL_REQUEST: rid=%lu text=\"%s\"\n"
                    "        |   header: length=%ld capacity=%ld refs=%ld manager=%p\n",
                    title, static_cast<unsigned long>(wParam), text, header->nLength,
                    header->nCapacity, header->nRefs, static_cast<void*>(header->pManager));
        return 1;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class Hall {
public:
    bool Open()
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = HallWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kHallClass;
        if (!RegisterClassA(&wc))
            return false;
        m_plain = CreateWindowA(kHallClass, kHallTitle, 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
        m_user7 = CreateWindowA(kHallClass, "K318HallHideWindows7", 0, 0, 0, 0, 0, nullptr, nullptr,
                                wc.hInstance, nullptr);
        return m_plain && m_user7 && WriteInstallData();
    }

    ~Hall()
    {
        if (m_plain)
            DestroyWindow(m_plain);
        if (m_user7)
            DestroyWindow(m_user7);
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

    HWND m_plain = nullptr;
    HWND m_user7 = nullptr;
    std::string m_folder;
};

// ---------------------------------------------------------------- the page

const char* ResultName(HRESULT hr)
{
    switch (hr) {
    case S_OK: return "S_OK";
    case S_FALSE: return "S_FALSE (refused: less than 1000 ms since the last request)";
    case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
    default: return "failure";
    }
}

void Show(const char* call, HRESULT hr)
{
    std::printf("  page  | %-34s -> 0x%08lX %s\n", call, static_cast<unsigned long>(hr), ResultName(hr));
}

void ShowText(const char* call, HRESULT hr, BSTR text)
{
    std::printf("  page  | %-34s -> 0x%08lX \"%ls\" (%u characters)\n", call, static_cast<unsigned long>(hr),
                text ? text : L"", text ? SysStringLen(text) : 0u);
    SysFreeString(text);
}

void RunPage()
{
    BSTR room7 = SysAllocString(L"room=7");
    BSTR room8 = SysAllocString(L"room=8");
    BSTR video = SysAllocString(L"video=42");

    Show("LoadExe(12, \"room=7\")", CInvokerK318Methods::LoadExe(12, room7));
    Show("LoadExe(13, \"room=8\") at once", CInvokerK318Methods::LoadExe(13, room8));
    Sleep(1100);
    Show("RunVideo(7, 12, \"video=42\")", CInvokerK318Methods::RunVideo(7, 12, video));
    Sleep(1100);
    Show("RunVideo(8, 12, \"video=42\")", CInvokerK318Methods::RunVideo(8, 12, video));
    std::printf("  page  |   (no hall window for user 8: nothing sent, the request still counts)\n");

    BSTR text = nullptr;
    HRESULT hr = CInvokerK318Methods::GetMacAddress(&text);
    ShowText("GetMacAddress()", hr, text);
    text = nullptr;
    hr = CInvokerK318Methods::GetSpReadUserID(&text);
    ShowText("GetSpReadUserID()", hr, text);
    ULONG ver = 0;
    hr = CInvokerK318Methods::GetVer(&ver);
    std::printf("  page  | %-34s -> 0x%08lX %lu\n", "GetVer()", static_cast<unsigned long>(hr),
                static_cast<unsigned long>(ver));

    SysFreeString(room7);
    SysFreeString(room8);
    SysFreeString(video);
}

}  // namespace

int main()
{
    Hall hall;
    if (!hall.Open()) {
        std::printf("hall simulator: could not set up the hall (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("Tarnwick hall simulator\n"
                "  hall  | windows \"%s\" and \"K318HallHideWindows7\" of class \"%s\"\n"
                "  hall  | HKCU\\%s path = %s, introducer = 10086\n\n",
                kHallTitle, kHallClass, kHallKey, hall.Folder().c_str());
    RunPage();
    std::fflush(stdout);
    return 0;
}
