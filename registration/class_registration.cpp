#include "registration/class_registration.h"

#include "platform/owners.h"
#include "platform/platform.h"
#include "server/module.h"
#include "text/code_page.h"
#include "text/errors.h"

namespace {

enum : DWORD {
    S_NONE,            // ""
    S_PROGID,          // versioned ProgID
    S_FRIENDLY,        // %FriendlyName%
    S_CLSID_KEY,       // CLSID
    S_CLSID_TEXT,      // the class's CLSID
    S_INDEP_PROGID,    // version-independent ProgID
    S_CURVER,
    S_PROGID_KEY,
    S_INDEP_KEY,
    S_PROGRAMMABLE,
    S_MODULETYPE,      // %MODULETYPE%
    S_MODULE,          // %MODULE%
    S_THREADING,
    S_APARTMENT,
    S_APPID_VALUE,
    S_APPID,           // %APPID%
    S_TYPELIB,
    S_MODULEGUID,      // %MODULEGUID%
};

constexpr UINT kPathBuffer = 260;

}  // namespace

const StringEntry g_rgInvokerStrings[19] = {
    {"", 0},
    {"Tarnwick.InvokerK318.1", 0},
    {"%FriendlyName%", 1},
    {"CLSID", 0},
    {"{944F576C-8D13-4177-9B3F-E827E4AFE8FF}", 0},
    {"Tarnwick.InvokerK318", 0},
    {"CurVer", 0},
    {"ProgID", 0},
    {"VersionIndependentProgID", 0},
    {"Programmable", 0},
    {"%MODULETYPE%", 1},
    {"%MODULE%", 1},
    {"ThreadingModel", 0},
    {"apartment", 0},
    {"AppID", 0},
    {"%APPID%", 1},
    {"TypeLib", 0},
    {"%MODULEGUID%", 1},
    {nullptr, 0},
};

const DWORD g_rgInvokerProgram[40] = {
    RegWord(REGOP_ROOT, 0),  // HKEY_CLASSES_ROOT
    RegWord(REGOP_KEY, S_PROGID),
    RegWord(REGOP_SZ, S_NONE, S_FRIENDLY),
    RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, S_CLSID_KEY),
        RegWord(REGOP_SZ, S_NONE, S_CLSID_TEXT),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_KEY, S_INDEP_PROGID),
    RegWord(REGOP_SZ, S_NONE, S_FRIENDLY),
    RegWord(REGOP_ENTER),
        RegWord(REGOP_KEY, S_CLSID_KEY),
        RegWord(REGOP_SZ, S_NONE, S_CLSID_TEXT),
        RegWord(REGOP_KEY, S_CURVER),
        RegWord(REGOP_SZ, S_NONE, S_PROGID),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_NOREMOVE, S_CLSID_KEY),
    RegWord(REGOP_KEY, S_CLSID_KEY),
    RegWord(REGOP_ENTER),
        RegWord(REGOP_FORCEREMOVE, S_CLSID_TEXT),
        RegWord(REGOP_KEY, S_CLSID_TEXT),
        RegWord(REGOP_SZ, S_NONE, S_FRIENDLY),
        RegWord(REGOP_ENTER),
            RegWord(REGOP_KEY, S_PROGID_KEY),
            RegWord(REGOP_SZ, S_NONE, S_PROGID),
            RegWord(REGOP_KEY, S_INDEP_KEY),
            RegWord(REGOP_SZ, S_NONE, S_INDEP_PROGID),
            RegWord(REGOP_FORCEREMOVE, S_PROGRAMMABLE),
            RegWord(REGOP_KEY, S_PROGRAMMABLE),
            RegWord(REGOP_KEY, S_MODULETYPE),
            RegWord(REGOP_SZ, S_NONE, S_MODULE),
            RegWord(REGOP_ENTER),
                RegWord(REGOP_SZ, S_THREADING, S_APARTMENT),
            RegWord(REGOP_LEAVE),
            RegWord(REGOP_SZ, S_APPID_VALUE, S_APPID),
            RegWord(REGOP_KEY, S_TYPELIB),
            RegWord(REGOP_SZ, S_NONE, S_MODULEGUID),
        RegWord(REGOP_LEAVE),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_LEAVE),
    RegWord(REGOP_END),
};

HRESULT AddModuleReplacements(ReplacementTable& table)
{
    const UINT codePage = GetConversionCodePage();
    const HINSTANCE hInstance = g_moduleInstance.m_hInstance;

    char szPath[kPathBuffer];
    const DWORD cch = platform::ops().GetModuleFileNameA(hInstance, szPath, kPathBuffer);
    if (cch == 0)
        return FailureFromLastError();
    if (cch == kPathBuffer)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);  // the path did not fit

    HRESULT hr;
    if (hInstance != nullptr && hInstance != ::GetModuleHandleA(nullptr)) {
        hr = table.Add("Module", szPath);
    } else {
        // An executable's path is quoted, since a command line follows it.
        char szQuoted[kPathBuffer + 2];
        szQuoted[0] = '"';
        lstrcpyA(szQuoted + 1, szPath);
        szQuoted[cch + 1] = '"';
        szQuoted[cch + 2] = '\0';
        hr = table.Add("Module", szQuoted);
    }
    if (FAILED(hr))
        return hr;
    hr = table.Add("Module_Raw", szPath);
    if (FAILED(hr))
        return hr;

    TaskMem<OLECHAR> libId;
    hr = ::StringFromCLSID(g_libid, libId.Put());
    if (FAILED(hr))
        return hr;
    char szLibId[64];
    if (WideToNarrow(szLibId, libId.Get(), sizeof szLibId, codePage) == nullptr)
        return E_OUTOFMEMORY;
    hr = table.Add("MODULEGUID", szLibId);
    if (FAILED(hr))
        return hr;

    const DWORD_PTR exeType = platform::ops().SHGetFileInfoA(szPath, 0, nullptr, 0, SHGFI_EXETYPE);
    hr = table.Add("MODULETYPE", exeType != 0 ? "LocalServer32" : "InprocServer32");
    if (FAILED(hr))
        return hr;

    if (g_pModule == nullptr)
        return E_UNEXPECTED;  // the module object failed to start
    return g_pModule->AddCommonReplacements(&table);
}

HRESULT UpdateClassRegistration(bool bRegister)
{
    ReplacementTable table;
    HRESULT hr = AddModuleReplacements(table);
    if (SUCCEEDED(hr)) {
        // A failed addition shows up as E_FAIL at the program's first reference.
        table.Add("FriendlyName", "CInvokerK318 Object");
        hr = RunRegistrationProgram(g_rgInvokerProgram, g_rgInvokerStrings, nullptr, nullptr, table, bRegister);
    }
    table.Clear();
    return hr;
}
