// What every operation of the authentication API does before it reaches the
// service (argument checks, handle look-ups, the re-entrancy refusal), what it
// makes of the service's answers, and how its service calls meet the gate.
#include <thread>
#include <vector>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

const ZVChar* const kGatewayStrings[] = {L"corporate", L"https://gw.zelvar.test/"};
const _ZV_GATEWAY_INFO kGateway = {const_cast<ZVChar*>(kGatewayStrings[0]), const_cast<ZVChar*>(kGatewayStrings[1]), 1,
                                   2, 3};

// The kind of handle an operation takes.
enum class Kind { Connection, RequestContext, Vpn };

struct Operation {
    const char* name;
    Kind kind;
    // Whether a failure after the argument checks leaves the out-parameter
    // cleared (true) or as the caller set it (false; also for no outputs).
    bool clears;
    const char* missTrace;  // the look-up's failure trace, %u the handle
    std::function<ZVResult(const Api&, unsigned int handle, Outs&)> call;
};

const char kConnMiss[] = " failed to get Zelvar connection for handle %u";
const char kRcMiss[] = ": RequestContextTable::Get_SharedLock_Throws failed to get object for handle %u";
const char kVpnMiss[] = ": VpnAuthContextTable::Get_SharedLock_Throws failed to get object for handle %u";
#define OWN_NAME_MISS(op) "BrennicZelvarSDK::ZVImplementationV1::" op " failed to get Zelvar connection for handle %u"

// clang-format off
const std::vector<Operation>& Operations() {
    typedef const Api& A;
    typedef Outs& O;
    const Kind kConn = Kind::Connection, kRc = Kind::RequestContext, kVpn = Kind::Vpn;
    static const std::vector<Operation> all = {
        {"CreateRequestContext", kConn, true, kConnMiss,
         [](A a, unsigned h, O o) { return a.v1->CreateRequestContext(h, L"u", 0, &o.value); }},
        {"CreateVpnAuthContext", kConn, true, kConnMiss,
         [](A a, unsigned h, O o) { return a.v2->CreateVpnAuthContext(h, &kGateway, 0, &o.value); }},
        {"GenerateTrampolineUrl", kConn, true, kConnMiss,
         [](A a, unsigned h, O o) { return a.v3->GenerateTrampolineUrl(h, L"t", 0, nullptr, &o.text, &o.value); }},
        {"GetVersion", kConn, true, kConnMiss, [](A a, unsigned h, O o) { return a.v3->GetVersion(h, &o.text); }},
        {"SetClientWindow", kConn, false, kConnMiss, [](A a, unsigned h, O) { return a.v3->SetClientWindow(h, 0); }},
        {"DetermineServerType", kConn, true, kConnMiss,
         [](A a, unsigned h, O o) { return a.v3->DetermineServerType(h, L"s", &o.serverType); }},
        {"RetrieveGatewayDiscoveryData", kConn, true, kConnMiss,
         [](A a, unsigned h, O o) { return a.v3->RetrieveGatewayDiscoveryData(h, &kGateway, 0, &o.text, &o.value); }},
        {"LogOffGateway", kConn, false, kConnMiss,
         [](A a, unsigned h, O) { return a.v4->LogOffGateway(h, &kGateway); }},
        {"LogOffAuthService", kConn, false, kConnMiss,
         [](A a, unsigned h, O) { return a.v4->LogOffAuthService(h, L"s"); }},
        {"GetLogonStatus", kConn, false, kConnMiss,
         [](A a, unsigned h, O o) { return a.v4->GetLogonStatus(h, L"s", &o.value); }},
        {"ClearAllCredentials", kConn, false, OWN_NAME_MISS("ClearAllCredentials"),
         [](A a, unsigned h, O) { return a.v1->ClearAllCredentials(h); }},
        {"CancelAllCalls", kConn, false, OWN_NAME_MISS("CancelAllCalls"),
         [](A a, unsigned h, O) { return a.v1->CancelAllCalls(h); }},
        {"LogOff", kConn, false, OWN_NAME_MISS("LogOff"), [](A a, unsigned h, O) { return a.v1->LogOff(h); }},
        {"Prepare", kRc, true, kRcMiss, [](A a, unsigned h, O o) { return a.v1->Prepare(h, nullptr, &o.value); }},
        {"GetHeaders", kRc, true, kRcMiss, [](A a, unsigned h, O o) { return a.v1->GetHeaders(h, &o.table); }},
        {"GetTranslatedUrl", kRc, false, kRcMiss,
         [](A a, unsigned h, O o) { return a.v1->GetTranslatedUrl(h, &o.text); }},
        {"Prepare2", kRc, true, kRcMiss, [](A a, unsigned h, O o) { return a.v2->Prepare2(h, &o.value); }},
        {"ReportHttpResponse", kRc, false, kRcMiss,
         [](A a, unsigned h, O) { return a.v2->ReportHttpResponse(h, 200, nullptr); }},
        {"ReportHttpFailure", kRc, false, kRcMiss, [](A a, unsigned h, O) { return a.v2->ReportHttpFailure(h, 1); }},
        {"ForceRoute", kRc, false, kRcMiss, [](A a, unsigned h, O) { return a.v2->ForceRoute(h, &kGateway); }},
        {"SetReferenceUrl", kRc, false, kRcMiss, [](A a, unsigned h, O) { return a.v3->SetReferenceUrl(h, L"r"); }},
        {"DestroyRequestContext", kRc, false, "RequestContextTable::Delete_NoLock: The handle %u was not found.",
         [](A a, unsigned h, O) { return a.v1->DestroyRequestContext(h); }},
        {"GetVpnAuthorizationInfo", kVpn, false, kVpnMiss,
         [](A a, unsigned h, O o) { return a.v2->GetVpnAuthorizationInfo(h, &o.vpn); }},
        {"DestroyVpnAuthContext", kVpn, false, "VpnAuthContextTable::Delete_NoLock: The handle %u was not found.",
         [](A a, unsigned h, O) { return a.v2->DestroyVpnAuthContext(h); }},
    };
    return all;
}
// clang-format on

std::string Qualified(const char* operation) {
    return std::string("BrennicZelvarSDK::ZVImplementationV1::") + operation;
}

unsigned int Pick(Kind kind, unsigned int connection, unsigned int context, unsigned int vpn) {
    return kind == Kind::Connection ? connection : kind == Kind::RequestContext ? context : vpn;
}

}  // namespace

TEST_F(AuthApiTest, ArgumentChecksTraceTheFirstFailingCheckAndNeverReachTheService) {
    unsigned int u = 0;
    ZVChar* text = nullptr;
    struct Row {
        std::string message;
        std::function<ZVResult()> call;
    };
    const std::string rdd = Qualified("RetrieveGatewayDiscoveryData");
    // clang-format off
    const std::vector<Row> rows = {
        {"ZVImplementationV1::CreateRequestContext failed because the requestContextHandle is NULL!",
         [&] { return api.v1->CreateRequestContext(connection, nullptr, 0, nullptr); }},
        {"ZVImplementationV1::CreateRequestContext failed because the URL is NULL!",
         [&] { return api.v1->CreateRequestContext(connection, nullptr, 0, &u); }},
        {"ZVImplementationV1::Prepare failed because the authenticationResult pointer is NULL!",
         [&] { return api.v1->Prepare(context, nullptr, nullptr); }},
        {"GetHeaders was given a null pointer reference parameter to fill.",
         [&] { return api.v1->GetHeaders(context, nullptr); }},
        {"GetTranslatedUrl the URL to translate a null pointer.",
         [&] { return api.v1->GetTranslatedUrl(context, nullptr); }},
        {"ZVImplementationV1::Prepare2 failed because the authenticationResult pointer is NULL!",
         [&] { return api.v2->Prepare2(context, nullptr); }},
        {"ZVImplementationV1::ForceRoute failed because the gatewayInfo is NULL!",
         [&] { return api.v2->ForceRoute(context, nullptr); }},
        {"ZVImplementationV1::GenerateTrampolineUrl failed because the trampolineUrl is NULL!",
         [&] { return api.v3->GenerateTrampolineUrl(connection, L"t", 0, L"p", nullptr, nullptr); }},
        {"ZVImplementationV1::GenerateTrampolineUrl failed because the authenticationResult is NULL!",
         [&] { return api.v3->GenerateTrampolineUrl(connection, L"t", 0, L"p", &text, nullptr); }},
        {"ZVImplementationV1::CreateVpnAuthContext failed because the vpnAuthContextHandle is NULL!",
         [&] { return api.v2->CreateVpnAuthContext(connection, nullptr, 0, nullptr); }},
        {"ZVImplementationV1::CreateVpnAuthContext failed because the gatewayInfo is NULL!",
         [&] { return api.v2->CreateVpnAuthContext(connection, nullptr, 0, &u); }},
        {"ZVImplementationV1::GetVpnAuthorizationInfo the vpnAuthorizationInfo param is a null pointer.",
         [&] { return api.v2->GetVpnAuthorizationInfo(context, nullptr); }},
        {"ZVImplementationV1::GetVersion failed because the version param is NULL!",
         [&] { return api.v3->GetVersion(connection, nullptr); }},
        {"ZVImplementationV1::DetermineServerType failed because the serverTypeInfo is NULL!",
         [&] { return api.v3->DetermineServerType(connection, L"s", nullptr); }},
        {rdd + " failed because the gatewayInfo is NULL!",
         [&] { return api.v3->RetrieveGatewayDiscoveryData(connection, nullptr, 0, nullptr, nullptr); }},
        {rdd + " failed because the outAuthenticationResult is NULL!",
         [&] { return api.v3->RetrieveGatewayDiscoveryData(connection, &kGateway, 0, nullptr, nullptr); }},
        {rdd + " failed because the outDiscoveryData is NULL!",
         [&] { return api.v3->RetrieveGatewayDiscoveryData(connection, &kGateway, 0, nullptr, &u); }},
        {Qualified("LogOffGateway") + " failed because the gatewayInfo is NULL!",
         [&] { return api.v4->LogOffGateway(connection, nullptr); }},
        {Qualified("GetLogonStatus") + " failed because the outLogonStatus param is NULL!",
         [&] { return api.v4->GetLogonStatus(connection, L"s", nullptr); }},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        const size_t before = trace.Messages().size();
        EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, row.call());
        // Exactly one line: the first failing check's message, no other.
        const std::vector<std::string> after = trace.Messages();
        ASSERT_EQ(before + 1, after.size());
        EXPECT_EQ(std::string("Err|") + row.message, after.back());
    }
    EXPECT_EQ(0u, ServiceCalls());
}

TEST_F(AuthApiTest, HandlesOfAnotherKindOrGoneAreRefusedBeforeTheServiceAndLeaveOutputsAsDefined) {
    unsigned int vpn = 0, goneConnection = 0, goneContext = 0, goneVpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    ASSERT_EQ(ZV_SUCCESS, api.v1->CreateConnection(L"Gone", nullptr, nullptr, &goneConnection));
    ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"u", 0, &goneContext));
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &goneVpn));
    // On the local-server host Wine reports the revoke of a proxy as failed
    // (65526) after removing the entry; the handle is gone either way.
    api.v1->DestroyConnection(goneConnection);
    api.v1->DestroyRequestContext(goneContext);
    api.v2->DestroyVpnAuthContext(goneVpn);
    ASSERT_TRUE(control->Reset());

    for (const Operation& op : Operations()) {
        const unsigned int otherKind = Pick(op.kind, context, connection, context);
        const unsigned int gone = Pick(op.kind, goneConnection, goneContext, goneVpn);
        for (unsigned int handle : {otherKind, gone, 0u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(op.name) + " with handle " + std::to_string(handle));
            Outs outs;
            EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, op.call(api, handle, outs));
            EXPECT_TRUE(trace.Contains(WithNumber(op.missTrace, handle)));
            if (op.clears) {
                EXPECT_GT(outs.Cleared(), 0);
                EXPECT_EQ(5, outs.Cleared() + outs.Marked());
            } else {
                EXPECT_EQ(5, outs.Marked());
            }
        }
    }
    EXPECT_EQ(0u, ServiceCalls()) << control->Calls().dump();
}

TEST_F(AuthApiTest, HandlesOfAllKindsShareOneCounterAndAFailedCreationBurnsItsNumber) {
    // The fixture holds connection 1 and request context 2.
    ASSERT_EQ(1u, connection);
    ASSERT_EQ(2u, context);
    unsigned int handle = 77;
    EXPECT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &handle));
    EXPECT_EQ(3u, handle);
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, api.v1->CreateRequestContext(context, L"u", 0, &handle));
    EXPECT_EQ(0u, handle);
    EXPECT_TRUE(trace.InOrder({" failed to get Zelvar connection for handle 2",
                               "AddAuthContext Caught unexpected COM error 2147942406 - Bad COM registration perhaps?",
                               "BrennicZelvarSDK::ZVImplementationV1::CreateRequestContext failed with thread worker "
                               "returning 2147942406 "}));
    ASSERT_TRUE(control->SetMethod("CreateVpnAuthContext", {{"hr", "E_ACCESSDENIED"}}));
    EXPECT_EQ(ZV_ERROR_FAILED, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &handle));
    EXPECT_EQ(0u, handle);
    EXPECT_TRUE(
        trace.Contains("AddVpnAuthContext Caught unexpected COM error 2147942405 - Bad COM registration perhaps?"));
    EXPECT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"u", 0, &handle));
    EXPECT_EQ(6u, handle);  // 4 and 5 were drawn by the failed creations
    EXPECT_TRUE(trace.Contains("CreateRequestContext created auth context with handle 6 for URL \"u\""));
}

TEST_F(AuthApiTest, EveryOperationIsRefusedFromInsideTheStatusCallback) {
    unsigned int vpn = 0;
    ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
    ASSERT_TRUE(control->Reset());
    std::vector<ZVResult> results;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    onStatus = [&](unsigned int) {
        for (const Operation& op : Operations()) {
            Outs outs;
            results.push_back(op.call(api, Pick(op.kind, connection, context, vpn), outs));
        }
        SetEvent(done);
    };
    control->FireEvents({{"status", 5}});  // to the newest live connection: this one
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 30000));
    CloseHandle(done);
    ASSERT_EQ(Operations().size(), results.size());
    for (size_t i = 0; i < results.size(); ++i) {
        const std::string name = Qualified(Operations()[i].name);
        EXPECT_EQ(ZV_ERROR_FAILED, results[i]) << name;
        EXPECT_TRUE(trace.InOrder(
            {name + ": RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE", name + ": caught COM error 2147500037"}));
    }
    EXPECT_EQ(0u, ServiceCalls()) << control->Calls().dump();
}
