// Test helpers for the stand-in authentication service (standin/ZelvarSvr):
// installing either of its hosts into the test prefix, creating its class the
// way the SDK does, and driving it through its scenario control (the JSON of
// standin/README.md). Every call of StandinControl is a COM call into the
// server and needs a COM apartment on the calling thread. The control object
// keeps the exe host alive while it exists.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <nlohmann/json.hpp>

#include <string>

#include "ZelvarSvrLib.h"

namespace zvtest {

using Json = nlohmann::json;

enum class StandinHost {
    LocalServer,   // ZelvarSvr.exe, LocalServer32: the real process boundary
    InprocServer,  // ZelvarSvrInproc.dll, InprocServer32, ThreadingModel Both
};

// ZelvarScenarioControl {B4798CF4-CD00-4EBA-93B6-6D4259E4D422}, served by both hosts.
extern const CLSID kClsidStandinScenarioControl;

// Installs the chosen host machine-wide (removing the other host's class),
// with the type library and the event proxy/stub: ZelvarSvr.exe /RegServer or
// /RegServerInproc. Returns the tool's exit code (S_OK on success).
HRESULT RegisterStandin(StandinHost host);
// Removes every registration of the stand-in (ZelvarSvr.exe /UnregServer).
HRESULT UnregisterStandin();
// Creates the Zelvar class as the SDK does (CoCreateInstance with class
// context 0x17, OleRun, QueryInterface); retries while an exe host ends.
HRESULT CreateZelvarConnection(IZelvarConnection** out);
// True when the process ended within the time (or does not exist).
bool WaitForProcessExit(DWORD processId, DWORD timeoutMs);
// Ends a running exe host cleanly (control "Shutdown") and waits for it: a
// killed server would keep its class from starting again in this wineserver.
bool StopStandinServer(DWORD timeoutMs = 15000);

// The scenario control of the registered host. On a COM failure the methods
// return {"ok": false, "hr": "0x........"} (or 0 / false) and LastResult() tells it.
class StandinControl {
public:
    StandinControl();  // check operator bool / CreationResult()
    ~StandinControl();
    StandinControl(const StandinControl&) = delete;
    StandinControl& operator=(const StandinControl&) = delete;

    explicit operator bool() const { return m_control != nullptr; }
    HRESULT CreationResult() const { return m_creation; }
    HRESULT LastResult() const { return m_last; }
    void Release();  // the exe host may then end

    Json ServerInfo();  // {"processId", "host": "exe"|"inproc", "modulePath", "liveObjects", ...}
    DWORD ServerProcessId();
    // Set replaces the scenario, Update merges per method, SetMethod merges one
    // method's entry ({"hr", "outputs", "block", "sequence", ...}).
    bool SetScenario(const Json& scenario);
    bool UpdateScenario(const Json& scenario);
    bool SetMethod(const std::string& method, const Json& entry);
    Json Scenario();
    bool Reset();  // forgets scenario, calls and counts, releases held calls
    // Call records [{"seq", "method", "connection", "args", "threadId"}], oldest first.
    Json Calls(const std::string& method = "");
    Json LastArgs(const std::string& method);  // null when never called
    unsigned CallCount(const std::string& method);
    bool WaitForCalls(const std::string& method, unsigned count, DWORD timeoutMs = 10000);
    unsigned ReleaseHeld(const std::string& method = "");  // how many went on
    Json Connections();  // [{"index", "clientId", "alive", "sinks"}] by creation order
    // Fires status events from the server's own threads (README "Events");
    // {"connections", "sinks", "delivered", "failed", "results"}.
    Json FireEvents(const Json& request);
    bool Shutdown();  // ends the exe host; false for the in-process host
    Json Invoke(const wchar_t* method, const std::string& argument);

private:
    IDispatch* m_control = nullptr;
    HRESULT m_creation = E_FAIL;
    HRESULT m_last = S_OK;
};

}  // namespace zvtest
