/* tarnwick_script.h: what a C hall needs, besides the MinGW headers, to host
 * the in-process script engine (JScript) that runs its pages.
 *
 * The engine's parse interface exists in two forms: IActiveScriptParse32 in
 * 32-bit processes and IActiveScriptParse64 in 64-bit ones, with different
 * IIDs. MinGW's <activscp.h> declares both and names the process's one
 * IActiveScriptParse, but gives no IActiveScriptParse_* call macros, and its
 * IID_IActiveScriptParse stands for IID_IActiveScriptParse32 or ...64, which
 * no MinGW import library defines (a hall that uses it does not link). Nor is
 * GUID_CUSTOM_CONFIRMOBJECTSAFETY defined anywhere, the question a host's
 * security manager is asked before the engine hands a page a new object.
 *
 * This header adds, for C and C++:
 *   TarnwickIID_IActiveScriptParse       the IID of the process's parse interface
 *   TarnwickIID_IActiveScriptParse32/64  both IIDs
 *   TarnwickGUID_CUSTOM_CONFIRMOBJECTSAFETY
 *   IActiveScriptParse_QueryInterface ... IActiveScriptParse_ParseScriptText
 *       call macros for the process's parse interface (C only; where not
 *       defined already)
 * The GUIDs are selectany constants: include this header in any number of
 * source files.
 */
#ifndef TARNWICK_SCRIPT_H
#define TARNWICK_SCRIPT_H

#include <windows.h>
#include <activscp.h>
#include <objsafe.h>
#include <urlmon.h>

#ifdef __cplusplus
#define TARNWICK_SELECTANY_GUID extern "C" const GUID DECLSPEC_SELECTANY
#else
#define TARNWICK_SELECTANY_GUID const GUID DECLSPEC_SELECTANY
#endif

/* {BB1A2AE2-A4F9-11CF-8F20-00805F2CD064} */
TARNWICK_SELECTANY_GUID TarnwickIID_IActiveScriptParse32 = {
    0xBB1A2AE2, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
/* {C7EF7658-E1EE-480E-97EA-D52CB4D76D17} */
TARNWICK_SELECTANY_GUID TarnwickIID_IActiveScriptParse64 = {
    0xC7EF7658, 0xE1EE, 0x480E, {0x97, 0xEA, 0xD5, 0x2C, 0xB4, 0xD7, 0x6D, 0x17}};
/* {10200490-FA38-11D0-AC0E-00A0C90FFFC0} */
TARNWICK_SELECTANY_GUID TarnwickGUID_CUSTOM_CONFIRMOBJECTSAFETY = {
    0x10200490, 0xFA38, 0x11D0, {0xAC, 0x0E, 0x00, 0xA0, 0xC9, 0x0F, 0xFF, 0xC0}};

#ifdef _WIN64
#define TarnwickIID_IActiveScriptParse TarnwickIID_IActiveScriptParse64
#else
#define TarnwickIID_IActiveScriptParse TarnwickIID_IActiveScriptParse32
#endif

#if !defined(__cplusplus) && !defined(IActiveScriptParse_ParseScriptText)
#define IActiveScriptParse_QueryInterface(This, riid, ppv) (This)->lpVtbl->QueryInterface(This, riid, ppv)
#define IActiveScriptParse_AddRef(This) (This)->lpVtbl->AddRef(This)
#define IActiveScriptParse_Release(This) (This)->lpVtbl->Release(This)
#define IActiveScriptParse_InitNew(This) (This)->lpVtbl->InitNew(This)
#define IActiveScriptParse_AddScriptlet(This, name, code, item, subItem, event, delimiter, cookie, line, flags, \
                                        pbstrName, pexcepinfo)                                                 \
    (This)->lpVtbl->AddScriptlet(This, name, code, item, subItem, event, delimiter, cookie, line, flags,      \
                                 pbstrName, pexcepinfo)
#define IActiveScriptParse_ParseScriptText(This, code, item, context, delimiter, cookie, line, flags, pvarResult, \
                                           pexcepinfo)                                                          \
    (This)->lpVtbl->ParseScriptText(This, code, item, context, delimiter, cookie, line, flags, pvarResult,     \
                                    pexcepinfo)
#endif

#endif /* TARNWICK_SCRIPT_H */
