// Values the application passes reach the service unchanged across the
// process boundary: strings, string lists in order with indices from 0,
// numbers, gateway records with their two strings swapped. One parameterised
// test per service interface; the stand-in records what it received.
#include <map>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

const ZVChar* const kThree[] = {L"first", L"second", L"third", nullptr};
const ZVChar kA[] = L"A", kB[] = L"B";
const _ZV_GATEWAY_INFO kAB = {const_cast<ZVChar*>(kA), const_cast<ZVChar*>(kB), 1, 2, 0xFFFFFFFF};
const Json kSwapped = {{"gatewayUrl", "B"},
                       {"gatewayString", "A"},
                       {"gatewayValue1", 1},
                       {"gatewayValue2", 2},
                       {"gatewayValue3", 0xFFFFFFFFu}};
const Json kList = {"first", "second", "third"};

typedef const Api& A;
typedef Outs& O;
struct Forwarded {
    const char* method;
    std::function<ZVResult(A, unsigned connection, unsigned context, O)> call;
    Json args;  // each member as the stand-in must have recorded it
};

// clang-format off
const std::map<std::string, std::vector<Forwarded>> kByInterface = {
    {"IZelvarAuthContext", {
        {"Prepare", [](A a, unsigned, unsigned c, O o) { return a.v1->Prepare(c, kThree, &o.value); },
         {{"requestStrings", kList}}},
        {"Prepare", [](A a, unsigned, unsigned c, O o) { return a.v1->Prepare(c, nullptr, &o.value); },
         {{"requestStrings", Json::array()}}},
        {"ReportHttpResponse", [](A a, unsigned, unsigned c, O) { return a.v2->ReportHttpResponse(c, 404, kThree); },
         {{"responseCode", 404}, {"responseStrings", kList}}},
        {"ReportHttpFailure", [](A a, unsigned, unsigned c, O) { return a.v2->ReportHttpFailure(c, 12029); },
         {{"failureCode", 12029}}},
        {"ForceRoute", [](A a, unsigned, unsigned c, O) { return a.v2->ForceRoute(c, &kAB); },
         {{"gatewayInfo", kSwapped}}},
        {"SetReferenceUrl", [](A a, unsigned, unsigned c, O) { return a.v3->SetReferenceUrl(c, L"r"); },
         {{"referenceUrl", "r"}, {"contextUrl", "https://app.zelvar.test/a"}}}}},
    {"IZelvarConnection", {
        {"CreateRequestContext", [](A a, unsigned n, unsigned, O o) {
             return a.v1->CreateRequestContext(n, L"https://x/", 0x11, &o.value); },
         {{"url", "https://x/"}, {"contextFlags", 0x11}}},
        {"CreateVpnAuthContext", [](A a, unsigned n, unsigned, O o) {
             return a.v2->CreateVpnAuthContext(n, &kAB, 6, &o.value); },
         {{"gatewayInfo", kSwapped}, {"contextFlags", 6}}},
        {"GenerateTrampolineUrl", [](A a, unsigned n, unsigned, O o) {
             return a.v3->GenerateTrampolineUrl(n, L"https://t/", 3, L"p", &o.text, &o.value); },
         {{"targetUrl", "https://t/"}, {"trampolineOptions", 3}, {"trampolineParameter", "p"}}},
        {"SetClientWindow", [](A a, unsigned n, unsigned, O) {
             return a.v3->SetClientWindow(n, reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234567890ull))); },
         {{"window", 0x34567890u}}},  // the low 32 bits
        {"DetermineServerType", [](A a, unsigned n, unsigned, O o) {
             return a.v3->DetermineServerType(n, 0, &o.serverType); },
         {{"serverUrl", nullptr}}},
        {"RetrieveGatewayDiscoveryData", [](A a, unsigned n, unsigned, O o) {
             return a.v3->RetrieveGatewayDiscoveryData(n, &kAB, 8, &o.text, &o.value); },
         {{"gatewayInfo", kSwapped}, {"discoveryOptions", 8}}},
        {"LogOffGateway", [](A a, unsigned n, unsigned, O) { return a.v4->LogOffGateway(n, &kAB); },
         {{"gatewayInfo", kSwapped}}},
        {"LogOffAuthService", [](A a, unsigned n, unsigned, O) { return a.v4->LogOffAuthService(n, L"svc"); },
         {{"authService", "svc"}}},
        {"GetLogonStatus", [](A a, unsigned n, unsigned, O o) { return a.v4->GetLogonStatus(n, nullptr, &o.value); },
         {{"authService", nullptr}}}}},
};
// clang-format on

class ForwardingTest : public AuthApiTest, public ::testing::WithParamInterface<const char*> {};

}  // namespace

TEST_P(ForwardingTest, ArgumentsReachTheServiceUnchanged) {
    for (const Forwarded& row : kByInterface.at(GetParam())) {
        SCOPED_TRACE(row.method + (" " + row.args.dump()));
        if (zvtest::CrossWidthRecordGap(row.method)) continue;
        ASSERT_TRUE(control->Reset());
        Outs outs;
        EXPECT_EQ(ZV_SUCCESS, row.call(api, connection, context, outs));
        outs.Free(api);
        const Json recorded = control->LastArgs(row.method);
        for (const auto& expected : row.args.items()) EXPECT_EQ(expected.value(), recorded[expected.key()]);
    }
}

INSTANTIATE_TEST_SUITE_P(Interfaces, ForwardingTest, ::testing::Values("IZelvarAuthContext", "IZelvarConnection"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
