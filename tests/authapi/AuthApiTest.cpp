// What every operation of the authentication API does before it reaches the
// service (argument checks, handle look-ups, the re-entrancy refusal), what it
// makes of the service's answers, and how its service calls meet the gate.

#include "authapi/AuthApiFixture.h"

using namespace authtest;

#define V1 "ZVImplementationV1::"
#define Q1 "BrennicZelvarSDK::ZVImplementationV1::"

namespace {

std::string WithHandle(const char* format, unsigned int handle) {
    char text[200];
    snprintf(text, sizeof text, format, handle);
    return text;
}

}  // namespace

TEST_F(AuthApiTest, ArgumentChecksTraceTheFirstFailingCheckAndNeverReachTheService) {
    unsigned int u = 0, n = connection, r = context;
    ZVChar* text = nullptr;
    const Api& a = api;
    const _ZV_GATEWAY_INFO* g = &kGateway;
    const std::vector<std::pair<std::string, std::function<ZVResult()>>> rows = {
        // clang-format off
        {V1 "CreateRequestContext failed because the requestContextHandle is NULL!",
         [&] { return a.v1->CreateRequestContext(n, nullptr, 0, nullptr); }},
        {V1 "CreateRequestContext failed because the URL is NULL!",
         [&] { return a.v1->CreateRequestContext(n, 0, 0, &u); }},
        {V1 "Prepare failed because the authenticationResult pointer is NULL!", [&] { return a.v1->Prepare(r, 0, 0); }},
        {"GetHeaders was given a null pointer reference parameter to fill.", [&] { return a.v1->GetHeaders(r, 0); }},
        {"GetTranslatedUrl the URL to translate a null pointer.", [&] { return a.v1->GetTranslatedUrl(r, 0); }},
        {V1 "Prepare2 failed because the authenticationResult pointer is NULL!", [&] { return a.v2->Prepare2(r, 0); }},
        {V1 "ForceRoute failed because the gatewayInfo is NULL!", [&] { return a.v2->ForceRoute(r, 0); }},
        {V1 "GenerateTrampolineUrl failed because the trampolineUrl is NULL!",
         [&] { return a.v3->GenerateTrampolineUrl(n, L"t", 0, L"p", 0, 0); }},
        {V1 "GenerateTrampolineUrl failed because the authenticationResult is NULL!",
         [&] { return a.v3->GenerateTrampolineUrl(n, L"t", 0, L"p", &text, 0); }},
        {V1 "CreateVpnAuthContext failed because the vpnAuthContextHandle is NULL!",
         [&] { return a.v2->CreateVpnAuthContext(n, 0, 0, 0); }},
        {V1 "CreateVpnAuthContext failed because the gatewayInfo is NULL!",
         [&] { return a.v2->CreateVpnAuthContext(n, 0, 0, &u); }},
        {V1 "GetVpnAuthorizationInfo the vpnAuthorizationInfo param is a null pointer.",
         [&] { return a.v2->GetVpnAuthorizationInfo(r, 0); }},
        {V1 "GetVersion failed because the version param is NULL!", [&] { return a.v3->GetVersion(n, 0); }},
        {V1 "DetermineServerType failed because the serverTypeInfo is NULL!",
         [&] { return a.v3->DetermineServerType(n, 0, 0); }},
        {Q1 "RetrieveGatewayDiscoveryData failed because the gatewayInfo is NULL!",
         [&] { return a.v3->RetrieveGatewayDiscoveryData(n, 0, 0, 0, 0); }},
        {Q1 "RetrieveGatewayDiscoveryData failed because the outAuthenticationResult is NULL!",
         [&] { return a.v3->RetrieveGatewayDiscoveryData(n, g, 0, 0, 0); }},
        {Q1 "RetrieveGatewayDiscoveryData failed because the outDiscoveryData is NULL!",
         [&] { return a.v3->RetrieveGatewayDiscoveryData(n, g, 0, 0, &u); }},
        {Q1 "LogOffGateway failed because the gatewayInfo is NULL!", [&] { return a.v4->LogOffGateway(n, 0); }},
        {Q1 "GetLogonStatus failed because the outLogonStatus param is NULL!",
         [&] { return a.v4->GetLogonStatus(n, 0, 0); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const size_t before = trace.Messages().size();
        EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, row.second());
        // Exactly one line: the first failing check's message, no other.
        const std::vector<std::string> after = trace.Messages();
        ASSERT_EQ(before + 1, after.size());
        EXPECT_EQ("Err|" + row.first, after.back());
    }
    EXPECT_EQ(0u, control->Calls().size());
}

// Also: one counter for all kinds of handle, and a failed creation burns its number.
TEST_F(AuthApiTest, HandlesOfAnotherKindOrGoneAreRefusedBeforeTheServiceAndLeaveOutputsAsDefined) {
    ASSERT_EQ(1u, connection);  // and request context 2
    unsigned int gone[3] = {};  // a connection, a request context, a VPN context, each destroyed
    ASSERT_EQ(ZV_SUCCESS, api.v1->CreateConnection(L"Gone", nullptr, nullptr, &gone[0]));
    ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"u", 0, &gone[1]));
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &gone[2]));
    // Wine reports the revoke of a proxy as failed (65526) after removing the
    // entry; the handle is gone either way.
    api.v1->DestroyConnection(gone[0]);
    api.v1->DestroyRequestContext(gone[1]);
    api.v2->DestroyVpnAuthContext(gone[2]);
    ASSERT_TRUE(control->Reset());

    for (const Operation& op : Operations()) {
        if (!op.missTrace) continue;
        const unsigned int otherKind = Pick(op.kind, context, connection, context);
        for (unsigned int handle : {otherKind, Pick(op.kind, gone[0], gone[1], gone[2]), 0u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(op.name) + " with handle " + std::to_string(handle));
            Outs outs;
            EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, op.call(api, handle, outs));
            EXPECT_TRUE(trace.Contains(WithHandle(op.missTrace, handle)));
            EXPECT_TRUE(outs.Exactly(op.cleared));
        }
    }
    EXPECT_EQ(0u, control->Calls().size()) << control->Calls().dump();
    EXPECT_EQ((std::vector<unsigned int>{3, 4, 5}), std::vector<unsigned int>(gone, gone + 3));
    unsigned int next = 0;  // after 5, eight failed creations (two operations, four handles each)
    ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"u", 0, &next));
    EXPECT_EQ(14u, next);
    EXPECT_TRUE(
        trace.InOrder({" failed to get Zelvar connection for handle 2",
                       "AddAuthContext Caught unexpected COM error 2147942406 - Bad COM registration perhaps?",
                       Q1 "CreateRequestContext failed with thread worker returning 2147942406 ",
                       "AddVpnAuthContext Caught unexpected COM error 2147942406 - Bad COM registration perhaps?"}));
}

// The lifecycle operations too; nothing changes: the connection stays and
// the initialisation count is as it was.
TEST_F(AuthApiTest, EveryOperationIsRefusedFromInsideTheStatusCallback) {
    unsigned int vpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    ASSERT_TRUE(control->Reset());
    std::vector<ZVResult> results, lifecycle;
    ZVResult sent = 0;  // a refused send also traces its mapped result
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    onStatus = [&](unsigned int) {
        Outs outs;
        for (const Operation& op : Operations())
            results.push_back(op.call(api, Pick(op.kind, connection, context, vpn), outs));
        sent = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5)->SendRequestAndReceiveResponse(7);
        lifecycle = {api.v1->DestroyConnection(connection), api.v1->Initialize(), api.v1->Uninitialize()};
        SetEvent(done);
    };
    control->FireEvents({{"status", 5}});  // to the newest live connection: this one
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 30000));
    CloseHandle(done);
    for (size_t i = 0; i < results.size(); ++i) {
        const std::string name = Q1 + std::string(Operations()[i].name);
        EXPECT_EQ(ZV_ERROR_FAILED, results[i]) << name;
        EXPECT_TRUE(trace.InOrder(
            {name + ": RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", name + ": caught COM error 2147500037"}));
    }
    EXPECT_EQ(Operations().size(), results.size());
    EXPECT_EQ(ZV_ERROR_FAILED, sent);
    EXPECT_TRUE(trace.Contains("SendAndReceive completed for handle 7 with ZVResult 65526"));
    EXPECT_EQ(std::vector<ZVResult>(3, ZV_ERROR_FAILED), lifecycle);
    for (const char* name : {"DestroyConnection", "Initialize", "Uninitialize"})
        EXPECT_TRUE(trace.Contains(Q1 + std::string(name) + ": RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE"));
    EXPECT_EQ(0u, control->Calls().size()) << control->Calls().dump();
    ZVChar* version = nullptr;
    EXPECT_EQ(ZV_SUCCESS, api.v3->GetVersion(connection, &version));
    api.v3->FreeTrampolineUrl(version);
    EXPECT_EQ(ZV_SUCCESS, api.v1->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, api.v1->Uninitialize());
    initialized = false;
}
