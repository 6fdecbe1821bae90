#include "LoopbackServer.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include "common/TestSupport.h"

namespace zvtest {

namespace {

// Wine's own path conversions (kernel32 exports), looked up at run time.
std::string UnixPath(const std::wstring& dosPath) {
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* path = toUnix ? toUnix(dosPath.c_str()) : nullptr;
    std::string result = path ? path : "";
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}
std::wstring DosPath(const char* unixPath) {
    typedef WCHAR*(CDECL * ToDos)(LPCSTR);
    auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* path = toDos ? toDos(unixPath) : nullptr;
    std::wstring result = path ? path : L"";
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

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
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            closesocket(listener);
            return;
        }
        std::string command = "/usr/bin/python3 " + UnixPath(ExeDirectory() + L"\\testserver.py") + " --control " +
                              std::to_string(ntohs(address.sin_port));
        std::wstring commandLine = Wide(command);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        // A Unix program: Wine runs it directly and hands back no process handle.
        BOOL started = CreateProcessW(DosPath("/usr/bin/python3").c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &process);
        if (process.hProcess) CloseHandle(process.hProcess);
        if (process.hThread) CloseHandle(process.hThread);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener, &ready);
        timeval wait{60, 0};  // making the certificates takes a moment
        if (started && select(0, &ready, nullptr, nullptr, &wait) == 1) m_control = accept(listener, nullptr, nullptr);
        closesocket(listener);
        std::string line;
        char c = 0;
        while (m_control != INVALID_SOCKET && recv(m_control, &c, 1, 0) == 1 && c != '\n') line += c;
        Json report = Json::parse(line, nullptr, false);
        if (!report.is_object()) return;
        http = Wide(report["http"].get<std::string>());
        https = Wide(report["https"].get<std::string>());
        caDer = FromHex(report["caDer"].get<std::string>());
        serverDer = FromHex(report["serverDer"].get<std::string>());
        serverSha1 = FromHex(report["serverSha1"].get<std::string>());
    }
    ~Server() {
        if (m_trusted) {
            BYTE hash[20];
            DWORD size = sizeof hash;
            CryptHashCertificate(0, CALG_SHA1, 0, caDer.data(), static_cast<DWORD>(caDer.size()), hash, &size);
            std::string key = Hex(std::vector<BYTE>(hash, hash + size));
            for (char& c : key) c = static_cast<char>(toupper(c));
            DeleteRegTree(HKEY_CURRENT_USER,
                          L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + Wide(key));
        }
        if (m_control != INVALID_SOCKET) closesocket(m_control);  // the server ends
    }

    mutable bool m_trusted = false;

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
    if (!root) return false;
    bool added =
        CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, caDer.data(), static_cast<DWORD>(caDer.size()),
                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    CertCloseStore(root, 0);
    static_cast<const Server*>(this)->m_trusted = added;
    return added;
}

Sha256::Sha256() {
    CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(m_provider, CALG_SHA_256, 0, 0, &m_hash);
}
Sha256::~Sha256() {
    if (m_hash) CryptDestroyHash(m_hash);
    if (m_provider) CryptReleaseContext(m_provider, 0);
}
void Sha256::Add(const void* data, size_t size) {
    CryptHashData(m_hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0);
}
std::string Sha256::HexDigest() {
    std::vector<BYTE> digest(32);
    DWORD size = 32;
    CryptGetHashParam(m_hash, HP_HASHVAL, digest.data(), &size, 0);
    digest.resize(size);
    return Hex(digest);
}

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace zvtest
