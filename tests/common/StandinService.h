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

#include <memory>
#include <string>

#include "ZelvarSvrLib.h"

namespace zvtest {

using Json = nlohmann::json;

enum class StandinHost {
    LocalServer,   // ZelvarSvr.exe, LocalServer32: the real process boundary
    InprocServer,  // ZelvarSvrInproc.dll, InprocServer32, ThreadingModel Both
};

// Names the host in parameterised test names: "LocalServer" / "InprocServer".
struct HostName {
    template <class ParamInfo>
    std::string operator()(const ParamInfo& info) const {
        return info.param == StandinHost::LocalServer ? "LocalServer" : "InprocServer";
    }
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

    // {"processId", "host": "exe"|"inproc", "modulePath", "liveObjects", ...}
    Json ServerInfo() { return Invoke(L"ServerInfo", ""); }
    DWORD ServerProcessId() { return ServerInfo().value("processId", 0u); }
    // Set replaces the scenario, Update merges per method, SetMethod merges one
    // method's entry ({"hr", "outputs", "block", "sequence", ...}).
    bool SetScenario(const Json& scenario) { return Ok(Invoke(L"SetScenario", scenario.dump())); }
    bool UpdateScenario(const Json& scenario) { return Ok(Invoke(L"UpdateScenario", scenario.dump())); }
    bool SetMethod(const std::string& method, const Json& entry) {
        return UpdateScenario(Json{{"methods", {{method, entry}}}});
    }
    Json Scenario() { return Invoke(L"GetScenario", ""); }
    // Forgets scenario, calls and counts, releases held calls.
    bool Reset() { return Ok(Invoke(L"Reset", "")); }
    // Call records [{"seq", "method", "connection", "args", "threadId"}], oldest first.
    Json Calls(const std::string& method = "") {
        return Invoke(L"GetCalls", method.empty() ? "" : Json{{"method", method}}.dump()).value("calls", Json::array());
    }
    // The latest call's "args" (null when never called).
    Json LastArgs(const std::string& method) {
        Json calls = Calls(method);
        return calls.empty() ? Json() : calls.back()["args"];
    }
    unsigned CallCount(const std::string& method) { return Invoke(L"CallCount", method).value("count", 0u); }
    bool WaitForCalls(const std::string& method, unsigned count, DWORD timeoutMs = 10000) {
        return Invoke(L"WaitForCalls", Json{{"method", method}, {"count", count}, {"timeoutMs", timeoutMs}}.dump())
            .value("reached", false);
    }
    // Lets held calls go on; how many did.
    unsigned ReleaseHeld(const std::string& method = "") {
        return Invoke(L"ReleaseHeld", method).value("released", 0u);
    }
    // [{"index", "clientId", "alive", "sinks"}] by creation order.
    Json Connections() { return Invoke(L"GetConnections", ""); }
    // Fires status events from the server's own threads (README "Events");
    // {"connections", "sinks", "delivered", "failed", "results"}.
    Json FireEvents(const Json& request) { return Invoke(L"FireEvents", request.dump()); }
    // Ends the exe host; false for the in-process host.
    bool Shutdown() { return Invoke(L"Shutdown", "").value("accepted", false); }
    Json Invoke(const wchar_t* method, const std::string& argument);

private:
    static bool Ok(const Json& reply) { return reply.is_object() && reply.value("ok", false); }
    IDispatch* m_control = nullptr;
    HRESULT m_creation = E_FAIL;
    HRESULT m_last = S_OK;
};

// The set-up shared by every fixture that drives the stand-in (the calling
// thread already in the multithreaded apartment): installs `host`, creates its
// scenario control and forgets earlier tests' state. An empty pointer, with
// the failure recorded in the running test, when a step fails.
std::unique_ptr<StandinControl> StartStandin(StandinHost host);

}  // namespace zvtest
