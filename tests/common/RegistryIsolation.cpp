#include "common/RegistryIsolation.h"

#include <atomic>

namespace zvtest {

namespace {

const wchar_t kBackupRoot[] = L"Software\\ZelvarTestBackup";

}  // namespace

LONG DeleteRegTreeInView(HKEY root, const std::wstring& key, REGSAM view) {
    HKEY parent = nullptr;
    const size_t slash = key.find_last_of(L'\\');
    const std::wstring parentPath = slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
    const std::wstring leaf = slash == std::wstring::npos ? key : key.substr(slash + 1);
    LONG rc = RegOpenKeyExW(root, parentPath.c_str(), 0, KEY_ALL_ACCESS | view, &parent);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegDeleteTreeW(parent, leaf.c_str());
    if (rc == ERROR_SUCCESS) rc = RegDeleteKeyExW(parent, leaf.c_str(), view, 0);
    RegCloseKey(parent);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

ScopedRegistryKeyIsolation::ScopedRegistryKeyIsolation(HKEY root, std::wstring key, REGSAM view)
    : m_root(root), m_key(std::move(key)), m_view(view) {
    HKEY existing = nullptr;
    if (RegOpenKeyExW(m_root, m_key.c_str(), 0, KEY_READ | m_view, &existing) != ERROR_SUCCESS) return;
    static std::atomic<unsigned> counter{0};
    m_backup =
        std::wstring(kBackupRoot) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    HKEY backup = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_backup.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &backup,
                        nullptr) == ERROR_SUCCESS) {
        RegCopyTreeW(existing, nullptr, backup);
        RegCloseKey(backup);
    }
    RegCloseKey(existing);
    DeleteRegTreeInView(m_root, m_key, m_view);
}

ScopedRegistryKeyIsolation::~ScopedRegistryKeyIsolation() {
    DeleteRegTreeInView(m_root, m_key, m_view);
    if (m_backup.empty()) return;
    HKEY restored = nullptr;
    HKEY backup = nullptr;
    if (RegCreateKeyExW(m_root, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &restored, nullptr) ==
            ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_CURRENT_USER, m_backup.c_str(), 0, KEY_READ, &backup) == ERROR_SUCCESS)
        RegCopyTreeW(backup, nullptr, restored);
    if (backup) RegCloseKey(backup);
    if (restored) RegCloseKey(restored);
    DeleteRegTreeInView(HKEY_CURRENT_USER, m_backup, 0);
}

bool ReadRegValue(HKEY root, const std::wstring& key, const wchar_t* name, RegValue& value, REGSAM view) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    DWORD type = REG_NONE;
    LONG rc = RegQueryValueExW(h, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        value.type = type;
        value.bytes.assign(size, '\0');
        rc =
            RegQueryValueExW(h, name, nullptr, &type, size ? reinterpret_cast<BYTE*>(&value.bytes[0]) : nullptr, &size);
        value.bytes.resize(size);
    }
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

bool RegKeyExists(HKEY root, const std::wstring& key, REGSAM view) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

std::string RegSzBytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace zvtest
