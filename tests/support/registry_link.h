// Registry symbolic links, as a hostile installer could plant them.
#pragma once

#include <windows.h>

namespace testing_support {

// Creates the link `name` under `parent`, pointing at the open key `target`.
// Returns a platform error code (0 on success).
LONG CreateRegistryLink(HKEY parent, const char* name, HKEY target);

// True when `name` under `parent` is a link (opened as one, it carries the
// link value).
bool IsRegistryLink(HKEY parent, const char* name);

}  // namespace testing_support
