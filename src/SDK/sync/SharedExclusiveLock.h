// Reader/writer lock of the SDK: any number of shared holders or one
// exclusive holder. A waiting writer closes the gate to new readers at once;
// readers that arrive while a writer holds the lock wait until it releases.
// Not re-entrant: a thread holding it in either mode that asks for it
// exclusively waits for ever. A hold is not tied to the thread that took it.
//
// An uncontended acquire or release is one compare-and-swap on the state
// word and makes no kernel call. Only a thread that must wait, and the
// thread that must wake it, take the wait section and touch the semaphores.
// A release without a matching hold is refused and leaves the state intact.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "sync/ThreadSafety.h"

namespace BrennicZelvarSDK {

class ZV_CAPABILITY("SharedExclusiveLock") SharedExclusiveLock {
public:
    // Never fails. A thread that must wait and cannot get the semaphore to
    // wait on gets std::runtime_error("CreateEvent failed!") from Acquire*.
    SharedExclusiveLock();
    ~SharedExclusiveLock();
    SharedExclusiveLock(const SharedExclusiveLock&) = delete;
    SharedExclusiveLock& operator=(const SharedExclusiveLock&) = delete;

    void AcquireShared() ZV_ACQUIRE_SHARED();
    void ReleaseShared() ZV_RELEASE_SHARED();
    void AcquireExclusive() ZV_ACQUIRE();
    void ReleaseExclusive() ZV_RELEASE();

private:
    // State word: the number of readers holding the lock, a bit for the
    // writer holding it, and a bit that sends every thread through the wait
    // section while any thread waits (the word then changes only there).
    static const uint32_t kReaderMask = 0x3FFFFFFFu;
    static const uint32_t kWriter = 0x40000000u;
    static const uint32_t kWaiters = 0x80000000u;

    void AcquireSharedSlow();
    void ReleaseSharedSlow();
    void AcquireExclusiveSlow();
    void ReleaseExclusiveSlow();
    // The wait-section helpers below run with the section held.
    void EnterWaitSection();
    void LeaveWaitSection();
    void GrantWriter();
    HANDLE WaitSemaphore(HANDLE& semaphore);
    static void RefuseUnmatchedRelease(const wchar_t* line);

    std::atomic<uint32_t> m_state{0};
    CRITICAL_SECTION m_waitSection;
    // Guarded by the wait section; made on first need.
    HANDLE m_readersGo[2] = {};   // by round parity: one unit per waiting reader let in
    HANDLE m_writerGo = nullptr;  // one unit when the lock is handed to a waiting writer
    unsigned m_waitingReaders = 0;
    unsigned m_waitingWriters = 0;
    unsigned m_readerRound = 0;  // advanced each time waiting readers are let in
};

// Shared hold for a scope. Release() lets an operation leave early (the API
// gate is left before long service calls); the destructor then does nothing.
class ZV_SCOPED_CAPABILITY SharedLockHold {
public:
    explicit SharedLockHold(SharedExclusiveLock& lock) ZV_ACQUIRE_SHARED(lock) : m_lock(&lock) {
        m_lock->AcquireShared();
    }
    ~SharedLockHold() ZV_RELEASE() { Release(); }
    SharedLockHold(const SharedLockHold&) = delete;
    SharedLockHold& operator=(const SharedLockHold&) = delete;
    // The analysis sees the hold end here; the pointer test inside is what
    // makes a second release (the destructor's after an early one) harmless.
    void Release() ZV_RELEASE() ZV_NO_THREAD_SAFETY_ANALYSIS {
        if (m_lock) {
            m_lock->ReleaseShared();
            m_lock = nullptr;
        }
    }
    bool Held() const { return m_lock != nullptr; }

private:
    SharedExclusiveLock* m_lock;
};

class ZV_SCOPED_CAPABILITY ExclusiveLockHold {
public:
    explicit ExclusiveLockHold(SharedExclusiveLock& lock) ZV_ACQUIRE(lock) : m_lock(&lock) {
        m_lock->AcquireExclusive();
    }
    ~ExclusiveLockHold() ZV_RELEASE() { Release(); }
    ExclusiveLockHold(const ExclusiveLockHold&) = delete;
    ExclusiveLockHold& operator=(const ExclusiveLockHold&) = delete;
    void Release() ZV_RELEASE() ZV_NO_THREAD_SAFETY_ANALYSIS {
        if (m_lock) {
            m_lock->ReleaseExclusive();
            m_lock = nullptr;
        }
    }

private:
    SharedExclusiveLock* m_lock;
};

}  // namespace BrennicZelvarSDK
