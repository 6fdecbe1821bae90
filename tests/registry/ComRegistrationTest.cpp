// The per-user COM registration repair against the real registry and the
// real type-library registration of the test prefix. The installation holds
// small stand-in binaries, each with a type library of its own.
#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "Utility/RegUtil.h"
#include "common/TestSupport.h"
#include "common/TraceCapture.h"
#include "registry/RecordingRegistry.h"
#include "service/ComRegistration.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;
using BrennicUtility::RegUtil;

namespace {

const wchar_t kProductInstallKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
const wchar_t kZelvarClsid[] = L"{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kVossaryClsid[] = L"{98DB51B7-BDC6-484B-9844-18DA73D506B6}";
const wchar_t kZelvarClassKey[] = L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kVossaryClassKey[] = L"Software\\Classes\\CLSID\\{98DB51B7-BDC6-484B-9844-18DA73D506B6}";

// The stand-in binaries' own type libraries (see CMakeLists.txt).
struct Fixture {
    const wchar_t* builtName;
    const wchar_t* installedName;
    GUID typeLibrary;
    const wchar_t* typeLibraryText;
    USHORT major;
    USHORT minor;
};
const Fixture kFixtures[3] = {
    {L"ZvFixtureInterfaces.dll",
     L"MorvelInterfaces.dll",
     {0xDA2B5F37, 0x18B9, 0x4BEF, {0x9C, 0x74, 0xCF, 0x58, 0x92, 0x77, 0xF0, 0xAF}},
     L"{DA2B5F37-18B9-4BEF-9C74-CF589277F0AF}",
     3,
     1},
    {L"ZvFixtureServer.exe",
     L"ZelvarSvr.exe",
     {0xC12DCC3A, 0xF001, 0x44FB, {0xBE, 0xE4, 0xE4, 0xD9, 0x34, 0x94, 0x1D, 0x86}},
     L"{C12DCC3A-F001-44FB-BEE4-E4D934941D86}",
     12,
     0},
    {L"ZvFixtureModule.exe",
     L"MorvelModule.exe",
     {0xB607AE93, 0xB8E8, 0x4832, {0xA3, 0xA8, 0x2E, 0x03, 0x72, 0x0B, 0x98, 0x1C}},
     L"{B607AE93-B8E8-4832-A3A8-2E03720B981C}",
     7,
     2},
};
enum FixtureIndex { kInterfaces = 0, kServer = 1, kModule = 2 };

void ForgetFixtureTypeLibraries() {
    for (const Fixture& fixture : kFixtures) {
        const std::wstring key = std::wstring(L"Software\\Classes\\TypeLib\\") + fixture.typeLibraryText;
        DeleteRegTree(HKEY_CURRENT_USER, key);
        DeleteRegTree(HKEY_LOCAL_MACHINE, key);
    }
}

// Where the registered type library of a fixture points, empty if it is not registered.
std::wstring RegisteredTypeLibraryPath(const Fixture& fixture) {
    BSTR path = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(fixture.typeLibrary, fixture.major, fixture.minor, 0, &path))) return {};
    std::wstring result(path, SysStringLen(path));
    SysFreeString(path);
    return result;
}

class ComRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        // A blank in the folder name: the server paths must come out quoted.
        m_location = std::wstring(temp) + L"Zv Per User " + std::to_wstring(GetCurrentProcessId());
        m_directory = m_location + L"\\Zelvar\\";
        ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExW(nullptr, m_directory.c_str(), nullptr));
        for (const Fixture& fixture : kFixtures)
            ASSERT_TRUE(CopyFileW((ExeDirectory() + L"\\" + fixture.builtName).c_str(),
                                  (m_directory + fixture.installedName).c_str(), FALSE))
                << "fixture binary missing: " << Utf8(fixture.builtName);
        ForgetFixtureTypeLibraries();
    }
    void TearDown() override {
        ForgetFixtureTypeLibraries();
        for (const Fixture& fixture : kFixtures) DeleteFileW((m_directory + fixture.installedName).c_str());
        RemoveDirectoryW(m_directory.c_str());
        RemoveDirectoryW(m_location.c_str());
    }
    void SetUserInstallLocation(const std::wstring& location) {
        ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", location));
    }
    std::wstring QuotedServer(const wchar_t* exe) const { return L"\"" + m_directory + exe + L"\""; }
    std::wstring InstalledPath(FixtureIndex index) const { return m_directory + kFixtures[index].installedName; }

    // Each of these keys is moved aside for the test and restored afterwards.
    ScopedRegistryKeyIsolation m_zelvarClass{HKEY_CURRENT_USER, kZelvarClassKey};
    ScopedRegistryKeyIsolation m_vossaryClass{HKEY_CURRENT_USER, kVossaryClassKey};
    ScopedRegistryKeyIsolation m_userInstall{HKEY_CURRENT_USER, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install"};
    ScopedRegistryKeyIsolation m_machineInstall32{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install", KEY_WOW64_32KEY};
    std::wstring m_location;   // "InstallLocation"
    std::wstring m_directory;  // m_location + "\Zelvar\"
};

void ExpectDefaultString(const std::wstring& key, const std::wstring& text) {
    RegValue value;
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, key, nullptr, value)) << Utf8(key);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type) << Utf8(key);
    EXPECT_EQ(RegSzBytes(text), value.bytes) << Utf8(key) << " expected " << Utf8(text);
}

void ExpectClassRegistration(const std::wstring& classKey, const std::wstring& className,
                             const std::wstring& quotedServer, const std::wstring& typeLibrary) {
    ExpectDefaultString(classKey, className);
    ExpectDefaultString(classKey + L"\\LocalServer32", quotedServer);
    ExpectDefaultString(classKey + L"\\TypeLib", typeLibrary);
    ExpectDefaultString(classKey + L"\\Version", L"C.0");
    RegValue programmable;
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, classKey + L"\\Programmable", nullptr, programmable));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), programmable.type);
    EXPECT_EQ(0u, programmable.bytes.size());
}

TEST_F(ComRegistrationTest, InstallDirectoryGetsOneBackslashAndZelvar) {
    RegUtil util;
    std::wstring directory = L"stale";
    GetInstallDirectory(util, directory, false);
    EXPECT_EQ(L"", directory);

    SetUserInstallLocation(L"C:\\Program Files\\Brennic");
    GetInstallDirectory(util, directory, false);
    EXPECT_EQ(L"C:\\Program Files\\Brennic\\Zelvar", directory);
    SetUserInstallLocation(L"C:\\Program Files\\Brennic\\");
    GetInstallDirectory(util, directory, false);
    EXPECT_EQ(L"C:\\Program Files\\Brennic\\Zelvar", directory);
    SetUserInstallLocation(L"");
    GetInstallDirectory(util, directory, false);
    EXPECT_EQ(L"", directory);

    // The machine-wide lookup reads the machine's hive, here in the 32-bit view.
    GetInstallDirectory(util, directory, true);
    EXPECT_EQ(L"", directory);
    HKEY key = nullptr;
    ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductInstallKey, 0, nullptr, 0,
                                 KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr));
    const std::wstring machine = L"D:\\Machine";
    RegSetValueExW(key, L"InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(machine.c_str()),
                   static_cast<DWORD>((machine.size() + 1) * 2));
    RegCloseKey(key);
    GetInstallDirectory(util, directory, true);
    EXPECT_EQ(L"D:\\Machine\\Zelvar", directory);
}

TEST(QuoteServerPathTest, QuotesUnlessAQuoteIsAlreadyThere) {
    EXPECT_EQ(L"\"C:\\Dir\\ZelvarSvr.exe\"", QuoteServerPath(L"C:\\Dir\\ZelvarSvr.exe"));
    EXPECT_EQ(L"\"C:\\With Space\\x.exe\"", QuoteServerPath(L"C:\\With Space\\x.exe"));
    EXPECT_EQ(L"\"C:\\a b\\x.exe\" -Embedding", QuoteServerPath(L"\"C:\\a b\\x.exe\" -Embedding"));
    EXPECT_EQ(L"C:\\odd\"name", QuoteServerPath(L"C:\\odd\"name"));
}

TEST_F(ComRegistrationTest, PerUserRepairRegistersBothClassesAndAllThreeTypeLibraries) {
    SetUserInstallLocation(m_location);
    TraceCapture trace(true);
    RegUtil util;
    EXPECT_TRUE(RegisterCOMBinaries(util));

    ExpectClassRegistration(kZelvarClassKey, L"Zelvar Class", QuotedServer(L"ZelvarSvr.exe"),
                            L"{A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}");
    ExpectClassRegistration(kVossaryClassKey, L"Vossary Class", QuotedServer(L"MorvelModule.exe"),
                            L"{2D646468-6FEC-408C-B7CF-FB258D2AA0EB}");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(InstalledPath(static_cast<FixtureIndex>(i)), RegisteredTypeLibraryPath(kFixtures[i]));

    // The classes first, then the type libraries in their fixed order.
    EXPECT_TRUE(trace.InOrder(
        {"RegisterCOMBinaries called. isAdmin=0",
         Utf8(L"RegisterCLSIDForComBinary called. CLSID={0579B1B3-3F62-4E7B-9169-C7E112E2F151}, "
              L"TypeLib={A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}, Version=C.0, ClassName=Zelvar Class, ServerPath=" +
              QuotedServer(L"ZelvarSvr.exe") + L", isAdmin=0"),
         Utf8(L"RegisterCLSIDForComBinary called. CLSID={98DB51B7-BDC6-484B-9844-18DA73D506B6}, "
              L"TypeLib={2D646468-6FEC-408C-B7CF-FB258D2AA0EB}, Version=C.0, ClassName=Vossary Class, ServerPath=" +
              QuotedServer(L"MorvelModule.exe") + L", isAdmin=0"),
         "RegisterTypeLibForComBinaries called. isAdmin=0",
         "RegisterTypeLibForComBinaries: Registering type library for " + Utf8(InstalledPath(kInterfaces)),
         "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kInterfaces)),
         "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kServer)),
         "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kModule))}));
}

TEST_F(ComRegistrationTest, WithoutAPerUserLocationNothingIsRegistered) {
    // A machine-wide installation does not count for the per-user repair.
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", m_location));
    TraceCapture trace(true);
    RegUtil util;
    EXPECT_EQ(0, RegisterCLSIDForComBinaries(util));
    EXPECT_FALSE(RegisterCOMBinaries(util));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kVossaryClassKey));
    for (const Fixture& fixture : kFixtures) EXPECT_EQ(L"", RegisteredTypeLibraryPath(fixture));

    EXPECT_TRUE(trace.Contains("RegisterCLSIDForComBinaries: Zelvar installation path is empty."));
    EXPECT_TRUE(trace.Contains("RegisterCOMBinaries failed during CLSID registration."));
    // The type-library step is not run after a failed class registration.
    EXPECT_FALSE(trace.Contains("RegisterTypeLibForComBinaries called. isAdmin=0"));

    EXPECT_EQ(0, RegisterTypeLibForComBinaries(util));
    EXPECT_TRUE(trace.Contains("RegisterTypeLibForComBinaries: Zelvar installation path is empty."));
}

TEST_F(ComRegistrationTest, AMissingOrBrokenBinaryIsSkippedTheOthersAreRegisteredAndTheRepairFails) {
    SetUserInstallLocation(m_location);
    ASSERT_TRUE(DeleteFileW(InstalledPath(kInterfaces).c_str()));
    // MorvelModule.exe replaced by a file that holds no type library.
    HANDLE file = CreateFileW(InstalledPath(kModule).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "not a type library", 18, &written, nullptr);
    CloseHandle(file);
    ITypeLib* none = nullptr;
    const HRESULT expected = LoadTypeLibEx(InstalledPath(kModule).c_str(), REGKIND_NONE, &none);
    ASSERT_TRUE(FAILED(expected));
    TraceCapture trace(true);
    RegUtil util;
    EXPECT_EQ(0, RegisterTypeLibForComBinaries(util));
    EXPECT_EQ(L"", RegisteredTypeLibraryPath(kFixtures[kInterfaces]));
    EXPECT_EQ(InstalledPath(kServer), RegisteredTypeLibraryPath(kFixtures[kServer]));
    EXPECT_EQ(L"", RegisteredTypeLibraryPath(kFixtures[kModule]));
    char hresult[16];
    snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(expected));
    EXPECT_TRUE(trace.InOrder({"Binary not found, skipping registration: " + Utf8(InstalledPath(kInterfaces)),
                               "RegisterTypeLibForUser succeeded for: " + Utf8(InstalledPath(kServer)),
                               "LoadTypeLibEx failed for: " + Utf8(InstalledPath(kModule)) + " HRESULT: " + hresult}));
    EXPECT_FALSE(RegisterCOMBinaries(util));
    EXPECT_TRUE(trace.Contains("RegisterCOMBinaries failed during type library registration."));
}

// A failed write of one of the five keys of the first class: what was written
// before stays, nothing after it is written, the second class is not touched.
struct KeyFailure {
    const wchar_t* suffix;  // "" for the class key itself
    const char* traceFormatStart;
    int keysBefore;  // how many of the five were written before the failure
};

void PrintTo(const KeyFailure& failure, std::ostream* out) {
    *out << "key" << Utf8(failure.suffix) << " fails";
}

class ClassKeyFailureTest : public ComRegistrationTest, public ::testing::WithParamInterface<KeyFailure> {};

TEST_P(ClassKeyFailureTest, StopsAtTheFailedKey) {
    const KeyFailure failure = GetParam();
    SetUserInstallLocation(m_location);
    auto log = std::make_shared<RegistryCallLog>();
    log->failCreateSuffix = std::wstring(kZelvarClsid) + failure.suffix;
    log->createError = ERROR_ACCESS_DENIED;
    TraceCapture trace(true);
    RegUtil util(new RecordingRegistry(log));
    EXPECT_EQ(0, RegisterCLSIDForComBinaries(util));
    EXPECT_FALSE(RegisterCOMBinaries(util));

    const std::wstring suffixes[5] = {L"", L"\\LocalServer32", L"\\TypeLib", L"\\Version", L"\\Programmable"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(i < failure.keysBefore, RegKeyExists(HKEY_CURRENT_USER, kZelvarClassKey + suffixes[i]))
            << Utf8(suffixes[i]);
    if (failure.keysBefore >= 1) ExpectDefaultString(kZelvarClassKey, L"Zelvar Class");
    if (failure.keysBefore >= 2) {
        ExpectDefaultString(std::wstring(kZelvarClassKey) + L"\\LocalServer32", QuotedServer(L"ZelvarSvr.exe"));
    }
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, kVossaryClassKey));
    for (const auto& create : log->creates) EXPECT_EQ(std::wstring::npos, create.subKey.find(kVossaryClsid));
    EXPECT_EQ(log->keysHanded, log->keysClosed);

    EXPECT_TRUE(trace.Contains(std::string(failure.traceFormatStart) +
                               Utf8(std::wstring(kZelvarClassKey) + failure.suffix) + ". Error=5"));
    EXPECT_TRUE(trace.Contains("RegisterCOMBinaries failed during CLSID registration."));
}

INSTANTIATE_TEST_SUITE_P(EachKey, ClassKeyFailureTest,
                         ::testing::Values(KeyFailure{L"", "Failed to register CLSID key ", 0},
                                           KeyFailure{L"\\LocalServer32", "Failed to register LocalServer32 key ", 1},
                                           KeyFailure{L"\\TypeLib", "Failed to register TypeLib key ", 2},
                                           KeyFailure{L"\\Version", "Failed to register Version key ", 3},
                                           KeyFailure{L"\\Programmable", "Failed to register Programmable key ", 4}),
                         [](const ::testing::TestParamInfo<KeyFailure>& info) {
                             const std::wstring suffix = info.param.suffix;
                             return suffix.empty() ? std::string("ClassKey") : Utf8(suffix.substr(1));
                         });

TEST_F(ComRegistrationTest, ASecondClassFailureLeavesTheFirstClassComplete) {
    SetUserInstallLocation(m_location);
    auto log = std::make_shared<RegistryCallLog>();
    log->failCreateSuffix = std::wstring(kVossaryClsid) + L"\\Programmable";
    RegUtil util(new RecordingRegistry(log));
    EXPECT_EQ(0, RegisterCLSIDForComBinaries(util));
    ExpectClassRegistration(kZelvarClassKey, L"Zelvar Class", QuotedServer(L"ZelvarSvr.exe"),
                            L"{A2E3CD1C-C98A-4F62-9F6B-CA40E8E5CA34}");
    ExpectDefaultString(std::wstring(kVossaryClassKey) + L"\\Version", L"C.0");
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, std::wstring(kVossaryClassKey) + L"\\Programmable"));
    // Every key is created in the current user's hive, never the machine's.
    for (const auto& create : log->creates) EXPECT_EQ(HKEY_CURRENT_USER, create.root);
}

}  // namespace
