// GoogleTest's thread-safe build on Windows declares its Notification (a
// gate that its own thread helper waits on) over std::mutex and
// std::condition_variable, which the runtime of the win32 thread model does
// not have. This one, over a Win32 event, takes its place: the build forces
// this header into GoogleTest and into every program that includes it, and
// GTEST_HAS_NOTIFICATION_ tells GoogleTest's header to leave its own out.
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification()
    {
        if (m_hEvent)
            CloseHandle(m_hEvent);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(m_hEvent); }
    void WaitForNotification() { WaitForSingleObject(m_hEvent, INFINITE); }

private:
    HANDLE m_hEvent;
};

}  // namespace internal
}  // namespace testing

#define GTEST_HAS_NOTIFICATION_ 1
