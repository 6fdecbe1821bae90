// Captures the SDK's trace file for the length of a test: turns the tracing
// switch on, opens a new trace file through the tracer and reads it back.
//
// Until the real trace writer is part of the build the tracer is a
// placeholder that writes nothing, so the trace assertions below only run
// when kTraceWriterAvailable is true. Flip it to true once the trace writer
// is merged: every EXPECT_TRACE/EXPECT_NO_TRACE then becomes a real check.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zvtest {

constexpr bool kTraceWriterAvailable = true;

// Level texts as the tracer writes them into a line.
extern const char kTraceInfo[];   // five blanks
extern const char kTraceError[];  // "Err" and two blanks

class TraceFileCapture {
public:
    TraceFileCapture();
    ~TraceFileCapture();
    TraceFileCapture(const TraceFileCapture&) = delete;
    TraceFileCapture& operator=(const TraceFileCapture&) = delete;

    // The trace file's text so far (UTF-8), empty when no file was opened.
    std::string Text() const;
    // True when one whole line carries this level and exactly this message.
    bool HasLine(const char* level, const std::string& message) const;
    // Position of that line in the file, std::string::npos when absent.
    size_t LinePosition(const char* level, const std::string& message) const;

private:
    std::wstring m_file;
    std::wstring m_savedMachineSwitch;
    bool m_hadMachineSwitch = false;
    std::wstring m_savedUserSwitch;
    bool m_hadUserSwitch = false;
};

// UTF-16 to UTF-8, for comparing traced paths with the file's text.
std::string Utf8(const std::wstring& text);

}  // namespace zvtest

#define EXPECT_TRACE(capture, level, message)                            \
    do {                                                                 \
        if (zvtest::kTraceWriterAvailable) {                             \
            EXPECT_TRUE((capture).HasLine((level), (message)))           \
                << "missing trace: " << (message) << "\n--- trace ---\n" \
                << (capture).Text();                                     \
        }                                                                \
    } while (0)

#define EXPECT_NO_TRACE(capture, level, message)                                                      \
    do {                                                                                              \
        if (zvtest::kTraceWriterAvailable) {                                                          \
            EXPECT_FALSE((capture).HasLine((level), (message))) << "unexpected trace: " << (message); \
        }                                                                                             \
    } while (0)
