// A scratch buffer of plain elements that lives inside its holder when the
// request is small and on the process heap (through the platform seam) when
// it is not.
//
// Ownership: the holder owns the heap block it allocated and frees it when it
// is destroyed, reserved again or moved from; the pointer Get() returns is
// valid only while the holder lives and is not reserved again or moved. Moving
// hands a heap block over as it is and copies a fixed buffer's elements, so
// the moved-to holder's Get() differs from the old one in the fixed case.
// Elements start uninitialised.
#pragma once

#include <windows.h>

#include <cstring>
#include <type_traits>

#include "platform/platform.h"

template <typename T, SIZE_T Fixed>
class WorkBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "plain elements only");
    static_assert(Fixed > 0, "a fixed part of at least one element");

public:
    WorkBuffer() noexcept = default;
    ~WorkBuffer() { FreeHeap(); }
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
    WorkBuffer(WorkBuffer&& other) noexcept { TakeFrom(other); }
    WorkBuffer& operator=(WorkBuffer&& other) noexcept
    {
        if (this != &other) {
            FreeHeap();
            TakeFrom(other);
        }
        return *this;
    }

    // Room for n elements: the fixed part when n <= Fixed, else one heap block
    // of exactly n elements. Null, with no room held, when the heap refuses.
    T* Reserve(SIZE_T n) noexcept
    {
        FreeHeap();
        m_count = 0;
        if (n <= Fixed) {
            m_count = n;
            return m_fixed;
        }
        if (n > static_cast<SIZE_T>(-1) / sizeof(T))
            return nullptr;
        m_heap = static_cast<T*>(platform::g_ops.HeapAlloc(platform::g_ops.GetProcessHeap(), 0, n * sizeof(T)));
        if (m_heap != nullptr)
            m_count = n;
        return m_heap;
    }

    T* Get() noexcept { return m_heap != nullptr ? m_heap : m_fixed; }
    SIZE_T Count() const noexcept { return m_count; }
    bool OnHeap() const noexcept { return m_heap != nullptr; }

private:
    void FreeHeap() noexcept
    {
        if (m_heap != nullptr)
            platform::g_ops.HeapFree(platform::g_ops.GetProcessHeap(), 0, m_heap);
        m_heap = nullptr;
    }

    void TakeFrom(WorkBuffer& other) noexcept
    {
        m_heap = other.m_heap;
        m_count = other.m_count;
        if (m_heap == nullptr && m_count != 0)
            std::memcpy(m_fixed, other.m_fixed, m_count * sizeof(T));
        other.m_heap = nullptr;
        other.m_count = 0;
    }

    T m_fixed[Fixed];
    T* m_heap = nullptr;
    SIZE_T m_count = 0;
};
