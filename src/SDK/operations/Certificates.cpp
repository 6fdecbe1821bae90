// Server certificates handed out as CryptoAPI certificate contexts.
#include <stdexcept>

#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "operations/OperationSupport.h"
#include "support/Convert.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

namespace {

const char kDeserializeFailed[] = "(see previous error trace)";

// A failure of the deserialisation: its own trace line has been written.
[[noreturn]] void DeserializeFailed() {
    throw std::runtime_error(kDeserializeFailed);
}

// The serialized-store part of a transfer block opened in memory; the store
// closes itself when its last certificate context is freed.
class SerializedStore {
public:
    SerializedStore(const BYTE* data, DWORD size) {
        CRYPT_DATA_BLOB blob{size, const_cast<BYTE*>(data)};
        m_store = CertOpenStore(CERT_STORE_PROV_SERIALIZED, X509_ASN_ENCODING, 0,
                                CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG, &blob);
    }
    ~SerializedStore() {
        if (m_store) CertCloseStore(m_store, 0);
    }
    SerializedStore(const SerializedStore&) = delete;
    SerializedStore& operator=(const SerializedStore&) = delete;
    HCERTSTORE Get() const { return m_store; }
    // Closes the store now; false when closing fails.
    bool Close() {
        HCERTSTORE store = m_store;
        m_store = nullptr;
        return CertCloseStore(store, 0) != FALSE;
    }

private:
    HCERTSTORE m_store = nullptr;
};

// Frees a context on the way out of a failed deserialisation.
struct ContextHold {
    PCCERT_CONTEXT context = nullptr;
    ~ContextHold() {
        if (context) CertFreeCertificateContext(context);
    }
};

}  // namespace

// A transfer block is a serialized certificate store followed by the 20-byte
// SHA-1 thumbprint of the certificate it designates.
PCCERT_CONTEXT DeserializeCertificateAndStore(SAFEARRAY* block) {
    LONG lower = 0, upper = -1;
    ThrowIfFailed(SafeArrayGetLBound(block, 1, &lower));
    ThrowIfFailed(SafeArrayGetUBound(block, 1, &upper));
    const ULONG size = static_cast<ULONG>(upper - lower + 1);
    SafeArrayDataAccess access(block);
    if (size <= 20) {
        TraceError(
            L"DeserializeCertificateAndStore - The safe array is too small to contain a serialized store and hash! "
            L"(%d)",
            static_cast<int>(size));
        DeserializeFailed();
    }
    const BYTE* data = access.DataAs<BYTE>();
    SerializedStore store(data, size - 20);
    if (!store.Get()) {
        TraceError(
            L"DeserializeCertificateAndStore - CertOpenStore failed to deserialize certificate store. Last error code "
            L"was %d",
            static_cast<int>(GetLastError()));
        DeserializeFailed();
    }
    CRYPT_HASH_BLOB thumbprint{20, const_cast<BYTE*>(data + size - 20)};
    ContextHold found;
    found.context =
        CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &thumbprint, nullptr);
    if (!store.Close()) {
        TraceError(L"DeserializeCertificateAndStore - CertCloseStore failed. Last error code was %d",
                   static_cast<int>(GetLastError()));
        DeserializeFailed();
    }
    if (!found.context) {
        TraceError(
            L"DeserializeCertificateAndStore - Could not find the specified certificate from the deserialized "
            L"store.");
        DeserializeFailed();
    }
    PCCERT_CONTEXT certificate = found.context;
    found.context = nullptr;
    return certificate;
}

namespace {

// Takes over a transfer block the service returned and turns it into a
// context: none for an empty block (with `emptyTrace`).
PCCERT_CONTEXT CertificateFromBlock(ServiceSafeArray& block, const wchar_t* lockFailureTrace,
                                    const wchar_t* emptyTrace) {
    block.TakeOwnership(VT_UI1, lockFailureTrace);
    if (block.Count() == 0) {
        TraceInfo(emptyTrace);
        return nullptr;
    }
    return DeserializeCertificateAndStore(block.Get());
}

}  // namespace

ZVResult ZVImplementationV5::GetResponseServerCertificate(unsigned int handle, PCCERT_CONTEXT* pCertificate) {
    return RunApiCall(
        "BrennicZelvarSDK::ZVImplementationV5::GetResponseServerCertificate", Apartment::Join, [&](ApiCall& call) {
            if (!pCertificate) {
                return call.InvalidParameter(L"%S: failed because %S is NULL!", call.Name(), "pCertificate");
            }
            *pCertificate = nullptr;
            UICapablePtr<IZelvarHttpRequest> request = LookUpForUi(m_httpRequestTable, handle);
            ServiceSafeArray block;
            ThrowIfServiceFailed(request->GetResponseServerCertificate(block.Receive()));
            *pCertificate = CertificateFromBlock(
                block,
                L"GetResponseServerCertificate - Failed to Attach CComSafeArray (Take ownership of the "
                L"auth response certificate data.)",
                L"GetResponseServerCertificate - Certificate is empty");
            return ZV_SUCCESS;
        });
}

ZVResult ZVImplementationV5::GetServerCertificate(unsigned int connectionHandle, const ZVChar* url,
                                                  PCCERT_CONTEXT* outCertificate, unsigned int* outTrustFailureFlags) {
    return RunApiCall(
        "BrennicZelvarSDK::ZVImplementationV5::GetServerCertificate", Apartment::Join, [&](ApiCall& call) {
            if (!outCertificate) {
                return call.InvalidParameter(L"%S: failed because %S is NULL!", call.Name(), "outCertificate");
            }
            if (!outTrustFailureFlags) {
                return call.InvalidParameter(L"%S: failed because %S is NULL!", call.Name(), "outTrustFailureFlags");
            }
            *outCertificate = nullptr;
            *outTrustFailureFlags = 0;
            UICapablePtr<IZelvarConnection> connection = LookUpForUi(m_connectionTable, connectionHandle);
            ScopedBstr urlCopy = CopyInputString(url);
            ServiceSafeArray block;
            // The flags go straight to the caller, whether or not a certificate comes with them.
            ThrowIfServiceFailed(
                connection->GetServerCertificate(urlCopy.Get(), outTrustFailureFlags, block.Receive()));
            *outCertificate = CertificateFromBlock(
                block,
                L"GetServerCertificate failed to Attach CComSafeArray (Take ownership of the server certificate "
                L"data.)",
                L"GetServerCertificate certificate is empty");
            return ZV_SUCCESS;
        });
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
