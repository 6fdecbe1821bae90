#include "Utility/BncRegistryUtilApiWrapper.h"

namespace BrennicUtility {

LSTATUS BncRegistryUtilApiWrapper::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return ::RegOpenKeyExW(key, subKey, options, access, result);
}

LSTATUS BncRegistryUtilApiWrapper::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                                    LPBYTE data, LPDWORD dataSize) {
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
}

LSTATUS BncRegistryUtilApiWrapper::RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, LPDWORD type,
                                                PVOID data, LPDWORD dataSize) {
    return ::RegGetValueW(key, subKey, valueName, flags, type, data, dataSize);
}

LSTATUS BncRegistryUtilApiWrapper::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                                  const BYTE* data, DWORD dataSize) {
    return ::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
}

LSTATUS BncRegistryUtilApiWrapper::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                                  const BYTE* data, DWORD dataSize) {
    return ::RegSetValueExW(key, valueName, reserved, type, data, dataSize);
}

LSTATUS BncRegistryUtilApiWrapper::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                                   DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                                   PHKEY result, LPDWORD disposition) {
    return ::RegCreateKeyExW(key, subKey, reserved, keyClass, options, access, security, result, disposition);
}

LSTATUS BncRegistryUtilApiWrapper::RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD subKeyCount,
                                                    LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD valueCount,
                                                    LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                                    LPDWORD securityDescriptorSize) {
    return ::RegQueryInfoKeyW(key, keyClass, classLength, nullptr, subKeyCount, maxSubKeyLength, maxClassLength,
                              valueCount, maxValueNameLength, maxValueLength, securityDescriptorSize, nullptr);
}

LSTATUS BncRegistryUtilApiWrapper::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                                 LPDWORD reserved, LPWSTR keyClass, LPDWORD classLength,
                                                 PFILETIME lastWriteTime) {
    return ::RegEnumKeyExW(key, index, name, nameLength, reserved, keyClass, classLength, lastWriteTime);
}

LSTATUS BncRegistryUtilApiWrapper::RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                                 LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return ::RegEnumValueW(key, index, name, nameLength, reserved, type, data, dataSize);
}

LSTATUS BncRegistryUtilApiWrapper::RegCloseKey(HKEY key) {
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    return ::RegCloseKey(key);
}

LSTATUS BncRegistryUtilApiWrapper::RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    return ::RegDeleteValueW(key, valueName);
}

}  // namespace BrennicUtility
