#include "repair/StandinUpdater.h"

#include <atomic>
#include <cstdio>

#include "common/TestSupport.h"

namespace zvtest {

namespace {

std::wstring UniqueTempPath(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

StandinUpdater::StandinUpdater(const std::vector<std::wstring>& options) {
    m_log = UniqueTempPath(L"zv-updater-log-") + L".txt";
    const std::wstring eventName =
        L"Local\\ZvUpdaterReady-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());

    std::wstring commandLine = QuoteArgument(ExeDirectory() + L"\\UpdaterService.exe") + L" --log " +
                               QuoteArgument(m_log) + L" --ready-event " + QuoteArgument(eventName) +
                               L" --lifetime-ms 30000";
    for (const std::wstring& option : options) commandLine += L" " + QuoteArgument(option);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (StartProcess(commandLine, FALSE, nullptr, &startup, &m_process)) {
        HANDLE waits[2] = {ready, m_process.hProcess};
        m_ready = WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0;
        DWORD exitCode = 0;
        if (!m_ready && GetExitCodeProcess(m_process.hProcess, &exitCode))
            fprintf(stderr, "StandinUpdater: not ready, exit code 0x%lx (259: still running)\n", exitCode);
    }
    if (ready) CloseHandle(ready);
}

DWORD StandinUpdater::Finish(DWORD timeoutMs) {
    if (!m_process.hProcess) return STILL_ACTIVE;
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(m_process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(m_process.hProcess, &exitCode);
    } else {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 5000);
    }
    m_finished = true;
    return exitCode;
}

StandinUpdater::~StandinUpdater() {
    if (m_process.hProcess) {
        if (!m_finished) Finish(0);
        CloseHandle(m_process.hThread);
        CloseHandle(m_process.hProcess);
    }
    DeleteFileW(m_log.c_str());
}

std::vector<std::string> StandinUpdater::Messages() const {
    // Records of "<length>:<bytes>\n".
    const std::string log = ReadFileBytes(m_log);
    std::vector<std::string> messages;
    size_t at = 0;
    while (at < log.size()) {
        const size_t colon = log.find(':', at);
        if (colon == std::string::npos) break;
        const size_t length = std::stoul(log.substr(at, colon - at));
        messages.push_back(log.substr(colon + 1, length));
        at = colon + 1 + length + 1;
    }
    return messages;
}

}  // namespace zvtest
