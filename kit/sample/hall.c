/* hall.c: a sample hall in plain C around Tarnwick.dll.
 *
 * It does what a game hall does for the library, and no more:
 *   - it owns the hidden request windows, the plain one and the one of its
 *     user number, and reads each request with TarnwickReadRequest;
 *   - it runs a page script in the in-process JScript engine, as its embedded
 *     browser would, with a browser's safety settings: the engine creates an
 *     object for the page only when the hall's security manager allows it,
 *     and this one allows Tarnwick's class alone, once the object has agreed
 *     to be scripted by an untrusted page;
 *   - it tells the objects the page makes where the page comes from, as a
 *     browser's document does (the site's SID_SContainerDispatch service and
 *     the document's URL property), so that a machine's site lock can judge
 *     the page;
 *   - it gives the page one object of its own, "hall": hall.log(text) prints
 *     a line, hall.wait(ms) pauses the page.
 *
 *   hall.exe [PAGE [USER [ADDRESS]]]
 *       PAGE: a UTF-8 script, page.js by default; USER: the user number of the
 *       video window, 7; ADDRESS: the address the page is shown as coming
 *       from, https://hall.example/sample/page.html by default
 *
 * Build it with the kit (a 32-bit hall; x86_64-w64-mingw32-gcc for 64 bits):
 *   i686-w64-mingw32-gcc -O2 -Wall -Iinclude -o hall.exe sample/hall.c \
 *       include/tarnwick_i.c -lole32 -loleaut32 -luuid
 * and run it where Tarnwick.dll of the same bitness is registered, or beside
 * the DLL with the manifests of the kit's README.
 *
 * Output is UTF-8. Exit status: 0 when the page ran to its end, 2 when it
 * stopped on a script error, 1 when the hall could not start.
 */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <docobj.h>
#include <stdio.h>
#include <stdlib.h>

#include "tarnwick_h.h"
#include "tarnwick_hall.h"
#include "tarnwick_script.h"

/* ------------------------------------------------------------ console text */

static void PrintWide(const WCHAR* text, int cch)
{
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, cch, utf8, sizeof utf8, NULL, NULL);
    fwrite(utf8, 1, (size_t)(n > 0 ? n : 0), stdout);
}

/* ------------------------------------------------------------ the windows */

/* The library sends each request to a window of ours and waits for this
 * procedure to return; the text is ours to read until then. */
static LRESULT CALLBACK HallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    char title[64], text[1024];
    WCHAR wide[1024];
    int length, i;

    if (message != TARNWICK_HALL_REQUEST)
        return DefWindowProcA(window, message, wParam, lParam);
    GetWindowTextA(window, title, sizeof title);
    length = TarnwickReadRequest(lParam, text, sizeof text);
    if (length < 0) {
        printf("hall: window \"%s\": a malformed request, ignored\n", title);
        return 0;
    }
    /* The text is in the system's ANSI code page; print it as UTF-8, then its bytes. */
    printf("hall: window \"%s\" got request %ld: \"", title, (long)wParam);
    PrintWide(wide, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024) - 1);
    printf("\" (%d bytes:", length);
    for (i = 0; i < length && i < (int)sizeof text - 1; ++i)
        printf(" %02x", (unsigned char)text[i]);
    printf(")\n");
    fflush(stdout);
    return 0;
}

/* Hidden top-level windows: the library finds them by class and title. */
static HWND OpenHallWindow(const char* title)
{
    return CreateWindowExA(0, TARNWICK_HALL_WINDOW_CLASS, title, WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                           GetModuleHandleA(NULL), NULL);
}

/* ------------------------------------------------------------ the object "hall" */

/* The site, the security manager and the page's object live as long as the
 * hall, in static storage; their reference counts are therefore not kept. */
#define STATIC_REFERENCES(prefix, type)                                             \
    static ULONG STDMETHODCALLTYPE prefix##AddRef(type* self) { (void)self; return 2; } \
    static ULONG STDMETHODCALLTYPE prefix##Release(type* self) { (void)self; return 1; }
STATIC_REFERENCES(Hall, IDispatch)
STATIC_REFERENCES(Security, IInternetHostSecurityManager)
STATIC_REFERENCES(Services, IServiceProvider)
STATIC_REFERENCES(Site, IActiveScriptSite)
STATIC_REFERENCES(Document, IDispatch)

enum { DISPID_HALL_LOG = 1, DISPID_HALL_WAIT = 2 };

static HRESULT STDMETHODCALLTYPE HallQueryInterface(IDispatch* self, REFIID riid, void** ppv)
{
    if (ppv == NULL)
        return E_POINTER;
    *ppv = NULL;
    if (!IsEqualIID(riid, &IID_IUnknown) && !IsEqualIID(riid, &IID_IDispatch))
        return E_NOINTERFACE;
    *ppv = self;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE HallGetTypeInfoCount(IDispatch* self, UINT* pctinfo)
{
    (void)self;
    if (pctinfo == NULL)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE HallGetTypeInfo(IDispatch* self, UINT index, LCID lcid, ITypeInfo** ppti)
{
    (void)self, (void)index, (void)lcid;
    if (ppti != NULL)
        *ppti = NULL;
    return DISP_E_BADINDEX;
}

static HRESULT STDMETHODCALLTYPE HallGetIDsOfNames(IDispatch* self, REFIID riid, LPOLESTR* names, UINT count,
                                                   LCID lcid, DISPID* ids)
{
    UINT i;
    (void)self, (void)riid, (void)lcid;
    if (names == NULL || ids == NULL || count == 0)
        return E_INVALIDARG;
    for (i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    if (names[0] != NULL && lstrcmpiW(names[0], L"log") == 0)
        ids[0] = DISPID_HALL_LOG;
    else if (names[0] != NULL && lstrcmpiW(names[0], L"wait") == 0)
        ids[0] = DISPID_HALL_WAIT;
    return ids[0] != DISPID_UNKNOWN && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

static HRESULT STDMETHODCALLTYPE HallInvoke(IDispatch* self, DISPID id, REFIID riid, LCID lcid, WORD flags,
                                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepinfo,
                                            UINT* argErr)
{
    VARIANT arg;
    HRESULT hr;
    (void)self, (void)riid, (void)lcid, (void)flags, (void)excepinfo, (void)argErr;
    if (id != DISPID_HALL_LOG && id != DISPID_HALL_WAIT)
        return DISP_E_MEMBERNOTFOUND;
    if (params == NULL || params->cArgs != 1 || params->cNamedArgs != 0)
        return DISP_E_BADPARAMCOUNT;
    VariantInit(&arg);
    hr = VariantChangeType(&arg, &params->rgvarg[0], VARIANT_ALPHABOOL, id == DISPID_HALL_LOG ? VT_BSTR : VT_UI4);
    if (FAILED(hr))
        return DISP_E_TYPEMISMATCH;
    if (id == DISPID_HALL_LOG) {
        printf("page: ");
        PrintWide(arg.bstrVal, (int)SysStringLen(arg.bstrVal));
        printf("\n");
        fflush(stdout);
    } else {
        Sleep(arg.ulVal);
    }
    VariantClear(&arg);
    if (result != NULL)
        VariantInit(result);
    return S_OK;
}

static IDispatchVtbl g_hallVtbl = {
    HallQueryInterface, HallAddRef, HallRelease, HallGetTypeInfoCount,
    HallGetTypeInfo, HallGetIDsOfNames, HallInvoke,
};
static IDispatch g_hall = {&g_hallVtbl};

/* ------------------------------------------------------------ the security manager */

/* Tells the engine whether the page may have a new object of a class:
 * Tarnwick's class only. */
static HRESULT STDMETHODCALLTYPE SecurityQueryInterface(IInternetHostSecurityManager* self, REFIID riid,
                                                        void** ppv)
{
    if (ppv == NULL)
        return E_POINTER;
    *ppv = NULL;
    if (!IsEqualIID(riid, &IID_IUnknown) && !IsEqualIID(riid, &IID_IInternetHostSecurityManager))
        return E_NOINTERFACE;
    *ppv = self;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE SecurityGetSecurityId(IInternetHostSecurityManager* self, BYTE* id,
                                                       DWORD* cbId, DWORD_PTR reserved)
{
    (void)self, (void)id, (void)cbId, (void)reserved;
    return E_NOTIMPL;
}

/* Before creating an object the engine asks for URLACTION_ACTIVEX_RUN with
 * the class's CLSID as context. */
static HRESULT STDMETHODCALLTYPE SecurityProcessUrlAction(IInternetHostSecurityManager* self, DWORD action,
                                                          BYTE* policy, DWORD cbPolicy, BYTE* context,
                                                          DWORD cbContext, DWORD flags, DWORD reserved)
{
    DWORD answer = URLPOLICY_DISALLOW;
    (void)self, (void)flags, (void)reserved;
    if (policy == NULL || cbPolicy < sizeof(DWORD))
        return E_INVALIDARG;
    if (action == URLACTION_ACTIVEX_RUN && context != NULL && cbContext >= sizeof(CLSID) &&
        IsEqualCLSID((const CLSID*)context, &CLSID_CInvokerK318))
        answer = URLPOLICY_ALLOW;
    CopyMemory(policy, &answer, sizeof answer);
    return answer == URLPOLICY_ALLOW ? S_OK : S_FALSE;
}

/* Once the object is made, the engine asks whether it may be scripted: the
 * object must accept being called by an untrusted page through IDispatch. */
static HRESULT STDMETHODCALLTYPE SecurityQueryCustomPolicy(IInternetHostSecurityManager* self, REFGUID key,
                                                           BYTE** policy, DWORD* cbPolicy, BYTE* context,
                                                           DWORD cbContext, DWORD reserved)
{
    const struct CONFIRMSAFETY* confirm = (const struct CONFIRMSAFETY*)context;
    IObjectSafety* safety = NULL;
    DWORD answer = URLPOLICY_DISALLOW;
    (void)self, (void)reserved;
    if (policy == NULL || cbPolicy == NULL)
        return E_POINTER;
    *policy = NULL;
    *cbPolicy = 0;
    if (!IsEqualGUID(key, &TarnwickGUID_CUSTOM_CONFIRMOBJECTSAFETY))
        return INET_E_DEFAULT_ACTION;
    if (confirm != NULL && cbContext >= sizeof *confirm && confirm->pUnk != NULL &&
        IsEqualCLSID(&confirm->clsid, &CLSID_CInvokerK318) &&
        SUCCEEDED(IUnknown_QueryInterface(confirm->pUnk, &IID_IObjectSafety, (void**)&safety))) {
        if (IObjectSafety_SetInterfaceSafetyOptions(safety, &IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER) == S_OK)
            answer = URLPOLICY_ALLOW;
        IObjectSafety_Release(safety);
    }
    *policy = CoTaskMemAlloc(sizeof answer);
    if (*policy == NULL)
        return E_OUTOFMEMORY;
    CopyMemory(*policy, &answer, sizeof answer);
    *cbPolicy = sizeof answer;
    return answer == URLPOLICY_ALLOW ? S_OK : S_FALSE;
}

static IInternetHostSecurityManagerVtbl g_securityVtbl = {
    SecurityQueryInterface, SecurityAddRef, SecurityRelease,
    SecurityGetSecurityId, SecurityProcessUrlAction, SecurityQueryCustomPolicy,
};
static IInternetHostSecurityManager g_security = {&g_securityVtbl};

/* ------------------------------------------------------------ the page's document */

/* What an object made by the page learns of the page: its address, the
 * document's URL property. A browser's document has much more. */
enum { DISPID_DOCUMENT_URL = 1 };
static WCHAR g_pageAddress[2048] = L"https://hall.example/sample/page.html";

static HRESULT STDMETHODCALLTYPE DocumentGetIDsOfNames(IDispatch* self, REFIID riid, LPOLESTR* names, UINT count,
                                                       LCID lcid, DISPID* ids)
{
    (void)self, (void)riid, (void)lcid;
    if (names == NULL || ids == NULL || count != 1 || names[0] == NULL)
        return E_INVALIDARG;
    if (lstrcmpiW(names[0], L"URL") != 0) {
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    ids[0] = DISPID_DOCUMENT_URL;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE DocumentInvoke(IDispatch* self, DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                DISPPARAMS* params, VARIANT* result, EXCEPINFO* error,
                                                UINT* argError)
{
    (void)self, (void)riid, (void)lcid, (void)params, (void)error, (void)argError;
    if (id != DISPID_DOCUMENT_URL || !(flags & DISPATCH_PROPERTYGET) || result == NULL)
        return DISP_E_MEMBERNOTFOUND;
    VariantInit(result);
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(g_pageAddress);
    return V_BSTR(result) != NULL ? S_OK : E_OUTOFMEMORY;
}

/* It is an IDispatch without type information, as "hall" is. */
static IDispatchVtbl g_documentVtbl = {
    HallQueryInterface, DocumentAddRef, DocumentRelease, HallGetTypeInfoCount,
    HallGetTypeInfo, DocumentGetIDsOfNames, DocumentInvoke,
};
static IDispatch g_document = {&g_documentVtbl};

/* ------------------------------------------------------------ the engine's site */

/* The engine finds the security manager through the site's IServiceProvider,
 * and the objects the page makes find the page's document there. */
static HRESULT STDMETHODCALLTYPE ServicesQueryInterface(IServiceProvider* self, REFIID riid, void** ppv);
static IActiveScriptSite g_site;

static HRESULT STDMETHODCALLTYPE ServicesQueryService(IServiceProvider* self, REFGUID service, REFIID riid,
                                                      void** ppv)
{
    (void)self;
    if (ppv == NULL)
        return E_POINTER;
    *ppv = NULL;
    if (IsEqualGUID(service, &SID_SContainerDispatch))
        return IDispatch_QueryInterface(&g_document, riid, ppv);
    if (!IsEqualGUID(service, &SID_SInternetHostSecurityManager))
        return E_NOINTERFACE;
    return IInternetHostSecurityManager_QueryInterface(&g_security, riid, ppv);
}

static IServiceProviderVtbl g_servicesVtbl = {
    ServicesQueryInterface, ServicesAddRef, ServicesRelease, ServicesQueryService,
};
static IServiceProvider g_services = {&g_servicesVtbl};

static HRESULT g_scriptError = S_OK;

static HRESULT STDMETHODCALLTYPE SiteQueryInterface(IActiveScriptSite* self, REFIID riid, void** ppv)
{
    if (ppv == NULL)
        return E_POINTER;
    *ppv = NULL;
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IActiveScriptSite))
        *ppv = self;
    else if (IsEqualIID(riid, &IID_IServiceProvider))
        *ppv = &g_services;
    return *ppv != NULL ? S_OK : E_NOINTERFACE;
}

static HRESULT STDMETHODCALLTYPE ServicesQueryInterface(IServiceProvider* self, REFIID riid, void** ppv)
{
    (void)self;
    return SiteQueryInterface(&g_site, riid, ppv);
}

static HRESULT STDMETHODCALLTYPE SiteGetLCID(IActiveScriptSite* self, LCID* lcid)
{
    (void)self;
    if (lcid == NULL)
        return E_POINTER;
    *lcid = LOCALE_USER_DEFAULT;
    return S_OK;
}

/* The engine asks for the objects named with AddNamedItem: "hall" alone. */
static HRESULT STDMETHODCALLTYPE SiteGetItemInfo(IActiveScriptSite* self, LPCOLESTR name, DWORD mask,
                                                 IUnknown** item, ITypeInfo** typeInfo)
{
    (void)self;
    if (item != NULL)
        *item = NULL;
    if (typeInfo != NULL)
        *typeInfo = NULL;
    if (name == NULL || lstrcmpiW(name, L"hall") != 0)
        return TYPE_E_ELEMENTNOTFOUND;
    if (mask & SCRIPTINFO_IUNKNOWN) {
        if (item == NULL)
            return E_POINTER;
        *item = (IUnknown*)&g_hall;
    }
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE SiteGetDocVersionString(IActiveScriptSite* self, BSTR* version)
{
    (void)self;
    if (version != NULL)
        *version = NULL;
    return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE SiteOnScriptTerminate(IActiveScriptSite* self, const VARIANT* result,
                                                       const EXCEPINFO* info)
{
    (void)self, (void)result, (void)info;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE SiteOnStateChange(IActiveScriptSite* self, SCRIPTSTATE state)
{
    (void)self, (void)state;
    return S_OK;
}

/* A script error: print its code, text and line. */
static HRESULT STDMETHODCALLTYPE SiteOnScriptError(IActiveScriptSite* self, IActiveScriptError* error)
{
    EXCEPINFO info;
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    (void)self;
    if (error == NULL)
        return E_POINTER;
    ZeroMemory(&info, sizeof info);
    IActiveScriptError_GetExceptionInfo(error, &info);
    if (info.pfnDeferredFillIn != NULL)
        info.pfnDeferredFillIn(&info);
    IActiveScriptError_GetSourcePosition(error, &context, &line, &column);
    g_scriptError = info.scode != 0 ? info.scode : E_FAIL;
    printf("page: script error 0x%08lX at line %lu: ", (unsigned long)g_scriptError, line + 1);
    if (info.bstrDescription != NULL)
        PrintWide(info.bstrDescription, (int)SysStringLen(info.bstrDescription));
    printf("\n");
    fflush(stdout);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE SiteOnEnterScript(IActiveScriptSite* self)
{
    (void)self;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE SiteOnLeaveScript(IActiveScriptSite* self)
{
    (void)self;
    return S_OK;
}

static IActiveScriptSiteVtbl g_siteVtbl = {
    SiteQueryInterface, SiteAddRef, SiteRelease, SiteGetLCID, SiteGetItemInfo,
    SiteGetDocVersionString, SiteOnScriptTerminate, SiteOnStateChange, SiteOnScriptError,
    SiteOnEnterScript, SiteOnLeaveScript,
};
static IActiveScriptSite g_site = {&g_siteVtbl};

/* ------------------------------------------------------------ the page */

/* Reads a UTF-8 file (a leading byte-order mark is skipped) as wide text;
 * free the result with free(). */
static WCHAR* ReadPage(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD size, got = 0;
    char* bytes;
    WCHAR* page = NULL;
    int skip, cch;

    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    size = GetFileSize(file, NULL);
    bytes = size < 0x1000000 ? malloc(size + 1) : NULL;
    if (bytes != NULL && ReadFile(file, bytes, size, &got, NULL) && got == size) {
        skip = size >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        cch = MultiByteToWideChar(CP_UTF8, 0, bytes + skip, (int)size - skip, NULL, 0);
        page = malloc(((size_t)cch + 1) * sizeof(WCHAR));
        if (page != NULL) {
            MultiByteToWideChar(CP_UTF8, 0, bytes + skip, (int)size - skip, page, cch);
            page[cch] = 0;
        }
    }
    free(bytes);
    CloseHandle(file);
    return page;
}

/* Runs the page in a new JScript engine with the browser's safety settings. */
static HRESULT RunPage(const WCHAR* page)
{
    CLSID jscript;
    IActiveScript* engine = NULL;
    IActiveScriptParse* parser = NULL;
    IObjectSafety* safety = NULL;
    EXCEPINFO info;
    HRESULT hr;
    const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_SECURITY_MANAGER | INTERFACE_USES_DISPEX;

    hr = CLSIDFromProgID(L"JScript", &jscript);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(&jscript, NULL, CLSCTX_INPROC_SERVER, &IID_IActiveScript, (void**)&engine);
    if (FAILED(hr))
        return hr;
    /* The page is untrusted: new ActiveXObject must ask the security manager. */
    hr = IActiveScript_QueryInterface(engine, &IID_IObjectSafety, (void**)&safety);
    if (SUCCEEDED(hr)) {
        hr = IObjectSafety_SetInterfaceSafetyOptions(safety, &TarnwickIID_IActiveScriptParse, options, options);
        IObjectSafety_Release(safety);
    }
    if (SUCCEEDED(hr))
        hr = IActiveScript_QueryInterface(engine, &TarnwickIID_IActiveScriptParse, (void**)&parser);
    if (SUCCEEDED(hr))
        hr = IActiveScript_SetScriptSite(engine, &g_site);
    if (SUCCEEDED(hr))
        hr = IActiveScriptParse_InitNew(parser);
    if (SUCCEEDED(hr))
        hr = IActiveScript_AddNamedItem(engine, L"hall", SCRIPTITEM_ISVISIBLE);
    if (SUCCEEDED(hr))
        hr = IActiveScript_SetScriptState(engine, SCRIPTSTATE_STARTED);
    if (SUCCEEDED(hr)) {
        ZeroMemory(&info, sizeof info);
        hr = IActiveScriptParse_ParseScriptText(parser, page, NULL, NULL, NULL, 0, 0, SCRIPTTEXT_ISVISIBLE, NULL,
                                                &info);
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
        if (FAILED(g_scriptError))
            hr = g_scriptError;
    }
    IActiveScript_Close(engine);
    if (parser != NULL)
        IActiveScriptParse_Release(parser);
    IActiveScript_Release(engine);
    return hr;
}

int main(int argc, char** argv)
{
    const char* pagePath = argc > 1 ? argv[1] : "page.js";
    int user = argc > 2 ? atoi(argv[2]) : 7;
    char videoTitle[64];
    WNDCLASSA windowClass;
    WCHAR* page;
    HRESULT hr;

    if (argc > 3 && MultiByteToWideChar(CP_ACP, 0, argv[3], -1, g_pageAddress, 2048) == 0) {
        printf("hall: the address is too long\n");
        return 1;
    }
    page = ReadPage(pagePath);
    if (page == NULL) {
        printf("hall: cannot read the page %s\n", pagePath);
        return 1;
    }
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = HallWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = TARNWICK_HALL_WINDOW_CLASS;
    wsprintfA(videoTitle, TARNWICK_HALL_VIDEO_TITLE_FORMAT, user);
    if (!RegisterClassA(&windowClass) || !OpenHallWindow(TARNWICK_HALL_WINDOW_TITLE) ||
        !OpenHallWindow(videoTitle)) {
        printf("hall: cannot open the request windows (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    printf("hall: windows \"%s\" and \"%s\" are open; running %s as ", TARNWICK_HALL_WINDOW_TITLE, videoTitle,
           pagePath);
    PrintWide(g_pageAddress, lstrlenW(g_pageAddress));
    printf("\n");
    fflush(stdout);

    /* The browser's thread is a single-threaded apartment. */
    hr = CoInitialize(NULL);
    if (FAILED(hr)) {
        printf("hall: COM would not start (0x%08lX)\n", (unsigned long)hr);
        return 1;
    }
    hr = RunPage(page);
    CoUninitialize();
    free(page);
    if (FAILED(hr)) {
        printf("hall: the page stopped (0x%08lX)\n", (unsigned long)hr);
        return FAILED(g_scriptError) ? 2 : 1;
    }
    printf("hall: the page ran to its end\n");
    return 0;
}
