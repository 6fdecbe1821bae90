// The handle tables over the real Global Interface Table, with small
// free-threaded service objects of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"
#include "core/Globals.h"
#include "core/ZVImplementation.h"
#include "tables/HandleTables.h"

using namespace BrennicZelvarSDK;

namespace {

// A minimal object that answers IUnknown, one service interface and IMarshal
// (through the free-threaded marshaler, so the GIT hands out the object
// itself in every apartment). Counts its references.
template <class Interface>
class FakeServiceObject : public Interface {
public:
    FakeServiceObject() { CoCreateFreeThreadedMarshaler(this, &m_ftm); }
    ~FakeServiceObject() {
        if (m_ftm) m_ftm->Release();
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(Interface))) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(riid, IID_IMarshal) && m_ftm) return m_ftm->QueryInterface(riid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives on the test's stack
    std::atomic<ULONG> refs{1};

private:
    IUnknown* m_ftm = nullptr;
};

class FakeAuthContext : public FakeServiceObject<IZelvarAuthContext> {
public:
    STDMETHODIMP Prepare(SAFEARRAY*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetHeaders(SAFEARRAY**) override { return E_NOTIMPL; }
    STDMETHODIMP GetTranslatedUrl(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Prepare2(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP ReportHttpResponse(UINT, SAFEARRAY*) override { return E_NOTIMPL; }
    STDMETHODIMP ReportHttpFailure(UINT) override { return E_NOTIMPL; }
    STDMETHODIMP ForceRoute(ZelvarGatewayInfo*) override { return E_NOTIMPL; }
    STDMETHODIMP SetReferenceUrl(BSTR) override { return E_NOTIMPL; }
};

class TablesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        // The trace file opens with Initialize; the tables themselves need
        // only the apartment.
        ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());
    }
    void TearDown() override {
        GetImplementation().Uninitialize();
        CoUninitialize();
    }
    zvtest::TraceCapture trace;
};

}  // namespace

TEST(HandleCounter, HandsOutOneUpFromOneAcrossAllKindsAndThreads) {
    unsigned int first = DrawHandle();
    EXPECT_EQ(1u, first);
    std::atomic<unsigned int> seen[400] = {};
    std::thread a([&] {
        for (int i = 0; i < 200; ++i) seen[i] = DrawHandle();
    });
    std::thread b([&] {
        for (int i = 200; i < 400; ++i) seen[i] = DrawHandle();
    });
    a.join();
    b.join();
    std::vector<bool> hit(402, false);
    for (auto& h : seen) {
        ASSERT_GE(h.load(), 2u);
        ASSERT_LE(h.load(), 401u);
        EXPECT_FALSE(hit[h]) << "handle " << h << " issued twice";
        hit[h] = true;
    }
}

// The table's own reference to an object was taken in the multithreaded
// apartment and goes back there even when a single-threaded one deletes it.
TEST_F(TablesTest, AnEntryDeletedFromASingleThreadedApartmentLetsGoOfItInTheMultithreadedOne) {
    struct WatchedContext : FakeAuthContext {
        STDMETHODIMP_(ULONG) Release() override {
            const ULONG left = FakeAuthContext::Release();
            APTTYPEQUALIFIER qualifier;
            if (left == 1 && SUCCEEDED(CoGetApartmentType(&apartment, &qualifier))) SetEvent(released.Get());
            return left;
        }
        APTTYPE apartment = APTTYPE_CURRENT;
        ScopedHandle released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    } object;
    RequestContextTable table("RequestContextTable", "BrennicZelvarSDK::ZVImplementationV1::DestroyRequestContext");
    ASSERT_EQ(S_OK, table.Set_ExclusiveLock(9, &object));
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        table.Delete_ExclusiveLock(9);
        CoUninitialize();
    }).join();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(object.released.Get(), 10000));
    EXPECT_EQ(APTTYPE_MTA, object.apartment);
}

TEST_F(TablesTest, StoreFetchDeleteAndTheirTraces) {
    RequestContextTable table("RequestContextTable", "BrennicZelvarSDK::ZVImplementationV1::DestroyRequestContext");
    FakeAuthContext object;
    ASSERT_EQ(S_OK, table.Set_ExclusiveLock(7, &object));
    EXPECT_EQ(3u, object.refs.load()) << "the GIT and the table hold one reference each";
    {
        ComPtr<IZelvarAuthContext> fetched = table.Get_SharedLock_Throws(7);
        EXPECT_EQ(static_cast<IZelvarAuthContext*>(&object), fetched.Get());
    }
    EXPECT_EQ(3u, object.refs.load()) << "a fetched reference belongs to the caller";
    ComPtr<IZelvarAuthContext> none;
    EXPECT_EQ(E_HANDLE, table.Get_SharedLock(8, none));
    EXPECT_FALSE(none);
    try {
        table.Get_SharedLock_Throws(8);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(E_HANDLE, e.Error());
    }

    table.Delete_ExclusiveLock(7);
    EXPECT_EQ(1u, object.refs.load()) << "deleting drops the GIT's and the table's references";
    try {
        table.Delete_ExclusiveLock(7);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(E_HANDLE, e.Error());
    }
    int stored = -1;
    for (const std::string& m : trace.Messages()) {
        if (m.rfind("|RequestContextTable::Set_ExclusiveLock: Stored object with handle 7 and GIT cookie ", 0) == 0)
            stored = 1;
    }
    EXPECT_EQ(1, stored);
    EXPECT_TRUE(trace.Contains(": RequestContextTable::Get_SharedLock_Throws failed to get object for handle 8"));
    EXPECT_TRUE(trace.InOrder({"RequestContextTable::Delete_ExclusiveLock called for handle 7",
                               "RequestContextTable::Delete_NoLock starts for handle 7",
                               "RequestContextTable::Delete_NoLock completed ok for handle 7",
                               "RequestContextTable::Delete_NoLock: The handle 7 was not found.",
                               "BrennicZelvarSDK::ZVImplementationV1::DestroyRequestContext: "
                               "RequestContextTable::Delete_ExclusiveLock failed with HRESULT 2147942406"}));
}

TEST_F(TablesTest, ANullObjectIsStoredAsCookieZeroAndDeletedWithoutTheGit) {
    RequestContextTable table("RequestContextTable", "BrennicZelvarSDK::ZVImplementationV1::DestroyRequestContext");
    ASSERT_EQ(S_OK, table.Set_ExclusiveLock(3, nullptr));
    EXPECT_TRUE(trace.Contains("RequestContextTable::Set_ExclusiveLock: Stored object with handle 3 and GIT cookie 0"));
    ComPtr<IZelvarAuthContext> fetched;
    EXPECT_TRUE(FAILED(table.Get_SharedLock(3, fetched)));  // whatever the GIT says of cookie 0
    EXPECT_NO_THROW(table.Delete_ExclusiveLock(3));
    EXPECT_TRUE(trace.Contains("RequestContextTable::Delete_NoLock completed ok for handle 3"));
}

TEST_F(TablesTest, AHandleOfAnotherKindIsNotFoundInTheConnectionTable) {
    ConnectionTable connections;
    ComPtr<IZelvarConnection> object;
    ConnectionData data{99, nullptr, nullptr};
    EXPECT_EQ(E_HANDLE, connections.Get_SharedLock(5, object));
    EXPECT_EQ(E_HANDLE, connections.GetDataAndObject_SharedLock(5, object, data));
    EXPECT_EQ(99u, data.gitCookie) << "an absent entry leaves the record untouched";
    EXPECT_FALSE(connections.GetData_SharedLock(5, data));
    EXPECT_EQ(E_HANDLE, connections.Delete_ExclusiveLock(5));
    EXPECT_TRUE(trace.Contains("ConnectionTable::Delete_ExclusiveLock Starts for handle 5"));
    EXPECT_TRUE(trace.Contains("ConnectionTable::Delete_NoLock: Starts for handle 5"));
    EXPECT_FALSE(trace.Contains("ConnectionTable::Delete_NoLock: Finished for handle 5"));
    try {
        connections.Get_SharedLock_Throws(5);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(E_HANDLE, e.Error());
    }
    EXPECT_TRUE(trace.Contains(" failed to get Zelvar connection for handle 5"));
}

TEST_F(TablesTest, DeleteAllEmptiesEveryTableInOrderWithCounts) {
    RequestContextTable requests("RequestContextTable", "x");
    FakeAuthContext a, b;
    ASSERT_EQ(S_OK, requests.Set_ExclusiveLock(10, &a));
    ASSERT_EQ(S_OK, requests.Set_ExclusiveLock(11, &b));
    {
        ExclusiveLockHold hold(g_DataLock);
        requests.DeleteAll_NoLock(L"Deleting %u request contexts");
        requests.DeleteAll_NoLock(L"Deleting %u request contexts");
    }
    EXPECT_EQ(1u, a.refs.load());
    EXPECT_EQ(1u, b.refs.load());
    int first = trace.IndexOf("Deleting 2 request contexts");
    ASSERT_GE(first, 0);
    EXPECT_GE(trace.IndexOf("Deleting 0 request contexts", first + 1), 0);
    ComPtr<IZelvarAuthContext> gone;
    EXPECT_EQ(E_HANDLE, requests.Get_SharedLock(10, gone));
}
