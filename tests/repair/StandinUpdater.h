// Runs the stand-in updater service (UpdaterService.exe beside the test
// program) for one test, and reads back what it received on the pipe.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zvtest {

// One argument quoted for the C runtime's command-line parser.
std::wstring QuoteArgument(const std::wstring& argument);

class StandinUpdater {
public:
    // Starts the updater with these options (besides --log and
    // --ready-event, which this class adds) and waits until clients can
    // connect.
    explicit StandinUpdater(const std::vector<std::wstring>& options);
    ~StandinUpdater();
    StandinUpdater(const StandinUpdater&) = delete;
    StandinUpdater& operator=(const StandinUpdater&) = delete;

    bool Ready() const { return m_ready; }
    // Waits for the updater to end (at most timeoutMs, then ends it) and
    // returns its exit code, or STILL_ACTIVE if it had to be ended.
    DWORD Finish(DWORD timeoutMs = 10000);
    // Every message received, in order, byte for byte.
    std::vector<std::string> Messages() const;

private:
    PROCESS_INFORMATION m_process = {};
    std::wstring m_log;
    bool m_ready = false;
    bool m_finished = false;
};

}  // namespace zvtest
