// Connection-level operations: credentials, calls, log-off, server type,
// gateway discovery, version and logon status.
#include <cstdlib>

#include "core/ZVImplementation.h"

namespace BrennicZelvarSDK {

#define ZV_V1_NAME(op) "BrennicZelvarSDK::ZVImplementationV1::" #op

ZVResult ZVImplementationV1::ClearAllCredentials(unsigned int) {
    return OperationNotAvailable(ZV_V1_NAME(ClearAllCredentials));
}
ZVResult ZVImplementationV1::CancelAllCalls(unsigned int) {
    return OperationNotAvailable(ZV_V1_NAME(CancelAllCalls));
}
ZVResult ZVImplementationV1::LogOff(unsigned int) {
    return OperationNotAvailable(ZV_V1_NAME(LogOff));
}
ZVResult ZVImplementationV1::GetVersion(unsigned int, ZVChar**) {
    return OperationNotAvailable(ZV_V1_NAME(GetVersion));
}
ZVResult ZVImplementationV1::SetClientWindow(unsigned int, HWND) {
    return OperationNotAvailable(ZV_V1_NAME(SetClientWindow));
}
ZVResult ZVImplementationV1::DetermineServerType(unsigned int, const ZVChar*, _ZV_SERVER_TYPE_INFO**) {
    return OperationNotAvailable(ZV_V1_NAME(DetermineServerType));
}
ZVResult ZVImplementationV1::RetrieveGatewayDiscoveryData(unsigned int, const _ZV_GATEWAY_INFO*, unsigned int, ZVChar**,
                                                          unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(RetrieveGatewayDiscoveryData));
}
ZVResult ZVImplementationV1::LogOffGateway(unsigned int, const _ZV_GATEWAY_INFO*) {
    return OperationNotAvailable(ZV_V1_NAME(LogOffGateway));
}
ZVResult ZVImplementationV1::LogOffAuthService(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V1_NAME(LogOffAuthService));
}
ZVResult ZVImplementationV1::GetLogonStatus(unsigned int, const ZVChar*, unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(GetLogonStatus));
}

ZVResult ZVImplementationV1::FreeServerTypeInfo(_ZV_SERVER_TYPE_INFO* serverTypeInfo) {
    if (!serverTypeInfo) return ZV_SUCCESS;
    if (_ZV_GATEWAY_INFO* gateway = serverTypeInfo->gatewayInfo) {
        free(gateway->gatewayString);
        free(gateway->gatewayUrl);
        free(gateway);
    }
    free(serverTypeInfo);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
