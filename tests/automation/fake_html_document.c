// A document's IHTMLDocument2 face for the site lock's tests, in C, where the
// platform's header gives the interface's table by name: only the unknown's
// methods and get_URL are there, so a call of any other method crashes.
#define COBJMACROS
#include <windows.h>
#include <mshtml.h>

#include "tests/automation/fake_html_document.h"

typedef struct {
    IHTMLDocument2 iface;
    LONG refs;
    const wchar_t* url;
} FakeHtmlDocument;

static HRESULT STDMETHODCALLTYPE QueryInterface(IHTMLDocument2* This, REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IDispatch) || IsEqualIID(riid, &IID_IHTMLDocument2)) {
        *ppv = This;
        IHTMLDocument2_AddRef(This);
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE AddRef(IHTMLDocument2* This)
{
    return (ULONG)InterlockedIncrement(&((FakeHtmlDocument*)This)->refs);
}

static ULONG STDMETHODCALLTYPE Release(IHTMLDocument2* This)
{
    LONG refs = InterlockedDecrement(&((FakeHtmlDocument*)This)->refs);
    if (refs == 0)
        HeapFree(GetProcessHeap(), 0, This);
    return (ULONG)refs;
}

static HRESULT STDMETHODCALLTYPE GetUrl(IHTMLDocument2* This, BSTR* p)
{
    *p = SysAllocString(((FakeHtmlDocument*)This)->url);
    return S_OK;
}

static IHTMLDocument2Vtbl g_table = {
    .QueryInterface = QueryInterface,
    .AddRef = AddRef,
    .Release = Release,
    .get_URL = GetUrl,
};

IUnknown* CreateFakeHtmlDocument(const wchar_t* pszUrl)
{
    FakeHtmlDocument* doc = (FakeHtmlDocument*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *doc);
    if (doc == NULL)
        return NULL;
    doc->iface.lpVtbl = &g_table;
    doc->refs = 1;
    doc->url = pszUrl;
    return (IUnknown*)&doc->iface;
}
