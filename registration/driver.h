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

// With bForUser, through the per-user calls (the caller has HKEY_CLASSES_ROOT
// redirected to the user's classes). Unregistering leaves the registration of
// the other system kind (the 32-bit library's beside the 64-bit one's) whole.
HRESULT RegisterServerTypeLibrary(HINSTANCE hInstance, bool bForUser = false);
HRESULT UnregisterServerTypeLibrary(HINSTANCE hInstance, bool bForUser = false);

// Every class and the type library registered (bRegister) or removed for the
// current user only, under HKEY_CURRENT_USER\Software\Classes: the same
// layout the machine-wide registration writes under HKEY_CLASSES_ROOT. For
// the duration, HKEY_CLASSES_ROOT of this whole process is redirected there.
HRESULT UpdateServerForUser(const ServedClasses& classes, bool bRegister);
