// Runs a piece of work on a named pool while the caller waits, and holds a
// service pointer that lets the service take the foreground for a call.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <boost/function.hpp>
#include <string>

#include "support/Scoped.h"
#include "threading/Worker.h"

namespace BrennicZelvarSDK {

// The item shares its completion event with the submitter, so that an item
// that runs after its submitter stopped waiting signals an event that still
// exists, never a closed handle whose value has been given to another object.
class DelegateWorker : public Worker {
public:
    DelegateWorker(const boost::shared_ptr<ScopedHandle>& completionEvent, const boost::function<void()>& callable)
        : m_event(completionEvent), m_callable(callable) {}
    // An empty callable throws boost::bad_function_call and signals nothing.
    unsigned int Execute() override;

private:
    boost::shared_ptr<ScopedHandle> m_event;
    boost::function<void()> m_callable;
};

// Raises ThreadPoolInvocationException when the wait fails (or lasts longer
// than waitMs); registry and queue exceptions pass through. Everything the
// queued item touches is its own, so it may still run after such a failure.
void RunOnPoolAndWait(const std::wstring& poolName, const boost::function<void()>& callable, const char* name,
                      DWORD waitMs = INFINITE);

// Runs callable on the pool; a negative HRESULT is traced
// ("%S failed with thread worker returning %u ") and raised as a COM error.
void RunOnPoolAndCheck(const char* name, const std::wstring& poolName, const boost::function<HRESULT()>& callable);

// Allows the service's process to bring its own windows to the front while it
// serves the call made through the pointer. Access to a null pointer traces
// "UICapablePtr null dereference" and raises E_FAIL.
template <class T>
class UICapablePtr {
public:
    UICapablePtr() = default;
    explicit UICapablePtr(ComPtr<T> p) : m_ptr(std::move(p)) {}
    ComPtr<T>& Holder() { return m_ptr; }
    T* operator->() const { return Access(m_ptr.Get()); }

private:
    static T* Access(T* p);
    ComPtr<T> m_ptr;
};

// Shared by every UICapablePtr<T>: the null check, the foreground grant and
// its warning trace.
IUnknown* UICapableAccess(IUnknown* p);

template <class T>
T* UICapablePtr<T>::Access(T* p) {
    UICapableAccess(p);
    return p;
}

}  // namespace BrennicZelvarSDK
