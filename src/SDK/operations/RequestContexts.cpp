// Request contexts: authenticating the application's own web requests.
#include <cstdlib>

#include "core/ZVImplementation.h"

namespace BrennicZelvarSDK {

#define ZV_V1_NAME(op) "BrennicZelvarSDK::ZVImplementationV1::" #op

ZVResult ZVImplementationV1::CreateRequestContext(unsigned int, const ZVChar*, unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(CreateRequestContext));
}
ZVResult ZVImplementationV1::DestroyRequestContext(unsigned int) {
    return OperationNotAvailable(ZV_V1_NAME(DestroyRequestContext));
}
ZVResult ZVImplementationV1::Prepare(unsigned int, const ZVChar* const*, unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(Prepare));
}
ZVResult ZVImplementationV1::GetHeaders(unsigned int, ZVChar***) {
    return OperationNotAvailable(ZV_V1_NAME(GetHeaders));
}
ZVResult ZVImplementationV1::GetTranslatedUrl(unsigned int, ZVChar**) {
    return OperationNotAvailable(ZV_V1_NAME(GetTranslatedUrl));
}
ZVResult ZVImplementationV1::Prepare2(unsigned int, unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(Prepare2));
}
ZVResult ZVImplementationV1::ReportHttpResponse(unsigned int, unsigned int, const ZVChar* const*) {
    return OperationNotAvailable(ZV_V1_NAME(ReportHttpResponse));
}
ZVResult ZVImplementationV1::ReportHttpFailure(unsigned int, unsigned int) {
    return OperationNotAvailable(ZV_V1_NAME(ReportHttpFailure));
}
ZVResult ZVImplementationV1::ForceRoute(unsigned int, const _ZV_GATEWAY_INFO*) {
    return OperationNotAvailable(ZV_V1_NAME(ForceRoute));
}
ZVResult ZVImplementationV1::SetReferenceUrl(unsigned int, const ZVChar*) {
    return OperationNotAvailable(ZV_V1_NAME(SetReferenceUrl));
}
ZVResult ZVImplementationV1::GenerateTrampolineUrl(unsigned int, const ZVChar*, unsigned int, const ZVChar*, ZVChar**,
                                                   unsigned int*) {
    return OperationNotAvailable(ZV_V1_NAME(GenerateTrampolineUrl));
}

// The single-block release operations: a string or a whole string table is
// one malloc block of this module, so any of them frees either.
void ZVImplementationV1::FreeHeaders(ZVChar** headers) {
    free(headers);
}
void ZVImplementationV1::FreeTranslatedUrl(ZVChar* translatedUrl) {
    free(translatedUrl);
}
ZVResult ZVImplementationV1::FreeTrampolineUrl(ZVChar* trampolineUrl) {
    free(trampolineUrl);
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
