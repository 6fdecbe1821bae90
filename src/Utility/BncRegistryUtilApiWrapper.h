// The registry utility reaches the Win32 registry only through this wrapper,
// so that a test can put a replacement in its place and make any single
// registry call fail. The slot order is part of the wrapper's contract.
#pragma once

#include <windows.h>

namespace BrennicUtility {

class IBncRegistryUtilApiWrapper {
public:
    virtual LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) = 0;
    virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                     LPDWORD dataSize) = 0;
    virtual LSTATUS RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, LPDWORD type, PVOID data,
                                 LPDWORD dataSize) = 0;
    virtual LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                   DWORD dataSize) = 0;
    virtual LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                   DWORD dataSize) = 0;
    virtual LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                    REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                    LPDWORD disposition) = 0;
    // The reserved and last-write-time arguments of the platform call are
    // always null, so they are not part of this slot.
    virtual LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD subKeyCount,
                                     LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD valueCount,
                                     LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                     LPDWORD securityDescriptorSize) = 0;
    virtual LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                  LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) = 0;
    virtual LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                  LPDWORD type, LPBYTE data, LPDWORD dataSize) = 0;
    virtual LSTATUS RegCloseKey(HKEY key) = 0;
    virtual LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) = 0;
    virtual ~IBncRegistryUtilApiWrapper() = default;
};

// Forwards every call unchanged to the platform and returns its result.
class BncRegistryUtilApiWrapper : public IBncRegistryUtilApiWrapper {
public:
    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) override;
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) override;
    LSTATUS RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, LPDWORD type, PVOID data,
                         LPDWORD dataSize) override;
    LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) override;
    LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) override;
    LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                            LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) override;
    LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD subKeyCount,
                             LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD valueCount,
                             LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                             LPDWORD securityDescriptorSize) override;
    LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR keyClass,
                          LPDWORD classLength, PFILETIME lastWriteTime) override;
    LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD dataSize) override;
    // A null key is refused here with ERROR_INVALID_HANDLE: the platform
    // would otherwise be asked to close nothing.
    LSTATUS RegCloseKey(HKEY key) override;
    LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) override;
};

}  // namespace BrennicUtility
