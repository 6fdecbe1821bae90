#include "threading/ApartmentWorkers.h"

#include <objbase.h>

#include <boost/make_shared.hpp>
#include <stdexcept>

#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

unsigned int CoInitializeWorker::Execute() {
    m_completion->comResult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetEvent(m_completion->event.Get());
    return 0;
}

unsigned int GetThreadIdWorker::Execute() {
    m_completion->threadId = GetCurrentThreadId();
    SetEvent(m_completion->event.Get());
    return 0;
}

unsigned int CoUninitializeWorker::Execute() {
    CoUninitialize();
    SetEvent(m_completion->event.Get());
    return 0;
}

namespace {

// Queues a WorkerType item on the pool and waits for it; the completion
// goes back to the caller whatever the wait gave.
template <class WorkerType>
ApartmentCompletionPtr RunApartmentItem(const wchar_t* poolName, DWORD waitMs, DWORD& waited) {
    ApartmentCompletionPtr completion = boost::make_shared<ApartmentCompletion>();
    completion->event = MakeCompletionEvent();
    if (!completion->event) throw std::runtime_error("CreateEvent failed!");
    FindThreadPool(poolName)->QueueWork(boost::make_shared<WorkerType>(completion));
    waited = WaitForSingleObject(completion->event.Get(), waitMs);
    return completion;
}

}  // namespace

DWORD JoinApartmentOnPoolThread(const wchar_t* poolName, HRESULT& comResult, DWORD waitMs) {
    DWORD waited = WAIT_FAILED;
    ApartmentCompletionPtr completion = RunApartmentItem<CoInitializeWorker>(poolName, waitMs, waited);
    if (waited == WAIT_OBJECT_0) comResult = completion->comResult;
    return waited;
}

DWORD ReadPoolThreadId(const wchar_t* poolName, DWORD& threadId, DWORD waitMs) {
    DWORD waited = WAIT_FAILED;
    ApartmentCompletionPtr completion = RunApartmentItem<GetThreadIdWorker>(poolName, waitMs, waited);
    if (waited == WAIT_OBJECT_0) threadId = completion->threadId;
    return waited;
}

DWORD LeaveApartmentOnPoolThread(const wchar_t* poolName, DWORD waitMs) {
    DWORD waited = WAIT_FAILED;
    RunApartmentItem<CoUninitializeWorker>(poolName, waitMs, waited);
    return waited;
}

}  // namespace BrennicZelvarSDK
