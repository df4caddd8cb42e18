// A thread for tests that race the library against itself: it starts at once,
// runs its function, and is waited for by join() or, at the latest, by the
// destructor. The runtime of the win32 thread model has no std::thread.
//   TestThread a([&] { ... }), b([&] { ... });
//   a.join();
#pragma once

#include <windows.h>

#include <functional>

namespace testing_support {

class TestThread {
public:
    explicit TestThread(std::function<void()> body);
    TestThread(TestThread&& other) noexcept;
    TestThread& operator=(TestThread&&) = delete;
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread();

    // Waits for the function to return; a second call does nothing.
    void join() noexcept;

private:
    HANDLE m_hThread;
};

}  // namespace testing_support
