#include "common/TestSupport.h"

#include <cstdio>

#include <atomic>

namespace zvtest {

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

HMODULE LoadSdk(::ZVQueryInterfaceFn* query) {
    HMODULE module = LoadLibraryW((ExeDirectory() + L"\\ZelvarSDK.dll").c_str());
    *query =
        module
            ? reinterpret_cast<::ZVQueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(module, "QueryInterface")))
            : nullptr;
    return module;
}

::ZVQueryInterfaceFn LoadSdkQueryInterface() {
    static const ::ZVQueryInterfaceFn query = [] {
        ::ZVQueryInterfaceFn loaded = nullptr;
        LoadSdk(&loaded);  // kept for the life of the process
        return loaded;
    }();
    return query;
}

LONG SetRegValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD size,
                 REGSAM view) {
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
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

LONG DeleteRegTree(HKEY root, const std::wstring& key, REGSAM view) {
    HKEY parent = nullptr;
    const size_t slash = key.find_last_of(L'\\');
    const std::wstring parentPath = slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
    LONG rc = RegOpenKeyExW(root, parentPath.c_str(), 0, KEY_ALL_ACCESS | view, &parent);
    if (rc != ERROR_SUCCESS) return rc;
    const std::wstring leaf = key.substr(slash == std::wstring::npos ? 0 : slash + 1);
    rc = RegDeleteTreeW(parent, leaf.c_str());
    if (rc == ERROR_SUCCESS) rc = RegDeleteKeyExW(parent, leaf.c_str(), view, 0);
    RegCloseKey(parent);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

bool RegKeyExists(HKEY root, const std::wstring& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

bool ReadRegValue(HKEY root, const std::wstring& key, const wchar_t* name, RegValue& value) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(h, name, nullptr, &value.type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        value.bytes.assign(size, '\0');
        rc = RegQueryValueExW(h, name, nullptr, &value.type, size ? reinterpret_cast<BYTE*>(&value.bytes[0]) : nullptr,
                              &size);
        value.bytes.resize(size);
    }
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

std::string RegSzBytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

ScopedRegistryKeyIsolation::ScopedRegistryKeyIsolation(HKEY root, std::wstring key, REGSAM view)
    : m_root(root), m_key(std::move(key)), m_view(view) {
    HKEY existing = nullptr;
    if (RegOpenKeyExW(m_root, m_key.c_str(), 0, KEY_READ | m_view, &existing) != ERROR_SUCCESS) return;
    static std::atomic<unsigned> counter{0};
    m_backup =
        L"Software\\ZelvarTestBackup\\" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    HKEY backup = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_backup.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &backup,
                        nullptr) == ERROR_SUCCESS) {
        RegCopyTreeW(existing, nullptr, backup);
        RegCloseKey(backup);
    }
    RegCloseKey(existing);
    DeleteRegTree(m_root, m_key, m_view);
}

ScopedRegistryKeyIsolation::~ScopedRegistryKeyIsolation() {
    DeleteRegTree(m_root, m_key, m_view);
    if (m_backup.empty()) return;
    HKEY restored = nullptr;
    HKEY backup = nullptr;
    if (RegCreateKeyExW(m_root, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &restored, nullptr) ==
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_CURRENT_USER, m_backup.c_str(), 0, KEY_READ, &backup) == ERROR_SUCCESS)
        RegCopyTreeW(backup, nullptr, restored);
    if (backup) RegCloseKey(backup);
    if (restored) RegCloseKey(restored);
    DeleteRegTree(HKEY_CURRENT_USER, m_backup);
}

BOOL StartProcess(std::wstring commandLine, BOOL inheritHandles, const wchar_t* folder, STARTUPINFOW* startup,
                  PROCESS_INFORMATION* process) {
    for (int attempt = 1;; ++attempt) {
        std::wstring line = commandLine;  // CreateProcessW may write into its copy
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, inheritHandles, 0, nullptr, folder, startup,
                           process))
            return TRUE;
        const DWORD error = GetLastError();
        const std::string entry = "test child process: start " + std::to_string(attempt) + " failed with error " +
                                  std::to_string(error) + ": " + Utf8(commandLine) + "\n";
        fputs(entry.c_str(), stderr);
        HANDLE log = CreateFileW((ExeDirectory() + L"\\..\\silent-starts.log").c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
        DWORD written = 0;
        if (log != INVALID_HANDLE_VALUE) {
            WriteFile(log, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
            CloseHandle(log);
        }
        if (attempt == 2) {
            SetLastError(error);
            return FALSE;
        }
    }
}

DWORD RunProcess(std::wstring commandLine, DWORD timeoutMs) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD exitCode = static_cast<DWORD>(E_FAIL);
    if (!StartProcess(commandLine, FALSE, nullptr, &startup, &process)) return exitCode;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
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

std::future<BrennicZelvarSDK::ZVResult> Background(std::function<BrennicZelvarSDK::ZVResult()> call, DWORD apartment) {
    return std::async(std::launch::async, [call, apartment] {
        CoInitializeEx(nullptr, apartment);
        const auto result = call();
        CoUninitialize();
        return result;
    });
}

std::string Utf8(const std::wstring& text) {
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace zvtest
