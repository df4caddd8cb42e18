// Where the test programs find the build's outputs as Wine sees them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// The system kind of this build's type library, and of its registration.
constexpr SYSKIND kBuildSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

// The Unix folder in an environment variable as a full Windows path
// (Z:\...); empty when the variable is not set.
std::string WindowsPathFromEnvironment(const char* variable);

// Tarnwick.dll in the build tree (TARNWICK_BIN), or empty.
std::string BuiltLibraryPath();
