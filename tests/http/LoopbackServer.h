// The loopback HTTP/HTTPS test server (tools/testserver/testserver.py, copied
// next to the test programs), started once per test program. Wine runs the
// Unix process; it reports its URLs and certificates over a loopback socket
// and serves until that socket closes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/StandinService.h"

namespace zvtest {

struct LoopbackServer {
    static const LoopbackServer& Get();  // starts it on first use; https is empty if it did not start
    // Trusts the server's authority (current user's Root store) for processes
    // started from now on, until this program ends.
    bool TrustAuthority() const;

    std::wstring http, https;  // "http(s)://127.0.0.1:port"
    std::vector<BYTE> caDer, serverDer, serverSha1;
    std::wstring caSha1;  // upper-case hex, as the Root store's registry key names it
};

// SHA-256 with the platform's CryptoAPI, fed in pieces; lower-case hex.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    void Add(const void* data, size_t size);
    std::string HexDigest();
    static std::string Of(const std::string& data) {
        Sha256 hash;
        hash.Add(data.data(), data.size());
        return hash.HexDigest();
    }

private:
    ULONG_PTR m_provider = 0, m_hash = 0;
};

}  // namespace zvtest
