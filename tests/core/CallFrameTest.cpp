// The call frame, the re-entrancy rule and the gate, exercised on the SDK's
// own code linked into the test (its own singleton and pools).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "common/TraceCapture.h"
#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {
const char kName[] = "BrennicZelvarSDK::Test::Operation";

class CallFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize()); }
    void TearDown() override { GetImplementation().Uninitialize(); }
    zvtest::TraceCapture trace;
};

template <class Exception>
ZVResult RunThrowing(const Exception& e) {
    return RunApiCall(kName, Apartment::Join, [&](ApiCall&) -> ZVResult { throw e; });
}
}  // namespace

TEST_F(CallFrameTest, EveryKindOfExceptionBecomesItsResultAndTrace) {
    EXPECT_EQ(ZV_ERROR_FAILED, RunThrowing(ThreadPoolInvocationException()));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::Test::Operation: caught ThreadPoolInvocationException"));

    EXPECT_EQ(ZV_ERROR_FAILED, RunThrowing(std::logic_error("Thread pool not found!")));
    EXPECT_TRUE(trace.Contains(
        "BrennicZelvarSDK::Test::Operation: caught unexpected std::exception; what=Thread pool not found!"));

    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, RunThrowing(_com_error(E_HANDLE)));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::Test::Operation: caught COM error 2147942406"));
    EXPECT_EQ(65533u, RunThrowing(_com_error(static_cast<HRESULT>(0x80040202))));

    EXPECT_EQ(ZV_ERROR_FAILED, RunThrowing(42));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::Test::Operation: caught an unclassified exception"));
}

TEST_F(CallFrameTest, TheBodyRunsInTheMultithreadedApartmentOnlyWhenAsked) {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier;
    RunApiCall(kName, Apartment::Join, [&](ApiCall&) {
        EXPECT_EQ(S_OK, CoGetApartmentType(&type, &qualifier));
        return ZV_SUCCESS;
    });
    EXPECT_EQ(APTTYPE_MTA, type);
    // Left again afterwards: the thread is free to join another apartment.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();

    // A thread already in a single-threaded apartment is used as it is.
    std::thread sta([] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ZVResult r = RunApiCall(kName, Apartment::Join, [](ApiCall&) {
            APTTYPE t;
            APTTYPEQUALIFIER q;
            CoGetApartmentType(&t, &q);
            EXPECT_EQ(APTTYPE_MAINSTA, t);
            return ZV_SUCCESS;
        });
        EXPECT_EQ(ZV_SUCCESS, r);
        CoUninitialize();
    });
    sta.join();
}

TEST_F(CallFrameTest, CallsFromTheCallbackThreadAreRefusedWithoutTouchingTheCount) {
    ZVResult fromCallback[4] = {};
    bool ranOnPool = false;
    RunOnPoolAndWait(
        kCallbackPoolName,
        [&] {
            ranOnPool = true;
            fromCallback[0] = GetImplementation().Initialize();
            fromCallback[1] = GetImplementation().Uninitialize();
            fromCallback[2] = GetImplementation().DestroyConnection(1);
            fromCallback[3] = RunApiCall(kName, Apartment::Join, [](ApiCall&) { return ZV_SUCCESS; });
        },
        kName);
    ASSERT_TRUE(ranOnPool);
    for (ZVResult r : fromCallback) EXPECT_EQ(ZV_ERROR_FAILED, r);
    EXPECT_TRUE(trace.Contains(
        "BrennicZelvarSDK::ZVImplementationV1::Initialize: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE"));
    EXPECT_TRUE(trace.Contains(
        "BrennicZelvarSDK::ZVImplementationV1::Uninitialize: RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE"));
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::Test::Operation: caught COM error 2147500037"));
    // The refused Initialize did not count: one Uninitialize (TearDown) ends it.
    EXPECT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, GetImplementation().Uninitialize());
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());  // for TearDown
}

TEST_F(CallFrameTest, UninitializeWaitsForOperationsInFlightAndLaterOnesStopAtTheGate) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> inside{false};
    ZVResult inFlightResult = 0xFFFFFFFF;
    std::thread inFlight([&] {
        inFlightResult = RunApiCall(kName, Apartment::Join, [&](ApiCall&) {
            inside = true;
            WaitForSingleObject(release, INFINITE);
            return ZV_SUCCESS;
        });
    });
    while (!inside) Sleep(5);

    std::atomic<bool> uninitialized{false};
    std::thread shutdown([&] {
        EXPECT_EQ(ZV_SUCCESS, GetImplementation().Uninitialize());
        uninitialized = true;
    });
    // The flag is cleared before the writer waits on the gate.
    for (int i = 0; i < 200 && IsInitialized(); ++i) Sleep(5);
    ASSERT_FALSE(IsInitialized());

    std::atomic<bool> lateDone{false};
    ZVResult lateResult = 0xFFFFFFFF;
    std::thread late([&] {
        lateResult = RunApiCall(kName, Apartment::Join, [](ApiCall&) { return ZV_SUCCESS; });
        lateDone = true;
    });
    Sleep(300);
    EXPECT_FALSE(uninitialized) << "Uninitialize must wait for the operation inside the gate";
    EXPECT_FALSE(lateDone) << "a new operation must wait behind the shutdown";

    SetEvent(release);
    inFlight.join();
    shutdown.join();
    late.join();
    EXPECT_EQ(ZV_SUCCESS, inFlightResult);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, lateResult);
    CloseHandle(release);
    ASSERT_EQ(ZV_SUCCESS, GetImplementation().Initialize());  // for TearDown
}
