// The authentication API against the stand-in service in its own process
// (the local-server host): one connection and one request context are open
// when a test starts, and the stand-in's records are cleared.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"

namespace authtest {

using namespace BrennicZelvarSDK;
using zvtest::Json;
using zvtest::Narrow;

struct Api {
    ZVImplementationV1Interface* v1;
    ZVImplementationV2Interface* v2;
    ZVImplementationV3Interface* v3;
    ZVImplementationV4Interface* v4;
};

class AuthApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(zvtest::StandinHost::LocalServer);
        ASSERT_TRUE(control != nullptr);
        api.v4 = zvtest::GetSdkInterface<ZVImplementationV4Interface>(ZV_IID_V4);
        api.v3 = api.v4->GetPreviousInterface();
        api.v2 = api.v3->GetPreviousInterface();
        api.v1 = api.v2->GetPreviousInterface();
        ASSERT_EQ(ZV_SUCCESS, api.v1->Initialize());
        ASSERT_EQ(ZV_SUCCESS, api.v1->CreateConnection(L"AuthApi", OnStatusChange, this, &connection));
        ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"https://app.zelvar.test/a", 0, &context));
        ASSERT_TRUE(control->Reset());
    }
    void TearDown() override {
        if (initialized) api.v1->Uninitialize();
        control.reset();
        CoUninitialize();
    }
    static void OnStatusChange(unsigned int, void* self, unsigned int status, int) {
        static_cast<AuthApiTest*>(self)->onStatus(status);
    }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    Api api{};
    std::function<void(unsigned int status)> onStatus = [](unsigned int) {};  // on the SDK's callback thread
    bool initialized = true;
    unsigned int connection = 0;
    unsigned int context = 0;
};

// Out-parameters, set to values that no operation writes, so that a test
// can tell cleared (0 / null) from left alone, member by member.
enum Out : unsigned { kValue = 1, kText = 2, kTable = 4, kServerType = 8, kVpn = 16 };
struct Outs {
    template <class T>
    static T* Mark() {
        return reinterpret_cast<T*>(static_cast<uintptr_t>(0x5E5E5E50));
    }
    static constexpr unsigned int kMark = 0x5E5E5E5E;
    unsigned int value = kMark;
    ZVChar* text = Mark<ZVChar>();
    ZVChar** table = Mark<ZVChar*>();
    _ZV_SERVER_TYPE_INFO* serverType = Mark<_ZV_SERVER_TYPE_INFO>();
    _ZV_VPN_AUTHORIZATION_INFO* vpn = Mark<_ZV_VPN_AUTHORIZATION_INFO>();

    // The members in `cleared` are 0 / null, every other one as the caller set it.
    bool Exactly(unsigned cleared) const {
        const Outs m;
        auto is = [&](Out member, bool zero, bool marked) { return cleared & member ? zero : marked; };
        return is(kValue, !value, value == m.value) && is(kText, !text, text == m.text) &&
               is(kTable, !table, table == m.table) && is(kServerType, !serverType, serverType == m.serverType) &&
               is(kVpn, !vpn, vpn == m.vpn);
    }
    // Hands what the SDK returned back to its release operations.
    void Free(const Api& api) {
        if (text && text != Mark<ZVChar>()) api.v3->FreeTrampolineUrl(text);
        if (table && table != Mark<ZVChar*>()) api.v1->FreeHeaders(table);
        if (serverType && serverType != Mark<_ZV_SERVER_TYPE_INFO>()) api.v3->FreeServerTypeInfo(serverType);
        if (vpn && vpn != Mark<_ZV_VPN_AUTHORIZATION_INFO>()) api.v2->FreeVpnAuthorizationInfo(vpn);
        *this = Outs();
    }
};

const _ZV_GATEWAY_INFO kGateway = {nullptr, nullptr, 1, 2, 3};

enum class Kind { Connection, RequestContext, Vpn };
// How an operation's service call meets the API gate: left before the call
// (a long call does not hold up Uninitialize), held to the end, or no call.
enum class Gate { Early, Held, None };

struct Operation {
    const char* name;
    Kind kind;
    // The out-parameters that a failure after the argument checks leaves
    // cleared; the others (all of them for 0) stay as the caller set them.
    unsigned cleared;
    Gate gate;
    const char* missTrace;  // the look-up's failure trace, %u the handle; null: no handle
    std::function<ZVResult(const Api&, unsigned int handle, Outs&)> call;
};

const char kConnMiss[] = " failed to get Zelvar connection for handle %u";
const char kRcMiss[] = ": RequestContextTable::Get_SharedLock_Throws failed to get object for handle %u";
const char kVpnMiss[] = ": VpnAuthContextTable::Get_SharedLock_Throws failed to get object for handle %u";
#define OWN_NAME_MISS(op) "BrennicZelvarSDK::ZVImplementationV1::" op " failed to get Zelvar connection for handle %u"

// clang-format off
inline const std::vector<Operation>& Operations() {
    typedef const Api& A;
    typedef Outs& O;
    const Kind kConn = Kind::Connection, kRc = Kind::RequestContext, kVpn = Kind::Vpn;
    const Gate E = Gate::Early, H = Gate::Held, N = Gate::None;
#define OP(name, kind, cleared, gate, miss, call) \
    {name, kind, cleared, gate, miss, [](A a, unsigned h, O o) { (void)h, (void)o; return a.call; }}
    static const std::vector<Operation> all = {
        OP("CreateConnection", kConn, kValue, H, nullptr, v1->CreateConnection(L"Table", nullptr, nullptr, &o.value)),
        OP("CreateRequestContext", kConn, kValue, H, kConnMiss, v1->CreateRequestContext(h, L"u", 0, &o.value)),
        OP("CreateVpnAuthContext", kConn, kValue, H, kConnMiss, v2->CreateVpnAuthContext(h, &kGateway, 0, &o.value)),
        OP("GenerateTrampolineUrl", kConn, kText | kValue, E, kConnMiss,
           v3->GenerateTrampolineUrl(h, L"t", 0, nullptr, &o.text, &o.value)),
        OP("GetVersion", kConn, kText, H, kConnMiss, v3->GetVersion(h, &o.text)),
        OP("SetClientWindow", kConn, 0, H, kConnMiss, v3->SetClientWindow(h, 0)),
        OP("DetermineServerType", kConn, kServerType, E, kConnMiss, v3->DetermineServerType(h, L"s", &o.serverType)),
        OP("RetrieveGatewayDiscoveryData", kConn, kText | kValue, E, kConnMiss,
           v3->RetrieveGatewayDiscoveryData(h, &kGateway, 0, &o.text, &o.value)),
        OP("LogOffGateway", kConn, 0, H, kConnMiss, v4->LogOffGateway(h, &kGateway)),
        OP("LogOffAuthService", kConn, 0, H, kConnMiss, v4->LogOffAuthService(h, L"s")),
        OP("GetLogonStatus", kConn, 0, H, kConnMiss, v4->GetLogonStatus(h, L"s", &o.value)),
        OP("ClearAllCredentials", kConn, 0, E, OWN_NAME_MISS("ClearAllCredentials"), v1->ClearAllCredentials(h)),
        OP("CancelAllCalls", kConn, 0, E, OWN_NAME_MISS("CancelAllCalls"), v1->CancelAllCalls(h)),
        OP("LogOff", kConn, 0, E, OWN_NAME_MISS("LogOff"), v1->LogOff(h)),
        OP("Prepare", kRc, kValue, E, kRcMiss, v1->Prepare(h, nullptr, &o.value)),
        OP("GetHeaders", kRc, kTable, H, kRcMiss, v1->GetHeaders(h, &o.table)),
        OP("GetTranslatedUrl", kRc, 0, H, kRcMiss, v1->GetTranslatedUrl(h, &o.text)),
        OP("Prepare2", kRc, kValue, E, kRcMiss, v2->Prepare2(h, &o.value)),
        OP("ReportHttpResponse", kRc, 0, H, kRcMiss, v2->ReportHttpResponse(h, 200, nullptr)),
        OP("ReportHttpFailure", kRc, 0, H, kRcMiss, v2->ReportHttpFailure(h, 1)),
        OP("ForceRoute", kRc, 0, H, kRcMiss, v2->ForceRoute(h, &kGateway)),
        OP("SetReferenceUrl", kRc, 0, H, kRcMiss, v3->SetReferenceUrl(h, L"r")),
        OP("DestroyRequestContext", kRc, 0, N, "RequestContextTable::Delete_NoLock: The handle %u was not found.",
           v1->DestroyRequestContext(h)),
        OP("GetVpnAuthorizationInfo", kVpn, 0, E, kVpnMiss, v2->GetVpnAuthorizationInfo(h, &o.vpn)),
        OP("DestroyVpnAuthContext", kVpn, 0, N, "VpnAuthContextTable::Delete_NoLock: The handle %u was not found.",
           v2->DestroyVpnAuthContext(h)),
    };
#undef OP
    return all;
}
// clang-format on

inline unsigned int Pick(Kind kind, unsigned int connection, unsigned int context, unsigned int vpn) {
    return kind == Kind::Connection ? connection : kind == Kind::RequestContext ? context : vpn;
}

inline const Operation& Named(const std::string& name) {
    return *std::find_if(Operations().begin(), Operations().end(),
                         [&](const Operation& op) { return name == op.name; });
}

}  // namespace authtest
