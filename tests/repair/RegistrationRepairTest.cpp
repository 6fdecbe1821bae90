// The repair of the service's COM registration, end to end through the SDK's
// CreateConnection: the SDK loaded as a DLL, the stand-in service unregistered
// from the test prefix, and either a per-user installation of it (the SDK
// registers it for the user) or a machine-wide one (the stand-in updater
// service repairs it). What each repair writes is checked by the registry and
// updater programs; here it is the creation's course: the pause, the second
// creation, and which result the application gets.
//
// Wine does not merge HKCU\Software\Classes into HKCR, so a class that the SDK
// registered for the user stays invisible to COM there. The per-user success
// case stands in for Windows' merged view: while the SDK pauses after its
// repair, a helper thread copies the class keys it wrote into the machine's
// classes and installs the stand-in's event proxy/stub. Without that copy the
// repeated creation fails as it does on Wine.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"
#include "repair/StandinUpdater.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;

namespace {

// The type libraries of the two small binaries that stand in for the service's other two.
const wchar_t* const kFixtureTypeLibraries[] = {L"Software\\Classes\\TypeLib\\{DA2B5F37-18B9-4BEF-9C74-CF589277F0AF}",
                                                L"Software\\Classes\\TypeLib\\{B607AE93-B8E8-4832-A3A8-2E03720B981C}"};
// Built name, installed name.
const wchar_t* const kInstalled[3][2] = {{L"ZvFixtureInterfaces.dll", L"MorvelInterfaces.dll"},
                                         {L"ZelvarSvr.exe", L"ZelvarSvr.exe"},
                                         {L"ZvFixtureModule.exe", L"MorvelModule.exe"}};

const char kCreationFailed[] =
    "Failed to create the ZelvarSvrLib::Zelvar CoClass ({0579B1B3-3F62-4E7B-9169-C7E112E2F151}); - perhaps running at "
    "high integrity with a per-user install?";
const char kAfterReRegistration[] =
    "Failed to create the ZelvarSvrLib::Zelvar CoClass after COM re-registration "
    "({0579B1B3-3F62-4E7B-9169-C7E112E2F151}); HRESULT=0x80040154";
const char kCaught[] =
    "AddZelvar Caught unexpected COM HRESULT code 2147746132 while creating / setting up new zelvar. - Bad COM "
    "registration perhaps?";
const char kWorkerFailed[] =
    "BrennicZelvarSDK::ZVImplementationV1::CreateConnection failed with thread worker returning 2147746132 ";
const char kRepairCalled[] = "RegisterCOMBinaries called. isAdmin=0";
const char kTypeLibrariesCalled[] = "RegisterTypeLibForComBinaries called. isAdmin=0";
const char kPerUserFailed[] = "Failed to register COM binaries for per-user installation";
const char kUpdaterCalled[] = "UpdaterServiceCommunication::CommunicateToUpdaterService called.";
const char kUpdaterFailed[] = "Failed to communicate with the updater service to repair COM registration";
const char kRepairSent[] = "Sent REPAIR_ZELVAR_COM_REGISTRATION message.";
const DWORD kRepairPauseMs = 5000;

void ForgetFixtureTypeLibraries() {
    for (const wchar_t* key : kFixtureTypeLibraries) {
        DeleteRegTree(HKEY_CURRENT_USER, key);
        DeleteRegTree(HKEY_LOCAL_MACHINE, key);
    }
}

// Stands in for Windows' merged view of the classes: once the SDK's per-user
// repair has written both classes and registered the last type library, it
// copies the two class keys into the machine's classes and installs the event
// proxy/stub (after the type library, whose registration installs the
// standard dispatch marshaller for the event interface).
class MergedClassesStandIn {
public:
    MergedClassesStandIn() : m_thread([this] { Run(); }) {}
    ~MergedClassesStandIn() {
        m_stop = true;
        m_thread.join();
    }
    bool Mirrored() const { return m_mirrored; }

private:
    static LONG CopyClass(const wchar_t* classKey) {
        HKEY from = nullptr, to = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, classKey, 0, KEY_READ, &from);
        if (rc == ERROR_SUCCESS)
            rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, classKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &to, nullptr);
        if (rc == ERROR_SUCCESS) rc = RegCopyTreeW(from, nullptr, to);
        if (from) RegCloseKey(from);
        if (to) RegCloseKey(to);
        return rc;
    }
    void Run() {
        // The repair writes into the registry; there is nothing to wait on but its keys.
        const std::wstring lastTypeLibrary = std::wstring(kFixtureTypeLibraries[1]) + L"\\7.2";
        for (ULONGLONG end = GetTickCount64() + 30000;; Sleep(10)) {
            if (m_stop || GetTickCount64() > end) return;
            if (RegKeyExists(HKEY_CURRENT_USER, std::wstring(kVossaryClassKey) + L"\\Programmable") &&
                (RegKeyExists(HKEY_CURRENT_USER, lastTypeLibrary) || RegKeyExists(HKEY_LOCAL_MACHINE, lastTypeLibrary)))
                break;
        }
        // The proxy/stub of this process's width (the 32-bit one beside the 64-bit service also registers the
        // type library for 32-bit clients).
        const wchar_t* proxyName = sizeof(void*) == 4 ? L"\\x86\\ZelvarSvrPS.dll" : L"\\ZelvarSvrPS.dll";
        HMODULE proxy = LoadLibraryW((ExeDirectory() + proxyName).c_str());
        auto registerProxy = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(proxy, "DllRegisterServer")));
        m_mirrored = CopyClass(kZelvarClassKey) == ERROR_SUCCESS && CopyClass(kVossaryClassKey) == ERROR_SUCCESS &&
                     registerProxy && SUCCEEDED(registerProxy());
        if (proxy) FreeLibrary(proxy);
    }

    std::atomic<bool> m_stop{false}, m_mirrored{false};
    std::thread m_thread;
};

void StatusCallback(unsigned int handle, void* context, unsigned int status, int window) {
    if (handle == 1 && status == 77 && window == 0) SetEvent(static_cast<HANDLE>(context));
}

class RegistrationRepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // An exe host still serving from an earlier test would answer the creation without any repair;
        // with the in-process host registered the control would not reach it.
        ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
        ASSERT_TRUE(StopStandinServer());
        ASSERT_EQ(S_OK, UnregisterStandin());
        IZelvarConnection* connection = nullptr;
        ASSERT_EQ(REGDB_E_CLASSNOTREG, CreateZelvarConnection(&connection));
        ForgetFixtureTypeLibraries();
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        // A blank in the folder name: the server path only works quoted.
        m_location = std::wstring(temp) + L"Zv Repair " + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, (m_location + L"\\Zelvar").c_str(), nullptr));
        m_sdk = GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_EQ(ZV_SUCCESS, m_sdk->Initialize());
    }
    void TearDown() override {
        if (m_sdk) m_sdk->Uninitialize();
        // Leave the stand-in installed as the other programs expect it, with
        // nothing of the repair left, and end a server run from the copy.
        EXPECT_EQ(S_OK, UnregisterStandin());
        EXPECT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
        EXPECT_TRUE(StopStandinServer());
        ForgetFixtureTypeLibraries();
        for (const auto& binary : kInstalled) DeleteFileW(Installed(binary[1]).c_str());
        RemoveDirectoryW((m_location + L"\\Zelvar").c_str());
        RemoveDirectoryW(m_location.c_str());
        CoUninitialize();
    }

    std::wstring Installed(const wchar_t* name) const { return m_location + L"\\Zelvar\\" + name; }
    // A per-user installation of the three binaries.
    void InstallForTheUser() {
        for (const auto& binary : kInstalled)
            ASSERT_TRUE(CopyFileW((ExeDirectory() + L"\\" + binary[0]).c_str(), Installed(binary[1]).c_str(), FALSE));
        ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", m_location));
    }
    // CreateConnection; the handle it gave back and how long it took.
    ZVResult Create(unsigned int& handle, ULONGLONG& elapsedMs, HANDLE delivered = nullptr) {
        handle = 12345;
        const ULONGLONG start = GetTickCount64();
        ZVResult result = m_sdk->CreateConnection(L"App", delivered ? StatusCallback : nullptr, delivered, &handle);
        elapsedMs = GetTickCount64() - start;
        return result;
    }
    void ExpectUpdaterRepair(const std::vector<std::wstring>& options, ZVResult expected,
                             const std::vector<std::string>& expectedTraces) {
        ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation",
                                  L"C:\\Program Files\\Brennic", KEY_WOW64_32KEY));
        StandinUpdater updater(options);
        ASSERT_TRUE(updater.Ready());
        unsigned int handle = 0;
        ULONGLONG elapsed = 0;
        EXPECT_EQ(expected, Create(handle, elapsed));
        EXPECT_EQ(expected == ZV_SUCCESS ? 1u : 0u, handle);
        EXPECT_LT(elapsed, kRepairPauseMs) << "no pause after the updater's repair";
        EXPECT_EQ(0u, updater.Finish());
        EXPECT_EQ(2u, updater.Messages().size());
        std::vector<std::string> traces = {kCreationFailed, kUpdaterCalled, kRepairSent};
        traces.insert(traces.end(), expectedTraces.begin(), expectedTraces.end());
        EXPECT_TRUE(m_trace.InOrder(traces));
        EXPECT_EQ(expectedTraces[0] == kAfterReRegistration, m_trace.Contains(kAfterReRegistration));
        EXPECT_FALSE(m_trace.Contains(kRepairCalled)) << "a machine-wide installation was repaired for the user";
        EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey));
    }
    std::vector<std::string> PerUserRepairTraces() const {
        std::vector<std::string> traces = {kCreationFailed, kRepairCalled, kTypeLibrariesCalled};
        for (const auto& binary : kInstalled)
            traces.push_back("RegisterTypeLibForUser succeeded for: " + Utf8(Installed(binary[1])));
        return traces;
    }

    ScopedRegistryKeyIsolation m_userZelvarClass{HKEY_CURRENT_USER, kZelvarClassKey};
    ScopedRegistryKeyIsolation m_userVossaryClass{HKEY_CURRENT_USER, kVossaryClassKey};
    ScopedRegistryKeyIsolation m_machineVossaryClass{HKEY_LOCAL_MACHINE, kVossaryClassKey};
    ScopedRegistryKeyIsolation m_userInstall{HKEY_CURRENT_USER, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall32{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install", KEY_WOW64_32KEY};
    TraceCapture m_trace;
    ZVImplementationV1Interface* m_sdk = nullptr;
    std::wstring m_location;  // "InstallLocation"
};

}  // namespace

TEST_F(RegistrationRepairTest, PerUserRepairRegistersForTheUserPausesAndTheSecondCreationConnects) {
    InstallForTheUser();
    HANDLE delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    MergedClassesStandIn merged;
    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    ASSERT_EQ(ZV_SUCCESS, Create(handle, elapsed, delivered));
    EXPECT_EQ(1u, handle);
    EXPECT_GE(elapsed, kRepairPauseMs) << "the repeated creation must wait for the pause";
    ASSERT_TRUE(merged.Mirrored());
    std::vector<std::string> traces = PerUserRepairTraces();
    traces.push_back("CreateConnection created zelvar with handle 1");
    EXPECT_TRUE(m_trace.InOrder(traces));
    EXPECT_FALSE(m_trace.Contains(kAfterReRegistration));
    EXPECT_FALSE(m_trace.Contains(kUpdaterCalled)) << "a per-user installation never asks the updater";

    // The per-user copy answered, got the client identifier and carries events.
    StandinControl control;
    ASSERT_TRUE(control) << std::hex << control.CreationResult();
    EXPECT_EQ(Utf8(Installed(L"ZelvarSvr.exe")), control.ServerInfo().value("modulePath", std::string()));
    const std::string clientId = control.LastArgs("CreateConnection").value("clientIdentifier", "");
    EXPECT_EQ(":1", clientId.substr(clientId.size() - 2));
    EXPECT_EQ(1u, control.FireEvents({{"clientId", clientId}, {"status", 77}, {"window", 0}}).value("delivered", 0u));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(delivered, 10000));
    CloseHandle(delivered);
}

TEST_F(RegistrationRepairTest, AFailedPerUserRepairFailsAtOnceWithTheFirstCreationsResult) {
    // Binaries but no per-user location; an empty machine-wide value is no machine-wide installation.
    for (const auto& binary : kInstalled)
        ASSERT_TRUE(CopyFileW((ExeDirectory() + L"\\" + binary[0]).c_str(), Installed(binary[1]).c_str(), FALSE));
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"", KEY_WOW64_32KEY));
    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_LT(elapsed, 4000u) << "no pause after a failed repair";
    EXPECT_TRUE(m_trace.InOrder(
        {kCreationFailed, kRepairCalled, "RegisterCLSIDForComBinaries: Zelvar installation path is empty.",
         "RegisterCOMBinaries failed during CLSID registration.", kPerUserFailed, kCaught, kWorkerFailed}));
    EXPECT_FALSE(m_trace.Contains(kTypeLibrariesCalled)) << "the type-library step only follows a class registration";
    EXPECT_FALSE(m_trace.Contains(kAfterReRegistration)) << "no second creation after a failed repair";
    EXPECT_FALSE(m_trace.Contains(kUpdaterCalled));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey) || RegKeyExists(HKEY_CURRENT_USER, kVossaryClassKey));
    // The next connection draws a new handle after the refused one.
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    EXPECT_EQ(ZV_SUCCESS, Create(handle, elapsed));
    EXPECT_EQ(2u, handle);
}

// The updater's repair of a machine-wide installation is followed at once by
// the second creation, unless the updater refused.
TEST_F(RegistrationRepairTest, AnUpdaterRepairThatRegistersTheServiceConnects) {
    ExpectUpdaterRepair({L"--repair-command", QuoteArgument(ExeDirectory() + L"\\ZelvarSvr.exe") + L" /RegServer"},
                        ZV_SUCCESS,
                        {"ReadFromPipe received MessageType=16, ExitCode=0",
                         "UpdaterServiceCommunication::CommunicateToUpdaterService succeeded.",
                         "CreateConnection created zelvar with handle 1"});
}

TEST_F(RegistrationRepairTest, ARefusedUpdaterRepairFailsWithTheFirstCreationsResult) {
    ExpectUpdaterRepair({L"--reply", L"{\"MessageType\":16,\"ExitCode\":5}"}, ZV_ERROR_SERVICE_UNAVAILABLE,
                        {"ReadFromPipe received MessageType=16, ExitCode=5", kUpdaterFailed, kCaught, kWorkerFailed});
}

TEST_F(RegistrationRepairTest, AConfirmedUpdaterRepairThatRegisteredNothingFailsWithTheSecondCreationsResult) {
    ExpectUpdaterRepair({}, ZV_ERROR_SERVICE_UNAVAILABLE, {kAfterReRegistration, kCaught, kWorkerFailed});
}

// Uninitialize on another thread while CreateConnection waits on the updater
// ends the exchange at once, whatever the updater does, and the creation
// fails as any failed updater repair does. The bound on Uninitialize only
// guards against a hang.
namespace {

struct Stall {
    const char* name;
    std::vector<std::wstring> options;
    bool requestSent;  // false: the write of the request itself was pending
};
void PrintTo(const Stall& stall, std::ostream* out) {
    *out << stall.name;
}
class UpdaterStallTest : public RegistrationRepairTest, public ::testing::WithParamInterface<Stall> {};

}  // namespace

TEST_P(UpdaterStallTest, UninitializeEndsTheExchangeAndCreateConnectionGetsTheFailedRepairsResult) {
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"C:\\Program Files\\Brennic",
                              KEY_WOW64_32KEY));
    const std::wstring stallName = L"Local\\ZvUpdaterStall-" + std::to_wstring(GetCurrentProcessId());
    std::unique_ptr<void, decltype(&CloseHandle)> stalled(CreateEventW(nullptr, TRUE, FALSE, stallName.c_str()),
                                                          CloseHandle);
    std::vector<std::wstring> options = GetParam().options;
    options.insert(options.end(), {L"--stall-event", stallName});
    StandinUpdater updater(options);
    ASSERT_TRUE(updater.Ready());

    unsigned int handle = 12345;
    auto creator = Background([&] { return m_sdk->CreateConnection(L"App", nullptr, nullptr, &handle); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stalled.get(), 10000)) << "the exchange never reached the updater";
    auto stopper = Background([&] { return m_sdk->Uninitialize(); });
    const bool ended = stopper.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    // Ending the updater breaks the pipe, so that a held exchange lets the threads go.
    if (!ended) updater.Finish(0);
    EXPECT_TRUE(ended) << "Uninitialize held by the updater";
    EXPECT_EQ(ZV_SUCCESS, stopper.get());
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, creator.get());
    m_sdk = nullptr;
    EXPECT_EQ(0u, handle);
    EXPECT_TRUE(m_trace.InOrder({kCreationFailed, kUpdaterCalled,
                                 "UpdaterServiceCommunication::CommunicateToUpdaterService failed.", kUpdaterFailed,
                                 kCaught, kWorkerFailed, "Uninitialize Ends"}));
    EXPECT_EQ(GetParam().requestSent, m_trace.Contains(kRepairSent));
}

INSTANTIATE_TEST_SUITE_P(
    Updaters, UpdaterStallTest,
    ::testing::Values(Stall{"NeverReadsWithNoRoomForTheRequest", {L"--never-read", L"--in-buffer", L"0"}, false},
                      Stall{"NeverReads", {L"--never-read"}, true},
                      Stall{"ReadsAndNeverAnswers", {L"--no-answer"}, true},
                      Stall{"AnswersAfterTwentyFiveSeconds", {L"--reply-delay-ms", L"25000"}, true},
                      Stall{"HangsUpAfterTheRequest", {L"--no-reply"}, true}),
    [](const ::testing::TestParamInfo<Stall>& info) { return std::string(info.param.name); });
