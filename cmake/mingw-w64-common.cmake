# Cross build for Windows with Debian's MinGW-w64; the toolchain file that
# includes this sets CMAKE_SYSTEM_PROCESSOR and TOOLCHAIN_PREFIX first. Both
# bitnesses use the compilers of the win32 thread model: their runtime takes
# its threads and locks from the system, where the posix model's would link
# a thread library into the DLL. So the 64-bit runs here test the runtime the
# shipped 32-bit DLL carries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
find_program(WIDL_EXECUTABLE NAMES ${TOOLCHAIN_PREFIX}-widl widl REQUIRED)
