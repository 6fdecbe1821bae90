// Turns the SDK's tracing on for the current user in the test prefix and reads
// back the trace files that this process wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zvtest {

class TraceCapture {
public:
    // Sets HKCU\SOFTWARE\Brennic\Zelvar "SDKTracingEnabled" = "true" (and
    // removes a machine value that would override it), creates the Tracing
    // folder, and removes this process's old trace files. With openFile the
    // statically linked tracer opens its file at once (for code tested
    // without Initialize) and closes it again at the end.
    explicit TraceCapture(bool openFile = false);
    // Removes the user value again.
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Folder the SDK writes into: <local app data>\Brennic\Zelvar\Tracing.
    static std::wstring TracingFolder();
    // Paths of the trace files whose name carries this process's id.
    std::vector<std::wstring> Files() const;
    // Raw bytes of all of them, oldest first.
    std::string Contents() const;
    // The message part of every trace line ("<time> <level> : <message>"),
    // level included as "<level>|<message>", across all files.
    std::vector<std::string> Messages() const;
    // True when some line's message equals text exactly (level ignored).
    bool Contains(const std::string& text) const;
    // Index of the first message equal to text at or after `from`, or -1.
    int IndexOf(const std::string& text, int from = 0) const;
    // Passes when every text is found, each after the line where the one
    // before it was found; otherwise names the first that is not.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& texts) const;

private:
    bool m_openFile;
};

}  // namespace zvtest
