// Helpers for the registration tests: running registration tools and script
// hosts as child processes, and reading the class's registry entries back.
#pragma once

#include <windows.h>

#include <map>
#include <ostream>
#include <set>
#include <string>

#include "tests/support/built_library.h"

namespace registration_test {

inline constexpr const char* kProgId = "Tarnwick.InvokerK318";
inline constexpr const char* kVersionedProgId = "Tarnwick.InvokerK318.1";

// The class's CLSID and the type library's LIBID in braced registry form.
std::string ClassIdText();
std::string LibIdText();
// "CLSID\{...}" under HKEY_CLASSES_ROOT.
std::string ClassKeyPath();

// A folder of this source tree by its Windows path, from the environment.
std::string ScriptFolder();

struct ProcessResult {
    bool finished = false;  // started and ended within the time allowed
    DWORD exitCode = 0;
    std::string output;     // what it wrote to stdout and stderr
};

// Runs a command line (found on the system path) and waits for it to end.
ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);

// regsvr32 /s (or /u /s) on a library; answers the tool's exit code, or
// ~0 when it did not run to its end.
DWORD Regsvr32(const std::string& libraryPath, bool unregister = false);

// Removes every entry of the class and the type library's registration, so a
// test starts from an unregistered library.
void WipeRegistration();

bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0);

// One registry value as stored: its type and its bytes (for REG_SZ with the
// terminating zero, as far as it was written).
struct StoredValue {
    DWORD type = REG_NONE;
    std::string bytes;
    bool operator==(const StoredValue&) const = default;
};

// A key's whole subtree: key paths relative to the key ("" for the key itself),
// and values by "path|name" ("" names the default value).
struct RegistryTree {
    bool present = false;
    std::set<std::string> keys;
    std::map<std::string, StoredValue> values;
    bool operator==(const RegistryTree&) const = default;
};

RegistryTree ReadTree(HKEY root, const std::string& path, REGSAM view = 0);
std::string Describe(const RegistryTree& tree);
// Lets test failures show a tree as text.
void PrintTo(const RegistryTree& tree, std::ostream* out);

// REG_SZ text as written with its terminating zero.
StoredValue Sz(const std::string& text);

void WriteSz(HKEY root, const std::string& path, const char* name, const std::string& text, REGSAM view = 0);

// Creates every missing folder of a path (all but its last part).
bool MakeParentFolders(const std::wstring& path);
std::wstring Widen(const std::string& text);

}  // namespace registration_test
