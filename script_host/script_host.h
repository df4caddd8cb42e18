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

    // Creates the engine for the language's ProgID and connects it to this host.
    // The script sees a global object "host": echo(text, ...) hands the texts,
    // joined by spaces, to pfnEcho; sleep(ms) pauses the script.
    HRESULT Start(const wchar_t* pszLanguage = L"JScript", EchoFunction pfnEcho = nullptr);

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
    friend class Site;

    HRESULT Parse(const wchar_t* pszCode, DWORD dwFlags, VARIANT* pResult);
    IUnknown* FindObject(const wchar_t* pszName) const;

    IActiveScript* m_pScript = nullptr;
    IActiveScriptParse* m_pParse = nullptr;
    Site* m_pSite = nullptr;
    Echo* m_pEcho = nullptr;
    std::vector<std::pair<std::wstring, IDispatch*>> m_objects;
    std::wstring m_lastError;
};
