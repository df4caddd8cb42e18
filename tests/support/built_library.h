// Where the test programs find the build's outputs as Wine sees them.
#pragma once

#include <string>

// The Unix folder in an environment variable as a full Windows path
// (Z:\...); empty when the variable is not set.
std::string WindowsPathFromEnvironment(const char* variable);

// Tarnwick.dll in the build tree (TARNWICK_BIN), or empty.
std::string BuiltLibraryPath();
