#include "sync/SharedExclusiveLock.h"

#include <stdexcept>

namespace BrennicZelvarSDK {

namespace {
// How often a thread that finds the lock taken looks again before it waits:
// holds are short, and waiting costs kernel calls on both sides.
const int kSpins = 400;
}  // namespace

// Nothing here can fail: the process-wide locks are built while the library
// loads, where a failure could only end the host inside LoadLibrary. The
// semaphores are made when a thread first has to wait.
SharedExclusiveLock::SharedExclusiveLock() : m_waitSection{} {
    InitializeCriticalSectionAndSpinCount(&m_waitSection, kSpins);
}

SharedExclusiveLock::~SharedExclusiveLock() {
    DeleteCriticalSection(&m_waitSection);
    if (m_writerGo) CloseHandle(m_writerGo);
    for (HANDLE go : m_readersGo)
        if (go) CloseHandle(go);
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
        if ((state & kReaderMask) == 0)
            return RefuseUnmatchedRelease(L"SharedExclusiveLock: shared release without a shared hold refused\n");
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

// A release without a hold would wrap the reader count (or clear a writer bit
// that another thread's hold never set) and wedge the lock for good: it is
// refused and the state stays as it was. The trace lock is one of these
// locks, so the refusal goes to the debugger output only.
void SharedExclusiveLock::RefuseUnmatchedRelease(const wchar_t* line) {
    OutputDebugStringW(line);
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
    ReleaseSemaphore(m_writerGo, 1, nullptr);
}

// Made under the wait section, before the waiting thread counts itself in,
// so that whoever wakes it finds the semaphore. Failing to make it leaves the
// state as it was and raises std::runtime_error("CreateEvent failed!"), which
// an operation turns into its result.
HANDLE SharedExclusiveLock::WaitSemaphore(HANDLE& semaphore) {
    if (!semaphore) semaphore = CreateSemaphoreW(nullptr, 0, static_cast<LONG>(kReaderMask), nullptr);
    if (!semaphore) {
        LeaveWaitSection();
        throw std::runtime_error("CreateEvent failed!");
    }
    return semaphore;
}

void SharedExclusiveLock::AcquireSharedSlow() {
    EnterWaitSection();
    if ((m_state.load() & kWriter) == 0 && m_waitingWriters == 0) {
        m_state.fetch_add(1);
        LeaveWaitSection();
        return;
    }
    // A writer holds the lock or waits for it: a writer's release counts this
    // round's waiting readers in and gives its semaphore one unit for each, so
    // that every unit stands for a hold already granted and a waiting reader
    // never wakes for nothing. Rounds alternate between two semaphores: a
    // reader of the next round cannot take a unit meant for one of this
    // round that has not woken yet, since the next round's units come only
    // after a writer, which gets in only once this round's readers have all
    // woken and left.
    const HANDLE go = WaitSemaphore(m_readersGo[m_readerRound & 1]);
    ++m_waitingReaders;
    LeaveWaitSection();
    WaitForSingleObject(go, INFINITE);
}

void SharedExclusiveLock::ReleaseSharedSlow() {
    EnterWaitSection();
    if ((m_state.load() & kReaderMask) == 0) {
        LeaveWaitSection();
        return RefuseUnmatchedRelease(L"SharedExclusiveLock: shared release without a shared hold refused\n");
    }
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
    const HANDLE go = WaitSemaphore(m_writerGo);
    ++m_waitingWriters;
    LeaveWaitSection();
    WaitForSingleObject(go, INFINITE);
}

// Readers that arrived while the writer held the lock go in first, all
// together; a waiting writer then has the gate closed behind them and gets
// the lock when they have left. Without waiting readers one waiting writer
// gets it.
void SharedExclusiveLock::ReleaseExclusiveSlow() {
    EnterWaitSection();
    if ((m_state.load() & kWriter) == 0) {
        LeaveWaitSection();
        return RefuseUnmatchedRelease(L"SharedExclusiveLock: exclusive release without the exclusive hold refused\n");
    }
    m_state.fetch_and(~kWriter);
    if (m_waitingReaders > 0) {
        m_state.fetch_add(m_waitingReaders);
        ReleaseSemaphore(m_readersGo[m_readerRound & 1], static_cast<LONG>(m_waitingReaders), nullptr);
        m_waitingReaders = 0;
        ++m_readerRound;
    } else if (m_waitingWriters > 0) {
        GrantWriter();
    }
    LeaveWaitSection();
}

}  // namespace BrennicZelvarSDK
