// The event sink attached to each connection. The service calls Invoke on
// one of COM's threads; the sink queues the status change on the callback
// pool, whose one thread delivers every connection's callbacks in order.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <boost/function.hpp>

#include "ZelvarSvrLib.h"
#include "sync/SharedExclusiveLock.h"
#include "threading/Worker.h"

namespace BrennicZelvarSDK {

// IDispatch-based sink with its own reference count. It answers only
// IUnknown and the event interface's DIID: the marshaller must not treat it
// as a general IDispatch.
template <class EventInterface>
class COMEventSink : public EventInterface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(EventInterface))) {
            *object = static_cast<EventInterface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refCount; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = --m_refCount;
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (!typeInfo) return E_INVALIDARG;
        *typeInfo = nullptr;
        return index == 0 ? S_OK : DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

protected:
    virtual ~COMEventSink() = default;

private:
    std::atomic<ULONG> m_refCount{0};
};

// Where a sink delivers: (handle, status, window).
typedef boost::function<void(unsigned int, unsigned int, int)> StatusChangeTarget;

class StatusChangeEventSink : public COMEventSink<_IZelvarEvents> {
public:
    StatusChangeEventSink(unsigned int connectionHandle, const StatusChangeTarget& target)
        : m_connectionHandle(connectionHandle), m_target(target) {}

    STDMETHODIMP Invoke(DISPID dispId, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exceptionInfo, UINT* argumentError) override;

    DWORD* AdviseCookie() { return &m_adviseCookie; }

private:
    ~StatusChangeEventSink() override = default;
    void HandleStatusChange(unsigned int status, int window);

    DWORD m_adviseCookie = 0xFFFFFFFF;
    SharedExclusiveLock m_sinkLock;
    unsigned int m_connectionHandle;
    StatusChangeTarget m_target ZV_GUARDED_BY(m_sinkLock);
};

// Runs on the callback pool's thread: calls the delivery target and drops
// whatever it throws.
class StatusChangeEventSinkWorker : public Worker {
public:
    StatusChangeEventSinkWorker(unsigned int handle, const StatusChangeTarget& target, unsigned int status, int window)
        : m_handle(handle), m_target(target), m_status(status), m_window(window) {}
    unsigned int Execute() override;

private:
    unsigned int m_handle;
    StatusChangeTarget m_target;
    unsigned int m_status;
    int m_window;
};

}  // namespace BrennicZelvarSDK
