// Diagnostic trace of the SDK. Off unless the registry switch turns it on;
// when off, a trace call costs one flag test and formats nothing.
// Formats are the C runtime's wide printf formats: %s a wide string, %S a
// narrow string, %u/%d 32-bit integers, %p a pointer.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

namespace BrennicZelvarSDK {

// Read on every trace call, from any thread; written when tracing is set up.
extern std::atomic<bool> g_TracingEnabled;

void TraceInfo(const wchar_t* format, ...);
void TraceError(const wchar_t* format, ...);
void TraceWarning(const wchar_t* format, ...);
// Writes only when tracing is on and condition is false. Raised by the
// formatter while this thread already holds g_TraceLock inside the writer, it
// writes its line at once instead of asking again for the lock, which is not
// re-entrant.
void TraceAssert(bool condition, const wchar_t* format, ...);

class CTracer {
public:
    // Reads the switch, and when it is on opens a new trace file and writes
    // its header. Never throws.
    static void Open(const std::wstring& description, const std::wstring& moduleName);
    // Closes the trace file if tracing is on and a file is open; later lines
    // go to the debugger output. Called by Uninitialize.
    static void Close();
    // "%s\Tracing\%s-%s-%d-%p.txt" under <local app data>\Brennic\Zelvar.
    // Throws std::runtime_error("Failed to get local app data folder.").
    static std::wstring GetTraceFilePath(const std::wstring& moduleName);
    // Writes one line "<time> <level> : <message>\n" under g_TraceLock.
    static void WriteMessage(const wchar_t* level, const wchar_t* format, va_list args);
};

class CUtils {
public:
    // printf-style formatting into a wide string; a null format gives "".
    static std::wstring& FormatString(std::wstring& out, const wchar_t* format, va_list args);
};

// The tracing switch decision, kept apart from the registry so it can be
// checked on its own. "found" is a non-empty, properly terminated text value;
// "on" is exactly "true", "True" or "TRUE".
struct TraceSwitchValue {
    bool found;
    bool on;
};
TraceSwitchValue EvaluateTraceSwitchText(bool present, const std::wstring& text);
bool DecideTracing(TraceSwitchValue machine, TraceSwitchValue user, int componentInstallState);

}  // namespace BrennicZelvarSDK
