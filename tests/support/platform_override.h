// The one way a test puts its own function into the platform table, and the
// one way a fixture owns the state its fake functions read.
#pragma once

#include "platform/platform.h"

namespace testing_support {

// The test program's own copy of the table. It is in place while any
// override lives; when the last one ends the real table is back in place.
platform::Ops& BeginOverride();
void EndOverride();

// Puts fn into one slot of the platform table for the lifetime of the object
// and puts the previous function back afterwards.
//   ScopedOp tick(&platform::Ops::GetTickCount, &FakeTick);
template <class Fn>
class ScopedOp {
public:
    ScopedOp(Fn platform::Ops::*slot, Fn fn) : m_table(BeginOverride()), m_slot(slot), m_old(m_table.*slot)
    {
        m_table.*slot = fn;
    }
    ~ScopedOp()
    {
        m_table.*m_slot = m_old;
        EndOverride();
    }
    ScopedOp(const ScopedOp&) = delete;
    ScopedOp& operator=(const ScopedOp&) = delete;

private:
    platform::Ops& m_table;
    Fn platform::Ops::*m_slot;
    Fn m_old;
};

// Puts the real table back in place and forgets every override still alive
// (use in TearDown).
void RestoreRealPlatform();

// The state that a fixture's fake platform functions share. A fake is a plain
// function, so it finds the state through Current(); the fixture owns the
// state as a member, fresh for every test, and it is reachable only while that
// member lives.
//   struct TickState { DWORD now = 0; };
//   DWORD WINAPI FakeTick() { return FakeState<TickState>::Current().now; }
//   class TickTest : public ::testing::Test { protected: FakeState<TickState> m_fake; };
template <class State>
class FakeState {
public:
    FakeState() noexcept { s_pCurrent = &m_state; }
    ~FakeState() { s_pCurrent = nullptr; }
    FakeState(const FakeState&) = delete;
    FakeState& operator=(const FakeState&) = delete;

    State* operator->() noexcept { return &m_state; }
    State& operator*() noexcept { return m_state; }
    static State& Current() noexcept { return *s_pCurrent; }

private:
    State m_state{};
    static inline State* s_pCurrent = nullptr;
};

}  // namespace testing_support
