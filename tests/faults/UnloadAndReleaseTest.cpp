// Unloading in any order, and services that raise a status event from inside
// a call or a release of theirs and wait for its delivery.
#include <string>

#include "faults/FaultSupport.h"

using namespace zvfaults;
using Host = zvtest::StandinHost;

namespace {
// Steps: I Initialize, U Uninitialize, F FreeLibrary, C a connection that
// receives a status event.
struct UnloadOrder {
    const char* name;
    const char* steps;
};
class Unload : public SdkFixture, public ::testing::WithParamInterface<UnloadOrder> {};
}  // namespace

// The last Uninitialize returns into mapped code whatever the application
// unloaded before; the module stays while the SDK is initialised, and goes
// once the SDK's own threads have left it.
TEST_P(Unload, InAnyOrderNeverRunsUnmappedCodeAndTheModuleGoesInTheEnd) {
    Start(Host::InprocServer, false);
    ZVQueryInterfaceFn query = nullptr;
    HMODULE module = zvtest::LoadSdk(&query);
    ASSERT_TRUE(query && query(ZV_IID_V1, reinterpret_cast<void**>(&v1)));
    EventLog log;
    log.target = 1;
    int initialised = 0;
    for (const char* step = GetParam().steps; *step; ++step) {
        WithinLimit(std::string(1, *step).c_str(), [&] {
            if (*step == 'I') {
                EXPECT_EQ(ZV_SUCCESS, v1->Initialize());
                ++initialised;
            } else if (*step == 'U') {
                EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize());
                --initialised;
            } else if (*step == 'F') {
                EXPECT_TRUE(FreeLibrary(module));
            } else if (*step == 'C') {
                Connect(&log);
                control->FireEvents({{"status", 5}, {"window", 0}});
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log.reached, kStepLimitMs));
            }
        });
        if (*step == 'F' && initialised) {
            EXPECT_EQ(module, GetModuleHandleW(L"ZelvarSDK.dll")) << "unloaded while initialised";
        }
    }
    DWORD waited = 0;
    for (; GetModuleHandleW(L"ZelvarSDK.dll") && waited < kStepLimitMs; waited += 10) Sleep(10);
    EXPECT_LT(waited, kStepLimitMs) << "the module stays loaded";
}

INSTANTIATE_TEST_SUITE_P(Orders, Unload,
                         ::testing::Values(UnloadOrder{"FreeLibraryBeforeUninitialize", "IFU"},
                                           UnloadOrder{"FreeLibraryAfterUninitialize", "IUF"},
                                           UnloadOrder{"FreeLibraryBetweenNestedUninitializes", "IIUFU"},
                                           UnloadOrder{"FreeLibraryWithAConnectionThatHadEvents", "ICFU"},
                                           UnloadOrder{"FreeLibraryAfterTwoCycles", "ICUIFU"}),
                         [](const ::testing::TestParamInfo<UnloadOrder>& info) {
                             return std::string(info.param.name);
                         });

// A program that ends the moment its SDK work is done ends: the thread that
// gives the SDK's module reference back, killed by ExitProcess, never leaves
// the exiting thread held. Each run is a new process, in both unload orders;
// the race is narrow, so each run ends after a different pause (up to 4 ms)
// and it takes a few dozen runs to show.
TEST(ProcessExit, RightAfterTheLastUninitializeEndsTheProcess) {
    const std::wstring self = zvtest::ExeDirectory() + L"\\test_faults.exe";
    for (int run = 0; run < 40; ++run) {
        const wchar_t* child = run % 2 ? L"FreeLibraryThenUninitialize" : L"UninitializeThenFreeLibrary";
        SetEnvironmentVariableW(L"ZV_TEST_EXIT_PAUSE_US", std::to_wstring(run * 97 % 4000).c_str());
        ASSERT_EQ(
            0u, zvtest::RunProcess(L"\"" + self +
                                   L"\" --gtest_also_run_disabled_tests --gtest_filter=ProcessExit.DISABLED_" + child))
            << "run " << run << " (" << std::string(child, child + wcslen(child))
            << "); 0x80004005: it did not end within 30 s";
    }
}

namespace {
// Initialises and uninitialises the SDK in the order given, then ends the
// process after the pause the parent asks for, while the hand-over thread
// may still be at work.
[[noreturn]] void UseTheSdkAndExit(bool freeLibraryFirst) {
    ZVQueryInterfaceFn query = nullptr;
    HMODULE module = zvtest::LoadSdk(&query);
    ZVImplementationV1Interface* sdk = nullptr;
    if (!query || !query(ZV_IID_V1, reinterpret_cast<void**>(&sdk)) || sdk->Initialize() != ZV_SUCCESS) ExitProcess(2);
    if (freeLibraryFirst) FreeLibrary(module);
    const ZVResult result = sdk->Uninitialize();
    if (!freeLibraryFirst) FreeLibrary(module);
    wchar_t pause[16] = {};
    GetEnvironmentVariableW(L"ZV_TEST_EXIT_PAUSE_US", pause, 16);
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    do QueryPerformanceCounter(&now);
    while ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart < _wtoi(pause));
    ExitProcess(result == ZV_SUCCESS ? 0 : 3);
}
}  // namespace

TEST(ProcessExit, DISABLED_UninitializeThenFreeLibrary) {
    UseTheSdkAndExit(false);
}
TEST(ProcessExit, DISABLED_FreeLibraryThenUninitialize) {
    UseTheSdkAndExit(true);
}

namespace {
struct RaiseCase {
    const char* name;
    Host host;
    const char* raisingMethod;  // the service raises the event inside this call
    bool uninitialize;          // else DestroyConnection
};
class EventInsideServiceCall : public SdkFixture, public ::testing::WithParamInterface<RaiseCase> {};
}  // namespace

// No SDK lock is held across a round trip to the service, releases included:
// a service that raises a status event while it cancels, or from inside its
// connection's final Release, and waits for Invoke to return, stalls neither
// DestroyConnection nor Uninitialize.
TEST_P(EventInsideServiceCall, StallsNeitherTheDestroyNorTheTeardown) {
    const RaiseCase& c = GetParam();
    Start(c.host);
    ASSERT_TRUE(control->SetMethod(c.raisingMethod, {{"events", {{"status", 4}, {"window", 0}}}}));
    EventLog log;
    ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
    const unsigned handle = Connect(&log);
    ZVResult result = 0;
    WithinLimit(c.name, [&] { result = c.uninitialize ? v1->Uninitialize() : v1->DestroyConnection(handle); });
    // Wine cannot revoke a cross-process object from the Global Interface
    // Table and leaks the server's reference (see the README): a destroy of
    // the local server's object reports 65526, and its final Release comes
    // only when the server ends.
    const bool released = c.host == Host::InprocServer || std::string(c.raisingMethod) != "FinalRelease";
    EXPECT_TRUE(result == ZV_SUCCESS || (!released && result == ZV_ERROR_FAILED)) << result;
    if (released) {
        EXPECT_TRUE(control->WaitForCalls(c.raisingMethod, 1)) << "the service was not called";
    }
    if (c.uninitialize) {
        EXPECT_EQ(0u, log.count.load()) << "raised after the SDK stopped taking events";
    } else {
        EXPECT_EQ(ZV_SUCCESS, v1->Uninitialize());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, EventInsideServiceCall,
    ::testing::Values(RaiseCase{"CancelAllCallsUninitializeLocalServer", Host::LocalServer, "CancelAllCalls", true},
                      RaiseCase{"FinalReleaseDestroyLocalServer", Host::LocalServer, "FinalRelease", false},
                      RaiseCase{"FinalReleaseUninitializeLocalServer", Host::LocalServer, "FinalRelease", true},
                      RaiseCase{"FinalReleaseDestroyInprocServer", Host::InprocServer, "FinalRelease", false},
                      RaiseCase{"FinalReleaseUninitializeInprocServer", Host::InprocServer, "FinalRelease", true}),
    [](const ::testing::TestParamInfo<RaiseCase>& info) { return std::string(info.param.name); });
