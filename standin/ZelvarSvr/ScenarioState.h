// What the stand-in service is told to do and what it has seen: the scenario
// (per-method results and outputs), the record of every call with its
// arguments, the calls held back until released, the registry of connection
// objects with their event sinks, and the firing of status events. One
// instance per process (local server) or per loaded DLL (in-process server);
// every member is safe to call from any thread.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "TextConvert.h"

namespace ZelvarStandin {

// What one call is to do, as the scenario says. Outputs that the scenario does
// not name take the method's default when hr succeeds, and null or 0 when it
// fails.
struct CallOutcome {
    HRESULT hr = S_OK;
    Json outputs = Json::object();
    Json entry = Json::object();  // the method's scenario entry (extras such as "maxChunk")
    unsigned connection = 0;      // creation index of the connection the call belongs to

    bool Has(const char* name) const { return outputs.contains(name); }
    BSTR String(const char* name, const std::wstring& fallback) const;
    UINT Uint(const char* name, UINT fallback) const;
    // The scenario's value for an output, else null.
    Json Output(const char* name) const { return Has(name) ? outputs[name] : Json(); }
};

class ScenarioState {
public:
    static ScenarioState& Instance();

    // Scenario text (see README): {"methods": {"GetVersion": {...}}, "server": {...}}.
    // Set replaces everything and restarts the per-method sequences; Update
    // merges method entries into the current scenario.
    void SetScenario(const Json& scenario);
    void UpdateScenario(const Json& scenario);
    Json Scenario() const;
    // Loads the file named by the environment variable ZELVAR_STANDIN_SCENARIO,
    // if set; the outcome is kept for ServerInfo.
    void LoadScenarioFromEnvironment();
    // Forgets scenario, call records, counts and dead connections, restores the
    // cookie jar and epoch, and lets every held call go on.
    void Reset();

    // Records the call and its arguments, waits while the scenario holds it
    // back, fires the events the entry names, and returns what to do.
    CallOutcome BeginCall(const char* method, unsigned connection, Json args);
    // True when the scenario has an entry for the method.
    bool Scripted(const char* method) const;

    // {"counts": {method: n}, "calls": [{"seq", "method", "connection", "args", "threadId"}]},
    // restricted to one method when filter names "method".
    Json Calls(const Json& filter) const;
    unsigned CallCount(const std::string& method) const;
    // Waits until the method has been called at least count times (held calls
    // included) or the time is up; true when the count was reached.
    bool WaitForCalls(const std::string& method, unsigned count, DWORD timeoutMs);
    // Lets held calls go on: those of one method, or all for an empty name.
    unsigned ReleaseHeld(const std::string& method);
    // Ends the held calls of one connection with the given result (CancelAllCalls).
    unsigned CancelHeld(unsigned connection, HRESULT hr);
    unsigned HeldCount() const;

    // Connection registry: creation index (1, 2, ...) and client identifier.
    unsigned AddConnection();
    void SetClientIdentifier(unsigned connection, const Json& clientId);
    void RemoveConnection(unsigned connection);  // the object is gone; its sinks are released
    HRESULT AddSink(unsigned connection, IDispatch* sink, DWORD* cookie);
    HRESULT RemoveSink(unsigned connection, DWORD cookie);
    Json Connections() const;

    // Fires status events; see README "Events". Returns {"delivered", "failed", "results"}.
    Json FireEvents(const Json& request, unsigned callingConnection = 0);

    // Shared service data.
    UINT AuthEpoch() const;
    void AdvanceAuthEpoch();
    std::vector<Json> CookieJar() const;
    void AddToCookieJar(const std::vector<Json>& cookies);

    // Idle time-out of the local server in milliseconds (scenario "server").
    DWORD IdleTimeoutMs() const;
    Json ServerInfo() const;

private:
    ScenarioState();

    struct HeldCall {
        std::string method;
        unsigned connection = 0;
        bool released = false;
        bool cancelled = false;
        HRESULT cancelHr = S_OK;
    };
    struct ConnectionRecord {
        unsigned index = 0;
        Json clientId;
        bool alive = true;
        std::map<DWORD, IDispatch*> sinks;
    };

    CallOutcome BeginCallChecked(const char* method, unsigned connection, Json args);
    Json EntryFor(const std::string& method, unsigned callIndex) const;                         // m_lock held
    std::vector<unsigned> EventTargets(const Json& request, unsigned callingConnection) const;  // m_lock held

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    Json m_scenario = Json::object();
    std::map<std::string, unsigned> m_counts;            // since the last SetScenario / Reset
    std::map<std::string, unsigned> m_sequencePosition;  // calls consumed per method sequence
    std::deque<Json> m_calls;                            // the oldest record goes first once the limit is reached
    unsigned m_nextSeq = 1;
    std::vector<HeldCall*> m_held;
    std::map<unsigned, ConnectionRecord> m_connections;
    unsigned m_nextConnection = 1;
    DWORD m_nextCookie = 1;
    UINT m_epoch = 1;
    std::vector<Json> m_cookieJar;
    Json m_scenarioFile;  // what happened to the scenario file at start
};

}  // namespace ZelvarStandin
