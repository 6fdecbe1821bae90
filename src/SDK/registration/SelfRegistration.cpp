// Self-registration: the library records the full path of its own file as
// "ZelvarSDKPath" under the product's key, in the machine-wide hive when the
// caller may write there and in the current user's hive otherwise. No COM
// classes are registered, nothing is traced and no other part of the library
// is touched: the platform's registration tools call these two entry points
// on a library that has not been initialised.
#include <windows.h>

#include <cwchar>

namespace {

const wchar_t kProductKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kPathValue[] = L"ZelvarSDKPath";

// Receives VirtualQuery's answer about its own address: being a static of
// this module, its region's allocation base is the module's handle.
MEMORY_BASIC_INFORMATION g_ownRegion;

// Fills path (MAX_PATH characters); empty when the module cannot be found.
void GetOwnModulePath(wchar_t* path) {
    path[0] = L'\0';
    if (VirtualQuery(&g_ownRegion, &g_ownRegion, sizeof g_ownRegion) == 0) return;
    GetModuleFileNameW(static_cast<HMODULE>(g_ownRegion.AllocationBase), path, MAX_PATH);
    path[MAX_PATH - 1] = L'\0';
}

bool WritePathValue(HKEY hive, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(hive, kProductKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                             static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool DeletePathValue(HKEY hive) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(hive, kProductKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return false;
    LONG rc = RegDeleteValueW(key, kPathValue);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

}  // namespace

extern "C" HRESULT WINAPI DllRegisterServer() {
    wchar_t path[MAX_PATH];
    GetOwnModulePath(path);
    if (WritePathValue(HKEY_LOCAL_MACHINE, path)) return S_OK;
    return WritePathValue(HKEY_CURRENT_USER, path) ? S_OK : E_UNEXPECTED;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    if (DeletePathValue(HKEY_LOCAL_MACHINE)) return S_OK;
    return DeletePathValue(HKEY_CURRENT_USER) ? S_OK : E_UNEXPECTED;
}
