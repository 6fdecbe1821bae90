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

const wchar_t kZelvarClsid[] = L"{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kVossaryClsid[] = L"{98DB51B7-BDC6-484B-9844-18DA73D506B6}";

// The small binaries installed under the service's names (see CMakeLists.txt).
const wchar_t* const kFixtures[3][2] = {{L"ZvFixtureInterfaces.dll", L"MorvelInterfaces.dll"},
                                        {L"ZvFixtureServer.exe", L"ZelvarSvr.exe"},
                                        {L"ZvFixtureModule.exe", L"MorvelModule.exe"}};
enum FixtureIndex { kInterfaces = 0, kServer = 1, kModule = 2 };

// The identity of the type library a built fixture carries.
TLIBATTR LibraryOf(int index) {
    TLIBATTR attributes{};
    ITypeLib* library = nullptr;
    TLIBATTR* found = nullptr;
    if (SUCCEEDED(LoadTypeLibEx((ExeDirectory() + L"\\" + kFixtures[index][0]).c_str(), REGKIND_NONE, &library)) &&
        SUCCEEDED(library->GetLibAttr(&found))) {
        attributes = *found;
        library->ReleaseTLibAttr(found);
    }
    if (library) library->Release();
    return attributes;
}

void ForgetFixtureTypeLibraries() {
    for (int i = 0; i < 3; ++i) {
        wchar_t guid[40] = {};
        StringFromGUID2(LibraryOf(i).guid, guid, 40);
        DeleteRegTree(HKEY_CURRENT_USER, std::wstring(L"Software\\Classes\\TypeLib\\") + guid);
        DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\TypeLib\\") + guid);
    }
}

// Where a fixture's registered type library points, empty when it is not registered.
std::wstring RegisteredTypeLibraryPath(int index) {
    const TLIBATTR library = LibraryOf(index);
    BSTR path = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(library.guid, library.wMajorVerNum, library.wMinorVerNum, 0, &path))) return {};
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
        for (const auto& fixture : kFixtures)
            ASSERT_TRUE(
                CopyFileW((ExeDirectory() + L"\\" + fixture[0]).c_str(), (m_directory + fixture[1]).c_str(), FALSE));
        ForgetFixtureTypeLibraries();
    }
    void TearDown() override {
        ForgetFixtureTypeLibraries();
        for (const auto& fixture : kFixtures) DeleteFileW((m_directory + fixture[1]).c_str());
        RemoveDirectoryW(m_directory.c_str());
        RemoveDirectoryW(m_location.c_str());
    }
    void SetUserInstallLocation(const std::wstring& location) {
        ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", location));
    }
    std::wstring QuotedServer(const wchar_t* exe) const { return L"\"" + m_directory + exe + L"\""; }
    std::wstring InstalledPath(FixtureIndex index) const { return m_directory + kFixtures[index][1]; }

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
    for (const wchar_t* location : {L"", L"C:\\Program Files\\Brennic", L"C:\\Program Files\\Brennic\\"}) {
        SetUserInstallLocation(location);
        GetInstallDirectory(util, directory, false);
        EXPECT_EQ(*location ? L"C:\\Program Files\\Brennic\\Zelvar" : L"", directory) << Utf8(location);
    }
    // The machine-wide lookup reads the machine's hive, here in the 32-bit view.
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"D:\\M", KEY_WOW64_32KEY));
    GetInstallDirectory(util, directory, true);
    EXPECT_EQ(L"D:\\M\\Zelvar", directory);
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
    for (int i = 0; i < 3; ++i) EXPECT_EQ(InstalledPath(static_cast<FixtureIndex>(i)), RegisteredTypeLibraryPath(i));

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
    EXPECT_EQ(L"", RegisteredTypeLibraryPath(kInterfaces));
    EXPECT_EQ(InstalledPath(kServer), RegisteredTypeLibraryPath(kServer));
    EXPECT_EQ(L"", RegisteredTypeLibraryPath(kModule));
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
    *out << (*failure.suffix ? Utf8(failure.suffix + 1) : std::string("ClassKey"));
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
                                           KeyFailure{L"\\Programmable", "Failed to register Programmable key ", 4}));

}  // namespace
