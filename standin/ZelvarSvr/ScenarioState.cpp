#include "ScenarioState.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <olectl.h>

#include "ServiceModule.h"

namespace ZelvarStandin {

namespace {

// A call record list that grows without bound would let a long-running
// application exhaust the stand-in; the oldest records go first.
constexpr size_t kMaxCallRecords = 20000;
constexpr DWORD kDefaultHoldTimeoutMs = 60000;
constexpr DWORD kDefaultIdleTimeoutSeconds = 60;

Json DefaultCookie() {
    return Json{{"string1", "ZVSESSION"},
                {"string2", "standin-session"},
                {"string3", ".zelvar.test"},
                {"string4", "/"},
                {"flag1", true},
                {"flag2", false},
                {"flag3", false},
                {"flag4", false},
                {"value64", 0},
                {"value32", 0}};
}

}  // namespace

BSTR CallOutcome::String(const char* name, const std::wstring& fallback) const {
    if (Has(name)) return JsonToBstr(outputs[name]);
    if (FAILED(hr)) return nullptr;
    return SysAllocStringLen(fallback.data(), static_cast<UINT>(fallback.size()));
}

UINT CallOutcome::Uint(const char* name, UINT fallback) const {
    if (Has(name)) return JsonToUint(outputs[name], fallback);
    return FAILED(hr) ? 0u : fallback;
}

ScenarioState& ScenarioState::Instance() {
    static ScenarioState state;
    return state;
}

ScenarioState::ScenarioState() {
    m_cookieJar.push_back(DefaultCookie());
}

void ScenarioState::SetScenario(const Json& scenario) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_scenario = scenario.is_object() ? scenario : Json::object();
    m_sequencePosition.clear();
}

void ScenarioState::UpdateScenario(const Json& scenario) {
    if (!scenario.is_object()) return;
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto& [key, value] : scenario.items()) {
        if (key == "methods" && value.is_object()) {
            for (auto& [method, entry] : value.items()) {
                m_scenario["methods"][method] = entry;
                m_sequencePosition.erase(method);
            }
        } else {
            m_scenario[key] = value;
        }
    }
}

Json ScenarioState::Scenario() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_scenario;
}

void ScenarioState::LoadScenarioFromEnvironment() {
    const wchar_t* name = L"ZELVAR_STANDIN_SCENARIO";
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return;
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(name, path.data(), size));
    Json outcome{{"path", ToUtf8(path)}};
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        outcome["error"] = "cannot open";
    } else {
        std::stringstream text;
        text << file.rdbuf();
        Json scenario = Json::parse(text.str(), nullptr, false);
        if (scenario.is_discarded() || !scenario.is_object()) {
            outcome["error"] = "not a JSON object";
        } else {
            SetScenario(scenario);
            outcome["loaded"] = true;
        }
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_scenarioFile = outcome;
}

void ScenarioState::Reset() {
    std::vector<IDispatch*> none;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_scenario = Json::object();
        m_counts.clear();
        m_sequencePosition.clear();
        m_calls.clear();
        for (HeldCall* held : m_held) held->released = true;
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            it = it->second.alive ? std::next(it) : m_connections.erase(it);
        }
        m_epoch = 1;
        m_cookieJar.assign(1, DefaultCookie());
    }
    m_changed.notify_all();
}

bool ScenarioState::Scripted(const char* method) const {
    std::lock_guard<std::mutex> hold(m_lock);
    auto methods = m_scenario.find("methods");
    return methods != m_scenario.end() && methods->is_object() && methods->contains(method);
}

Json ScenarioState::EntryFor(const std::string& method, unsigned callIndex) const {
    auto methods = m_scenario.find("methods");
    if (methods == m_scenario.end() || !methods->is_object()) return Json::object();
    auto found = methods->find(method);
    if (found == methods->end() || !found->is_object()) return Json::object();
    Json entry = *found;
    auto sequence = entry.find("sequence");
    if (sequence != entry.end() && sequence->is_array() && !sequence->empty()) {
        Json step = (*sequence)[std::min<size_t>(callIndex, sequence->size() - 1)];
        entry.erase("sequence");
        if (step.is_object()) {
            for (auto& [key, value] : step.items()) entry[key] = value;
        }
    }
    return entry;
}

CallOutcome ScenarioState::BeginCall(const char* method, unsigned connection, Json args) {
    try {
        return BeginCallChecked(method, connection, std::move(args));
    } catch (const std::exception&) {
        // A scenario value of the wrong JSON type: the call fails visibly
        // instead of taking the server down.
        CallOutcome outcome;
        outcome.connection = connection;
        outcome.hr = E_UNEXPECTED;
        return outcome;
    }
}

CallOutcome ScenarioState::BeginCallChecked(const char* method, unsigned connection, Json args) {
    ServiceModule::Instance().NoteActivity();
    CallOutcome outcome;
    outcome.connection = connection;
    Json entry;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        unsigned position = m_sequencePosition[method]++;
        ++m_counts[method];
        m_calls.push_back(Json{{"seq", m_nextSeq++},
                               {"method", method},
                               {"connection", connection},
                               {"args", std::move(args)},
                               {"threadId", GetCurrentThreadId()}});
        if (m_calls.size() > kMaxCallRecords) m_calls.erase(m_calls.begin());
        entry = EntryFor(method, position);
        m_changed.notify_all();

        if (JsonFlag(entry, "block", false)) {
            HeldCall held;
            held.method = method;
            held.connection = connection;
            m_held.push_back(&held);
            m_changed.notify_all();
            DWORD timeout =
                JsonToUint(entry.value("blockTimeoutMs", Json(kDefaultHoldTimeoutMs)), kDefaultHoldTimeoutMs);
            m_changed.wait_for(hold, std::chrono::milliseconds(timeout), [&] { return held.released; });
            m_held.erase(std::remove(m_held.begin(), m_held.end(), &held), m_held.end());
            m_changed.notify_all();
            if (held.cancelled) {
                outcome.hr = held.cancelHr;
                return outcome;
            }
        }
    }
    if (entry.contains("delayMs")) Sleep(JsonToUint(entry["delayMs"], 0));
    outcome.hr = JsonToHresult(entry.value("hr", Json()), S_OK);
    if (entry.contains("outputs") && entry["outputs"].is_object()) outcome.outputs = entry["outputs"];
    outcome.entry = entry;
    if (entry.contains("events")) {
        const Json& events = entry["events"];
        if (events.is_array()) {
            for (const Json& request : events) FireEvents(request, connection);
        } else if (events.is_object()) {
            FireEvents(events, connection);
        }
    }
    ServiceModule::Instance().NoteActivity();
    return outcome;
}

Json ScenarioState::Calls(const Json& filter) const {
    Json wanted = JsonMember(filter, "method");
    std::string method = wanted.is_string() ? wanted.get<std::string>() : std::string();
    std::lock_guard<std::mutex> hold(m_lock);
    Json counts = Json::object();
    for (const auto& [name, count] : m_counts) {
        if (method.empty() || name == method) counts[name] = count;
    }
    Json calls = Json::array();
    for (const Json& call : m_calls) {
        if (method.empty() || call["method"] == method) calls.push_back(call);
    }
    return Json{{"counts", counts}, {"calls", calls}};
}

unsigned ScenarioState::CallCount(const std::string& method) const {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_counts.find(method);
    return found == m_counts.end() ? 0 : found->second;
}

bool ScenarioState::WaitForCalls(const std::string& method, unsigned count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        auto found = m_counts.find(method);
        return found != m_counts.end() && found->second >= count;
    });
}

unsigned ScenarioState::ReleaseHeld(const std::string& method) {
    unsigned released = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (HeldCall* held : m_held) {
            if (!held->released && (method.empty() || held->method == method)) {
                held->released = true;
                ++released;
            }
        }
    }
    m_changed.notify_all();
    return released;
}

unsigned ScenarioState::CancelHeld(unsigned connection, HRESULT hr) {
    unsigned cancelled = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (HeldCall* held : m_held) {
            if (!held->released && held->connection == connection) {
                held->released = true;
                held->cancelled = true;
                held->cancelHr = hr;
                ++cancelled;
            }
        }
    }
    m_changed.notify_all();
    return cancelled;
}

unsigned ScenarioState::HeldCount() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<unsigned>(std::count_if(m_held.begin(), m_held.end(), [](HeldCall* h) { return !h->released; }));
}

unsigned ScenarioState::AddConnection() {
    std::lock_guard<std::mutex> hold(m_lock);
    unsigned index = m_nextConnection++;
    m_connections[index].index = index;
    return index;
}

namespace {

// A connection whose client process has ended.
struct EndedClient {
    ScenarioState* state;
    unsigned connection;
    HANDLE process;
};

void CALLBACK OnClientEnded(void* context, BOOLEAN) {
    std::unique_ptr<EndedClient> ended(static_cast<EndedClient*>(context));
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ended->state->RemoveConnection(ended->connection);
    if (SUCCEEDED(init)) CoUninitialize();
    CloseHandle(ended->process);
}

// The process id inside a client identifier "<name>:<program>:<pid>:<handle>"; 0 if there is none.
DWORD ClientProcessId(const Json& clientId) {
    const std::string id = clientId.is_string() ? clientId.get<std::string>() : std::string();
    const size_t last = id.rfind(':');
    const size_t before = last == std::string::npos || last == 0 ? std::string::npos : id.rfind(':', last - 1);
    return before == std::string::npos ? 0 : std::strtoul(id.c_str() + before + 1, nullptr, 10);
}

}  // namespace

// The exe host outlives its clients, and Wine never tells a server that a
// client has ended (proxies are not pinged). Wine also makes an apartment's
// exporter id from the process id alone, and reuses process ids: a new client
// with the id of an ended one has its sink unmarshalled onto the ended
// client's stale proxy, and every event to it fails (0x800706BF, 0x800706B5)
// or is lost. So a connection lets go of its sinks when its client ends.
void ScenarioState::SetClientIdentifier(unsigned connection, const Json& clientId) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_connections.find(connection);
        if (found != m_connections.end()) found->second.clientId = clientId;
    }
    const DWORD pid = ClientProcessId(clientId);
    if (pid == 0 || pid == GetCurrentProcessId()) return;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return;
    auto ended = std::make_unique<EndedClient>(EndedClient{this, connection, process});
    HANDLE wait = nullptr;  // a wait that runs once needs no unregistering
    if (RegisterWaitForSingleObject(&wait, process, OnClientEnded, ended.get(), INFINITE, WT_EXECUTEONLYONCE)) {
        ended.release();
    } else {
        CloseHandle(process);
    }
}

void ScenarioState::RemoveConnection(unsigned connection) {
    std::map<DWORD, IDispatch*> sinks;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_connections.find(connection);
        if (found == m_connections.end()) return;
        found->second.alive = false;
        sinks.swap(found->second.sinks);
    }
    for (auto& [cookie, sink] : sinks) sink->Release();
}

HRESULT ScenarioState::AddSink(unsigned connection, IDispatch* sink, DWORD* cookie) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_connections.find(connection);
    if (found == m_connections.end() || !found->second.alive) return E_UNEXPECTED;
    *cookie = m_nextCookie++;
    found->second.sinks[*cookie] = sink;
    sink->AddRef();
    return S_OK;
}

HRESULT ScenarioState::RemoveSink(unsigned connection, DWORD cookie) {
    IDispatch* sink = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_connections.find(connection);
        if (found == m_connections.end()) return CONNECT_E_NOCONNECTION;
        auto entry = found->second.sinks.find(cookie);
        if (entry == found->second.sinks.end()) return CONNECT_E_NOCONNECTION;
        sink = entry->second;
        found->second.sinks.erase(entry);
    }
    sink->Release();
    return S_OK;
}

Json ScenarioState::Connections() const {
    std::lock_guard<std::mutex> hold(m_lock);
    Json list = Json::array();
    for (const auto& [index, record] : m_connections) {
        list.push_back(Json{
            {"index", index}, {"clientId", record.clientId}, {"alive", record.alive}, {"sinks", record.sinks.size()}});
    }
    return list;
}

std::vector<unsigned> ScenarioState::EventTargets(const Json& request, unsigned callingConnection) const {
    std::vector<unsigned> targets;
    if (request.contains("connection")) {
        targets.push_back(JsonToUint(request["connection"], 0));
    } else if (request.contains("clientId")) {
        for (const auto& [index, record] : m_connections) {
            if (record.alive && record.clientId == request["clientId"]) targets.push_back(index);
        }
    } else if (JsonFlag(request, "allConnections", false)) {
        for (const auto& [index, record] : m_connections) {
            if (record.alive) targets.push_back(index);
        }
    } else if (callingConnection != 0) {
        targets.push_back(callingConnection);
    } else {
        for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it) {
            if (it->second.alive) {
                targets.push_back(it->first);
                break;
            }
        }
    }
    return targets;
}

namespace {

// One firing, shared by its threads; the last one out releases the sinks.
struct Firing {
    std::vector<IDispatch*> sinks;
    Json args;  // call order: [{"vt": n, "value": v}, ...]
    DISPID dispid = 1;
    WORD flags = DISPATCH_METHOD;
    unsigned count = 1;
    unsigned threads = 1;
    UINT status = 0;
    LONG window = 0;
    bool incrementStatus = false;
    std::atomic<unsigned> delivered{0};
    std::atomic<unsigned> failed{0};
    std::mutex resultsLock;
    Json results = Json::array();

    ~Firing() {
        for (IDispatch* sink : sinks) sink->Release();
    }

    void FireShare(unsigned thread) {
        HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (unsigned event = thread; event < count; event += threads) {
            std::vector<VARIANT> argv = Arguments(event);
            std::reverse(argv.begin(), argv.end());  // DISPPARAMS holds the last argument first
            DISPPARAMS params{argv.data(), nullptr, static_cast<UINT>(argv.size()), 0};
            for (IDispatch* sink : sinks) {
                HRESULT hr = sink->Invoke(dispid, IID_NULL, 0, flags, &params, nullptr, nullptr, nullptr);
                if (SUCCEEDED(hr)) {
                    ++delivered;
                } else {
                    ++failed;
                    std::lock_guard<std::mutex> hold(resultsLock);
                    if (results.size() < 100) results.push_back(HresultText(hr));
                }
            }
            for (VARIANT& v : argv) VariantClear(&v);
        }
        if (SUCCEEDED(init)) CoUninitialize();
    }

    std::vector<VARIANT> Arguments(unsigned event) const {
        std::vector<VARIANT> argv;
        if (args.is_array()) {
            for (const Json& arg : args) {
                VARIANT v;
                VariantInit(&v);
                VARTYPE vt = static_cast<VARTYPE>(JsonToUint(JsonMember(arg, "vt"), VT_I4));
                Json value = JsonMember(arg, "value");
                if (vt == VT_BSTR) {
                    v.vt = VT_BSTR;
                    v.bstrVal = JsonToBstr(value);
                } else {
                    v.vt = VT_I8;
                    v.llVal = JsonToInt64(value, 0);
                    if (FAILED(VariantChangeType(&v, &v, 0, vt))) v.vt = vt;
                }
                argv.push_back(v);
            }
            return argv;
        }
        VARIANT status;
        VariantInit(&status);
        status.vt = VT_UI4;
        status.ulVal = incrementStatus ? this->status + event : this->status;
        VARIANT window;
        VariantInit(&window);
        window.vt = VT_I4;
        window.lVal = this->window;
        argv.push_back(status);
        argv.push_back(window);
        return argv;
    }
};

}  // namespace

Json ScenarioState::FireEvents(const Json& request, unsigned callingConnection) {
    const DWORD delayMs = JsonToUint(request.value("delayMs", Json(0)), 0);
    if (delayMs > 0) {
        // Fired later from a thread of its own; the targets and their sinks
        // are looked up then, so a sink attached meanwhile (the scenario of
        // Advise itself) receives the events.
        Json later = request;
        later.erase("delayMs");
        later["wait"] = true;
        ServiceModule::Instance().AddObject();  // the module stays until they are fired
        std::thread([this, later, callingConnection, delayMs] {
            Sleep(delayMs);
            FireEvents(later, callingConnection);
            ServiceModule::Instance().RemoveObject();
        }).detach();
        return Json{{"started", true}, {"delayMs", delayMs}};
    }
    auto firing = std::make_shared<Firing>();
    firing->status = JsonToUint(request.value("status", Json(0)), 0);
    firing->window = static_cast<LONG>(JsonToInt64(request.value("window", Json(0)), 0));
    firing->count = std::max(1u, JsonToUint(request.value("count", Json(1)), 1));
    firing->threads = std::min(64u, std::max(1u, JsonToUint(request.value("threads", Json(1)), 1)));
    firing->dispid = static_cast<DISPID>(JsonToInt64(request.value("dispid", Json(1)), 1));
    firing->flags = static_cast<WORD>(JsonToUint(request.value("flags", Json(DISPATCH_METHOD)), DISPATCH_METHOD));
    firing->incrementStatus = JsonFlag(request, "incrementStatus", false);
    if (request.contains("args")) firing->args = request["args"];
    Json targets = Json::array();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (unsigned index : EventTargets(request, callingConnection)) {
            targets.push_back(index);
            auto found = m_connections.find(index);
            if (found == m_connections.end()) continue;
            for (auto& [cookie, sink] : found->second.sinks) {
                sink->AddRef();
                firing->sinks.push_back(sink);
            }
        }
    }
    Json reply{{"connections", targets}, {"sinks", firing->sinks.size()}};
    if (firing->sinks.empty()) {
        reply["delivered"] = 0;
        reply["failed"] = 0;
        return reply;
    }
    const bool wait = JsonFlag(request, "wait", true);
    std::vector<std::thread> threads;
    if (!wait) ServiceModule::Instance().AddObject();  // the module stays while the threads run
    for (unsigned t = 0; t < firing->threads; ++t) {
        threads.emplace_back([firing, t, wait] {
            firing->FireShare(t);
            (void)wait;
        });
    }
    if (!wait) {
        std::thread([firing, threads = std::move(threads)]() mutable {
            for (auto& thread : threads) thread.join();
            ServiceModule::Instance().RemoveObject();
        }).detach();
        reply["started"] = true;
        return reply;
    }
    for (auto& thread : threads) thread.join();
    reply["delivered"] = firing->delivered.load();
    reply["failed"] = firing->failed.load();
    reply["results"] = firing->results;
    return reply;
}

UINT ScenarioState::AuthEpoch() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_epoch;
}

void ScenarioState::AdvanceAuthEpoch() {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_epoch;
}

std::vector<Json> ScenarioState::CookieJar() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_cookieJar;
}

void ScenarioState::AddToCookieJar(const std::vector<Json>& cookies) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_cookieJar.insert(m_cookieJar.end(), cookies.begin(), cookies.end());
}

DWORD ScenarioState::IdleTimeoutMs() const {
    DWORD seconds = kDefaultIdleTimeoutSeconds;
    wchar_t text[32] = {};
    if (GetEnvironmentVariableW(L"ZELVAR_STANDIN_IDLE_SECONDS", text, 32) > 0) {
        seconds = static_cast<DWORD>(wcstoul(text, nullptr, 10));
    }
    std::lock_guard<std::mutex> hold(m_lock);
    auto server = m_scenario.find("server");
    if (server != m_scenario.end() && server->is_object() && server->contains("idleTimeoutSeconds")) {
        seconds = JsonToUint((*server)["idleTimeoutSeconds"], seconds);
    }
    return seconds * 1000;
}

Json ScenarioState::ServerInfo() const {
    const ServiceModule& module = ServiceModule::Instance();
    Json info{{"processId", GetCurrentProcessId()},
              {"host", module.Host() == HostKind::LocalServer ? "exe" : "inproc"},
              {"modulePath", ToUtf8(module.ModulePath())},
              {"liveObjects", module.LiveObjects()},
              {"heldCalls", HeldCount()},
              {"idleTimeoutSeconds", IdleTimeoutMs() / 1000}};
    std::lock_guard<std::mutex> hold(m_lock);
    info["scenarioFile"] = m_scenarioFile;
    return info;
}

}  // namespace ZelvarStandin
