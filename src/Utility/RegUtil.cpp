#include "Utility/RegUtil.h"

#include <cwchar>
#include <vector>

namespace BrennicUtility {

namespace {

const wchar_t kInstallKey[] = L"SOFTWARE\\Brennic\\Install";
const wchar_t kPackageTypeValue[] = L"OrvikPackageType";
constexpr REGSAM kAllAccess = 0xF003F;

}  // namespace

RegUtil::RegUtil() : m_registry(new BncRegistryUtilApiWrapper()) {}

RegUtil::RegUtil(IBncRegistryUtilApiWrapper* registry) : m_registry(registry) {}

RegUtil::~RegUtil() {
    delete m_registry;
}

LONG RegUtil::ReadString(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, std::wstring& value,
                         const std::wstring& defaultValue, REGSAM access, DWORD* valueType) {
    value = defaultValue;
    HKEY key = nullptr;
    LONG rc = m_registry->RegOpenKeyExW(hive, keyPath, 0, access, &key);
    if (rc != ERROR_SUCCESS) return rc;

    // One spare character past the queried size keeps the text terminated
    // even when the value fills the buffer without a NUL of its own.
    std::vector<wchar_t> buffer(kValueBufferBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = kValueBufferBytes;
    rc =
        m_registry->RegQueryValueExW(key, valueName, nullptr, valueType, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (rc == ERROR_SUCCESS && size > 0) value.assign(buffer.data());
    m_registry->RegCloseKey(key);
    return rc;
}

LONG RegUtil::CreateKeyAndSetValue(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, const BYTE* data,
                                   DWORD type, DWORD dataSize, DWORD* disposition, DWORD /*reserved*/,
                                   REGSAM extraAccess) {
    if (disposition) *disposition = 0xFFFFFFFF;
    HKEY key = nullptr;
    DWORD created = 0;
    LONG rc = m_registry->RegCreateKeyExW(hive, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kAllAccess | extraAccess,
                                          nullptr, &key, &created);
    if (rc != ERROR_SUCCESS) return rc;
    rc = m_registry->RegSetValueExW(key, valueName, 0, type, data, dataSize);
    if (rc == ERROR_SUCCESS && disposition) *disposition = created;
    m_registry->RegCloseKey(key);
    return rc;
}

REGSAM RegUtil::InstallationViewAccess() {
    REGSAM access = kInstallReadAccess;
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) return access;

    std::wstring packageType;
    DWORD type = REG_SZ;
    ReadString(HKEY_LOCAL_MACHINE, kInstallKey, kPackageTypeValue, packageType, std::wstring(), kNativeReadAccess,
               &type);
    if (packageType == L"x64" || packageType == L"ARM64") access &= ~static_cast<REGSAM>(KEY_WOW64_32KEY);
    return access;
}

LONG RegUtil::GetStringValue(std::wstring& value, const wchar_t* keyPath, const wchar_t* valueName, bool machine) {
    HKEY hive = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    REGSAM access = InstallationViewAccess();
    std::wstring text;
    DWORD type = REG_SZ;
    LONG rc = ReadString(hive, keyPath, valueName, text, std::wstring(), access, &type);
    if (rc != ERROR_SUCCESS) {
        value.clear();
        return rc;
    }
    value = text;
    return rc;
}

}  // namespace BrennicUtility
