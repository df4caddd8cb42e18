// Construction order of the process-wide objects. They are built when the
// module loads, before DllMain sees the attach, and torn down in the reverse
// order after it has seen the detach. Lower numbers are built first.
#pragma once

#define TW_INIT_PLATFORM        __attribute__((init_priority(1001)))
#define TW_INIT_MODULE_INSTANCE __attribute__((init_priority(1010)))
#define TW_INIT_HEAP_ALLOCATOR  __attribute__((init_priority(1020)))
#define TW_INIT_STRING_MANAGER  __attribute__((init_priority(1030)))
#define TW_INIT_CLASS_LIST      __attribute__((init_priority(1040)))
#define TW_INIT_SERVER_MODULE   __attribute__((init_priority(1050)))
