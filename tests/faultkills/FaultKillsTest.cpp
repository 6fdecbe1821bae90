// The service's process killed while a call or an event is in flight: the
// caller returns the mapped RPC result within the step limit, later calls
// fail the same way, the callback thread goes on and Uninitialize ends.
// Wine refuses the class after a kill until the wineserver ends, so each
// test runs alone with a wineserver of its own (tools/test.sh).
#include <string>

#include "faults/FaultSupport.h"

using namespace BrennicZelvarSDK;
using namespace zvfaults;

namespace {

class ServiceKilled : public SdkFixture {
protected:
    void SetUp() override {
        Start(zvtest::StandinHost::LocalServer);
        ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
    }
    // Kills the server while `call` waits in it, then expects `call`'s result
    // and that later calls fail the same way and the SDK shuts down.
    void KillDuring(const char* method, const std::function<ZVResult()>& call, ZVResult expected) {
        ZVResult result = 0;
        std::thread caller([&] { result = call(); });
        ASSERT_TRUE(control->WaitForCalls(method, 1));
        const DWORD serverId = control->ServerProcessId();
        control.reset();
        HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverId);
        ASSERT_TRUE(server && TerminateProcess(server, 9));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, kStepLimitMs));
        CloseHandle(server);
        WithinLimit(method, [&] { caller.join(); });
        EXPECT_EQ(expected, result) << method;
        unsigned int later = 0;
        WithinLimit("CreateConnection after the kill", [&] {
            EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, v1->CreateConnection(L"Later", nullptr, nullptr, &later));
        });
        WithinLimit("Uninitialize", [&] { EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize()); });
    }
    void KillDuringRequestCall(const char* method) {
        auto* v5 = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5);
        ASSERT_TRUE(control->SetMethod(method, {{"block", true}}));
        EventLog log;
        unsigned int request = 0, read = 0;
        ASSERT_EQ(ZV_SUCCESS, v5->CreateZVHttpRequest(Connect(&log), &request));
        ASSERT_EQ(ZV_SUCCESS, v5->SetRequestUrl(request, L"https://held.test/"));
        unsigned char buffer[64];
        const bool send = std::string(method) == "SendRequestAndReceiveResponse";
        KillDuring(
            method,
            [&] {
                return send ? v5->SendRequestAndReceiveResponse(request)
                            : v5->ReadResponseBodyStream(request, buffer, sizeof buffer, &read);
            },
            ZV_ERROR_SERVICE_UNAVAILABLE);
    }
};

}  // namespace

TEST_F(ServiceKilled, WhileItHoldsCreateConnection) {
    ASSERT_TRUE(control->SetMethod("CreateConnection", {{"block", true}}));
    unsigned int handle = 0;
    KillDuring(
        "CreateConnection", [&] { return v1->CreateConnection(L"Held", nullptr, nullptr, &handle); },
        ZV_ERROR_SERVICE_UNAVAILABLE);
}

TEST_F(ServiceKilled, WhileItHoldsPrepare) {
    ASSERT_TRUE(control->SetMethod("Prepare", {{"block", true}}));
    EventLog log;
    unsigned int context = 0, result = 0;
    ASSERT_EQ(ZV_SUCCESS, v1->CreateRequestContext(Connect(&log), L"https://held.test/", 0, &context));
    const ZVChar* list[] = {nullptr};
    KillDuring(
        "Prepare", [&] { return v1->Prepare(context, list, &result); }, ZV_ERROR_SERVICE_UNAVAILABLE);
}

// The callback thread is held on the first event while the server fires
// more; DestroyConnection, which runs on that thread, ends once it is let go.
TEST_F(ServiceKilled, WhileItDeliversEvents) {
    ASSERT_TRUE(control->SetMethod("CancelAllCalls", {{"block", true}}));
    EventLog log;
    log.hold = true;
    log.target = 1;
    const unsigned int handle = Connect(&log);
    control->FireEvents({{"status", 2}, {"window", 0}, {"count", 2000}, {"threads", 4}, {"wait", false}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log.reached, kStepLimitMs));
    SetEvent(log.release);
    // Destruction cancels the connection's calls first: the kill comes then.
    KillDuring(
        "CancelAllCalls", [&] { return v1->DestroyConnection(handle); }, 65526);
}

TEST_F(ServiceKilled, WhileItHoldsASend) {
    KillDuringRequestCall("SendRequestAndReceiveResponse");
}

TEST_F(ServiceKilled, WhileItHoldsABodyRead) {
    KillDuringRequestCall("ReadResponseBodyStream");
}
