// Connections: one service CoClass object per connection, created on the
// COM object creator pool with the event sink attached, stored in the
// connection table, and removed on the callback pool so that a removal never
// overlaps a callback.
#include <boost/bind/bind.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "service/ServiceCreation.h"
#include "service/StatusChangeEventSink.h"
#include "support/Trace.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

namespace {

const char kCreateConnectionName[] = "BrennicZelvarSDK::ZVImplementationV1::CreateConnection";
const char kDestroyConnectionName[] = "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection";

// "<client name>:<executable file name>:<process id>:<handle>"
std::wstring BuildClientIdentifier(const ZVChar* clientName, unsigned int handle) {
    wchar_t path[260] = {};
    std::wstring exeName;
    DWORD length = GetModuleFileNameW(nullptr, path, 260);
    if (length > 0) {
        std::wstring full(path, length < 260 ? length : 259);
        size_t slash = full.find_last_of(L'\\');
        if (slash != std::wstring::npos) exeName = full.substr(slash + 1);
    }
    wchar_t pid[16];
    swprintf(pid, 16, L"%u", static_cast<unsigned>(GetCurrentProcessId()));
    return std::wstring(clientName ? clientName : L"") + L":" + exeName + L":" + pid + L":" + std::to_wstring(handle);
}

// Attaches the sink to the connection's connection point for the event
// interface; the advise cookie is kept in the sink, the point is handed out.
HRESULT AttachSink(IZelvarConnection* connection, StatusChangeEventSink* sink, ComPtr<IConnectionPoint>& point) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = connection->QueryInterface(IID_IUnknown, unknown.ReceiveVoid());
    if (FAILED(hr) && hr != E_NOINTERFACE) ThrowComError(hr);
    if (!unknown) ThrowComError(E_POINTER);
    ComPtr<IConnectionPointContainer> container;
    hr = unknown.As(container);
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(DIID__IZelvarEvents, point.Receive());
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> sinkUnknown;
    hr = sink->QueryInterface(IID_IUnknown, sinkUnknown.ReceiveVoid());
    if (FAILED(hr)) return hr;
    return point->Advise(sinkUnknown.Get(), sink->AdviseCookie());
}

}  // namespace

ZVResult ZVImplementationV1::CreateConnection(const ZVChar* clientName, ZVStatusChangeCallback callback, void* context,
                                              unsigned int* connectionHandle) {
    return RunApiCall(kCreateConnectionName, Apartment::Skip, [&](ApiCall& call) {
        if (!clientName) return call.InvalidParameter(L"ZVImplementationV1::CreateConnection invalid client name");
        if (!connectionHandle) {
            return call.InvalidParameter(L"ZVImplementationV1::CreateConnection invalid out handle pointer");
        }
        if (!callback && context) {
            return call.InvalidParameter(
                L"ZVImplementationV1::CreateConnection bad function point and callback parameters");
        }
        *connectionHandle = 0;
        const unsigned int handle = DrawHandle();
        const std::wstring clientIdentifier = BuildClientIdentifier(clientName, handle);
        // The item finds the pool it hands the point's release to here: a work
        // item must not look a pool up, since destroying a pool holds the
        // registry while it waits for the pool's thread. The gate held by this
        // call keeps the pool in place until the item has run.
        ThreadPool* creatorPool = FindThreadPool(kComObjectCreatorPoolName);
        RunOnPoolAndCheck(call.Name(), kComObjectCreatorPoolName,
                          boost::bind(&ZVImplementationV1::AddZelvar, this, clientIdentifier, handle, callback, context,
                                      creatorPool));
        TraceInfo(L"CreateConnection created zelvar with handle %u", handle);
        *connectionHandle = handle;
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::DestroyConnection(unsigned int connectionHandle) {
    TraceInfo(L"ZVImplementationV1::DestroyConnection called for handle %u", connectionHandle);
    return RunApiCall(kDestroyConnectionName, Apartment::Skip, [&](ApiCall& call) {
        RunOnPoolAndCheck(call.Name(), kCallbackPoolName,
                          boost::bind(&ZVImplementationV1::RemoveZelvar, this, connectionHandle));
        TraceInfo(L"ZVImplementationV1::DestroyConnection Completed ok for handle %u", connectionHandle);
        return ZV_SUCCESS;
    });
}

HRESULT ZVImplementationV1::AddZelvar(const std::wstring& clientIdentifier, unsigned int handle,
                                      ZVStatusChangeCallback callback, void* context, ThreadPool* creatorPool) {
    try {
        ComPtr<IZelvarConnection> connection;
        HRESULT hr = CreateZelvarCoClass(connection);
        if (FAILED(hr)) RepairRegistrationAndCreateAgain(hr, connection);

        ScopedBstr identifier(SysAllocString(clientIdentifier.c_str()));
        if (!identifier.Get()) ThrowComError(E_OUTOFMEMORY);
        hr = connection->CreateConnection(identifier.Get());
        if (FAILED(hr)) ThrowServiceError(hr);

        ComPtr<StatusChangeEventSink> sink(new StatusChangeEventSink(
            handle, boost::bind(&ZVImplementationV1::OnStatusChangeCallback, this, boost::placeholders::_1,
                                boost::placeholders::_2, boost::placeholders::_3)));
        ComPtr<IConnectionPoint> point;
        hr = AttachSink(connection.Get(), sink.Get(), point);
        if (FAILED(hr)) {
            TraceError(L"AddZelvar Failed to attach zelvar sink!");
            ThrowComError(hr);
        }

        // Made before the connection is stored: once it is, nothing may fail,
        // or a handle never handed out would keep its entry and its cookie.
        std::vector<ComPtr<IUnknown>> pointRelease{ComPtr<IUnknown>(point.Get())};
        point.Reset();
        hr = m_connectionTable.SetData_ExclusiveLock(handle, connection.Get(), ConnectionData{0, callback, context});
        if (FAILED(hr)) {
            TraceError(L"AddZelvar Failed to store zelvar in GIT!");
            ThrowComError(hr);
        }
        // Releasing the last reference to the point's proxy is a round trip to
        // the service: the pool does it after the caller has its handle.
        ReleaseOnCreatorPool(std::move(pointRelease), creatorPool);
        return S_OK;
    } catch (const _com_error& e) {
        TraceError(
            L"AddZelvar Caught unexpected COM HRESULT code %u while creating / setting up new zelvar. - Bad "
            L"COM registration perhaps?",
            static_cast<unsigned>(e.Error()));
        return e.Error();
    }
}

HRESULT ZVImplementationV1::RemoveZelvar(unsigned int handle) {
    try {
        ComPtr<IZelvarConnection> connection;
        ConnectionData data{};
        HRESULT hr = m_connectionTable.GetDataAndObject_SharedLock(handle, connection, data);
        if (FAILED(hr)) {
            TraceError(L"RemoveZelvar: Got failed HRESULT %u for GetZelvarDataAndObject with handle %u",
                       static_cast<unsigned>(hr), handle);
            ThrowComError(hr);
        }
        if (!connection) ThrowComError(E_POINTER);
        hr = connection->CancelAllCalls();
        if (FAILED(hr)) ThrowComError(hr);
    } catch (const _com_error& e) {
        TraceError(L"RemoveZelvar: caught unexpected COM error %u during CancelAllCalls for handle %u",
                   static_cast<unsigned>(e.Error()), handle);
    }
    HRESULT hr = m_connectionTable.Delete_ExclusiveLock(handle);
    if (FAILED(hr)) {
        TraceError(L"RemoveZelvar: Got failed HRESULT %u for Delete_ExclusiveLock with handle %u",
                   static_cast<unsigned>(hr), handle);
        return hr;
    }
    TraceInfo(L"RemoveZelvar Deleted zelvar data for handle %u", handle);
    return hr;
}

void ZVImplementationV1::OnStatusChangeCallback(unsigned int handle, unsigned int status, int window) {
    TraceInfo(L"OnStatusChangeCallback: Called with handle(%u) status(%u) window(%u)", handle, status, window);
    ConnectionData data{};
    if (!m_connectionTable.GetData_SharedLock(handle, data)) {
        TraceError(L"OnStatusChangeCallback: Failed to find zelvar data for handle %u", handle);
        return;
    }
    if (!data.callback) return;
    // No SDK lock is held while application code runs.
    TraceInfo(L"OnStatusChangeCallback:  Making callback for handle(%u) status(%u) window(%u)", handle, status, window);
    try {
        data.callback(handle, data.context, status, window);
        TraceInfo(L"OnStatusChangeCallback:  Returned from callback");
    } catch (...) {
        TraceInfo(
            L"OnStatusChangeCallback:  An exception was caught during callback for handle(%u) status(%u) "
            L"window(%u)",
            handle, status, window);
    }
}

}  // namespace BrennicZelvarSDK
