#include "Certificates.h"

#include <wincrypt.h>

#include <map>
#include <mutex>

namespace ZelvarStandin {

const wchar_t kDefaultCertificateSubject[] = L"CN=standin.zelvar.test";

namespace {

// Makes the certificate with an ephemeral key: no key container is left in
// the user's profile.
std::vector<BYTE> MakeSelfSigned(const std::wstring& subject) {
    std::vector<BYTE> der;
    DWORD nameSize = 0;
    if (!CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &nameSize, nullptr)) {
        return der;
    }
    std::vector<BYTE> name(nameSize);
    if (!CertStrToNameW(X509_ASN_ENCODING, subject.c_str(), CERT_X500_NAME_STR, nullptr, name.data(), &nameSize,
                        nullptr)) {
        return der;
    }
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        return der;
    }
    HCRYPTKEY key = 0;
    if (CryptGenKey(provider, AT_SIGNATURE, (1024u << 16), &key)) {
        CERT_NAME_BLOB nameBlob{nameSize, name.data()};
        PCCERT_CONTEXT cert =
            CertCreateSelfSignCertificate(provider, &nameBlob, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (cert) {
            der.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
            CertFreeCertificateContext(cert);
        }
        CryptDestroyKey(key);
    }
    CryptReleaseContext(provider, 0);
    return der;
}

// The serialized store followed by the thumbprint; empty on failure.
std::vector<BYTE> SavedStoreWithThumbprint(HCERTSTORE store, const BYTE (&thumbprint)[20]) {
    std::vector<BYTE> block;
    CRYPT_DATA_BLOB saved{0, nullptr};
    if (!CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &saved, 0)) {
        return block;
    }
    block.resize(saved.cbData);
    saved.pbData = block.data();
    if (!CertSaveStore(store, X509_ASN_ENCODING, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &saved, 0) ||
        saved.cbData == 0) {
        block.clear();
        return block;
    }
    block.resize(saved.cbData);
    block.insert(block.end(), thumbprint, thumbprint + 20);
    return block;
}

}  // namespace

std::vector<BYTE> SelfSignedCertificate(const std::wstring& subject) {
    static std::mutex lock;
    static std::map<std::wstring, std::vector<BYTE>> made;
    std::lock_guard<std::mutex> hold(lock);
    auto found = made.find(subject);
    if (found != made.end()) return found->second;
    std::vector<BYTE> der = MakeSelfSigned(subject);
    if (!der.empty()) made[subject] = der;
    return der;
}

std::vector<BYTE> CertificateTransferBlock(const std::vector<std::wstring>& subjects, int designated) {
    std::vector<BYTE> block;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) return block;
    BYTE thumbprint[20] = {};
    for (size_t i = 0; i < 20; ++i) thumbprint[i] = static_cast<BYTE>(0xA5 ^ i);  // matches no certificate
    bool ok = true;
    for (size_t i = 0; i < subjects.size() && ok; ++i) {
        std::vector<BYTE> der = SelfSignedCertificate(subjects[i]);
        PCCERT_CONTEXT added = nullptr;
        ok = !der.empty() &&
             CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_ALWAYS, &added);
        if (ok && static_cast<int>(i) == designated) {
            DWORD size = sizeof thumbprint;
            ok = CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) && size == 20;
        }
        if (added) CertFreeCertificateContext(added);
    }
    if (ok) block = SavedStoreWithThumbprint(store, thumbprint);
    CertCloseStore(store, 0);
    return block;
}

std::vector<BYTE> CertificateBlockOf(PCCERT_CONTEXT certificate) {
    std::vector<BYTE> block;
    BYTE thumbprint[20] = {};
    DWORD size = sizeof thumbprint;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) || size != 20) {
        return block;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) return block;
    // The certificate first, then what else its connection's store holds
    // (the chain the server sent, where the platform keeps it). Each goes in
    // by its encoded bytes alone: with the properties WinHTTP's context
    // carries, Wine saves a store that reads back empty.
    auto add = [store](PCCERT_CONTEXT context) {
        return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, context->pbCertEncoded,
                                                context->cbCertEncoded, CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
    };
    bool ok = add(certificate);
    PCCERT_CONTEXT other = nullptr;
    while (ok && certificate->hCertStore && (other = CertEnumCertificatesInStore(certificate->hCertStore, other))) {
        add(other);
    }
    if (ok) block = SavedStoreWithThumbprint(store, thumbprint);
    CertCloseStore(store, 0);
    return block;
}

bool JsonToCertificateBlock(const Json& value, std::vector<BYTE>& block) {
    if (value.is_object() && value.contains("certificates")) {
        std::vector<std::wstring> subjects;
        for (const Json& subject : value["certificates"]) {
            subjects.push_back(ToWide(subject.is_string() ? subject.get<std::string>() : std::string()));
        }
        int designated = static_cast<int>(JsonToInt64(value.value("designate", Json(0)), 0));
        block = CertificateTransferBlock(subjects, designated);
        return true;
    }
    return JsonToBytes(value, block);
}

}  // namespace ZelvarStandin
