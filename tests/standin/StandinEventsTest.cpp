// Status events from the server's own threads into a sink that answers only
// IUnknown and the event DIID, and calls held back until released.
#include <thread>

#include "StandinFixture.h"

namespace zvtest {
namespace {

class StandinEventsTest : public StandinTest {
protected:
    // Attaches a fresh DIID-only sink to the connection.
    DiidOnlySink* Attach(IZelvarConnection* connection, DWORD* cookie) {
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, connection->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID__IZelvarEvents, point.Receive()));
        auto* sink = new DiidOnlySink();
        EXPECT_EQ(S_OK, point->Advise(sink, cookie));
        return sink;
    }
};

TEST_P(StandinEventsTest, EventsFromServerThreadsReachADiidOnlySink) {
    ComPtr<IZelvarConnection> first = NewConnection(L"Events:one");
    ComPtr<IZelvarConnection> second = NewConnection(L"Events:two");
    ASSERT_TRUE(first && second);
    DWORD cookie = 0;
    DiidOnlySink* sink = Attach(first.Get(), &cookie);
    DWORD otherCookie = 0;
    DiidOnlySink* other = Attach(second.Get(), &otherCookie);
    EXPECT_NE(0u, cookie);

    Json reply =
        control->FireEvents({{"clientId", "Events:one"}, {"status", 1}, {"window", -5}, {"count", 12}, {"threads", 3}});
    EXPECT_EQ(12u, reply.value("delivered", 0u)) << reply.dump();
    EXPECT_EQ(0u, reply.value("failed", 1u));
    ASSERT_TRUE(sink->WaitForEvents(12));
    for (const auto& event : sink->Events()) {
        EXPECT_EQ(1, event.dispid);
        EXPECT_EQ(DISPATCH_METHOD, event.flags);
        EXPECT_EQ(2u, event.argCount);
        EXPECT_EQ(VT_UI4, event.firstType);
        EXPECT_EQ(VT_I4, event.secondType);
        EXPECT_EQ(1u, event.status);
        EXPECT_EQ(-5, event.window);
    }
    EXPECT_TRUE(other->Events().empty());  // only the connection named got them

    // By creation index, with numbered statuses so that order can be checked.
    Json connections = control->Connections();
    unsigned secondIndex = 0;
    for (const Json& c : connections) {
        if (c["clientId"] == "Events:two") secondIndex = c["index"];
    }
    ASSERT_NE(0u, secondIndex);
    reply =
        control->FireEvents({{"connection", secondIndex}, {"status", 100}, {"incrementStatus", true}, {"count", 5}});
    EXPECT_EQ(5u, reply.value("delivered", 0u)) << reply.dump();
    ASSERT_TRUE(other->WaitForEvents(5));
    std::vector<ULONG> statuses;
    for (const auto& event : other->Events()) statuses.push_back(event.status);
    EXPECT_EQ((std::vector<ULONG>{100, 101, 102, 103, 104}), statuses);

    // Malformed events for testing a sink's refusals: another dispid, a property get, swapped types.
    reply = control->FireEvents({{"connection", secondIndex},
                                 {"dispid", 2},
                                 {"flags", DISPATCH_PROPERTYGET},
                                 {"args", {{{"vt", VT_I4}, {"value", 1}}, {{"vt", VT_UI4}, {"value", 2}}}}});
    EXPECT_EQ(1u, reply.value("delivered", 0u)) << reply.dump();
    ASSERT_TRUE(other->WaitForEvents(6));
    auto odd = other->Events().back();
    EXPECT_EQ(2, odd.dispid);
    EXPECT_EQ(DISPATCH_PROPERTYGET, odd.flags);
    EXPECT_EQ(VT_I4, odd.firstType);
    EXPECT_EQ(VT_UI4, odd.secondType);

    if (IsExe()) {
        // Delivered across the process boundary on the client's RPC threads.
        EXPECT_NE(GetCurrentThreadId(), sink->Events().front().threadId);
    }
    EXPECT_EQ(0, sink->dispatchRequests.load()) << "the service must never need IID_IDispatch from the sink";

    // Unadvise detaches the sink.
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IZelvarEvents, point.Receive()));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    reply = control->FireEvents({{"clientId", "Events:one"}, {"status", 2}});
    EXPECT_EQ(0u, reply.value("sinks", 1u));
    sink->Release();
    other->Release();
}

TEST_P(StandinEventsTest, ScenarioFiresEventsInsideACall) {
    ComPtr<IZelvarConnection> connection = NewConnection(L"Events:inside");
    ASSERT_TRUE(connection);
    DWORD cookie = 0;
    DiidOnlySink* sink = Attach(connection.Get(), &cookie);
    ScopedBstr url(SysAllocString(L"https://r.test"));
    ComPtr<IZelvarAuthContext> auth;
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, auth.Receive()));
    ASSERT_TRUE(control->SetMethod(
        "Prepare", {{"events", {{{"status", 1}, {"window", 0x4242}}}}, {"outputs", {{"authenticationResult", 3}}}}));
    UINT result = 0;
    ASSERT_EQ(S_OK, auth->Prepare(nullptr, &result));
    EXPECT_EQ(3u, result);
    // Fired before the call returned.
    ASSERT_EQ(1u, sink->Events().size());
    EXPECT_EQ(0x4242, sink->Events()[0].window);
    sink->Release();
}

TEST_P(StandinEventsTest, HeldCallWaitsUntilReleasedOrCancelled) {
    ComPtr<IZelvarConnection> connection = NewConnection(L"Held:1");
    ASSERT_TRUE(connection);
    ScopedBstr url(SysAllocString(L"https://r.test"));
    ComPtr<IZelvarAuthContext> auth;
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, auth.Receive()));
    ASSERT_TRUE(control->SetMethod("Prepare", {{"block", true}, {"outputs", {{"authenticationResult", 6}}}}));

    // Both threads are in the multithreaded apartment: the pointer is valid on either.
    std::atomic<HRESULT> outcome{E_PENDING};
    std::atomic<UINT> result{0};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    IZelvarAuthContext* raw = auth.Get();
    std::thread caller([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        UINT value = 0;
        outcome = raw->Prepare(nullptr, &value);
        result = value;
        SetEvent(done);
        CoUninitialize();
    });
    ASSERT_TRUE(control->WaitForCalls("Prepare", 1));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(done, 300)) << "the call returned while held";
    EXPECT_EQ(1u, control->ServerInfo().value("heldCalls", 0u));
    EXPECT_EQ(1u, control->ReleaseHeld("Prepare"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 10000));
    caller.join();
    EXPECT_EQ(S_OK, outcome.load());
    EXPECT_EQ(6u, result.load());

    // CancelAllCalls on the connection ends its held calls with ERROR_CANCELLED.
    ResetEvent(done);
    outcome = E_PENDING;
    std::thread cancelled([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        UINT value = 0;
        outcome = raw->Prepare(nullptr, &value);
        SetEvent(done);
        CoUninitialize();
    });
    ASSERT_TRUE(control->WaitForCalls("Prepare", 2));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(done, 100));
    EXPECT_EQ(S_OK, connection->CancelAllCalls());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, 10000));
    cancelled.join();
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CANCELLED), outcome.load());
    CloseHandle(done);
}

INSTANTIATE_TEST_SUITE_P(BothHosts, StandinEventsTest,
                         ::testing::Values(StandinHost::LocalServer, StandinHost::InprocServer), HostParamName);

}  // namespace
}  // namespace zvtest

namespace zvtest {
namespace {

// Why the stand-in installs its own proxy/stub: with the standard dispatch
// marshaller registered for the event DIID, Wine 8 asks the sink for
// IID_IDispatch while attaching it and refuses a DIID-only sink (Windows
// passes it). Runs in a process of its own under CTest; the registration is
// restored at the end.
TEST(StandinEventsWineGap, WithoutTheProxyStubWineRefusesADiidOnlySink) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    ASSERT_EQ(ERROR_SUCCESS,
              SetRegString(HKEY_LOCAL_MACHINE,
                           L"Software\\Classes\\Interface\\{FFD342B6-22D8-4996-BAEC-1CD5FB74D7B1}\\ProxyStubClsid32",
                           L"", L"{00020420-0000-0000-C000-000000000046}"));
    HRESULT advised = E_PENDING;
    int dispatchRequests = 0;
    {
        ComPtr<IZelvarConnection> connection;
        ASSERT_EQ(S_OK, CreateZelvarConnection(connection.Receive()));
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, connection->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IZelvarEvents, point.Receive()));
        auto* sink = new DiidOnlySink();
        DWORD cookie = 0;
        advised = point->Advise(sink, &cookie);
        dispatchRequests = sink->dispatchRequests.load();
        sink->Release();
    }
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    CoUninitialize();
    EXPECT_TRUE(FAILED(advised)) << std::hex << advised;
    EXPECT_GT(dispatchRequests, 0);
}

}  // namespace
}  // namespace zvtest
