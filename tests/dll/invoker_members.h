// What the interface IInvokerK318 declares, written out as a host expects to
// find it in the library's type library. Kept in UTF-8.
#pragma once

#include <windows.h>
#include <oleauto.h>

struct ParamRow {
    const wchar_t* name;
    VARTYPE vt;      // the type pointed to when byRef
    bool byRef;      // declared as a pointer
    USHORT flags;    // PARAMFLAG_*
};

struct MethodRow {
    const wchar_t* name;
    MEMBERID memid;
    SHORT slot;      // index of the entry in the table of operations
    int cParams;
    ParamRow params[3];
    const wchar_t* help;
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

constexpr MethodRow kInvokerMethods[] = {
    {L"LoadExe", 1, 7, 2, {{L"rid", VT_UI4, false, kIn}, {L"ConnStr", VT_BSTR, false, kIn}}, L"方法LoadExe"},
    {L"GetMacAddress", 2, 8, 1, {{L"bstrText", VT_BSTR, true, kRetval}}, L"方法GetMacAddress"},
    {L"GetVer", 3, 9, 1, {{L"ver", VT_UI4, true, kRetval}}, L"方法GetVer"},
    {L"GetSpReadUserID", 4, 10, 1, {{L"nUserName", VT_BSTR, true, kRetval}}, L"方法GetSpReadUserID"},
    {L"RunVideo", 5, 11, 3,
     {{L"userid", VT_UI4, false, kIn}, {L"rid", VT_UI4, false, kIn}, {L"ConnStr", VT_BSTR, false, kIn}},
     L"方法RunVideo"},
};

constexpr WORD kInvokerTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
