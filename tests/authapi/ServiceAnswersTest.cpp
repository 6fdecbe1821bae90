// What the SDK makes of the service's answers, through real calls into the
// stand-in's process: converted outputs, malformed outputs, failing results.
#include <thread>
#include <vector>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

std::vector<std::string> Table(ZVChar** table) {
    std::vector<std::string> out;
    for (; table && *table; ++table) out.push_back(Narrow(*table));
    return out;
}

const _ZV_GATEWAY_INFO kGateway = {nullptr, nullptr, 0, 0, 0};

}  // namespace

TEST_F(AuthApiTest, ServiceAnswersBecomeOutputsOrTheDefinedResult) {
    unsigned int vpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    typedef std::function<ZVResult(Outs&)> Call;
    const Call getHeaders = [&](Outs& o) { return api.v1->GetHeaders(context, &o.table); };
    const Call serverType = [&](Outs& o) { return api.v3->DetermineServerType(connection, L"s", &o.serverType); };
    const Call trampoline = [&](Outs& o) {
        return api.v3->GenerateTrampolineUrl(connection, L"t", 0, nullptr, &o.text, &o.value);
    };
    const Call version = [&](Outs& o) { return api.v3->GetVersion(connection, &o.text); };
    const Call vpnInfo = [&](Outs& o) { return api.v2->GetVpnAuthorizationInfo(vpn, &o.vpn); };
    const Call logonStatus = [&](Outs& o) { return api.v4->GetLogonStatus(connection, L"s", &o.value); };
    const Call translated = [&](Outs& o) { return api.v1->GetTranslatedUrl(context, &o.text); };
    const Json gateway2 = {{"gatewayUrl", "U"}, {"gatewayString", "S"}, {"gatewayValue1", 7}, {"gatewayValue3", 9}};
    struct Row {
        const char* label;
        const char* method;
        Json entry;
        Call call;
        ZVResult result;
        std::function<void(const Outs&)> check;
    };
    const std::vector<Row> rows = {
        {"null header array",
         "GetHeaders",
         {{"outputs", {{"headers", nullptr}}}},
         getHeaders,
         ZV_ERROR_FAILED,
         [](const Outs& o) { EXPECT_EQ(nullptr, o.table); }},
        {"wrongly typed header array",
         "GetHeaders",
         {{"outputs", {{"headers", {{"vt", 3}, {"count", 2}}}}}},
         getHeaders,
         ZV_ERROR_FAILED,
         [](const Outs& o) { EXPECT_EQ(nullptr, o.table); }},
        {"header array from index 1",
         "GetHeaders",
         {{"outputs", {{"headers", {{"lowerBound", 1}, {"strings", {"a"}}}}}}},
         getHeaders,
         ZV_ERROR_FAILED,
         [](const Outs& o) { EXPECT_EQ(nullptr, o.table); }},
        {"empty header array",
         "GetHeaders",
         {{"outputs", {{"headers", Json::array()}}}},
         getHeaders,
         ZV_SUCCESS,
         [](const Outs& o) {
             ASSERT_NE(nullptr, o.table);
             EXPECT_EQ(nullptr, o.table[0]);
         }},
        {"headers with a null element",
         "GetHeaders",
         {{"outputs", {{"headers", {"a", nullptr, "bc"}}}}},
         getHeaders,
         ZV_SUCCESS,
         [](const Outs& o) {
             EXPECT_EQ((std::vector<std::string>{"a", "", "bc"}), Table(o.table));
         }},
        {"null translated URL",
         "GetTranslatedUrl",
         {{"outputs", {{"translatedUrl", nullptr}}}},
         translated,
         ZV_SUCCESS,
         [](const Outs& o) { EXPECT_EQ("", Narrow(o.text)); }},
        {"null version",
         "GetVersion",
         {{"outputs", {{"version", nullptr}}}},
         version,
         ZV_SUCCESS,
         [](const Outs& o) { EXPECT_EQ("", Narrow(o.text)); }},
        {"null VPN strings",
         "GetVpnAuthorizationInfo",
         {{"outputs", {{"firstString", nullptr}, {"secondString", nullptr}, {"result", 9}}}},
         vpnInfo,
         ZV_SUCCESS,
         [](const Outs& o) {
             EXPECT_EQ(9u, o.vpn->result);
             EXPECT_EQ("", Narrow(o.vpn->firstString));
             EXPECT_EQ("", Narrow(o.vpn->secondString));
         }},
        {"gateway server type with null strings",
         "DetermineServerType",
         {{"outputs", {{"serverTypeInfo", {{"serverType", 2}}}}}},
         serverType,
         ZV_SUCCESS,
         [](const Outs& o) {
             ASSERT_NE(nullptr, o.serverType->gatewayInfo);
             EXPECT_EQ("", Narrow(o.serverType->gatewayInfo->gatewayUrl));
             EXPECT_EQ("", Narrow(o.serverType->gatewayInfo->gatewayString));
         }},
        {"gateway server type: the strings change places",
         "DetermineServerType",
         {{"outputs", {{"serverTypeInfo", {{"serverType", 2}, {"gatewayInfo", gateway2}}}}}},
         serverType,
         ZV_SUCCESS,
         [](const Outs& o) {
             const _ZV_GATEWAY_INFO* g = o.serverType->gatewayInfo;
             ASSERT_NE(nullptr, g);
             EXPECT_EQ("U", Narrow(g->gatewayUrl));
             EXPECT_EQ("S", Narrow(g->gatewayString));
             EXPECT_EQ(7u, g->gatewayValue1);
             EXPECT_EQ(0u, g->gatewayValue2);
             EXPECT_EQ(9u, g->gatewayValue3);
         }},
        {"other server type: no gateway record",
         "DetermineServerType",
         {{"outputs", {{"serverTypeInfo", {{"serverType", 1}, {"gatewayInfo", gateway2}}}}}},
         serverType,
         ZV_SUCCESS,
         [](const Outs& o) {
             EXPECT_EQ(1u, o.serverType->serverType);
             EXPECT_EQ(nullptr, o.serverType->gatewayInfo);
         }},
        {"trampoline result 12: no URL",
         "GenerateTrampolineUrl",
         {{"outputs", {{"authenticationResult", 12}}}},
         trampoline,
         ZV_SUCCESS,
         [](const Outs& o) {
             EXPECT_EQ(12u, o.value);
             EXPECT_EQ(nullptr, o.text);
         }},
        {"trampoline result 13: the URL",
         "GenerateTrampolineUrl",
         {{"outputs", {{"authenticationResult", 13}, {"trampolineUrl", "https://t/"}}}},
         trampoline,
         ZV_SUCCESS,
         [](const Outs& o) { EXPECT_EQ("https://t/", Narrow(o.text)); }},
        {"discovery result 5: no data",
         "RetrieveGatewayDiscoveryData",
         {{"outputs", {{"authenticationResult", 5}}}},
         [&](Outs& o) { return api.v3->RetrieveGatewayDiscoveryData(connection, &kGateway, 0, &o.text, &o.value); },
         ZV_SUCCESS,
         [](const Outs& o) {
             EXPECT_EQ(5u, o.value);
             EXPECT_EQ(nullptr, o.text);
         }},
        {"service code 0x203",
         "Prepare",
         {{"hr", "0x80040203"}, {"errorDescription", "no"}},
         [&](Outs& o) { return api.v1->Prepare(context, nullptr, &o.value); },
         65532,
         [](const Outs& o) { EXPECT_EQ(0u, o.value); }},
        {"E_ABORT",
         "GetHeaders",
         {{"hr", "E_ABORT"}},
         getHeaders,
         ZV_ERROR_CANCELLED,
         [](const Outs& o) { EXPECT_EQ(nullptr, o.table); }},
        {"RPC range",
         "GetVersion",
         {{"hr", "RPC_S_SERVER_UNAVAILABLE"}},
         version,
         ZV_ERROR_SERVICE_UNAVAILABLE,
         [](const Outs& o) { EXPECT_EQ(nullptr, o.text); }},
        {"service code 0x200: status kept",
         "GetLogonStatus",
         {{"hr", "0x80040200"}},
         logonStatus,
         ZV_ERROR_SERVICE_CODE_200,
         [](const Outs& o) { EXPECT_EQ(Outs::kMark, o.value); }},
        {"failure: translated URL kept",
         "GetTranslatedUrl",
         {{"hr", "E_ACCESSDENIED"}},
         translated,
         ZV_ERROR_FAILED,
         [](const Outs& o) { EXPECT_EQ(Outs::Mark<ZVChar>(), o.text); }},
        {"service code 0x201: VPN record kept",
         "GetVpnAuthorizationInfo",
         {{"hr", "0x80040201"}},
         vpnInfo,
         ZV_ERROR_SERVICE_CODE_201,
         [](const Outs& o) { EXPECT_EQ(Outs::Mark<_ZV_VPN_AUTHORIZATION_INFO>(), o.vpn); }},
        {"creation out of memory",
         "CreateRequestContext",
         {{"hr", "E_OUTOFMEMORY"}},
         [&](Outs& o) { return api.v1->CreateRequestContext(connection, L"u", 0, &o.value); },
         ZV_ERROR_OUT_OF_MEMORY,
         [](const Outs& o) { EXPECT_EQ(0u, o.value); }},
        {"plain call refused",
         "LogOff",
         {{"hr", "E_INVALIDARG"}},
         [&](Outs&) { return api.v1->LogOff(connection); },
         ZV_ERROR_INVALID_PARAMETER,
         [](const Outs&) {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ASSERT_TRUE(control->SetScenario({{"methods", {{row.method, row.entry}}}}));
        Outs outs;
        EXPECT_EQ(row.result, row.call(outs));
        row.check(outs);
        EXPECT_EQ(1u, control->CallCount(row.method));
        if (outs.text != Outs::Mark<ZVChar>()) api.v3->FreeTrampolineUrl(outs.text);
        if (outs.table != Outs::Mark<ZVChar*>()) api.v1->FreeHeaders(outs.table);
        if (outs.serverType != Outs::Mark<_ZV_SERVER_TYPE_INFO>()) api.v3->FreeServerTypeInfo(outs.serverType);
        if (outs.vpn != Outs::Mark<_ZV_VPN_AUTHORIZATION_INFO>()) api.v2->FreeVpnAuthorizationInfo(outs.vpn);
        ASSERT_TRUE(control->Reset());
    }
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147746307"));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::GetHeaders: caught an unclassified exception"));
}

TEST_F(AuthApiTest, OperationsRunFromASingleThreadedApartment) {
    ZVResult versionResult = 0, prepareResult = 0;
    ZVChar* version = nullptr;
    unsigned int authenticationResult = 0;
    ASSERT_TRUE(control->SetMethod("Prepare", {{"outputs", {{"authenticationResult", 13}}}}));
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        versionResult = api.v3->GetVersion(connection, &version);
        prepareResult = api.v1->Prepare(context, nullptr, &authenticationResult);
        CoUninitialize();
    });
    sta.join();
    EXPECT_EQ(ZV_SUCCESS, versionResult);
    EXPECT_EQ("12.0.0.1", Narrow(version));
    EXPECT_EQ(ZV_SUCCESS, prepareResult);
    EXPECT_EQ(13u, authenticationResult);
    api.v3->FreeTrampolineUrl(version);
}
