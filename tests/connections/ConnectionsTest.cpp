// Connections and status events end to end: the SDK loaded as a DLL, the
// stand-in service installed in the prefix through either of its hosts.
//
// Wine gap: revoking a proxy from the Global Interface Table fails with
// 0x8001011D after removing the entry (Windows revokes it cleanly), so
// DestroyConnection of a connection served by another process reports 65526
// on Wine where Windows reports 0; the connection is gone all the same. The
// in-process host shows the Windows result.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"

using namespace BrennicZelvarSDK;
using zvtest::Json;
using zvtest::StandinHost;

namespace {

struct Delivery {
    unsigned int handle;
    unsigned int status;
    int window;
    DWORD thread;
};

// What the application's callback saw; it also notes when it is entered
// twice at once.
struct CallbackLog {
    std::mutex lock;
    std::vector<Delivery> deliveries;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::function<void(const Delivery&)> extra;
    ~CallbackLog() { CloseHandle(changed); }

    std::vector<Delivery> Snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return deliveries;
    }
    bool WaitFor(size_t count) {
        while (Snapshot().size() < count)
            if (WaitForSingleObject(changed, 10000) != WAIT_OBJECT_0) return false;
        return true;
    }
};

void RecordingCallback(unsigned int handle, void* context, unsigned int status, int window) {
    auto* log = static_cast<CallbackLog*>(context);
    if (++log->inside > 1) log->overlapped = true;
    Delivery d{handle, status, window, GetCurrentThreadId()};
    if (log->extra) log->extra(d);
    {
        std::lock_guard<std::mutex> hold(log->lock);
        log->deliveries.push_back(d);
    }
    --log->inside;
    SetEvent(log->changed);
}

// The exe host keeps the connections of a test program that ended without
// releasing them, and Wine reuses process ids: with a fixed name an event aimed
// at "App:<exe>:<pid>:1" also reached such a dead program's sink (0x800706BF).
const std::wstring& ClientName() {
    static const std::wstring name = L"App" + std::to_wstring(GetTickCount64());
    return name;
}

std::string ClientIdPrefix() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path);
    return std::string(ClientName().begin(), ClientName().end()) + ":" + exe.substr(exe.find_last_of('\\') + 1) + ":" +
           std::to_string(GetCurrentProcessId()) + ":";
}

class ConnectionsTest : public ::testing::TestWithParam<StandinHost> {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(GetParam());
        ASSERT_TRUE(control != nullptr);
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    }
    void TearDown() override {
        if (sdk) sdk->Uninitialize();
        control.reset();
        CoUninitialize();
    }
    bool InProcess() const { return GetParam() == StandinHost::InprocServer; }
    // What DestroyConnection of a live connection reports (see the Wine gap above).
    ZVResult DestroyedResult() const { return InProcess() ? ZV_SUCCESS : ZV_ERROR_FAILED; }

    unsigned int Connect(CallbackLog* log) {
        unsigned int handle = 0;
        EXPECT_EQ(ZV_SUCCESS,
                  sdk->CreateConnection(ClientName().c_str(), log ? RecordingCallback : nullptr, log, &handle));
        return handle;
    }
    Json Fire(unsigned int handle, unsigned int status, int window = 0, unsigned count = 1, unsigned threads = 1,
              bool increment = false) {
        return control->FireEvents({{"clientId", ClientIdPrefix() + std::to_string(handle)},
                                    {"status", status},
                                    {"window", window},
                                    {"count", count},
                                    {"threads", threads},
                                    {"incrementStatus", increment}});
    }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
};

}  // namespace

TEST_P(ConnectionsTest, HandlesCountUpFromOneAndTheServiceGetsTheClientIdentifier) {
    CallbackLog log;
    EXPECT_EQ(1u, Connect(&log));
    EXPECT_EQ(2u, Connect(&log));
    EXPECT_EQ(3u, Connect(nullptr));
    // The exe host outlives a test program: look only at this process's connections.
    std::vector<std::string> ids;
    for (const Json& c : control->Connections()) {
        std::string id = c.value("clientId", "");
        if (id.rfind(ClientIdPrefix(), 0) == 0) ids.push_back(id);
    }
    EXPECT_EQ((std::vector<std::string>{ClientIdPrefix() + "1", ClientIdPrefix() + "2", ClientIdPrefix() + "3"}), ids);
    EXPECT_TRUE(trace.Contains("CreateConnection created zelvar with handle 3"));

    // Handles are never reused, not even after Uninitialize.
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(4u, Connect(nullptr));
}

TEST_P(ConnectionsTest, DestroyRemovesTheConnectionOnceAndItsLaterEventsFindNoConnection) {
    CallbackLog log;
    unsigned int first = Connect(&log);
    unsigned int second = Connect(&log);
    EXPECT_EQ(DestroyedResult(), sdk->DestroyConnection(first));
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls"));
    for (unsigned int stale : {first, 0u, 999u}) EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(stale));
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls")) << "an unknown handle never reaches the service";
    std::vector<std::string> expected = {
        "ZVImplementationV1::DestroyConnection called for handle 1",
        "ConnectionTable::Delete_ExclusiveLock Starts for handle 1",
        "ConnectionTable::Delete_NoLock: Finished for handle 1",
    };
    if (InProcess()) {
        expected.push_back("RemoveZelvar Deleted zelvar data for handle 1");
        expected.push_back("ZVImplementationV1::DestroyConnection Completed ok for handle 1");
    }
    expected.insert(expected.end(),  // the second destroy of the same handle
                    {"RemoveZelvar: Got failed HRESULT 2147942406 for GetZelvarDataAndObject with handle 1",
                     "RemoveZelvar: caught unexpected COM error 2147942406 during CancelAllCalls for handle 1",
                     "RemoveZelvar: Got failed HRESULT 2147942406 for Delete_ExclusiveLock with handle 1",
                     "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection failed with thread worker returning "
                     "2147942406 ",
                     "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection: caught COM error 2147942406"});
    EXPECT_TRUE(trace.InOrder(expected));

    // The in-process host's object is released; the exe host's is not (the
    // revocation's leak, see above): an event for the removed connection then
    // reaches the sink but no callback. One for the other connection, queued
    // behind it, arrives.
    for (const Json& c : control->Connections()) {
        if (c.value("clientId", "") == ClientIdPrefix() + "1") {
            EXPECT_NE(InProcess(), c.value("alive", true));
        }
    }
    Json reply = Fire(first, 5);
    EXPECT_EQ(InProcess() ? 0u : 1u, reply.value("delivered", 9u)) << reply.dump();
    Fire(second, 6);
    ASSERT_TRUE(log.WaitFor(1));
    std::vector<Delivery> seen = log.Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(second, seen[0].handle);
    if (reply.value("delivered", 0u) > 0) {
        EXPECT_TRUE(trace.InOrder({"OnStatusChangeCallback: Called with handle(1) status(5) window(0)",
                                   "OnStatusChangeCallback: Failed to find zelvar data for handle 1"}));
    }
    EXPECT_EQ(DestroyedResult(), sdk->DestroyConnection(second));
}

TEST_P(ConnectionsTest, ArgumentsAreCheckedInOrderAndARefusedCreationLosesItsHandle) {
    unsigned int handle = 42;
    int context = 0;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, &context, nullptr));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", RecordingCallback, nullptr, nullptr));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", nullptr, &context, &handle));
    EXPECT_EQ(42u, handle);
    EXPECT_TRUE(trace.InOrder({"ZVImplementationV1::CreateConnection invalid client name",
                               "ZVImplementationV1::CreateConnection invalid out handle pointer",
                               "ZVImplementationV1::CreateConnection bad function point and callback parameters"}));
    EXPECT_EQ(0u, control->CallCount("CreateConnection"));
    EXPECT_EQ(1u, Connect(nullptr)) << "a refused call drew a handle";

    // The service refuses the client identifier with one of its own codes.
    ASSERT_TRUE(control->SetMethod("CreateConnection", {{"hr", "0x80040203"}}));
    EXPECT_EQ(0xFFFCu, sdk->CreateConnection(L"App", nullptr, nullptr, &handle));
    EXPECT_EQ(0u, handle);
    EXPECT_TRUE(
        trace.InOrder({"AddZelvar Caught unexpected COM HRESULT code 2147746307 while creating / setting up "
                       "new zelvar. - Bad COM registration perhaps?",
                       "BrennicZelvarSDK::ZVImplementationV1::CreateConnection failed with thread worker "
                       "returning 2147746307 "}));
    ASSERT_TRUE(control->Reset());
    EXPECT_EQ(3u, Connect(nullptr)) << "the refused creation's handle was reused";
}

TEST_P(ConnectionsTest, EventsOfAllConnectionsArriveOnOneThreadOneAtATimeInQueueOrder) {
    CallbackLog log;
    unsigned int a = Connect(&log);
    unsigned int b = Connect(&log);
    EXPECT_EQ(20u, Fire(a, 100, 0, 20, 1, true).value("delivered", 0u));
    ASSERT_TRUE(log.WaitFor(20));
    std::vector<Delivery> seen = log.Snapshot();
    for (unsigned i = 0; i < 20; ++i) {
        EXPECT_EQ(a, seen[i].handle);
        EXPECT_EQ(100 + i, seen[i].status) << "delivery " << i;
    }
    // Several server threads firing for both connections at once.
    Fire(a, 7, 0, 30, 3);
    Fire(b, 8, 0, 30, 3);
    ASSERT_TRUE(log.WaitFor(80));
    seen = log.Snapshot();
    EXPECT_FALSE(log.overlapped) << "two callbacks ran at the same time";
    EXPECT_NE(GetCurrentThreadId(), seen[0].thread);
    size_t ofA = 0, ofB = 0;
    for (const Delivery& d : seen) {
        EXPECT_EQ(seen[0].thread, d.thread);
        ofA += d.handle == a && d.status == 7;
        ofB += d.handle == b && d.status == 8;
    }
    EXPECT_EQ(30u, ofA);
    EXPECT_EQ(30u, ofB);
}

TEST_P(ConnectionsTest, AThrowingCallbackDoesNotStopTheNextEventAndANullOneOnlyTraces) {
    CallbackLog log;
    log.extra = [](const Delivery& d) {
        if (d.status == 5) throw std::runtime_error("application failure");
    };
    unsigned int handle = Connect(&log);
    unsigned int silent = Connect(nullptr);
    Fire(silent, 9);
    Fire(handle, 5);
    Fire(handle, 6);
    ASSERT_TRUE(log.WaitFor(1));
    std::vector<Delivery> seen = log.Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(6u, seen[0].status);
    EXPECT_TRUE(trace.Contains("OnStatusChangeCallback: Called with handle(2) status(9) window(0)"));
    EXPECT_FALSE(trace.Contains("OnStatusChangeCallback:  Making callback for handle(2) status(9) window(0)"));
    EXPECT_TRUE(
        trace.InOrder({"OnStatusChangeCallback:  An exception was caught during callback for handle(1) "
                       "status(5) window(0)",
                       "OnStatusChangeCallback: Called with handle(1) status(6) window(0)",
                       "OnStatusChangeCallback:  Making callback for handle(1) status(6) window(0)",
                       "OnStatusChangeCallback:  Returned from callback"}));
}

// No SDK lock is held while the application's callback runs: while it
// blocks, another thread creates a connection (which takes the table lock
// exclusively). A removal runs on the callback thread, so it waits for the
// callback; an event queued before it is still delivered, one queued behind
// it finds no connection.
TEST_P(ConnectionsTest, NoLockIsHeldWhileTheCallbackRunsAndARemovalWaitsForIt) {
    CallbackLog log;
    HANDLE inCallback = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    log.extra = [&](const Delivery& d) {
        if (d.status != 20) return;
        SetEvent(inCallback);
        WaitForSingleObject(release, 30000);
    };
    unsigned int held = Connect(&log);
    Fire(held, 20);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inCallback, 10000));

    unsigned int third = 0;
    std::thread creator([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(ZV_SUCCESS, sdk->CreateConnection(ClientName().c_str(), RecordingCallback, &log, &third));
        SetEvent(created);
        CoUninitialize();
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(created, 20000)) << "the creation waited for the callback";
    Fire(held, 21);
    ZVResult destroyResult = 0xFFFFFFFF;
    std::thread destroyer([&] {
        destroyResult = sdk->DestroyConnection(held);
        SetEvent(destroyed);
    });
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(destroyed, 300)) << "the removal overlapped a callback";
    Fire(held, 22);
    EXPECT_EQ(0u, control->CallCount("CancelAllCalls"));
    SetEvent(release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(destroyed, 20000));
    creator.join();
    destroyer.join();
    EXPECT_EQ(DestroyedResult(), destroyResult);

    Fire(third, 23);
    ASSERT_TRUE(log.WaitFor(3));
    std::vector<Delivery> seen = log.Snapshot();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ((std::vector<unsigned int>{20, 21, 23}),
              (std::vector<unsigned int>{seen[0].status, seen[1].status, seen[2].status}));
    EXPECT_TRUE(trace.InOrder({"ZVImplementationV1::DestroyConnection called for handle 1",
                               "OnStatusChangeCallback:  Returned from callback",
                               "ConnectionTable::Delete_ExclusiveLock Starts for handle 1",
                               "OnStatusChangeCallback: Called with handle(1) status(22) window(0)",
                               "OnStatusChangeCallback: Failed to find zelvar data for handle 1"}));
    for (HANDLE h : {inCallback, release, created, destroyed}) CloseHandle(h);
}

TEST_P(ConnectionsTest, StatusOneWithAWindowAsksForTheForeground) {
    CallbackLog log;
    unsigned int handle = Connect(&log);
    // no window: nothing to bring forward; another status: the window is not
    // touched; not a window of this desktop: the request fails
    for (const Json& reply : {Fire(handle, 1, 0), Fire(handle, 2, 0x1234), Fire(handle, 1, 0x1234)})
        EXPECT_EQ(1u, reply.value("delivered", 0u)) << reply.dump();
    ASSERT_TRUE(log.WaitFor(3));
    int warnings = 0;
    for (const std::string& m : trace.Messages())
        if (m.find("Failed to set foreground window focus") != std::string::npos) {
            EXPECT_EQ("Wrn|Failed to set foreground window focus to pop up window with handle 0x1234", m);
            ++warnings;
        }
    EXPECT_EQ(1, warnings);
    EXPECT_EQ(0x1234, log.Snapshot()[2].window);
}

// The sink's dispatch rules through the real COM path: events fired by the
// service's own threads with the dispatch identifier, flags and raw arguments
// the test chooses; the service reports each refusal in its reply. The correct
// event fired after them arrives alone: the callback thread delivers in queue
// order, so a refused event that had been queued would have arrived first.
TEST_P(ConnectionsTest, OnlyTheStatusMethodWithAStatusAndAWindowIsDelivered) {
    CallbackLog log;
    const unsigned int handle = Connect(&log);
    auto fire = [&](Json request) {
        request.update({{"clientId", ClientIdPrefix() + std::to_string(handle)}, {"status", 0}, {"window", 0}});
        return control->FireEvents(request);
    };
    auto args = [](unsigned first, long long status, unsigned second, long long window) {
        return Json{{"args", Json::array({{{"vt", first}, {"value", status}}, {{"vt", second}, {"value", window}}})}};
    };
    const std::pair<Json, const char*> refused[] = {
        {{{"dispid", 2}}, "0x80020003"},
        {{{"dispid", 0}}, "0x80020003"},
        {{{"flags", DISPATCH_PROPERTYGET}}, "0x80020003"},
        {{{"flags", DISPATCH_METHOD | DISPATCH_PROPERTYGET}}, "0x80020003"},
        {args(VT_I4, 41, VT_UI4, 42), "0x80020004"},  // status and window swapped
        {args(VT_I4, 45, VT_I4, 0), "0x80020004"},    // no coercion of other integer types
        {args(VT_UI4, 46, VT_UI4, 0), "0x80020004"},
        {{{"args", Json::array({{{"vt", VT_UI4}, {"value", 44}}})}}, "0x80020004"},
        {{{"args", Json::array()}}, "0x80020004"},
        {{{"args",
           Json::array(
               {{{"vt", VT_UI4}, {"value", 43}}, {{"vt", VT_I4}, {"value", 0}}, {{"vt", VT_I4}, {"value", 0}}})}},
         "0x80020004"},
    };
    for (const auto& r : refused) {
        Json reply = fire(r.first);
        EXPECT_EQ(0u, reply.value("delivered", 9u)) << reply.dump();
        EXPECT_EQ(Json::array({r.second}), reply.value("results", Json())) << reply.dump();
    }
    EXPECT_EQ(1u, fire(args(VT_UI4, 4000000000LL, VT_I4, -12345)).value("delivered", 0u));
    ASSERT_TRUE(log.WaitFor(1));
    std::vector<Delivery> seen = log.Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(std::vector<long long>({handle, 4000000000LL, -12345}),
              std::vector<long long>({seen[0].handle, seen[0].status, seen[0].window}));
    int called = 0;
    for (const std::string& m : trace.Messages()) called += m.find("OnStatusChangeCallback: Called") != m.npos;
    EXPECT_EQ(1, called) << "a refused event reached the callback thread";
}

INSTANTIATE_TEST_SUITE_P(BothHosts, ConnectionsTest,
                         ::testing::Values(StandinHost::InprocServer, StandinHost::LocalServer), zvtest::HostName());
