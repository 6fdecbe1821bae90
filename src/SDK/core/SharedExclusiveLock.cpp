#include "core/SharedExclusiveLock.h"

#include <stdexcept>

namespace BrennicZelvarSDK {

namespace {
// How often a thread that finds the lock taken looks again before it waits:
// holds are short, and waiting costs kernel calls on both sides.
const int kSpins = 400;
}  // namespace

SharedExclusiveLock::SharedExclusiveLock()
    : m_readersGoEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_writerGoEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_waitSection{} {
    if (!m_readersGoEvent || !m_writerGoEvent) {
        if (m_readersGoEvent) CloseHandle(m_readersGoEvent);
        if (m_writerGoEvent) CloseHandle(m_writerGoEvent);
        throw std::runtime_error("CreateEvent failed!");
    }
    InitializeCriticalSectionAndSpinCount(&m_waitSection, kSpins);
}

SharedExclusiveLock::~SharedExclusiveLock() {
    DeleteCriticalSection(&m_waitSection);
    CloseHandle(m_writerGoEvent);
    CloseHandle(m_readersGoEvent);
}

void SharedExclusiveLock::AcquireShared() {
    for (int spin = 0; spin < kSpins; ++spin) {
        uint32_t state = m_state.load(std::memory_order_relaxed);
        while ((state & (kWriter | kWaiters)) == 0) {
            if (m_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire)) return;
        }
        YieldProcessor();
    }
    AcquireSharedSlow();
}

void SharedExclusiveLock::ReleaseShared() {
    uint32_t state = m_state.load(std::memory_order_relaxed);
    while ((state & kWaiters) == 0) {
        if (m_state.compare_exchange_weak(state, state - 1, std::memory_order_release)) return;
    }
    ReleaseSharedSlow();
}

void SharedExclusiveLock::AcquireExclusive() {
    for (int spin = 0; spin < kSpins; ++spin) {
        uint32_t free = 0;
        if (m_state.compare_exchange_strong(free, kWriter, std::memory_order_acquire)) return;
        YieldProcessor();
    }
    AcquireExclusiveSlow();
}

void SharedExclusiveLock::ReleaseExclusive() {
    uint32_t held = kWriter;
    if (m_state.compare_exchange_strong(held, 0, std::memory_order_release)) return;
    ReleaseExclusiveSlow();
}

// Setting the waiters bit makes every fast path fail, so that from here until
// the bit is cleared the state word changes only inside the section.
void SharedExclusiveLock::EnterWaitSection() {
    EnterCriticalSection(&m_waitSection);
    m_state.fetch_or(kWaiters);
}

void SharedExclusiveLock::LeaveWaitSection() {
    if (m_waitingReaders == 0 && m_waitingWriters == 0) m_state.fetch_and(~kWaiters);
    LeaveCriticalSection(&m_waitSection);
}

// The lock passes to one waiting writer before it wakes, so no other thread
// can take it in between.
void SharedExclusiveLock::GrantWriter() {
    m_state.fetch_or(kWriter);
    --m_waitingWriters;
    m_writerGranted = true;
    SetEvent(m_writerGoEvent);
}

void SharedExclusiveLock::AcquireSharedSlow() {
    EnterWaitSection();
    if ((m_state.load() & kWriter) == 0 && m_waitingWriters == 0) {
        m_state.fetch_add(1);
        LeaveWaitSection();
        return;
    }
    // A writer holds the lock or waits for it: wait until a writer's release
    // lets this round of readers in (it counts them in before waking them).
    const unsigned round = m_readerRound;
    ++m_waitingReaders;
    LeaveWaitSection();
    for (;;) {
        WaitForSingleObject(m_readersGoEvent, INFINITE);
        EnterCriticalSection(&m_waitSection);
        const bool admitted = m_readerRound != round;
        if (admitted && --m_readersToWake == 0) ResetEvent(m_readersGoEvent);
        LeaveCriticalSection(&m_waitSection);
        if (admitted) return;
        // The event still stands for the previous round, whose last reader
        // has not woken yet to reset it.
        SwitchToThread();
    }
}

void SharedExclusiveLock::ReleaseSharedSlow() {
    EnterWaitSection();
    const uint32_t state = m_state.fetch_sub(1) - 1;
    if ((state & (kReaderMask | kWriter)) == 0 && m_waitingWriters > 0) GrantWriter();
    LeaveWaitSection();
}

void SharedExclusiveLock::AcquireExclusiveSlow() {
    EnterWaitSection();
    if ((m_state.load() & (kReaderMask | kWriter)) == 0 && m_waitingWriters == 0) {
        m_state.fetch_or(kWriter);
        LeaveWaitSection();
        return;
    }
    // New readers now wait behind this writer; the readers in the lock drain
    // and the last one hands the lock over.
    ++m_waitingWriters;
    LeaveWaitSection();
    for (;;) {
        WaitForSingleObject(m_writerGoEvent, INFINITE);
        EnterCriticalSection(&m_waitSection);
        const bool granted = m_writerGranted;
        if (granted) {
            m_writerGranted = false;
            ResetEvent(m_writerGoEvent);
        }
        LeaveCriticalSection(&m_waitSection);
        if (granted) return;
    }
}

// Readers that arrived while the writer held the lock go in first, all
// together; a waiting writer then has the gate closed behind them and gets
// the lock when they have left. Without waiting readers one waiting writer
// gets it.
void SharedExclusiveLock::ReleaseExclusiveSlow() {
    EnterWaitSection();
    m_state.fetch_and(~kWriter);
    if (m_waitingReaders > 0) {
        m_state.fetch_add(m_waitingReaders);
        m_readersToWake = m_waitingReaders;
        m_waitingReaders = 0;
        ++m_readerRound;
        SetEvent(m_readersGoEvent);
    } else if (m_waitingWriters > 0) {
        GrantWriter();
    }
    LeaveWaitSection();
}

}  // namespace BrennicZelvarSDK
