#include "DemoHttps.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace BrennicZelvarSDK;

namespace {

int Failed(const wchar_t* what, ZVResult result) {
    wprintf(L"%ls failed: %u\n", what, result);
    return 1;
}

void PrintCertificate(PCCERT_CONTEXT certificate) {
    wchar_t subject[256] = {};
    CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 256);
    BYTE thumbprint[20] = {};
    DWORD size = sizeof thumbprint;
    CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &size);
    wprintf(L"server certificate: subject \"%ls\", SHA-1 thumbprint ", subject);
    for (DWORD i = 0; i < size; ++i) wprintf(L"%02x", thumbprint[i]);
    wprintf(L"\n");
}

}  // namespace

int DemoHttpsRequest(ZVQueryInterfaceFn queryInterface, unsigned int connection) {
    wchar_t url[512] = {};
    if (GetEnvironmentVariableW(L"ZELVAR_DEMO_HTTPS_URL", url, 512) == 0) {
        wprintf(L"(no ZELVAR_DEMO_HTTPS_URL: the HTTPS request is left out)\n");
        return 0;
    }
    void* table = nullptr;
    if (!queryInterface(ZV_IID_V5, &table)) return Failed(L"QueryInterface V5", 0);
    auto* v5 = static_cast<ZVImplementationV5Interface*>(table);
    queryInterface(ZV_IID_V1, &table);
    auto* v1 = static_cast<ZVImplementationV1Interface*>(table);

    unsigned int request = 0;
    ZVResult r = v5->CreateZVHttpRequest(connection, &request);
    if (r != ZV_SUCCESS) return Failed(L"CreateZVHttpRequest", r);
    wprintf(L"HTTPS request %ls through the service (handle %u)\n", url, request);
    v5->SetRequestUrl(request, url);
    v5->SetRequestUserAgentSuffix(request, L"ZelvarDemo/1.0");
    v5->AddRequestHeader(request, L"Accept: text/plain");
    v5->SetRequestTimeoutSeconds(request, 30);
    r = v5->SendRequestAndReceiveResponse(request);
    if (r != ZV_SUCCESS) return Failed(L"SendRequestAndReceiveResponse", r);

    unsigned int status = 0, trust = 0;
    ZVChar* reason = nullptr;
    ZVChar** headers = nullptr;
    v5->GetResponseStatusCode(request, &status);
    v5->GetResponseReasonPhrase(request, &reason);
    wprintf(L"status %u %ls\n", status, reason ? reason : L"");
    v1->FreeTranslatedUrl(reason);
    if (v5->GetResponseHeaders(request, &headers) == ZV_SUCCESS) {
        for (ZVChar** h = headers; *h; ++h) wprintf(L"  %ls\n", *h);
        v1->FreeHeaders(headers);
    }

    std::vector<unsigned char> buffer(65536);
    unsigned int read = 0;
    r = v5->ReadResponseBodyStream(request, buffer.data(), static_cast<unsigned int>(buffer.size()), &read);
    if (r != ZV_SUCCESS) return Failed(L"ReadResponseBodyStream", r);
    std::string first(reinterpret_cast<char*>(buffer.data()), read < 64 ? read : 64);
    wprintf(L"body, first %u of %u bytes read: \"%hs\"\n", static_cast<unsigned>(first.size()), read, first.c_str());

    PCCERT_CONTEXT certificate = nullptr;
    r = v5->GetResponseServerCertificate(request, &certificate);
    if (r != ZV_SUCCESS || !certificate) return Failed(L"GetResponseServerCertificate", r);
    PrintCertificate(certificate);
    v5->FreeCertificate(certificate);
    v5->GetResponseTrustFailureFlags(request, &trust);
    wprintf(L"trust failure flags 0x%x%ls\n", trust,
            trust == 0x8 ? L" (unknown authority: the loopback server's test CA is not trusted)" : L"");
    r = v5->DestroyZVHttpRequest(request);
    wprintf(L"DestroyZVHttpRequest -> %u%ls\n", r,
            r == ZV_ERROR_FAILED ? L" (known Wine gap: the GIT revoke of a cross-process object fails)" : L"");
    return 0;
}
