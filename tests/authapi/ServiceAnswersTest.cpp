// What the SDK makes of the service's answers, through real calls into the
// stand-in's process: converted outputs, malformed outputs, failing results.
#include <thread>
#include <vector>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

const _ZV_GATEWAY_INFO kGateway = {nullptr, nullptr, 0, 0, 0};

Json Outputs(const Json& outputs) {
    return {{"outputs", outputs}};
}
Json Fails(const char* hr) {
    return {{"hr", hr}, {"errorDescription", "refused by the service"}};
}
bool IsGateway(const _ZV_GATEWAY_INFO* g, const char* url, const char* string, unsigned v1, unsigned v3) {
    return g && Narrow(g->gatewayUrl) == url && Narrow(g->gatewayString) == string && g->gatewayValue1 == v1 &&
           g->gatewayValue2 == 0 && g->gatewayValue3 == v3;
}

}  // namespace

TEST_F(AuthApiTest, ServiceAnswersBecomeOutputsOrTheDefinedResult) {
    unsigned int vpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    typedef std::function<ZVResult(Outs&)> Call;
    const Call headers = [&](Outs& o) { return api.v1->GetHeaders(context, &o.table); };
    const Call serverType = [&](Outs& o) { return api.v3->DetermineServerType(connection, L"s", &o.serverType); };
    const Call trampoline = [&](Outs& o) {
        return api.v3->GenerateTrampolineUrl(connection, L"t", 0, nullptr, &o.text, &o.value);
    };
    const Call discovery = [&](Outs& o) {
        return api.v3->RetrieveGatewayDiscoveryData(connection, &kGateway, 0, &o.text, &o.value);
    };
    const Call version = [&](Outs& o) { return api.v3->GetVersion(connection, &o.text); };
    const Call vpnInfo = [&](Outs& o) { return api.v2->GetVpnAuthorizationInfo(vpn, &o.vpn); };
    const Call logonStatus = [&](Outs& o) { return api.v4->GetLogonStatus(connection, L"s", &o.value); };
    const Call translated = [&](Outs& o) { return api.v1->GetTranslatedUrl(context, &o.text); };
    const Call prepare = [&](Outs& o) { return api.v1->Prepare(context, nullptr, &o.value); };
    const Json gateway = {{"gatewayUrl", "U"}, {"gatewayString", "S"}, {"gatewayValue1", 7}, {"gatewayValue3", 9}};
    struct Row {
        const char* method;
        Json entry;
        Call call;
        ZVResult result;
        std::function<bool(const Outs&)> outputs;
    };
    const std::vector<Row> rows = {
        {"GetHeaders", Outputs({{"headers", nullptr}}), headers, ZV_ERROR_FAILED,
         [](const Outs& o) { return !o.table; }},
        {"GetHeaders", Outputs({{"headers", {{"vt", 3}, {"count", 2}}}}), headers, ZV_ERROR_FAILED,
         [](const Outs& o) { return !o.table; }},
        {"GetHeaders", Outputs({{"headers", {{"lowerBound", 1}, {"strings", {"a"}}}}}), headers, ZV_ERROR_FAILED,
         [](const Outs& o) { return !o.table; }},
        {"GetHeaders", Outputs({{"headers", Json::array()}}), headers, ZV_SUCCESS,
         [](const Outs& o) { return o.table && !o.table[0]; }},
        {"GetHeaders", Outputs({{"headers", {"a", nullptr, "bc"}}}), headers, ZV_SUCCESS,
         [](const Outs& o) {
             return Narrow(o.table[0]) == "a" && Narrow(o.table[1]).empty() && Narrow(o.table[2]) == "bc" &&
                    !o.table[3] && o.table[2] == o.table[1] + 1;
         }},
        {"GetTranslatedUrl", Outputs({{"translatedUrl", nullptr}}), translated, ZV_SUCCESS,
         [](const Outs& o) { return o.text && !*o.text; }},
        {"GetVersion", Outputs({{"version", nullptr}}), version, ZV_SUCCESS,
         [](const Outs& o) { return o.text && !*o.text; }},
        {"GetVpnAuthorizationInfo", Outputs({{"firstString", nullptr}, {"secondString", nullptr}, {"result", 9}}),
         vpnInfo, ZV_SUCCESS,
         [](const Outs& o) { return o.vpn->result == 9 && !*o.vpn->firstString && !*o.vpn->secondString; }},
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 2}}}}), serverType, ZV_SUCCESS,
         [](const Outs& o) { return IsGateway(o.serverType->gatewayInfo, "", "", 0, 0); }},
        // The service's record has the URL first: the strings change places.
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 2}, {"gatewayInfo", gateway}}}}),
         serverType, ZV_SUCCESS, [](const Outs& o) { return IsGateway(o.serverType->gatewayInfo, "U", "S", 7, 9); }},
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 1}, {"gatewayInfo", gateway}}}}),
         serverType, ZV_SUCCESS,
         [](const Outs& o) { return o.serverType->serverType == 1 && !o.serverType->gatewayInfo; }},
        {"GenerateTrampolineUrl", Outputs({{"authenticationResult", 12}}), trampoline, ZV_SUCCESS,
         [](const Outs& o) { return o.value == 12 && !o.text; }},
        {"GenerateTrampolineUrl", Outputs({{"authenticationResult", 13}, {"trampolineUrl", "https://t/"}}), trampoline,
         ZV_SUCCESS, [](const Outs& o) { return o.value == 13 && Narrow(o.text) == "https://t/"; }},
        {"RetrieveGatewayDiscoveryData", Outputs({{"authenticationResult", 5}}), discovery, ZV_SUCCESS,
         [](const Outs& o) { return o.value == 5 && !o.text; }},
        {"GetLogonStatus", Outputs({{"logonStatus", 7}}), logonStatus, ZV_SUCCESS,
         [](const Outs& o) { return o.value == 7; }},
        // Failing service results, mapped; outputs cleared or kept as defined.
        {"Prepare", Fails("0x80040203"), prepare, 65532, [](const Outs& o) { return o.value == 0; }},
        {"GetHeaders", Fails("E_ABORT"), headers, ZV_ERROR_CANCELLED, [](const Outs& o) { return !o.table; }},
        {"GetVersion", Fails("RPC_S_SERVER_UNAVAILABLE"), version, ZV_ERROR_SERVICE_UNAVAILABLE,
         [](const Outs& o) { return !o.text; }},
        {"GetLogonStatus", Fails("0x80040200"), logonStatus, ZV_ERROR_SERVICE_CODE_200,
         [](const Outs& o) { return o.value == Outs::kMark; }},
        {"GetTranslatedUrl", Fails("E_ACCESSDENIED"), translated, ZV_ERROR_FAILED,
         [](const Outs& o) { return o.text == Outs::Mark<ZVChar>(); }},
        {"GetVpnAuthorizationInfo", Fails("0x80040201"), vpnInfo, ZV_ERROR_SERVICE_CODE_201,
         [](const Outs& o) { return o.vpn == Outs::Mark<_ZV_VPN_AUTHORIZATION_INFO>(); }},
        {"CreateRequestContext", Fails("E_OUTOFMEMORY"),
         [&](Outs& o) { return api.v1->CreateRequestContext(connection, L"u", 0, &o.value); }, ZV_ERROR_OUT_OF_MEMORY,
         [](const Outs& o) { return o.value == 0; }},
        {"LogOff", Fails("E_INVALIDARG"), [&](Outs&) { return api.v1->LogOff(connection); }, ZV_ERROR_INVALID_PARAMETER,
         [](const Outs&) { return true; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method + (" " + row.entry.dump()));
        ASSERT_TRUE(control->SetScenario({{"methods", {{row.method, row.entry}}}}));
        Outs outs;
        EXPECT_EQ(row.result, row.call(outs));
        EXPECT_TRUE(row.outputs(outs));
        EXPECT_EQ(1u, control->CallCount(row.method));
        outs.Free(api);
        ASSERT_TRUE(control->Reset());
    }
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147746307"));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::GetHeaders: caught an unclassified exception"));
}

TEST_F(AuthApiTest, OperationsRunFromASingleThreadedApartment) {
    ASSERT_TRUE(control->SetMethod("Prepare", Outputs({{"authenticationResult", 13}})));
    Outs version, prepared;
    ZVResult results[2] = {};
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        results[0] = api.v3->GetVersion(connection, &version.text);
        results[1] = api.v1->Prepare(context, nullptr, &prepared.value);
        CoUninitialize();
    });
    sta.join();
    EXPECT_EQ(ZV_SUCCESS, results[0]);
    EXPECT_EQ("12.0.0.1", Narrow(version.text));
    EXPECT_EQ(ZV_SUCCESS, results[1]);
    EXPECT_EQ(13u, prepared.value);
    version.Free(api);
}
