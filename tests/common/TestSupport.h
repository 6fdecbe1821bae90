// Helpers shared by the test programs: loading the built SDK through its real
// export, and reading and changing the registry of the private prefix.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <future>
#include <string>

#include "interface/ZelvarSDK.h"

namespace zvtest {

// Folder of the running test program (where the build puts every binary).
std::wstring ExeDirectory();

// Wine's typelib marshaller fails the [out] server-type record (a 32-bit field
// before a record of strings) between a 32-bit client and the 64-bit service:
// operations that return it are left out of the 32-bit cross-process tables.
inline bool CrossWidthRecordGap(const std::string& method) {
    return sizeof(void*) == 4 && method == "DetermineServerType";
}

// A new counted reference to bin/ZelvarSDK.dll (the caller frees it), or
// null; its QueryInterface export goes to *query.
HMODULE LoadSdk(::ZVQueryInterfaceFn* query);
// Loads bin/ZelvarSDK.dll once per process and returns its QueryInterface export.
::ZVQueryInterfaceFn LoadSdkQueryInterface();

template <class T>
T* GetSdkInterface(const wchar_t* iid) {
    void* out = nullptr;
    if (!LoadSdkQueryInterface()(iid, &out)) return nullptr;
    return static_cast<T*>(out);
}

// The product's installation key, and the service's two class keys under a hive.
const wchar_t kProductInstallKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
const wchar_t kZelvarClassKey[] = L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kVossaryClassKey[] = L"Software\\Classes\\CLSID\\{98DB51B7-BDC6-484B-9844-18DA73D506B6}";

// Registry helpers; each returns the Win32 error code. `view` is 0 for the
// native view, or KEY_WOW64_32KEY / KEY_WOW64_64KEY.
LONG SetRegValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD size,
                 REGSAM view = 0);
inline LONG SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                         REGSAM view = 0) {
    return SetRegValue(root, key, name.c_str(), REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)),
                       view);
}
LONG DeleteRegValue(HKEY root, const std::wstring& key, const std::wstring& name);
LONG DeleteRegTree(HKEY root, const std::wstring& key, REGSAM view = 0);
bool RegKeyExists(HKEY root, const std::wstring& key);
// A value's type and raw bytes; false when it cannot be read.
struct RegValue {
    DWORD type = REG_NONE;
    std::string bytes;
};
bool ReadRegValue(HKEY root, const std::wstring& key, const wchar_t* name, RegValue& value);
// The bytes a REG_SZ value holds for text, the terminating NUL included.
std::string RegSzBytes(const std::wstring& text);

// Tests share one prefix: a key tree a test changes is moved aside for the
// length of the test (absent meanwhile) and restored afterwards.
class ScopedRegistryKeyIsolation {
public:
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

// Runs a command line to its end (ended after the time-out) and returns its
// exit code; E_FAIL when it could not be started or did not end.
DWORD RunProcess(std::wstring commandLine, DWORD timeoutMs = 30000);
// CreateProcessW for the tests' own child processes. Wine now and then fails
// to start a program at all (the same failure tools/test.sh meets with whole
// test programs); such a start is recorded in silent-starts.log beside bin/,
// where the closing lines of tools/test.sh point to it, and made once more.
BOOL StartProcess(std::wstring commandLine, BOOL inheritHandles, const wchar_t* folder, STARTUPINFOW* startup,
                  PROCESS_INFORMATION* process);

// Whole file as bytes (empty when it cannot be read).
std::string ReadFileBytes(const std::wstring& path);
// UTF-16 to UTF-8, for comparing paths with trace text.
std::string Utf8(const std::wstring& text);
// Text of the SDK's strings, each character cut to a byte; empty for null.
inline std::string Narrow(const BrennicZelvarSDK::ZVChar* text) {
    return text ? std::string(text, text + wcslen(text)) : std::string();
}

// Runs an operation on a thread of its own, in the apartment given.
std::future<BrennicZelvarSDK::ZVResult> Background(std::function<BrennicZelvarSDK::ZVResult()> call,
                                                   DWORD apartment = COINIT_MULTITHREADED);

}  // namespace zvtest
