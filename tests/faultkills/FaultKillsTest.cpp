// The service's process killed under the SDK: while a call or an event is in
// flight the caller returns the mapped RPC result within the step limit,
// later calls fail the same way, the callback thread goes on and
// Uninitialize ends; after the death, removals, shut-down and new
// connections end and report the failing HRESULTs through the usual traces
// and results. Wine refuses the class after a kill until the wineserver
// ends, so each test runs alone with a wineserver of its own (tools/test.sh).
#include <cstdlib>
#include <string>

#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"
#include "faults/FaultSupport.h"

using namespace BrennicZelvarSDK;
using namespace zvfaults;

namespace {

// The unsigned number that follows `prefix` in the first message holding it, or -1.
long long NumberAfter(const zvtest::TraceCapture& trace, const std::string& prefix, int* index = nullptr) {
    const std::vector<std::string> messages = trace.Messages();
    for (size_t i = 0; i < messages.size(); ++i) {
        const size_t at = messages[i].find(prefix);
        if (at == std::string::npos) continue;
        if (index) *index = static_cast<int>(i);
        return std::strtoll(messages[i].c_str() + at + prefix.size(), nullptr, 10);
    }
    return -1;
}

bool IsRpcFailure(long long hr) {
    return hr >= 0x800706A4LL && hr <= 0x800707CFLL;
}

class ServiceKilled : public SdkFixture {
protected:
    void SetUp() override {
        Start(zvtest::StandinHost::LocalServer);
        ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
    }
    // Kills the exe host that serves this test's connections. The control
    // object is released first, so that only the SDK holds references into
    // the dead process.
    void KillServer() {
        const DWORD serverId = control->ServerProcessId();
        control.reset();
        ASSERT_NE(0u, serverId);
        ASSERT_NE(GetCurrentProcessId(), serverId) << "the exe host must serve";
        HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverId);
        ASSERT_TRUE(server && TerminateProcess(server, 9)) << GetLastError();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, kStepLimitMs));
        CloseHandle(server);
    }
    // Kills the server while `call` waits in it, then expects `call`'s result
    // and that later calls fail the same way and the SDK shuts down.
    void KillDuring(const char* method, const std::function<ZVResult()>& call, ZVResult expected) {
        ZVResult result = 0;
        std::thread caller([&] { result = call(); });
        ASSERT_TRUE(control->WaitForCalls(method, 1));
        KillServer();
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
    // The table's revocation of the dead proxy decides the result, through the usual mapping.
    void ExpectDestroyResult(ZVResult destroyed) {
        const long long worker = NumberAfter(
            trace, "BrennicZelvarSDK::ZVImplementationV1::DestroyConnection failed with thread worker returning ");
        if (worker < 0) {
            EXPECT_EQ(ZV_SUCCESS, destroyed);
            EXPECT_TRUE(trace.Contains("RemoveZelvar Deleted zelvar data for handle 1"));
        } else {
            EXPECT_TRUE(trace.Contains("RemoveZelvar: Got failed HRESULT " + std::to_string(worker) +
                                       " for Delete_ExclusiveLock with handle 1"));
            EXPECT_EQ(HResultToZVResult(static_cast<HRESULT>(worker)), destroyed);
        }
    }

    zvtest::TraceCapture trace;
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

// The removal's CancelAllCalls cannot reach the dead server and the removal
// goes on; whatever the table's revocation reported is what the caller gets.
// A new connection then reports the service unavailable, and its handle is
// not given out again.
TEST_F(ServiceKilled, DestroyAndCreateAfterTheDeathEndAndReportTheirFailures) {
    EventLog log;
    ASSERT_EQ(1u, Connect(&log));
    KillServer();
    ZVResult destroyed = 0xFFFFFFFF;
    WithinLimit("DestroyConnection", [&] { destroyed = v1->DestroyConnection(1); });
    int at = -1;
    const long long cancelError = NumberAfter(trace, "RemoveZelvar: caught unexpected COM error ", &at);
    ASSERT_GE(at, 0) << "no trace of the failed CancelAllCalls";
    EXPECT_TRUE(IsRpcFailure(cancelError)) << std::hex << cancelError;
    EXPECT_TRUE(trace.Contains("RemoveZelvar: caught unexpected COM error " + std::to_string(cancelError) +
                               " during CancelAllCalls for handle 1"));
    EXPECT_GE(trace.IndexOf("ConnectionTable::Delete_ExclusiveLock Starts for handle 1", at), 0);
    ExpectDestroyResult(destroyed);

    unsigned int handle = 42;
    ZVResult created = 0xFFFFFFFF;
    WithinLimit("CreateConnection", [&] { created = v1->CreateConnection(L"App", nullptr, nullptr, &handle); });
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, created);
    EXPECT_EQ(0u, handle);
    const long long failure = NumberAfter(trace, "AddZelvar Caught unexpected COM HRESULT code ");
    EXPECT_TRUE(failure == static_cast<long long>(static_cast<unsigned>(REGDB_E_CLASSNOTREG)) || IsRpcFailure(failure))
        << std::hex << failure;
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::CreateConnection: caught COM error " +
                               std::to_string(failure)));
    for (unsigned int gone : {1u, 2u}) {
        ZVResult again = 0xFFFFFFFF;
        WithinLimit("DestroyConnection again", [&] { again = v1->DestroyConnection(gone); });
        EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, again) << gone;
    }
    WithinLimit("Uninitialize", [&] { EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize()); });
}

TEST_F(ServiceKilled, UninitializeEndsAfterCancellingEveryDeadConnectionInTurn) {
    EventLog log;
    ASSERT_EQ(1u, Connect(&log));
    ASSERT_EQ(2u, Connect(&log));
    KillServer();

    ZVResult result = 0xFFFFFFFF;
    WithinLimit("Uninitialize", [&] { result = v1->Uninitialize(); });
    EXPECT_EQ(ZV_SUCCESS, result);

    int at = trace.IndexOf("CancelAllCalls starts");
    ASSERT_GE(at, 0);
    int getFailure = -1;
    const long long getError =
        NumberAfter(trace, "CancelAllCalls_SharedLock: GIT::Get_NoLock failed with HRESULT ", &getFailure);
    if (getFailure >= 0) {
        // The table could not hand out a proxy to the dead server (Wine
        // unmarshals afresh and fails): the loop stops at the first
        // connection and never says it completed.
        EXPECT_TRUE(IsRpcFailure(getError)) << std::hex << getError;
        EXPECT_FALSE(trace.Contains("CancelAllCalls being called on zelvar with handle 1"));
        EXPECT_FALSE(trace.Contains("CancelAllCalls completes"));
    } else {
        for (unsigned handle = 1; handle <= 2; ++handle) {
            at = trace.IndexOf("CancelAllCalls being called on zelvar with handle " + std::to_string(handle), at);
            ASSERT_GE(at, 0) << handle;
            at = trace.IndexOf("CancelAllCalls failed with error code for zelvar handle " + std::to_string(handle), at);
            ASSERT_GE(at, 0) << handle;
        }
        at = trace.IndexOf("CancelAllCalls completes", at);
        ASSERT_GE(at, 0);
    }
    EXPECT_GE(trace.IndexOf("Deleting 2 zelvar connections"), 0);
    EXPECT_TRUE(trace.Contains("Uninitialize Ends"));

    // The SDK starts again from nothing: no connection survived.
    ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
    ZVResult destroyed = 0xFFFFFFFF;
    WithinLimit("DestroyConnection", [&] { destroyed = v1->DestroyConnection(2); });
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, destroyed);
    EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize());
}
