// The authentication API against the stand-in service in its own process
// (the local-server host): one connection and one request context are open
// when a test starts, and the stand-in's records are cleared.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"

namespace authtest {

using namespace BrennicZelvarSDK;
using zvtest::Json;

// The four interface tables of the authentication API.
struct Api {
    ZVImplementationV1Interface* v1 = nullptr;
    ZVImplementationV2Interface* v2 = nullptr;
    ZVImplementationV3Interface* v3 = nullptr;
    ZVImplementationV4Interface* v4 = nullptr;
};

class AuthApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::LocalServer));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        api.v4 = zvtest::GetSdkInterface<ZVImplementationV4Interface>(ZV_IID_V4);
        ASSERT_NE(nullptr, api.v4);
        api.v3 = api.v4->GetPreviousInterface();
        api.v2 = api.v3->GetPreviousInterface();
        api.v1 = api.v2->GetPreviousInterface();
        ASSERT_EQ(ZV_SUCCESS, api.v1->Initialize());
        ASSERT_EQ(ZV_SUCCESS, api.v1->CreateConnection(L"AuthApi", OnStatusChange, this, &connection));
        ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"https://app.zelvar.test/a", 0, &context));
        ASSERT_TRUE(control->Reset());
    }
    void TearDown() override {
        if (api.v1 && initialized) api.v1->Uninitialize();
        control.reset();
        CoUninitialize();
    }
    static void OnStatusChange(unsigned int, void* self, unsigned int status, int) {
        if (static_cast<AuthApiTest*>(self)->onStatus) static_cast<AuthApiTest*>(self)->onStatus(status);
    }
    // Every call that reached the service since the last Reset.
    unsigned ServiceCalls() { return static_cast<unsigned>(control->Calls().size()); }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    Api api;
    // Runs on the SDK's callback thread for each status change.
    std::function<void(unsigned int status)> onStatus;
    bool initialized = true;
    unsigned int connection = 0;
    unsigned int context = 0;
};

// Out-parameters of the operations, set to values that no operation writes,
// so that a test can tell cleared (0 / null) from left alone.
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

    // How many outputs hold their mark / were cleared.
    int Marked() const {
        return (value == kMark) + (text == Mark<ZVChar>()) + (table == Mark<ZVChar*>()) +
               (serverType == Mark<_ZV_SERVER_TYPE_INFO>()) + (vpn == Mark<_ZV_VPN_AUTHORIZATION_INFO>());
    }
    int Cleared() const { return !value + !text + !table + !serverType + !vpn; }
    // Hands what the SDK returned back to its release operations.
    void Free(const Api& api) {
        if (text != Mark<ZVChar>()) api.v3->FreeTrampolineUrl(text);
        if (table != Mark<ZVChar*>()) api.v1->FreeHeaders(table);
        if (serverType != Mark<_ZV_SERVER_TYPE_INFO>()) api.v3->FreeServerTypeInfo(serverType);
        if (vpn != Mark<_ZV_VPN_AUTHORIZATION_INFO>()) api.v2->FreeVpnAuthorizationInfo(vpn);
        *this = Outs();
    }
};

inline std::string Narrow(const ZVChar* text) {
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text);
    return out;
}

// A trace text with one %u filled in.
inline std::string WithNumber(const char* format, unsigned int number) {
    char text[300];
    snprintf(text, sizeof text, format, number);
    return text;
}

}  // namespace authtest
