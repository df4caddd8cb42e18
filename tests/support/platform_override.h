// Helpers for swapping single platform operations in a test.
#pragma once

#include "platform/platform.h"

namespace testing_support {

// Puts fn into one slot of the platform table for the lifetime of the object.
//   ScopedOp tick(&platform::Ops::GetTickCount, &FakeTick);
template <class Fn>
class ScopedOp {
public:
    ScopedOp(Fn platform::Ops::*slot, Fn fn) : m_slot(slot), m_old(platform::g_ops.*slot)
    {
        platform::g_ops.*slot = fn;
    }
    ~ScopedOp() { platform::g_ops.*m_slot = m_old; }
    ScopedOp(const ScopedOp&) = delete;
    ScopedOp& operator=(const ScopedOp&) = delete;

private:
    Fn platform::Ops::*m_slot;
    Fn m_old;
};

// Restores the whole table to the real functions (use in TearDown).
void RestoreRealPlatform();

}  // namespace testing_support
