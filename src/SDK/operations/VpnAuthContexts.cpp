// VPN authentication contexts for gateways.
#include <boost/make_shared.hpp>
#include <cstdlib>
#include <memory>
#include <new>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

#define ZV_V1_NAME(op) "BrennicZelvarSDK::ZVImplementationV1::" #op

namespace {

void ReleaseAuthorizationInfo(_ZV_VPN_AUTHORIZATION_INFO* info) {
    if (!info) return;
    free(info->firstString);
    free(info->secondString);
    free(info);
}

}  // namespace

ZVResult ZVImplementationV1::CreateVpnAuthContext(unsigned int connectionHandle, const _ZV_GATEWAY_INFO* gatewayInfo,
                                                  unsigned int contextFlags, unsigned int* vpnAuthContextHandle) {
    return RunApiCall(ZV_V1_NAME(CreateVpnAuthContext), Apartment::Skip, [&](ApiCall& call) {
        if (!vpnAuthContextHandle) {
            return call.InvalidParameter(
                L"ZVImplementationV1::CreateVpnAuthContext failed because the vpnAuthContextHandle is NULL!");
        }
        if (!gatewayInfo) {
            return call.InvalidParameter(
                L"ZVImplementationV1::CreateVpnAuthContext failed because the gatewayInfo is NULL!");
        }
        *vpnAuthContextHandle = 0;
        const unsigned int handle = DrawHandle();
        // The item owns the service's copy of the record: it may run after
        // this call stopped waiting for it.
        const boost::shared_ptr<ServiceGatewayRecord> gateway = boost::make_shared<ServiceGatewayRecord>(*gatewayInfo);
        CreateOnCreatorPool(call.Name(), [this, gateway, connectionHandle, contextFlags, handle]() {
            return AddVpnAuthContext(gateway->Get(), connectionHandle, contextFlags, handle);
        });
        *vpnAuthContextHandle = handle;
        TraceInfo(L"CreateVpnAuthContext created VPN auth context with handle %u for gatewayUrl \"%s\"", handle,
                  gatewayInfo->gatewayUrl);
        return ZV_SUCCESS;
    });
}

HRESULT ZVImplementationV1::AddVpnAuthContext(ZelvarGatewayInfo* gateway, unsigned int connectionHandle,
                                              unsigned int contextFlags, unsigned int handle) {
    return RunCreationWorkItem(
        L"AddVpnAuthContext Caught unexpected COM error %u - Bad COM registration perhaps?", [&]() {
            ComPtr<IZelvarVpnAuthContext> context;
            {
                UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
                ThrowIfServiceFailed(connection->CreateVpnAuthContext(gateway, contextFlags, context.Receive()));
            }
            m_vpnAuthContextTable.Set_ExclusiveLock_Throws(handle, context.Get(), ZV_V1_NAME(AddVpnAuthContext));
        });
}

ZVResult ZVImplementationV1::DestroyVpnAuthContext(unsigned int vpnAuthContextHandle) {
    return RunApiCall(ZV_V1_NAME(DestroyVpnAuthContext), Apartment::Join, [&](ApiCall&) {
        m_vpnAuthContextTable.Delete_ExclusiveLock(vpnAuthContextHandle);
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::GetVpnAuthorizationInfo(unsigned int vpnAuthContextHandle,
                                                     _ZV_VPN_AUTHORIZATION_INFO** authorizationInfo) {
    return RunApiCall(ZV_V1_NAME(GetVpnAuthorizationInfo), Apartment::Join, [&](ApiCall& call) {
        // Written only on success: on failure it keeps the caller's value.
        if (!authorizationInfo) {
            return call.InvalidParameter(
                L"ZVImplementationV1::GetVpnAuthorizationInfo the vpnAuthorizationInfo param is a null pointer.");
        }
        UICapablePtr<IZelvarVpnAuthContext> context = LookUpForUi(m_vpnAuthContextTable, vpnAuthContextHandle);
        // The service may have to show its logon window first.
        call.LeaveGate();
        std::unique_ptr<_ZV_VPN_AUTHORIZATION_INFO, void (*)(_ZV_VPN_AUTHORIZATION_INFO*)> record(
            static_cast<_ZV_VPN_AUTHORIZATION_INFO*>(calloc(1, sizeof(_ZV_VPN_AUTHORIZATION_INFO))),
            ReleaseAuthorizationInfo);
        if (!record) throw std::bad_alloc();
        ScopedBstr first;
        ScopedBstr second;
        UINT result = 0;
        ThrowIfServiceFailed(context->GetVpnAuthorizationInfo(first.Receive(), second.Receive(), &result));
        record->result = result;
        record->firstString = BSTRToZVChar(first.Get());
        record->secondString = BSTRToZVChar(second.Get());
        *authorizationInfo = record.release();
        return ZV_SUCCESS;
    });
}

ZVResult ZVImplementationV1::FreeVpnAuthorizationInfo(_ZV_VPN_AUTHORIZATION_INFO* authorizationInfo) {
    ReleaseAuthorizationInfo(authorizationInfo);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
