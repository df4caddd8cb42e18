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
#include <utility>

#include "platform/owners.h"
#include "platform/platform.h"

template <typename T, SIZE_T Fixed>
class WorkBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "plain elements only");
    static_assert(Fixed > 0, "a fixed part of at least one element");

public:
    WorkBuffer() noexcept = default;
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
    WorkBuffer(WorkBuffer&& other) noexcept { TakeFrom(other); }
    WorkBuffer& operator=(WorkBuffer&& other) noexcept
    {
        if (this != &other)
            TakeFrom(other);
        return *this;
    }

    // Room for n elements: the fixed part when n <= Fixed, else one heap block
    // of exactly n elements. Null, with no room held, when the heap refuses.
    T* Reserve(SIZE_T n) noexcept
    {
        m_heap.Reset();
        m_count = 0;
        if (n <= Fixed) {
            m_count = n;
            return m_fixed;
        }
        if (n > static_cast<SIZE_T>(-1) / sizeof(T))
            return nullptr;
        m_heap.Reset(static_cast<T*>(platform::ops().HeapAlloc(::GetProcessHeap(), 0, n * sizeof(T))));
        if (m_heap)
            m_count = n;
        return m_heap.Get();
    }

    T* Get() noexcept { return m_heap ? m_heap.Get() : m_fixed; }
    SIZE_T Count() const noexcept { return m_count; }
    bool OnHeap() const noexcept { return static_cast<bool>(m_heap); }

private:
    // Frees what this holder had on the heap, then takes the other's room.
    void TakeFrom(WorkBuffer& other) noexcept
    {
        m_heap = std::move(other.m_heap);
        m_count = other.m_count;
        if (!m_heap && m_count != 0)
            std::memcpy(m_fixed, other.m_fixed, m_count * sizeof(T));
        other.m_count = 0;
    }

    T m_fixed[Fixed];
    HeapBlock<T> m_heap;
    SIZE_T m_count = 0;
};
