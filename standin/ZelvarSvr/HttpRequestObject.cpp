#include "HttpRequestObject.h"

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Certificates.h"
#include "ComObject.h"
#include "ServiceObjectSupport.h"
#include "TextConvert.h"

namespace ZelvarStandin {

namespace {

const wchar_t kUserAgent[] = L"ZelvarSvr/12.0";
// Request bodies larger than this are recorded by their size only.
constexpr size_t kMaxRecordedBody = 65536;
// The largest body chunk handed out in one answer.
constexpr UINT kMaxChunk = 1u << 20;

// A WinHTTP handle owned by the scope.
class InternetHandle {
public:
    InternetHandle() = default;
    ~InternetHandle() { Reset(nullptr); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET Get() const { return m_handle; }
    bool Reset(HINTERNET handle) {
        if (m_handle) WinHttpCloseHandle(m_handle);
        m_handle = handle;
        return handle != nullptr;
    }

private:
    HINTERNET m_handle = nullptr;
};

HRESULT LastError() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// Whether the service performs a request to the URL for real: an http(s) URL
// whose host is not under the reserved top-level domain ".test". Hosts under
// it never resolve; the stand-in answers for them with its defaults, so that
// tests and demos can use made-up servers.
bool IsRealUrl(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::transform(host.begin(), host.end(), host.begin(), towlower);
    return host != L"test" && !(host.size() >= 5 && host.compare(host.size() - 5, 5, L".test") == 0);
}

std::wstring Text(BSTR value) {
    return value ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

// What is set on a request before it is sent.
struct RequestSettings {
    std::wstring method = L"GET";
    std::wstring url;
    bool hasReferenceUrl = false;
    std::wstring referenceUrl;
    std::wstring userAgentSuffix;
    std::vector<std::wstring> headers;
    std::vector<BYTE> body;
    UINT timeoutSeconds = 0;
};

// A request that was sent: the head of its response, the certificate of its
// TLS connection, and the open handles from which the body is read.
struct Exchange {
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
    UINT statusCode = 0;
    std::wstring reasonPhrase;
    std::vector<std::wstring> headers;
    std::vector<BYTE> certificateBlock;
    UINT trustFailureFlags = 0;
    std::mutex reading;  // one body read at a time
};

// The trust failures of a server certificate as WINHTTP_CALLBACK_STATUS_FLAG_*
// bits, found with the platform's chain engine and its SSL policy for the host
// name. (Wine's WinHTTP fails an untrusted handshake without saying why, so
// the service requests with the failures ignored and reports them itself.)
UINT TrustFailureFlags(PCCERT_CONTEXT certificate, const std::wstring& host) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para, 0, nullptr, &chain)) {
        return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    }
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    UINT flags = 0;
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC)) {
        flags |= WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
    }
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) flags |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
    if (status & CERT_TRUST_IS_REVOKED) flags |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;
    if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) flags |= WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) flags |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
    // The name is checked on its own: the policy stops at the first failure.
    HTTPSPolicyCallbackData ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                    SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result{};
    result.cbSize = sizeof result;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) &&
        result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
        flags |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
    }
    CertFreeCertificateChain(chain);
    return flags;
}

// A header value as text; `index` walks repeated headers. False when absent.
bool QueryText(HINTERNET request, DWORD info, std::wstring& text, DWORD* index = WINHTTP_NO_HEADER_INDEX) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, index);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    text.assign(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &size, index)) return false;
    text.resize(size / sizeof(wchar_t));
    return true;
}

std::wstring Trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// A Set-Cookie line as a record of the jar: string1 name, string2 value,
// string3 domain, string4 path, flag1 Secure, flag2 HttpOnly, flag3
// persistent (Max-Age or Expires), flag4 host-only (no Domain attribute),
// value64 Max-Age in seconds (0 for a session cookie), value32 0.
Json CookieFromSetCookie(const std::wstring& line, const std::wstring& host) {
    std::vector<std::wstring> parts;
    for (size_t start = 0; start <= line.size();) {
        size_t end = line.find(L';', start);
        if (end == std::wstring::npos) end = line.size();
        parts.push_back(Trim(line.substr(start, end - start)));
        start = end + 1;
    }
    size_t equals = parts[0].find(L'=');
    std::wstring domain = host, path = L"/";
    bool secure = false, httpOnly = false, persistent = false, hostOnly = true;
    long long maxAge = 0;
    for (size_t i = 1; i < parts.size(); ++i) {
        size_t eq = parts[i].find(L'=');
        std::wstring name = Trim(parts[i].substr(0, eq));
        std::wstring value = eq == std::wstring::npos ? std::wstring() : Trim(parts[i].substr(eq + 1));
        std::transform(name.begin(), name.end(), name.begin(), towlower);
        if (name == L"domain" && !value.empty()) {
            domain = value;
            hostOnly = false;
        } else if (name == L"path" && !value.empty()) {
            path = value;
        } else if (name == L"secure") {
            secure = true;
        } else if (name == L"httponly") {
            httpOnly = true;
        } else if (name == L"max-age") {
            persistent = true;
            maxAge = _wtoi64(value.c_str());
        } else if (name == L"expires") {
            persistent = true;
        }
    }
    return Json{{"string1", ToUtf8(Trim(parts[0].substr(0, equals)))},
                {"string2", ToUtf8(equals == std::wstring::npos ? std::wstring() : parts[0].substr(equals + 1))},
                {"string3", ToUtf8(domain)},
                {"string4", ToUtf8(path)},
                {"flag1", secure},
                {"flag2", httpOnly},
                {"flag3", persistent},
                {"flag4", hostOnly},
                {"value64", maxAge},
                {"value32", 0}};
}

// Sends the request and reads the head of the response; the body stays to be
// read from exchange.request.
HRESULT Perform(const RequestSettings& settings, Exchange& exchange) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(settings.url.c_str(), 0, 0, &parts)) return LastError();
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    std::wstring agent = kUserAgent;
    if (!settings.userAgentSuffix.empty()) agent += L" " + settings.userAgentSuffix;
    if (!exchange.session.Reset(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0))) {
        return LastError();
    }
    if (!exchange.connection.Reset(WinHttpConnect(exchange.session.Get(), host.c_str(), parts.nPort, 0))) {
        return LastError();
    }
    if (!exchange.request.Reset(WinHttpOpenRequest(exchange.connection.Get(), settings.method.c_str(), path.c_str(),
                                                   nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   secure ? WINHTTP_FLAG_SECURE : 0))) {
        return LastError();
    }
    HINTERNET request = exchange.request.Get();
    if (settings.timeoutSeconds != 0) {
        // Wine waits for the response head with a time-out of its own, so it is set as well.
        int ms = settings.timeoutSeconds > INT_MAX / 1000 ? INT_MAX : static_cast<int>(settings.timeoutSeconds * 1000);
        DWORD responseMs = static_cast<DWORD>(ms);
        if (!WinHttpSetTimeouts(request, ms, ms, ms, ms) ||
            !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof responseMs)) {
            return LastError();
        }
    }
    if (settings.hasReferenceUrl) {
        // Sent as a header of its own: Wine's WinHttpOpenRequest does not send the referrer it is given.
        std::wstring referer = L"Referer: " + settings.referenceUrl;
        if (!WinHttpAddRequestHeaders(request, referer.c_str(), static_cast<DWORD>(-1),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            return LastError();
        }
    }
    if (secure) {
        DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                       SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore)) return LastError();
    }
    for (const std::wstring& header : settings.headers) {
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
            return LastError();
        }
    }
    const DWORD size = static_cast<DWORD>(settings.body.size());
    void* body = settings.body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<BYTE*>(settings.body.data());
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, size, size, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        return LastError();
    }

    DWORD status = 0, statusSize = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        return LastError();
    }
    exchange.statusCode = status;
    QueryText(request, WINHTTP_QUERY_STATUS_TEXT, exchange.reasonPhrase);
    std::wstring raw;
    QueryText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, raw);
    for (size_t start = raw.find(L"\r\n"); start != std::wstring::npos && start + 2 < raw.size();) {
        size_t end = raw.find(L"\r\n", start + 2);
        std::wstring line = raw.substr(start + 2, (end == std::wstring::npos ? raw.size() : end) - start - 2);
        if (!line.empty()) exchange.headers.push_back(line);
        start = end;
    }
    std::vector<Json> cookies;
    std::wstring cookie;
    for (DWORD index = 0; QueryText(request, WINHTTP_QUERY_SET_COOKIE, cookie, &index);) {
        cookies.push_back(CookieFromSetCookie(cookie, host));
    }
    if (!cookies.empty()) State().AddToCookieJar(cookies);
    if (secure) {
        PCCERT_CONTEXT certificate = nullptr;
        DWORD certificateSize = sizeof certificate;
        if (WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &certificateSize) &&
            certificate) {
            exchange.certificateBlock = CertificateBlockOf(certificate);
            exchange.trustFailureFlags = TrustFailureFlags(certificate, host);
            CertFreeCertificateContext(certificate);
        }
    }
    return S_OK;
}

// The next piece of a real response body, at most maxBytes (and kMaxChunk);
// an empty array at the end.
HRESULT ReadChunk(Exchange& exchange, UINT maxBytes, SAFEARRAY** chunk) {
    std::lock_guard<std::mutex> hold(exchange.reading);
    const ULONG room = std::min(maxBytes, kMaxChunk);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, room);
    if (!array) return E_OUTOFMEMORY;
    DWORD read = 0;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &data);
    if (SUCCEEDED(hr) && room != 0 && !WinHttpReadData(exchange.request.Get(), data, room, &read)) hr = LastError();
    if (data) SafeArrayUnaccessData(array);
    SAFEARRAYBOUND bound{read, 0};
    if (SUCCEEDED(hr) && read != room) hr = SafeArrayRedim(array, &bound);
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    *chunk = array;
    return S_OK;
}

Json BodyToJson(SAFEARRAY* data) {
    LONG lower = 0, upper = -1;
    if (data && SUCCEEDED(SafeArrayGetLBound(data, 1, &lower)) && SUCCEEDED(SafeArrayGetUBound(data, 1, &upper)) &&
        static_cast<size_t>(upper - lower + 1) > kMaxRecordedBody) {
        return Json{{"size", upper - lower + 1}};
    }
    return ByteArrayToJson(data);
}

class HttpRequest final : public ComObject, public IZelvarHttpRequest, public SupportsErrorInfo {
public:
    explicit HttpRequest(unsigned connection) : SupportsErrorInfo(IID_IZelvarHttpRequest), m_connection(connection) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return QueryServiceObject<IZelvarHttpRequest>(this, iid, out);
    }
    ZV_STANDIN_REFERENCE_COUNTING

    HRESULT STDMETHODCALLTYPE SetRequestMethod(BSTR method) override {
        return Set(Begin("SetRequestMethod", {{"method", BstrToJson(method)}}),
                   [&](RequestSettings& s) { s.method = method ? Text(method) : L"GET"; });
    }
    HRESULT STDMETHODCALLTYPE SetRequestUrl(BSTR url) override {
        return Set(Begin("SetRequestUrl", {{"url", BstrToJson(url)}}), [&](RequestSettings& s) { s.url = Text(url); });
    }
    HRESULT STDMETHODCALLTYPE SetRequestReferenceUrl(BSTR referenceUrl) override {
        return Set(Begin("SetRequestReferenceUrl", {{"referenceUrl", BstrToJson(referenceUrl)}}),
                   [&](RequestSettings& s) {
                       s.hasReferenceUrl = referenceUrl != nullptr;
                       s.referenceUrl = Text(referenceUrl);
                   });
    }
    HRESULT STDMETHODCALLTYPE SetRequestUserAgentSuffix(BSTR userAgentSuffix) override {
        return Set(Begin("SetRequestUserAgentSuffix", {{"userAgentSuffix", BstrToJson(userAgentSuffix)}}),
                   [&](RequestSettings& s) { s.userAgentSuffix = Text(userAgentSuffix); });
    }
    HRESULT STDMETHODCALLTYPE SetRequestAuthenticationFlags(UINT flags) override {
        return Done(Begin("SetRequestAuthenticationFlags", {{"flags", flags}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetRequestTimeoutSeconds(UINT seconds) override {
        return Set(Begin("SetRequestTimeoutSeconds", {{"seconds", seconds}}),
                   [&](RequestSettings& s) { s.timeoutSeconds = seconds; });
    }
    HRESULT STDMETHODCALLTYPE SetRequestRoute(ZelvarGatewayInfo* gatewayInfo) override {
        return Done(Begin("SetRequestRoute", {{"gatewayInfo", GatewayToJson(gatewayInfo)}}), S_OK);
    }
    HRESULT STDMETHODCALLTYPE AddRequestHeader(BSTR header) override {
        return Set(Begin("AddRequestHeader", {{"header", BstrToJson(header)}}), [&](RequestSettings& s) {
            if (header) s.headers.push_back(Text(header));
        });
    }
    HRESULT STDMETHODCALLTYPE SetRequestData(SAFEARRAY* data) override {
        std::vector<BYTE> bytes;
        VARTYPE vt = VT_UI1;
        if (data) SafeArrayGetVartype(data, &vt);
        Json recorded = BodyToJson(data);
        if (vt == VT_UI1 && recorded.is_object() && recorded.contains("size")) {
            LONG lower = 0, upper = -1;
            SafeArrayGetLBound(data, 1, &lower);
            SafeArrayGetUBound(data, 1, &upper);
            BYTE* raw = nullptr;
            if (upper >= lower && SUCCEEDED(SafeArrayAccessData(data, reinterpret_cast<void**>(&raw)))) {
                bytes.assign(raw, raw + (upper - lower + 1));
                SafeArrayUnaccessData(data);
            }
        }
        return Set(Begin("SetRequestData", {{"data", recorded}}), [&](RequestSettings& s) { s.body.swap(bytes); });
    }
    HRESULT STDMETHODCALLTYPE SendRequestAndReceiveResponse() override {
        auto call = Begin("SendRequestAndReceiveResponse", Json::object());
        if (FAILED(call.hr)) return Done(call, S_OK);
        RequestSettings settings;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            settings = m_settings;
        }
        if (!IsRealUrl(settings.url)) return Done(call, S_OK);  // nothing to send: the defaults answer
        auto exchange = std::make_shared<Exchange>();
        HRESULT hr = Perform(settings, *exchange);  // outside the lock: it takes as long as the network
        if (SUCCEEDED(hr)) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_exchange = exchange;
        }
        return Done(call, hr);
    }
    HRESULT STDMETHODCALLTYPE GetResponseStatusCode(UINT* statusCode) override {
        return NumberOutput("GetResponseStatusCode", "statusCode", statusCode, &Exchange::statusCode, 200);
    }
    HRESULT STDMETHODCALLTYPE GetResponseReasonPhrase(BSTR* reasonPhrase) override {
        if (!reasonPhrase) return E_POINTER;
        auto call = Begin("GetResponseReasonPhrase", Json::object());
        auto exchange = Response();
        *reasonPhrase = call.String("reasonPhrase", exchange ? exchange->reasonPhrase : L"OK");
        return Done(call, S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetResponseHeaders(SAFEARRAY** headers) override {
        if (!headers) return E_POINTER;
        *headers = nullptr;
        auto call = Begin("GetResponseHeaders", Json::object());
        Json fallback = Json::array({"Content-Type: text/plain; charset=utf-8", "X-Zelvar-Standin: 1"});
        if (auto exchange = Response()) {
            fallback = Json::array();
            for (const std::wstring& header : exchange->headers) fallback.push_back(ToUtf8(header));
        }
        return Done(call, StringArrayOutput(call, "headers", fallback, headers));
    }
    HRESULT STDMETHODCALLTYPE GetResponseServerCertificate(SAFEARRAY** certificateBlock) override {
        if (!certificateBlock) return E_POINTER;
        auto call = Begin("GetResponseServerCertificate", Json::object());
        auto exchange = Response();
        return Done(call, ByteBlockOutput(call, "certificateBlock", certificateBlock,
                                          exchange ? exchange->certificateBlock : DefaultCertificateBlock()));
    }
    HRESULT STDMETHODCALLTYPE ReadResponseBodyStream(UINT maxBytes, SAFEARRAY** chunk) override {
        if (!chunk) return E_POINTER;
        *chunk = nullptr;
        auto call = Begin("ReadResponseBodyStream", {{"maxBytes", maxBytes}});
        if (call.Has("chunk")) return Done(call, ByteBlockOutput(call, "chunk", chunk, {}));
        if (FAILED(call.hr)) return Done(call, S_OK);
        auto exchange = Response();
        if (exchange && !call.entry.contains("chunks") && !call.entry.contains("body")) {
            return Done(call, ReadChunk(*exchange, maxBytes, chunk));
        }
        std::lock_guard<std::mutex> hold(m_lock);
        // Explicit chunks: one per call, in order, then the end of the body.
        if (call.entry.contains("chunks") && call.entry["chunks"].is_array()) {
            const Json& chunks = call.entry["chunks"];
            if (m_chunkIndex >= chunks.size()) return Done(call, BytesToArray({}, chunk));
            CallOutcome one = call;
            one.outputs = Json{{"chunk", chunks[m_chunkIndex++]}};
            return Done(call, ByteBlockOutput(one, "chunk", chunk, {}));
        }
        if (!m_bodyReady) {
            if (!call.entry.contains("body") || !JsonToBytes(call.entry["body"], m_body)) m_body = DefaultBody();
            m_bodyReady = true;
        }
        size_t room = maxBytes;
        UINT maxChunk = JsonToUint(call.entry.value("maxChunk", Json(0)), 0);
        if (maxChunk != 0 && maxChunk < room) room = maxChunk;
        size_t size = std::min(room, m_body.size() - m_bodyPosition);
        std::vector<BYTE> piece(m_body.begin() + m_bodyPosition, m_body.begin() + m_bodyPosition + size);
        m_bodyPosition += size;
        return Done(call, BytesToArray(piece, chunk));
    }
    HRESULT STDMETHODCALLTYPE GetResponseTrustFailureFlags(UINT* trustFailureFlags) override {
        return NumberOutput("GetResponseTrustFailureFlags", "trustFailureFlags", trustFailureFlags,
                            &Exchange::trustFailureFlags, 0);
    }
    HRESULT STDMETHODCALLTYPE GetSecondaryToken(BSTR* token) override {
        if (!token) return E_POINTER;
        auto call = Begin("GetSecondaryToken", Json::object());
        *token = call.String("token", L"standin-secondary-token");
        return Done(call, S_OK);
    }

private:
    CallOutcome Begin(const char* method, Json args) {
        return State().BeginCall(method, m_connection, std::move(args));
    }
    HRESULT Done(const CallOutcome& call, HRESULT outputResult) {
        return WithErrorInfo(call, Finish(call, outputResult), IID_IZelvarHttpRequest);
    }
    // A setter: the setting changes only when the scenario lets the call succeed.
    template <class Change>
    HRESULT Set(const CallOutcome& call, Change change) {
        if (SUCCEEDED(call.hr)) {
            std::lock_guard<std::mutex> hold(m_lock);
            change(m_settings);
        }
        return Done(call, S_OK);
    }
    // A number of the response: the scenario's, else the real response's,
    // else the fallback.
    HRESULT NumberOutput(const char* method, const char* name, UINT* out, UINT Exchange::*field, UINT fallback) {
        if (!out) return E_POINTER;
        auto call = Begin(method, Json::object());
        auto exchange = Response();
        *out = call.Uint(name, exchange ? (*exchange).*field : fallback);
        return Done(call, S_OK);
    }
    std::shared_ptr<Exchange> Response() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_exchange;
    }
    std::vector<BYTE> DefaultBody() const {  // m_lock held
        std::string text =
            "Hello from the Zelvar stand-in\r\n" + ToUtf8(m_settings.method) + " " + ToUtf8(m_settings.url) + "\r\n";
        return std::vector<BYTE>(text.begin(), text.end());
    }

    unsigned m_connection;
    std::mutex m_lock;
    RequestSettings m_settings;
    std::shared_ptr<Exchange> m_exchange;  // the last response received
    bool m_bodyReady = false;
    std::vector<BYTE> m_body;
    size_t m_bodyPosition = 0;
    size_t m_chunkIndex = 0;
};

}  // namespace

IZelvarHttpRequest* CreateHttpRequestObject(unsigned connection) {
    return new HttpRequest(connection);
}

HRESULT ServerCertificateOutputs(const CallOutcome& call, BSTR url, UINT* trustFailureFlags,
                                 SAFEARRAY** certificateBlock) {
    *trustFailureFlags = 0;
    *certificateBlock = nullptr;
    Exchange exchange;
    const bool real =
        SUCCEEDED(call.hr) && IsRealUrl(Text(url)) && !(call.Has("certificateBlock") && call.Has("trustFailureFlags"));
    if (real) {
        RequestSettings settings;
        settings.method = L"HEAD";
        settings.url = Text(url);
        HRESULT hr = Perform(settings, exchange);
        if (FAILED(hr)) return hr;
    }
    *trustFailureFlags = call.Uint("trustFailureFlags", exchange.trustFailureFlags);
    return ByteBlockOutput(call, "certificateBlock", certificateBlock,
                           real ? exchange.certificateBlock : DefaultCertificateBlock());
}

}  // namespace ZelvarStandin
