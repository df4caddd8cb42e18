// Move-only owners of the platform's resources.
//
// Contract, the same for each: an owner holds at most one resource and gives
// it back exactly once: when it is destroyed, reset, or assigned over;
// never, when the caller takes the resource out with Detach(). Copies are
// refused; a move hands the resource over and leaves the source empty.
// Nothing here allocates or throws, and each compiles to the bare release
// call. Release calls that tests may drive go through the platform seam.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

#include "platform/platform.h"

namespace owners {

// How each kind of resource is given back.
struct ComRelease {
    static void Free(IUnknown* p) noexcept { p->Release(); }
};
struct BstrFree {
    static void Free(BSTR p) noexcept { ::SysFreeString(p); }
};
struct TaskMemFree {
    static void Free(void* p) noexcept { platform::ops().CoTaskMemFree(p); }
};
struct ProcessHeapFree {
    static void Free(void* p) noexcept { platform::ops().HeapFree(::GetProcessHeap(), 0, p); }
};

template <class T, class Policy>
class Owner {
public:
    Owner() noexcept = default;
    explicit Owner(T p) noexcept : m_p(p) {}
    ~Owner() { Reset(); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    Owner(Owner&& other) noexcept : m_p(other.Detach()) {}
    Owner& operator=(Owner&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    T Get() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Gives back what is held and holds p instead.
    void Reset(T p = nullptr) noexcept
    {
        T old = std::exchange(m_p, p);
        if (old != nullptr)
            Policy::Free(old);
    }
    // Hands the resource to the caller, who gives it back from now on.
    T Detach() noexcept { return std::exchange(m_p, nullptr); }
    // For an out parameter: gives back what is held, then lends the slot.
    T* Put() noexcept
    {
        Reset();
        return &m_p;
    }

private:
    T m_p = nullptr;
};

}  // namespace owners

// One reference to a COM object.
template <class T>
class ComRef : public owners::Owner<T*, owners::ComRelease> {
public:
    using owners::Owner<T*, owners::ComRelease>::Owner;
    T* operator->() const noexcept { return this->Get(); }
    // For QueryInterface-style out parameters.
    void** PutVoid() noexcept { return reinterpret_cast<void**>(this->Put()); }
};

// One BSTR.
using BstrOwner = owners::Owner<BSTR, owners::BstrFree>;

// A block of task memory (CoTaskMemAlloc, or an out value of a call that
// allocates it for the caller, such as StringFromCLSID).
template <class T>
using TaskMem = owners::Owner<T*, owners::TaskMemFree>;

// A block of the process heap.
template <class T>
using HeapBlock = owners::Owner<T*, owners::ProcessHeapFree>;
