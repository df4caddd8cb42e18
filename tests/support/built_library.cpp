#include "tests/support/built_library.h"

#include <windows.h>

#include <cstdlib>

std::string WindowsPathFromEnvironment(const char* variable)
{
    const char* value = std::getenv(variable);
    if (value == nullptr)
        return {};
    std::string path = std::string("Z:") + value;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    char full[MAX_PATH * 2] = {};
    const DWORD cch = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return cch != 0 && cch < sizeof full ? std::string(full, cch) : path;
}

std::string BuiltLibraryPath()
{
    const std::string folder = WindowsPathFromEnvironment("TARNWICK_BIN");
    return folder.empty() ? folder : folder + "\\Tarnwick.dll";
}
