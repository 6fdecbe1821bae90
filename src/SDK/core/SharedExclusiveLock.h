// Reader/writer lock of the SDK: any number of shared holders or one
// exclusive holder. Built from two manual-reset events and two critical
// sections so that a waiting writer closes the gate to new readers at once.
// Not re-entrant: a thread holding it in either mode that asks for it
// exclusively waits for ever.
#pragma once

#include <windows.h>

namespace BrennicZelvarSDK {

class SharedExclusiveLock {
public:
    // Throws std::runtime_error("CreateEvent failed!") when an event cannot be made.
    SharedExclusiveLock();
    ~SharedExclusiveLock();
    SharedExclusiveLock(const SharedExclusiveLock&) = delete;
    SharedExclusiveLock& operator=(const SharedExclusiveLock&) = delete;

    void AcquireShared();
    void ReleaseShared();
    void AcquireExclusive();
    void ReleaseExclusive();

private:
    HANDLE m_openEvent;       // signalled while no writer holds or waits for the lock
    HANDLE m_noReadersEvent;  // signalled while the reader count is 0
    volatile LONG m_readerCount;
    CRITICAL_SECTION m_writerSection;
    CRITICAL_SECTION m_readerSection;
};

// Shared hold for a scope. Release() lets an operation leave early (the API
// gate is left before long service calls); the destructor then does nothing.
class SharedLockHold {
public:
    explicit SharedLockHold(SharedExclusiveLock& lock) : m_lock(&lock) { m_lock->AcquireShared(); }
    ~SharedLockHold() { Release(); }
    SharedLockHold(const SharedLockHold&) = delete;
    SharedLockHold& operator=(const SharedLockHold&) = delete;
    void Release() {
        if (m_lock) {
            m_lock->ReleaseShared();
            m_lock = nullptr;
        }
    }
    bool Held() const { return m_lock != nullptr; }

private:
    SharedExclusiveLock* m_lock;
};

class ExclusiveLockHold {
public:
    explicit ExclusiveLockHold(SharedExclusiveLock& lock) : m_lock(&lock) { m_lock->AcquireExclusive(); }
    ~ExclusiveLockHold() { Release(); }
    ExclusiveLockHold(const ExclusiveLockHold&) = delete;
    ExclusiveLockHold& operator=(const ExclusiveLockHold&) = delete;
    void Release() {
        if (m_lock) {
            m_lock->ReleaseExclusive();
            m_lock = nullptr;
        }
    }

private:
    SharedExclusiveLock* m_lock;
};

}  // namespace BrennicZelvarSDK
