// A document that answers IHTMLDocument2, whose get_URL gives a copy of
// pszUrl; its other methods are not there. The caller keeps the text alive and
// owns the one reference it gets.
#pragma once

#include <windows.h>
#include <unknwn.h>

#ifdef __cplusplus
extern "C" {
#endif

IUnknown* CreateFakeHtmlDocument(const wchar_t* pszUrl);

#ifdef __cplusplus
}
#endif
