// A stand-in for the game hall's hidden request windows, shared by the tests,
// the demo, the benchmark and the robustness programs. It owns windows of the
// hall's class in this process and reads each request as a hall does, with
// the hall kit's header and reader (kit/include/tarnwick_hall.h).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "kit/include/tarnwick_hall.h"

namespace fake_hall {

constexpr UINT kRequestMessage = TARNWICK_HALL_REQUEST;
constexpr char kWindowClass[] = TARNWICK_HALL_WINDOW_CLASS;
constexpr char kPlainTitle[] = TARNWICK_HALL_WINDOW_TITLE;

// The header in front of the text, as the hall reads it (the hall kit's):
// 16 bytes in a 32-bit process, 24 in a 64-bit one.
using Header = TarnwickTextHeader;

// One request as a window received it; the header is a copy.
struct Request {
    HWND hWnd;
    std::string title;
    WPARAM rid;
    std::string text;
    Header header;
};

// Windows of the hall's class, destroyed with the object. One hall at a time
// per process; its windows belong to the thread that opens them.
class Hall {
public:
    Hall();
    ~Hall();
    Hall(const Hall&) = delete;
    Hall& operator=(const Hall&) = delete;

    // A hidden window of the hall's class with this title; null on failure.
    HWND Open(const char* pszTitle);
    void Close(HWND hWnd);

    // Every request received so far, oldest first.
    const std::vector<Request>& Received() const { return m_received; }
    void Clear() { m_received.clear(); }

    // Called for each request while the sender waits, with the live header
    // (to print it, or to keep a reference as a hall that queues does).
    std::function<void(const Request&, Header* pLive)> onRequest;

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    std::vector<HWND> m_windows;
    std::vector<Request> m_received;
};

}  // namespace fake_hall
