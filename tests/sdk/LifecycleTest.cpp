// Initialize / Uninitialize counting, their results and their traces, and
// the initialised check of the operations, seen through the built DLL and
// the trace file it writes.
#include <gtest/gtest.h>

#include <string>
#include <functional>

#include "common/TestSupport.h"
#include "common/TraceCapture.h"

using namespace BrennicZelvarSDK;

namespace {
ZVImplementationV1Interface* V1() {
    return zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
}
}  // namespace

TEST(Lifecycle, EveryOperationStopsAtTheInitialisedCheckBeforeTouchingItsArguments) {
    auto* v1 = V1();
    auto* v3 = zvtest::GetSdkInterface<ZVImplementationV3Interface>(ZV_IID_V3);
    auto* v5 = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5);
    auto* v9 = zvtest::GetSdkInterface<ZVImplementationV9Interface>(ZV_IID_V9);
    unsigned int out = 77;
    ZVChar* text = reinterpret_cast<ZVChar*>(0x1);
    const std::function<ZVResult()> operations[] = {
        [&] { return v1->CreateConnection(L"App", nullptr, nullptr, &out); },
        [&] { return v1->CreateConnection(nullptr, nullptr, nullptr, nullptr); },
        [&] { return v1->DestroyConnection(1); },
        [&] { return v1->CreateRequestContext(1, L"https://x", 0, &out); },
        [&] { return v1->GetTranslatedUrl(1, &text); },
        [&] { return v1->LogOff(1); },
        [&] { return v3->GetVersion(1, &text); },
        [&] { return v5->CreateZVHttpRequest(1, &out); },
        [&] { return v5->SendRequestAndReceiveResponse(1); },
        [&] { return v9->AddCookies(1, nullptr, 0); },
    };
    for (int cycle = 0; cycle < 2; ++cycle) {  // before the first Initialize and after the last Uninitialize
        for (size_t i = 0; i < sizeof operations / sizeof operations[0]; ++i)
            EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, operations[i]()) << "operation " << i;
        EXPECT_EQ(77u, out);
        EXPECT_EQ(reinterpret_cast<ZVChar*>(0x1), text);
        ASSERT_EQ(ZV_SUCCESS, v1->Initialize());
        ASSERT_EQ(ZV_SUCCESS, v1->Uninitialize());
    }
}

TEST(Lifecycle, NestedInitializeCountsAndOnlyTheLastUninitializeTearsDown) {
    zvtest::TraceCapture trace;
    auto* sdk = V1();
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    // Still initialised: an operation gets past the initialised check to its own argument check.
    unsigned int handle = 0;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());

    EXPECT_TRUE(trace.InOrder({
        "Initialize Starts",
        "Initialize_Internal starts",
        "Initialize_Internal CALLBACK_THREAD_POOL - Creating and setting up ",
        "Initialize_Internal CALLBACK_THREAD_POOL - Initialise worker completed",
        "Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Creating and setting up ",
        "Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Initialise worker completed",
        "Initialize_Internal COM_OBJECT_CREATOR_THREAD_POOL - Created and setup",
        "Initialize_Internal complete. Returning code 0",
        "g_SdkImplInitCount is now 1",
        "Initialize Ends successfully",
        "SDK impl was already initialized; g_SdkImplInitCount is now 2",
        "Uninitialize Starts",
        "g_SdkImplInitCount is 2",
        "SDK impl DLL had been initialized more than once - no need to un-initialize",
        "ZVImplementationV1::CreateConnection invalid client name",
        "Uninitialize Starts",
        "g_SdkImplInitCount is 1",
        "CancelAllCalls starts",
        "CancelAllCalls completes",
        "DeleteAllDataAndObjects_ExclusiveLock called",
        "Deleting 0 HTTP requests",
        "Deleting 0 request contexts",
        "Deleting 0 VPN auth contexts",
        "Deleting 0 zelvar connections",
        "DeleteAllDataAndObjects_ExclusiveLock completed",
        "g_SdkImplInitCount is now 0",
        "Uninitialize Ends",
    }));
    // An argument check's failure is an error line.
    EXPECT_TRUE(trace.HasLine("Err|ZVImplementationV1::CreateConnection invalid client name"));
}

TEST(Lifecycle, EachInitializationCycleOpensANewTraceFileWithItsHeader) {
    zvtest::TraceCapture trace;
    auto* sdk = V1();
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    Sleep(1100);  // the file name carries the time to the second
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    auto files = trace.Files();
    ASSERT_EQ(2u, files.size());
    std::string first = zvtest::ReadFileBytes(files[0]);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(0u, first.find(std::string(43, '=') + "\r\nZelvar Runtime SDK DLL \r\n\r\nStarting: ")) << first;
#ifdef _WIN64
    const char bitness[] = "\r\n\r\nBitness: 64\r\n";
#else
    const char bitness[] = "\r\n\r\nBitness: 32\r\n";
#endif
    EXPECT_NE(std::string::npos, first.find("\r\n\r\nModule: " + zvtest::Utf8(exe) + bitness)) << first;
    EXPECT_NE(std::string::npos, first.find(" : Uninitialize Ends\r\n"));
}

// The system hands the ids of ended threads to new ones: after Uninitialize
// a new thread with the callback thread's old id is served as any other.
TEST(Lifecycle, ANewThreadWithTheOldCallbackThreadIdIsServed) {
    zvtest::TraceCapture trace;
    struct Probe {
        ZVImplementationV1Interface* sdk;
        DWORD wanted = 0;
        bool found = false;
        ZVResult results[3] = {};
        static DWORD WINAPI Run(void* argument) {
            auto* p = static_cast<Probe*>(argument);
            if ((p->found = GetCurrentThreadId() == p->wanted)) {
                unsigned int handle = 0;
                p->results[0] = p->sdk->Initialize();
                p->results[1] = p->sdk->CreateConnection(nullptr, nullptr, nullptr, &handle);
                p->results[2] = p->sdk->Uninitialize();
            }
            return 0;
        }
    } probe{V1()};
    ASSERT_EQ(ZV_SUCCESS, probe.sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, probe.sdk->Uninitialize());
    const std::string recorded = "Setting worker thread ID as ";
    for (const std::string& m : trace.Messages())
        if (m.find(recorded) != std::string::npos)
            probe.wanted = std::stoul(m.substr(m.find(recorded) + recorded.size()));
    ASSERT_NE(0u, probe.wanted);
    for (int i = 0; i < 20000 && !probe.found; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, &Probe::Run, &probe, 0, nullptr);
        ASSERT_TRUE(thread != nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    ASSERT_TRUE(probe.found) << "no new thread got id " << probe.wanted;
    EXPECT_EQ(ZV_SUCCESS, probe.results[0]);
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, probe.results[1]);
    EXPECT_EQ(ZV_SUCCESS, probe.results[2]);
}
