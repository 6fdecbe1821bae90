// The status-change sink as a COM object on its own: the SDK's code linked
// into the test (its own singleton and pools), the sink called directly as
// the service's connection point would call it.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/TraceCapture.h"
#include "core/Globals.h"
#include "core/ZVImplementation.h"
#include "service/StatusChangeEventSink.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {

struct Delivered {
    unsigned int handle;
    unsigned int status;
    int window;
    DWORD thread;
};

// What a delivery target received; shared with the target's copies so that
// the test can tell when the last copy is gone.
struct TargetRecord {
    std::mutex lock;
    std::vector<Delivered> calls;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    std::vector<Delivered> Snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return calls;
    }
};

StatusChangeTarget RecordingTarget(const std::shared_ptr<TargetRecord>& record) {
    return [record](unsigned int handle, unsigned int status, int window) {
        if (++record->inside > 1) record->overlapped = true;
        {
            std::lock_guard<std::mutex> hold(record->lock);
            record->calls.push_back({handle, status, window, GetCurrentThreadId()});
        }
        --record->inside;
    };
}

// Releases the test's reference on every way out.
struct SinkRef {
    explicit SinkRef(StatusChangeEventSink* s) : sink(s) { sink->AddRef(); }
    ~SinkRef() {
        if (sink) sink->Release();
    }
    StatusChangeEventSink* operator->() const { return sink; }
    StatusChangeEventSink* sink;
};

// One event as the connection point sends it: arguments last-first.
HRESULT FireAt(IDispatch* sink, unsigned int status, int window, DISPID dispId = 1, WORD flags = DISPATCH_METHOD) {
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    V_VT(&args[1]) = VT_UI4;
    V_UI4(&args[1]) = status;
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = window;
    DISPPARAMS params{args, nullptr, 2, 0};
    return sink->Invoke(dispId, IID_NULL, 0, flags, &params, nullptr, nullptr, nullptr);
}

class StatusChangeEventSinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize()); }
    void TearDown() override { GetImplementation().Uninitialize(); }

    // Every worker queued on the callback pool before this call has run
    // when it returns: the pool has one thread and runs in queue order.
    static void DrainCallbackPool() {
        RunOnPoolAndWait(
            kCallbackPoolName, [] {}, "StatusChangeEventSinkTest");
    }

    static DWORD CallbackThreadId() {
        SharedLockHold hold(g_DataLock);
        return g_CallbackThreadId;
    }

    zvtest::TraceCapture trace;
    std::shared_ptr<TargetRecord> record = std::make_shared<TargetRecord>();
};

}  // namespace

TEST_F(StatusChangeEventSinkTest, AnswersOnlyIUnknownAndTheEventInterface) {
    SinkRef sink(new StatusChangeEventSink(1, RecordingTarget(record)));
    IUnknown* asUnknown = nullptr;
    ASSERT_EQ(S_OK, sink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&asUnknown)));
    _IZelvarEvents* asEvents = nullptr;
    ASSERT_EQ(S_OK, sink->QueryInterface(DIID__IZelvarEvents, reinterpret_cast<void**>(&asEvents)));
    EXPECT_EQ(static_cast<void*>(asUnknown), static_cast<void*>(asEvents)) << "one identity";
    // The test's reference and the two just handed out.
    EXPECT_EQ(4u, sink->AddRef());
    EXPECT_EQ(3u, sink->Release());
    asUnknown->Release();
    asEvents->Release();

    // The marshaller must not take it for a general IDispatch.
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IConnectionPoint, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, sink->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, sink->QueryInterface(IID_IDispatch, nullptr));
    // None of the refusals took a reference.
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
}

TEST_F(StatusChangeEventSinkTest, OffersNoTypeInformationAndKnowsNoNames) {
    SinkRef sink(new StatusChangeEventSink(1, RecordingTarget(record)));
    UINT count = 7;
    EXPECT_EQ(S_OK, sink->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);

    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(S_OK, sink->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
    info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(DISP_E_BADINDEX, sink->GetTypeInfo(1, 0, &info));
    EXPECT_EQ(nullptr, info);
    info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(DISP_E_BADINDEX, sink->GetTypeInfo(0xFFFFFFFF, 0, &info));
    EXPECT_EQ(nullptr, info);
    EXPECT_EQ(E_INVALIDARG, sink->GetTypeInfo(0, 0, nullptr));
    EXPECT_EQ(E_INVALIDARG, sink->GetTypeInfo(1, 0, nullptr));

    wchar_t status[] = L"OnStatusChange";
    wchar_t other[] = L"Invoke";
    LPOLESTR names[] = {status, other, status};
    DISPID ids[4] = {5, 6, 7, 8};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, sink->GetIDsOfNames(IID_NULL, names, 3, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[0]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[2]);
    EXPECT_EQ(8, ids[3]) << "only as many ids as names are written";
    DISPID untouched = 9;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, sink->GetIDsOfNames(IID_NULL, names, 0, 0, &untouched));
    EXPECT_EQ(9, untouched);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, sink->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr));
}

TEST_F(StatusChangeEventSinkTest, OnlyTheStatusMethodWithAStatusAndAWindowIsDelivered) {
    SinkRef sink(new StatusChangeEventSink(77, RecordingTarget(record)));
    IDispatch* target = sink.sink;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, FireAt(target, 10, 0, 2));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, FireAt(target, 11, 0, 0));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, FireAt(target, 12, 0, 1, DISPATCH_PROPERTYGET));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, FireAt(target, 13, 0, 1, DISPATCH_METHOD | DISPATCH_PROPERTYGET));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, FireAt(target, 14, 0, 1, DISPATCH_PROPERTYPUT));

    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    VARIANT args[3];
    for (VARIANT& v : args) VariantInit(&v);
    DISPPARAMS params{args, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    // Swapped: the window first in call order (last in the block).
    V_VT(&args[0]) = VT_UI4;
    V_UI4(&args[0]) = 15;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 16;
    params.cArgs = 2;
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    // Status and window, then one more.
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 0;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 0;
    V_VT(&args[2]) = VT_UI4;
    V_UI4(&args[2]) = 17;
    params.cArgs = 3;
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    // The status alone.
    params.rgvarg = &args[2];
    params.cArgs = 1;
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    // Types that would convert are still refused: no coercion.
    params.rgvarg = args;
    params.cArgs = 2;
    V_VT(&args[1]) = VT_I4;
    V_I4(&args[1]) = 18;
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    V_VT(&args[1]) = VT_UI4;
    V_UI4(&args[1]) = 19;
    V_VT(&args[0]) = VT_UI4;
    V_UI4(&args[0]) = 0;
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              target->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));

    EXPECT_EQ(S_OK, FireAt(target, 20, -2));
    DrainCallbackPool();
    std::vector<Delivered> seen = record->Snapshot();
    ASSERT_EQ(1u, seen.size()) << "a refused event was delivered";
    EXPECT_EQ(77u, seen[0].handle);
    EXPECT_EQ(20u, seen[0].status);
    EXPECT_EQ(-2, seen[0].window);
    EXPECT_EQ(CallbackThreadId(), seen[0].thread);
    EXPECT_NE(GetCurrentThreadId(), seen[0].thread);
}

TEST_F(StatusChangeEventSinkTest, EventsFromManyThreadsReachTheTargetOneAtATimeInEachThreadsOrder) {
    SinkRef sink(new StatusChangeEventSink(3, RecordingTarget(record)));
    constexpr unsigned kThreads = 4, kEvents = 50;
    std::vector<std::thread> firing;
    std::atomic<int> refused{0};
    for (unsigned t = 0; t < kThreads; ++t) {
        firing.emplace_back([&, t] {
            for (unsigned i = 0; i < kEvents; ++i)
                if (FireAt(sink.sink, t * 1000 + i, 0) != S_OK) ++refused;
        });
    }
    for (auto& thread : firing) thread.join();
    DrainCallbackPool();
    EXPECT_EQ(0, refused.load());
    std::vector<Delivered> seen = record->Snapshot();
    ASSERT_EQ(kThreads * kEvents, seen.size());
    EXPECT_FALSE(record->overlapped);
    unsigned next[kThreads] = {};
    for (const Delivered& d : seen) {
        const unsigned t = d.status / 1000;
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(next[t]++, d.status % 1000) << "thread " << t;
        EXPECT_EQ(CallbackThreadId(), d.thread);
    }
}

TEST_F(StatusChangeEventSinkTest, ReleasingTheLastReferenceDestroysTheSinkAndItsTarget) {
    std::weak_ptr<TargetRecord> watch = record;
    auto* sink = new StatusChangeEventSink(4, RecordingTarget(record));
    record.reset();  // the sink's target alone keeps the record now
    EXPECT_EQ(1u, sink->AddRef());
    EXPECT_EQ(2u, sink->AddRef());
    EXPECT_EQ(S_OK, FireAt(sink, 1, 0));
    DrainCallbackPool();  // the worker and its copy of the target are gone by now
    {
        std::shared_ptr<TargetRecord> still = watch.lock();
        ASSERT_TRUE(still);
        EXPECT_EQ(1u, still->Snapshot().size());
    }
    EXPECT_EQ(1u, sink->Release());
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(0u, sink->Release());
    EXPECT_TRUE(watch.expired()) << "the destroyed sink still holds its delivery target";
}

TEST_F(StatusChangeEventSinkTest, EventsWhileTheSdkIsNotInitialisedAreDropped) {
    SinkRef sink(new StatusChangeEventSink(5, RecordingTarget(record)));
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
    // The COM call is still answered: the service must not see a failure.
    EXPECT_EQ(S_OK, FireAt(sink.sink, 30, 0));
    EXPECT_EQ(S_OK, FireAt(sink.sink, 1, 0x1234));
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());
    EXPECT_EQ(S_OK, FireAt(sink.sink, 31, 0));
    DrainCallbackPool();
    std::vector<Delivered> seen = record->Snapshot();
    ASSERT_EQ(1u, seen.size()) << "an event of the uninitialised SDK was kept";
    EXPECT_EQ(31u, seen[0].status);
}

TEST_F(StatusChangeEventSinkTest, AnEmptyTargetDeliversNothingButStillBringsThePopUpForward) {
    SinkRef empty(new StatusChangeEventSink(6, StatusChangeTarget()));
    SinkRef recording(new StatusChangeEventSink(7, RecordingTarget(record)));
    EXPECT_EQ(S_OK, FireAt(empty.sink, 2, 0));
    EXPECT_EQ(S_OK, FireAt(empty.sink, 1, 0x4321));  // not a window here: the foreground request fails
    EXPECT_EQ(S_OK, FireAt(recording.sink, 8, 0));
    DrainCallbackPool();
    std::vector<Delivered> seen = record->Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(7u, seen[0].handle);
    EXPECT_TRUE(trace.Contains("Failed to set foreground window focus to pop up window with handle 0x4321"));
    // Status 1 without a window, and another status with one, leave the foreground alone.
    EXPECT_EQ(S_OK, FireAt(empty.sink, 1, 0));
    EXPECT_EQ(S_OK, FireAt(empty.sink, 2, 0x5678));
    int warnings = 0;
    for (const std::string& m : trace.Messages())
        if (m.find("Failed to set foreground window focus") != std::string::npos) ++warnings;
    EXPECT_EQ(1, warnings);
}

TEST_F(StatusChangeEventSinkTest, TheWorkerSwallowsAnEmptyOrThrowingTargetAndReportsSuccess) {
    StatusChangeEventSinkWorker emptyWorker(1, StatusChangeTarget(), 2, 3);
    EXPECT_EQ(0u, emptyWorker.Execute());
    StatusChangeEventSinkWorker throwingWorker(
        1, [](unsigned int, unsigned int, int) { throw std::runtime_error("application failure"); }, 2, 3);
    EXPECT_EQ(0u, throwingWorker.Execute());
    StatusChangeEventSinkWorker recordingWorker(9, RecordingTarget(record), 10, -11);
    EXPECT_EQ(0u, recordingWorker.Execute());
    std::vector<Delivered> seen = record->Snapshot();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(9u, seen[0].handle);
    EXPECT_EQ(10u, seen[0].status);
    EXPECT_EQ(-11, seen[0].window);
}
