// Connection-level operations: credentials, calls, log-off, server type,
// gateway discovery, version and logon status.
#include <cstdlib>
#include <memory>
#include <new>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"

namespace BrennicZelvarSDK {

#define ZV_V1_NAME(op) "BrennicZelvarSDK::ZVImplementationV1::" #op

namespace {

// The one authentication result for which the discovery data is handed out.
const UINT kAuthenticatedResult = 13;
// The server type whose record carries a gateway.
const UINT kGatewayServerType = 2;

void ReleaseServerTypeInfo(_ZV_SERVER_TYPE_INFO* info) {
    if (!info) return;
    if (_ZV_GATEWAY_INFO* gateway = info->gatewayInfo) {
        free(gateway->gatewayString);
        free(gateway->gatewayUrl);
        free(gateway);
    }
    free(info);
}

template <class T>
T* AllocateZeroed() {
    T* block = static_cast<T*>(calloc(1, sizeof(T)));
    if (!block) throw std::bad_alloc();
    return block;
}

// What the service fills for DetermineServerType; its two strings are freed
// whatever the server type was.
struct ServiceServerTypeRecord {
    ZelvarServerTypeInfo record{};
    ~ServiceServerTypeRecord() {
        SysFreeString(record.gatewayInfo.gatewayUrl);
        SysFreeString(record.gatewayInfo.gatewayString);
    }
};

}  // namespace

// The operations that never make the service show a window: a plain holder,
// the connection look-up traced under the operation's own name, and the call
// made outside the gate.
ZVResult ZVImplementationV1::CallConnectionOutsideGate(const char* name, unsigned int connectionHandle,
                                                       HRESULT (STDMETHODCALLTYPE IZelvarConnection::*method)()) {
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        PlainPtr<IZelvarConnection> connection = LookUpConnectionAs(m_connectionTable, connectionHandle, name);
        call.LeaveGate();
        ThrowIfServiceFailed((connection.Get()->*method)());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::ClearAllCredentials(unsigned int connectionHandle) {
    return CallConnectionOutsideGate(ZV_V1_NAME(ClearAllCredentials), connectionHandle,
                                     &IZelvarConnection::ClearAllCredentials);
}
ZVResult ZVImplementationV1::CancelAllCalls(unsigned int connectionHandle) {
    return CallConnectionOutsideGate(ZV_V1_NAME(CancelAllCalls), connectionHandle, &IZelvarConnection::CancelAllCalls);
}
ZVResult ZVImplementationV1::LogOff(unsigned int connectionHandle) {
    return CallConnectionOutsideGate(ZV_V1_NAME(LogOff), connectionHandle, &IZelvarConnection::LogOff);
}

ZVResult ZVImplementationV1::GetVersion(unsigned int connectionHandle, ZVChar** version) {
    return RunApiCall(ZV_V1_NAME(GetVersion), Apartment::Join, [&](ApiCall& call) {
        if (!version) {
            return call.InvalidParameter(L"ZVImplementationV1::GetVersion failed because the version param is NULL!");
        }
        *version = nullptr;
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        ScopedBstr text;
        ThrowIfServiceFailed(connection->GetVersion(text.Receive()));
        *version = BSTRToZVChar(text.Get());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::SetClientWindow(unsigned int connectionHandle, HWND window) {
    return RunApiCall(ZV_V1_NAME(SetClientWindow), Apartment::Join, [&](ApiCall&) {
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        // The service takes the window as a 32-bit value: the low 32 bits.
        const UINT windowValue = static_cast<UINT>(reinterpret_cast<UINT_PTR>(window));
        ThrowIfServiceFailed(connection->SetClientWindow(windowValue));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::DetermineServerType(unsigned int connectionHandle, const ZVChar* serverUrl,
                                                 _ZV_SERVER_TYPE_INFO** serverTypeInfo) {
    return RunApiCall(ZV_V1_NAME(DetermineServerType), Apartment::Join, [&](ApiCall& call) {
        if (!serverTypeInfo) {
            return call.InvalidParameter(
                L"ZVImplementationV1::DetermineServerType failed because the serverTypeInfo is NULL!");
        }
        *serverTypeInfo = nullptr;
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        call.LeaveGate();
        ScopedBstr url = CopyInputString(serverUrl);
        ServiceServerTypeRecord reported;
        ThrowIfServiceFailed(connection->DetermineServerType(url.Get(), &reported.record));

        std::unique_ptr<_ZV_SERVER_TYPE_INFO, void (*)(_ZV_SERVER_TYPE_INFO*)> info(
            AllocateZeroed<_ZV_SERVER_TYPE_INFO>(), ReleaseServerTypeInfo);
        info->serverType = reported.record.serverType;
        if (info->serverType == kGatewayServerType) {
            const ZelvarGatewayInfo& source = reported.record.gatewayInfo;
            _ZV_GATEWAY_INFO* gateway = info->gatewayInfo = AllocateZeroed<_ZV_GATEWAY_INFO>();
            gateway->gatewayValue1 = source.gatewayValue1;
            gateway->gatewayValue2 = source.gatewayValue2;
            gateway->gatewayValue3 = source.gatewayValue3;
            // The service's record has the URL first: the strings change places.
            gateway->gatewayString = BSTRToZVChar(source.gatewayString);
            gateway->gatewayUrl = BSTRToZVChar(source.gatewayUrl);
        }
        *serverTypeInfo = info.release();
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::FreeServerTypeInfo(_ZV_SERVER_TYPE_INFO* serverTypeInfo) {
    ReleaseServerTypeInfo(serverTypeInfo);
    return ZV_SUCCESS;
}

ZVResult ZVImplementationV1::RetrieveGatewayDiscoveryData(unsigned int connectionHandle,
                                                          const _ZV_GATEWAY_INFO* gatewayInfo,
                                                          unsigned int discoveryOptions, ZVChar** discoveryData,
                                                          unsigned int* authenticationResult) {
    const char* name = ZV_V1_NAME(RetrieveGatewayDiscoveryData);
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        if (!gatewayInfo) return call.InvalidParameter(L"%S failed because the gatewayInfo is NULL!", name);
        if (!authenticationResult) {
            return call.InvalidParameter(L"%S failed because the outAuthenticationResult is NULL!", name);
        }
        if (!discoveryData) return call.InvalidParameter(L"%S failed because the outDiscoveryData is NULL!", name);
        *discoveryData = nullptr;
        *authenticationResult = 0;
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        call.LeaveGate();
        ServiceGatewayRecord gateway(*gatewayInfo);
        ScopedBstr data;
        UINT result = 0;
        ThrowIfServiceFailed(
            connection->RetrieveGatewayDiscoveryData(gateway.Get(), discoveryOptions, data.Receive(), &result));
        *authenticationResult = result;
        if (result == kAuthenticatedResult) *discoveryData = BSTRToZVChar(data.Get());
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::LogOffGateway(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo) {
    const char* name = ZV_V1_NAME(LogOffGateway);
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        if (!gatewayInfo) return call.InvalidParameter(L"%S failed because the gatewayInfo is NULL!", name);
        ServiceGatewayRecord gateway(*gatewayInfo);
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        ThrowIfServiceFailed(connection->LogOffGateway(gateway.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::LogOffAuthService(unsigned int connectionHandle, const ZVChar* authService) {
    return RunApiCall(ZV_V1_NAME(LogOffAuthService), Apartment::Join, [&](ApiCall&) {
        ScopedBstr service = CopyInputString(authService);
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        ThrowIfServiceFailed(connection->LogOffAuthService(service.Get()));
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::GetLogonStatus(unsigned int connectionHandle, const ZVChar* authService,
                                            unsigned int* logonStatus) {
    const char* name = ZV_V1_NAME(GetLogonStatus);
    return RunApiCall(name, Apartment::Join, [&](ApiCall& call) {
        // Written only on success: on failure it keeps the caller's value.
        if (!logonStatus) return call.InvalidParameter(L"%S failed because the outLogonStatus param is NULL!", name);
        ScopedBstr service = CopyInputString(authService);
        UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
        UINT status = 0;
        ThrowIfServiceFailed(connection->GetLogonStatus(service.Get(), &status));
        *logonStatus = status;
        return ZV_SUCCESS;
    });
}

}  // namespace BrennicZelvarSDK
