// VPN authentication contexts for gateways.
#include <cstdlib>

#include "core/ZVImplementation.h"

namespace BrennicZelvarSDK {

ZVResult ZVImplementationV1::CreateVpnAuthContext(unsigned int, const _ZV_GATEWAY_INFO*, unsigned int, unsigned int*) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV1::CreateVpnAuthContext");
}
ZVResult ZVImplementationV1::DestroyVpnAuthContext(unsigned int) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV1::DestroyVpnAuthContext");
}
ZVResult ZVImplementationV1::GetVpnAuthorizationInfo(unsigned int, _ZV_VPN_AUTHORIZATION_INFO**) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV1::GetVpnAuthorizationInfo");
}

ZVResult ZVImplementationV1::FreeVpnAuthorizationInfo(_ZV_VPN_AUTHORIZATION_INFO* authorizationInfo) {
    if (!authorizationInfo) return ZV_SUCCESS;
    free(authorizationInfo->firstString);
    free(authorizationInfo->secondString);
    free(authorizationInfo);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
