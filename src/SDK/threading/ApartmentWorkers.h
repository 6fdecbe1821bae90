// Work items that move a pool thread into or out of the multithreaded COM
// apartment, and read its thread id. COM initialisation is per thread, so
// these run on the pool thread itself. The submitter owns the event.
#pragma once

#include "threading/Worker.h"

namespace BrennicZelvarSDK {

class CoInitializeWorker : public Worker {
public:
    CoInitializeWorker(HANDLE completionEvent, HRESULT* result) : m_event(completionEvent), m_result(result) {}
    unsigned int Execute() override;

private:
    HANDLE m_event;
    HRESULT* m_result;
};

class GetThreadIdWorker : public Worker {
public:
    GetThreadIdWorker(HANDLE completionEvent, DWORD* threadId) : m_event(completionEvent), m_threadId(threadId) {}
    unsigned int Execute() override;

private:
    HANDLE m_event;
    DWORD* m_threadId;
};

class CoUninitializeWorker : public Worker {
public:
    explicit CoUninitializeWorker(HANDLE completionEvent) : m_event(completionEvent) {}
    unsigned int Execute() override;

private:
    HANDLE m_event;
};

}  // namespace BrennicZelvarSDK
