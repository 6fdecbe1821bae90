// Initialize / Uninitialize counting, their results and their traces, seen
// through the built DLL and the trace file it writes.
#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "common/TraceCapture.h"

using namespace BrennicZelvarSDK;

namespace {
ZVImplementationV1Interface* V1() {
    return zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
}
}  // namespace

TEST(Lifecycle, UninitializeWithoutInitializeIsRefusedAndChangesNothing) {
    auto* sdk = V1();
    ASSERT_NE(nullptr, sdk);
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());
    // The count stayed 0: one Initialize is undone by exactly one Uninitialize.
    EXPECT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());
}

TEST(Lifecycle, OperationsOutsideAnInitializedSdkReturnNotInitialized) {
    auto* sdk = V1();
    auto* v5 = zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5);
    auto* v9 = zvtest::GetSdkInterface<ZVImplementationV9Interface>(ZV_IID_V9);
    unsigned int handle = 77;
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->CreateConnection(L"App", nullptr, nullptr, &handle));
    EXPECT_EQ(77u, handle);  // nothing is written before the initialised check
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->DestroyConnection(1));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->ClearAllCredentials(1));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, v5->SendRequestAndReceiveResponse(1));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, v9->AddCookies(1, nullptr, 0));

    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->CreateConnection(L"App", nullptr, nullptr, &handle));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->LogOff(1));
}

TEST(Lifecycle, ArgumentChecksComeAfterTheInitialisedCheckAndBeforeAnyWork) {
    auto* sdk = V1();
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    unsigned int handle = 5;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ(5u, handle);
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", nullptr, nullptr, nullptr));
    int context = 0;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"App", nullptr, &context, &handle));
    EXPECT_EQ(5u, handle);
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
}

TEST(Lifecycle, NestedInitializeCountsAndOnlyTheLastUninitializeTearsDown) {
    zvtest::TraceCapture trace;
    auto* sdk = V1();
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    // Still initialised after the first Uninitialize: an operation gets past
    // the initialised check (to its own argument check).
    unsigned int handle = 0;
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());

    const char* const expectedInOrder[] = {
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
    };
    int at = 0;
    for (const char* text : expectedInOrder) {
        int found = trace.IndexOf(text, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << text << "\n" << trace.Contents();
        at = found + 1;
    }
    // The callback thread's id is reported twice, the same both times.
    std::string reported, stored;
    const std::string reportedPrefix =
        "|Initialize_Internal CALLBACK_THREAD_POOL - Initialise worker completed - The worker thread has the ID ";
    const std::string storedPrefix = "|Setting worker thread ID as ";
    for (const std::string& m : trace.Messages()) {
        if (m.rfind(reportedPrefix, 0) == 0) reported = m.substr(reportedPrefix.size());
        if (m.rfind(storedPrefix, 0) == 0) stored = m.substr(storedPrefix.size());
    }
    EXPECT_FALSE(reported.empty());
    EXPECT_EQ(reported, stored);
    // The argument-check failure is an error line.
    bool errorLevel = false;
    for (const std::string& m : trace.Messages())
        if (m == "Err|ZVImplementationV1::CreateConnection invalid client name") errorLevel = true;
    EXPECT_TRUE(errorLevel);
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
    const std::string rule(43, '=');
    EXPECT_EQ(0u, first.find(rule + "\r\nZelvar Runtime SDK DLL \r\n\r\nStarting: ")) << first.substr(0, 200);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    char exeUtf8[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, exe, -1, exeUtf8, sizeof exeUtf8, nullptr, nullptr);
    EXPECT_NE(std::string::npos,
              first.find("\r\n\r\nModule: " + std::string(exeUtf8) + "\r\n\r\nBitness: 64\r\n" + rule + "\r\n"));
    EXPECT_NE(std::string::npos, first.find(" : Uninitialize Ends\r\n"));
}
