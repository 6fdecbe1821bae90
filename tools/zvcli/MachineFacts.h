// What zvcli status reads from the machine without the SDK: the service's
// class registration, the installation locations, the updater pipe, the
// tracing switch and folder, and version resources.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace zvcli {

// The server path registered for the service's class under one hive's
// Software\Classes (LocalServer32, else InprocServer32).
std::optional<std::wstring> ClassServer(HKEY root);

// The installation directory the SDK derives from "InstallLocation" under the
// hive (with "Zelvar" appended), in the registry view the SDK reads.
std::optional<std::wstring> InstallDirectory(HKEY root);

// Whether the updater service's pipe has an instance listening; the Win32
// error of the probe otherwise. Nothing is written to the pipe.
bool UpdaterPipeListening(DWORD* error);
extern const wchar_t kUpdaterPipeName[];

// "SDKTracingEnabled" under the hive's SOFTWARE\Brennic\Zelvar as the SDK
// reads it: text counts only as REG_SZ or REG_EXPAND_SZ, not empty and
// terminated; any other value present (a REG_DWORD 1, say) is reported by its
// type and counts as not set.
struct SwitchValue {
    std::optional<std::wstring> text;  // set: the SDK sees this text
    std::optional<std::wstring> type;  // present: "REG_SZ", "REG_DWORD", ...
    std::wstring shown;                // a value of the wrong type as "REG_DWORD 1"
};
SwitchValue ReadTracingSwitch(HKEY root);
inline std::optional<std::wstring> TracingSwitch(HKEY root) {
    return ReadTracingSwitch(root).text;
}
// Whether the SDK turns tracing on with these switches (the machine value
// decides when it is set; otherwise the user value, unless the product is
// installed locally).
bool TracingEffective(const std::optional<std::wstring>& machine, const std::optional<std::wstring>& user);
// Writes the user's switch; returns the Win32 error.
LONG WriteUserTracingSwitch(bool on);

// <local application data>\Brennic\Zelvar\Tracing
std::wstring TraceFolder();
bool FolderExists(const std::wstring& path);
// Creates the folder and its parents; true when it exists afterwards.
bool CreateFolder(const std::wstring& path);
// The newest SDK trace file in the folder, if any.
std::optional<std::wstring> NewestTraceFile(const std::wstring& folder);

// "1.2.3.4" from the file's version resource.
std::optional<std::wstring> FileVersion(const std::wstring& path);

}  // namespace zvcli
