#include "MachineFacts.h"

#include <msi.h>
#include <shlobj.h>

#include <vector>

namespace zvcli {
namespace {

const wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{0579B1B3-3F62-4E7B-9169-C7E112E2F151}";
const wchar_t kInstallKey[] = L"SOFTWARE\\Brennic\\Install\\{94F321B9-45B0-4125-970D-DE3D98CBCA1C}";
const wchar_t kZelvarKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kProductComponent[] = L"{49EFF380-B2CF-4ab8-8014-AD40BD803643}";

// A string value (REG_SZ or REG_EXPAND_SZ, not expanded); empty values count as missing.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return std::nullopt;
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    std::wstring text;
    DWORD bytes = 0;
    if (RegGetValueW(opened, nullptr, name, flags, nullptr, nullptr, &bytes) == ERROR_SUCCESS && bytes >= 4) {
        text.resize(bytes / sizeof(wchar_t));
        if (RegGetValueW(opened, nullptr, name, flags, nullptr, text.data(), &bytes) != ERROR_SUCCESS) text.clear();
    }
    RegCloseKey(opened);
    text.resize(wcsnlen(text.c_str(), text.size()));
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace

const wchar_t kUpdaterPipeName[] = L"\\\\.\\pipe\\UpdaterServicePipe-800fad42-1d0f-4f66-8e18-8a0938cdc721";

std::optional<std::wstring> ClassServer(HKEY root) {
    std::wstring key = kClassKey;
    if (auto server = ReadString(root, key + L"\\LocalServer32", nullptr)) return server;
    return ReadString(root, key + L"\\InprocServer32", nullptr);
}

std::optional<std::wstring> InstallDirectory(HKEY root) {
    // The 32-bit view, unless the machine's package type says x64 or ARM64.
    REGSAM view = KEY_WOW64_32KEY;
    auto type = ReadString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Install", L"OrvikPackageType");
    if (type && (*type == L"x64" || *type == L"ARM64")) view = 0;
    auto location = ReadString(root, kInstallKey, L"InstallLocation", view);
    if (!location) return std::nullopt;
    if (location->back() != L'\\') *location += L'\\';
    return *location + L"Zelvar";
}

bool UpdaterPipeListening(DWORD* error) {
    if (WaitNamedPipeW(kUpdaterPipeName, 200)) return true;
    *error = GetLastError();
    return false;
}

SwitchValue ReadTracingSwitch(HKEY root) {
    SwitchValue value;
    value.text = ReadString(root, kZelvarKey, L"SDKTracingEnabled");
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, kZelvarKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return value;
    DWORD type = REG_NONE, bytes = 0;
    std::vector<BYTE> data(64);
    bytes = static_cast<DWORD>(data.size());
    LONG error = RegQueryValueExW(opened, L"SDKTracingEnabled", nullptr, &type, data.data(), &bytes);
    if (error == ERROR_MORE_DATA) {
        data.resize(bytes);
        error = RegQueryValueExW(opened, L"SDKTracingEnabled", nullptr, &type, data.data(), &bytes);
    }
    RegCloseKey(opened);
    if (error != ERROR_SUCCESS) return value;
    static const std::pair<DWORD, const wchar_t*> kNames[] = {
        {REG_NONE, L"REG_NONE"},     {REG_SZ, L"REG_SZ"},       {REG_EXPAND_SZ, L"REG_EXPAND_SZ"},
        {REG_BINARY, L"REG_BINARY"}, {REG_DWORD, L"REG_DWORD"}, {REG_MULTI_SZ, L"REG_MULTI_SZ"},
        {REG_QWORD, L"REG_QWORD"}};
    value.type = L"type " + std::to_wstring(type);
    for (const auto& name : kNames)
        if (name.first == type) value.type = name.second;
    value.shown = *value.type;
    if (type == REG_DWORD && bytes == 4) value.shown += L" " + std::to_wstring(*reinterpret_cast<DWORD*>(data.data()));
    if (type == REG_QWORD && bytes == 8)
        value.shown += L" " + std::to_wstring(*reinterpret_cast<ULONGLONG*>(data.data()));
    return value;
}

bool TracingEffective(const std::optional<std::wstring>& machine, const std::optional<std::wstring>& user) {
    auto on = [](const std::optional<std::wstring>& v) {
        return v && (*v == L"true" || *v == L"True" || *v == L"TRUE");
    };
    if (machine) return on(machine) && !(user && !on(user));
    return MsiLocateComponentW(kProductComponent, nullptr, nullptr) != INSTALLSTATE_LOCAL && on(user);
}

LONG WriteUserTracingSwitch(bool on) {
    HKEY key = nullptr;
    LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, kZelvarKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) return error;
    const std::wstring value = on ? L"true" : L"false";
    error = RegSetValueExW(key, L"SDKTracingEnabled", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return error;
}

std::wstring TraceFolder() {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base))) return std::wstring();
    return std::wstring(base) + L"\\Brennic\\Zelvar\\Tracing";
}

bool FolderExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolder(const std::wstring& path) {
    SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return FolderExists(path);
}

std::optional<std::wstring> NewestTraceFile(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\ZelvarSDK_Runtime-*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    // The names begin with the UTC time, so the greatest name is the newest file.
    std::wstring newest;
    do {
        if (newest < data.cFileName) newest = data.cFileName;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return folder + L"\\" + newest;
}

std::optional<std::wstring> FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) {
        return std::nullopt;
    }
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

}  // namespace zvcli
