#include "operations/OperationSupport.h"

#include "support/Convert.h"
#include "support/Trace.h"
#include "threading/ThreadPool.h"

namespace BrennicZelvarSDK {

ScopedBstr CopyInputString(const ZVChar* text) {
    ScopedBstr copy(text ? SysAllocString(text) : nullptr);
    if (text && !copy.Get()) ThrowComError(E_OUTOFMEMORY);
    return copy;
}

ServiceGatewayRecord::ServiceGatewayRecord(const _ZV_GATEWAY_INFO& info) : m_record() {
    m_record.gatewayUrl = info.gatewayUrl ? SysAllocString(info.gatewayUrl) : nullptr;
    m_record.gatewayString = info.gatewayString ? SysAllocString(info.gatewayString) : nullptr;
    m_record.gatewayValue1 = info.gatewayValue1;
    m_record.gatewayValue2 = info.gatewayValue2;
    m_record.gatewayValue3 = info.gatewayValue3;
}

ServiceGatewayRecord::~ServiceGatewayRecord() {
    SysFreeString(m_record.gatewayUrl);
    SysFreeString(m_record.gatewayString);
}

SAFEARRAY** ServiceSafeArray::Receive() {
    m_lock.Release();
    return m_array.Receive();
}

void ServiceSafeArray::TakeOwnership(VARTYPE expected, const wchar_t* lockFailureTrace) {
    VARTYPE type = VT_EMPTY;
    // SafeArrayGetVartype reads VT_UNKNOWN with FADF_DISPATCH as VT_DISPATCH,
    // as the platform's safe-array wrapper does.
    if (!m_array.Get() || FAILED(SafeArrayGetVartype(m_array.Get(), &type)) || type != expected)
        throw Convert::SafeArrayFailure{E_INVALIDARG};
    const HRESULT hr = m_lock.Lock(m_array.Get());
    if (FAILED(hr)) {
        TraceError(L"%s", lockFailureTrace);
        ThrowComError(hr);
    }
}

ULONG ServiceSafeArray::Count() const {
    SAFEARRAY* array = m_array.Get();
    return array && array->cDims >= 1 ? array->rgsabound[0].cElements : 0;
}

PlainPtr<IZelvarConnection> LookUpConnectionAs(ConnectionTable& table, unsigned int handle, const char* name) {
    PlainPtr<IZelvarConnection> connection;
    const HRESULT hr = table.Get_SharedLock(handle, connection.Holder());
    if (FAILED(hr)) {
        TraceError(L"%S failed to get Zelvar connection for handle %u", name, handle);
        ThrowComError(hr);
    }
    return connection;
}

HRESULT RunCreationWorkItem(const wchar_t* caughtTrace, const boost::function<void()>& work) {
    try {
        work();
        return S_OK;
    } catch (const _com_error& e) {
        TraceError(caughtTrace, static_cast<unsigned int>(e.Error()));
        return e.Error();
    }
}

void CreateOnCreatorPool(const char* name, const boost::function<HRESULT()>& workItem) {
    RunOnPoolAndCheck(name, kComObjectCreatorPoolName, workItem);
}

}  // namespace BrennicZelvarSDK
