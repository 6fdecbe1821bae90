// The loopback HTTP/HTTPS test server (tools/testserver/testserver.py, copied
// next to the test programs), started once for a whole test program. Wine
// starts the Unix process; it reports its URLs and certificates over a
// loopback socket and serves until that socket closes.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/StandinService.h"

namespace zvtest {

struct LoopbackServer {
    static const LoopbackServer& Get();  // starts it on first use; ASSERT on its fields

    std::wstring http;   // "http://127.0.0.1:port"
    std::wstring https;  // "https://127.0.0.1:port"
    std::vector<BYTE> caDer, serverDer, serverSha1;
    // Trusts the server's authority for processes started from now on
    // (current user's Root store); the destructor of the program's server
    // removes it again.
    bool TrustAuthority() const;
};

// SHA-256 with the platform's CryptoAPI, fed in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(const void* data, size_t size);
    std::string HexDigest();  // lower-case hex

private:
    ULONG_PTR m_provider = 0;
    ULONG_PTR m_hash = 0;
};

std::string Hex(const std::vector<BYTE>& bytes);

}  // namespace zvtest
