#include "threading/PoolRunner.h"

#include <boost/function/function_base.hpp>
#include <boost/make_shared.hpp>
#include <exception>

#include "support/ComErrors.h"
#include "support/Trace.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

unsigned int DelegateWorker::Execute() {
    // An empty callable leaves the event unsignalled: the submitter's wait is
    // the only thing that could notice, and an empty callable is a
    // programming error of the submitter.
    if (m_callable.empty()) throw boost::bad_function_call();
    m_callable();
    SetEvent(m_event->Get());
    return 0;
}

void RunOnPoolAndWait(const std::wstring& poolName, const boost::function<void()>& callable, const char* name,
                      DWORD waitMs) {
    boost::shared_ptr<ScopedHandle> completion = boost::make_shared<ScopedHandle>(MakeCompletionEvent());
    if (!*completion) {
        // Nothing could ever be waited for: refuse before the item is queued,
        // so that it cannot run after this caller has gone.
        TraceError(L"%S - failed waiting for signal. Result code: %u", name, static_cast<unsigned int>(WAIT_FAILED));
        throw ThreadPoolInvocationException();
    }
    // Whatever the callable throws is carried back and raised again on the
    // caller's thread: on the pool thread it would end the thread (and the
    // process) and leave the caller waiting for ever.
    boost::shared_ptr<std::exception_ptr> failure = boost::make_shared<std::exception_ptr>();
    boost::function<void()> guarded = [callable, failure]() {
        try {
            callable();
        } catch (...) {
            *failure = std::current_exception();
        }
    };
    WorkerPtr worker = boost::make_shared<DelegateWorker>(completion, guarded);
    FindThreadPool(poolName)->QueueWork(worker);

    const DWORD waited = WaitForSingleObject(completion->Get(), waitMs);
    worker.reset();
    if (waited != WAIT_OBJECT_0) {
        TraceError(L"%S - failed waiting for signal. Result code: %u", name, static_cast<unsigned int>(waited));
        throw ThreadPoolInvocationException();
    }
    if (*failure) std::rethrow_exception(*failure);
}

namespace {

// Runs the caller's callable and keeps its HRESULT. The result lives on the
// heap, shared with the caller, so that an item which runs after its caller
// stopped waiting writes into memory that still exists.
void StoreResult(const boost::function<HRESULT()>& callable, const boost::shared_ptr<HRESULT>& result) {
    *result = callable();
}

}  // namespace

void RunOnPoolAndCheck(const char* name, const std::wstring& poolName, const boost::function<HRESULT()>& callable) {
    boost::shared_ptr<HRESULT> result = boost::make_shared<HRESULT>(E_FAIL);
    RunOnPoolAndWait(poolName, boost::function<void()>([callable, result]() { StoreResult(callable, result); }), name);
    const HRESULT hr = *result;
    if (FAILED(hr)) {
        TraceError(L"%S failed with thread worker returning %u ", name, static_cast<unsigned int>(hr));
        ThrowComError(hr);
    }
}

IUnknown* UICapableAccess(IUnknown* p) {
    if (!p) {
        TraceError(L"UICapablePtr null dereference");
        ThrowComError(E_FAIL);
    }
    // The service shows its logon windows itself; without this grant they
    // would open behind the application's window.
    const HRESULT hr = CoAllowSetForegroundWindow(p, nullptr);
    if (FAILED(hr)) TraceWarning(L"CoAllowSetForegroundWindow failed with HResult %u", static_cast<unsigned int>(hr));
    return p;
}

}  // namespace BrennicZelvarSDK
