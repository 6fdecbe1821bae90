// Building blocks shared by the operations that call the service: copying the
// application's inputs into the service's types, taking over what the service
// returns, holding service objects for a call, and the creation work items
// that run on the COM object creator pool. An operation is then a few lines
// of its own logic inside RunApiCall.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <boost/function.hpp>
#include <string>

#include "ZelvarSvrLib.h"
#include "core/ErrorHandling.h"
#include "interface/ZVTypes.h"
#include "support/Scoped.h"
#include "tables/HandleTables.h"
#include "threading/PoolRunner.h"

namespace BrennicZelvarSDK {

// A failing service call raises a COM error that carries the error
// information the service left for this thread.
inline void ThrowIfServiceFailed(HRESULT hr) {
    if (FAILED(hr)) ThrowServiceError(hr);
}

// A copy of an input string for the service: a null string gives a null
// BSTR; a non-null string that cannot be copied raises E_OUTOFMEMORY.
ScopedBstr CopyInputString(const ZVChar* text);

// The gateway record as the service takes it, made from the application's
// record: the URL first, the service-interpreted string second (the two
// strings change places), then the three values. A string that cannot be
// copied is passed as a null BSTR; nothing is raised. Both BSTRs are freed
// when the record goes.
class ServiceGatewayRecord {
public:
    explicit ServiceGatewayRecord(const _ZV_GATEWAY_INFO& info);
    ~ServiceGatewayRecord();
    ServiceGatewayRecord(const ServiceGatewayRecord&) = delete;
    ServiceGatewayRecord& operator=(const ServiceGatewayRecord&) = delete;

    ZelvarGatewayInfo* Get() { return &m_record; }
    const ZelvarGatewayInfo& Record() const { return m_record; }

private:
    ZelvarGatewayInfo m_record;
};

// A SAFEARRAY that the service hands back through an [out] argument. It is
// owned from Receive() on and destroyed on every way out (unlocked first).
// TakeOwnership checks and locks it:
// - a null array or an element type other than `expected` raises
//   Convert::SafeArrayFailure{E_INVALIDARG}, a failure of the safe-array
//   handling that the call frame reports as unclassified (ZV_ERROR_FAILED);
// - a failed lock writes `lockFailureTrace` as an error and raises a COM
//   error with the lock's HRESULT.
class ServiceSafeArray {
public:
    ServiceSafeArray() = default;
    ServiceSafeArray(const ServiceSafeArray&) = delete;
    ServiceSafeArray& operator=(const ServiceSafeArray&) = delete;

    SAFEARRAY** Receive();
    void TakeOwnership(VARTYPE expected, const wchar_t* lockFailureTrace);
    SAFEARRAY* Get() const { return m_array.Get(); }
    // Number of elements of the (one-dimensional) array; 0 for null.
    ULONG Count() const;

private:
    // Declared in this order so that the lock goes before the array.
    ScopedSafeArray m_array;
    SafeArrayLockHold m_lock;
};

// A service object held for a call without the foreground grant (the
// operations that never make the service show a window). Access to a null
// object raises E_POINTER.
template <class T>
class PlainPtr {
public:
    PlainPtr() = default;
    explicit PlainPtr(ComPtr<T> p) : m_ptr(std::move(p)) {}
    ComPtr<T>& Holder() { return m_ptr; }
    T* operator->() const { return Get(); }
    T* Get() const {
        if (!m_ptr) ThrowComError(E_POINTER);
        return m_ptr.Get();
    }

private:
    ComPtr<T> m_ptr;
};

// Look-ups into a UICapablePtr: the table's own failure trace and HRESULT
// (E_HANDLE for a handle that is not in the table) on failure.
template <class T>
UICapablePtr<T> LookUpForUi(ComObjectTable<T>& table, unsigned int handle) {
    return UICapablePtr<T>(table.Get_SharedLock_Throws(handle));
}
inline UICapablePtr<IZelvarConnection> LookUpForUi(ConnectionTable& table, unsigned int handle) {
    return UICapablePtr<IZelvarConnection>(table.Get_SharedLock_Throws(handle));
}

// The connection look-up of the operations that trace a failure under their
// own qualified name ("%S failed to get Zelvar connection for handle %u" with
// `name`) and hold the object in a plain holder.
PlainPtr<IZelvarConnection> LookUpConnectionAs(ConnectionTable& table, unsigned int handle, const char* name);

// The body of a creation work item that runs on the COM object creator pool:
// a COM error raised by `work` is traced with `caughtTrace` (one %u, the
// HRESULT) and becomes the item's result; other exceptions pass through to
// the pool runner, which raises them again on the caller's thread.
HRESULT RunCreationWorkItem(const wchar_t* caughtTrace, const boost::function<void()>& work);

// Runs a creation work item on the COM object creator pool and waits for it;
// a failing result is traced by the pool runner under `name` and raised.
void CreateOnCreatorPool(const char* name, const boost::function<HRESULT()>& workItem);

}  // namespace BrennicZelvarSDK
