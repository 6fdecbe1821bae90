#include "LoopbackServer.h"

#include <wincrypt.h>

#include "common/TestSupport.h"

namespace zvtest {

namespace {

const wchar_t kTrustedCaKey[] = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";

std::vector<BYTE> FromHex(const std::string& hex) {
    std::vector<BYTE> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}
std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

class Server : public LoopbackServer {
public:
    Server() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{AF_INET, 0, {}, {}};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        // Wine's own path conversion (a kernel32 export) names the script for the Unix side.
        typedef char*(CDECL * ToUnix)(LPCWSTR);
        auto toUnix = reinterpret_cast<ToUnix>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        char* script = toUnix ? toUnix((ExeDirectory() + L"\\testserver.py").c_str()) : nullptr;
        std::wstring command = L"/usr/bin/python3 " + Wide(script ? script : "") + L" --control " +
                               std::to_wstring(ntohs(address.sin_port));
        HeapFree(GetProcessHeap(), 0, script);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};  // a Unix program: Wine hands back no process handle
        BOOL started = CreateProcessW(L"Z:\\usr\\bin\\python3", &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
        if (started) m_control = accept(listener, nullptr, nullptr);
        closesocket(listener);
        std::string line;
        char c = 0;
        while (m_control != INVALID_SOCKET && recv(m_control, &c, 1, 0) == 1 && c != '\n') line += c;
        Json report = Json::parse(line, nullptr, false);
        if (!report.is_object()) return;
        http = Wide(report["http"]);
        https = Wide(report["https"]);
        caDer = FromHex(report["caDer"]);
        serverDer = FromHex(report["serverDer"]);
        serverSha1 = FromHex(report["serverSha1"]);
        caSha1 = Wide(report["caSha1"]);
        for (wchar_t& c : caSha1) c = towupper(c);
    }
    ~Server() {
        if (!m_trustedKey.empty()) DeleteRegTree(HKEY_CURRENT_USER, m_trustedKey);
        if (m_control != INVALID_SOCKET) closesocket(m_control);  // the server ends
    }

    mutable std::wstring m_trustedKey;

private:
    SOCKET m_control = INVALID_SOCKET;
};

}  // namespace

const LoopbackServer& LoopbackServer::Get() {
    static Server server;
    return server;
}

bool LoopbackServer::TrustAuthority() const {
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    bool added = root && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, caDer.data(),
                                                          static_cast<DWORD>(caDer.size()),
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (root) CertCloseStore(root, 0);
    if (added) static_cast<const Server*>(this)->m_trustedKey = kTrustedCaKey + caSha1;
    return added;
}

Sha256::Sha256() {
    CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(m_provider, CALG_SHA_256, 0, 0, &m_hash);
}
Sha256::~Sha256() {
    CryptDestroyHash(m_hash);
    CryptReleaseContext(m_provider, 0);
}
void Sha256::Add(const void* data, size_t size) {
    CryptHashData(m_hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0);
}
std::string Sha256::HexDigest() {
    BYTE digest[32];
    DWORD size = sizeof digest;
    CryptGetHashParam(m_hash, HP_HASHVAL, digest, &size, 0);
    std::string text;
    for (BYTE b : digest) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
    return text;
}

}  // namespace zvtest
