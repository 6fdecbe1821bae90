// Turns the SDK's tracing on for a scope and reads what it wrote: sets the
// per-user tracing switch in the private prefix, makes sure the "Tracing"
// folder exists, opens a trace file under a module name of its own and, on
// the way out, closes the file, deletes it and removes the switch again.
#pragma once

#include <windows.h>

#include <string>

namespace zvtest {

extern const wchar_t* const kTraceSwitchKey;    // L"SOFTWARE\\Brennic\\Zelvar"
extern const wchar_t* const kTraceSwitchValue;  // L"SDKTracingEnabled"

// <local app data>\Brennic\Zelvar\Tracing
std::wstring TraceFolder();
// Creates TraceFolder() and its parents; true when it exists afterwards.
bool EnsureTraceFolder();
// The trace files of this process whose names start with moduleName + "-".
std::wstring FindTraceFile(const std::wstring& moduleName);

class TracerSession {
public:
    explicit TracerSession(const std::wstring& moduleName = L"ZelvarSDK_TestCapture");
    ~TracerSession();
    TracerSession(const TracerSession&) = delete;
    TracerSession& operator=(const TracerSession&) = delete;

    bool IsOpen() const { return !m_path.empty(); }
    const std::wstring& Path() const { return m_path; }
    // The file's bytes (UTF-8, CR LF line ends).
    std::string Contents() const;
    // The file's bytes after the header.
    std::string Lines() const;

private:
    std::wstring m_moduleName;
    std::wstring m_path;
};

}  // namespace zvtest
