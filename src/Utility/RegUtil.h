// Registry utility of the shared utility library: reading text values and
// creating keys with a value, through a replaceable registry wrapper.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Utility/BncRegistryUtilApiWrapper.h"

namespace BrennicUtility {

// Every operation returns the Win32 error code of the step that failed, 0 on
// success. Nothing here throws for a registry failure or traces: the callers
// know what a failure means and trace it themselves.
class IRegUtil {
public:
    // Sets value to defaultValue, then replaces it with the text of the value
    // when it can be read (at most 519 characters and a NUL).
    virtual LONG ReadString(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, std::wstring& value,
                            const std::wstring& defaultValue, REGSAM access, DWORD* valueType) = 0;
    // Creates or opens keyPath with KEY_ALL_ACCESS | extraAccess and sets the
    // value (valueName null: the unnamed value). disposition receives
    // REG_CREATED_NEW_KEY / REG_OPENED_EXISTING_KEY on success, 0xFFFFFFFF otherwise.
    virtual LONG CreateKeyAndSetValue(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, const BYTE* data,
                                      DWORD type, DWORD dataSize, DWORD* disposition, DWORD reserved,
                                      REGSAM extraAccess) = 0;
    // Reads a REG_SZ value from HKEY_LOCAL_MACHINE (machine) or
    // HKEY_CURRENT_USER in the installation's registry view; value is empty
    // on failure.
    virtual LONG GetStringValue(std::wstring& value, const wchar_t* keyPath, const wchar_t* valueName,
                                bool machine) = 0;
    virtual ~IRegUtil() = default;
};

class RegUtil : public IRegUtil {
public:
    // The size of the buffer a text value is read into.
    static constexpr DWORD kValueBufferBytes = 1040;
    // KEY_READ in the 32-bit registry view: where a 32-bit installer of the
    // product writes, unless the installation says it is a native package.
    static constexpr REGSAM kInstallReadAccess = 0x20219;
    // KEY_READ in the native view.
    static constexpr REGSAM kNativeReadAccess = 0x20019;

    RegUtil();
    // Takes ownership of a replacement wrapper (tests put fakes here).
    explicit RegUtil(IBncRegistryUtilApiWrapper* registry);
    ~RegUtil() override;
    RegUtil(const RegUtil&) = delete;
    RegUtil& operator=(const RegUtil&) = delete;

    LONG ReadString(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, std::wstring& value,
                    const std::wstring& defaultValue, REGSAM access, DWORD* valueType) override;
    LONG CreateKeyAndSetValue(HKEY hive, const wchar_t* keyPath, const wchar_t* valueName, const BYTE* data, DWORD type,
                              DWORD dataSize, DWORD* disposition, DWORD reserved, REGSAM extraAccess) override;
    LONG GetStringValue(std::wstring& value, const wchar_t* keyPath, const wchar_t* valueName, bool machine) override;

    // The access mask for reading the installation's values: the 32-bit view
    // under WOW64 or when the machine's "OrvikPackageType" is anything but
    // exactly "x64" or "ARM64"; the native view otherwise.
    REGSAM InstallationViewAccess();

private:
    IBncRegistryUtilApiWrapper* m_registry;
    // Kept for the layout the other utilities expect; unused here.
    [[maybe_unused]] void* m_reserved = nullptr;
};

}  // namespace BrennicUtility
