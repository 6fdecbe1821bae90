// What the SDK makes of the service's answers, through real calls into the
// stand-in's process: converted outputs, malformed outputs, failing results.

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

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

// What the outputs must satisfy after the call.
#define IF(expression) [](const Outs& o) { return (void)o, (expression); }

TEST_F(AuthApiTest, ServiceAnswersBecomeOutputsOrTheDefinedResult) {
    unsigned int vpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    const Json gateway = {{"gatewayUrl", "U"}, {"gatewayString", "S"}, {"gatewayValue1", 7}, {"gatewayValue3", 9}};
    struct Row {
        const char* method;
        Json entry;
        ZVResult result;
        std::function<bool(const Outs&)> outputs;
    };
    const std::vector<Row> rows = {
        {"GetHeaders", Outputs({{"headers", nullptr}}), ZV_ERROR_FAILED, IF(!o.table)},
        {"GetHeaders", Outputs({{"headers", {{"vt", 3}, {"count", 2}}}}), ZV_ERROR_FAILED, IF(!o.table)},
        {"GetHeaders", Outputs({{"headers", {{"lowerBound", 1}, {"strings", {"a"}}}}}), ZV_ERROR_FAILED, IF(!o.table)},
        {"GetHeaders", Outputs({{"headers", Json::array()}}), ZV_SUCCESS, IF(o.table && !o.table[0])},
        {"GetHeaders", Outputs({{"headers", {"a", nullptr, "bc"}}}), ZV_SUCCESS,
         IF(Narrow(o.table[0]) == "a" && Narrow(o.table[1]).empty() && Narrow(o.table[2]) == "bc" && !o.table[3] &&
            o.table[2] == o.table[1] + 1)},
        {"GetTranslatedUrl", Outputs({{"translatedUrl", nullptr}}), ZV_SUCCESS, IF(o.text && !*o.text)},
        {"GetVersion", Outputs({{"version", nullptr}}), ZV_SUCCESS, IF(o.text && !*o.text)},
        {"GetVpnAuthorizationInfo", Outputs({{"firstString", nullptr}, {"secondString", nullptr}, {"result", 9}}),
         ZV_SUCCESS, IF(o.vpn->result == 9 && !*o.vpn->firstString && !*o.vpn->secondString)},
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 2}}}}), ZV_SUCCESS,
         IF(IsGateway(o.serverType->gatewayInfo, "", "", 0, 0))},
        // The service's record has the URL first: the strings change places.
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 2}, {"gatewayInfo", gateway}}}}),
         ZV_SUCCESS, IF(IsGateway(o.serverType->gatewayInfo, "U", "S", 7, 9))},
        {"DetermineServerType", Outputs({{"serverTypeInfo", {{"serverType", 1}, {"gatewayInfo", gateway}}}}),
         ZV_SUCCESS, IF(o.serverType->serverType == 1 && !o.serverType->gatewayInfo)},
        {"GenerateTrampolineUrl", Outputs({{"authenticationResult", 12}}), ZV_SUCCESS, IF(o.value == 12 && !o.text)},
        {"GenerateTrampolineUrl", Outputs({{"authenticationResult", 13}, {"trampolineUrl", "https://t/"}}), ZV_SUCCESS,
         IF(o.value == 13 && Narrow(o.text) == "https://t/")},
        {"RetrieveGatewayDiscoveryData", Outputs({{"authenticationResult", 5}}), ZV_SUCCESS,
         IF(o.value == 5 && !o.text)},
        {"GetLogonStatus", Outputs({{"logonStatus", 7}}), ZV_SUCCESS, IF(o.value == 7)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method + (" " + row.entry.dump()));
        if (zvtest::CrossWidthRecordGap(row.method)) continue;
        ASSERT_TRUE(control->SetScenario({{"methods", {{row.method, row.entry}}}}));
        Outs outs;
        const Operation& op = Named(row.method);
        EXPECT_EQ(row.result, op.call(api, Pick(op.kind, connection, context, vpn), outs));
        EXPECT_TRUE(row.outputs(outs));
        EXPECT_EQ(1u, control->CallCount(row.method));
        outs.Free(api);
        ASSERT_TRUE(control->Reset());
    }
    // Every operation that calls the service, on a failing answer (mapped):
    // the out-parameters it clears after its checks are cleared, the others as the caller set them.
    const std::pair<const char*, ZVResult> failures[] = {
        {"E_ACCESSDENIED", ZV_ERROR_FAILED},       {"0x80040203", 65532},
        {"E_ABORT", ZV_ERROR_CANCELLED},           {"RPC_S_SERVER_UNAVAILABLE", ZV_ERROR_SERVICE_UNAVAILABLE},
        {"0x80040200", ZV_ERROR_SERVICE_CODE_200}, {"0x80040201", ZV_ERROR_SERVICE_CODE_201},
        {"E_OUTOFMEMORY", ZV_ERROR_OUT_OF_MEMORY}, {"E_INVALIDARG", ZV_ERROR_INVALID_PARAMETER}};
    for (size_t i = 0; i < Operations().size(); ++i) {
        const Operation& op = Operations()[i];
        if (op.gate == Gate::None || zvtest::CrossWidthRecordGap(op.name)) continue;
        const auto& failure = failures[i % 8];
        SCOPED_TRACE(op.name + std::string(" ") + failure.first);
        ASSERT_TRUE(control->SetScenario({{"methods", {{op.name, Fails(failure.first)}}}}));
        Outs outs;
        EXPECT_EQ(failure.second, op.call(api, Pick(op.kind, connection, context, vpn), outs));
        EXPECT_TRUE(outs.Exactly(op.cleared));
        EXPECT_EQ(1u, control->CallCount(op.name));
        outs.Free(api);
        ASSERT_TRUE(control->Reset());
    }
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::GetHeaders: caught an unclassified exception"));
}
