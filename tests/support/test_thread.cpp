#include "tests/support/test_thread.h"

#include <memory>
#include <stdexcept>
#include <utility>

namespace testing_support {

namespace {

DWORD WINAPI RunBody(void* pv)
{
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(pv));
    (*body)();
    return 0;
}

}  // namespace

TestThread::TestThread(std::function<void()> body)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    m_hThread = CreateThread(nullptr, 0, RunBody, owned.get(), 0, nullptr);
    if (!m_hThread)
        throw std::runtime_error("CreateThread failed");
    owned.release();  // the thread deletes it
}

TestThread::TestThread(TestThread&& other) noexcept : m_hThread(std::exchange(other.m_hThread, nullptr)) {}

TestThread::~TestThread()
{
    join();
}

void TestThread::join() noexcept
{
    if (!m_hThread)
        return;
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
}

}  // namespace testing_support
