// The C++ layer's ownership rules and zvcli's answers to bad command lines,
// against the SDK built into bin/ and the stand-in service's in-process host.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ZelvarSDK.hpp"
#include "common/StandinService.h"
#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {

std::wstring SdkPath() {
    return zvtest::ExeDirectory() + L"\\ZelvarSDK.dll";
}

// The result of the call, or ZV_SUCCESS when it did not throw.
template <class F>
ZVResult ResultOf(F call) {
    try {
        call();
        return ZV_SUCCESS;
    } catch (const zv::Error& e) {
        return e.Result();
    }
}

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(zvtest::StandinHost::InprocServer);
        ASSERT_TRUE(control != nullptr);
    }
    void TearDown() override {
        control.reset();
        CoUninitialize();
    }
    // Whether the service still holds the connection object of this handle
    // (the SDK releases it when it destroys the handle).
    bool ServiceHolds(unsigned int handle) {
        const std::string suffix = ":" + std::to_string(handle);
        for (const auto& c : control->Connections()) {
            const std::string id = c["clientId"];
            if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
                return c["alive"];
        }
        return false;
    }
    std::unique_ptr<zvtest::StandinControl> control;
};

TEST_F(WrapperTest, AMovedFromHandleOwnsNothingAndTheLastOwnerDestroysOnce) {
    zv::Sdk sdk(SdkPath());
    zv::Connection kept;
    zv::Connection movedFrom = sdk.Connect(L"PackageTest");
    const unsigned int handle = movedFrom.Handle();
    {
        zv::Connection middle = std::move(movedFrom);
        kept = std::move(middle);
    }  // neither moved-from owner destroyed the connection
    EXPECT_EQ(handle, kept.Handle());
    EXPECT_TRUE(ServiceHolds(handle));
    EXPECT_FALSE(movedFrom);
    zv::Error refused(ZV_SUCCESS, "");
    try {
        movedFrom.LogOff();
    } catch (const zv::Error& e) {
        refused = e;
    }
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, refused.Result());
    EXPECT_STREQ("LogOff", refused.Operation());

    kept.Reset();
    EXPECT_FALSE(ServiceHolds(handle));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk.V1().DestroyConnection(handle));  // destroyed before
}

TEST_F(WrapperTest, HandlesThatOutliveUninitializeAndTheSdkObjectAreHarmless) {
    zv::Connection stale;
    zv::RequestContext staleContext;
    {
        zv::Sdk sdk(SdkPath());
        stale = sdk.Connect(L"PackageTest");
        staleContext = stale.CreateRequestContext(L"https://example.test/");
        sdk.Shutdown();
        EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, ResultOf([&] { staleContext.Prepare(); }));
    }  // the handles keep the DLL loaded: destroying them below must not crash
    zv::Sdk again(SdkPath());
    zv::Connection fresh = again.Connect(L"PackageTest");
    zv::RequestContext context = fresh.CreateRequestContext(L"https://example.test/");
    EXPECT_GT(context.Handle(), staleContext.Handle());
    staleContext.Reset();  // stale handles: nothing of the new cycle is touched
    stale.Reset();
    EXPECT_TRUE(ServiceHolds(fresh.Handle()));
    EXPECT_EQ(ZV_SUCCESS, ResultOf([&] { context.Prepare(); }));
}

TEST_F(WrapperTest, TheCallbackRunsOnTheSdkThreadAndStopsWithItsConnection) {
    zv::Sdk sdk(SdkPath());
    std::atomic<DWORD> thread{0};
    std::atomic<unsigned int> calls{0};
    HANDLE arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    zv::Connection connection = sdk.Connect(L"PackageTest", [&](const zv::StatusChange& change) {
        thread = GetCurrentThreadId();
        if (++calls == 1) throw std::runtime_error("dropped by the layer");
        if (change.status == 7 && change.window == 42) SetEvent(arrived);
    });
    const std::string client = control->Connections().back()["clientId"];
    control->FireEvents({{"clientId", client}, {"status", 7}, {"window", 42}, {"count", 2}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrived, 10000));
    EXPECT_NE(GetCurrentThreadId(), thread.load());
    connection.Reset();
    control->FireEvents({{"clientId", client}, {"status", 8}, {"window", 0}});
    // Callbacks arrive in queue order: once the later connection's has
    // arrived, one for the destroyed connection would have come first.
    ResetEvent(arrived);
    zv::Connection later = sdk.Connect(L"PackageTest", [&](const zv::StatusChange&) { SetEvent(arrived); });
    control->FireEvents({{"clientId", control->Connections().back()["clientId"]}, {"status", 1}, {"window", 0}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrived, 10000));
    EXPECT_EQ(2u, calls.load());
    CloseHandle(arrived);
}

// zvcli.exe with a command line; its exit code and standard error.
struct ZvcliRun {
    DWORD exitCode = 0;
    std::string standardError;
};
ZvcliRun RunZvcli(const std::wstring& arguments) {
    std::wstring errPath = zvtest::ExeDirectory() + L"\\zvcli-test-stderr.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = err;
    std::wstring line = L"\"" + zvtest::ExeDirectory() + L"\\zvcli.exe\" " + arguments;
    PROCESS_INFORMATION process{};
    ZvcliRun run;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(err);
    run.standardError = zvtest::ReadFileBytes(errPath);
    return run;
}

TEST(Zvcli, BadInputGivesOneLineOnStandardErrorAndTheExitCode) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, zvtest::UnregisterStandin());
    // Without an installation location the SDK's repair fails at once.
    const wchar_t install[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
    zvtest::ScopedRegistryKeyIsolation machine(HKEY_LOCAL_MACHINE, install, KEY_WOW64_32KEY);
    zvtest::ScopedRegistryKeyIsolation user(HKEY_CURRENT_USER, install, KEY_WOW64_32KEY);
    struct Case {
        const wchar_t* arguments;
        DWORD exitCode;
        DWORD orExitCode = ZV_SUCCESS;  // a second acceptable code, when set
    } cases[] = {
        {L"", ZV_ERROR_INVALID_PARAMETER},
        {L"frobnicate", ZV_ERROR_INVALID_PARAMETER},
        {L"headers", ZV_ERROR_INVALID_PARAMETER},
        {L"epoch extra", ZV_ERROR_INVALID_PARAMETER},
        {L"http --timeout soon https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"http --data-file C:\\no\\such\\file https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"cert --bogus https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"trace maybe", ZV_ERROR_INVALID_PARAMETER},
        {L"epoch --library C:\\no\\such\\ZelvarSDK.dll", ZV_ERROR_FAILED},
        // Unregistered: a stand-in server an earlier test left running (Wine keeps it until its idle
        // time-out) still serves the class, and without the type library its interface is refused.
        {L"epoch", ZV_ERROR_SERVICE_UNAVAILABLE, ZV_ERROR_FAILED},
        {L"watch --seconds 1", ZV_ERROR_SERVICE_UNAVAILABLE, ZV_ERROR_FAILED},
    };
    for (const Case& c : cases) {
        ZvcliRun run = RunZvcli(c.arguments);
        SCOPED_TRACE(std::string(run.standardError));
        EXPECT_TRUE(run.exitCode == c.exitCode || (c.orExitCode && run.exitCode == c.orExitCode))
            << run.exitCode << " from zvcli " << std::string(c.arguments, c.arguments + wcslen(c.arguments));
        EXPECT_EQ(0u, run.standardError.rfind("zvcli: ", 0));
        EXPECT_EQ(1, std::count(run.standardError.begin(), run.standardError.end(), '\n'));
    }
    CoUninitialize();
}

}  // namespace
