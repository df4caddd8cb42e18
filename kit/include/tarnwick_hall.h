/* tarnwick_hall.h: the hall's side of Tarnwick.dll's requests, for C and C++.
 *
 * LoadExe and RunVideo send one TARNWICK_HALL_REQUEST, synchronously, to a
 * hidden top-level window of the class TARNWICK_HALL_WINDOW_CLASS that the
 * hall owns in the same process as the page's script:
 *   - LoadExe to the window titled TARNWICK_HALL_WINDOW_TITLE;
 *   - RunVideo to the one titled TARNWICK_HALL_VIDEO_TITLE_FORMAT with its
 *     user number (the 32 bits read as a signed number: 4294967295 gives -1).
 * wParam is the request's rid, unchanged. lParam is the address of a text
 * handle: one pointer-sized location holding the address of the first
 * character of NUL-terminated narrow text in the system ANSI code page, with a
 * TarnwickTextHeader just in front of that character. The handle, the header
 * and the text belong to the library and are valid only until the window
 * procedure returns; copy the text (TarnwickReadRequest does) to keep it.
 * The window procedure's return value is not looked at.
 */
#ifndef TARNWICK_HALL_H
#define TARNWICK_HALL_H

#include <windows.h>

#define TARNWICK_HALL_REQUEST (WM_USER + 100) /* 1124, 0x464 */
#define TARNWICK_HALL_WINDOW_CLASS "K318HallMutexClass"
#define TARNWICK_HALL_WINDOW_TITLE "K318HallHideWindows"
#define TARNWICK_HALL_VIDEO_TITLE_FORMAT "K318HallHideWindows%d"

/* The header in front of the text, as a 32-bit library lays it out: 16 bytes. */
typedef struct TarnwickTextHeader32 {
    DWORD manager;  /* the library's string manager */
    LONG length;    /* bytes of text (ANSI code page), NUL not counted */
    LONG capacity;  /* bytes the buffer holds, NUL not counted */
    LONG refs;      /* 1 while the message is delivered */
} TarnwickTextHeader32;

/* The same header from a 64-bit library: 24 bytes, the counts at 8, 12, 16. */
typedef struct TarnwickTextHeader64 {
    ULONGLONG manager;
    LONG length;
    LONG capacity;
    LONG refs;
    LONG padding;
} TarnwickTextHeader64;

/* A hall reads the header of its own bitness: the library it loads is the same. */
#ifdef _WIN64
typedef TarnwickTextHeader64 TarnwickTextHeader;
#else
typedef TarnwickTextHeader32 TarnwickTextHeader;
#endif

/* Sizes checked at compile time, in C and in C++. */
typedef char TarnwickTextHeader32_is_16_bytes[sizeof(TarnwickTextHeader32) == 16 ? 1 : -1];
typedef char TarnwickTextHeader64_is_24_bytes[sizeof(TarnwickTextHeader64) == 24 ? 1 : -1];

/* Reads the text of a TARNWICK_HALL_REQUEST inside the window procedure.
 * Copies at most cchBuffer - 1 bytes and a NUL into buffer (buffer may be
 * null when cchBuffer is 0, to ask for the length). Returns the text's length
 * in bytes, NUL not counted: a result of cchBuffer or more means the copy was
 * cut short (possibly inside a double-byte character). Returns -1, and copies nothing, when lParam does not carry a
 * well-formed request: a null handle or text, a negative length or capacity,
 * a length above the capacity, a reference count below 1, or no NUL right
 * after the text. */
static __inline int TarnwickReadRequest(LPARAM lParam, char* buffer, int cchBuffer)
{
    const char* text;
    const TarnwickTextHeader* header;
    int copied;

    if (lParam == 0)
        return -1;
    text = *(const char* const*)lParam;
    if (text == NULL)
        return -1;
    header = (const TarnwickTextHeader*)text - 1;
    if (header->length < 0 || header->capacity < 0 || header->length > header->capacity || header->refs < 1)
        return -1;
    if (text[header->length] != '\0')
        return -1;
    if (buffer != NULL && cchBuffer > 0) {
        copied = header->length < cchBuffer - 1 ? header->length : cchBuffer - 1;
        CopyMemory(buffer, text, (SIZE_T)copied);
        buffer[copied] = '\0';
    }
    return (int)header->length;
}

#endif /* TARNWICK_HALL_H */
