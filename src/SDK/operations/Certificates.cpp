// Server certificates handed out as CryptoAPI certificate contexts.
#include "core/ZVImplementation.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

ZVResult ZVImplementationV5::GetResponseServerCertificate(unsigned int, PCCERT_CONTEXT*) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV5::GetResponseServerCertificate");
}
ZVResult ZVImplementationV5::GetServerCertificate(unsigned int, const ZVChar*, PCCERT_CONTEXT*, unsigned int*) {
    return OperationNotAvailable("BrennicZelvarSDK::ZVImplementationV5::GetServerCertificate");
}

// Free and duplicate work in any state and on any thread: they touch only
// the context they are given.
ZVResult ZVImplementationV5::FreeCertificate(PCCERT_CONTEXT certificate) {
    if (!certificate) return ZV_SUCCESS;
    if (!CertFreeCertificateContext(certificate)) {
        TraceError(L"FreeCertificate CertFreeCertificateContext failed: %d", static_cast<int>(GetLastError()));
        return ZV_ERROR_CERTIFICATE_FREE_FAILED;
    }
    return ZV_SUCCESS;
}

ZVResult ZVImplementationV5::DuplicateCertificate(PCCERT_CONTEXT certificate, PCCERT_CONTEXT* duplicate) {
    *duplicate = nullptr;
    if (!certificate) return ZV_SUCCESS;
    *duplicate = CertDuplicateCertificateContext(certificate);
    if (!*duplicate) {
        TraceError(L"DuplicateCertificate CertDuplicateCertificateContext failed: %d",
                   static_cast<int>(GetLastError()));
        return ZV_ERROR_CERTIFICATE_DUPLICATE_FAILED;
    }
    return ZV_SUCCESS;
}

}  // namespace BrennicZelvarSDK
