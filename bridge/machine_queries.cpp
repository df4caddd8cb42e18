// GetMacAddress and GetSpReadUserID: the first answering NetBIOS adapter's
// address, and the hall's "introducer" entry from its installation folder.
#include "bridge/invoker.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/key_handle.h"
#include "text/errors.h"
#include "text/narrow_string.h"

namespace {

constexpr WORD ENUM_AREA_SIZE = 256;
constexpr WORD STATUS_AREA_SIZE = 600;  // ADAPTER_STATUS and 30 name entries
constexpr DWORD PATH_BUFFER_SIZE = 1024;
constexpr DWORD INTRODUCER_SIZE = 255;

// The hall's install folder from HKCU\SoftWare\Vorm\Game "path". False when
// the key or value is missing or the value does not fit in 1024 bytes. The
// value's bytes need not hold a NUL: the text always ends after the bytes read.
bool ReadHallPath(HKEY hKey, char (&path)[PATH_BUFFER_SIZE + 1])
{
    DWORD cb = PATH_BUFFER_SIZE;
    LONG rc = ::RegQueryValueExA(hKey, "path", nullptr, nullptr,
                                               reinterpret_cast<LPBYTE>(path), &cb);
    if (rc != ERROR_SUCCESS || cb > PATH_BUFFER_SIZE)
        return false;
    path[cb] = '\0';
    return true;
}

}  // namespace

bool QueryAdapterAddress(UCHAR lana, char* text)
{
    NCB ncb;
    std::memset(&ncb, 0, sizeof(ncb));
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lana;
    platform::ops().Netbios(&ncb);  // a failing reset does not stop the query

    UCHAR area[STATUS_AREA_SIZE];
    std::memset(area, 0, sizeof(area));
    std::memset(&ncb, 0, sizeof(ncb));
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lana;
    ncb.ncb_callname[0] = '*';
    ncb.ncb_buffer = area;
    ncb.ncb_length = STATUS_AREA_SIZE;
    if (platform::ops().Netbios(&ncb) != NRC_GOODRET)
        return false;

    // "%02X-%02X-%02X-%02X-%02X-%02X", written by hand.
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    const UCHAR* addr = reinterpret_cast<const ADAPTER_STATUS*>(area)->adapter_address;
    char* out = text;
    for (int i = 0; i < 6; ++i) {
        if (i != 0)
            *out++ = '-';
        *out++ = kHexDigits[addr[i] >> 4];
        *out++ = kHexDigits[addr[i] & 0x0F];
    }
    *out = '\0';
    return true;
}

HRESULT CInvokerK318Methods::GetMacAddress(BSTR* bstrText)
{
    if (!bstrText)
        return E_POINTER;
    *bstrText = nullptr;  // a failure never leaves the caller holding garbage
    CNarrowString result;

    UCHAR area[ENUM_AREA_SIZE];
    std::memset(area, 0, sizeof(area));
    NCB ncb;
    std::memset(&ncb, 0, sizeof(ncb));
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = area;
    ncb.ncb_length = ENUM_AREA_SIZE;
    if (platform::ops().Netbios(&ncb) == NRC_GOODRET) {
        const LANA_ENUM* list = reinterpret_cast<const LANA_ENUM*>(area);
        for (UINT i = 0; i < list->length; ++i) {
            char text[1024];
            std::memset(text, 0, sizeof(text));
            if (QueryAdapterAddress(list->lana[i], text)) {
                result.SetFormatted("%s", text);
                platform::ops().OutputDebugStringA(result);
                break;
            }
        }
    }
    *bstrText = MakeBstr(result);
    return S_OK;
}

HRESULT CInvokerK318Methods::GetSpReadUserID(BSTR* nUserName)
{
    if (!nUserName)
        return E_POINTER;
    *nUserName = nullptr;  // a failure never leaves the caller holding garbage
    CNarrowString result;
    KeyHandle key;
    if (key.Open(HKEY_CURRENT_USER, "SoftWare\\Vorm\\Game", KEY_QUERY_VALUE) != ERROR_SUCCESS) {
        *nUserName = MakeBstr(result);
        return S_OK;
    }

    char path[PATH_BUFFER_SIZE + 1];
    if (ReadHallPath(key.Get(), path)) {
        CNarrowString iniFile;
        iniFile.SetFormatted("%s\\Data\\introduce.ini", path);
        char* buffer = result.GetBuffer(INTRODUCER_SIZE);
        platform::ops().GetPrivateProfileStringA("config", "introducer", "", buffer,
                                                 INTRODUCER_SIZE, iniFile);
        result.ReleaseBuffer(-1);
    }
    *nUserName = MakeBstr(result);
    return S_OK;
}
