// What the library knows of each class it serves: how to make its class
// object and instances, how to register it, its component categories. The
// class list holds these entries; self-registration walks them.
#pragma once

#include <windows.h>
#include <unknwn.h>

using CreateInstanceFunction = HRESULT (*)(IUnknown* pUnkOuter, REFIID riid, void** ppv);
using CreateClassObjectFunction = HRESULT (*)(void* pfnCreateInstance, REFIID riid, void** ppv);

struct CategoryEntry {
    LONG lKind;  // 0 ends the list, 1 implemented, anything else required
    const GUID* pCategoryId;
};

// One served class.
struct ClassEntry {
    const CLSID* pClassId;
    HRESULT (*pfnUpdateRegistration)(bool bRegister);
    CreateClassObjectFunction pfnCreateClassObject;  // null: never found
    CreateInstanceFunction pfnCreateInstance;
    IUnknown* pClassObject;  // cached, owns one reference
    const CategoryEntry* (*pfnGetCategories)();
    void (*pfnStartStop)(bool bStart);
};

// The served classes as self-registration sees them: the entries in list
// order and the module whose type library describes them.
struct ServedClasses {
    ClassEntry* const* ppFirst;
    ClassEntry* const* ppEnd;
    HINSTANCE hTypeLibInstance;
};
