// Certificate transfer blocks as the service hands them out: a CryptoAPI
// serialized store (CertSaveStore, CERT_STORE_SAVE_AS_STORE) followed by the
// 20-byte SHA-1 thumbprint of the certificate meant.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "TextConvert.h"

namespace ZelvarStandin {

// A self-signed certificate for the subject (an X.500 name such as
// "CN=standin.zelvar.test"), made once per subject and process; its DER bytes.
// Empty when the platform cannot make one.
std::vector<BYTE> SelfSignedCertificate(const std::wstring& subject);

// The transfer block for a store holding the certificates of the subjects in
// order, designating the one at `designated` (-1: a thumbprint that matches
// none of them). Empty on failure.
std::vector<BYTE> CertificateTransferBlock(const std::vector<std::wstring>& subjects, int designated);

// The block for a certificate the service met (a server's, on a real TLS
// connection): its store holds the certificate and the others of its context's
// store. Empty on failure.
std::vector<BYTE> CertificateBlockOf(PCCERT_CONTEXT certificate);

// The block a scenario value describes: {"certificates": ["CN=a", ...],
// "designate": i} or any byte block of JsonToBytes; true when understood.
bool JsonToCertificateBlock(const Json& value, std::vector<BYTE>& block);

extern const wchar_t kDefaultCertificateSubject[];

}  // namespace ZelvarStandin
