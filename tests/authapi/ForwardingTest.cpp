// Values the application passes reach the service unchanged across the
// process boundary: strings, string lists in order with indices from 0,
// numbers, gateway records with their two strings swapped. One parameterised
// test per service interface; the stand-in records what it received.
#include <vector>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

const ZVChar* const kThree[] = {L"first", L"second", L"third", nullptr};
const ZVChar* const kEmptyList[] = {nullptr};
const ZVChar kGatewayString[] = L"A";
const ZVChar kGatewayUrl[] = L"B";
const _ZV_GATEWAY_INFO kGateway = {const_cast<ZVChar*>(kGatewayString), const_cast<ZVChar*>(kGatewayUrl), 1, 2,
                                   0xFFFFFFFF};
const Json kSwapped = {{"gatewayUrl", "B"},
                       {"gatewayString", "A"},
                       {"gatewayValue1", 1},
                       {"gatewayValue2", 2},
                       {"gatewayValue3", 0xFFFFFFFFu}};
const _ZV_GATEWAY_INFO kNullStrings = {nullptr, nullptr, 0, 0, 0};

struct Forwarded {
    const char* method;
    std::function<ZVResult(const Api&, unsigned int connection, unsigned int context)> call;
    Json args;  // every member must have been recorded with this value
};

struct Interface {
    const char* name;
    std::vector<Forwarded> rows;
};

class ForwardingTest : public AuthApiTest, public ::testing::WithParamInterface<Interface> {};

void PrintTo(const Interface& tested, std::ostream* out) {
    *out << tested.name;
}

}  // namespace

TEST_P(ForwardingTest, ArgumentsReachTheServiceUnchanged) {
    for (const Forwarded& row : GetParam().rows) {
        SCOPED_TRACE(row.method + (" " + row.args.dump()));
        ASSERT_TRUE(control->Reset());
        EXPECT_EQ(ZV_SUCCESS, row.call(api, connection, context));
        const Json recorded = control->LastArgs(row.method);
        for (const auto& expected : row.args.items()) EXPECT_EQ(expected.value(), recorded[expected.key()]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, ForwardingTest,
    ::testing::Values(
        Interface{"IZelvarAuthContext",
                  {{"Prepare", [](const Api& a, unsigned, unsigned c) {
                        unsigned int r;
                        return a.v1->Prepare(c, kThree, &r);
                    },
                    {{"requestStrings", {"first", "second", "third"}}}},
                   {"Prepare", [](const Api& a, unsigned, unsigned c) {
                        unsigned int r;
                        return a.v1->Prepare(c, nullptr, &r);
                    },
                    {{"requestStrings", Json::array()}}},
                   {"ReportHttpResponse",
                    [](const Api& a, unsigned, unsigned c) { return a.v2->ReportHttpResponse(c, 404, kThree); },
                    {{"responseCode", 404}, {"responseStrings", {"first", "second", "third"}}}},
                   {"ReportHttpResponse",
                    [](const Api& a, unsigned, unsigned c) { return a.v2->ReportHttpResponse(c, 0, kEmptyList); },
                    {{"responseStrings", Json::array()}}},
                   {"ReportHttpFailure", [](const Api& a, unsigned, unsigned c) { return a.v2->ReportHttpFailure(c, 12029); },
                    {{"failureCode", 12029}}},
                   {"ForceRoute", [](const Api& a, unsigned, unsigned c) { return a.v2->ForceRoute(c, &kGateway); },
                    {{"gatewayInfo", kSwapped}}},
                   {"ForceRoute", [](const Api& a, unsigned, unsigned c) { return a.v2->ForceRoute(c, &kNullStrings); },
                    {{"gatewayInfo",
                      {{"gatewayUrl", nullptr}, {"gatewayString", nullptr}, {"gatewayValue1", 0}, {"gatewayValue2", 0}, {"gatewayValue3", 0}}}}},
                   {"SetReferenceUrl", [](const Api& a, unsigned, unsigned c) { return a.v3->SetReferenceUrl(c, nullptr); },
                    {{"referenceUrl", nullptr}}},
                   {"SetReferenceUrl", [](const Api& a, unsigned, unsigned c) { return a.v3->SetReferenceUrl(c, L"r"); },
                    {{"referenceUrl", "r"}, {"contextUrl", "https://app.zelvar.test/a"}}}}},
        Interface{"IZelvarConnection",
                  {{"CreateRequestContext",
                    [](const Api& a, unsigned n, unsigned) {
                        unsigned int h;
                        return a.v1->CreateRequestContext(n, L"https://x/", 0x11, &h);
                    },
                    {{"url", "https://x/"}, {"contextFlags", 0x11}}},
                   {"CreateVpnAuthContext",
                    [](const Api& a, unsigned n, unsigned) {
                        unsigned int h;
                        return a.v2->CreateVpnAuthContext(n, &kGateway, 6, &h);
                    },
                    {{"gatewayInfo", kSwapped}, {"contextFlags", 6}}},
                   {"GenerateTrampolineUrl",
                    [](const Api& a, unsigned n, unsigned) {
                        ZVChar* url = nullptr;
                        unsigned int r;
                        ZVResult result = a.v3->GenerateTrampolineUrl(n, L"https://t/", 3, L"p", &url, &r);
                        a.v3->FreeTrampolineUrl(url);
                        return result;
                    },
                    {{"targetUrl", "https://t/"}, {"trampolineOptions", 3}, {"trampolineParameter", "p"}}},
                   {"SetClientWindow",
                    [](const Api& a, unsigned n, unsigned) {
                        return a.v3->SetClientWindow(n, reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234567890ull)));
                    },
                    {{"window", 0x34567890u}}},
                   {"DetermineServerType",
                    [](const Api& a, unsigned n, unsigned) {
                        _ZV_SERVER_TYPE_INFO* info = nullptr;
                        ZVResult r = a.v3->DetermineServerType(n, nullptr, &info);
                        a.v3->FreeServerTypeInfo(info);
                        return r;
                    },
                    {{"serverUrl", nullptr}}},
                   {"RetrieveGatewayDiscoveryData",
                    [](const Api& a, unsigned n, unsigned) {
                        ZVChar* data = nullptr;
                        unsigned int r;
                        ZVResult result = a.v3->RetrieveGatewayDiscoveryData(n, &kGateway, 8, &data, &r);
                        a.v3->FreeTrampolineUrl(data);
                        return result;
                    },
                    {{"gatewayInfo", kSwapped}, {"discoveryOptions", 8}}},
                   {"LogOffGateway", [](const Api& a, unsigned n, unsigned) { return a.v4->LogOffGateway(n, &kGateway); },
                    {{"gatewayInfo", kSwapped}}},
                   {"LogOffAuthService",
                    [](const Api& a, unsigned n, unsigned) { return a.v4->LogOffAuthService(n, L"svc"); },
                    {{"authService", "svc"}}},
                   {"GetLogonStatus",
                    [](const Api& a, unsigned n, unsigned) {
                        unsigned int status;
                        return a.v4->GetLogonStatus(n, nullptr, &status);
                    },
                    {{"authService", nullptr}}}}}),
    [](const ::testing::TestParamInfo<Interface>& info) { return std::string(info.param.name); });
