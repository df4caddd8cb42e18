// The classes this library serves: one, CInvokerK318.
#include "automation/bridge_object.h"
#include "platform/init_order.h"
#include "registration/class_registration.h"
#include "server/class_factory.h"
#include "server/module.h"

namespace {

const CategoryEntry* NoCategories()
{
    return nullptr;
}

void NothingToStartOrStop(bool) {}

ClassEntry g_invokerEntry = {
    &CLSID_CInvokerK318,
    UpdateClassRegistration,
    CreateClassFactory,
    CreateBridgeObject,
    nullptr,
    NoCategories,
    NothingToStartOrStop,
};

ClassEntry* const g_rgClassEntries[] = {&g_invokerEntry};

}  // namespace

CClassList g_classList TW_INIT_CLASS_LIST(g_rgClassEntries, g_rgClassEntries + 1, g_moduleInstance.m_hInstance);

namespace {

void StartStopClasses(bool bStart)
{
    g_classList.StartStop(bStart);
}

// Lets the module object, built next, start and stop the classes.
struct CClassHookInstaller {
    CClassHookInstaller() noexcept { g_pfnClassListStartStop = StartStopClasses; }
} g_classHookInstaller TW_INIT_CLASS_LIST;

}  // namespace
