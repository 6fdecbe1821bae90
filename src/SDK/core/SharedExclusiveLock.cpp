#include "core/SharedExclusiveLock.h"

#include <stdexcept>

namespace BrennicZelvarSDK {

SharedExclusiveLock::SharedExclusiveLock() : m_openEvent(nullptr), m_noReadersEvent(nullptr), m_readerCount(0) {
    m_openEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    m_noReadersEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (!m_openEvent || !m_noReadersEvent) {
        if (m_openEvent) CloseHandle(m_openEvent);
        if (m_noReadersEvent) CloseHandle(m_noReadersEvent);
        throw std::runtime_error("CreateEvent failed!");
    }
    InitializeCriticalSection(&m_writerSection);
    InitializeCriticalSection(&m_readerSection);
}

SharedExclusiveLock::~SharedExclusiveLock() {
    DeleteCriticalSection(&m_readerSection);
    DeleteCriticalSection(&m_writerSection);
    CloseHandle(m_noReadersEvent);
    CloseHandle(m_openEvent);
}

void SharedExclusiveLock::AcquireShared() {
    for (;;) {
        WaitForSingleObject(m_openEvent, INFINITE);

        EnterCriticalSection(&m_readerSection);
        InterlockedIncrement(&m_readerCount);
        ResetEvent(m_noReadersEvent);
        LeaveCriticalSection(&m_readerSection);

        if (WaitForSingleObject(m_openEvent, 0) == WAIT_OBJECT_0) return;

        // A writer closed the gate between the first wait and the count:
        // back off so that it can drain the readers, then queue up again.
        EnterCriticalSection(&m_readerSection);
        if (InterlockedDecrement(&m_readerCount) <= 0) SetEvent(m_noReadersEvent);
        LeaveCriticalSection(&m_readerSection);
    }
}

void SharedExclusiveLock::ReleaseShared() {
    EnterCriticalSection(&m_readerSection);
    if (InterlockedDecrement(&m_readerCount) <= 0) SetEvent(m_noReadersEvent);
    LeaveCriticalSection(&m_readerSection);
}

void SharedExclusiveLock::AcquireExclusive() {
    EnterCriticalSection(&m_writerSection);
    WaitForSingleObject(m_openEvent, INFINITE);
    ResetEvent(m_openEvent);
    WaitForSingleObject(m_noReadersEvent, INFINITE);
    LeaveCriticalSection(&m_writerSection);
}

void SharedExclusiveLock::ReleaseExclusive() {
    SetEvent(m_openEvent);
}

}  // namespace BrennicZelvarSDK
