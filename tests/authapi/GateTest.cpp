// Long service calls and the API gate: an operation that leaves the gate
// before its service call does not hold up Uninitialize, the others are
// waited for; CancelAllCalls from another thread ends a held Prepare across
// the process boundary. The stand-in holds the calls until told.
#include <future>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

// Runs an operation on a thread of its own, in the apartment given.
std::future<ZVResult> Background(std::function<ZVResult()> call, DWORD apartment = COINIT_MULTITHREADED) {
    return std::async(std::launch::async, [call, apartment] {
        CoInitializeEx(nullptr, apartment);
        const ZVResult result = call();
        CoUninitialize();
        return result;
    });
}

}  // namespace

TEST_F(AuthApiTest, HeldPrepareDoesNotHoldUpUninitializeAndCompletesAfterwards) {
    // The service refuses Uninitialize's own CancelAllCalls, so the held
    // Prepare can only end when the test releases it.
    ASSERT_TRUE(control->SetScenario({{"methods",
                                       {{"Prepare", {{"block", true}, {"outputs", {{"authenticationResult", 13}}}}},
                                        {"CancelAllCalls", {{"hr", "E_FAIL"}}}}}}));
    unsigned int result = 0;
    // From a single-threaded apartment: the frame uses the thread's apartment as it is.
    auto prepare = Background([&] { return api.v1->Prepare(context, nullptr, &result); }, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(control->WaitForCalls("Prepare", 1));
    auto uninitialize = Background([&] { return api.v1->Uninitialize(); });
    initialized = false;
    EXPECT_EQ(std::future_status::ready, uninitialize.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(1u, control->ServerInfo()["heldCalls"].get<unsigned>());  // Prepare is still in the service
    EXPECT_TRUE(trace.Contains("CancelAllCalls failed with error code for zelvar handle 1"));
    EXPECT_EQ(1u, control->ReleaseHeld("Prepare"));
    EXPECT_EQ(ZV_SUCCESS, prepare.get());
    EXPECT_EQ(13u, result);
    EXPECT_EQ(ZV_SUCCESS, uninitialize.get());
}

TEST_F(AuthApiTest, HeldGetHeadersIsWaitedForByUninitialize) {
    ASSERT_TRUE(control->SetMethod("GetHeaders", {{"block", true}, {"outputs", {{"headers", {"h"}}}}}));
    Outs outs;
    auto getHeaders = Background([&] { return api.v1->GetHeaders(context, &outs.table); });
    ASSERT_TRUE(control->WaitForCalls("GetHeaders", 1));
    // The held call is inside the gate, yet another caller gets through:
    // operations hold the gate and the data lock shared only.
    auto version = Background([&] {
        ZVChar* text = nullptr;
        const ZVResult r = api.v3->GetVersion(connection, &text);
        api.v3->FreeTrampolineUrl(text);
        return r;
    });
    ASSERT_EQ(std::future_status::ready, version.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(ZV_SUCCESS, version.get());
    auto uninitialize = Background([&] { return api.v1->Uninitialize(); });
    initialized = false;
    // Uninitialize cancels the service's calls only once it holds the gate:
    // had GetHeaders left the gate, the cancel would arrive now and end it.
    EXPECT_FALSE(control->WaitForCalls("CancelAllCalls", 1, 1500));
    EXPECT_EQ(1u, control->ReleaseHeld("GetHeaders"));
    EXPECT_EQ(ZV_SUCCESS, getHeaders.get());
    EXPECT_EQ(ZV_SUCCESS, uninitialize.get());
    EXPECT_EQ("h", Narrow(outs.table[0]));
    outs.Free(api);
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls"));
}

TEST_F(AuthApiTest, CancelAllCallsFromAnotherThreadEndsAHeldPrepare) {
    ASSERT_TRUE(control->SetScenario(
        {{"methods", {{"Prepare", {{"block", true}}}, {"CancelAllCalls", {{"cancelledHr", "E_ABORT"}}}}}}));
    unsigned int result = 77;
    auto prepare = Background([&] { return api.v1->Prepare(context, nullptr, &result); });
    ASSERT_TRUE(control->WaitForCalls("Prepare", 1));
    EXPECT_EQ(ZV_SUCCESS, api.v1->CancelAllCalls(connection));
    EXPECT_EQ(ZV_ERROR_CANCELLED, prepare.get());
    EXPECT_EQ(0u, result);
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147500036"));
}
