/* The hall kit's header compiles as C; the reader is reached from C++. */
#include "kit/include/tarnwick_hall.h"

int ReadRequestFromC(LPARAM lParam, char* buffer, int cchBuffer)
{
    return TarnwickReadRequest(lParam, buffer, cchBuffer);
}
