// Every interface of the stand-in called through COM on both hosts, checking
// the default outputs an application sees without a scenario.
#include "StandinFixture.h"

#include <wincrypt.h>

namespace zvtest {
namespace {

std::wstring Text(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : std::wstring(L"<null>");
}

std::vector<std::wstring> Strings(SAFEARRAY* array) {
    std::vector<std::wstring> out;
    VARTYPE vt = VT_EMPTY;
    if (!array || FAILED(SafeArrayGetVartype(array, &vt)) || vt != VT_BSTR) return out;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    BSTR* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (LONG i = 0; i <= upper - lower; ++i) out.push_back(Text(data[i]));
    SafeArrayUnaccessData(array);
    return out;
}

std::vector<BYTE> Bytes(SAFEARRAY* array) {
    std::vector<BYTE> out;
    if (!array) return out;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    BYTE* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    out.assign(data, data + (upper - lower + 1));
    SafeArrayUnaccessData(array);
    return out;
}

// Opens the transfer block as the SDK does and returns the designated
// certificate's subject ("" when the block does not designate one).
std::wstring DesignatedSubject(const std::vector<BYTE>& block) {
    if (block.size() <= 20) return L"";
    CRYPT_DATA_BLOB storeBlob{static_cast<DWORD>(block.size() - 20), const_cast<BYTE*>(block.data())};
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SERIALIZED, X509_ASN_ENCODING, 0,
                                     CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG, &storeBlob);
    if (!store) return L"";
    CRYPT_HASH_BLOB hash{20, const_cast<BYTE*>(block.data() + block.size() - 20)};
    PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
    CertCloseStore(store, 0);
    if (!cert) return L"";
    wchar_t subject[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    CertFreeCertificateContext(cert);
    return subject;
}

SAFEARRAY* StringArray(std::initializer_list<const wchar_t*> strings) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(strings.size()));
    LONG i = 0;
    for (const wchar_t* s : strings) {
        BSTR b = s ? SysAllocString(s) : nullptr;
        SafeArrayPutElement(array, &i, b);
        SysFreeString(b);
        ++i;
    }
    return array;
}

TEST_P(StandinTest, CreatesTheClassInTheHostsProcess) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    DWORD server = control->ServerProcessId();
    if (IsExe()) {
        EXPECT_NE(GetCurrentProcessId(), server);
    } else {
        EXPECT_EQ(GetCurrentProcessId(), server);
    }
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, connection->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IZelvarEvents, point.Receive()));
    IID iid{};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(DIID__IZelvarEvents, iid));
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, none.Receive()));
}

TEST_P(StandinTest, ConnectionDefaults) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);

    ScopedBstr version;
    ASSERT_EQ(S_OK, connection->GetVersion(version.Receive()));
    EXPECT_EQ(L"12.0.0.1", Text(version.Get()));

    ScopedBstr target(SysAllocString(L"https://app.test/x")), parameter(SysAllocString(L"p")), trampoline;
    UINT result = 0;
    ASSERT_EQ(S_OK, connection->GenerateTrampolineUrl(target.Get(), 3, parameter.Get(), trampoline.Receive(), &result));
    EXPECT_EQ(13u, result);
    EXPECT_EQ(L"https://trampoline.zelvar.test/go?target=https://app.test/x", Text(trampoline.Get()));

    EXPECT_EQ(S_OK, connection->SetClientWindow(0x1234));
    ZelvarServerTypeInfo type{};
    ScopedBstr server(SysAllocString(L"https://server.test"));
    ASSERT_EQ(S_OK, connection->DetermineServerType(server.Get(), &type));
    EXPECT_EQ(1u, type.serverType);
    EXPECT_EQ(nullptr, type.gatewayInfo.gatewayUrl);

    ZelvarGatewayInfo gateway{SysAllocString(L"https://gw.test"), SysAllocString(L"gw"), 1, 2, 3};
    ScopedBstr discovery;
    ASSERT_EQ(S_OK, connection->RetrieveGatewayDiscoveryData(&gateway, 7, discovery.Receive(), &result));
    EXPECT_EQ(13u, result);
    EXPECT_EQ(L"<discovery gateway=\"https://gw.test\"/>", Text(discovery.Get()));
    EXPECT_EQ(S_OK, connection->LogOffGateway(&gateway));
    ScopedBstr service(SysAllocString(L"auth"));
    UINT status = 0;
    ASSERT_EQ(S_OK, connection->GetLogonStatus(service.Get(), &status));
    EXPECT_EQ(1u, status);
    EXPECT_EQ(S_OK, connection->LogOffAuthService(service.Get()));

    UINT epoch = 0;
    ASSERT_EQ(S_OK, connection->GetAuthEpoch(&epoch));
    EXPECT_EQ(1u, epoch);
    EXPECT_EQ(S_OK, connection->ClearAllCredentials());
    EXPECT_EQ(S_OK, connection->LogOff());
    ASSERT_EQ(S_OK, connection->GetAuthEpoch(&epoch));
    EXPECT_EQ(3u, epoch);  // each ClearAllCredentials and LogOff starts a new epoch
    EXPECT_EQ(S_OK, connection->CancelAllCalls());

    ScopedBstr cookie;
    ASSERT_EQ(S_OK, connection->GetSessionCookie(server.Get(), cookie.Receive()));
    EXPECT_EQ(L"ZVSESSION=standin-session", Text(cookie.Get()));

    UINT trust = 99;
    ScopedSafeArray block;
    ASSERT_EQ(S_OK, connection->GetServerCertificate(server.Get(), &trust, block.Receive()));
    EXPECT_EQ(0u, trust);
    EXPECT_EQ(L"standin.zelvar.test", DesignatedSubject(Bytes(block.Get())));

    ComPtr<IZelvarAuthContext> auth;
    EXPECT_EQ(S_OK, connection->CreateRequestContext(server.Get(), 0, auth.Receive()));
    EXPECT_TRUE(auth);
    ComPtr<IZelvarVpnAuthContext> vpn;
    EXPECT_EQ(S_OK, connection->CreateVpnAuthContext(&gateway, 0, vpn.Receive()));
    EXPECT_TRUE(vpn);
    ComPtr<IZelvarHttpRequest> request;
    EXPECT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
    EXPECT_TRUE(request);
    SysFreeString(gateway.gatewayUrl);
    SysFreeString(gateway.gatewayString);
}

TEST_P(StandinTest, AuthAndVpnContextDefaults) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ScopedBstr url(SysAllocString(L"https://resource.test/a"));
    ComPtr<IZelvarAuthContext> auth;
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 5, auth.Receive()));

    ScopedSafeArray strings(StringArray({L"one", L"two"}));
    UINT result = 99;
    ASSERT_EQ(S_OK, auth->Prepare(strings.Get(), &result));
    EXPECT_EQ(0u, result);
    result = 99;
    ASSERT_EQ(S_OK, auth->Prepare2(&result));
    EXPECT_EQ(0u, result);
    ScopedSafeArray headers;
    ASSERT_EQ(S_OK, auth->GetHeaders(headers.Receive()));
    EXPECT_EQ((std::vector<std::wstring>{L"Authorization: Bearer standin-token", L"X-Zelvar-Standin: 1"}),
              Strings(headers.Get()));
    ScopedBstr translated;
    ASSERT_EQ(S_OK, auth->GetTranslatedUrl(translated.Receive()));
    EXPECT_EQ(L"https://resource.test/a", Text(translated.Get()));
    EXPECT_EQ(S_OK, auth->ReportHttpResponse(200, strings.Get()));
    EXPECT_EQ(S_OK, auth->ReportHttpFailure(12029));
    ZelvarGatewayInfo gateway{SysAllocString(L"https://gw.test"), nullptr, 1, 2, 3};
    EXPECT_EQ(S_OK, auth->ForceRoute(&gateway));
    EXPECT_EQ(S_OK, auth->SetReferenceUrl(nullptr));

    ComPtr<IZelvarVpnAuthContext> vpn;
    ASSERT_EQ(S_OK, connection->CreateVpnAuthContext(&gateway, 0, vpn.Receive()));
    ScopedBstr first, second;
    result = 99;
    ASSERT_EQ(S_OK, vpn->GetVpnAuthorizationInfo(first.Receive(), second.Receive(), &result));
    EXPECT_EQ(L"standin-vpn-user", Text(first.Get()));
    EXPECT_EQ(L"standin-vpn-token", Text(second.Get()));
    EXPECT_EQ(0u, result);
    SysFreeString(gateway.gatewayUrl);
}

TEST_P(StandinTest, HttpRequestDefaultsAndBodyInChunksOfTheRequestedSize) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ComPtr<IZelvarHttpRequest> request;
    ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
    ScopedBstr method(SysAllocString(L"POST")), url(SysAllocString(L"https://api.test/v1")),
        header(SysAllocString(L"X-A: 1")), suffix(SysAllocString(L"App/1"));
    EXPECT_EQ(S_OK, request->SetRequestMethod(method.Get()));
    EXPECT_EQ(S_OK, request->SetRequestUrl(url.Get()));
    EXPECT_EQ(S_OK, request->SetRequestReferenceUrl(nullptr));
    EXPECT_EQ(S_OK, request->SetRequestUserAgentSuffix(suffix.Get()));
    EXPECT_EQ(S_OK, request->SetRequestAuthenticationFlags(4));
    EXPECT_EQ(S_OK, request->SetRequestTimeoutSeconds(30));
    ZelvarGatewayInfo gateway{nullptr, nullptr, 0, 0, 0};
    EXPECT_EQ(S_OK, request->SetRequestRoute(&gateway));
    EXPECT_EQ(S_OK, request->AddRequestHeader(header.Get()));
    EXPECT_EQ(S_OK, request->SetRequestData(nullptr));
    EXPECT_EQ(S_OK, request->SendRequestAndReceiveResponse());

    UINT code = 0;
    ASSERT_EQ(S_OK, request->GetResponseStatusCode(&code));
    EXPECT_EQ(200u, code);
    ScopedBstr phrase;
    ASSERT_EQ(S_OK, request->GetResponseReasonPhrase(phrase.Receive()));
    EXPECT_EQ(L"OK", Text(phrase.Get()));
    ScopedSafeArray headers;
    ASSERT_EQ(S_OK, request->GetResponseHeaders(headers.Receive()));
    EXPECT_EQ(2u, Strings(headers.Get()).size());
    ScopedSafeArray block;
    ASSERT_EQ(S_OK, request->GetResponseServerCertificate(block.Receive()));
    EXPECT_EQ(L"standin.zelvar.test", DesignatedSubject(Bytes(block.Get())));
    UINT trust = 99;
    ASSERT_EQ(S_OK, request->GetResponseTrustFailureFlags(&trust));
    EXPECT_EQ(0u, trust);
    ScopedBstr token;
    ASSERT_EQ(S_OK, request->GetSecondaryToken(token.Receive()));
    EXPECT_EQ(L"standin-secondary-token", Text(token.Get()));

    std::string body;
    for (int round = 0; round < 100; ++round) {
        ScopedSafeArray chunk;
        ASSERT_EQ(S_OK, request->ReadResponseBodyStream(7, chunk.Receive()));
        std::vector<BYTE> piece = Bytes(chunk.Get());
        ASSERT_LE(piece.size(), 7u);
        if (piece.empty()) break;
        body.append(piece.begin(), piece.end());
    }
    EXPECT_EQ("Hello from the Zelvar stand-in\r\nPOST https://api.test/v1\r\n", body);
}

INSTANTIATE_TEST_SUITE_P(BothHosts, StandinTest, ::testing::Values(StandinHost::LocalServer, StandinHost::InprocServer),
                         HostParamName);

}  // namespace
}  // namespace zvtest
