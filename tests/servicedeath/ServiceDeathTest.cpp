// The service process dies under the SDK's connections: the exe host of the
// stand-in service is killed, then the SDK removes connections, shuts down
// and connects again. Each step must end (bounded waits here; a hang ends the
// program with a failure) and report the failing HRESULTs through the usual
// traces and results.
//
// Every test kills a server. Wine then refuses the service's class until its
// wineserver ends, so each test of this program runs alone with a wineserver
// of its own (CTest label "kills_service"; tools/test.sh runs them that way).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"

using namespace BrennicZelvarSDK;

namespace {

constexpr DWORD kStepLimitMs = 60000;

// Runs one step on a thread of its own. A step that has not ended within the
// limit is a hang: the program reports it and ends at once, since the hung
// thread cannot be taken back.
void WithinLimit(const char* step, std::function<void()> body) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread runner([&] {
        body();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, kStepLimitMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FAILED: %s did not end after the service died\n", step);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    runner.join();
    CloseHandle(done);
}

// The unsigned number that follows `prefix` in the first message starting
// with it, or -1.
long long NumberAfter(const zvtest::TraceCapture& trace, const std::string& prefix, int* index = nullptr) {
    const std::vector<std::string> messages = trace.Messages();
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::string& m = messages[i];
        const size_t at = m.find(prefix);
        if (at == std::string::npos) continue;
        if (index) *index = static_cast<int>(i);
        return std::strtoll(m.c_str() + at + prefix.size(), nullptr, 10);
    }
    return -1;
}

bool IsRpcFailure(long long hr) {
    return hr >= 0x800706A4LL && hr <= 0x800707CFLL;
}

class ServiceDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(zvtest::StandinHost::LocalServer);
        ASSERT_TRUE(control != nullptr);
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_NE(nullptr, sdk);
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    }
    void TearDown() override {
        if (sdk && !uninitialized) WithinLimit("Uninitialize", [&] { sdk->Uninitialize(); });
        control.reset();
        // Leave the stand-in registered for whatever runs next.
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        CoUninitialize();
    }

    // Kills the exe host that serves this test's connections. The control
    // object is released first, so that only the SDK holds references into
    // the dead process.
    void KillServer() {
        if (control) {
            serverId = control->ServerProcessId();
            control.reset();
        }
        ASSERT_NE(0u, serverId);
        ASSERT_NE(GetCurrentProcessId(), serverId) << "the exe host must serve";
        HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverId);
        ASSERT_NE(nullptr, server) << GetLastError();
        ASSERT_TRUE(TerminateProcess(server, 9));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 10000));
        CloseHandle(server);
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
    unsigned int Connect() {
        unsigned int handle = 0;
        EXPECT_EQ(ZV_SUCCESS, sdk->CreateConnection(L"App", nullptr, nullptr, &handle));
        return handle;
    }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
    DWORD serverId = 0;
    bool uninitialized = false;
};

}  // namespace

// The removal's CancelAllCalls cannot reach the dead server and the removal
// goes on; whatever the table's revocation reported is what the caller gets.
// A new connection then reports the service unavailable, and its handle is
// not given out again.
TEST_F(ServiceDeathTest, DestroyAndCreateAfterTheDeathEndAndReportTheirFailures) {
    ASSERT_EQ(1u, Connect());
    KillServer();
    ZVResult destroyed = 0xFFFFFFFF;
    WithinLimit("DestroyConnection", [&] { destroyed = sdk->DestroyConnection(1); });
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
    WithinLimit("CreateConnection", [&] { created = sdk->CreateConnection(L"App", nullptr, nullptr, &handle); });
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, created);
    EXPECT_EQ(0u, handle);
    const long long failure = NumberAfter(trace, "AddZelvar Caught unexpected COM HRESULT code ");
    EXPECT_TRUE(failure == static_cast<long long>(static_cast<unsigned>(REGDB_E_CLASSNOTREG)) || IsRpcFailure(failure))
        << std::hex << failure;
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::CreateConnection: caught COM error " +
                               std::to_string(failure)));
    for (unsigned int gone : {1u, 2u}) {
        ZVResult again = 0xFFFFFFFF;
        WithinLimit("DestroyConnection again", [&] { again = sdk->DestroyConnection(gone); });
        EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, again) << gone;
    }
}

TEST_F(ServiceDeathTest, UninitializeEndsAfterCancellingEveryDeadConnectionInTurn) {
    ASSERT_EQ(1u, Connect());
    ASSERT_EQ(2u, Connect());
    KillServer();

    ZVResult result = 0xFFFFFFFF;
    WithinLimit("Uninitialize", [&] { result = sdk->Uninitialize(); });
    uninitialized = true;
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
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    uninitialized = false;
    ZVResult destroyed = 0xFFFFFFFF;
    WithinLimit("DestroyConnection", [&] { destroyed = sdk->DestroyConnection(2); });
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, destroyed);
}
