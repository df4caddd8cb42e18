// The registry entries of CInvokerK318: its registration program, the
// replacement texts that describe this library file, and the class's
// registration operation.
#pragma once

#include <windows.h>

#include "registration/program.h"
#include "registration/replacements.h"

// The class's program: 40 instruction words over an 18-entry string table
// (plus the terminating entry); no DWORD or binary values.
extern const DWORD g_rgInvokerProgram[40];
extern const StringEntry g_rgInvokerStrings[19];

// "Module", "Module_Raw", "MODULEGUID", "MODULETYPE", then the module
// object's own ("APPID"). Stops at the first failed addition.
HRESULT AddModuleReplacements(ReplacementTable& table);

// Writes (bRegister) or removes the class's keys under HKEY_CLASSES_ROOT.
HRESULT UpdateClassRegistration(bool bRegister);
