// The handle tables over the real Global Interface Table, holding objects of
// the stand-in service's in-process host, and their tear-down by Uninitialize.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "common/StandinService.h"
#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"
#include "core/ZVImplementation.h"
#include "tables/HandleTables.h"

using namespace BrennicZelvarSDK;

namespace {

// Reaches the singleton's tables the way a class derived from the
// implementation may: through pointers to its protected members.
struct TableAccess : ZVImplementationV9 {
    static RequestContextTable& Requests() { return GetImplementation().*(&TableAccess::m_requestContextTable); }
    static VpnAuthContextTable& Vpns() { return GetImplementation().*(&TableAccess::m_vpnAuthContextTable); }
    static HttpRequestTable& Https() { return GetImplementation().*(&TableAccess::m_httpRequestTable); }
};

class TablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::InprocServer));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_EQ(S_OK, zvtest::CreateZelvarConnection(connection.Receive()));
        ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());
    }
    void TearDown() override {
        GetImplementation().Uninitialize();
        connection.Reset();
        control.reset();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        CoUninitialize();
    }
    ComPtr<IZelvarAuthContext> NewRequestContext() {
        ComPtr<IZelvarAuthContext> context;
        ScopedBstr url(SysAllocString(L"https://r.test"));
        EXPECT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, context.Receive()));
        return context;
    }
    unsigned LiveObjects() { return control->ServerInfo().value("liveObjects", 0u); }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ComPtr<IZelvarConnection> connection;
};

}  // namespace

// Uninitialize empties the tables of every kind, HTTP requests first and
// connections last, tracing each count, and releases every object. Only
// connections are made through the public operations; the other tables are
// filled through the table interface with objects of the same service.
TEST_F(TablesTest, UninitializeEmptiesEveryTableInOrderAndReleasesEveryObject) {
    const unsigned baseline = LiveObjects();
    std::vector<unsigned int> handles;
    auto store = [&](auto& table, auto* object) {
        handles.push_back(DrawHandle());
        EXPECT_EQ(S_OK, table.Set_ExclusiveLock(handles.back(), object));
        object->Release();
    };
    for (int i = 0; i < 3; ++i) {
        IZelvarHttpRequest* request = nullptr;
        ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(&request));
        store(TableAccess::Https(), request);
    }
    store(TableAccess::Requests(), NewRequestContext().Detach());
    ZelvarGatewayInfo gateway{nullptr, nullptr, 0, 0, 0};
    for (int i = 0; i < 2; ++i) {
        IZelvarVpnAuthContext* vpn = nullptr;
        ASSERT_EQ(S_OK, connection->CreateVpnAuthContext(&gateway, 0, &vpn));
        store(TableAccess::Vpns(), vpn);
    }
    unsigned int first = 0, second = 0;
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().CreateConnection(L"App", nullptr, nullptr, &first));
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().CreateConnection(L"App", nullptr, nullptr, &second));
    connection.Reset();

    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
    EXPECT_EQ(baseline - 1, LiveObjects()) << "an object survived the tear-down";
    EXPECT_TRUE(trace.InOrder({"CancelAllCalls being called on zelvar with handle " + std::to_string(first),
                               "CancelAllCalls being called on zelvar with handle " + std::to_string(second),
                               "DeleteAllDataAndObjects_ExclusiveLock called", "Deleting 3 HTTP requests",
                               "Deleting 1 request contexts", "Deleting 2 VPN auth contexts",
                               "Deleting 2 zelvar connections", "DeleteAllDataAndObjects_ExclusiveLock completed"}));
    EXPECT_EQ(2u, control->CallCount("CancelAllCalls"));
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());
    ComPtr<IZelvarHttpRequest> gone;
    EXPECT_EQ(E_HANDLE, TableAccess::Https().Get_SharedLock(handles[0], gone));
    ComPtr<IZelvarVpnAuthContext> goneVpn;
    EXPECT_EQ(E_HANDLE, TableAccess::Vpns().Get_SharedLock(handles.back(), goneVpn));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, GetImplementation().DestroyConnection(second));
}
