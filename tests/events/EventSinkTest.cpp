// The status-change sink as a COM object on its own, with the statically
// linked SDK; its dispatch rules run through COM in the connections program.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/ZVImplementation.h"
#include "service/StatusChangeEventSink.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {

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
    RunOnPoolAndWait(
        kCallbackPoolName, [] {}, "EventSinkTest");  // drains the callback pool
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
    EXPECT_EQ(std::vector<unsigned int>{31}, record->statuses);
    record.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(0u, sink->Release());
    EXPECT_TRUE(watch.expired()) << "the destroyed sink still holds its delivery target";
}

}  // namespace
