#include "common/TracerSession.h"

#include <shlobj.h>

#include "common/TestSupport.h"
#include "support/Trace.h"

namespace zvtest {

const wchar_t* const kTraceSwitchKey = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t* const kTraceSwitchValue = L"SDKTracingEnabled";

std::wstring TraceFolder() {
    wchar_t localAppData[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, localAppData);
    return std::wstring(localAppData) + L"\\Brennic\\Zelvar\\Tracing";
}

bool EnsureTraceFolder() {
    const std::wstring folder = TraceFolder();
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FindTraceFile(const std::wstring& moduleName) {
    const std::wstring pattern =
        TraceFolder() + L"\\" + moduleName + L"-*-" + std::to_wstring(GetCurrentProcessId()) + L"-*.txt";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return {};
    FindClose(search);
    return TraceFolder() + L"\\" + found.cFileName;
}

TracerSession::TracerSession(const std::wstring& moduleName) : m_moduleName(moduleName) {
    // No machine value and a per-user "true" turn tracing on, since the
    // installer component is not installed locally in the test prefix.
    DeleteRegValue(HKEY_LOCAL_MACHINE, kTraceSwitchKey, kTraceSwitchValue);
    SetRegString(HKEY_CURRENT_USER, kTraceSwitchKey, kTraceSwitchValue, L"true");
    EnsureTraceFolder();
    const std::wstring stale = FindTraceFile(m_moduleName);
    if (!stale.empty()) DeleteFileW(stale.c_str());
    BrennicZelvarSDK::CTracer::Open(L"Test capture", m_moduleName);
    m_path = FindTraceFile(m_moduleName);
}

TracerSession::~TracerSession() {
    BrennicZelvarSDK::CTracer::Close();
    BrennicZelvarSDK::g_TracingEnabled = false;
    if (!m_path.empty()) DeleteFileW(m_path.c_str());
    DeleteRegValue(HKEY_CURRENT_USER, kTraceSwitchKey, kTraceSwitchValue);
}

std::string TracerSession::Contents() const {
    return ReadFileBytes(m_path);
}

std::string TracerSession::Lines() const {
    const std::string all = Contents();
    const std::string rule(43, '=');
    const size_t second = all.find(rule, rule.size());
    if (second == std::string::npos) return {};
    return all.substr(second + rule.size() + 2);
}

}  // namespace zvtest
