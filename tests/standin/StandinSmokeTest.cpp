// One smoke test of the stand-in service that the other programs build on:
// both hosts install, serve the class where they should, record calls, obey
// the scenario control and, for the exe host, end on request.
#include <gtest/gtest.h>

#include "common/StandinService.h"

using namespace zvtest;

namespace {

class StandinSmokeTest : public ::testing::TestWithParam<StandinHost> {};

TEST_P(StandinSmokeTest, HostServesTheClassRecordsCallsAndFollowsTheScenario) {
    const bool exe = GetParam() == StandinHost::LocalServer;
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, RegisterStandin(GetParam()));
    {
        StandinControl control;
        ASSERT_TRUE(control) << std::hex << control.CreationResult();
        ASSERT_TRUE(control.Reset());
        Json info = control.ServerInfo();
        EXPECT_EQ(exe ? "exe" : "inproc", info.value("host", std::string())) << info.dump();
        const DWORD server = control.ServerProcessId();
        EXPECT_EQ(exe, server != GetCurrentProcessId());

        IZelvarConnection* connection = nullptr;
        ASSERT_EQ(S_OK, CreateZelvarConnection(&connection));
        BSTR id = SysAllocString(L"Smoke:test_standin.exe:1:7");
        EXPECT_EQ(S_OK, connection->CreateConnection(id));
        SysFreeString(id);
        EXPECT_EQ(1u, control.CallCount("CreateConnection"));
        EXPECT_EQ("Smoke:test_standin.exe:1:7", control.LastArgs("CreateConnection").value("clientIdentifier", ""));
        ASSERT_TRUE(control.SetMethod("GetAuthEpoch", {{"hr", "E_ACCESSDENIED"}}));
        UINT epoch = 0;
        EXPECT_EQ(E_ACCESSDENIED, connection->GetAuthEpoch(&epoch));
        connection->Release();

        if (exe) {
            EXPECT_TRUE(control.Shutdown());
            control.Release();
            EXPECT_TRUE(WaitForProcessExit(server, 10000));
        } else {
            EXPECT_FALSE(control.Shutdown());
        }
    }
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    CoUninitialize();
}

INSTANTIATE_TEST_SUITE_P(BothHosts, StandinSmokeTest,
                         ::testing::Values(StandinHost::LocalServer, StandinHost::InprocServer), zvtest::HostName());

}  // namespace
