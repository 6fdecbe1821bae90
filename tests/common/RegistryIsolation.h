// Tests share one wine prefix: whatever registry state a test changes it puts
// back. ScopedRegistryKeyIsolation moves an existing key tree aside for the
// length of a test and restores it afterwards; the key is absent meanwhile.
#pragma once

#include <windows.h>

#include <string>

namespace zvtest {

class ScopedRegistryKeyIsolation {
public:
    // view: 0 for the native view, or KEY_WOW64_32KEY / KEY_WOW64_64KEY.
    ScopedRegistryKeyIsolation(HKEY root, std::wstring key, REGSAM view = 0);
    ~ScopedRegistryKeyIsolation();
    ScopedRegistryKeyIsolation(const ScopedRegistryKeyIsolation&) = delete;
    ScopedRegistryKeyIsolation& operator=(const ScopedRegistryKeyIsolation&) = delete;

private:
    HKEY m_root;
    std::wstring m_key;
    REGSAM m_view;
    std::wstring m_backup;  // under HKCU; empty when the key did not exist
};

// Deletes a key tree in the given view; the Win32 error code.
LONG DeleteRegTreeInView(HKEY root, const std::wstring& key, REGSAM view);

// Reads a value of any type; false when it cannot be read.
struct RegValue {
    DWORD type = REG_NONE;
    std::string bytes;
};
bool ReadRegValue(HKEY root, const std::wstring& key, const wchar_t* name, RegValue& value, REGSAM view = 0);
bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);

// The bytes a REG_SZ value holds for text, the terminating NUL included.
std::string RegSzBytes(const std::wstring& text);

}  // namespace zvtest
