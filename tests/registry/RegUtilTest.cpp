// The registry utility against the real registry of the test prefix, with a
// recording wrapper where the test needs to see or break the calls it makes.
#include <gtest/gtest.h>

#include "Utility/RegUtil.h"
#include "common/RegistryIsolation.h"
#include "common/TestSupport.h"
#include "registry/RecordingRegistry.h"

using BrennicUtility::RegUtil;
using namespace zvtest;

namespace {

const wchar_t kTestKey[] = L"Software\\ZelvarTest\\RegUtil";
const wchar_t kInstallKey[] = L"SOFTWARE\\Brennic\\Install";
const wchar_t kProductInstallKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";

LONG SetValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD size,
              REGSAM view = 0) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
    return rc;
}

LONG SetText(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& text, REGSAM view = 0) {
    return SetValue(root, key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2), view);
}

class RegUtilTest : public ::testing::Test {
protected:
    ScopedRegistryKeyIsolation m_testKey{HKEY_CURRENT_USER, kTestKey};
    ScopedRegistryKeyIsolation m_machineInstall{HKEY_LOCAL_MACHINE, kInstallKey};
    ScopedRegistryKeyIsolation m_machineInstall32{HKEY_LOCAL_MACHINE, kInstallKey, KEY_WOW64_32KEY};
    ScopedRegistryKeyIsolation m_userInstall{HKEY_CURRENT_USER, kInstallKey};
    std::shared_ptr<RegistryCallLog> m_log = std::make_shared<RegistryCallLog>();
};

TEST_F(RegUtilTest, ReadStringReturnsTheTextAndTheStoredType) {
    ASSERT_EQ(0, SetValue(HKEY_CURRENT_USER, kTestKey, L"Expand", REG_EXPAND_SZ, L"%TEMP%\\x", 20));
    RegUtil util;
    std::wstring value = L"stale";
    DWORD type = REG_SZ;
    EXPECT_EQ(0, util.ReadString(HKEY_CURRENT_USER, kTestKey, L"Expand", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"%TEMP%\\x", value);
    // The caller's type is an output only: the stored type comes back and
    // the text is read whatever it is.
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
}

TEST_F(RegUtilTest, ReadStringKeepsTheDefaultWhenKeyOrValueIsMissing) {
    RegUtil util;
    std::wstring value;
    DWORD type = REG_SZ;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              util.ReadString(HKEY_CURRENT_USER, kTestKey, L"Nothing", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"dflt", value);

    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kTestKey, L"Other", L"x"));
    value.clear();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              util.ReadString(HKEY_CURRENT_USER, kTestKey, L"Nothing", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"dflt", value);
}

TEST_F(RegUtilTest, EmptyValuesReadAsSuccess) {
    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kTestKey, L"JustNul", L""));
    ASSERT_EQ(0, SetValue(HKEY_CURRENT_USER, kTestKey, L"NoBytes", REG_SZ, nullptr, 0));
    RegUtil util;
    std::wstring value;
    DWORD type = REG_SZ;
    EXPECT_EQ(0, util.ReadString(HKEY_CURRENT_USER, kTestKey, L"JustNul", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"", value);
    // A value of no bytes at all leaves the default in place.
    EXPECT_EQ(0, util.ReadString(HKEY_CURRENT_USER, kTestKey, L"NoBytes", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"dflt", value);

    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", L""));
    value = L"stale";
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", false));
    EXPECT_EQ(L"", value);
}

TEST_F(RegUtilTest, ValuesUpTo519CharactersFitTheBufferLongerOnesFailWithMoreData) {
    const std::wstring fits(519, L'a');
    const std::wstring tooLong(520, L'b');
    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kProductInstallKey, L"Fits", fits));
    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kProductInstallKey, L"TooLong", tooLong));
    RegUtil util;
    std::wstring value;
    DWORD type = REG_SZ;
    EXPECT_EQ(0, util.ReadString(HKEY_CURRENT_USER, kProductInstallKey, L"Fits", value, L"", KEY_READ, &type));
    EXPECT_EQ(fits, value);
    EXPECT_EQ(ERROR_MORE_DATA,
              util.ReadString(HKEY_CURRENT_USER, kProductInstallKey, L"TooLong", value, L"dflt", KEY_READ, &type));
    EXPECT_EQ(L"dflt", value);

    value = L"stale";
    EXPECT_EQ(ERROR_MORE_DATA, util.GetStringValue(value, kProductInstallKey, L"TooLong", false));
    EXPECT_EQ(L"", value);
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"Fits", false));
    EXPECT_EQ(fits, value);
}

TEST_F(RegUtilTest, ReadStringClosesTheKeyItOpened) {
    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kTestKey, L"V", L"x"));
    RegUtil util(new RecordingRegistry(m_log));
    std::wstring value;
    DWORD type = REG_SZ;
    util.ReadString(HKEY_CURRENT_USER, kTestKey, L"V", value, L"", 0x20019, &type);
    util.ReadString(HKEY_CURRENT_USER, kTestKey, L"Missing", value, L"", 0x20019, &type);
    ASSERT_EQ(2u, m_log->opens.size());
    EXPECT_EQ(static_cast<REGSAM>(0x20019), m_log->opens[0].access);
    EXPECT_EQ(2, m_log->keysHanded);
    EXPECT_EQ(2, m_log->keysClosed);
}

TEST_F(RegUtilTest, CreateKeyAndSetValueWritesExactDataAndReportsTheDisposition) {
    RegUtil util(new RecordingRegistry(m_log));
    const std::wstring text = L"Zelvar Class";
    DWORD disposition = 0;
    const std::wstring key = std::wstring(kTestKey) + L"\\New";
    EXPECT_EQ(0, util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), L"Name",
                                           reinterpret_cast<const BYTE*>(text.c_str()), REG_SZ,
                                           static_cast<DWORD>((text.size() + 1) * 2), &disposition, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(0, util.CreateKeyAndSetValue(
                     HKEY_CURRENT_USER, key.c_str(), L"Name", reinterpret_cast<const BYTE*>(text.c_str()), REG_SZ,
                     static_cast<DWORD>((text.size() + 1) * 2), &disposition, 0, KEY_WOW64_64KEY));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);

    RegValue value;
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, key, L"Name", value));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    EXPECT_EQ(RegSzBytes(text), value.bytes);

    ASSERT_EQ(2u, m_log->creates.size());
    EXPECT_EQ(static_cast<REGSAM>(0xF003F), m_log->creates[0].access);
    EXPECT_EQ(static_cast<REGSAM>(0xF003F | KEY_WOW64_64KEY), m_log->creates[1].access);
    EXPECT_EQ(static_cast<DWORD>(REG_OPTION_NON_VOLATILE), m_log->createOptions[0]);
    EXPECT_EQ(m_log->keysHanded, m_log->keysClosed);
}

TEST_F(RegUtilTest, NullNameAndZeroSizeMakeAnEmptyUnnamedValue) {
    RegUtil util;
    DWORD disposition = 0;
    const std::wstring key = std::wstring(kTestKey) + L"\\Programmable";
    EXPECT_EQ(
        0, util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), nullptr, nullptr, REG_SZ, 0, &disposition, 0, 0));
    RegValue value;
    ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, key, nullptr, value));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type);
    EXPECT_EQ(0u, value.bytes.size());
}

TEST_F(RegUtilTest, AFailedSetReturnsItsErrorLeavesTheDispositionUnsetAndClosesTheKey) {
    m_log->setError = ERROR_ACCESS_DENIED;
    RegUtil util(new RecordingRegistry(m_log));
    DWORD disposition = 0;
    const DWORD data = 7;
    const std::wstring key = std::wstring(kTestKey) + L"\\SetFails";
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), L"V", reinterpret_cast<const BYTE*>(&data),
                                        REG_DWORD, sizeof data, &disposition, 0, 0));
    EXPECT_EQ(0xFFFFFFFFu, disposition);
    EXPECT_EQ(1, m_log->keysHanded);
    EXPECT_EQ(1, m_log->keysClosed);
}

TEST_F(RegUtilTest, AFailedCreateReturnsItsErrorWithoutSettingAnything) {
    m_log->failCreateSuffix = L"\\CreateFails";
    m_log->createError = ERROR_BADKEY;
    RegUtil util(new RecordingRegistry(m_log));
    DWORD disposition = 0;
    const std::wstring key = std::wstring(kTestKey) + L"\\CreateFails";
    EXPECT_EQ(ERROR_BADKEY,
              util.CreateKeyAndSetValue(HKEY_CURRENT_USER, key.c_str(), L"V", nullptr, REG_SZ, 0, &disposition, 0, 0));
    EXPECT_EQ(0xFFFFFFFFu, disposition);
    EXPECT_EQ(0, m_log->setCalls);
    EXPECT_EQ(0, m_log->keysClosed);
}

// Which access mask the installation read gets, for each package type.
class RegistryViewRuleTest : public RegUtilTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(RegistryViewRuleTest, PackageTypeChoosesTheView) {
    const std::wstring packageType = GetParam();
    if (packageType != L"<none>") {
        ASSERT_EQ(0, SetText(HKEY_LOCAL_MACHINE, kInstallKey, L"OrvikPackageType", packageType));
    }
    const bool native = packageType == L"x64" || packageType == L"ARM64";

    RegUtil util(new RecordingRegistry(m_log));
    std::wstring value;
    util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true);

    ASSERT_EQ(2u, m_log->opens.size());
    // The package type itself is read natively from the machine.
    EXPECT_EQ(HKEY_LOCAL_MACHINE, m_log->opens[0].root);
    EXPECT_EQ(kInstallKey, m_log->opens[0].subKey);
    EXPECT_EQ(static_cast<REGSAM>(0x20019), m_log->opens[0].access);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, m_log->opens[1].root);
    EXPECT_EQ(kProductInstallKey, m_log->opens[1].subKey);
    EXPECT_EQ(static_cast<REGSAM>(native ? 0x20019 : 0x20219), m_log->opens[1].access);
}

std::string PackageTypeName(const ::testing::TestParamInfo<const wchar_t*>& info) {
    static const char* const names[] = {"None",     "x64",        "ARM64",        "x86",
                                        "UpperX64", "LowerArm64", "x64WithBlank", "Empty"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(PackageTypes, RegistryViewRuleTest,
                         ::testing::Values(L"<none>", L"x64", L"ARM64", L"x86", L"X64", L"arm64", L"x64 ", L""),
                         PackageTypeName);

TEST_F(RegUtilTest, MachineReadsUseThe32BitViewUnlessThePackageIsNative) {
    // Two different values: one in the 32-bit view, one in the native view.
    ASSERT_EQ(0, SetText(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"C:\\Wow32", KEY_WOW64_32KEY));
    ASSERT_EQ(0, SetText(HKEY_LOCAL_MACHINE, kProductInstallKey, L"InstallLocation", L"C:\\Native", KEY_WOW64_64KEY));
    RegUtil util;
    std::wstring value;
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true));
    EXPECT_EQ(L"C:\\Wow32", value);

    ASSERT_EQ(0, SetText(HKEY_LOCAL_MACHINE, kInstallKey, L"OrvikPackageType", L"x64"));
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true));
    EXPECT_EQ(L"C:\\Native", value);
}

TEST_F(RegUtilTest, UserReadsComeFromTheCurrentUser) {
    ASSERT_EQ(0, SetText(HKEY_CURRENT_USER, kProductInstallKey, L"InstallLocation", L"C:\\User"));
    RegUtil util;
    std::wstring value;
    EXPECT_EQ(0, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", false));
    EXPECT_EQ(L"C:\\User", value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, util.GetStringValue(value, kProductInstallKey, L"InstallLocation", true));
    EXPECT_EQ(L"", value);
}

TEST(BncRegistryUtilApiWrapperTest, ClosingANullKeyIsRefusedWithInvalidHandle) {
    BrennicUtility::BncRegistryUtilApiWrapper wrapper;
    EXPECT_EQ(ERROR_INVALID_HANDLE, wrapper.RegCloseKey(nullptr));
}

TEST(BncRegistryUtilApiWrapperTest, RegUtilOwnsAndDestroysItsWrapper) {
    auto log = std::make_shared<RegistryCallLog>();
    {
        RegUtil util(new RecordingRegistry(log));
        EXPECT_FALSE(log->destroyed);
    }
    EXPECT_TRUE(log->destroyed);
}

}  // namespace
