// Long service calls and the API gate: the operations that leave the gate
// before their service call do not hold up Uninitialize, the others are
// waited for; CancelAllCalls from another thread ends a held Prepare across
// the process boundary. The stand-in holds the calls until told.
#include <thread>

#include "authapi/AuthApiFixture.h"

using namespace authtest;

namespace {

// Runs an operation on a thread of its own and keeps its result.
class Background {
public:
    explicit Background(std::function<ZVResult()> call)
        : m_thread([this, call] {
              CoInitializeEx(nullptr, COINIT_MULTITHREADED);
              m_result = call();
              CoUninitialize();
          }) {}
    ~Background() {
        if (m_thread.joinable()) m_thread.join();
    }
    ZVResult Join() {
        m_thread.join();
        return m_result;
    }

private:
    ZVResult m_result = 0xDEAD;
    std::thread m_thread;
};

}  // namespace

TEST_F(AuthApiTest, HeldPrepareDoesNotHoldUpUninitializeAndCompletesAfterwards) {
    // The service refuses Uninitialize's own CancelAllCalls, so the held
    // Prepare can only end when the test releases it.
    ASSERT_TRUE(control->SetScenario({{"methods",
                                       {{"Prepare", {{"block", true}, {"outputs", {{"authenticationResult", 13}}}}},
                                        {"CancelAllCalls", {{"hr", "E_FAIL"}}}}}}));
    unsigned int result = 0;
    Background prepare([&] { return api.v1->Prepare(context, nullptr, &result); });
    ASSERT_TRUE(control->WaitForCalls("Prepare", 1));

    EXPECT_EQ(ZV_SUCCESS, api.v1->Uninitialize());
    initialized = false;
    EXPECT_EQ(1u, control->ServerInfo()["heldCalls"].get<unsigned>());  // Prepare is still in the service
    EXPECT_TRUE(trace.Contains("CancelAllCalls failed with error code for zelvar handle 1"));

    EXPECT_EQ(1u, control->ReleaseHeld("Prepare"));
    EXPECT_EQ(ZV_SUCCESS, prepare.Join());
    EXPECT_EQ(13u, result);
    EXPECT_TRUE(trace.Contains("Uninitialize Ends"));
}

TEST_F(AuthApiTest, HeldGetHeadersIsWaitedForByUninitialize) {
    ASSERT_TRUE(control->SetMethod("GetHeaders", {{"block", true}, {"outputs", {{"headers", {"h"}}}}}));
    ZVChar** headers = nullptr;
    Background getHeaders([&] { return api.v1->GetHeaders(context, &headers); });
    ASSERT_TRUE(control->WaitForCalls("GetHeaders", 1));

    Background uninitialize([&] { return api.v1->Uninitialize(); });
    initialized = false;
    // Uninitialize cancels the service's calls only once it holds the gate:
    // had GetHeaders left the gate, the cancel would arrive now and end it.
    EXPECT_FALSE(control->WaitForCalls("CancelAllCalls", 1, 1500));
    EXPECT_EQ(1u, control->ReleaseHeld("GetHeaders"));
    EXPECT_EQ(ZV_SUCCESS, getHeaders.Join());
    EXPECT_EQ(ZV_SUCCESS, uninitialize.Join());
    ASSERT_NE(nullptr, headers);
    EXPECT_EQ("h", Narrow(headers[0]));
    api.v1->FreeHeaders(headers);
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls"));
}

TEST_F(AuthApiTest, CancelAllCallsFromAnotherThreadEndsAHeldPrepare) {
    ASSERT_TRUE(control->SetScenario(
        {{"methods", {{"Prepare", {{"block", true}}}, {"CancelAllCalls", {{"cancelledHr", "E_ABORT"}}}}}}));
    unsigned int result = 77;
    Background prepare([&] { return api.v1->Prepare(context, nullptr, &result); });
    ASSERT_TRUE(control->WaitForCalls("Prepare", 1));

    EXPECT_EQ(ZV_SUCCESS, api.v1->CancelAllCalls(connection));
    EXPECT_EQ(ZV_ERROR_CANCELLED, prepare.Join());
    EXPECT_EQ(0u, result);
    EXPECT_TRUE(trace.Contains("BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147500036"));
}
