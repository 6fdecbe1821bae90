// The status-change sink. Its dispatch rules run through the real COM path:
// connections made by the SDK loaded as a DLL, events fired by the stand-in
// service's own threads with the dispatch identifier, flags and raw arguments
// the test chooses; the service reports each sink's refusal in its reply.
// Whether a refused event reached the application is told by a correct event
// fired after it: the callback thread delivers in queue order. The sink's own
// COM surface and lifetime are checked on the statically linked code.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"
#include "core/ZVImplementation.h"
#include "service/StatusChangeEventSink.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;
using zvtest::Json;
using zvtest::StandinHost;

namespace {

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
    bool WaitFor(size_t count) {
        while (Snapshot().size() < count)
            if (WaitForSingleObject(changed, 10000) != WAIT_OBJECT_0) return false;
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

// Wine gap: once every thread of the process has left the multithreaded
// apartment, a sink exported from the next apartment is unknown to the RPC
// layer (the exe host's events fail with 0x800706B5); Windows serves it. The
// main thread therefore stays in the apartment for the whole run, as an
// application's would.
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
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(GetParam()));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
        ASSERT_EQ(ZV_SUCCESS, sdk->CreateConnection(L"App", RecordDelivery, &log, &handle));
        clientId = control->LastArgs("CreateConnection").value("clientIdentifier", "");
    }
    void TearDown() override {
        if (sdk) sdk->Uninitialize();
        control.reset();
    }

    Json Fire(unsigned int status, int window, const Json& extra = Json::object()) {
        Json request{{"clientId", clientId}, {"status", status}, {"window", window}};
        for (auto it = extra.begin(); it != extra.end(); ++it) request[it.key()] = it.value();
        return control->FireEvents(request);
    }
    // The sink refused the event with `expected` and told the service so.
    static void ExpectRefused(const Json& reply, const char* expected) {
        EXPECT_EQ(0u, reply.value("delivered", 99u)) << reply.dump();
        EXPECT_EQ(Json::array({expected}), reply.value("results", Json())) << reply.dump();
    }
    // Fires a correct event and waits for it: a refused event fired before
    // it would have been delivered by then.
    void ExpectOnlyThisEventArrives(const Json& extra, unsigned int status, int window) {
        EXPECT_EQ(1u, Fire(0, 0, extra).value("delivered", 0u));
        ASSERT_TRUE(log.WaitFor(1));
        std::vector<Delivery> seen = log.Snapshot();
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(handle, seen[0].handle);
        EXPECT_EQ(status, seen[0].status);
        EXPECT_EQ(window, seen[0].window);
        int called = 0;
        for (const std::string& m : trace.Messages()) called += m.find("OnStatusChangeCallback: Called") != m.npos;
        EXPECT_EQ(1, called) << "a refused event reached the callback thread";
    }

    zvtest::TraceCapture trace;
    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
    DeliveryLog log;
    unsigned int handle = 0;
    std::string clientId;
};

const char kMemberNotFound[] = "0x80020003";
const char kParamNotFound[] = "0x80020004";

TEST_P(EventDispatchTest, OnlyTheStatusMethodWithAStatusAndAWindowIsDelivered) {
    ExpectRefused(Fire(31, 0, {{"dispid", 2}}), kMemberNotFound);
    ExpectRefused(Fire(32, 0, {{"dispid", 0}}), kMemberNotFound);
    ExpectRefused(Fire(33, 0, {{"flags", DISPATCH_PROPERTYGET}}), kMemberNotFound);
    ExpectRefused(Fire(34, 0, {{"flags", DISPATCH_METHOD | DISPATCH_PROPERTYGET}}), kMemberNotFound);
    // Swapped types, one too many, none, one; no coercion of other integer types.
    for (const Json& args :
         {Json::array({Arg(VT_I4, 41), Arg(VT_UI4, 42)}), Json::array({Arg(VT_UI4, 43), Arg(VT_I4, 0), Arg(VT_I4, 0)}),
          Json::array(), Json::array({Arg(VT_UI4, 44)}), Json::array({Arg(VT_I4, 45), Arg(VT_I4, 0)}),
          Json::array({Arg(VT_UI4, 46), Arg(VT_UI4, 0)})})
        ExpectRefused(Fire(0, 0, {{"args", args}}), kParamNotFound);
    ExpectOnlyThisEventArrives({{"args", Json::array({Arg(VT_UI4, 4000000000LL), Arg(VT_I4, -12345)})}}, 4000000000u,
                               -12345);
}

INSTANTIATE_TEST_SUITE_P(BothHosts, EventDispatchTest,
                         ::testing::Values(StandinHost::InprocServer, StandinHost::LocalServer),
                         [](const ::testing::TestParamInfo<StandinHost>& info) {
                             return std::string(info.param == StandinHost::LocalServer ? "LocalServer"
                                                                                       : "InprocServer");
                         });

// The sink as a COM object on its own, with the statically linked SDK.
struct Target {
    std::vector<unsigned int> statuses;
    void operator()(unsigned int, unsigned int status, int) { statuses.push_back(status); }
};

HRESULT FireAt(IDispatch* sink, unsigned int status) {
    VARIANT args[2];
    V_VT(&args[1]) = VT_UI4;
    V_UI4(&args[1]) = status;
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 0;
    DISPPARAMS params{args, nullptr, 2, 0};
    return sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

void DrainCallbackPool() {
    RunOnPoolAndWait(
        kCallbackPoolName, [] {}, "EventSinkTest");
}

TEST(EventSink, AnswersOnlyIUnknownAndTheEventInterface) {
    auto* sink = new StatusChangeEventSink(1, StatusChangeTarget());
    sink->AddRef();
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IDispatch, &out))
        << "the marshaller would take it for any IDispatch";
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(S_OK, sink->QueryInterface(DIID__IZelvarEvents, &out));
    EXPECT_EQ(static_cast<IDispatch*>(sink), out);
    EXPECT_EQ(3u, sink->AddRef()) << "only the successful query took a reference";
    for (int i = 0; i < 3; ++i) sink->Release();
}

TEST(EventSink, EventsOfAnUninitialisedSdkAreDroppedAndTheLastReleaseFreesTheTarget) {
    auto record = std::make_shared<Target>();
    std::weak_ptr<Target> watch = record;
    auto* sink = new StatusChangeEventSink(4, [record](unsigned int h, unsigned int s, int w) { (*record)(h, s, w); });
    sink->AddRef();
    EXPECT_EQ(S_OK, FireAt(sink, 30)) << "the service must not see a failure";
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());
    EXPECT_EQ(S_OK, FireAt(sink, 31));
    DrainCallbackPool();
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
    EXPECT_EQ(std::vector<unsigned int>{31}, record->statuses);
    record.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(0u, sink->Release());
    EXPECT_TRUE(watch.expired()) << "the destroyed sink still holds its delivery target";
}

}  // namespace
