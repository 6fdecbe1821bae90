// Test helpers for the stand-in authentication service (standin/ZelvarSvr):
// installing either of its hosts into the test prefix, creating its class
// the way the SDK does, and driving it through its scenario control.
//
// Typical use in a test of the SDK's connections:
//
//   CoInitializeEx(nullptr, COINIT_MULTITHREADED);
//   ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::LocalServer));
//   zvtest::StandinControl control;                            // starts/joins the server
//   ASSERT_TRUE(control) << std::hex << control.CreationResult();
//   control.Reset();                                           // forget older tests' state
//   control.SetMethod("CreateConnection", {{"hr", "E_ACCESSDENIED"}});
//   ... call the SDK's CreateConnection ...
//   EXPECT_EQ(1u, control.CallCount("CreateConnection"));
//   auto id = control.LastArgs("CreateConnection")["clientIdentifier"];   // "App:test_x.exe:123:1"
//   control.FireEvents({{"clientId", id}, {"status", 1}, {"window", 0}, {"count", 3}});
//
// Every call of StandinControl is a COM call into the server; it needs a COM
// apartment on the calling thread (the multithreaded one is assumed).
// The control object keeps the exe host alive while it exists: release it
// (and every service object) before waiting for the server to exit.
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

// Installs the chosen host machine-wide in the test prefix (the class of the
// other host is removed), with the service's type library and the event
// proxy/stub, by running bin\ZelvarSvr.exe /RegServer or /RegServerInproc.
// Returns the tool's exit code (an HRESULT; S_OK on success) or the failure
// to run it. Safe to call again; a running exe host is not affected.
HRESULT RegisterStandin(StandinHost host);
// Removes every registration of the stand-in (ZelvarSvr.exe /UnregServer):
// both classes, the type library, the proxy/stub. The Zelvar class then gives
// REGDB_E_CLASSNOTREG (0x80040154).
HRESULT UnregisterStandin();

// Creates the Zelvar class as the SDK does: CoCreateInstance with class
// context 0x17 for IUnknown, OleRun, QueryInterface for IZelvarConnection.
// Retries briefly while an exe host that is just ending still answers.
HRESULT CreateZelvarConnection(IZelvarConnection** out);

// Waits until the process ends; true when it did within the time (or does
// not exist any more).
bool WaitForProcessExit(DWORD processId, DWORD timeoutMs);

// Asks a running exe host to end (control "Shutdown") and waits for its
// process to exit; true when no exe host is running afterwards. Ends the
// server cleanly, so that a new one can be started in the same wineserver
// session (a killed server would block that until the wineserver ends).
bool StopStandinServer(DWORD timeoutMs = 15000);

// The scenario control of the registered host. Every method speaks the JSON
// of standin/README.md; a reply with {"ok": false, "error": ...} means the
// server refused the argument. On a COM failure the methods return
// {"ok": false, "hr": "0x........"} (or 0 / false) and LastResult() tells it.
class StandinControl {
public:
    // Creates the control object (in-process or local server, whichever is
    // registered); check operator bool / CreationResult().
    StandinControl();
    ~StandinControl();
    StandinControl(const StandinControl&) = delete;
    StandinControl& operator=(const StandinControl&) = delete;

    explicit operator bool() const { return m_control != nullptr; }
    HRESULT CreationResult() const { return m_creation; }
    HRESULT LastResult() const { return m_last; }
    // Drops the control object (the exe host may then end).
    void Release();

    // {"processId", "host": "exe"|"inproc", "modulePath", "liveObjects",
    //  "heldCalls", "idleTimeoutSeconds", "scenarioFile"}
    Json ServerInfo();
    DWORD ServerProcessId();

    // Scenario: Set replaces it, Update merges per method, SetMethod merges one
    // method's entry ({"hr", "outputs", "block", "sequence", ...}).
    bool SetScenario(const Json& scenario);
    bool UpdateScenario(const Json& scenario);
    bool SetMethod(const std::string& method, const Json& entry);
    Json Scenario();
    // Forgets scenario, call records and counts, releases held calls.
    bool Reset();

    // Call records [{"seq", "method", "connection", "args", "threadId"}], of one
    // method or of all (empty name), oldest first.
    Json Calls(const std::string& method = "");
    // The "args" object of the method's latest call (null when never called).
    Json LastArgs(const std::string& method);
    unsigned CallCount(const std::string& method);
    // True once the method has been called `count` times (held calls included).
    bool WaitForCalls(const std::string& method, unsigned count, DWORD timeoutMs = 10000);
    // Lets held calls of the method (all for "") go on; returns how many.
    unsigned ReleaseHeld(const std::string& method = "");

    // [{"index", "clientId", "alive", "sinks"}]: connection objects by creation
    // order (1, 2, ...) with the client identifier of their CreateConnection.
    Json Connections();
    // Fires status events from the server's own threads; see README "Events".
    // Returns {"connections", "sinks", "delivered", "failed", "results"}.
    Json FireEvents(const Json& request);

    // Ends the exe host (after this reply); false for the in-process host.
    bool Shutdown();

    // Any control method by name with a raw string argument.
    Json Invoke(const wchar_t* method, const std::string& argument);

private:
    IDispatch* m_control = nullptr;
    HRESULT m_creation = E_FAIL;
    HRESULT m_last = S_OK;
};

}  // namespace zvtest
