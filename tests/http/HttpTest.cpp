// HTTP requests, server certificates, tokens and cookies through the SDK. The
// stand-in service performs the requests with WinHTTP against the loopback
// test server (real HTTP and TLS), on the local-server host. Cookie records
// (SAFEARRAY of VT_RECORD) cannot cross processes on Wine 8 (0x8007000E): the
// cookie test runs on the in-process host, where they behave as on Windows.
#include "LoopbackServer.h"  // winsock2.h must come before windows.h

#include <gtest/gtest.h>
#include <psapi.h>
#include <wincrypt.h>

#include <functional>
#include <map>
#include <memory>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"

using namespace BrennicZelvarSDK;
using zvtest::Json;
using zvtest::LoopbackServer;
using zvtest::Narrow;
using zvtest::StandinHost;

namespace {

const unsigned kInvalidCa = 0x8;  // WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PrivateUsage;
}

std::string Flags(const _ZV_COOKIE_DATA& c) {
    return std::to_string(c.flag1) + std::to_string(c.flag2) + std::to_string(c.flag3) + std::to_string(c.flag4);
}
std::vector<BYTE> Encoded(PCCERT_CONTEXT certificate) {
    return std::vector<BYTE>(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
}

class HttpTest : public ::testing::Test {
public:  // the operation table below reaches the tables through the fixture
    virtual StandinHost Host() const { return StandinHost::LocalServer; }
    void SetUp() override {
        server = &LoopbackServer::Get();
        ASSERT_FALSE(server->https.empty()) << "the loopback test server did not start";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(Host()));
        v1 = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        v5 = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5);
        v6 = zvtest::GetSdkInterface<ZVImplementationV6Interface>(ZV_IID_V6);
        v7 = zvtest::GetSdkInterface<ZVImplementationV7Interface>(ZV_IID_V7);
        v8 = zvtest::GetSdkInterface<ZVImplementationV8Interface>(ZV_IID_V8);
        v9 = zvtest::GetSdkInterface<ZVImplementationV9Interface>(ZV_IID_V9);
        Start();
    }
    void TearDown() override {
        v1->Uninitialize();
        control.reset();
        CoUninitialize();
    }
    void Start() {
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control);
        ASSERT_TRUE(control->Reset());
        ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
        ASSERT_EQ(ZV_SUCCESS, v1->CreateConnection(L"App", nullptr, nullptr, &connection));
    }

    unsigned Create() {
        unsigned handle = 0;
        EXPECT_EQ(ZV_SUCCESS, v5->CreateZVHttpRequest(connection, &handle));
        return handle;
    }
    unsigned Send(const std::wstring& url) {
        unsigned handle = Create();
        EXPECT_EQ(ZV_SUCCESS, v5->SetRequestUrl(handle, url.c_str()));
        EXPECT_EQ(ZV_SUCCESS, v5->SendRequestAndReceiveResponse(handle));
        return handle;
    }
    // The whole body, read with the buffer size given; every call keeps to it.
    std::string ReadAll(unsigned handle, unsigned bufferSize) {
        std::vector<unsigned char> buffer(bufferSize);
        std::string body;
        for (unsigned read = 1; read != 0;) {
            EXPECT_EQ(ZV_SUCCESS, v5->ReadResponseBodyStream(handle, buffer.data(), bufferSize, &read));
            EXPECT_LE(read, bufferSize);
            body.append(reinterpret_cast<char*>(buffer.data()), read);
            if (::testing::Test::HasFailure()) break;
        }
        return body;
    }
    std::string HeaderValue(unsigned handle, const std::string& name) {
        ZVChar** headers = nullptr;
        EXPECT_EQ(ZV_SUCCESS, v5->GetResponseHeaders(handle, &headers));
        std::string value;
        for (ZVChar** h = headers; h && *h; ++h) {
            std::string line = Narrow(*h);
            if (line.rfind(name + ": ", 0) == 0) value = line.substr(name.size() + 2);
        }
        v1->FreeHeaders(headers);
        return value;
    }

    const LoopbackServer* server = nullptr;
    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* v1 = nullptr;
    ZVImplementationV5Interface* v5 = nullptr;
    ZVImplementationV6Interface* v6 = nullptr;
    ZVImplementationV7Interface* v7 = nullptr;
    ZVImplementationV8Interface* v8 = nullptr;
    ZVImplementationV9Interface* v9 = nullptr;
    unsigned connection = 0;
};

TEST_F(HttpTest, LargeBodyArrivesByteIdenticalWhileTheSdkDoesNotGrowWithIt) {
    unsigned handle = Send(server->http + L"/large");
    const std::string expected = HeaderValue(handle, "X-Body-SHA256");
    std::vector<unsigned char> buffer(1 << 20);
    zvtest::Sha256 hash;
    unsigned long long total = 0;
    SIZE_T before = 0;
    for (unsigned read = 1; read != 0; total += read) {
        ASSERT_EQ(ZV_SUCCESS, v5->ReadResponseBodyStream(handle, buffer.data(), 1 << 20, &read));
        hash.Add(buffer.data(), read);
        if (before == 0) before = PrivateBytes();  // after the first call's one-time costs
    }
    EXPECT_EQ(64ull << 20, total);
    EXPECT_EQ(expected, hash.HexDigest());
    EXPECT_LT(PrivateBytes(), before + (8u << 20));
}

// Bodies of any transfer coding, read in buffer sizes from 1 byte up, arrive
// as the server sent them, with the real status and reason phrase.
TEST_F(HttpTest, BodiesReadInAnyBufferSizeAreWhatTheServerSent) {
    const struct {
        const wchar_t* path;
        unsigned bufferSize, status;
        const char* reason;
    } fetches[] = {{L"/chunked?size=3000", 1, 200, "OK"},
                   {L"/chunked?size=60000", 100, 200, "OK"},
                   {L"/chunked?size=300000", 8191, 200, "OK"},
                   {L"/chunked?size=300000", 8192, 200, "OK"},
                   {L"/chunked?size=300000", 65536, 200, "OK"},
                   {L"/chunked?size=300000", 300001, 200, "OK"},
                   {L"/redirect?count=3&to=/chunked?size=5000", 4096, 200, "OK"},
                   {L"/empty", 4096, 200, "OK"},
                   {L"/status?code=404", 4096, 404, "Not Found"}};
    for (const auto& f : fetches) {
        SCOPED_TRACE(zvtest::Utf8(f.path) + " in " + std::to_string(f.bufferSize) + " bytes");
        unsigned handle = Send(server->https + f.path), status = 0;
        ZVChar* reason = nullptr;
        EXPECT_EQ(ZV_SUCCESS, v5->GetResponseStatusCode(handle, &status));
        EXPECT_EQ(ZV_SUCCESS, v5->GetResponseReasonPhrase(handle, &reason));
        EXPECT_EQ(f.status, status);
        EXPECT_EQ(f.reason, Narrow(reason));
        v1->FreeTranslatedUrl(reason);
        EXPECT_EQ(HeaderValue(handle, "X-Body-SHA256"), zvtest::Sha256::Of(ReadAll(handle, f.bufferSize)));
    }
}

// The body loop asks for exactly the room left and goes round again only
// while 8192 bytes of room remain; a chunk larger than the room is refused.
TEST_F(HttpTest, BodyLoopFollowsTheChunkRules) {
    unsigned handle = Create();
    ASSERT_TRUE(control->SetMethod("ReadResponseBodyStream", {{"body", {{"size", 10000}}}, {"maxChunk", 4096}}));
    std::vector<unsigned char> buffer(16384);
    unsigned read = 99;
    ASSERT_EQ(ZV_SUCCESS, v5->ReadResponseBodyStream(handle, buffer.data(), 16384, &read));
    EXPECT_EQ(10000u, read);
    ASSERT_EQ(ZV_SUCCESS, v5->ReadResponseBodyStream(handle, buffer.data(), 16384, &read));
    EXPECT_EQ(0u, read);
    std::vector<unsigned> asked;
    for (const Json& c : control->Calls("ReadResponseBodyStream")) asked.push_back(c["args"]["maxBytes"]);
    EXPECT_EQ((std::vector<unsigned>{16384, 12288, 8192, 16384}), asked);

    // Every chunk, the later ones too, must fit the room left: nothing is
    // written past the buffer (guard bytes follow it).
    const Json k9000 = {{"size", 9000}, {"fill", 0x11}};
    struct Case {
        Json chunks;
        unsigned bufferSize;
        ZVResult result;
        unsigned read;
    } cases[] = {
        {Json::array({Json{{"size", 100}}, Json{{"size", 50}}}), 8192, ZV_SUCCESS, 100},          // room 8092 < 8192
        {Json::array({Json{{"size", 20}}}), 10, ZV_ERROR_FAILED, 0},                              // more than asked for
        {Json::array({Json{{"vt", VT_BSTR}, {"count", 1}}}), 10, ZV_ERROR_FAILED, 0},             // wrongly typed
        {Json::array({k9000, Json{{"size", 11000}, {"fill", 0x22}}}), 20000, ZV_SUCCESS, 20000},  // exactly the room
        {Json::array({k9000, Json{{"size", 11001}, {"fill", 0x22}}}), 20000, ZV_ERROR_FAILED, 0},
        {Json::array({k9000, k9000, k9000}), 26192, ZV_ERROR_FAILED, 0},  // the third round has 8192 left
    };
    for (const Case& c : cases) {
        unsigned fresh = Create();
        ASSERT_TRUE(control->SetMethod("ReadResponseBodyStream", {{"chunks", c.chunks}}));
        std::vector<unsigned char> guarded(c.bufferSize + 4096, 0xA5);
        read = 99;
        EXPECT_EQ(c.result, v5->ReadResponseBodyStream(fresh, guarded.data(), c.bufferSize, &read)) << c.chunks;
        EXPECT_EQ(c.read, read) << c.chunks;
        EXPECT_EQ(std::vector<unsigned char>(4096, 0xA5),
                  std::vector<unsigned char>(guarded.begin() + c.bufferSize, guarded.end()))
            << c.chunks;
    }
    EXPECT_TRUE(trace.Contains("ReadResponseBodyStream: the service handed out 11001 bytes for 11000 bytes of room"));
    EXPECT_TRUE(trace.Contains("ReadResponseBodyStream: the service handed out 20 bytes for 10 bytes of room"));
}

TEST_F(HttpTest, RequestBodyAndHeadersReachTheServerExactly) {
    std::string binary;
    for (int i = 0; i < 768; ++i) binary += static_cast<char>(i % 256);
    std::string large(3 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 5);
    for (const std::string& body : {std::string(), binary, large}) {
        unsigned handle = Create();
        const std::wstring reference = server->https + L"/from";
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestUrl(handle, (server->https + L"/echo?q=1").c_str()));
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestMethod(handle, L"PUT"));
        ASSERT_EQ(ZV_SUCCESS, v5->AddRequestHeader(handle, L"X-Zv-Test: one two"));
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestUserAgentSuffix(handle, L"ZvTest/1.0"));
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestReferenceUrl(handle, reference.c_str()));
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestData(handle, reinterpret_cast<const unsigned char*>(body.data()),
                                                 static_cast<unsigned>(body.size())));
        ASSERT_EQ(ZV_SUCCESS, v5->SendRequestAndReceiveResponse(handle));
        Json echo = Json::parse(ReadAll(handle, 65536));
        EXPECT_EQ("PUT", echo["method"]);
        EXPECT_EQ("/echo?q=1", echo["path"]);
        std::map<std::string, std::string> headers;
        for (const Json& h : echo["headers"]) headers[h[0]] = h[1];
        EXPECT_EQ("one two", headers["X-Zv-Test"]);
        EXPECT_EQ("ZelvarSvr/12.0 ZvTest/1.0", headers["User-Agent"]);
        EXPECT_EQ(std::string(reference.begin(), reference.end()), headers["Referer"]);
        EXPECT_EQ(body.size(), echo["bodyLength"].get<size_t>());
        EXPECT_EQ(zvtest::Sha256::Of(body), echo["bodySha256"]);
    }
}

TEST_F(HttpTest, CertificateIsTheServersOwnAndItsTrustFollowsTheAuthority) {
    unsigned handle = Send(server->https + L"/fixed");
    PCCERT_CONTEXT certificate = nullptr, duplicate = nullptr, byUrl = nullptr;
    unsigned flags = 0;
    ASSERT_EQ(ZV_SUCCESS, v5->GetResponseServerCertificate(handle, &certificate));
    ASSERT_NE(nullptr, certificate);
    EXPECT_EQ(server->serverDer, Encoded(certificate));
    std::vector<BYTE> thumbprint(20);
    DWORD size = 20;
    ASSERT_TRUE(CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint.data(), &size));
    EXPECT_EQ(server->serverSha1, thumbprint);
    EXPECT_EQ(ZV_SUCCESS, v5->GetResponseTrustFailureFlags(handle, &flags));
    EXPECT_EQ(kInvalidCa, flags);  // the authority is not trusted yet
    ASSERT_EQ(ZV_SUCCESS, v5->DuplicateCertificate(certificate, &duplicate));
    ASSERT_EQ(ZV_SUCCESS, v5->FreeCertificate(certificate));
    wchar_t name[64] = {};
    CertGetNameStringW(duplicate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64);
    EXPECT_STREQ(L"127.0.0.1", name);  // the duplicate survives freeing the original
    EXPECT_EQ(ZV_SUCCESS, v5->FreeCertificate(duplicate));

    ASSERT_EQ(ZV_SUCCESS, v5->GetServerCertificate(connection, (server->https + L"/").c_str(), &byUrl, &flags));
    ASSERT_NE(nullptr, byUrl);
    EXPECT_EQ(server->serverDer, Encoded(byUrl));
    EXPECT_EQ(kInvalidCa, flags);
    v5->FreeCertificate(byUrl);

    // Trusted now, for a new service process (one that never built a chain).
    ASSERT_TRUE(server->TrustAuthority());
    v1->Uninitialize();
    control.reset();
    ASSERT_TRUE(zvtest::StopStandinServer());
    Start();
    handle = Send(server->https + L"/fixed");
    EXPECT_EQ(ZV_SUCCESS, v5->GetResponseTrustFailureFlags(handle, &flags));
    EXPECT_EQ(0u, flags);
    flags = 99;
    ASSERT_EQ(ZV_SUCCESS, v5->GetServerCertificate(connection, (server->https + L"/").c_str(), &byUrl, &flags));
    EXPECT_EQ(0u, flags);
    v5->FreeCertificate(byUrl);
}

TEST_F(HttpTest, BadCertificateBlocksGiveTheirResultAndTraceAndLeakNothing) {
    struct Case {
        Json block;
        ZVResult result;
        std::string trace;
        std::wstring subject = L"";  // of the certificate handed out
    } cases[] = {
        {{{"hex", ""}}, ZV_SUCCESS, "GetResponseServerCertificate - Certificate is empty"},
        {{{"size", 20}},
         ZV_ERROR_FAILED,
         "DeserializeCertificateAndStore - The safe array is too small to contain a serialized store and hash! (20)"},
        {{{"size", 200}},
         ZV_ERROR_FAILED,
         "DeserializeCertificateAndStore - CertOpenStore failed to deserialize certificate store. Last error code "
         "was 0"},  // Wine's CertOpenStore sets no last error here
        {{{"certificates", {"CN=a.test", "CN=b.test"}}, {"designate", -1}},
         ZV_ERROR_FAILED,
         "DeserializeCertificateAndStore - Could not find the specified certificate from the deserialized store."},
        {nullptr, ZV_ERROR_FAILED,
         "BrennicZelvarSDK::ZVImplementationV5::GetResponseServerCertificate: caught an unclassified exception"},
        {{{"certificates", {"CN=a.test", "CN=b.test"}}, {"designate", 1}}, ZV_SUCCESS, "", L"b.test"},
    };
    unsigned handle = Create();
    SIZE_T before = 0;
    for (int round = 0; round < 40; ++round) {
        if (round == 1) before = PrivateBytes();
        for (const Case& c : cases) {
            ASSERT_TRUE(
                control->SetMethod("GetResponseServerCertificate", {{"outputs", {{"certificateBlock", c.block}}}}));
            PCCERT_CONTEXT certificate = reinterpret_cast<PCCERT_CONTEXT>(1);
            ASSERT_EQ(c.result, v5->GetResponseServerCertificate(handle, &certificate)) << c.block;
            wchar_t name[64] = {};
            if (certificate) CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64);
            EXPECT_EQ(c.subject, name);
            EXPECT_EQ(ZV_SUCCESS, v5->FreeCertificate(certificate));
            EXPECT_TRUE(round > 0 || c.trace.empty() || trace.Contains(c.trace)) << c.trace;
        }
    }
    EXPECT_LT(PrivateBytes(), before + (1u << 20));
    EXPECT_TRUE(
        trace.Contains("BrennicZelvarSDK::ZVImplementationV5::GetResponseServerCertificate: caught "
                       "unexpected std::exception; what=(see previous error trace)"));
}

TEST_F(HttpTest, StalledSendTimesOutWithoutHoldingUpUninitialize) {
    unsigned handle = Create();
    ASSERT_EQ(ZV_SUCCESS, v5->SetRequestUrl(handle, (server->http + L"/slow?seconds=60").c_str()));
    ASSERT_EQ(ZV_SUCCESS, v5->SetRequestTimeoutSeconds(handle, 3));
    auto sender = zvtest::Background([&] { return v5->SendRequestAndReceiveResponse(handle); });
    ASSERT_TRUE(control->WaitForCalls("SendRequestAndReceiveResponse", 1));
    EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize());
    EXPECT_EQ(std::future_status::timeout, sender.wait_for(std::chrono::seconds(0)));  // the send is still in flight
    EXPECT_EQ(ZV_ERROR_FAILED, sender.get());  // ERROR_WINHTTP_TIMEOUT, 0x80072EE2

    // (The trace file closed with Uninitialize.) A failing send traces its mapped result.
    Start();
    handle = Create();
    ASSERT_TRUE(control->SetMethod("SendRequestAndReceiveResponse", {{"hr", "0x80040202"}}));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, v5->SendRequestAndReceiveResponse(handle));
    EXPECT_TRUE(
        trace.InOrder({"BrennicZelvarSDK::ZVImplementationV5::SendRequestAndReceiveResponse: caught COM "
                       "error 2147746306",
                       "SendAndReceive completed for handle " + std::to_string(handle) + " with ZVResult 65533"}));
}

// Every setter hands its value to the service unchanged, in one call.
TEST_F(HttpTest, EverySetterForwardsItsValue) {
    _ZV_GATEWAY_INFO gateway{const_cast<ZVChar*>(L"corp"), const_cast<ZVChar*>(L"https://gw.test"), 1, 0xFFFFFFFF, 3};
    const unsigned char bytes[] = {0, 0x7f, 0x80, 0xff};
    const unsigned h = Create();
    const struct {
        const char* method;
        std::function<ZVResult()> set;
        const char* recorded;  // the arguments the service records, as JSON
    } setters[] = {
        {"AddRequestHeader", [&] { return v5->AddRequestHeader(h, L"A: b"); }, R"({"header": "A: b"})"},
        {"SetRequestMethod", [&] { return v5->SetRequestMethod(h, L"PATCH"); }, R"({"method": "PATCH"})"},
        {"SetRequestUrl", [&] { return v5->SetRequestUrl(h, L"https://x.test"); }, R"({"url": "https://x.test"})"},
        {"SetRequestReferenceUrl", [&] { return v5->SetRequestReferenceUrl(h, nullptr); }, R"({"referenceUrl": null})"},
        {"SetRequestAuthenticationFlags", [&] { return v5->SetRequestAuthenticationFlags(h, 0x80000001); },
         R"({"flags": 2147483649})"},
        {"SetRequestUserAgentSuffix", [&] { return v5->SetRequestUserAgentSuffix(h, L"App/2"); },
         R"({"userAgentSuffix": "App/2"})"},
        {"SetRequestData", [&] { return v5->SetRequestData(h, bytes, 4); },
         R"({"data": {"size": 4, "hex": "007f80ff"}})"},
        {"SetRequestData", [&] { return v5->SetRequestData(h, bytes, 0); }, R"({"data": null})"},
        {"SetRequestRoute", [&] { return v5->SetRequestRoute(h, &gateway); },
         R"({"gatewayInfo": {"gatewayUrl": "https://gw.test", "gatewayString": "corp", "gatewayValue1": 1, "gatewayValue2": 4294967295, "gatewayValue3": 3}})"},
        {"SetRequestTimeoutSeconds", [&] { return v5->SetRequestTimeoutSeconds(h, 4000000000u); },
         R"({"seconds": 4000000000})"},
    };
    for (const auto& s : setters) {
        ASSERT_TRUE(control->Reset());
        EXPECT_EQ(ZV_SUCCESS, s.set()) << s.method;
        EXPECT_EQ(1u, control->CallCount(s.method)) << s.method;
        EXPECT_EQ(Json::parse(s.recorded), control->LastArgs(s.method)) << s.method;
    }
}

// Null out-parameters and arrays, each with its own trace; nothing reaches
// the service.
TEST_F(HttpTest, ArgumentChecksRefuseBeforeTheService) {
    const unsigned h = Create(), c = connection;
    unsigned char buffer[4];
    unsigned n = 0;
    _ZV_COOKIE_DATA* cookies = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    struct Case {
        std::function<ZVResult()> call;
        const char *operation, *argument;
    } cases[] = {
        {[&] { return v5->CreateZVHttpRequest(c, nullptr); }, "V5::CreateZVHttpRequest", "outHttpHandle"},
        {[&] { return v5->AddRequestHeader(h, nullptr); }, "V5::AddRequestHeader", "header"},
        {[&] { return v5->SetRequestMethod(h, nullptr); }, "V5::SetRequestMethod", "method"},
        {[&] { return v5->SetRequestUrl(h, nullptr); }, "V5::SetRequestUrl", "url"},
        {[&] { return v5->SetRequestUserAgentSuffix(h, nullptr); }, "V5::SetRequestUserAgentSuffix", "UserAgentSuffix"},
        {[&] { return v5->SetRequestRoute(h, nullptr); }, "V5::SetRequestRoute", "gatewayInfo"},
        {[&] { return v5->GetResponseStatusCode(h, nullptr); }, "V5::GetResponseStatusCode", "httpStatusCode"},
        {[&] { return v5->GetResponseReasonPhrase(h, nullptr); }, "V5::GetResponseReasonPhrase", "outReasonPhrase"},
        {[&] { return v5->GetResponseHeaders(h, nullptr); }, "V5::GetResponseHeaders", "headers"},
        {[&] { return v5->GetResponseServerCertificate(h, nullptr); }, "V5::GetResponseServerCertificate",
         "pCertificate"},
        {[&] { return v5->GetResponseTrustFailureFlags(h, nullptr); }, "V5::GetResponseTrustFailureFlags",
         "outTrustFailureFlags"},
        {[&] { return v5->GetServerCertificate(c, nullptr, nullptr, &n); }, "V5::GetServerCertificate",
         "outCertificate"},
        {[&] { return v5->GetServerCertificate(c, nullptr, &cert, nullptr); }, "V5::GetServerCertificate",
         "outTrustFailureFlags"},
        {[&] { return v5->ReadResponseBodyStream(h, nullptr, 4, &n); }, "V5::ReadResponseBodyStream", "pBuffer"},
        {[&] { return v5->ReadResponseBodyStream(h, buffer, 4, nullptr); }, "V5::ReadResponseBodyStream",
         "pActualNumberOfBytesRead"},
        {[&] { return v6->GetAuthEpoch(c, nullptr); }, "V6::GetAuthEpoch", "outEpoch"},
        {[&] { return v7->GetSecondaryToken(h, nullptr); }, "V7::GetSecondaryToken", "secondaryToken"},
        {[&] { return v8->GetSessionCookie(c, nullptr, nullptr); }, "V8::GetSessionCookie", "sessionCookie"},
        {[&] { return v9->GetCookiesForDomain(c, nullptr, nullptr, &n); }, "V9::GetCookiesForDomain",
         "outCookieDataArr"},
        {[&] { return v9->GetCookiesForDomain(c, nullptr, &cookies, nullptr); }, "V9::GetCookiesForDomain",
         "outCookieCount"},
        {[&] { return v9->AddCookies(c, nullptr, 1); }, "V9::AddCookies", "cookieDataArr"},
    };
    const size_t calls = control->Calls().size();
    for (const Case& k : cases) {
        EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, k.call()) << k.operation;
        EXPECT_TRUE(trace.Contains(std::string("BrennicZelvarSDK::ZVImplementation") + k.operation +
                                   ": failed because " + k.argument + " is NULL!"))
            << k.operation;
    }
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, v5->SetRequestData(h, nullptr, 5));
    EXPECT_TRUE(trace.Contains(
        "SetRequestData: failed because pBufferToSend is NULL and a non-zero number of bytes were specified!"));
    EXPECT_EQ(calls, control->Calls().size());

    // The body reader checks its arguments before the initialised check, and
    // a zero-sized buffer ends the call at once.
    ASSERT_EQ(ZV_SUCCESS, v1->Uninitialize());
    n = 7;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, v5->ReadResponseBodyStream(h, nullptr, 4, &n));
    EXPECT_EQ(ZV_SUCCESS, v5->ReadResponseBodyStream(h, buffer, 0, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, v5->ReadResponseBodyStream(h, buffer, 4, &n));
    ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
}

// The phrase reaches the application whole; its trace line prints it as
// narrow text, where a character beyond U+00FF becomes a question mark.
TEST_F(HttpTest, ReasonPhraseComesBackWholeAndIsTracedAsNarrowText) {
    const unsigned h = Create();
    ASSERT_TRUE(
        control->SetMethod("GetResponseReasonPhrase", {{"outputs", {{"reasonPhrase", "N\xc3\xa3o \xce\xa9 OK"}}}}));
    ZVChar* phrase = nullptr;
    ASSERT_EQ(ZV_SUCCESS, v5->GetResponseReasonPhrase(h, &phrase));
    EXPECT_EQ(std::wstring(L"N\u00e3o \u03a9 OK"), phrase);
    v1->FreeTranslatedUrl(phrase);
    EXPECT_TRUE(trace.Contains("GetResponseReasonPhrase completed for handle " + std::to_string(h) +
                               " with result N\xc3\xa3o ? OK"))
        << trace.Contents();
}

class CookieTest : public HttpTest {
protected:
    StandinHost Host() const override { return StandinHost::InprocServer; }
    std::map<std::string, _ZV_COOKIE_DATA> Jar(_ZV_COOKIE_DATA** array, unsigned* count) {
        EXPECT_EQ(ZV_SUCCESS, v9->GetCookiesForDomain(connection, L"127.0.0.1", array, count));
        std::map<std::string, _ZV_COOKIE_DATA> byName;
        for (unsigned i = 0; i < *count; ++i) byName[Narrow((*array)[i].string1)] = (*array)[i];
        return byName;
    }
};

TEST_F(CookieTest, CookiesOfRealResponsesAndAddedOnesShareTheJarBesideTokens) {
    unsigned request = Send(server->https + L"/cookies");
    EXPECT_EQ(ZV_SUCCESS, v5->DestroyZVHttpRequest(request));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, v5->DestroyZVHttpRequest(request));
    _ZV_COOKIE_DATA* array = nullptr;
    unsigned count = 0;
    auto jar = Jar(&array, &count);
    ASSERT_EQ(3u, count);  // the service's own session cookie and the two the server set
    const _ZV_COOKIE_DATA& plain = jar["zvplain"];
    EXPECT_EQ("first", Narrow(plain.string2));
    EXPECT_EQ("127.0.0.1", Narrow(plain.string3));
    EXPECT_EQ("/", Narrow(plain.string4));
    EXPECT_EQ("0101", Flags(plain));  // Secure, HttpOnly, persistent, host-only
    const _ZV_COOKIE_DATA& secure = jar["zvsecure"];
    EXPECT_EQ("/echo", Narrow(secure.string4));
    EXPECT_EQ("1011", Flags(secure));
    EXPECT_EQ(3600, secure.value64);

    // AddCookies takes over the array it is given: here the one just returned.
    array[0].flag2 = 7;  // any non-zero flag goes to the service as VARIANT_TRUE
    array[0].value64 = -2;
    ASSERT_EQ(ZV_SUCCESS, v9->AddCookies(connection, array, count));
    Json added = control->LastArgs("AddCookies")["cookies"];
    ASSERT_EQ(3u, added.size());
    EXPECT_EQ(-1, added[0]["flag2"]);
    EXPECT_EQ(-2, added[0]["value64"]);
    jar = Jar(&array, &count);
    EXPECT_EQ(6u, count);
    EXPECT_EQ(ZV_SUCCESS, v9->FreeCookieDataArray(array, count));

    auto* empty = static_cast<_ZV_COOKIE_DATA*>(malloc(sizeof(_ZV_COOKIE_DATA)));
    ASSERT_EQ(ZV_SUCCESS, v9->AddCookies(connection, empty, 0));
    EXPECT_EQ(Json::array(), control->LastArgs("AddCookies")["cookies"]);
    EXPECT_EQ(ZV_SUCCESS, v9->FreeCookieDataArray(nullptr, 5));

    // Service flags: VARIANT_TRUE and any other non-zero value arrive as 1.
    ASSERT_TRUE(control->SetMethod("GetCookiesForDomain",
                                   {{"outputs", {{"cookies", {{{"flag1", -1}, {"flag2", 0}, {"flag3", 5}}}}}}}));
    jar = Jar(&array, &count);
    ASSERT_EQ(1u, count);
    EXPECT_EQ("1010", Flags(array[0]));
    EXPECT_EQ("", Narrow(array[0].string1));  // a null BSTR arrives as an empty string
    v9->FreeCookieDataArray(array, count);
    // No array at all from the service counts as no cookies.
    ASSERT_TRUE(control->SetMethod("GetCookiesForDomain", {{"outputs", {{"cookies", nullptr}}}}));
    EXPECT_TRUE(Jar(&array, &count).empty());
    EXPECT_TRUE(array != nullptr && count == 0);
    v9->FreeCookieDataArray(array, count);

    // Epoch, secondary token and session cookie.
    unsigned epoch = 0;
    ZVChar *token = nullptr, *cookie = nullptr;
    EXPECT_EQ(ZV_SUCCESS, v6->GetAuthEpoch(connection, &epoch));
    EXPECT_EQ(1u, epoch);
    EXPECT_EQ(ZV_SUCCESS, v7->GetSecondaryToken(Create(), &token));
    EXPECT_EQ("standin-secondary-token", Narrow(token));
    EXPECT_EQ(ZV_SUCCESS, v8->GetSessionCookie(connection, nullptr, &cookie));
    EXPECT_EQ("ZVSESSION=standin-session", Narrow(cookie));
    EXPECT_TRUE(control->LastArgs("GetSessionCookie")["url"].is_null());
    v1->FreeTranslatedUrl(token);
    v1->FreeTranslatedUrl(cookie);
}

// Every operation of the request, certificate, token and cookie tables that
// calls the service. Out-parameters start as marks that no operation writes.
struct Outs {
    static constexpr unsigned kMark = 0x5E5E5E5E;
    static constexpr uintptr_t kPointerMark = 0x5E5E5E50;
    unsigned value = kMark, count = kMark;
    ZVChar* text = reinterpret_cast<ZVChar*>(kPointerMark);
    ZVChar** table = reinterpret_cast<ZVChar**>(kPointerMark);
    PCCERT_CONTEXT certificate = reinterpret_cast<PCCERT_CONTEXT>(kPointerMark);
    _ZV_COOKIE_DATA* cookies = reinterpret_cast<_ZV_COOKIE_DATA*>(kPointerMark);
    unsigned char body[64];
    // Members in `cleared` (by bit, in declaration order) are 0 / null, the others untouched.
    bool Exactly(unsigned cleared) const {
        const uintptr_t got[] = {
            value, count, uintptr_t(text), uintptr_t(table), uintptr_t(certificate), uintptr_t(cookies)};
        for (unsigned i = 0; i < 6; ++i)
            if (got[i] != ((cleared >> i) & 1 ? 0 : i < 2 ? kMark : kPointerMark)) return false;
        return true;
    }
};
enum : unsigned { kValue = 1, kCount = 2, kText = 4, kTable = 8, kCertificate = 16, kCookies = 32 };
enum class Gate { Early, Held };
struct Operation {
    const char* name;
    bool onConnection;  // else on a request
    unsigned cleared;   // out-parameters a failure after the argument checks leaves cleared
    Gate gate;
    std::function<ZVResult(HttpTest&, unsigned handle, Outs&)> call;
};
// clang-format off
#define OP(name, onConnection, cleared, gate, call) \
    {name, onConnection, cleared, Gate::gate, [](HttpTest& t, unsigned h, Outs& o) { (void)o; return t.call; }}
const _ZV_GATEWAY_INFO kRoute = {};
const std::vector<Operation> kOperations = {
    OP("CreateZVHttpRequest", true, kValue, Held, v5->CreateZVHttpRequest(h, &o.value)),
    OP("AddRequestHeader", false, 0, Held, v5->AddRequestHeader(h, L"A: b")),
    OP("SetRequestMethod", false, 0, Held, v5->SetRequestMethod(h, L"GET")),
    OP("SetRequestUrl", false, 0, Held, v5->SetRequestUrl(h, L"https://x.test/")),
    OP("SetRequestReferenceUrl", false, 0, Held, v5->SetRequestReferenceUrl(h, nullptr)),
    OP("SetRequestAuthenticationFlags", false, 0, Held, v5->SetRequestAuthenticationFlags(h, 1)),
    OP("SetRequestUserAgentSuffix", false, 0, Held, v5->SetRequestUserAgentSuffix(h, L"x")),
    OP("SetRequestData", false, 0, Held, v5->SetRequestData(h, o.body, 4)),
    OP("SetRequestRoute", false, 0, Held, v5->SetRequestRoute(h, &kRoute)),
    OP("SetRequestTimeoutSeconds", false, 0, Held, v5->SetRequestTimeoutSeconds(h, 5)),
    OP("SendRequestAndReceiveResponse", false, 0, Early, v5->SendRequestAndReceiveResponse(h)),
    OP("GetResponseStatusCode", false, kValue, Held, v5->GetResponseStatusCode(h, &o.value)),
    OP("GetResponseReasonPhrase", false, kText, Held, v5->GetResponseReasonPhrase(h, &o.text)),
    OP("GetResponseHeaders", false, kTable, Held, v5->GetResponseHeaders(h, &o.table)),
    OP("GetResponseServerCertificate", false, kCertificate, Held, v5->GetResponseServerCertificate(h, &o.certificate)),
    OP("GetResponseTrustFailureFlags", false, kValue, Held, v5->GetResponseTrustFailureFlags(h, &o.value)),
    OP("GetServerCertificate", true, kCertificate | kValue, Held,
       v5->GetServerCertificate(h, L"https://x.test/", &o.certificate, &o.value)),
    OP("ReadResponseBodyStream", false, kValue, Early, v5->ReadResponseBodyStream(h, o.body, 64, &o.value)),
    OP("GetAuthEpoch", true, 0, Held, v6->GetAuthEpoch(h, &o.value)),
    OP("GetSecondaryToken", false, kText, Held, v7->GetSecondaryToken(h, &o.text)),
    OP("GetSessionCookie", true, kText, Held, v8->GetSessionCookie(h, nullptr, &o.text)),
    OP("GetCookiesForDomain", true, 0, Held, v9->GetCookiesForDomain(h, nullptr, &o.cookies, &o.count)),
    OP("AddCookies", true, 0, Held,
       v9->AddCookies(h, static_cast<_ZV_COOKIE_DATA*>(calloc(1, sizeof(_ZV_COOKIE_DATA))), 0)),
};
#undef OP
// clang-format on

// On a bad handle (unknown, zero, or one of the other kind) and on a failing
// service answer every operation leaves its out-parameters as defined: those
// it clears after its checks cleared, the others as the caller set them. A bad
// handle never reaches the service.
TEST_F(CookieTest, FailuresAfterTheChecksLeaveTheOutputsAsDefined) {
    const unsigned request = Create();
    ASSERT_TRUE(control->Reset());
    for (const Operation& op : kOperations) {
        SCOPED_TRACE(op.name);
        const unsigned handle = op.onConnection ? connection : Create();
        for (unsigned bad : {handle + 1000, 0u, op.onConnection ? request : connection}) {
            Outs outs;
            EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, op.call(*this, bad, outs)) << bad;
            EXPECT_TRUE(outs.Exactly(op.cleared)) << bad;
        }
        ASSERT_TRUE(control->SetScenario({{"methods", {{op.name, {{"hr", "E_ACCESSDENIED"}}}}}}));
        Outs outs;
        EXPECT_EQ(ZV_ERROR_FAILED, op.call(*this, handle, outs));
        EXPECT_TRUE(outs.Exactly(op.cleared));
        EXPECT_EQ(1u, control->CallCount(op.name));
        ASSERT_TRUE(control->Reset());
    }
}

// Each call held in the service while Uninitialize starts on another thread:
// Uninitialize cancels the service's calls once it holds the gate, so the
// cancel arrives at once when the operation left the gate before its call
// (the service refuses it; the held call goes on), and only after the
// release when the operation holds the gate.
class GateTest : public CookieTest, public ::testing::WithParamInterface<Gate> {};

TEST_P(GateTest, EveryOperationLeavesOrHoldsTheGateAsDefined) {
    const bool early = GetParam() == Gate::Early;
    bool initialized = true;
    for (const Operation& op : kOperations) {
        if (op.gate != GetParam()) continue;
        SCOPED_TRACE(op.name);
        if (!initialized) Start();
        initialized = true;
        const unsigned handle = op.onConnection ? connection : Create();
        ASSERT_TRUE(control->SetScenario(
            {{"methods", {{op.name, {{"block", true}}}, {"CancelAllCalls", {{"hr", "E_FAIL"}}}}}}));
        Outs outs;
        auto call = zvtest::Background([&] { return op.call(*this, handle, outs); });
        ASSERT_TRUE(control->WaitForCalls(op.name, 1));
        auto uninitialize = zvtest::Background([&] { return v1->Uninitialize(); });
        initialized = false;
        EXPECT_EQ(early, control->WaitForCalls("CancelAllCalls", 1, early ? 20000 : 1000));
        if (early) {
            EXPECT_EQ(std::future_status::ready, uninitialize.wait_for(std::chrono::seconds(20)));
        }
        EXPECT_EQ(1u, control->ReleaseHeld(op.name));
        call.wait();
        EXPECT_EQ(ZV_SUCCESS, uninitialize.get());
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, GateTest, ::testing::Values(Gate::Early, Gate::Held),
                         [](const ::testing::TestParamInfo<Gate>& info) {
                             return std::string(info.param == Gate::Early ? "LeftBeforeTheCall" : "HeldToTheEnd");
                         });

}  // namespace
