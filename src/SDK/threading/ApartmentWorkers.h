// Work items that move a pool thread into or out of the multithreaded COM
// apartment, and read its thread id. COM initialisation is per thread, so
// these run on the pool thread itself.
#pragma once

#include <boost/shared_ptr.hpp>

#include "support/Scoped.h"
#include "threading/Worker.h"

namespace BrennicZelvarSDK {

// What an apartment item fills in and the event it signals. The item and its
// submitter share it: an item that runs after its submitter stopped waiting
// (a failed wait) still writes into memory, and signals an event, that exist.
// The submitter reads the results only after a successful wait.
struct ApartmentCompletion {
    ScopedHandle event;  // auto-reset, unsignalled, unnamed
    HRESULT comResult = E_FAIL;
    DWORD threadId = 0;
};
typedef boost::shared_ptr<ApartmentCompletion> ApartmentCompletionPtr;

class CoInitializeWorker : public Worker {
public:
    explicit CoInitializeWorker(const ApartmentCompletionPtr& completion) : m_completion(completion) {}
    unsigned int Execute() override;

private:
    ApartmentCompletionPtr m_completion;
};

class GetThreadIdWorker : public Worker {
public:
    explicit GetThreadIdWorker(const ApartmentCompletionPtr& completion) : m_completion(completion) {}
    unsigned int Execute() override;

private:
    ApartmentCompletionPtr m_completion;
};

class CoUninitializeWorker : public Worker {
public:
    explicit CoUninitializeWorker(const ApartmentCompletionPtr& completion) : m_completion(completion) {}
    unsigned int Execute() override;

private:
    ApartmentCompletionPtr m_completion;
};

// Each queues its item on the named pool and waits for it at most waitMs;
// the result is the wait's. The out-parameter is written only after a
// successful wait. std::runtime_error("CreateEvent failed!") when no event
// can be made; pool-registry and queue exceptions pass through.
DWORD JoinApartmentOnPoolThread(const wchar_t* poolName, HRESULT& comResult, DWORD waitMs = INFINITE);
DWORD ReadPoolThreadId(const wchar_t* poolName, DWORD& threadId, DWORD waitMs = INFINITE);
DWORD LeaveApartmentOnPoolThread(const wchar_t* poolName, DWORD waitMs = INFINITE);

}  // namespace BrennicZelvarSDK
