// Connections and status events end to end: the SDK loaded as a DLL, the
// stand-in service installed in the prefix through either of its hosts.
//
// Wine gap kept out of the exe host's runs: revoking a proxy from the Global
// Interface Table fails with 0x8001011D after removing the entry (Windows
// revokes it cleanly), so DestroyConnection of a connection served by another
// process cannot report success there. Those result checks run on the
// in-process host, where the table behaves as on Windows.
#include <gtest/gtest.h>

#include <atomic>
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

// What the application's callback saw. The callback also checks that it is
// never entered twice at once.
struct CallbackLog {
    std::mutex lock;
    std::vector<Delivery> deliveries;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::function<void(const Delivery&)> extra;
    ~CallbackLog() { CloseHandle(changed); }

    size_t Count() {
        std::lock_guard<std::mutex> hold(lock);
        return deliveries.size();
    }
    bool WaitFor(size_t count, DWORD timeoutMs = 10000) {
        DWORD start = GetTickCount();
        while (Count() < count) {
            if (GetTickCount() - start > timeoutMs) return false;
            WaitForSingleObject(changed, 50);
        }
        return true;
    }
};

void RecordingCallback(unsigned int handle, void* context, unsigned int status, int window) {
    auto* log = static_cast<CallbackLog*>(context);
    if (++log->inside > 1) log->overlapped = true;
    Sleep(1);  // widen the window in which an overlap would show
    Delivery d{handle, status, window, GetCurrentThreadId()};
    if (log->extra) log->extra(d);
    {
        std::lock_guard<std::mutex> hold(log->lock);
        log->deliveries.push_back(d);
    }
    --log->inside;
    SetEvent(log->changed);
}

std::string ExeFileName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(s.find_last_of('\\') + 1);
}

class ConnectionsTest : public ::testing::TestWithParam<StandinHost> {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(GetParam()));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_NE(nullptr, sdk);
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    }
    void TearDown() override {
        if (sdk) sdk->Uninitialize();
        control.reset();
        CoUninitialize();
    }
    bool InProcess() const { return GetParam() == StandinHost::InprocServer; }

    unsigned int Connect(CallbackLog* log, const wchar_t* name = L"App") {
        unsigned int handle = 0;
        EXPECT_EQ(ZV_SUCCESS, sdk->CreateConnection(name, log ? RecordingCallback : nullptr, log, &handle));
        return handle;
    }
    std::string ClientIdOf(unsigned int handle) {
        return "App:" + ExeFileName() + ":" + std::to_string(GetCurrentProcessId()) + ":" + std::to_string(handle);
    }
    Json Fire(unsigned int handle, unsigned int status, int window, unsigned count = 1, unsigned threads = 1,
              bool increment = false) {
        return control->FireEvents({{"clientId", ClientIdOf(handle)},
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
    // The exe host outlives a test program and may still list connections
    // of earlier ones: look only at this process's.
    std::vector<std::string> ids;
    const std::string mine = "App:" + ExeFileName() + ":" + std::to_string(GetCurrentProcessId()) + ":";
    for (const Json& c : control->Connections()) {
        std::string id = c.value("clientId", "");
        if (id.rfind(mine, 0) == 0) ids.push_back(id);
    }
    ASSERT_EQ(3u, ids.size());
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(ClientIdOf(i + 1), ids[i]) << i;
    EXPECT_EQ(3u, control->CallCount("CreateConnection"));
    EXPECT_TRUE(trace.Contains("CreateConnection created zelvar with handle 3"));
    int stored = -1;
    for (const std::string& m : trace.Messages())
        if (m.rfind("|ConnectionTable::SetData_ExclusiveLock: Stored Zelvar with handle 2 and GIT cookie ", 0) == 0)
            stored = 1;
    EXPECT_EQ(1, stored);

    // Handles are never reused, not even after Uninitialize.
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(4u, Connect(nullptr));
}

TEST_P(ConnectionsTest, DestroyRemovesTheConnectionOnceAndCancelsItsCalls) {
    unsigned int first = Connect(nullptr);
    unsigned int second = Connect(nullptr);
    ZVResult destroyed = sdk->DestroyConnection(first);
    if (InProcess()) {
        EXPECT_EQ(ZV_SUCCESS, destroyed);
    }
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls"));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(first));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(0));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(999));
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
    // The second destroy of the same handle.
    expected.insert(
        expected.end(),
        {
            "RemoveZelvar: Got failed HRESULT 2147942406 for GetZelvarDataAndObject with handle 1",
            "RemoveZelvar: caught unexpected COM error 2147942406 during CancelAllCalls for handle 1",
            "RemoveZelvar: Got failed HRESULT 2147942406 for Delete_ExclusiveLock with handle 1",
            "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection failed with thread worker returning 2147942406 ",
            "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection: caught COM error 2147942406",
        });
    ASSERT_TRUE(trace.InOrder(expected));

    if (InProcess()) {
        EXPECT_EQ(ZV_SUCCESS, sdk->DestroyConnection(second));
    }
}

TEST_P(ConnectionsTest, ArgumentsAreCheckedInOrderAndARefusedCreationLosesItsHandle) {
    unsigned int handle = 42;
    int context = 0;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, &context, nullptr));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", RecordingCallback, nullptr, nullptr));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", nullptr, &context, &handle));
    EXPECT_EQ(42u, handle);
    ASSERT_TRUE(trace.InOrder({"ZVImplementationV1::CreateConnection invalid client name",
                               "ZVImplementationV1::CreateConnection invalid out handle pointer",
                               "ZVImplementationV1::CreateConnection bad function point and callback parameters"}));
    EXPECT_EQ(0u, control->CallCount("CreateConnection"));

    // No handle was drawn by the refused calls.
    EXPECT_EQ(1u, Connect(nullptr));

    // The service refuses the client identifier with one of its own codes.
    ASSERT_TRUE(control->SetMethod("CreateConnection", {{"hr", "0x80040203"}}));
    EXPECT_EQ(0xFFFCu, sdk->CreateConnection(L"App", nullptr, nullptr, &handle));
    EXPECT_EQ(0u, handle);
    EXPECT_TRUE(
        trace.Contains("AddZelvar Caught unexpected COM HRESULT code 2147746307 while creating / setting up new "
                       "zelvar. - Bad COM registration perhaps?"));
    EXPECT_TRUE(trace.Contains(
        "BrennicZelvarSDK::ZVImplementationV1::CreateConnection failed with thread worker returning 2147746307 "));
    ASSERT_TRUE(control->Reset());
    EXPECT_EQ(3u, Connect(nullptr)) << "the refused creation's handle is not reused";
}

TEST_P(ConnectionsTest, EventsOfAllConnectionsArriveOnOneThreadOneAtATimeInQueueOrder) {
    CallbackLog log;
    unsigned int a = Connect(&log);
    unsigned int b = Connect(&log);
    // Sequential events of one connection keep their order.
    Json reply = Fire(a, 100, 0, 20, 1, true);
    EXPECT_EQ(20u, reply.value("delivered", 0u)) << reply.dump();
    ASSERT_TRUE(log.WaitFor(20));
    {
        std::lock_guard<std::mutex> hold(log.lock);
        for (unsigned i = 0; i < 20; ++i) {
            EXPECT_EQ(a, log.deliveries[i].handle);
            EXPECT_EQ(100 + i, log.deliveries[i].status) << "delivery " << i;
        }
    }
    // Several server threads firing for both connections at once.
    Fire(a, 7, 0, 30, 3);
    Fire(b, 8, 0, 30, 3);
    ASSERT_TRUE(log.WaitFor(80));
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_FALSE(log.overlapped) << "two callbacks ran at the same time";
    const DWORD callbackThread = log.deliveries[0].thread;
    EXPECT_NE(GetCurrentThreadId(), callbackThread);
    size_t ofA = 0, ofB = 0;
    for (const Delivery& d : log.deliveries) {
        EXPECT_EQ(callbackThread, d.thread);
        if (d.handle == a && d.status == 7) ++ofA;
        if (d.handle == b && d.status == 8) ++ofB;
    }
    EXPECT_EQ(30u, ofA);
    EXPECT_EQ(30u, ofB);
}

TEST_P(ConnectionsTest, CallsIntoTheSdkFromTheCallbackAreRefused) {
    CallbackLog log;
    std::vector<ZVResult> fromCallback;
    log.extra = [&](const Delivery& d) {
        unsigned int handle = 0;
        fromCallback.push_back(sdk->DestroyConnection(d.handle));
        fromCallback.push_back(sdk->CreateConnection(L"Nested", nullptr, nullptr, &handle));
        fromCallback.push_back(sdk->Initialize());
        fromCallback.push_back(sdk->Uninitialize());
    };
    unsigned int handle = Connect(&log);
    Fire(handle, 3, 0);
    ASSERT_TRUE(log.WaitFor(1));
    ASSERT_EQ(4u, fromCallback.size());
    for (ZVResult r : fromCallback) EXPECT_EQ(ZV_ERROR_FAILED, r);
    EXPECT_TRUE(
        trace.Contains("BrennicZelvarSDK::ZVImplementationV1::DestroyConnection: RE-ENTRANT CALL BACK HAS OCCURRED "
                       "RETURNING FAILURE"));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::DestroyConnection: caught COM error 2147500037"));
    // The connection is still there and the count unchanged.
    log.extra = nullptr;
    Fire(handle, 4, 0);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(1u, control->CallCount("CreateConnection"));
    EXPECT_EQ(0u, control->CallCount("CancelAllCalls"));
}

TEST_P(ConnectionsTest, AThrowingCallbackDoesNotStopTheNextEvent) {
    CallbackLog log;
    log.extra = [](const Delivery& d) {
        if (d.status == 5) throw std::runtime_error("application failure");
    };
    unsigned int handle = Connect(&log);
    Fire(handle, 5, 0);
    Fire(handle, 6, 0);
    ASSERT_TRUE(log.WaitFor(1));
    std::lock_guard<std::mutex> hold(log.lock);
    ASSERT_EQ(1u, log.deliveries.size());
    EXPECT_EQ(6u, log.deliveries[0].status);
    EXPECT_TRUE(
        trace.Contains("OnStatusChangeCallback:  An exception was caught during callback for handle(1) "
                       "status(5) window(0)"));
    EXPECT_TRUE(trace.InOrder({"OnStatusChangeCallback: Called with handle(1) status(6) window(0)",
                               "OnStatusChangeCallback:  Making callback for handle(1) status(6) window(0)",
                               "OnStatusChangeCallback:  Returned from callback"}));
}

TEST_P(ConnectionsTest, NullCallbacksOnlyTraceAndEventsQueuedBehindADestroyFindNoConnection) {
    CallbackLog log;
    HANDLE releaseCallback = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    log.extra = [&](const Delivery& d) {
        if (d.status == 20) WaitForSingleObject(releaseCallback, 10000);
    };
    unsigned int withCallback = Connect(&log);
    unsigned int withoutCallback = Connect(nullptr);
    Fire(withoutCallback, 9, 0);
    Fire(withCallback, 10, 0);
    ASSERT_TRUE(log.WaitFor(1));
    EXPECT_TRUE(trace.Contains("OnStatusChangeCallback: Called with handle(2) status(9) window(0)"));
    EXPECT_FALSE(trace.Contains("OnStatusChangeCallback:  Making callback for handle(2) status(9) window(0)"));

    // Hold the callback thread in the application's callback, queue one event
    // before the removal and one behind it.
    Fire(withCallback, 20, 0);
    for (int i = 0; i < 500 && !trace.Contains("OnStatusChangeCallback:  Making callback for handle(1) status(20) "
                                               "window(0)");
         ++i)
        Sleep(10);
    Fire(withCallback, 21, 0);
    ZVResult destroyed = 0xFFFFFFFF;
    std::thread destroyer([&] { destroyed = sdk->DestroyConnection(withCallback); });
    for (int i = 0; i < 500 && !trace.Contains("ZVImplementationV1::DestroyConnection called for handle 1"); ++i)
        Sleep(10);
    Sleep(300);  // the removal is queued on the callback thread by now
    Fire(withCallback, 22, 0);
    Sleep(100);
    EXPECT_EQ(0u, control->CallCount("CancelAllCalls")) << "the removal must not overlap a callback";
    SetEvent(releaseCallback);
    destroyer.join();
    if (InProcess()) {
        EXPECT_EQ(ZV_SUCCESS, destroyed);
    }
    // The next event on the other connection is queued behind the last one.
    Fire(withoutCallback, 12, 0);
    for (int i = 0; i < 500 && !trace.Contains("OnStatusChangeCallback: Called with handle(2) status(12) window(0)");
         ++i)
        Sleep(10);
    std::lock_guard<std::mutex> hold(log.lock);
    ASSERT_EQ(3u, log.deliveries.size());
    EXPECT_EQ(21u, log.deliveries[2].status) << "the event queued before the removal is still delivered";
    EXPECT_TRUE(trace.InOrder({InProcess() ? "RemoveZelvar Deleted zelvar data for handle 1"
                                           : "ConnectionTable::Delete_NoLock: Finished for handle 1",
                               "OnStatusChangeCallback: Called with handle(1) status(22) window(0)",
                               "OnStatusChangeCallback: Failed to find zelvar data for handle 1"}));
    CloseHandle(releaseCallback);
}

TEST_P(ConnectionsTest, StatusOneWithAWindowAsksForTheForeground) {
    CallbackLog log;
    unsigned int handle = Connect(&log);
    Fire(handle, 1, 0);       // no window: nothing to bring forward
    Fire(handle, 2, 0x1234);  // another status: the window is not touched
    Fire(handle, 1, 0x1234);  // not a window of this desktop: the request fails
    ASSERT_TRUE(log.WaitFor(3));
    int warnings = 0;
    for (const std::string& m : trace.Messages())
        if (m.find("Failed to set foreground window focus to pop up window with handle") != std::string::npos) {
            EXPECT_EQ("Wrn|Failed to set foreground window focus to pop up window with handle 0x1234", m);
            ++warnings;
        }
    EXPECT_EQ(1, warnings);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(0x1234, log.deliveries[2].window);
}

TEST_P(ConnectionsTest, UninitializeCancelsCallsOnEveryConnectionAndEmptiesTheTable) {
    Connect(nullptr);
    Connect(nullptr);
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    EXPECT_EQ(2u, control->CallCount("CancelAllCalls"));
    ASSERT_TRUE(trace.InOrder({"CancelAllCalls starts", "CancelAllCalls being called on zelvar with handle 1",
                               "CancelAllCalls being called on zelvar with handle 2", "CancelAllCalls completes",
                               "Deleting 0 HTTP requests", "Deleting 0 request contexts",
                               "Deleting 0 VPN auth contexts", "Deleting 2 zelvar connections"}));

    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(1));
}

TEST_P(ConnectionsTest, ACancelAllCallsFailureDuringRemovalIsTracedAndRemovalGoesOn) {
    unsigned int handle = Connect(nullptr);
    ASSERT_TRUE(control->SetMethod("CancelAllCalls", {{"hr", "E_ABORT"}}));
    ZVResult r = sdk->DestroyConnection(handle);
    if (InProcess()) {
        EXPECT_EQ(ZV_SUCCESS, r);
    }
    EXPECT_TRUE(
        trace.Contains("RemoveZelvar: caught unexpected COM error 2147500036 during CancelAllCalls for "
                       "handle 1"));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(handle));
}

INSTANTIATE_TEST_SUITE_P(BothHosts, ConnectionsTest,
                         ::testing::Values(StandinHost::InprocServer, StandinHost::LocalServer),
                         [](const ::testing::TestParamInfo<StandinHost>& info) {
                             return info.param == StandinHost::LocalServer ? std::string("LocalServer")
                                                                           : std::string("InprocServer");
                         });
