// A registry wrapper for the tests: forwards to the real registry, records
// what the registry utility asked for, and fails chosen calls on request.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Utility/BncRegistryUtilApiWrapper.h"

namespace zvtest {

struct RegistryCallLog {
    struct Open {
        HKEY root;
        std::wstring subKey;
        REGSAM access;
    };
    std::vector<Open> opens, creates;  // RegOpenKeyExW, RegCreateKeyExW
    std::vector<DWORD> createOptions;
    int keysHanded = 0, keysClosed = 0, setCalls = 0;  // handed: successful opens and creates
    bool destroyed = false;
    // A RegCreateKeyExW whose sub-key ends in failCreateSuffix fails with
    // createError; every RegSetValueExW fails with setError.
    std::wstring failCreateSuffix;
    LSTATUS createError = ERROR_ACCESS_DENIED, setError = ERROR_SUCCESS;
};

class RecordingRegistry : public BrennicUtility::BncRegistryUtilApiWrapper {
public:
    explicit RecordingRegistry(std::shared_ptr<RegistryCallLog> log) : m_log(std::move(log)) {}
    ~RecordingRegistry() override { m_log->destroyed = true; }

    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) override {
        m_log->opens.push_back({key, subKey ? subKey : L"", access});
        LSTATUS rc = BncRegistryUtilApiWrapper::RegOpenKeyExW(key, subKey, options, access, result);
        if (rc == ERROR_SUCCESS) ++m_log->keysHanded;
        return rc;
    }
    LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                            LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) override {
        const std::wstring path = subKey ? subKey : L"";
        m_log->creates.push_back({key, path, access});
        m_log->createOptions.push_back(options);
        const std::wstring& suffix = m_log->failCreateSuffix;
        if (!suffix.empty() && path.size() >= suffix.size() &&
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
            return m_log->createError;
        LSTATUS rc = BncRegistryUtilApiWrapper::RegCreateKeyExW(key, subKey, reserved, keyClass, options, access,
                                                                security, result, disposition);
        if (rc == ERROR_SUCCESS) ++m_log->keysHanded;
        return rc;
    }
    LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataSize) override {
        ++m_log->setCalls;
        if (m_log->setError != ERROR_SUCCESS) return m_log->setError;
        return BncRegistryUtilApiWrapper::RegSetValueExW(key, valueName, reserved, type, data, dataSize);
    }
    LSTATUS RegCloseKey(HKEY key) override {
        LSTATUS rc = BncRegistryUtilApiWrapper::RegCloseKey(key);
        if (rc == ERROR_SUCCESS) ++m_log->keysClosed;
        return rc;
    }

private:
    std::shared_ptr<RegistryCallLog> m_log;
};

}  // namespace zvtest
