#include "common/TraceCapture.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "common/TestSupport.h"
#include "support/Trace.h"

namespace zvtest {

namespace {
const wchar_t kSwitchKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kSwitchValue[] = L"SDKTracingEnabled";

std::wstring Pid() {
    return std::to_wstring(GetCurrentProcessId());
}
}  // namespace

std::wstring TraceCapture::TracingFolder() {
    wchar_t base[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base);
    return std::wstring(base) + L"\\Brennic\\Zelvar\\Tracing";
}

TraceCapture::TraceCapture(bool openFile) : m_openFile(openFile) {
    DeleteRegValue(HKEY_LOCAL_MACHINE, kSwitchKey, kSwitchValue);
    SetRegString(HKEY_CURRENT_USER, kSwitchKey, kSwitchValue, L"true");
    SHCreateDirectoryExW(nullptr, TracingFolder().c_str(), nullptr);
    for (const auto& f : Files()) DeleteFileW(f.c_str());
    if (m_openFile) BrennicZelvarSDK::CTracer::Open(L"Zelvar Runtime SDK DLL", L"ZelvarSDK_Runtime");
}

TraceCapture::~TraceCapture() {
    if (m_openFile) {
        BrennicZelvarSDK::CTracer::Close();
        BrennicZelvarSDK::g_TracingEnabled = false;
    }
    DeleteRegValue(HKEY_CURRENT_USER, kSwitchKey, kSwitchValue);
}

std::vector<std::wstring> TraceCapture::Files() const {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    std::wstring pattern = TracingFolder() + L"\\ZelvarSDK_Runtime-*-" + Pid() + L"-*.txt";
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        files.push_back(TracingFolder() + L"\\" + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(files.begin(), files.end());
    return files;
}

std::string TraceCapture::Contents() const {
    std::string all;
    for (const auto& f : Files()) all += ReadFileBytes(f);
    return all;
}

std::vector<std::string> TraceCapture::Messages() const {
    std::vector<std::string> out;
    std::string all = Contents();
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find("\r\n", pos);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(pos, end - pos);
        pos = end + 2;
        // "<MM/DD/YY HH:MM:SS> <level> : <message>"; the level is 5 or 6 characters.
        size_t sep = line.find(" : ");
        if (line.size() < 18 || sep == std::string::npos || sep < 18) continue;
        std::string level = line.substr(18, sep - 18);
        while (!level.empty() && level.back() == ' ') level.pop_back();
        out.push_back(level + "|" + line.substr(sep + 3));
    }
    return out;
}

bool TraceCapture::Contains(const std::string& text) const {
    return IndexOf(text) >= 0;
}

bool TraceCapture::HasLine(const std::string& levelAndMessage) const {
    const std::vector<std::string> messages = Messages();
    return std::find(messages.begin(), messages.end(), levelAndMessage) != messages.end();
}

int TraceCapture::IndexOf(const std::string& text, int from) const {
    std::vector<std::string> messages = Messages();
    for (int i = std::max(from, 0); i < static_cast<int>(messages.size()); ++i) {
        const std::string& m = messages[i];
        if (m.substr(m.find('|') + 1) == text) return i;
    }
    return -1;
}

::testing::AssertionResult TraceCapture::InOrder(const std::vector<std::string>& texts) const {
    int at = 0;
    for (const std::string& text : texts) {
        at = IndexOf(text, at);
        if (at < 0) return ::testing::AssertionFailure() << "missing or out of order: " << text << "\n" << Contents();
        ++at;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zvtest
