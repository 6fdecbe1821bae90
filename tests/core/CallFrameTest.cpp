// The call frame, the gate and Initialize's failure path, exercised on the
// SDK's own code linked into the test (its own singleton and pools).
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>

#include "common/TraceCapture.h"
#include "core/CallFrame.h"
#include "core/ZVImplementation.h"
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

// The apartment the thread joined itself (the implicit one of a thread
// that joined none does not count).
APTTYPE CurrentApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&type, &qualifier)) || qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA)
        return APTTYPE_CURRENT;
    return type;
}

int InitCount() {
    ExclusiveLockHold hold(g_InitLock);
    return g_SdkImplInitCount;
}
}  // namespace

// A failed pool wait and running out of memory read the same on every runtime.
TEST_F(CallFrameTest, EveryKindOfExceptionBecomesItsResultAndTrace) {
    EXPECT_STREQ("Unknown exception", ThreadPoolInvocationException().what());
    const struct {
        ZVResult result;
        const char* traced;
        std::function<ZVResult()> run;
    } cases[] = {
        {ZV_ERROR_FAILED, "caught ThreadPoolInvocationException",
         [] { return RunThrowing(ThreadPoolInvocationException()); }},
        {ZV_ERROR_FAILED, "caught unexpected std::exception; what=Thread pool not found!",
         [] { return RunThrowing(std::logic_error("Thread pool not found!")); }},
        {ZV_ERROR_INVALID_HANDLE, "caught COM error 2147942406", [] { return RunThrowing(_com_error(E_HANDLE)); }},
        {ZV_ERROR_NOT_INITIALIZED, "caught COM error 2147746306",
         [] { return RunThrowing(_com_error(static_cast<HRESULT>(0x80040202))); }},
        {ZV_ERROR_FAILED, "caught an unclassified exception", [] { return RunThrowing(42); }},
        {ZV_ERROR_FAILED, "caught unexpected std::exception; what=bad allocation",
         [] { return RunThrowing(std::bad_alloc()); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, c.run()) << c.traced;
        EXPECT_TRUE(trace.Contains(std::string(kName) + ": " + c.traced)) << c.traced;
    }
}

// The frame's own refusals, in every variant of the frame: exactly the
// defined trace lines, the defined result, and the operation's body never runs.
TEST_F(CallFrameTest, RefusalsTraceTheirExactTextsInEveryVariant) {
    bool ran = false;
    auto body = [&](ApiCall&) { return ran = true, ZV_SUCCESS; };
    auto noEarlyResult = [] { return std::optional<ZVResult>(); };
    const std::pair<const char*, std::function<ZVResult()>> variants[] = {
        {"joining the apartment", [&] { return RunApiCall(kName, Apartment::Join, body); }},
        {"skipping the apartment", [&] { return RunApiCall(kName, Apartment::Skip, body); }},
        {"checking arguments first", [&] { return RunApiCallCheckingFirst(kName, noEarlyResult, body); }},
    };
    const std::string name = kName;
    auto linesOf = [&](const std::function<ZVResult()>& call, ZVResult expected) {
        const size_t before = trace.Messages().size();
        EXPECT_EQ(expected, call());
        const std::vector<std::string> after = trace.Messages();
        return std::vector<std::string>(after.begin() + before, after.end());
    };
    for (const auto& variant : variants) {
        SCOPED_TRACE(variant.first);
        // This thread taken for the callback thread.
        auto setCallbackThread = [](DWORD id) {
            ExclusiveLockHold data(g_DataLock);
            const DWORD previous = g_CallbackThreadId;
            g_CallbackThreadId = id;
            return previous;
        };
        const DWORD callbackThread = setCallbackThread(GetCurrentThreadId());
        const std::vector<std::string> reentrant = linesOf(variant.second, ZV_ERROR_FAILED);
        setCallbackThread(callbackThread);
        EXPECT_EQ((std::vector<std::string>{"Err|" + name + ": RE-ENTRANT CALL BACK HAS OCCURRED RETURNING FAILURE",
                                            "Err|" + name + ": caught COM error 2147500037"}),
                  reentrant);
        // The state that the last Uninitialize leaves (the trace file stays open here).
        SetInitialized(false);
        const std::vector<std::string> refused = linesOf(variant.second, ZV_ERROR_NOT_INITIALIZED);
        SetInitialized(true);
        EXPECT_EQ(
            std::vector<std::string>{"Err|" + name + " failed because SDK implementation dll is not initialized!"},
            refused);
        EXPECT_FALSE(ran);
    }
}

TEST_F(CallFrameTest, TheBodyRunsInTheMultithreadedApartmentOnlyWhenAsked) {
    APTTYPE inside = APTTYPE_CURRENT;
    RunApiCall(kName, Apartment::Join, [&](ApiCall&) {
        inside = CurrentApartment();
        return ZV_SUCCESS;
    });
    EXPECT_EQ(APTTYPE_MTA, inside);
    // Left again afterwards: the thread is free to join another apartment.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();
    RunApiCall(kName, Apartment::Skip, [&](ApiCall&) {
        inside = CurrentApartment();
        return ZV_SUCCESS;
    });
    EXPECT_EQ(APTTYPE_CURRENT, inside) << "an operation that skips the apartment joined one";
}

// A pool of the callback pool's name made beforehand through the library's own
// registry makes Initialize_Internal fail ("Thread pool already exists!").
// Initialize still succeeds and counts; the SDK stays uninitialised for the
// life of the process, and a later Initialize only counts again.
TEST(FailedInitialization, InitializeCountsOperationsAreRefusedAndNothingIsRetried) {
    zvtest::TraceCapture trace;
    CreateThreadPool(kCallbackPoolName);
    auto& sdk = GetImplementation();
    EXPECT_EQ(ZV_SUCCESS, sdk.Initialize());
    EXPECT_EQ(1, InitCount());
    EXPECT_TRUE(trace.InOrder({"Initialize_Internal starts", "Initialize_Internal failed std::exception.",
                               "Initialize_Internal complete. Returning code 65526", "g_SdkImplInitCount is now 1",
                               "Initialize Ends successfully"}));

    unsigned int handle = 7;
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk.CreateConnection(L"App", nullptr, nullptr, &handle));
    EXPECT_EQ(7u, handle);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk.DestroyConnection(1));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk.Uninitialize());
    EXPECT_EQ(1, InitCount()) << "a refused Uninitialize changed the count";

    EXPECT_EQ(ZV_SUCCESS, sdk.Initialize());
    EXPECT_EQ(2, InitCount());
    EXPECT_TRUE(trace.Contains("SDK impl was already initialized; g_SdkImplInitCount is now 2"));
    int starts = 0;
    for (const std::string& m : trace.Messages()) starts += m == "|Initialize_Internal starts";
    EXPECT_EQ(1, starts) << "the failed initialisation was tried again";
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk.LogOff(1));
    EXPECT_EQ(ZV_SUCCESS, sdk.Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk.Uninitialize());
    EXPECT_EQ(1, InitCount());
    DestroyThreadPool(kCallbackPoolName);
}
