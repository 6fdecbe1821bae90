#include "common/TraceFileCapture.h"

#include <shlobj.h>

#include <set>

#include "common/TestSupport.h"
#include "support/Trace.h"

namespace zvtest {

const char kTraceInfo[] = "     ";
const char kTraceError[] = "Err  ";

namespace {

const wchar_t kZelvarKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kSwitchValue[] = L"SDKTracingEnabled";

std::wstring TracingFolder() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, appData))) return {};
    return std::wstring(appData) + L"\\Brennic\\Zelvar\\Tracing";
}

std::set<std::wstring> TraceFiles(const std::wstring& folder) {
    std::set<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.txt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        files.insert(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

bool ReadSwitch(HKEY root, std::wstring& value) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (RegGetValueW(root, kZelvarKey, kSwitchValue, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

}  // namespace

std::string Utf8(const std::wstring& text) {
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

TraceFileCapture::TraceFileCapture() {
    if (!kTraceWriterAvailable) return;
    m_hadMachineSwitch = ReadSwitch(HKEY_LOCAL_MACHINE, m_savedMachineSwitch);
    m_hadUserSwitch = ReadSwitch(HKEY_CURRENT_USER, m_savedUserSwitch);
    // Machine value on and no user value: tracing is on whatever the
    // installer says about the component.
    SetRegString(HKEY_LOCAL_MACHINE, kZelvarKey, kSwitchValue, L"true");
    DeleteRegValue(HKEY_CURRENT_USER, kZelvarKey, kSwitchValue);

    const std::wstring folder = TracingFolder();
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::set<std::wstring> before = TraceFiles(folder);
    BrennicZelvarSDK::CTracer::Open(L"Zelvar Runtime SDK DLL", L"ZelvarSDK_Runtime");
    for (const std::wstring& file : TraceFiles(folder))
        if (!before.count(file)) m_file = file;
}

TraceFileCapture::~TraceFileCapture() {
    if (!kTraceWriterAvailable) return;
    BrennicZelvarSDK::CTracer::Close();
    if (m_hadMachineSwitch)
        SetRegString(HKEY_LOCAL_MACHINE, kZelvarKey, kSwitchValue, m_savedMachineSwitch);
    else
        DeleteRegValue(HKEY_LOCAL_MACHINE, kZelvarKey, kSwitchValue);
    if (m_hadUserSwitch) SetRegString(HKEY_CURRENT_USER, kZelvarKey, kSwitchValue, m_savedUserSwitch);
    // The file goes, so that the next capture in the same second (same file
    // name) starts a new one; ZV_KEEP_TRACE=1 keeps it for a look.
    if (!m_file.empty() && !GetEnvironmentVariableW(L"ZV_KEEP_TRACE", nullptr, 0)) DeleteFileW(m_file.c_str());
}

std::string TraceFileCapture::Text() const {
    return m_file.empty() ? std::string() : ReadFileBytes(m_file);
}

size_t TraceFileCapture::LinePosition(const char* level, const std::string& message) const {
    // The file is written in text mode: every line ends in CR LF.
    return Text().find(std::string(" ") + level + " : " + message + "\r\n");
}

bool TraceFileCapture::HasLine(const char* level, const std::string& message) const {
    return LinePosition(level, message) != std::string::npos;
}

}  // namespace zvtest
