// The SDK under faults and load: a service that raises an event while it
// cancels, unloading while initialised, Uninitialize racing mixed
// operations, callers that never pump messages, bad handles, garbage on the
// updater's pipe and a long create/use/destroy soak. Every step must end
// (WithinLimit ends the program when one hangs) with an exact result.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/TraceFileCapture.h"
#include "faults/FaultSupport.h"
#include "service/UpdaterServiceCommunication.h"

using namespace BrennicZelvarSDK;
using zvfaults::WithinLimit;

namespace {

// Wine cannot revoke a cross-process object from the Global Interface Table:
// DestroyConnection of a local-server connection reports 65526 there (the
// connection is removed all the same), 0 on Windows.
const std::set<ZVResult> kDestroyedOnLocalServer = {ZV_SUCCESS, 65526};

// Counts the status changes the application receives; `reached` is set when
// `target` of them have come.
struct EventLog {
    std::atomic<unsigned> count{0};
    std::atomic<unsigned> target{0xFFFFFFFF};
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~EventLog() { CloseHandle(reached); }
};

void OnStatus(unsigned int, void* context, unsigned int, int) {
    auto* log = static_cast<EventLog*>(context);
    if (++log->count == log->target) SetEvent(log->reached);
}

class Sdk : public ::testing::Test {
protected:
    // loadSdk false: the test loads the DLL itself and holds the only reference.
    void Start(zvtest::StandinHost host, bool loadSdk = true) {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        com = true;
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(host));
        control = std::make_unique<zvtest::StandinControl>();
        ASSERT_TRUE(*control) << std::hex << control->CreationResult();
        ASSERT_TRUE(control->Reset());
        if (!loadSdk) return;
        sdk = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        ASSERT_NE(nullptr, sdk);
    }
    void TearDown() override {
        control.reset();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        if (com) CoUninitialize();
    }
    unsigned int Connect(EventLog* log) {
        unsigned int handle = 0;
        EXPECT_EQ(ZV_SUCCESS, sdk->CreateConnection(L"Faults", OnStatus, log, &handle));
        return handle;
    }
    unsigned LiveServiceObjects() { return control->ServerInfo()["liveObjects"].get<unsigned>(); }

    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* sdk = nullptr;
    bool com = false;
};

}  // namespace

// No SDK lock is held across a call into the service: a service that raises
// a status event while it cancels, and waits for its delivery, cannot stall
// Uninitialize (whose event sink needs the lock the cancelling held).
TEST_F(Sdk, UninitializeEndsWhenTheServiceRaisesAnEventWhileItCancels) {
    Start(zvtest::StandinHost::LocalServer);
    ASSERT_TRUE(control->SetMethod("CancelAllCalls", {{"events", {{"status", 3}, {"window", 0}}}}));
    EventLog log;
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    Connect(&log);
    ZVResult result = 0xFFFFFFFF;
    WithinLimit("Uninitialize", [&] { result = sdk->Uninitialize(); });
    EXPECT_EQ(ZV_SUCCESS, result);
    EXPECT_EQ(1u, control->CallCount("CancelAllCalls"));
    // Raised after the SDK stopped taking events: none reaches the application.
    EXPECT_EQ(0u, log.count.load());
}

// While initialised the SDK holds its own module: FreeLibrary without
// Uninitialize leaves it loaded (no teardown under the loader lock), a late
// event still reaches the application, and the process ends cleanly with
// the SDK still initialised.
TEST_F(Sdk, FreeLibraryWithoutUninitializeKeepsTheModuleAndLateEventsArrive) {
    Start(zvtest::StandinHost::LocalServer, false);
    ASSERT_EQ(nullptr, GetModuleHandleW(L"ZelvarSDK.dll"));
    HMODULE module = LoadLibraryW((zvtest::ExeDirectory() + L"\\ZelvarSDK.dll").c_str());
    ASSERT_NE(nullptr, module);
    auto query = reinterpret_cast<ZVQueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(module, "QueryInterface")));
    ASSERT_NE(nullptr, query);
    ZVImplementationV1Interface* loaded = nullptr;
    ASSERT_TRUE(query(ZV_IID_V1, reinterpret_cast<void**>(&loaded)));
    EventLog log;
    log.target = 2;
    ASSERT_EQ(ZV_SUCCESS, loaded->Initialize());
    unsigned int handle = 0;
    ASSERT_EQ(ZV_SUCCESS, loaded->CreateConnection(L"Unload", OnStatus, &log, &handle));

    WithinLimit("FreeLibrary", [&] { EXPECT_TRUE(FreeLibrary(module)); });
    EXPECT_EQ(module, GetModuleHandleW(L"ZelvarSDK.dll")) << "unloaded while initialised";
    control->FireEvents({{"status", 5}, {"window", 0}, {"count", 2}, {"delayMs", 50}});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log.reached, zvfaults::kStepLimitMs));
}

// Uninitialize while eight threads create and destroy connections, destroy
// stale handles and have events raised: every result is one of those
// allowed, and nothing is left behind.
TEST_F(Sdk, UninitializeRacingEightThreadsOfMixedOperations) {
    Start(zvtest::StandinHost::InprocServer);
    const unsigned baseObjects = LiveServiceObjects();
    EventLog log;
    const std::set<ZVResult> created = {ZV_SUCCESS, ZV_ERROR_NOT_INITIALIZED};
    const std::set<ZVResult> destroyed = {ZV_SUCCESS, ZV_ERROR_NOT_INITIALIZED, ZV_ERROR_INVALID_HANDLE};
    const std::set<ZVResult> destroyedStale = {ZV_ERROR_NOT_INITIALIZED, ZV_ERROR_INVALID_HANDLE};
    std::atomic<unsigned> unexpected{0};
    zvfaults::ProcessFigures warm;
    const int kCycles = 16;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        if (cycle == 1) warm = zvfaults::SampleProcess();
        ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
        std::atomic<bool> stop{false};
        std::atomic<unsigned> operations{0};
        HANDLE busy = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                {
                    zvtest::StandinControl events;
                    std::vector<unsigned int> mine;
                    for (unsigned i = t; !stop; ++i) {
                        ZVResult r = ZV_SUCCESS;
                        bool allowed = true;
                        switch (i % 4) {
                            case 0: {
                                unsigned int handle = 0;
                                r = sdk->CreateConnection(L"Race", OnStatus, &log, &handle);
                                allowed = created.count(r) > 0;
                                if (r == ZV_SUCCESS) mine.push_back(handle);
                                break;
                            }
                            case 1:
                                if (mine.empty()) continue;
                                r = sdk->DestroyConnection(mine.back());
                                mine.pop_back();
                                allowed = destroyed.count(r) > 0;
                                break;
                            case 2:
                                r = sdk->DestroyConnection(0x7FFFFFF0u + t);
                                allowed = destroyedStale.count(r) > 0;
                                break;
                            default:
                                events.FireEvents({{"allConnections", true}, {"status", 2}, {"window", 0}});
                                break;
                        }
                        if (!allowed) {
                            ++unexpected;
                            std::printf("thread %d operation %u: result %u\n", t, i % 4, r);
                        }
                        if (++operations == 8 * 12) SetEvent(busy);
                    }
                }
                CoUninitialize();
            });
        }
        WithinLimit("operations before Uninitialize", [&] { WaitForSingleObject(busy, INFINITE); });
        ZVResult result = 0xFFFFFFFF;
        WithinLimit("Uninitialize", [&] { result = sdk->Uninitialize(); });
        EXPECT_EQ(ZV_SUCCESS, result);
        stop = true;
        WithinLimit("racing threads", [&] {
            for (auto& thread : threads) thread.join();
        });
        CloseHandle(busy);
    }
    EXPECT_EQ(0u, unexpected.load());
    EXPECT_EQ(baseObjects, LiveServiceObjects()) << "service objects left behind";
    const zvfaults::ProcessFigures end = zvfaults::SampleProcess();
    zvfaults::PrintFigures("after cycle 1", warm);
    zvfaults::PrintFigures("at the end", end);
    EXPECT_LE(end.threads, warm.threads);
    EXPECT_LE(end.handles, warm.handles + 16);
}

// Callers on single-threaded apartments that block without pumping
// messages: their operations and the events of their connections go on.
TEST_F(Sdk, CallersOnThreadsThatNeverPumpMessagesDoNotDeadlock) {
    Start(zvtest::StandinHost::LocalServer);
    EventLog log;
    log.target = 3 * 2;
    HANDLE connected[3];
    HANDLE proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<unsigned> wrong{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        connected[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        callers.emplace_back([&, i] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            unsigned int handle = 0;
            if (sdk->Initialize() != ZV_SUCCESS) ++wrong;
            if (sdk->CreateConnection(L"Sta", OnStatus, &log, &handle) != ZV_SUCCESS) ++wrong;
            SetEvent(connected[i]);
            WaitForSingleObject(proceed, INFINITE);  // blocks without pumping
            if (!kDestroyedOnLocalServer.count(sdk->DestroyConnection(handle))) ++wrong;
            if (sdk->Uninitialize() != ZV_SUCCESS) ++wrong;
            CoUninitialize();
        });
    }
    WithinLimit("connections from STA callers",
                [&] { WaitForMultipleObjects(3, connected, TRUE, INFINITE); });
    control->FireEvents({{"allConnections", true}, {"status", 4}, {"window", 0}, {"count", 2}});
    WithinLimit("events while the callers block", [&] { WaitForSingleObject(log.reached, INFINITE); });
    SetEvent(proceed);
    WithinLimit("STA callers' tear-down", [&] {
        for (auto& caller : callers) caller.join();
    });
    EXPECT_EQ(0u, wrong.load());
    for (HANDLE h : connected) CloseHandle(h);
    CloseHandle(proceed);
}

// Null, zero, stale and destroyed handles, and bad arguments, before and
// after Initialize: the exact result and never a call into the service.
TEST_F(Sdk, BadHandlesAndArgumentsGetTheirResultWithoutAServiceCall) {
    Start(zvtest::StandinHost::InprocServer);
    unsigned int handle = 0;
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->CreateConnection(L"Bad", nullptr, nullptr, &handle));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->DestroyConnection(1));
    EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, sdk->Uninitialize());
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EventLog log;
    const unsigned int destroyedHandle = Connect(&log);
    ASSERT_EQ(ZV_SUCCESS, sdk->DestroyConnection(destroyedHandle));
    const size_t callsBefore = control->Calls().size();

    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"Bad", nullptr, nullptr, nullptr));
    EXPECT_EQ(ZV_ERROR_INVALID_PARAMETER, sdk->CreateConnection(L"Bad", nullptr, &log, &handle));
    for (unsigned int bad : {0u, destroyedHandle, destroyedHandle + 1000, 0xFFFFFFFFu})
        EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk->DestroyConnection(bad)) << bad;
    EXPECT_EQ(callsBefore, control->Calls().size()) << control->Calls().dump();
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
}

namespace {

// Plays the updater service for one exchange on its real pipe: reads the
// repair request, then answers with `reply` and ends as told.
class FakeUpdater {
public:
    enum class Ends { AfterReply, MidReply, WithoutReply };

    FakeUpdater(std::string reply, Ends ends)
        : m_reply(std::move(reply)), m_ends(ends), m_finish(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        // A reply cut off by a disconnect needs byte mode: a message is
        // delivered whole or not at all.
        const DWORD mode = ends == Ends::MidReply ? PIPE_TYPE_BYTE | PIPE_READMODE_BYTE
                                                  : PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;
        m_pipe = CreateNamedPipeW(UpdaterServiceCommunication::kPipeName, PIPE_ACCESS_DUPLEX, mode | PIPE_WAIT, 1,
                                  1 << 20, 1 << 20, 0, nullptr);
        m_server = std::thread([this] { Serve(); });
    }
    ~FakeUpdater() {
        SetEvent(m_finish);
        m_server.join();
        if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
        CloseHandle(m_finish);
    }
    bool Ready() const { return m_pipe != INVALID_HANDLE_VALUE; }

private:
    void Serve() {
        if (!ConnectNamedPipe(m_pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        char request[64];
        DWORD count = 0;
        ReadFile(m_pipe, request, sizeof request, &count, nullptr);
        if (m_ends == Ends::WithoutReply) {
            WaitForSingleObject(m_finish, INFINITE);
            return;
        }
        WriteFile(m_pipe, m_reply.data(), static_cast<DWORD>(m_reply.size()), &count, nullptr);
        if (m_ends == Ends::MidReply) {
            CloseHandle(m_pipe);
            m_pipe = INVALID_HANDLE_VALUE;
            return;
        }
        // The closing message, then the client's end goes.
        while (ReadFile(m_pipe, request, sizeof request, &count, nullptr) || GetLastError() == ERROR_MORE_DATA) {
        }
    }

    std::string m_reply;
    Ends m_ends;
    HANDLE m_pipe = INVALID_HANDLE_VALUE;
    HANDLE m_finish;
    std::thread m_server;
};

struct GarbageCase {
    const char* name;
    std::string reply;
    FakeUpdater::Ends ends;
    bool confirmed;
    const char* level;
    const char* trace;
};

std::ostream& operator<<(std::ostream& out, const GarbageCase& c) {
    return out << c.name;
}

const char kParse[] = "ReadFromPipe failed to parse JSON response.";
const char kFields[] = "ReadFromPipe response does not contain required fields.";
const char kEmpty[] = "ReadFromPipe received empty response.";
const std::string kConfirmed = "{\"MessageType\":16,\"ExitCode\":0}\n";

class UpdaterGarbage : public ::testing::TestWithParam<GarbageCase> {};

}  // namespace

TEST_P(UpdaterGarbage, EndsWithTheExactVerdictAndTrace) {
    const GarbageCase& c = GetParam();
    FakeUpdater updater(c.reply, c.ends);
    ASSERT_TRUE(updater.Ready()) << GetLastError();
    zvtest::TraceFileCapture trace;
    UpdaterServiceCommunication communication;
    // Short here; a reply that never comes is given kReplyTimeoutMs in use.
    communication.SetReplyTimeout(500);
    bool confirmed = !c.confirmed;
    WithinLimit("CommunicateToUpdaterService", [&] { confirmed = communication.CommunicateToUpdaterService(); });
    EXPECT_EQ(c.confirmed, confirmed);
    EXPECT_TRACE(trace, c.level, c.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UpdaterGarbage,
    ::testing::Values(
        GarbageCase{"ManyKilobytesOfNoise", std::string(256 * 1024, 'x'), FakeUpdater::Ends::AfterReply, false,
                    zvtest::kTraceError, kParse},
        // The first read that succeeds ends the reply: a confirmation of
        // many kilobytes is cut off and is no confirmation.
        GarbageCase{"ManyKilobytesCutAtTheFirstRead",
                    "{\"MessageType\":16,\"ExitCode\":0,\"Pad\":\"" + std::string(60 * 1024, 'p') + "\"}",
                    FakeUpdater::Ends::AfterReply, false, zvtest::kTraceError, kParse},
        GarbageCase{"InvalidUtf8InAString", "{\"MessageType\":16,\"ExitCode\":0,\"Note\":\"\xff\xfe\xc3\"}",
                    FakeUpdater::Ends::AfterReply, false, zvtest::kTraceError, kParse},
        GarbageCase{"InvalidUtf8Bare", "\xc3\x28\xa0\xa1", FakeUpdater::Ends::AfterReply, false, zvtest::kTraceError,
                    kParse},
        GarbageCase{"DeeplyNestedUnclosed", std::string(200000, '['), FakeUpdater::Ends::AfterReply, false,
                    zvtest::kTraceError, kParse},
        // As deep as fits one read.
        GarbageCase{"DeeplyNestedClosed", std::string(255, '[') + std::string(255, ']'),
                    FakeUpdater::Ends::AfterReply, false, zvtest::kTraceError, kFields},
        GarbageCase{"DisconnectMidReply", kConfirmed.substr(0, 20), FakeUpdater::Ends::MidReply, false,
                    zvtest::kTraceError, kParse},
        GarbageCase{"NoReplyWithinTheBound", "", FakeUpdater::Ends::WithoutReply, false, zvtest::kTraceError,
                    kEmpty}),
    [](const ::testing::TestParamInfo<GarbageCase>& info) { return std::string(info.param.name); });

// A long run of create/use/destroy cycles: the process's handles, threads
// and private bytes stay flat after warm-up.
TEST_F(Sdk, AHundredThousandOperationsLeaveHandlesThreadsAndMemoryFlat) {
    Start(zvtest::StandinHost::InprocServer);
    ASSERT_EQ(ZV_SUCCESS, sdk->Initialize());
    EventLog log;
    const unsigned kCycles = 2000;
    const unsigned kEventsPerCycle = 48;  // with the creation and destruction, 50 operations a cycle
    zvfaults::ProcessFigures warm;
    zvfaults::ProcessFigures peak;
    ULONGLONG connectionMs = 0;
    ULONGLONG eventMs = 0;
    for (unsigned cycle = 0; cycle < kCycles; ++cycle) {
        const ULONGLONG start = GetTickCount64();
        const unsigned int handle = Connect(&log);
        const ULONGLONG connected = GetTickCount64();
        control->FireEvents({{"allConnections", true}, {"status", 2}, {"window", 0}, {"count", kEventsPerCycle}});
        const ULONGLONG fired = GetTickCount64();
        // Destruction runs on the callback thread after the callbacks queued before it.
        ASSERT_EQ(ZV_SUCCESS, sdk->DestroyConnection(handle));
        connectionMs += (connected - start) + (GetTickCount64() - fired);
        eventMs += fired - connected;
        if ((cycle + 1) % 250 == 0) {
            const zvfaults::ProcessFigures now = zvfaults::SampleProcess();
            zvfaults::PrintFigures(("cycle " + std::to_string(cycle + 1)).c_str(), now);
            if (cycle + 1 == 250) warm = now;
            peak.handles = std::max(peak.handles, now.handles);
            peak.threads = std::max(peak.threads, now.threads);
            peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
        }
    }
    EXPECT_EQ(kCycles * kEventsPerCycle, log.count.load());
    std::printf("operations: %u; ms in creation and destruction %llu, in events %llu\n", kCycles * (kEventsPerCycle + 2),
                connectionMs, eventMs);
    EXPECT_LE(peak.handles, warm.handles + 32);
    EXPECT_LE(peak.threads, warm.threads + 2);
    EXPECT_LE(peak.privateBytes, warm.privateBytes + 8 * 1024 * 1024);
    EXPECT_EQ(ZV_SUCCESS, sdk->Uninitialize());
}
