// Self-registration of the library: every served class's registry entries,
// component categories and the type library.
#pragma once

#include <windows.h>

#include "server/class_entry.h"

// Every class of `classes` in list order; with pClassId, only the classes with
// that CLSID. With bTypeLibrary, then the type library of the classes' module.
HRESULT RegisterServerClasses(const ServedClasses& classes, bool bTypeLibrary, const CLSID* pClassId = nullptr);
HRESULT UnregisterServerClasses(const ServedClasses& classes, bool bTypeLibrary, const CLSID* pClassId = nullptr);

HRESULT UpdateClassCategories(REFCLSID rclsid, const CategoryEntry* pCategories, bool bRegister);

HRESULT RegisterServerTypeLibrary(HINSTANCE hInstance);
HRESULT UnregisterServerTypeLibrary(HINSTANCE hInstance);
