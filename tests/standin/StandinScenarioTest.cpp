// Scenarios obeyed and arguments recorded, through COM on both hosts.
#include "StandinFixture.h"

#include <wincrypt.h>

namespace zvtest {
namespace {

std::wstring Text(BSTR b) {
    return b ? std::wstring(b, SysStringLen(b)) : std::wstring(L"<null>");
}

LONG Count(SAFEARRAY* array) {
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    return upper - lower + 1;
}

std::vector<BYTE> Bytes(SAFEARRAY* array) {
    std::vector<BYTE> out;
    if (!array) return out;
    BYTE* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    out.assign(data, data + Count(array));
    SafeArrayUnaccessData(array);
    return out;
}

class StandinScenarioTest : public StandinTest {};

TEST_P(StandinScenarioTest, ResultsAndOutputsFollowTheScenario) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(
        control->SetScenario({{"methods",
                               {{"GetVersion", {{"hr", "E_ACCESSDENIED"}}},
                                {"GetSessionCookie", {{"outputs", {{"sessionCookie", nullptr}}}}},
                                {"GetLogonStatus", {{"hr", "0x80040201"}, {"outputs", {{"logonStatus", 4}}}}},
                                {"GetAuthEpoch", {{"sequence", {{{"hr", "E_FAIL"}}, {{"outputs", {{"epoch", 9}}}}}}}},
                                {"CreateZVHttpRequest", {{"outputs", {{"httpRequest", nullptr}}}}}}}}));
    ScopedBstr version;
    EXPECT_EQ(E_ACCESSDENIED, connection->GetVersion(version.Receive()));
    EXPECT_EQ(nullptr, version.Get());
    ScopedBstr cookie;
    EXPECT_EQ(S_OK, connection->GetSessionCookie(nullptr, cookie.Receive()));
    EXPECT_EQ(nullptr, cookie.Get());
    // A failing result with the outputs the scenario names.
    UINT status = 0;
    EXPECT_EQ(static_cast<HRESULT>(0x80040201), connection->GetLogonStatus(nullptr, &status));
    if (!IsExe()) {
        EXPECT_EQ(4u, status);  // across processes the marshaller drops outputs of a failed call
    }
    UINT epoch = 0;
    EXPECT_EQ(E_FAIL, connection->GetAuthEpoch(&epoch));
    EXPECT_EQ(S_OK, connection->GetAuthEpoch(&epoch));
    EXPECT_EQ(9u, epoch);
    EXPECT_EQ(S_OK, connection->GetAuthEpoch(&epoch));  // the last step of a sequence repeats
    EXPECT_EQ(9u, epoch);
    ComPtr<IZelvarHttpRequest> request;
    EXPECT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
    EXPECT_FALSE(request);

    ZelvarServerTypeInfo type{};
    ASSERT_TRUE(control->SetMethod("DetermineServerType", {{"outputs",
                                                            {{"serverTypeInfo",
                                                              {{"serverType", 2},
                                                               {"gatewayInfo",
                                                                {{"gatewayUrl", "https://gw.test"},
                                                                 {"gatewayString", "corp"},
                                                                 {"gatewayValue1", 1},
                                                                 {"gatewayValue2", 2},
                                                                 {"gatewayValue3", 4000000000u}}}}}}}}));
    ASSERT_EQ(S_OK, connection->DetermineServerType(nullptr, &type));
    EXPECT_EQ(2u, type.serverType);
    EXPECT_EQ(L"https://gw.test", Text(type.gatewayInfo.gatewayUrl));
    EXPECT_EQ(L"corp", Text(type.gatewayInfo.gatewayString));
    EXPECT_EQ(4000000000u, type.gatewayInfo.gatewayValue3);
    SysFreeString(type.gatewayInfo.gatewayUrl);
    SysFreeString(type.gatewayInfo.gatewayString);
}

TEST_P(StandinScenarioTest, ArraysCanBeEmptyNullOrWronglyTyped) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ScopedBstr url(SysAllocString(L"https://r.test"));
    ComPtr<IZelvarAuthContext> auth;
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, auth.Receive()));
    ASSERT_TRUE(control->SetMethod("GetHeaders", {{"sequence",
                                                   {{{"outputs", {{"headers", Json::array()}}}},
                                                    {{"outputs", {{"headers", nullptr}}}},
                                                    {{"outputs", {{"headers", {{"vt", VT_I4}, {"count", 2}}}}}},
                                                    {{"outputs", {{"headers", {"a", nullptr, "c"}}}}}}}}));
    ScopedSafeArray headers;
    ASSERT_EQ(S_OK, auth->GetHeaders(headers.Receive()));
    ASSERT_NE(nullptr, headers.Get());
    EXPECT_EQ(0, Count(headers.Get()));
    ASSERT_EQ(S_OK, auth->GetHeaders(headers.Receive()));
    EXPECT_EQ(nullptr, headers.Get());
    ASSERT_EQ(S_OK, auth->GetHeaders(headers.Receive()));
    VARTYPE vt = VT_EMPTY;
    ASSERT_NE(nullptr, headers.Get());
    SafeArrayGetVartype(headers.Get(), &vt);
    EXPECT_EQ(VT_I4, vt);
    EXPECT_EQ(2, Count(headers.Get()));
    ASSERT_EQ(S_OK, auth->GetHeaders(headers.Receive()));
    BSTR* data = nullptr;
    ASSERT_EQ(3, Count(headers.Get()));
    SafeArrayAccessData(headers.Get(), reinterpret_cast<void**>(&data));
    EXPECT_EQ(L"a", Text(data[0]));
    EXPECT_EQ(nullptr, data[1]);
    EXPECT_EQ(L"c", Text(data[2]));
    SafeArrayUnaccessData(headers.Get());
}

TEST_P(StandinScenarioTest, BodyComesInTheChunksTheScenarioSets) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ComPtr<IZelvarHttpRequest> request;
    ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
    ASSERT_TRUE(control->SetMethod("ReadResponseBodyStream", {{"body", {{"size", 10000}}}, {"maxChunk", 4096}}));
    std::vector<size_t> sizes;
    std::vector<BYTE> body;
    for (int round = 0; round < 10; ++round) {
        ScopedSafeArray chunk;
        ASSERT_EQ(S_OK, request->ReadResponseBodyStream(16384, chunk.Receive()));
        std::vector<BYTE> piece = Bytes(chunk.Get());
        sizes.push_back(piece.size());
        body.insert(body.end(), piece.begin(), piece.end());
        if (piece.empty()) break;
    }
    EXPECT_EQ((std::vector<size_t>{4096, 4096, 1808, 0}), sizes);
    ASSERT_EQ(10000u, body.size());
    for (size_t i = 0; i < body.size(); ++i) ASSERT_EQ(static_cast<BYTE>(i % 251), body[i]) << i;
    EXPECT_EQ(16384u, control->LastArgs("ReadResponseBodyStream")["maxBytes"]);

    // Explicit chunks: a larger one than asked for, a wrongly typed one, then the end.
    ComPtr<IZelvarHttpRequest> second;
    ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(second.Receive()));
    ASSERT_TRUE(control->SetMethod("ReadResponseBodyStream",
                                   {{"chunks", {{{"text", "0123456789"}}, {{"vt", VT_BSTR}, {"count", 1}}}}}));
    ScopedSafeArray chunk;
    ASSERT_EQ(S_OK, second->ReadResponseBodyStream(4, chunk.Receive()));
    EXPECT_EQ(10u, Bytes(chunk.Get()).size());
    ASSERT_EQ(S_OK, second->ReadResponseBodyStream(4, chunk.Receive()));
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(chunk.Get(), &vt);
    EXPECT_EQ(VT_BSTR, vt);
    ASSERT_EQ(S_OK, second->ReadResponseBodyStream(4, chunk.Receive()));
    EXPECT_EQ(0u, Bytes(chunk.Get()).size());
}

TEST_P(StandinScenarioTest, CertificateBlocksAsTheScenarioDescribes) {
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(control->SetMethod(
        "GetServerCertificate",
        {{"sequence",
          {{{"outputs",
             {{"certificateBlock", {{"certificates", {"CN=first.test", "CN=second.test"}}, {"designate", 1}}},
              {"trustFailureFlags", 0x100}}}},
           {{"outputs", {{"certificateBlock", {{"size", 20}}}}}},
           {{"outputs", {{"certificateBlock", {{"hex", ""}}}}}}}}}));
    UINT trust = 0;
    ScopedSafeArray block;
    ASSERT_EQ(S_OK, connection->GetServerCertificate(nullptr, &trust, block.Receive()));
    EXPECT_EQ(0x100u, trust);
    std::vector<BYTE> bytes = Bytes(block.Get());
    ASSERT_GT(bytes.size(), 20u);
    CRYPT_DATA_BLOB storeBlob{static_cast<DWORD>(bytes.size() - 20), bytes.data()};
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SERIALIZED, X509_ASN_ENCODING, 0, 0, &storeBlob);
    ASSERT_NE(nullptr, store);
    int certificates = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++certificates;
    EXPECT_EQ(2, certificates);
    CRYPT_HASH_BLOB hash{20, bytes.data() + bytes.size() - 20};
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
    ASSERT_NE(nullptr, found);
    wchar_t subject[128] = {};
    CertGetNameStringW(found, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 128);
    EXPECT_STREQ(L"second.test", subject);
    CertFreeCertificateContext(found);
    CertCloseStore(store, 0);

    ASSERT_EQ(S_OK, connection->GetServerCertificate(nullptr, &trust, block.Receive()));
    EXPECT_EQ(20u, Bytes(block.Get()).size());
    ASSERT_EQ(S_OK, connection->GetServerCertificate(nullptr, &trust, block.Receive()));
    ASSERT_NE(nullptr, block.Get());
    EXPECT_EQ(0u, Bytes(block.Get()).size());
}

TEST_P(StandinScenarioTest, RecordsArgumentsFieldByField) {
    ComPtr<IZelvarConnection> connection = NewConnection(L"App:client.exe:4242:7");
    ASSERT_TRUE(connection);
    EXPECT_EQ("App:client.exe:4242:7", control->LastArgs("CreateConnection")["clientIdentifier"]);
    Json connections = control->Connections();
    ASSERT_FALSE(connections.empty());
    EXPECT_EQ("App:client.exe:4242:7", connections.back()["clientId"]);

    ScopedBstr url(SysAllocString(L"https://r.test/p"));
    ComPtr<IZelvarAuthContext> auth;
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0x21, auth.Receive()));
    EXPECT_EQ((Json{{"url", "https://r.test/p"}, {"contextFlags", 0x21}}), control->LastArgs("CreateRequestContext"));

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 3);
    BSTR* data = nullptr;
    SafeArrayAccessData(strings, reinterpret_cast<void**>(&data));
    data[0] = SysAllocString(L"first");
    data[1] = nullptr;
    data[2] = SysAllocStringLen(L"a\0b", 3);
    SafeArrayUnaccessData(strings);
    UINT result = 0;
    ASSERT_EQ(S_OK, auth->Prepare(strings, &result));
    SafeArrayDestroy(strings);
    EXPECT_EQ((Json{"first", nullptr, std::string("a\0b", 3)}), control->LastArgs("Prepare")["requestStrings"]);
    SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
    ASSERT_EQ(S_OK, auth->ReportHttpResponse(401, empty));
    SafeArrayDestroy(empty);
    EXPECT_EQ((Json{{"responseCode", 401}, {"responseStrings", Json::array()}, {"contextUrl", "https://r.test/p"}}),
              control->LastArgs("ReportHttpResponse"));

    ZelvarGatewayInfo gateway{SysAllocString(L"B-url"), SysAllocString(L"A-string"), 1, 0xFFFFFFFF, 3};
    ASSERT_EQ(S_OK, auth->ForceRoute(&gateway));
    EXPECT_EQ((Json{{"gatewayUrl", "B-url"},
                    {"gatewayString", "A-string"},
                    {"gatewayValue1", 1},
                    {"gatewayValue2", 0xFFFFFFFFu},
                    {"gatewayValue3", 3}}),
              control->LastArgs("ForceRoute")["gatewayInfo"]);
    SysFreeString(gateway.gatewayUrl);
    SysFreeString(gateway.gatewayString);

    ComPtr<IZelvarHttpRequest> request;
    ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 4);
    BYTE* raw = nullptr;
    SafeArrayAccessData(bytes, reinterpret_cast<void**>(&raw));
    raw[0] = 0;
    raw[1] = 0x7f;
    raw[2] = 0x80;
    raw[3] = 0xff;
    SafeArrayUnaccessData(bytes);
    ASSERT_EQ(S_OK, request->SetRequestData(bytes));
    SafeArrayDestroy(bytes);
    EXPECT_EQ((Json{{"size", 4}, {"hex", "007f80ff"}}), control->LastArgs("SetRequestData")["data"]);
    ASSERT_EQ(S_OK, request->SetRequestData(nullptr));
    EXPECT_TRUE(control->LastArgs("SetRequestData")["data"].is_null());

    EXPECT_EQ(1u, control->CallCount("Prepare"));
    EXPECT_EQ(2u, control->CallCount("SetRequestData"));
    EXPECT_EQ(0u, control->CallCount("GetVersion"));
    // Every call names the connection (by creation order) it came through.
    Json calls = control->Calls("SetRequestData");
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(connections.back()["index"], calls[0]["connection"]);
}

TEST_P(StandinScenarioTest, CookiesAsRecordArrays) {
    if (IsExe()) {
        GTEST_SKIP() << "Wine 8 cannot marshal SAFEARRAY(VT_RECORD) across processes (0x8007000E); "
                        "record arrays are tested on the in-process host";
    }
    ComPtr<IZelvarConnection> connection = NewConnection();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(control->SetMethod("GetCookiesForDomain", {{"outputs",
                                                            {{"cookies",
                                                              {{{"string1", "n"},
                                                                {"string2", nullptr},
                                                                {"flag1", true},
                                                                {"flag2", -1},
                                                                {"value64", "-2"},
                                                                {"value32", 7}}}}}}}));
    ScopedBstr domain(SysAllocString(L".d.test"));
    ScopedSafeArray cookies;
    ASSERT_EQ(S_OK, connection->GetCookiesForDomain(domain.Get(), cookies.Receive()));
    ASSERT_NE(nullptr, cookies.Get());
    ASSERT_EQ(1, Count(cookies.Get()));
    ZelvarCookieData* records = nullptr;
    SafeArrayAccessData(cookies.Get(), reinterpret_cast<void**>(&records));
    EXPECT_EQ(L"n", Text(records[0].string1));
    EXPECT_EQ(nullptr, records[0].string2);
    EXPECT_EQ(VARIANT_TRUE, records[0].flag1);
    EXPECT_EQ(VARIANT_TRUE, records[0].flag2);
    EXPECT_EQ(VARIANT_FALSE, records[0].flag3);
    EXPECT_EQ(-2, records[0].value64);
    EXPECT_EQ(7u, records[0].value32);
    SafeArrayUnaccessData(cookies.Get());
    EXPECT_EQ(".d.test", control->LastArgs("GetCookiesForDomain")["domain"]);

    // AddCookies records what it received, and the jar then holds it.
    IRecordInfo* info = nullptr;
    ITypeLib* library = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_ZelvarSvrLib, 12, 0, 0, &library));
    ITypeInfo* type = nullptr;
    const GUID cookieGuid = {0x97fdae58, 0xcf84, 0x4a8c, {0x91, 0x99, 0x71, 0x90, 0xc0, 0xd1, 0x07, 0xec}};
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(cookieGuid, &type));
    ASSERT_EQ(S_OK, GetRecordInfoFromTypeInfo(type, &info));
    type->Release();
    library->Release();
    SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* added = SafeArrayCreateEx(VT_RECORD, 1, &bound, info);
    info->Release();
    SafeArrayAccessData(added, reinterpret_cast<void**>(&records));
    records[0].string1 = SysAllocString(L"s1");
    records[0].string4 = SysAllocString(L"s4");
    records[0].flag4 = VARIANT_TRUE;
    records[0].value64 = 0x123456789ALL;
    records[1].value32 = 0xFFFFFFFF;
    SafeArrayUnaccessData(added);
    ASSERT_EQ(S_OK, connection->AddCookies(&added));
    SafeArrayDestroy(added);
    Json recorded = control->LastArgs("AddCookies")["cookies"];
    ASSERT_EQ(2u, recorded.size());
    EXPECT_EQ((Json{{"string1", "s1"},
                    {"string2", nullptr},
                    {"string3", nullptr},
                    {"string4", "s4"},
                    {"flag1", 0},
                    {"flag2", 0},
                    {"flag3", 0},
                    {"flag4", -1},
                    {"value64", 0x123456789ALL},
                    {"value32", 0}}),
              recorded[0]);
    EXPECT_EQ(0xFFFFFFFFu, recorded[1]["value32"]);
    ASSERT_TRUE(control->SetMethod("GetCookiesForDomain", Json::object()));
    ASSERT_EQ(S_OK, connection->GetCookiesForDomain(domain.Get(), cookies.Receive()));
    EXPECT_EQ(3, Count(cookies.Get()));  // the default cookie and the two added
}

INSTANTIATE_TEST_SUITE_P(BothHosts, StandinScenarioTest,
                         ::testing::Values(StandinHost::LocalServer, StandinHost::InprocServer), HostParamName);

}  // namespace
}  // namespace zvtest
