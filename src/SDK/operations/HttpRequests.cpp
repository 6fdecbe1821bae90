// HTTP requests that the service performs for the application.
#include "core/ZVImplementation.h"

namespace BrennicZelvarSDK {

#define ZV_V5_NAME(op) "BrennicZelvarSDK::ZVImplementationV5::" #op

ZVResult ZVImplementationV5::CreateZVHttpRequest(unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V5_NAME(CreateZVHttpRequest));
}
ZVResult ZVImplementationV5::AddRequestHeader(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V5_NAME(AddRequestHeader));
}
ZVResult ZVImplementationV5::SetRequestMethod(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestMethod));
}
ZVResult ZVImplementationV5::SetRequestUrl(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestUrl));
}
ZVResult ZVImplementationV5::SetRequestReferenceUrl(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestReferenceUrl));
}
ZVResult ZVImplementationV5::SetRequestAuthenticationFlags(unsigned int, unsigned int) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestAuthenticationFlags));
}
ZVResult ZVImplementationV5::SetRequestUserAgentSuffix(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestUserAgentSuffix));
}
ZVResult ZVImplementationV5::SetRequestData(unsigned int, const unsigned char*, unsigned int) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestData));
}
ZVResult ZVImplementationV5::SetRequestRoute(unsigned int, const _ZV_GATEWAY_INFO*) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestRoute));
}
ZVResult ZVImplementationV5::SetRequestTimeoutSeconds(unsigned int, unsigned int) {
    return OperationNotAvailable(ZV_V5_NAME(SetRequestTimeoutSeconds));
}
ZVResult ZVImplementationV5::SendRequestAndReceiveResponse(unsigned int) {
    return OperationNotAvailable(ZV_V5_NAME(SendRequestAndReceiveResponse));
}
ZVResult ZVImplementationV5::GetResponseStatusCode(unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V5_NAME(GetResponseStatusCode));
}
ZVResult ZVImplementationV5::GetResponseReasonPhrase(unsigned int, ZVChar**) {
    return OperationNotAvailable(ZV_V5_NAME(GetResponseReasonPhrase));
}
ZVResult ZVImplementationV5::GetResponseHeaders(unsigned int, ZVChar***) {
    return OperationNotAvailable(ZV_V5_NAME(GetResponseHeaders));
}
ZVResult ZVImplementationV5::GetResponseTrustFailureFlags(unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V5_NAME(GetResponseTrustFailureFlags));
}
ZVResult ZVImplementationV5::ReadResponseBodyStream(unsigned int, unsigned char*, unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V5_NAME(ReadResponseBodyStream));
}
ZVResult ZVImplementationV5::DestroyZVHttpRequest(unsigned int) {
    return OperationNotAvailable(ZV_V5_NAME(DestroyZVHttpRequest));
}

}  // namespace BrennicZelvarSDK
