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

// A request context of the test's own that aggregates the free-threaded
// marshaler, so that the Global Interface Table hands out the object itself in
// every apartment, and that tells how it was reached: every fetch from the
// Global Interface Table asks it for its interface, a kept reference does not.
struct WatchedContext : IZelvarAuthContext {
    WatchedContext() { CoCreateFreeThreadedMarshaler(this, &ftm); }
    ~WatchedContext() { ftm->Release(); }
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IMarshal)) return ftm->QueryInterface(riid, out);
        if (IsEqualIID(riid, IID_IZelvarAuthContext)) ++asked;
        *out = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IZelvarAuthContext) ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        APTTYPEQUALIFIER qualifier;
        if (--refs == 1 && SUCCEEDED(CoGetApartmentType(&apartment, &qualifier))) SetEvent(released.Get());
        return refs;
    }
    STDMETHODIMP Prepare(SAFEARRAY*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetHeaders(SAFEARRAY**) override { return E_NOTIMPL; }
    STDMETHODIMP GetTranslatedUrl(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Prepare2(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP ReportHttpResponse(UINT, SAFEARRAY*) override { return E_NOTIMPL; }
    STDMETHODIMP ReportHttpFailure(UINT) override { return E_NOTIMPL; }
    STDMETHODIMP ForceRoute(ZelvarGatewayInfo*) override { return E_NOTIMPL; }
    STDMETHODIMP SetReferenceUrl(BSTR) override { return E_NOTIMPL; }
    std::atomic<ULONG> refs{1};
    std::atomic<unsigned> asked{0};
    IUnknown* ftm = nullptr;
    APTTYPE apartment = APTTYPE_CURRENT;
    ScopedHandle released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The table's own reference to an object was taken in the multithreaded
// apartment and goes back there even when a single-threaded one deletes it.
TEST_F(TablesTest, AnEntryDeletedFromASingleThreadedApartmentLetsGoOfItInTheMultithreadedOne) {
    WatchedContext object;
    const unsigned int handle = DrawHandle();
    ASSERT_EQ(S_OK, TableAccess::Requests().Set_ExclusiveLock(handle, &object));
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        TableAccess::Requests().Delete_ExclusiveLock(handle);
        CoUninitialize();
    }).join();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(object.released.Get(), 10000));
    EXPECT_EQ(APTTYPE_MTA, object.apartment);
}

// A caller in the multithreaded apartment gets the table's own reference, a
// caller in a single-threaded apartment fetches from the Global Interface
// Table; both get the stored object itself and hold a reference of their own.
TEST_F(TablesTest, AFetchUsesTheKeptReferenceInTheMultithreadedApartmentOnlyAndGetsTheSameObject) {
    WatchedContext object;
    const unsigned int handle = DrawHandle();
    ASSERT_EQ(S_OK, TableAccess::Requests().Set_ExclusiveLock(handle, &object));
    const struct {
        DWORD apartment;
        bool fromGlobalTable;
    } rows[] = {{COINIT_MULTITHREADED, false}, {COINIT_APARTMENTTHREADED, true}};
    for (const auto& row : rows) {
        object.asked = 0;
        const ULONG before = object.refs;
        std::thread([&] {
            CoInitializeEx(nullptr, row.apartment);
            ComPtr<IZelvarAuthContext> fetched;
            EXPECT_EQ(S_OK, TableAccess::Requests().Get_SharedLock(handle, fetched));
            EXPECT_EQ(static_cast<IZelvarAuthContext*>(&object), fetched.Get());
            EXPECT_EQ(before + 1, object.refs);
            fetched.Reset();
            CoUninitialize();
        }).join();
        EXPECT_EQ(row.fromGlobalTable, object.asked > 0) << "apartment " << row.apartment;
        EXPECT_EQ(before, object.refs) << "apartment " << row.apartment;
    }
    TableAccess::Requests().Delete_ExclusiveLock(handle);
}
