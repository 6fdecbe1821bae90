// The repair of the service's COM registration, end to end through the SDK's
// CreateConnection: the SDK loaded as a DLL, the stand-in service unregistered
// from the test prefix, and either a per-user installation of it (the SDK
// registers it for the user) or a machine-wide one (the stand-in updater
// service repairs it).
//
// Wine does not merge HKCU\Software\Classes into HKCR, so a class that the SDK
// registered for the user stays invisible to COM there. The per-user success
// case stands in for Windows' merged view: while the SDK pauses after its
// repair, a helper thread copies the class keys it wrote into the machine's
// classes and installs the stand-in's event proxy/stub (the sink answers only
// IUnknown and the event interface, which Wine's standard dispatch marshaller
// refuses). Without that copy the repeated creation fails as it does on Wine.
//
// Wine gap kept out of these runs: revoking a proxy from the Global Interface
// Table fails with 0x8001011D, so results of Uninitialize and DestroyConnection
// on the exe host are not asserted.
#include <windows.h>
#include <oleauto.h>
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
#include "updater/StandinUpdater.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;

namespace {

const wchar_t kProductInstallKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
const wchar_t kZelvarClassKey[] = L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kVossaryClassKey[] = L"Software\\Classes\\CLSID\\{98DB51B7-BDC6-484B-9844-18DA73D506B6}";
const char kZelvarClsidText[] = "{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";

const char kCreationFailed[] =
    "Failed to create the ZelvarSvrLib::Zelvar CoClass ({0579B1B3-3F62-4E7B-9169-C7E112E2F151}); - perhaps running at "
    "high integrity with a per-user install?";
const char kRepairCalled[] = "RegisterCOMBinaries called. isAdmin=0";
const char kTypeLibrariesCalled[] = "RegisterTypeLibForComBinaries called. isAdmin=0";
const char kPerUserFailed[] = "Failed to register COM binaries for per-user installation";
const char kUpdaterFailed[] = "Failed to communicate with the updater service to repair COM registration";
const char kUpdaterCalled[] = "UpdaterServiceCommunication::CommunicateToUpdaterService called.";
const char kRepairSent[] = "Sent REPAIR_ZELVAR_COM_REGISTRATION message.";

const HRESULT kClassNotRegistered = REGDB_E_CLASSNOTREG;  // 0x80040154
const DWORD kRepairPauseMs = 5000;

std::string AfterReRegistration(HRESULT hr) {
    char text[200];
    snprintf(text, sizeof text,
             "Failed to create the ZelvarSvrLib::Zelvar CoClass after COM re-registration (%s); HRESULT=0x%08X",
             kZelvarClsidText, static_cast<unsigned>(hr));
    return text;
}

std::string CaughtInAddZelvar(HRESULT hr) {
    return "AddZelvar Caught unexpected COM HRESULT code " + std::to_string(static_cast<unsigned>(hr)) +
           " while creating / setting up new zelvar. - Bad COM registration perhaps?";
}

std::string WorkerFailed(HRESULT hr) {
    return "BrennicZelvarSDK::ZVImplementationV1::CreateConnection failed with thread worker returning " +
           std::to_string(static_cast<unsigned>(hr)) + " ";
}

// The binaries of a per-user installation: the stand-in service under the
// service's name, and two small binaries that each carry a type library of
// their own under the names of the service's other two.
struct InstalledBinary {
    const wchar_t* builtName;
    const wchar_t* installedName;
    GUID typeLibrary;
    const wchar_t* typeLibraryText;
    USHORT major;
    USHORT minor;
};
const InstalledBinary kInstalled[3] = {
    {L"ZvFixtureInterfaces.dll",
     L"MorvelInterfaces.dll",
     {0xDA2B5F37, 0x18B9, 0x4BEF, {0x9C, 0x74, 0xCF, 0x58, 0x92, 0x77, 0xF0, 0xAF}},
     L"{DA2B5F37-18B9-4BEF-9C74-CF589277F0AF}",
     3,
     1},
    {L"ZelvarSvr.exe",
     L"ZelvarSvr.exe",
     {0xA2E3CD1C, 0xC98A, 0x4F62, {0x9F, 0x6B, 0xCA, 0x40, 0xE8, 0xE5, 0xCA, 0x34}},
     L"{A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}",
     12,
     0},
    {L"ZvFixtureModule.exe",
     L"MorvelModule.exe",
     {0xB607AE93, 0xB8E8, 0x4832, {0xA3, 0xA8, 0x2E, 0x03, 0x72, 0x0B, 0x98, 0x1C}},
     L"{B607AE93-B8E8-4832-A3A8-2E03720B981C}",
     7,
     2},
};
enum InstalledIndex { kInterfaces = 0, kServer = 1, kModule = 2 };

std::wstring TypeLibraryKey(const InstalledBinary& binary) {
    wchar_t version[16];
    swprintf(version, 16, L"%x.%x", binary.major, binary.minor);
    return std::wstring(L"Software\\Classes\\TypeLib\\") + binary.typeLibraryText + L"\\" + version;
}

// Where the registered type library points; empty when it is not registered.
std::wstring RegisteredTypeLibraryPath(const InstalledBinary& binary) {
    BSTR path = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(binary.typeLibrary, binary.major, binary.minor, 0, &path))) return {};
    std::wstring result(path, SysStringLen(path));
    SysFreeString(path);
    return result;
}

void ForgetFixtureTypeLibraries() {
    for (int i : {kInterfaces, kModule}) {
        const std::wstring key = std::wstring(L"Software\\Classes\\TypeLib\\") + kInstalled[i].typeLibraryText;
        DeleteRegTree(HKEY_CURRENT_USER, key);
        DeleteRegTree(HKEY_LOCAL_MACHINE, key);
    }
}

ULONGLONG Now() {
    return GetTickCount64();
}

// Stands in for Windows' merged view of the classes: waits until the SDK's
// per-user repair has written both class registrations and registered the
// last type library, then copies the two class keys into the machine's
// classes and installs the event proxy/stub (after the type library, whose
// registration installs the standard dispatch marshaller for the event
// interface).
class MergedClassesStandIn {
public:
    MergedClassesStandIn() : m_thread([this] { Run(); }) {}
    ~MergedClassesStandIn() {
        m_stop = true;
        m_thread.join();
    }
    bool Mirrored() const { return m_mirrored; }
    LONG Error() const { return m_error; }

private:
    static bool RepairWritten() {
        const std::wstring lastTypeLibrary = TypeLibraryKey(kInstalled[kModule]);
        return RegKeyExists(HKEY_CURRENT_USER, std::wstring(kVossaryClassKey) + L"\\Programmable") &&
               (RegKeyExists(HKEY_CURRENT_USER, lastTypeLibrary) || RegKeyExists(HKEY_LOCAL_MACHINE, lastTypeLibrary));
    }
    static LONG CopyClass(const wchar_t* classKey) {
        HKEY from = nullptr;
        HKEY to = nullptr;
        LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, classKey, 0, KEY_READ, &from);
        if (rc == ERROR_SUCCESS)
            rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, classKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &to, nullptr);
        if (rc == ERROR_SUCCESS) rc = RegCopyTreeW(from, nullptr, to);
        if (from) RegCloseKey(from);
        if (to) RegCloseKey(to);
        return rc;
    }
    static LONG RegisterEventProxyStub() {
        HMODULE proxy = LoadLibraryW((ExeDirectory() + L"\\ZelvarSvrPS.dll").c_str());
        if (!proxy) return static_cast<LONG>(GetLastError());
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(proxy, "DllRegisterServer")));
        HRESULT hr = entry ? entry() : E_FAIL;
        FreeLibrary(proxy);
        return SUCCEEDED(hr) ? ERROR_SUCCESS : static_cast<LONG>(hr);
    }
    void Run() {
        const ULONGLONG give_up = Now() + 30000;
        while (!m_stop && !RepairWritten()) {
            if (Now() > give_up) return;
            Sleep(10);
        }
        if (m_stop) return;
        LONG rc = CopyClass(kZelvarClassKey);
        if (rc == ERROR_SUCCESS) rc = CopyClass(kVossaryClassKey);
        if (rc == ERROR_SUCCESS) rc = RegisterEventProxyStub();
        m_error = rc;
        m_mirrored = rc == ERROR_SUCCESS;
    }

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_mirrored{false};
    std::atomic<LONG> m_error{-1};
    std::thread m_thread;
};

void StatusCallback(unsigned int handle, void* context, unsigned int status, int window) {
    if (handle == 1 && status == 77 && window == 0) SetEvent(static_cast<HANDLE>(context));
}

class RegistrationRepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_comInitialized = true;
        // An exe host still serving from an earlier test would answer the
        // creation without any repair.
        ASSERT_TRUE(StopStandinServer());
        ASSERT_EQ(S_OK, UnregisterStandin());
        m_unregistered = true;
        IZelvarConnection* connection = nullptr;
        ASSERT_EQ(kClassNotRegistered, CreateZelvarConnection(&connection));
        ForgetFixtureTypeLibraries();

        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        // A blank in the folder name: the server path only works quoted.
        m_location = std::wstring(temp) + L"Zv Repair " + std::to_wstring(GetCurrentProcessId());
        m_directory = m_location + L"\\Zelvar\\";
        ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, m_directory.c_str(), nullptr));

        m_sdk = GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_NE(nullptr, m_sdk);
        ASSERT_EQ(ZV_SUCCESS, m_sdk->Initialize());
    }

    void TearDown() override {
        if (m_sdk) m_sdk->Uninitialize();
        if (m_unregistered) {
            // Leave the stand-in installed as the other test programs expect
            // it, with nothing of the repair left among its keys, and end a
            // server that runs from the per-user copy.
            EXPECT_EQ(S_OK, UnregisterStandin());
            EXPECT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
            EXPECT_TRUE(StopStandinServer());
        }
        ForgetFixtureTypeLibraries();
        for (const InstalledBinary& binary : kInstalled) DeleteFileW((m_directory + binary.installedName).c_str());
        RemoveDirectoryW(m_directory.c_str());
        RemoveDirectoryW(m_location.c_str());
        if (m_comInitialized) CoUninitialize();
    }

    // Copies the binaries into the per-user installation, all but `missing`.
    void Install(int missing = -1) {
        for (int i = 0; i < 3; ++i) {
            if (i == missing) continue;
            ASSERT_TRUE(
                CopyFileW((ExeDirectory() + L"\\" + kInstalled[i].builtName).c_str(), InstalledPath(i).c_str(), FALSE))
                << "binary missing: " << Utf8(kInstalled[i].builtName);
        }
    }
    void SetUserInstallLocation() {
        ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", m_location));
    }
    // The lookup that chooses the repair reads the machine's 32-bit view.
    void SetMachineInstallLocation(const std::wstring& location) {
        HKEY key = nullptr;
        ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductInstallKey, 0, nullptr, 0,
                                     KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
        LONG rc = RegSetValueExW(key, L"InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(location.c_str()),
                                 static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        ASSERT_EQ(0, rc);
    }
    std::wstring InstalledPath(int index) const { return m_directory + kInstalled[index].installedName; }
    std::wstring QuotedServer(const wchar_t* exe) const { return L"\"" + m_directory + exe + L"\""; }

    // CreateConnection, timed; the handle it gave back in `handle`.
    ZVResult Create(unsigned int& handle, ULONGLONG& elapsedMs, ZVStatusChangeCallback callback = nullptr,
                    void* context = nullptr) {
        handle = 12345;
        const ULONGLONG start = Now();
        ZVResult result = m_sdk->CreateConnection(L"App", callback, context, &handle);
        elapsedMs = Now() - start;
        return result;
    }

    std::string ClientId(unsigned int handle) const {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string exe(path);
        exe = exe.substr(exe.find_last_of('\\') + 1);
        return "App:" + exe + ":" + std::to_string(GetCurrentProcessId()) + ":" + std::to_string(handle);
    }

    void ExpectInOrder(const std::vector<std::string>& texts) { EXPECT_TRUE(m_trace.InOrder(texts)); }
    bool Traced(const std::string& text) const { return m_trace.Contains(text); }

    std::vector<std::string> PerUserRepairTraces() const {
        std::vector<std::string> traces = {
            kCreationFailed, kRepairCalled,
            Utf8(L"RegisterCLSIDForComBinary called. CLSID={0579B1B3-3F62-4E7B-9169-C7E112E2F151}, "
                 L"TypeLib={A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}, Version=C.0, ClassName=Zelvar Class, ServerPath=" +
                 QuotedServer(L"ZelvarSvr.exe") + L", isAdmin=0"),
            Utf8(L"RegisterCLSIDForComBinary called. CLSID={98DB51B7-BDC6-484B-9844-18DA73D506B6}, "
                 L"TypeLib={2D646468-6FEC-408C-B7CF-FB258D2AA0EB}, Version=C.0, ClassName=Vossary Class, "
                 L"ServerPath=" +
                 QuotedServer(L"MorvelModule.exe") + L", isAdmin=0"),
            kTypeLibrariesCalled};
        for (int i = 0; i < 3; ++i) {
            const std::string path = Utf8(InstalledPath(i));
            traces.push_back("RegisterTypeLibForComBinaries: Registering type library for " + path);
            traces.push_back("RegisterTypeLibForUser succeeded for: " + path);
        }
        return traces;
    }

    // Keys the tests change, each restored afterwards.
    ScopedRegistryKeyIsolation m_userZelvarClass{HKEY_CURRENT_USER, kZelvarClassKey};
    ScopedRegistryKeyIsolation m_userVossaryClass{HKEY_CURRENT_USER, kVossaryClassKey};
    ScopedRegistryKeyIsolation m_machineVossaryClass{HKEY_LOCAL_MACHINE, kVossaryClassKey};
    ScopedRegistryKeyIsolation m_userInstall{HKEY_CURRENT_USER, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall32{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install", KEY_WOW64_32KEY};
    TraceCapture m_trace;
    ZVImplementationV1Interface* m_sdk = nullptr;
    bool m_comInitialized = false;
    bool m_unregistered = false;
    std::wstring m_location;   // "InstallLocation"
    std::wstring m_directory;  // m_location + "\Zelvar\"
};

}  // namespace

// ---------------------------------------------------------------------------
// Per-user repair

TEST_F(RegistrationRepairTest, PerUserRepairRegistersForTheUserPausesAndTheSecondCreationConnects) {
    Install();
    SetUserInstallLocation();
    HANDLE delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    MergedClassesStandIn merged;

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    ASSERT_EQ(ZV_SUCCESS, Create(handle, elapsed, StatusCallback, delivered));
    EXPECT_EQ(1u, handle);
    EXPECT_GE(elapsed, kRepairPauseMs) << "the repeated creation must wait for the pause";
    ASSERT_TRUE(merged.Mirrored()) << "class keys not mirrored, error " << merged.Error();

    for (int i = 0; i < 3; ++i) EXPECT_EQ(InstalledPath(i), RegisteredTypeLibraryPath(kInstalled[i])) << i;

    std::vector<std::string> traces = PerUserRepairTraces();
    traces.push_back("CreateConnection created zelvar with handle 1");
    ExpectInOrder(traces);
    EXPECT_FALSE(Traced(AfterReRegistration(kClassNotRegistered)));
    EXPECT_FALSE(Traced(CaughtInAddZelvar(kClassNotRegistered)));
    EXPECT_FALSE(Traced(kUpdaterCalled)) << "a per-user installation never asks the updater";

    // The service that answered is the per-user copy, and it got the client
    // identifier; the repaired connection also carries events.
    StandinControl control;
    ASSERT_TRUE(control) << std::hex << control.CreationResult();
    EXPECT_EQ(Utf8(InstalledPath(kServer)), control.ServerInfo().value("modulePath", std::string()));
    EXPECT_EQ(1u, control.CallCount("CreateConnection"));
    EXPECT_EQ(ClientId(1), control.LastArgs("CreateConnection").value("clientIdentifier", std::string()));
    Json fired = control.FireEvents({{"clientId", ClientId(1)}, {"status", 77}, {"window", 0}});
    EXPECT_EQ(1u, fired.value("delivered", 0u)) << fired.dump();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(delivered, 10000));
    CloseHandle(delivered);
}

TEST_F(RegistrationRepairTest, PerUserRepairWithoutMergedClassesFailsWithTheRepeatedCreationsResult) {
    Install();
    SetUserInstallLocation();

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_GE(elapsed, kRepairPauseMs);

    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, std::wstring(kVossaryClassKey) + L"\\Programmable"));
    std::vector<std::string> traces = PerUserRepairTraces();
    traces.push_back(AfterReRegistration(kClassNotRegistered));
    traces.push_back(CaughtInAddZelvar(kClassNotRegistered));
    traces.push_back(WorkerFailed(kClassNotRegistered));
    ExpectInOrder(traces);
    EXPECT_FALSE(Traced(kPerUserFailed));
    EXPECT_FALSE(Traced("CreateConnection created zelvar with handle 1"));
}

TEST_F(RegistrationRepairTest, PerUserRepairWithABinaryMissingFailsAtOnceWithTheFirstCreationsResult) {
    Install(kInterfaces);
    SetUserInstallLocation();
    // An empty machine-wide value is no machine-wide installation.
    SetMachineInstallLocation(L"");

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_LT(elapsed, 4000u) << "no pause after a failed repair";

    ExpectInOrder({kCreationFailed, kRepairCalled, kTypeLibrariesCalled,
                   "Binary not found, skipping registration: " + Utf8(InstalledPath(kInterfaces)),
                   "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kServer)),
                   "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kModule)),
                   "RegisterCOMBinaries failed during type library registration.", kPerUserFailed,
                   CaughtInAddZelvar(kClassNotRegistered), WorkerFailed(kClassNotRegistered)});
    EXPECT_FALSE(Traced(AfterReRegistration(kClassNotRegistered))) << "no second creation after a failed repair";
    EXPECT_FALSE(Traced(kUpdaterCalled));
}

TEST_F(RegistrationRepairTest, PerUserRepairWithoutAUserInstallLocationFailsAtTheClassStep) {
    Install();

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_LT(elapsed, 4000u);

    ExpectInOrder({kCreationFailed, kRepairCalled, "RegisterCLSIDForComBinaries: Zelvar installation path is empty.",
                   "RegisterCOMBinaries failed during CLSID registration.", kPerUserFailed,
                   CaughtInAddZelvar(kClassNotRegistered), WorkerFailed(kClassNotRegistered)});
    EXPECT_FALSE(Traced(kTypeLibrariesCalled)) << "the type-library step only follows a class registration";
    EXPECT_FALSE(Traced(AfterReRegistration(kClassNotRegistered)));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kVossaryClassKey));

    // The next connection draws a new handle after the refused one.
    ASSERT_EQ(S_OK, RegisterStandin(StandinHost::LocalServer));
    EXPECT_EQ(ZV_SUCCESS, Create(handle, elapsed));
    EXPECT_EQ(2u, handle);
}

// ---------------------------------------------------------------------------
// Updater repair (machine-wide installation)

namespace {

class UpdaterRepairTest : public RegistrationRepairTest {
protected:
    void SetUp() override {
        RegistrationRepairTest::SetUp();
        if (HasFatalFailure()) return;
        SetMachineInstallLocation(L"C:\\Program Files\\Brennic");
    }
    void ExpectNoPerUserRepair() {
        EXPECT_FALSE(Traced(kRepairCalled));
        EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey));
    }
};

}  // namespace

TEST_F(UpdaterRepairTest, UpdaterRegistersTheServiceAndTheCreationIsRepeatedAtOnce) {
    StandinUpdater updater({L"--repair-command", QuoteArgument(ExeDirectory() + L"\\ZelvarSvr.exe") + L" /RegServer"});
    ASSERT_TRUE(updater.Ready());

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    ASSERT_EQ(ZV_SUCCESS, Create(handle, elapsed));
    EXPECT_EQ(1u, handle);
    EXPECT_LT(elapsed, kRepairPauseMs) << "no pause after the updater's repair";

    EXPECT_EQ(0u, updater.Finish());
    EXPECT_EQ(2u, updater.Messages().size());

    ExpectInOrder({kCreationFailed, kUpdaterCalled, kRepairSent, "ReadFromPipe received MessageType=16, ExitCode=0",
                   "UpdaterServiceCommunication::CommunicateToUpdaterService succeeded.",
                   "CreateConnection created zelvar with handle 1"});
    EXPECT_FALSE(Traced(AfterReRegistration(kClassNotRegistered)));
    ExpectNoPerUserRepair();

    StandinControl control;
    ASSERT_TRUE(control) << std::hex << control.CreationResult();
    EXPECT_EQ(1u, control.CallCount("CreateConnection"));
    EXPECT_EQ(ClientId(1), control.LastArgs("CreateConnection").value("clientIdentifier", std::string()));
}

TEST_F(UpdaterRepairTest, ARefusedRepairFailsWithTheFirstCreationsResultAtOnce) {
    StandinUpdater updater({L"--reply", L"{\"MessageType\":16,\"ExitCode\":5}"});
    ASSERT_TRUE(updater.Ready());
    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_LT(elapsed, kRepairPauseMs);
    EXPECT_EQ(0u, updater.Finish());
    EXPECT_EQ(2u, updater.Messages().size());
    ExpectInOrder({kCreationFailed, kUpdaterCalled, kRepairSent, "ReadFromPipe received MessageType=16, ExitCode=5",
                   "UpdaterServiceCommunication::CommunicateToUpdaterService failed.", kUpdaterFailed,
                   CaughtInAddZelvar(kClassNotRegistered), WorkerFailed(kClassNotRegistered)});
    EXPECT_FALSE(Traced(AfterReRegistration(kClassNotRegistered))) << "no second creation after a refused repair";
    ExpectNoPerUserRepair();
}

TEST_F(UpdaterRepairTest, AConfirmedRepairThatRegisteredNothingFailsWithTheRepeatedCreationsResult) {
    // Without a repair command the updater confirms with ExitCode 0 but
    // changes nothing.
    StandinUpdater updater({});
    ASSERT_TRUE(updater.Ready());

    unsigned int handle = 0;
    ULONGLONG elapsed = 0;
    EXPECT_EQ(ZV_ERROR_SERVICE_UNAVAILABLE, Create(handle, elapsed));
    EXPECT_EQ(0u, handle);
    EXPECT_LT(elapsed, kRepairPauseMs);
    EXPECT_EQ(0u, updater.Finish());
    EXPECT_EQ(2u, updater.Messages().size());
    ExpectInOrder({kCreationFailed, kUpdaterCalled, kRepairSent, "ReadFromPipe received MessageType=16, ExitCode=0",
                   "UpdaterServiceCommunication::CommunicateToUpdaterService succeeded.",
                   AfterReRegistration(kClassNotRegistered), CaughtInAddZelvar(kClassNotRegistered),
                   WorkerFailed(kClassNotRegistered)});
    EXPECT_FALSE(Traced(kUpdaterFailed));
    ExpectNoPerUserRepair();
}
