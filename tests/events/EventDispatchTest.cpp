// The sink's dispatch rules through the real COM path: connections made by
// the SDK loaded as a DLL, events fired by the stand-in service's own threads
// with the dispatch identifier, flags and raw arguments the test chooses.
// The service reports each sink's refusal in the FireEvents reply; whether a
// refused event reached the application is told by a correct event fired
// after it: the callback thread delivers in queue order, so once the correct
// one has arrived, a refused one that had been queued would have arrived too.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"

using namespace BrennicZelvarSDK;
using zvtest::Json;
using zvtest::StandinHost;

namespace {

const char kMemberNotFound[] = "0x80020003";  // DISP_E_MEMBERNOTFOUND
const char kParamNotFound[] = "0x80020004";   // DISP_E_PARAMNOTFOUND

struct Delivery {
    unsigned int handle;
    unsigned int status;
    int window;
};

struct DeliveryLog {
    std::mutex lock;
    std::vector<Delivery> deliveries;
    HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~DeliveryLog() { CloseHandle(changed); }

    std::vector<Delivery> Snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return deliveries;
    }
    bool WaitFor(size_t count, DWORD timeoutMs = 10000) {
        const DWORD start = GetTickCount();
        while (Snapshot().size() < count) {
            if (GetTickCount() - start > timeoutMs) return false;
            WaitForSingleObject(changed, 50);
        }
        return true;
    }
};

void RecordDelivery(unsigned int handle, void* context, unsigned int status, int window) {
    auto* log = static_cast<DeliveryLog*>(context);
    {
        std::lock_guard<std::mutex> hold(log->lock);
        log->deliveries.push_back({handle, status, window});
    }
    SetEvent(log->changed);
}

std::string ExeFileName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(s.find_last_of('\\') + 1);
}

// Wine gap: once every thread of the process has left the multithreaded
// apartment (each test's Uninitialize takes the SDK's pool threads out, the
// test's own thread follows), a sink exported from the next apartment is
// unknown to the RPC layer: the exe host's events fail with 0x800706B5
// (RPC_S_UNKNOWN_IF). Windows serves it. The main thread therefore stays in
// the apartment for the program's whole run, as an application's would.
struct ProcessApartment : ::testing::Environment {
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};
const ::testing::Environment* const processApartment = ::testing::AddGlobalTestEnvironment(new ProcessApartment);

Json Arg(unsigned vt, long long value) {
    return Json{{"vt", vt}, {"value", value}};
}

class EventDispatchTest : public ::testing::TestWithParam<StandinHost> {
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
        ASSERT_EQ(ZV_SUCCESS, sdk->CreateConnection(L"App", RecordDelivery, &log, &handle));
        clientId = "App:" + ExeFileName() + ":" + std::to_string(GetCurrentProcessId()) + ":" + std::to_string(handle);
    }
    void TearDown() override {
        if (sdk) sdk->Uninitialize();
        control.reset();
        CoUninitialize();
    }

    // Fires one event at this test's connection; `extra` adds dispid, flags
    // or raw arguments to the request.
    Json Fire(unsigned int status, int window, const Json& extra = Json::object()) {
        Json request{{"clientId", clientId}, {"status", status}, {"window", window}};
        for (auto it = extra.begin(); it != extra.end(); ++it) request[it.key()] = it.value();
        return control->FireEvents(request);
    }

    // The sink refused the event with `expected` and told the service so.
    static void ExpectRefused(const Json& reply, const char* expected) {
        EXPECT_EQ(1u, reply.value("sinks", 0u)) << reply.dump();
        EXPECT_EQ(0u, reply.value("delivered", 99u)) << reply.dump();
        EXPECT_EQ(1u, reply.value("failed", 0u)) << reply.dump();
        EXPECT_EQ(Json::array({expected}), reply.value("results", Json())) << reply.dump();
    }

    // Fires a correct event and waits for it: every refused event fired
    // before it would have been delivered by then.
    void ExpectOnlyTheCorrectEventArrives(unsigned int status, int window) {
        Json reply = Fire(status, window);
        EXPECT_EQ(1u, reply.value("delivered", 0u)) << reply.dump();
        ASSERT_TRUE(log.WaitFor(1));
        std::vector<Delivery> seen = log.Snapshot();
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(handle, seen[0].handle);
        EXPECT_EQ(status, seen[0].status);
        EXPECT_EQ(window, seen[0].window);
        int called = 0;
        for (const std::string& m : trace.Messages())
            if (m.find("OnStatusChangeCallback: Called with") != std::string::npos) ++called;
        EXPECT_EQ(1, called) << "a refused event reached the callback thread";
    }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
    DeliveryLog log;
    unsigned int handle = 0;
    std::string clientId;
};

}  // namespace

TEST_P(EventDispatchTest, AnotherMemberOrAPropertyGetIsNotFoundAndDeliversNothing) {
    ExpectRefused(Fire(31, 0, {{"dispid", 2}}), kMemberNotFound);
    ExpectRefused(Fire(32, 0, {{"dispid", 0}}), kMemberNotFound);
    ExpectRefused(Fire(33, 0, {{"flags", DISPATCH_PROPERTYGET}}), kMemberNotFound);
    // A method call that also allows a property get is not exactly a method call.
    ExpectRefused(Fire(34, 0, {{"flags", DISPATCH_METHOD | DISPATCH_PROPERTYGET}}), kMemberNotFound);
    ExpectOnlyTheCorrectEventArrives(35, 7);
}

TEST_P(EventDispatchTest, WrongArgumentsAreNotFoundAndDeliverNothing) {
    // Window first and status second in call order: the types are swapped.
    ExpectRefused(Fire(0, 0, {{"args", Json::array({Arg(VT_I4, 41), Arg(VT_UI4, 42)})}}), kParamNotFound);
    ExpectRefused(Fire(0, 0, {{"args", Json::array({Arg(VT_UI4, 43), Arg(VT_I4, 0), Arg(VT_I4, 0)})}}), kParamNotFound);
    ExpectRefused(Fire(0, 0, {{"args", Json::array()}}), kParamNotFound);
    ExpectRefused(Fire(0, 0, {{"args", Json::array({Arg(VT_UI4, 44)})}}), kParamNotFound);
    // No coercion: a status of another integer type is refused too.
    ExpectRefused(Fire(0, 0, {{"args", Json::array({Arg(VT_I4, 45), Arg(VT_I4, 0)})}}), kParamNotFound);
    ExpectRefused(Fire(0, 0, {{"args", Json::array({Arg(VT_UI4, 46), Arg(VT_UI4, 0)})}}), kParamNotFound);
    ExpectOnlyTheCorrectEventArrives(47, -3);
}

TEST_P(EventDispatchTest, CorrectRawArgumentsArriveWithTheirValues) {
    Json reply = Fire(0, 0, {{"args", Json::array({Arg(VT_UI4, 4000000000LL), Arg(VT_I4, -12345)})}});
    EXPECT_EQ(1u, reply.value("delivered", 0u)) << reply.dump();
    EXPECT_EQ(0u, reply.value("failed", 99u)) << reply.dump();
    ASSERT_TRUE(log.WaitFor(1));
    std::vector<Delivery> seen = log.Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(handle, seen[0].handle);
    EXPECT_EQ(4000000000u, seen[0].status);
    EXPECT_EQ(-12345, seen[0].window);
}

INSTANTIATE_TEST_SUITE_P(BothHosts, EventDispatchTest,
                         ::testing::Values(StandinHost::InprocServer, StandinHost::LocalServer),
                         [](const ::testing::TestParamInfo<StandinHost>& info) {
                             return info.param == StandinHost::LocalServer ? std::string("LocalServer")
                                                                           : std::string("InprocServer");
                         });
