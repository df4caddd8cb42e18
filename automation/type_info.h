// Type information of the bridge object: the interface's, read afresh from the
// module's own type library resource, and the class's, cached once per process.
#pragma once

#include <windows.h>
#include <oleauto.h>

struct CClassTypeInfoHolder {
    const GUID* pguid;
    const GUID* plibid;
    WORD wMajor;
    WORD wMinor;
    ITypeInfo* pInfo;
};

extern CClassTypeInfoHolder g_classTypeInfo;

HRESULT LoadInterfaceTypeInfo(LCID lcid, ITypeInfo** ppTInfo) noexcept;
HRESULT GetTypeInfoCountImpl(UINT* pctinfo) noexcept;
HRESULT GetTypeInfoImpl(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept;
HRESULT GetClassTypeInfo(LCID lcid, ITypeInfo** ppTInfo) noexcept;
void ReleaseClassTypeInfo(void* pHolder) noexcept;
HRESULT LoadModuleTypeLibrary(HINSTANCE hInstance, BSTR* pbstrPath, ITypeLib** ppTypeLib) noexcept;
