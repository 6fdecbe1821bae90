// The C++ layer's ownership rules and zvcli's commands, their answers and
// refusals, against the SDK built into bin/ and the stand-in service.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ZelvarSDK.hpp"
#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "http/LoopbackServer.h"

using namespace BrennicZelvarSDK;

namespace {

std::wstring SdkPath() {
    return zvtest::ExeDirectory() + L"\\ZelvarSDK.dll";
}

// The result of the call, or ZV_SUCCESS when it did not throw.
template <class F>
ZVResult ResultOf(F call) {
    try {
        call();
        return ZV_SUCCESS;
    } catch (const zv::Error& e) {
        return e.Result();
    }
}

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(zvtest::StandinHost::InprocServer);
        ASSERT_TRUE(control != nullptr);
    }
    void TearDown() override {
        control.reset();
        CoUninitialize();
    }
    // Whether the service still holds the connection object of this handle
    // (the SDK releases it when it destroys the handle).
    bool ServiceHolds(unsigned int handle) {
        const std::string suffix = ":" + std::to_string(handle);
        for (const auto& c : control->Connections()) {
            const std::string id = c["clientId"];
            if (id.size() > suffix.size() && id.compare(id.size() - suffix.size(), suffix.size(), suffix) == 0)
                return c["alive"];
        }
        return false;
    }
    std::unique_ptr<zvtest::StandinControl> control;
};

TEST_F(WrapperTest, AMovedFromHandleOwnsNothingAndTheLastOwnerDestroysOnce) {
    zv::Sdk sdk(SdkPath());
    zv::Connection kept;
    zv::Connection movedFrom = sdk.Connect(L"PackageTest");
    const unsigned int handle = movedFrom.Handle();
    {
        zv::Connection middle = std::move(movedFrom);
        kept = std::move(middle);
    }  // neither moved-from owner destroyed the connection
    EXPECT_EQ(handle, kept.Handle());
    EXPECT_TRUE(ServiceHolds(handle));
    EXPECT_FALSE(movedFrom);
    zv::Error refused(ZV_SUCCESS, "");
    try {
        movedFrom.LogOff();
    } catch (const zv::Error& e) {
        refused = e;
    }
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, refused.Result());
    EXPECT_STREQ("LogOff", refused.Operation());

    kept.Reset();
    // The service's object also has the connection point's proxy to lose,
    // which the SDK's creator pool releases after CreateConnection returned:
    // on a busy machine that may come after the destroy.
    for (int i = 0; i < 50 && ServiceHolds(handle); ++i) Sleep(100);
    EXPECT_FALSE(ServiceHolds(handle));
    EXPECT_EQ(ZV_ERROR_INVALID_HANDLE, sdk.V1().DestroyConnection(handle));  // destroyed before
}

TEST_F(WrapperTest, HandlesThatOutliveUninitializeAndTheSdkObjectAreHarmless) {
    zv::Connection stale;
    zv::RequestContext staleContext;
    {
        zv::Sdk sdk(SdkPath());
        stale = sdk.Connect(L"PackageTest");
        staleContext = stale.CreateRequestContext(L"https://example.test/");
        sdk.Shutdown();
        EXPECT_EQ(ZV_ERROR_NOT_INITIALIZED, ResultOf([&] { staleContext.Prepare(); }));
    }  // the handles keep the DLL loaded: destroying them below must not crash
    zv::Sdk again(SdkPath());
    zv::Connection fresh = again.Connect(L"PackageTest");
    zv::RequestContext context = fresh.CreateRequestContext(L"https://example.test/");
    EXPECT_GT(context.Handle(), staleContext.Handle());
    staleContext.Reset();  // stale handles: nothing of the new cycle is touched
    stale.Reset();
    EXPECT_TRUE(ServiceHolds(fresh.Handle()));
    EXPECT_EQ(ZV_SUCCESS, ResultOf([&] { context.Prepare(); }));
}

TEST_F(WrapperTest, TheCallbackRunsOnTheSdkThreadAndStopsWithItsConnection) {
    zv::Sdk sdk(SdkPath());
    std::atomic<DWORD> thread{0};
    std::atomic<unsigned int> calls{0};
    HANDLE arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string thrown;  // what the exception handler was given, on the callback thread
    zv::SetCallbackExceptionHandler([&](const zv::StatusChange& change, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            thrown = std::to_string(change.status) + " " + e.what();
        }
    });
    zv::Connection connection = sdk.Connect(L"PackageTest", [&](const zv::StatusChange& change) {
        thread = GetCurrentThreadId();
        if (++calls == 1) throw std::runtime_error("left the callback");
        if (change.status == 7 && change.window == 42) SetEvent(arrived);
    });
    const std::string client = control->Connections().back()["clientId"];
    control->FireEvents({{"clientId", client}, {"status", 7}, {"window", 42}, {"count", 2}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrived, 10000));
    EXPECT_NE(GetCurrentThreadId(), thread.load());
    EXPECT_EQ("7 left the callback", thrown);  // the second change came after the handler had run
    zv::SetCallbackExceptionHandler({});
    connection.Reset();
    control->FireEvents({{"clientId", client}, {"status", 8}, {"window", 0}});
    // Callbacks arrive in queue order: once the later connection's has
    // arrived, one for the destroyed connection would have come first.
    ResetEvent(arrived);
    zv::Connection later = sdk.Connect(L"PackageTest", [&](const zv::StatusChange&) { SetEvent(arrived); });
    control->FireEvents({{"clientId", control->Connections().back()["clientId"]}, {"status", 1}, {"window", 0}});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(arrived, 10000));
    EXPECT_EQ(2u, calls.load());
    CloseHandle(arrived);
}

// zvcli.exe run with a command line: started at once, finished (at most a
// minute) by Finish with its exit code and standard output and error.
struct ZvcliRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out, err;
};
class ZvcliProcess {
public:
    explicit ZvcliProcess(const std::wstring& arguments,
                          const std::wstring& exe = zvtest::ExeDirectory() + L"\\zvcli.exe",
                          const std::wstring& folder = L"") {
        static int runs = 0;
        const std::wstring base = zvtest::ExeDirectory() + L"\\zvcli-run-" + std::to_wstring(++runs);
        outPath_ = base + L".out", errPath_ = base + L".err";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        STARTUPINFOW startup{};
        startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES;
        for (auto file : {std::make_pair(&startup.hStdOutput, outPath_), std::make_pair(&startup.hStdError, errPath_)})
            *file.first =
                CreateFileW(file.second.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, 0);
        std::wstring line = L"\"" + exe + L"\" " + arguments;
        if (!zvtest::StartProcess(line, TRUE, folder.empty() ? nullptr : folder.c_str(), &startup, &process_))
            process_ = {};
        CloseHandle(startup.hStdOutput);
        CloseHandle(startup.hStdError);
    }
    // A run that a failed assertion left behind is ended, not waited for.
    ~ZvcliProcess() {
        if (process_.hProcess) TerminateProcess(process_.hProcess, 1);
        Finish();
    }
    // Standard output and error so far, once `done` says so (or after 60 s: a
    // hang guard; on a loaded machine starting zvcli and the local server
    // has taken over 10 s).
    ZvcliRun WaitFor(const std::function<bool(const ZvcliRun&)>& done) const {
        ZvcliRun run;
        for (int i = 0; i < 600; ++i, Sleep(100)) {
            run.out = zvtest::ReadFileBytes(outPath_), run.err = zvtest::ReadFileBytes(errPath_);
            if (done(run)) break;
        }
        return run;
    }
    ZvcliRun Finish() {
        ZvcliRun run;
        if (process_.hProcess) {
            WaitForSingleObject(process_.hProcess, 60000);
            GetExitCodeProcess(process_.hProcess, &run.exitCode);
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
            process_ = {};
        }
        run.out = zvtest::ReadFileBytes(outPath_);
        run.err = zvtest::ReadFileBytes(errPath_);
        return run;
    }

private:
    PROCESS_INFORMATION process_{};
    std::wstring outPath_, errPath_;
};
ZvcliRun RunZvcli(const std::wstring& arguments) {
    return ZvcliProcess(arguments).Finish();
}

TEST(Zvcli, BadInputGivesOneLineOnStandardErrorAndTheExitCode) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, zvtest::UnregisterStandin());
    // Without an installation location the SDK's repair fails at once.
    zvtest::ScopedRegistryKeyIsolation machine(HKEY_LOCAL_MACHINE, zvtest::kProductInstallKey, KEY_WOW64_32KEY);
    zvtest::ScopedRegistryKeyIsolation user(HKEY_CURRENT_USER, zvtest::kProductInstallKey, KEY_WOW64_32KEY);
    struct Case {
        const wchar_t* arguments;
        DWORD exitCode;
        DWORD orExitCode = ZV_SUCCESS;  // a second acceptable code, when set
    } cases[] = {
        {L"", ZV_ERROR_INVALID_PARAMETER},
        {L"frobnicate", ZV_ERROR_INVALID_PARAMETER},
        {L"headers", ZV_ERROR_INVALID_PARAMETER},
        {L"epoch extra", ZV_ERROR_INVALID_PARAMETER},
        {L"http --timeout soon https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"http --data-file C:\\no\\such\\file https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"cert --bogus https://example.test/", ZV_ERROR_INVALID_PARAMETER},
        {L"trace maybe", ZV_ERROR_INVALID_PARAMETER},
        {L"epoch --library C:\\no\\such\\ZelvarSDK.dll", ZV_ERROR_FAILED},
        // Unregistered: a stand-in server an earlier test left running (Wine keeps it until its idle
        // time-out) still serves the class, and without the type library its interface is refused.
        {L"epoch", ZV_ERROR_SERVICE_UNAVAILABLE, ZV_ERROR_FAILED},
    };
    for (const Case& c : cases) {
        ZvcliRun run = RunZvcli(c.arguments);
        SCOPED_TRACE(run.err);
        EXPECT_TRUE(run.exitCode == c.exitCode || (c.orExitCode && run.exitCode == c.orExitCode))
            << run.exitCode << " from zvcli " << std::string(c.arguments, c.arguments + wcslen(c.arguments));
        EXPECT_EQ(0u, run.err.rfind("zvcli: ", 0));
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n'));
    }
    CoUninitialize();
}

// A ZelvarSDK.dll planted in the current directory is never loaded: zvcli,
// alone in its folder, finds no library (a decoy without the QueryInterface
// export would fail later, at GetProcAddress); a path given is loaded as given.
TEST(Zvcli, TheLibraryComesFromTheProgramsFolderNeverFromTheCurrentDirectory) {
    const std::wstring bin = zvtest::ExeDirectory(), app = bin + L"\\zvcli-alone", cwd = bin + L"\\zvcli-planted";
    CreateDirectoryW(app.c_str(), nullptr);
    CreateDirectoryW(cwd.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((bin + L"\\zvcli.exe").c_str(), (app + L"\\zvcli.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((bin + L"\\ZelvarSvrPS.dll").c_str(), (cwd + L"\\ZelvarSDK.dll").c_str(), FALSE));
    const std::pair<std::wstring, std::string> cases[] = {
        {L"version", "zvcli: LoadLibrary failed: ZV_ERROR_FAILED (65526)\n"},
        {L"version --library \"" + cwd + L"\\ZelvarSDK.dll\"",
         "zvcli: GetProcAddress(QueryInterface) failed: ZV_ERROR_FAILED (65526)\n"},
    };
    for (const auto& c : cases) {
        ZvcliRun run = ZvcliProcess(c.first, app + L"\\zvcli.exe", cwd).Finish();
        EXPECT_EQ(ZV_ERROR_FAILED, run.exitCode);
        EXPECT_EQ(c.second, run.err);
    }
}

// Whether `value` has the shape the page's schema gives it: every field
// there, of its type, and no field the page does not name.
void ExpectShape(const zvtest::Json& schema, const zvtest::Json& value, const std::string& where) {
    if (schema.is_string()) {
        const std::string types = "|" + schema.get<std::string>() + "|", type = value.type_name();
        EXPECT_NE(std::string::npos, types.find("|" + type + "|")) << where << " is " << value.dump();
    } else if (schema.is_array()) {
        ASSERT_TRUE(value.is_array()) << where;
        for (size_t i = 0; i < value.size(); ++i) ExpectShape(schema[0], value[i], where + "/" + std::to_string(i));
    } else {
        ASSERT_TRUE(value.is_object()) << where << " is " << value.dump();
        std::set<std::string> named;
        for (const auto& field : schema.items()) {
            std::string name = field.key();
            const bool nullable = name.back() == '?';
            if (nullable) name.pop_back();
            named.insert(name);
            ASSERT_TRUE(value.contains(name)) << where << "/" << name << " is missing";
            if (!(nullable && value[name].is_null())) ExpectShape(field.value(), value[name], where + "/" + name);
        }
        for (const auto& field : value.items())
            EXPECT_TRUE(named.count(field.key())) << where << "/" << field.key() << " is not in docs/zvcli.md";
    }
}

// The "zvcli-schema" block of zvcli's page (copied beside the tests).
zvtest::Json PageSchema() {
    const std::string page = zvtest::ReadFileBytes(zvtest::ExeDirectory() + L"\\zvcli.md");
    const size_t start = page.find("```json zvcli-schema\n");
    const size_t end = page.find("```", start + 4);
    if (start == std::string::npos || end == std::string::npos) return zvtest::Json();
    return zvtest::Json::parse(page.substr(start + 21, end - start - 21), nullptr, false);
}

std::string HexUpper(const std::vector<BYTE>& bytes) {
    std::string text;
    for (BYTE b : bytes) text += "0123456789ABCDEF"[b >> 4], text += "0123456789ABCDEF"[b & 15];
    return text;
}
std::string FromBase64(const std::string& text) {
    DWORD size = 0;
    CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr);
    std::string bytes(size, '\0');
    CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(&bytes[0]), &size, nullptr,
                         nullptr);
    bytes.resize(size);
    return bytes;
}

class ZvcliCommands : public ::testing::TestWithParam<zvtest::StandinHost> {};

// Every command on its success path, in human and JSON form: exit code 0, a
// line of the human output, the JSON in the page's schema with the values
// the stand-in and the loopback server really have, and (local server) the
// service's method really called.
TEST_P(ZvcliCommands, EveryCommandPrintsWhatTheServiceAndTheServerHave) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));  // for the test's life
    const zvtest::LoopbackServer& server = zvtest::LoopbackServer::Get();
    ASSERT_FALSE(server.https.empty());
    const zvtest::Json schema = PageSchema();
    ASSERT_TRUE(schema.is_object());
    zvtest::ScopedRegistryKeyIsolation machineSwitch(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Zelvar");
    zvtest::ScopedRegistryKeyIsolation userSwitch(HKEY_CURRENT_USER, L"SOFTWARE\\Brennic\\Zelvar");
    auto control = zvtest::StartStandin(GetParam());
    ASSERT_TRUE(control != nullptr);
    const bool local = GetParam() == zvtest::StandinHost::LocalServer;
    using Json = zvtest::Json;
    const std::string sha1 = HexUpper(server.serverSha1), app = " https://app.example.test/";
    struct Case {
        std::string command;    // its arguments after the command's name (in the schema)
        std::string values;     // JSON: every value in it must be in the command's document
        std::string humanLine;  // a line of the human output
        const char* method;     // the service's method that answers it
    } cases[] = {
        // clang-format off
        {"status", R"({"service": {"version": "12.0.0.1", "result": 0}, "library": {"version": "1.0.0.0"},
                      "serviceClass": {"registered": true}, "tracing": {"enabled": false}})",
         "service:                 version 12.0.0.1", "GetVersion"},
        {"headers" + app, R"({"authenticationResult": 0, "headers": ["Authorization: Bearer standin-token",
                           "X-Zelvar-Standin: 1"]})", "Authorization: Bearer standin-token", "Prepare"},
        {"http " + zvtest::Utf8(server.https) + "/fixed", R"({"statusCode": 200, "reasonPhrase": "OK",
         "trustFailureFlags": 8})", "", "SendRequestAndReceiveResponse"},
        {"cert " + zvtest::Utf8(server.https) + "/fixed", R"({"trustFailureFlags": 8, "certificate": {"sha1": ")" + sha1 +
         R"("}})", "sha1:       " + sha1, "GetServerCertificate"},
        {"epoch", R"({"epoch": 1})", "authentication epoch: 1", "GetAuthEpoch"},
        {"token", R"({"token": "standin-secondary-token"})", "secondary token: standin-secondary-token",
         "GetSecondaryToken"},
        {"trampoline" + app, R"({"authenticationResult": 13, "url":
         "https://trampoline.zelvar.test/go?target=https://app.example.test/"})",
         "trampoline url: https://trampoline.zelvar.test/go?target=https://app.example.test/", "GenerateTrampolineUrl"},
        {"version", R"({"serviceVersion": "12.0.0.1"})", "service version: 12.0.0.1", "GetVersion"},
        {"logon-status", R"({"logonStatus": 1})", "logon status: 1", "GetLogonStatus"},
        {"server-type" + app, R"({"serverType": 1})", "server type: 1", "DetermineServerType"},
        {"logoff", R"({"loggedOff": true})", "logged off", "LogOff"},
        {"trace on", R"({"userSwitch": "true", "enabled": true, "folderExists": true})",
         "user tracing switch set to true", nullptr},
        {"trace off", R"({"userSwitch": "false", "enabled": false})",
         "tracing is now off for programs that initialise the SDK", nullptr},
        // Wine cannot marshal the cookie records across processes: the in-process host only.
        {local ? "" : "cookies zelvar.test", R"({"domain": "zelvar.test", "cookies": [{"string1": "ZVSESSION",
         "string2": "standin-session", "string3": ".zelvar.test", "flag1": true, "flag2": false}]})", "1 cookie(s)",
         nullptr},
        // clang-format on
    };
    std::set<std::string> tested = {"watch", "cookies"};  // watch: the test below
    for (const Case& c : cases) {
        if (c.command.empty()) continue;
        const std::string command = c.command.substr(0, c.command.find(' '));
        tested.insert(command);
        SCOPED_TRACE(c.command);
        const unsigned calls = c.method && local ? control->CallCount(c.method) : 0;
        const std::wstring arguments(c.command.begin(), c.command.end());
        ZvcliRun human = RunZvcli(arguments), json = RunZvcli(arguments + L" --json");
        EXPECT_EQ(0u, human.exitCode) << human.err;
        EXPECT_EQ(0u, json.exitCode) << json.err;
        EXPECT_NE(std::string::npos, human.out.find(c.humanLine + "\n")) << human.out;
        Json document = Json::parse(json.out, nullptr, false);
        ASSERT_TRUE(document.is_object()) << json.out;
        ExpectShape(schema[command], document, command);
        const Json expected = Json::parse(c.values).flatten();
        for (const auto& value : expected.items()) {
            EXPECT_EQ(value.value(), document.value(Json::json_pointer(value.key()), Json())) << value.key();
        }
        if (c.method && local) {
            EXPECT_EQ(calls + 2, control->CallCount(c.method)) << c.method;
        }
        if (command == "http") {  // the body, whole, in both forms
            std::string sha;
            for (const std::string h : document["headers"])
                if (h.rfind("X-Body-SHA256: ", 0) == 0) sha = h.substr(15);
            EXPECT_EQ(64u, sha.size());
            EXPECT_EQ(sha, zvtest::Sha256::Of(FromBase64(document["bodyBase64"])));
            EXPECT_EQ(sha, zvtest::Sha256::Of(human.out));
            EXPECT_EQ(0u, human.err.rfind("HTTP 200 OK\n", 0)) << human.err;
        }
    }
    std::set<std::string> documented;
    for (const auto& command : schema.items()) documented.insert(command.key());
    EXPECT_EQ(documented, tested);

    // A switch of the wrong type is named as such and counts as not set (the user's "true" decides).
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brennic\\Zelvar", L"SDKTracingEnabled",
                                             REG_DWORD, &one, sizeof one));
    RunZvcli(L"trace on");
    ZvcliRun human = RunZvcli(L"status");
    EXPECT_NE(std::string::npos, human.out.find("tracing switch (machine): REG_DWORD 1 (wrong type")) << human.out;
    Json document = Json::parse(RunZvcli(L"status --json").out, nullptr, false);
    const Json expected = Json::parse(R"({"machineSwitch": null, "machineSwitchType": "REG_DWORD",
        "userSwitch": "true", "userSwitchType": "REG_SZ", "enabled": true})");
    for (const auto& value : expected.items()) {
        EXPECT_EQ(value.value(), document["tracing"][value.key()]) << value.key();
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, ZvcliCommands,
                         ::testing::Values(zvtest::StandinHost::LocalServer, zvtest::StandinHost::InprocServer),
                         zvtest::HostName());

BOOL WINAPI IgnoreConsoleControl(DWORD) {
    return TRUE;
}

// watch prints the changes the service raises, in order, and ends after N of
// them, on the console's Ctrl+C, and when the service's process goes away.
TEST(ZvcliWatch, PrintsTheChangesInOrderAndEndsOnCountCtrlCAndTheServiceGoingAway) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const zvtest::Json schema = PageSchema();
    // Under Wine a program started without a terminal has no console (the
    // event would fail with error 12): one of its own, which zvcli inherits,
    // carries the Ctrl+C. The test handles it by doing nothing (ignoring it
    // with a null handler would be inherited by zvcli).
    FreeConsole();
    ASSERT_TRUE(AllocConsole()) << GetLastError();
    SetConsoleCtrlHandler(&IgnoreConsoleControl, TRUE);
    enum class End { Count, CtrlC, ServiceGone };
    const struct {
        End end;
        std::wstring arguments;
        DWORD exitCode;
        std::string lastError;  // standard error after the "watching" line
    } cases[] = {{End::Count, L"watch --json --count 3", 0, ""},
                 {End::CtrlC, L"watch --json", 0, ""},
                 {End::ServiceGone, L"watch", ZV_ERROR_SERVICE_UNAVAILABLE,
                  "zvcli: GetVersion failed: ZV_ERROR_SERVICE_UNAVAILABLE (65528)\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(zvtest::Utf8(c.arguments));
        auto control = zvtest::StartStandin(zvtest::StandinHost::LocalServer);
        ASSERT_TRUE(control != nullptr);
        ZvcliProcess watch(c.arguments);
        // It says so once its connection has its sink.
        const auto watching = [](const ZvcliRun& r) { return r.err.find("zvcli: watching") != std::string::npos; };
        ASSERT_TRUE(watching(watch.WaitFor(watching)));
        zvtest::Json fired = control->FireEvents(
            {{"allConnections", true}, {"status", 5}, {"window", 9}, {"count", 3}, {"incrementStatus", true}});
        EXPECT_EQ(3, fired.value("delivered", 0)) << fired.dump();
        const std::string printed =
            watch.WaitFor([](const ZvcliRun& r) { return std::count(r.out.begin(), r.out.end(), '\n') >= 3; }).out;
        if (c.end == End::CtrlC) {
            EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
        } else if (c.end == End::ServiceGone) {
            EXPECT_TRUE(control->Shutdown());
        }
        control.reset();
        ZvcliRun run = watch.Finish();
        EXPECT_EQ(c.exitCode, run.exitCode) << run.err;
        EXPECT_EQ(c.lastError, run.err.substr(run.err.find('\n') + 1));
        EXPECT_EQ(printed, run.out);  // nothing after the end
        std::vector<unsigned> statuses;
        size_t at = 0;
        for (size_t next; (next = run.out.find('\n', at)) != std::string::npos; at = next + 1) {
            const std::string line = run.out.substr(at, next - at);
            if (c.arguments.find(L"--json") == std::wstring::npos) {
                unsigned status = 0, window = 0;
                EXPECT_EQ(2, sscanf(line.c_str(), "%*s connection %*u status %u window %u", &status, &window)) << line;
                statuses.push_back(status);
                EXPECT_EQ(9u, window);
                continue;
            }
            zvtest::Json document = zvtest::Json::parse(line, nullptr, false);
            ExpectShape(schema["watch"], document, "watch");
            statuses.push_back(document.value("status", 0u));
            EXPECT_EQ(9, document.value("window", 0));
        }
        EXPECT_EQ(std::vector<unsigned>({5, 6, 7}), statuses) << run.out;
    }
    CoUninitialize();
}

}  // namespace
