#include "common/TestSupport.h"

#include <fstream>
#include <iterator>

namespace zvtest {

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

::ZVQueryInterfaceFn LoadSdkQueryInterface() {
    static HMODULE module = LoadLibraryW((ExeDirectory() + L"\\ZelvarSDK.dll").c_str());
    if (!module) return nullptr;
    return reinterpret_cast<::ZVQueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(module, "QueryInterface")));
}

LONG SetRegString(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return rc;
}

LONG DeleteRegValue(HKEY root, const std::wstring& key, const std::wstring& name) {
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExW(root, key.c_str(), 0, KEY_ALL_ACCESS, &h);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteValueW(h, name.c_str());
    RegCloseKey(h);
    return rc;
}

LONG DeleteRegTree(HKEY root, const std::wstring& key) {
    return RegDeleteTreeW(root, key.c_str());
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return out;
}

}  // namespace zvtest
