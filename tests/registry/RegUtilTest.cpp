// The registry utility against the real registry of the test prefix, with a
// recording wrapper where the test needs to see or break the calls it makes.
#include <gtest/gtest.h>

#include "Utility/RegUtil.h"
#include "common/TestSupport.h"
#include "registry/RecordingRegistry.h"

using BrennicUtility::RegUtil;
using namespace zvtest;

namespace {

const wchar_t kTestKey[] = L"Software\\ZelvarTest\\RegUtil";
const wchar_t kInstallKey[] = L"SOFTWARE\\Brennic\\Install";

class RegUtilTest : public ::testing::Test {
protected:
    ScopedRegistryKeyIsolation m_testKey{HKEY_CURRENT_USER, kTestKey};
    ScopedRegistryKeyIsolation m_machineInstall{HKEY_LOCAL_MACHINE, kInstallKey};
    ScopedRegistryKeyIsolation m_machineInstall32{HKEY_LOCAL_MACHINE, kInstallKey, KEY_WOW64_32KEY};
    ScopedRegistryKeyIsolation m_userInstall{HKEY_CURRENT_USER, kInstallKey};
    std::shared_ptr<RegistryCallLog> m_log = std::make_shared<RegistryCallLog>();
};

TEST_F(RegUtilTest, ReadStringGivesTheTextItsStoredTypeOrTheDefaultAndClosesItsKey) {
    const std::wstring fits(519, L'a'), tooLong(520, L'b');
    ASSERT_EQ(0, SetRegValue(HKEY_CURRENT_USER, kTestKey, L"Expand", REG_EXPAND_SZ, L"%TEMP%\\x", 20));
    ASSERT_EQ(0, SetRegValue(HKEY_CURRENT_USER, kTestKey, L"JustNul", REG_SZ, L"", 2));
    ASSERT_EQ(0, SetRegValue(HKEY_CURRENT_USER, kTestKey, L"NoBytes", REG_SZ, nullptr, 0));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kTestKey, L"Fits", fits));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kTestKey, L"TooLong", tooLong));
    const struct {
        const wchar_t* name;
        LONG rc;
        std::wstring value;
        DWORD type;
    } cases[] = {
        // The caller's type is an output only: the stored type comes back.
        {L"Expand", 0, L"%TEMP%\\x", REG_EXPAND_SZ},
        {L"Missing", ERROR_FILE_NOT_FOUND, L"dflt", REG_SZ},
        {L"JustNul", 0, L"", REG_SZ},
        {L"NoBytes", 0, L"dflt", REG_SZ},  // no bytes at all leave the default
        {L"Fits", 0, fits, REG_SZ},        // up to 519 characters fit the buffer
        {L"TooLong", ERROR_MORE_DATA, L"dflt", REG_SZ},
    };
    RegUtil util(new RecordingRegistry(m_log));
    for (const auto& c : cases) {
        std::wstring value = L"stale";
        DWORD type = REG_SZ;
        EXPECT_EQ(c.rc, util.ReadString(HKEY_CURRENT_USER, kTestKey, c.name, value, L"dflt", 0x20019, &type))
            << Utf8(c.name);
        EXPECT_EQ(c.value, value) << Utf8(c.name);
        if (c.rc == 0) {
            EXPECT_EQ(c.type, type) << Utf8(c.name);
        }
    }
    ASSERT_EQ(6u, m_log->opens.size());
    EXPECT_EQ(static_cast<REGSAM>(0x20019), m_log->opens[0].access);
    EXPECT_EQ(6, m_log->keysHanded);
    EXPECT_EQ(6, m_log->keysClosed);
    std::wstring value;
    DWORD type = REG_SZ;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, util.ReadString(HKEY_CURRENT_USER, L"Software\\ZelvarTest\\Absent", L"V", value,
                                                    L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"dflt", value);
}

TEST_F(RegUtilTest, CreateKeyAndSetValueWritesExactDataReportsTheDispositionAndClosesTheKey) {
    RegUtil util(new RecordingRegistry(m_log));
    const std::wstring text = L"Zelvar Class", key = std::wstring(kTestKey) + L"\\New";
    const DWORD size = static_cast<DWORD>((text.size() + 1) * 2);
    DWORD disposition = 0;
    EXPECT_EQ(0,
              util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), L"Name",
                                        reinterpret_cast<const BYTE*>(text.c_str()), REG_SZ, size, &disposition, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(0, util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), L"Name",
                                           reinterpret_cast<const BYTE*>(text.c_str()), REG_SZ, size, &disposition, 0,
                                           KEY_WOW64_64KEY));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    // A null name and no data make an empty unnamed value.
    EXPECT_EQ(
        0, util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), nullptr, nullptr, REG_SZ, 0, &disposition, 0, 0));
    RegValue value, unnamed;
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, key, L"Name", value));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    EXPECT_EQ(RegSzBytes(text), value.bytes);
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, key, nullptr, unnamed));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), unnamed.type);
    EXPECT_EQ(0u, unnamed.bytes.size());
    ASSERT_EQ(3u, m_log->creates.size());
    EXPECT_EQ(static_cast<REGSAM>(0xF003F), m_log->creates[0].access);
    EXPECT_EQ(static_cast<REGSAM>(0xF003F | KEY_WOW64_64KEY), m_log->creates[1].access);
    EXPECT_EQ(static_cast<DWORD>(REG_OPTION_NON_VOLATILE), m_log->createOptions[0]);
    EXPECT_EQ(m_log->keysHanded, m_log->keysClosed);
}

TEST_F(RegUtilTest, AFailedCreateOrSetReturnsItsErrorLeavesTheDispositionUnsetAndClosesWhatItOpened) {
    m_log->failCreateSuffix = L"\\CreateFails";
    m_log->createError = ERROR_BADKEY;
    RegUtil util(new RecordingRegistry(m_log));
    DWORD disposition = 0;
    const DWORD data = 7;
    EXPECT_EQ(ERROR_BADKEY,
              util.CreateKeyAndSetValue(HKEY_CURRENT_USER, (std::wstring(kTestKey) + L"\\CreateFails").c_str(), L"V",
                                        nullptr, REG_SZ, 0, &disposition, 0, 0));
    EXPECT_EQ(0xFFFFFFFFu, disposition);
    EXPECT_EQ(0, m_log->setCalls);
    EXPECT_EQ(0, m_log->keysClosed);
    m_log->setError = ERROR_ACCESS_DENIED;
    disposition = 0;
    EXPECT_EQ(
        ERROR_ACCESS_DENIED,
        util.CreateKeyAndSetValue(HKEY_CURRENT_USER, (std::wstring(kTestKey) + L"\\SetFails").c_str(), L"V",
                                  reinterpret_cast<const BYTE*>(&data), REG_DWORD, sizeof data, &disposition, 0, 0));
    EXPECT_EQ(0xFFFFFFFFu, disposition);
    EXPECT_EQ(1, m_log->keysHanded);
    EXPECT_EQ(1, m_log->keysClosed);
}

// A 32-bit test program runs under WOW64 on this 64-bit system.
#ifdef _WIN64
constexpr bool kWow64 = false;
#else
constexpr bool kWow64 = true;
#endif

// Which view the installation read uses, for each package type: under WOW64
// always the 32-bit view, the package type unread.
class RegistryViewRuleTest : public RegUtilTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(RegistryViewRuleTest, PackageTypeChoosesTheView) {
    const std::wstring packageType = GetParam();
    if (packageType != L"<none>") {
        ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kInstallKey, L"OrvikPackageType", packageType));
    }
    const bool native = !kWow64 && (packageType == L"x64" || packageType == L"ARM64");
    RegUtil util(new RecordingRegistry(m_log));
    std::wstring value;
    util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true);
    ASSERT_EQ(kWow64 ? 1u : 2u, m_log->opens.size());
    if (!kWow64) {
        // The package type itself is read natively from the machine.
        EXPECT_EQ(HKEY_LOCAL_MACHINE, m_log->opens[0].root);
        EXPECT_EQ(kInstallKey, m_log->opens[0].subKey);
        EXPECT_EQ(static_cast<REGSAM>(0x20019), m_log->opens[0].access);
    }
    EXPECT_EQ(HKEY_LOCAL_MACHINE, m_log->opens.back().root);
    EXPECT_EQ(kProductInstallKey, m_log->opens.back().subKey);
    EXPECT_EQ(static_cast<REGSAM>(native ? 0x20019 : 0x20219), m_log->opens.back().access);
}

INSTANTIATE_TEST_SUITE_P(PackageTypes, RegistryViewRuleTest,
                         ::testing::Values(L"<none>", L"x64", L"ARM64", L"x86", L"X64", L"arm64", L"x64 ", L""));

TEST_F(RegUtilTest, InstallationReadsComeFromTheUserOrTheMachinesViewAndEmptyTheValueOnFailure) {
    ASSERT_EQ(0,
              SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"C:\\Wow32", KEY_WOW64_32KEY));
    ASSERT_EQ(0,
              SetRegString(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"C:\\Native", KEY_WOW64_64KEY));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", L"C:\\User"));
    ASSERT_EQ(0, SetRegString(HKEY_CURRENT_USER, kProductInstallKey, L"TooLong", std::wstring(520, L'b')));
    RegUtil util;
    std::wstring value;
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true));
    EXPECT_EQ(L"C:\\Wow32", value);
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", false));
    EXPECT_EQ(L"C:\\User", value);
    value = L"stale";
    EXPECT_EQ(ERROR_MORE_DATA, util.GetStringValue(value, kProductInstallKey, L"TooLong", false));
    EXPECT_EQ(L"", value);
    ASSERT_EQ(0, SetRegString(HKEY_LOCAL_MACHINE, kInstallKey, L"OrvikPackageType", L"x64"));
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true));
    EXPECT_EQ(kWow64 ? L"C:\\Wow32" : L"C:\\Native", value) << "a 32-bit process reads the 32-bit view";
    value = L"stale";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, util.GetStringValue(value, kProductInstallKey, L"Missing", true));
    EXPECT_EQ(L"", value);
}

}  // namespace
