// The hall kit's header: its names agree with the library's, and its reader
// takes well-formed requests and refuses the rest without reading past them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bridge/invoker.h"
#include "kit/include/tarnwick_hall.h"

extern "C" int ReadRequestFromC(LPARAM lParam, char* buffer, int cchBuffer);

namespace {

TEST(HallKit, NamesAgreeWithTheLibrary)
{
    EXPECT_EQ(static_cast<UINT>(TARNWICK_HALL_REQUEST), static_cast<UINT>(WM_HALL_REQUEST));
    EXPECT_STREQ(TARNWICK_HALL_WINDOW_CLASS, g_szHallWindowClass);
    EXPECT_STREQ(TARNWICK_HALL_WINDOW_TITLE, g_szHallWindowTitle);
    char title[64];
    wsprintfA(title, TARNWICK_HALL_VIDEO_TITLE_FORMAT, -1);
    EXPECT_STREQ("K318HallHideWindows-1", title);
}

// A request as the library lays it out: header, text, NUL, then a guard byte
// that a reader must never copy.
struct Request {
    struct {
        TarnwickTextHeader header;
        char text[16];
    } block;
    char* handle;

    Request(LONG length, LONG capacity, LONG refs, const char* text) : block{}, handle(block.text)
    {
        block.header.length = length;
        block.header.capacity = capacity;
        block.header.refs = refs;
        std::memset(block.text, '#', sizeof block.text);
        std::memcpy(block.text, text, std::strlen(text) + 1);
    }
    LPARAM Param() { return reinterpret_cast<LPARAM>(&handle); }
};

TEST(HallKit, ReaderCopiesWellFormedTextAndRefusesTheRest)
{
    struct Case {
        const char* name;
        LONG length, capacity, refs;
        const char* text;
        int cchBuffer;
        int expected;          // the reader's result
        const char* copied;    // what the buffer holds afterwards
    };
    const Case cases[] = {
        {"whole text", 6, 7, 1, "room=7", 16, 6, "room=7"},
        {"empty text", 0, 0, 1, "", 16, 0, ""},
        {"cut to the buffer", 6, 7, 1, "room=7", 4, 6, "roo"},
        {"length only", 6, 7, 2, "room=7", 0, 6, "unchanged"},
        {"negative length", -1, 7, 1, "room=7", 16, -1, "unchanged"},
        {"length above capacity", 6, 5, 1, "room=7", 16, -1, "unchanged"},
        {"no reference", 6, 7, 0, "room=7", 16, -1, "unchanged"},
        {"no NUL after the text", 4, 7, 1, "room=7", 16, -1, "unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Request r(c.length, c.capacity, c.refs, c.text);
        char buffer[16];
        std::strcpy(buffer, "unchanged");
        EXPECT_EQ(c.expected, TarnwickReadRequest(r.Param(), buffer, c.cchBuffer));
        EXPECT_STREQ(c.copied, buffer);
        char fromC[16];
        std::strcpy(fromC, "unchanged");
        EXPECT_EQ(c.expected, ReadRequestFromC(r.Param(), fromC, c.cchBuffer));
        EXPECT_STREQ(c.copied, fromC);
    }
}

TEST(HallKit, ReaderRefusesAMissingHandleOrText)
{
    char buffer[8] = "x";
    EXPECT_EQ(-1, TarnwickReadRequest(0, buffer, sizeof buffer));
    char* nullText = nullptr;
    EXPECT_EQ(-1, TarnwickReadRequest(reinterpret_cast<LPARAM>(&nullText), buffer, sizeof buffer));
    EXPECT_STREQ("x", buffer);
}

}  // namespace
