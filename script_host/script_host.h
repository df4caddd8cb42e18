// A minimal in-process host for a Windows script engine (JScript by default):
// the way the hall's embedded browser runs page scripts, without the browser.
// One host per thread; the thread must have entered a single-threaded
// apartment (CoInitialize) before Start.
#pragma once

#include <windows.h>
#include <activscp.h>

#include <functional>
#include <string>
#include <vector>

class CScriptHost {
public:
    using EchoFunction = std::function<void(const std::wstring&)>;

    CScriptHost();
    ~CScriptHost();
    CScriptHost(const CScriptHost&) = delete;
    CScriptHost& operator=(const CScriptHost&) = delete;

    // A page as a browser shows it: the engine is told that the page is
    // untrusted, so new ActiveXObject asks the host's security manager, which
    // lets the page make objects of pAllowedClass only and only those that
    // say they are safe for untrusted callers; the host's site offers that
    // manager and the page's document (SID_SContainerDispatch), whose URL
    // property is pszUrl, through IServiceProvider. A null pszUrl: the
    // services have no document.
    struct Page {
        const CLSID* pAllowedClass;
        const wchar_t* pszUrl;
    };

    // Creates the engine for the language's ProgID and connects it to this host.
    // The script sees a global object "host": echo(text, ...) hands the texts,
    // joined by spaces, to pfnEcho; sleep(ms) pauses the script. With a page,
    // the engine runs its scripts as a browser runs that page's (above);
    // without one, as a script host on the desktop does (no safety settings,
    // no services).
    HRESULT Start(const wchar_t* pszLanguage = L"JScript", EchoFunction pfnEcho = nullptr,
                  const Page* pPage = nullptr);

    // Makes pObject visible to scripts under pszName (before or after Run).
    HRESULT AddObject(const wchar_t* pszName, IDispatch* pObject);

    // Runs statements. On a script error the result is the error's code and
    // LastError() describes it.
    HRESULT Run(const wchar_t* pszCode);

    // Evaluates one expression into *pResult (caller clears it).
    HRESULT Evaluate(const wchar_t* pszExpression, VARIANT* pResult);

    const std::wstring& LastError() const { return m_lastError; }

    // Closes the engine; safe to call twice.
    void Close();

private:
    class Site;
    class Echo;
    class Services;
    friend class Site;

    HRESULT Parse(const wchar_t* pszCode, DWORD dwFlags, VARIANT* pResult);
    IUnknown* FindObject(const wchar_t* pszName) const;

    IActiveScript* m_pScript = nullptr;
    IActiveScriptParse* m_pParse = nullptr;
    Site* m_pSite = nullptr;
    Echo* m_pEcho = nullptr;
    Services* m_pServices = nullptr;
    std::vector<std::pair<std::wstring, IDispatch*>> m_objects;
    std::wstring m_lastError;
};
