// Turns the SDK's tracing on for the current user in the test prefix and reads
// back the trace files that this process wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zvtest {

class TraceCapture {
public:
    // Sets HKCU\SOFTWARE\Brennic\Zelvar "SDKTracingEnabled" = "true" (removing a
    // machine value that would override it), creates the Tracing folder and
    // removes this process's old trace files. With openFile the statically
    // linked tracer opens its file at once (for code tested without
    // Initialize) and closes it at the end. The destructor removes the value.
    explicit TraceCapture(bool openFile = false);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    static std::wstring TracingFolder();      // <local app data>\Brennic\Zelvar\Tracing
    std::vector<std::wstring> Files() const;  // this process's trace files, oldest first
    std::string Contents() const;             // their bytes
    // Every line's message as "<level>|<message>" (level without padding).
    std::vector<std::string> Messages() const;
    bool Contains(const std::string& text) const;              // some message equals text (level ignored)
    bool HasLine(const std::string& levelAndMessage) const;    // some "<level>|<message>" equals it
    int IndexOf(const std::string& text, int from = 0) const;  // first such message at or after from, or -1
    // Every text found, each after the one before; otherwise names the first that is not.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& texts) const;

private:
    bool m_openFile;
};

}  // namespace zvtest
