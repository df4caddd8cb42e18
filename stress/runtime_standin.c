/* A stand-in for the runtime DLL of another MinGW program in the host
 * (libgcc_s_dw2-1.dll): its unwinder takes tables and registers nothing, so
 * code whose tables went to it finds none when it throws. */
#include <windows.h>

__declspec(dllexport) void __register_frame_info(const void* begin, void* object)
{
    (void)begin;
    (void)object;
}

__declspec(dllexport) void* __deregister_frame_info(const void* begin)
{
    (void)begin;
    return NULL;
}
