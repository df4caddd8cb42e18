// Self-registration of the library: every served class's registry entries,
// component categories and the type library.
#pragma once

#include <windows.h>

#include "server/class_factory.h"

// With pClassId, only the classes with that CLSID.
HRESULT RegisterServerClasses(bool bTypeLibrary, const CLSID* pClassId = nullptr);
HRESULT UnregisterServerClasses(bool bTypeLibrary, const CLSID* pClassId = nullptr);

HRESULT UpdateClassCategories(REFCLSID rclsid, const CategoryEntry* pCategories, bool bRegister);

HRESULT RegisterServerTypeLibrary(HINSTANCE hInstance);
HRESULT UnregisterServerTypeLibrary(HINSTANCE hInstance);
