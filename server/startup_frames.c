/* The start-up step that registers the library's unwind tables (DWARF-2, the
 * 32-bit build) with the unwinder linked into the library, in place of the
 * compiler's crtbegin.o. That one first looks for the runtime DLL of other
 * MinGW programs in the process and, when a host has loaded one, loads it
 * again under the loader lock and hands our tables to its unwinder: ours then
 * finds none, and every exception ends the process. This object comes first
 * in the link after the C runtime's start-up object; the compiler's crtend.o,
 * last, ends the tables and calls __gcc_register_frame at start-up. */
#include <stdlib.h>

/* The unwinder's bookkeeping for one table (struct object of libgcc, six
 * words), with room to spare; it must stay put while the tables are in use. */
static void* s_unwinderObject[8];

/* The first bytes of the tables. */
__attribute__((used, section(".eh_frame"), aligned(4))) static const char s_ehFrameBegin[] = {};

void __register_frame_info(const void* begin, void* object);
void* __deregister_frame_info(const void* begin);

void __gcc_deregister_frame(void);

void __gcc_register_frame(void)
{
    __register_frame_info(s_ehFrameBegin, s_unwinderObject);
    atexit(__gcc_deregister_frame);
}

void __gcc_deregister_frame(void)
{
    __deregister_frame_info(s_ehFrameBegin);
}
