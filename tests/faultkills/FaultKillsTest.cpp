// The service's process killed while a call or an event is in flight: every
// caller returns the mapped RPC result within the step limit, later calls
// fail the same way, the callback thread goes on and Uninitialize ends.
//
// Each test kills a server; Wine then refuses the service's class until the
// wineserver ends, so every test runs alone with a wineserver of its own
// (label "faults_kills_service", run that way by tools/test.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "faults/FaultSupport.h"

using namespace BrennicZelvarSDK;
using zvfaults::WithinLimit;

namespace {

// After a kill, a new connection cannot be made: the creation reports the
// dead server or, on Wine, the class it refuses from then on; both map here.
const ZVResult kServiceGone = ZV_ERROR_SERVICE_UNAVAILABLE;
// DestroyConnection of a dead server's connection: removed, with the
// revocation's result (0 on Windows, 65526 on Wine) or the RPC failure.
const std::set<ZVResult> kDestroyedAfterKill = {ZV_SUCCESS, 65526, ZV_ERROR_SERVICE_UNAVAILABLE};

struct Callbacks {
    std::atomic<unsigned> count{0};
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Callbacks() {
        CloseHandle(first);
        CloseHandle(release);
    }
};

// Holds the callback thread on the first event until the test lets it go.
void OnStatus(unsigned int, void* context, unsigned int, int) {
    auto* callbacks = static_cast<Callbacks*>(context);
    if (++callbacks->count == 1) {
        SetEvent(callbacks->first);
        WaitForSingleObject(callbacks->release, INFINITE);
    }
}

class ServiceKilled : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::LocalServer));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_NE(nullptr, sdk);
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    }
    void TearDown() override {
        control.reset();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        CoUninitialize();
    }
    void KillServer() {
        const DWORD serverId = control->ServerProcessId();
        ASSERT_NE(0u, serverId);
        control.reset();
        HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverId);
        ASSERT_NE(nullptr, server) << GetLastError();
        ASSERT_TRUE(TerminateProcess(server, 9));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 10000));
        CloseHandle(server);
    }
    // A later connection fails as the dead service does, and the SDK shuts
    // down.
    void ExpectLaterCallsFailAndShutdownEnds() {
        unsigned int handle = 0;
        ZVResult again = 0;
        WithinLimit("CreateConnection after the kill",
                    [&] { again = sdk->CreateConnection(L"Later", nullptr, nullptr, &handle); });
        EXPECT_EQ(kServiceGone, again);
        ZVResult shutdown = 0xFFFFFFFF;
        WithinLimit("Uninitialize", [&] { shutdown = sdk->Uninitialize(); });
        EXPECT_EQ(ZV_SUCCESS, shutdown);
    }

    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
};

}  // namespace

TEST_F(ServiceKilled, WhileItHoldsCreateConnection) {
    ASSERT_TRUE(control->SetMethod("CreateConnection", {{"block", true}}));
    ZVResult created = 0xFFFFFFFF;
    unsigned int handle = 0;
    std::thread caller([&] { created = sdk->CreateConnection(L"Held", nullptr, nullptr, &handle); });
    ASSERT_TRUE(control->WaitForCalls("CreateConnection", 1));
    KillServer();
    WithinLimit("the held CreateConnection", [&] { caller.join(); });
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, created);
    ExpectLaterCallsFailAndShutdownEnds();
}

TEST_F(ServiceKilled, WhileItDeliversEvents) {
    Callbacks callbacks;
    unsigned int handle = 0;
    ASSERT_EQ(ZV_SUCCESS, sdk->CreateConnection(L"Events", OnStatus, &callbacks, &handle));
    control->FireEvents({{"status", 2}, {"window", 0}, {"count", 2000}, {"threads", 4}, {"wait", false}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(callbacks.first, zvfaults::kStepLimitMs));
    KillServer();
    SetEvent(callbacks.release);
    // Destruction runs on the callback thread: its return shows that thread
    // was not left stuck by the events in flight.
    ZVResult destroyed = 0xFFFFFFFF;
    WithinLimit("DestroyConnection", [&] { destroyed = sdk->DestroyConnection(handle); });
    EXPECT_TRUE(kDestroyedAfterKill.count(destroyed)) << destroyed;
    ExpectLaterCallsFailAndShutdownEnds();
}
