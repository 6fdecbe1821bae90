// Lifetime and registration of the hosts: the exe ends after its last
// release, on request and after its idle time-out; a scenario file named by
// ZELVAR_STANDIN_SCENARIO is loaded at start; unregistering leaves the class
// unknown to COM.
#include <cstdio>
#include <fstream>

#include "StandinFixture.h"

namespace zvtest {
namespace {

class StandinLifetimeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(StandinLifetimeTest, ExeHostExitsAfterItsLastObjectIsReleased) {
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    // A server left running by an earlier program may still hold references
    // that Wine leaked for it (revoked GIT proxies); this test needs one whose
    // every object it knows.
    ASSERT_TRUE(StopStandinServer());
    DWORD server = 0;
    {
        ComPtr<IZelvarConnection> connection;
        ASSERT_EQ(S_OK, CreateZelvarConnection(connection.Receive()));
        StandinControl control;
        ASSERT_TRUE(control);
        server = control.ServerProcessId();
        ASSERT_NE(0u, server);
        ASSERT_NE(GetCurrentProcessId(), server);
        ComPtr<IZelvarHttpRequest> request;
        ASSERT_EQ(S_OK, connection->CreateZVHttpRequest(request.Receive()));
        connection.Reset();
        control.Release();
        // The request object still holds the server.
        EXPECT_FALSE(WaitForProcessExit(server, 500));
    }
    EXPECT_TRUE(WaitForProcessExit(server, 10000));
}

TEST_F(StandinLifetimeTest, ExeHostEndsOnRequestAndLoadsTheScenarioFileAtStart) {
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    ASSERT_TRUE(StopStandinServer());  // the next activation starts a new server
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"zelvar-standin-scenario.json";
    {
        std::ofstream file(path.c_str());
        file << R"({"methods": {"GetVersion": {"outputs": {"version": "from-file"}}}})";
    }
    ASSERT_TRUE(SetEnvironmentVariableW(L"ZELVAR_STANDIN_SCENARIO", path.c_str()));
    ComPtr<IZelvarConnection> connection;
    HRESULT created = CreateZelvarConnection(connection.Receive());
    SetEnvironmentVariableW(L"ZELVAR_STANDIN_SCENARIO", nullptr);
    ASSERT_EQ(S_OK, created);
    ScopedBstr version;
    ASSERT_EQ(S_OK, connection->GetVersion(version.Receive()));
    EXPECT_STREQ(L"from-file", version.Get());

    StandinControl control;
    ASSERT_TRUE(control);
    Json info = control.ServerInfo();
    EXPECT_EQ(true, info["scenarioFile"].value("loaded", false)) << info.dump();
    DWORD server = info.value("processId", 0u);
    EXPECT_TRUE(control.Shutdown());
    EXPECT_TRUE(WaitForProcessExit(server, 10000));
    // The client's objects are gone with the server; a new activation starts afresh.
    EXPECT_NE(S_OK, connection->GetVersion(version.Receive()));
    connection.Reset();
    control.Release();
    StandinControl fresh;
    ASSERT_TRUE(fresh) << std::hex << fresh.CreationResult();
    EXPECT_NE(server, fresh.ServerProcessId());
    EXPECT_TRUE(fresh.ServerInfo()["scenarioFile"].is_null());
    DeleteFileW(path.c_str());
}

TEST_F(StandinLifetimeTest, ExeHostEndsAfterItsIdleTimeout) {
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    StandinControl control;
    ASSERT_TRUE(control);
    ASSERT_TRUE(control.Reset());
    ComPtr<IZelvarConnection> connection;
    ASSERT_EQ(S_OK, CreateZelvarConnection(connection.Receive()));
    DWORD server = control.ServerProcessId();
    ASSERT_TRUE(control.UpdateScenario({{"server", {{"idleTimeoutSeconds", 1}}}}));
    // Objects are still held, yet the server ends once nothing has called it for a second.
    EXPECT_TRUE(WaitForProcessExit(server, 10000));
    connection.Reset();
    control.Release();
    StandinControl fresh;
    ASSERT_TRUE(fresh) << std::hex << fresh.CreationResult();
    EXPECT_NE(server, fresh.ServerProcessId());
}

TEST_F(StandinLifetimeTest, UnregisteredClassIsNotFoundByEitherHost) {
    for (StandinHost host : {StandinHost::InprocServer, StandinHost::LocalServer}) {
        ASSERT_EQ(S_OK, RegisterStandin(host));
        ASSERT_EQ(S_OK, UnregisterStandin());
        IUnknown* unknown = nullptr;
        EXPECT_EQ(REGDB_E_CLASSNOTREG,
                  CoCreateInstance(CLSID_Zelvar, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(&unknown)))
            << HostName(host);
        EXPECT_EQ(nullptr, unknown);
        StandinControl control;
        EXPECT_EQ(REGDB_E_CLASSNOTREG, control.CreationResult());
        ITypeLib* library = nullptr;
        EXPECT_TRUE(FAILED(LoadRegTypeLib(LIBID_ZelvarSvrLib, 12, 0, 0, &library)));
        HKEY key = nullptr;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Interface\\{FFD342B6-22D8-4996-BAEC-1CD5FB74D7B1}",
                                               0, KEY_READ, &key));
    }
    // Registered again, the class is found.
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::InprocServer));
    ComPtr<IZelvarConnection> connection;
    EXPECT_EQ(S_OK, CreateZelvarConnection(connection.Receive()));
}

TEST_F(StandinLifetimeTest, RegistrationInstallsTheEventProxyStubForTheDiid) {
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    wchar_t value[64] = {};
    LONG size = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueW(HKEY_CLASSES_ROOT, L"Interface\\{FFD342B6-22D8-4996-BAEC-1CD5FB74D7B1}\\ProxyStubClsid32",
                             value, &size));
    // Not the standard dispatch marshaller {00020420-...}, which a DIID-only sink cannot pass.
    EXPECT_STREQ(L"{3F2CC53C-9C3D-4087-9C50-0E267778D9EB}", value);
    size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueW(HKEY_LOCAL_MACHINE,
                             L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}\\LocalServer32", value,
                             &size));
    HKEY key = nullptr;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                           L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}"
                                           L"\\InprocServer32",
                                           0, KEY_READ, &key));
}

}  // namespace
}  // namespace zvtest
