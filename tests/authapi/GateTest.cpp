// Long service calls and the API gate: an operation that leaves the gate
// before its service call does not hold up Uninitialize, the others are
// waited for; CancelAllCalls from another thread ends a held Prepare across
// the process boundary. The stand-in holds the calls until told.
#include "authapi/AuthApiFixture.h"

using namespace authtest;
using zvtest::Background;

// Every operation that calls the service, its call held in the service while
// Uninitialize starts on another thread. Uninitialize cancels the service's
// calls only once it holds the gate: an operation that leaves the gate before
// its call lets that cancel through at once (the service refuses it, so the
// held call goes on); one that holds the gate keeps it back until released.
class GateTest : public AuthApiTest, public ::testing::WithParamInterface<Gate> {};

TEST_P(GateTest, EveryOperationLeavesOrHoldsTheGateAsDefined) {
    const bool early = GetParam() == Gate::Early;
    for (const Operation& op : Operations()) {
        if (op.gate != GetParam()) continue;
        SCOPED_TRACE(op.name);
        if (!initialized) {
            ASSERT_EQ(ZV_SUCCESS, api.v1->Initialize());
            initialized = true;
            ASSERT_EQ(ZV_SUCCESS, api.v1->CreateConnection(L"Gate", nullptr, nullptr, &connection));
            ASSERT_EQ(ZV_SUCCESS, api.v1->CreateRequestContext(connection, L"https://g/", 0, &context));
        }
        unsigned int vpn = 0;
        ASSERT_EQ(ZV_SUCCESS, api.v2->CreateVpnAuthContext(connection, &kGateway, 0, &vpn));
        ASSERT_TRUE(control->Reset());  // counts only this round's calls
        // A held CancelAllCalls under test is the first call; Uninitialize's own is the second.
        const bool cancelling = std::string(op.name) == "CancelAllCalls";
        const Json refused = {{"hr", "E_FAIL"}};
        Json methods = {{op.name, {{"block", true}}}, {"CancelAllCalls", refused}};
        if (cancelling) methods = {{"CancelAllCalls", {{"sequence", {{{"block", true}}, refused}}}}};
        ASSERT_TRUE(control->SetScenario({{"methods", methods}}));
        Outs outs;
        // From a single-threaded apartment: the frame uses the thread's apartment as it is.
        auto call = Background([&] { return op.call(api, Pick(op.kind, connection, context, vpn), outs); },
                               COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(control->WaitForCalls(op.name, 1));
        if (std::string(op.name) == "GetHeaders") {
            // Operations hold the gate and the data lock shared only: another caller gets through.
            auto version = Background([&] {
                ZVChar* text = nullptr;
                const ZVResult r = api.v3->GetVersion(connection, &text);
                api.v3->FreeTrampolineUrl(text);
                return r;
            });
            ASSERT_EQ(std::future_status::ready, version.wait_for(std::chrono::seconds(20)));
            EXPECT_EQ(ZV_SUCCESS, version.get());
        }
        auto uninitialize = Background([&] { return api.v1->Uninitialize(); });
        initialized = false;
        EXPECT_EQ(early, control->WaitForCalls("CancelAllCalls", cancelling ? 2 : 1, early ? 20000 : 1000));
        if (early) {
            EXPECT_EQ(std::future_status::ready, uninitialize.wait_for(std::chrono::seconds(20)));
            EXPECT_TRUE(trace.Contains("CancelAllCalls failed with error code for zelvar handle " +
                                       std::to_string(connection)));
        }
        EXPECT_EQ(1u, control->ReleaseHeld(op.name));
        EXPECT_EQ(ZV_SUCCESS, call.get());
        EXPECT_EQ(ZV_SUCCESS, uninitialize.get());
        outs.Free(api);
        ASSERT_TRUE(control->Reset());  // the next round's set-up must not be held
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, GateTest, ::testing::Values(Gate::Early, Gate::Held),
                         [](const ::testing::TestParamInfo<Gate>& info) {
                             return std::string(info.param == Gate::Early ? "LeftBeforeTheCall" : "HeldToTheEnd");
                         });

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
