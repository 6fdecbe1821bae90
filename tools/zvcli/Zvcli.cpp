// zvcli: the SDK's command-line client. One subcommand per capability; the
// exit code is 0 on success and otherwise the failed operation's ZVResult
// (65531, ZV_ERROR_INVALID_PARAMETER, for a command line it cannot use).
// Every failure is one line on standard error.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "MachineFacts.h"
#include "ZelvarSDK.hpp"

using Json = nlohmann::ordered_json;
using namespace BrennicZelvarSDK;

namespace {

// A command line zvcli cannot use.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void Write(FILE* stream, const std::string& bytes) {
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}
void Line(const std::string& text) {
    Write(stdout, text + "\n");
}

std::string Hex(unsigned int value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string UtcTime(const FILETIME& time) {
    SYSTEMTIME t;
    if (!FileTimeToSystemTime(&time, &t)) return "?";
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return text;
}

// The parsed command line of one subcommand.
struct Args {
    std::vector<std::wstring> positional;
    std::map<std::wstring, std::vector<std::wstring>> options;  // by name, in order given
    bool json = false;
    std::wstring library;
    std::wstring client = L"zvcli";

    bool Has(const wchar_t* name) const { return options.count(name) != 0; }
    std::wstring Value(const wchar_t* name, const std::wstring& fallback = L"") const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second.back();
    }
    unsigned int Number(const wchar_t* name, unsigned int fallback) const {
        if (!Has(name)) return fallback;
        std::wstring text = Value(name);
        wchar_t* end = nullptr;
        errno = 0;
        unsigned long long value = wcstoull(text.c_str(), &end, 0);
        if (text.empty() || *end || errno || value > 0xFFFFFFFFull || text[0] == L'-') {
            throw UsageError("--" + Utf8(name) + " needs a number, not \"" + Utf8(text) + "\"");
        }
        return static_cast<unsigned int>(value);
    }
};

struct Command {
    const wchar_t* name;
    const char* usage;    // after "zvcli NAME"
    const char* summary;  // one line
    const char* details;  // what it prints
    size_t minPositional, maxPositional;
    std::vector<std::wstring> valueOptions;  // options that take a value
    std::vector<std::wstring> flagOptions;
    std::function<int(const Args&)> run;
};

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

// The library zvcli loads: the one given, else the one in zvcli's own folder
// (the C++ layer's default search: the program's folder and System32, never
// the current directory or PATH).
std::wstring LibraryPath(const Args& args) {
    return args.library.empty() ? ExeFolder() + L"\\ZelvarSDK.dll" : args.library;
}

// What every service command starts with: the SDK and a connection.
struct Session {
    zv::Sdk sdk;
    zv::Connection connection;
    Session(const Args& args, zv::StatusCallback callback = {})
        : sdk(args.library.empty() ? zv::Sdk() : zv::Sdk(args.library)),
          connection(sdk.Connect(args.client, std::move(callback))) {}
};

void Print(const Args& args, const Json& json, const std::function<void()>& human) {
    if (args.json) {
        Line(json.dump(2));
    } else {
        human();
    }
}

Json Strings(const std::vector<std::wstring>& list) {
    Json out = Json::array();
    for (const auto& s : list) out.push_back(Utf8(s));
    return out;
}

std::vector<unsigned char> ReadWholeFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw UsageError("cannot read \"" + Utf8(path) + "\" (error " + std::to_string(GetLastError()) + ")");
    }
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    CloseHandle(file);
    return bytes;
}

// ---- the subcommands ----

int Status(const Args& args) {
    const std::wstring library = LibraryPath(args);
    auto machineClass = zvcli::ClassServer(HKEY_LOCAL_MACHINE);
    auto userClass = zvcli::ClassServer(HKEY_CURRENT_USER);
    DWORD pipeError = 0;
    bool pipe = zvcli::UpdaterPipeListening(&pipeError);
    const zvcli::SwitchValue machineValue = zvcli::ReadTracingSwitch(HKEY_LOCAL_MACHINE);
    const zvcli::SwitchValue userValue = zvcli::ReadTracingSwitch(HKEY_CURRENT_USER);
    const auto& machineSwitch = machineValue.text;
    const auto& userSwitch = userValue.text;
    std::wstring folder = zvcli::TraceFolder();
    auto newest = zvcli::NewestTraceFile(folder);
    auto text = [](const std::optional<std::wstring>& v) { return v ? Json(Utf8(*v)) : Json(nullptr); };

    Json json;
    json["library"] = {{"path", Utf8(library)}, {"version", text(zvcli::FileVersion(library))}};
    json["serviceClass"] = {
        {"registered", machineClass || userClass}, {"machine", text(machineClass)}, {"user", text(userClass)}};
    json["installLocation"] = {{"user", text(zvcli::InstallDirectory(HKEY_CURRENT_USER))},
                               {"machine", text(zvcli::InstallDirectory(HKEY_LOCAL_MACHINE))}};
    json["updaterPipe"] = {{"name", Utf8(zvcli::kUpdaterPipeName)},
                           {"listening", pipe},
                           {"error", pipe ? Json(nullptr) : Json(pipeError)}};
    json["tracing"] = {{"machineSwitch", text(machineSwitch)},
                       {"machineSwitchType", text(machineValue.type)},
                       {"userSwitch", text(userSwitch)},
                       {"userSwitchType", text(userValue.type)},
                       {"enabled", zvcli::TracingEffective(machineSwitch, userSwitch)},
                       {"folder", Utf8(folder)},
                       {"folderExists", zvcli::FolderExists(folder)},
                       {"newestFile", text(newest)}};

    // The service itself, only when its class is registered: connecting to an
    // unregistered class would make the SDK repair the registration.
    ZVResult result = ZV_SUCCESS;
    std::string failure;
    Json service = {{"contacted", false}, {"version", nullptr}, {"result", 0}, {"error", nullptr}};
    if (machineClass || userClass) {
        service["contacted"] = true;
        try {
            Session session(args);
            service["version"] = Utf8(session.connection.Version());
        } catch (const zv::Error& e) {
            result = e.Result();
            failure = e.what();
        }
    } else {
        result = ZV_ERROR_SERVICE_UNAVAILABLE;
        failure = "the service's class is not registered";
    }
    if (result != ZV_SUCCESS) {
        service["result"] = result;
        service["error"] = failure;
    }
    json["service"] = service;

    Print(args, json, [&] {
        auto show = [](const Json& v, const char* none) {
            return v.is_null() ? std::string(none) : v.get<std::string>();
        };
        Line("library:                 " + json["library"]["path"].get<std::string>());
        Line("library version:         " + show(json["library"]["version"], "(no version resource)"));
        Line("service class (machine): " + show(json["serviceClass"]["machine"], "not registered"));
        Line("service class (user):    " + show(json["serviceClass"]["user"], "not registered"));
        Line("install location (user): " + show(json["installLocation"]["user"], "not set"));
        Line("install location (machine): " + show(json["installLocation"]["machine"], "not set"));
        Line("updater pipe:            " +
             (pipe ? std::string("listening") : "not listening (error " + std::to_string(pipeError) + ")"));
        // A value of another type than text is ignored by the SDK: say so.
        auto shownSwitch = [&](const zvcli::SwitchValue& v) {
            if (v.text) return Utf8(*v.text);
            if (v.type == std::wstring(L"REG_SZ") || v.type == std::wstring(L"REG_EXPAND_SZ"))
                return Utf8(v.shown) + " empty (counts as not set)";
            if (v.type) return Utf8(v.shown) + " (wrong type: the SDK reads only text, so it counts as not set)";
            return std::string("not set");
        };
        Line("tracing switch (machine): " + shownSwitch(machineValue));
        Line("tracing switch (user):   " + shownSwitch(userValue));
        Line(std::string("tracing:                 ") + (json["tracing"]["enabled"].get<bool>() ? "on" : "off"));
        Line("trace folder:            " + Utf8(folder) + (zvcli::FolderExists(folder) ? "" : " (missing)"));
        Line("newest trace file:       " + show(json["tracing"]["newestFile"], "none"));
        if (service["version"].is_string()) {
            Line("service:                 version " + service["version"].get<std::string>());
        } else {
            Line("service:                 " + (failure.empty() ? std::string("not contacted") : failure));
        }
    });
    if (result != ZV_SUCCESS) Write(stderr, "zvcli: " + failure + "\n");
    return static_cast<int>(result);
}

int Headers(const Args& args) {
    Session session(args);
    zv::RequestContext context = session.connection.CreateRequestContext(args.positional[0], args.Number(L"flags", 0));
    std::vector<std::wstring> strings = args.Has(L"string") ? args.options.at(L"string") : std::vector<std::wstring>();
    unsigned int authentication = context.Prepare(strings);
    std::vector<std::wstring> headers = context.Headers();
    Json json = {
        {"url", Utf8(args.positional[0])}, {"authenticationResult", authentication}, {"headers", Strings(headers)}};
    Print(args, json, [&] {
        Line("authentication result: " + std::to_string(authentication));
        for (const auto& h : headers) Line(Utf8(h));
    });
    return 0;
}

std::string Base64(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned int n = bytes[i] << 16;
        if (i + 1 < bytes.size()) n |= bytes[i + 1] << 8;
        if (i + 2 < bytes.size()) n |= bytes[i + 2];
        out += digits[(n >> 18) & 63];
        out += digits[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[n & 63] : '=';
    }
    return out;
}

int Http(const Args& args) {
    std::vector<unsigned char> data;
    if (args.Has(L"data-file")) data = ReadWholeFile(args.Value(L"data-file"));
    Session session(args);
    zv::HttpRequest request = session.connection.CreateHttpRequest();
    request.SetMethod(args.Value(L"method", args.Has(L"data-file") ? L"POST" : L"GET"));
    request.SetUrl(args.positional[0]);
    if (args.Has(L"header")) {
        for (const auto& h : args.options.at(L"header")) request.AddHeader(h);
    }
    if (args.Has(L"timeout")) request.SetTimeoutSeconds(args.Number(L"timeout", 0));
    if (!data.empty()) request.SetData(data);
    request.Send();

    unsigned int status = request.StatusCode();
    std::wstring reason = request.ReasonPhrase();
    std::vector<std::wstring> headers = request.Headers();
    unsigned int trust = request.TrustFailureFlags();
    if (args.json) {
        std::vector<unsigned char> body = request.ReadAll();
        Json json = {{"statusCode", status},       {"reasonPhrase", Utf8(reason)}, {"headers", Strings(headers)},
                     {"trustFailureFlags", trust}, {"bodyLength", body.size()},    {"bodyBase64", Base64(body)}};
        Line(json.dump(2));
        return 0;
    }
    std::string head = "HTTP " + std::to_string(status) + " " + Utf8(reason) + "\n";
    for (const auto& h : headers) head += Utf8(h) + "\n";
    Write(stderr, head);
    _setmode(_fileno(stdout), _O_BINARY);
    unsigned char buffer[64 * 1024];
    while (unsigned int got = request.Read(buffer, sizeof buffer)) {
        fwrite(buffer, 1, got, stdout);
    }
    fflush(stdout);
    return 0;
}

std::string HexBytes(const std::vector<unsigned char>& bytes) {
    std::string out;
    char two[3];
    for (unsigned char b : bytes) {
        snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

int Cert(const Args& args) {
    Session session(args);
    zv::ServerCertificate server = session.connection.GetServerCertificate(args.positional[0]);
    Json json = {{"url", Utf8(args.positional[0])}, {"trustFailureFlags", server.trustFailureFlags}};
    if (server.certificate) {
        const zv::Certificate& c = server.certificate;
        json["certificate"] = {{"subject", Utf8(c.Subject())},
                               {"issuer", Utf8(c.Issuer())},
                               {"notBefore", UtcTime(c.NotBefore())},
                               {"notAfter", UtcTime(c.NotAfter())},
                               {"sha1", HexBytes(c.Sha1Thumbprint())}};
    } else {
        json["certificate"] = nullptr;
    }
    Print(args, json, [&] {
        if (server.certificate) {
            const Json& c = json["certificate"];
            Line("subject:    " + c["subject"].get<std::string>());
            Line("issuer:     " + c["issuer"].get<std::string>());
            Line("validity:   " + c["notBefore"].get<std::string>() + " to " + c["notAfter"].get<std::string>());
            Line("sha1:       " + c["sha1"].get<std::string>());
        } else {
            Line("certificate: none");
        }
        Line("trust failure flags: " + Hex(server.trustFailureFlags));
    });
    return 0;
}

int Cookies(const Args& args) {
    Session session(args);
    std::vector<zv::Cookie> cookies = session.connection.CookiesForDomain(args.positional[0]);
    Json list = Json::array();
    for (const auto& c : cookies) {
        list.push_back({{"string1", Utf8(c.string1)},
                        {"string2", Utf8(c.string2)},
                        {"string3", Utf8(c.string3)},
                        {"string4", Utf8(c.string4)},
                        {"flag1", c.flag1},
                        {"flag2", c.flag2},
                        {"flag3", c.flag3},
                        {"flag4", c.flag4},
                        {"value64", c.value64},
                        {"value32", c.value32}});
    }
    Json json = {{"domain", Utf8(args.positional[0])}, {"cookies", list}};
    Print(args, json, [&] {
        Line(std::to_string(cookies.size()) + " cookie(s)");
        for (const auto& c : list) {
            std::string line;
            for (const auto& item : c.items())
                line += (line.empty() ? "" : " ") + item.key() + "=" + item.value().dump();
            Line(line);
        }
    });
    return 0;
}

int Epoch(const Args& args) {
    Session session(args);
    unsigned int epoch = session.connection.AuthEpoch();
    Print(args, {{"epoch", epoch}}, [&] { Line("authentication epoch: " + std::to_string(epoch)); });
    return 0;
}

int Token(const Args& args) {
    Session session(args);
    zv::HttpRequest request = session.connection.CreateHttpRequest();
    if (!args.positional.empty()) {
        request.SetUrl(args.positional[0]);
        request.Send();
    }
    std::wstring token = request.SecondaryToken();
    Print(args, {{"token", Utf8(token)}}, [&] { Line("secondary token: " + Utf8(token)); });
    return 0;
}

int Trampoline(const Args& args) {
    Session session(args);
    std::wstring parameter = args.Value(L"parameter");
    zv::AuthenticatedString out =
        session.connection.GenerateTrampolineUrl(args.positional[0], args.Number(L"options", 0),
                                                 args.Has(L"parameter") ? zv::OptionalString(parameter) : nullptr);
    Json json = {{"authenticationResult", out.authenticationResult},
                 {"url", out.value ? Json(Utf8(*out.value)) : Json(nullptr)}};
    Print(args, json, [&] {
        Line("authentication result: " + std::to_string(out.authenticationResult));
        Line("trampoline url: " + (out.value ? Utf8(*out.value) : std::string("(none)")));
    });
    return 0;
}

int Logoff(const Args& args) {
    Session session(args);
    if (args.Has(L"auth-service")) {
        session.connection.LogOffAuthService(args.Value(L"auth-service"));
    } else {
        session.connection.LogOff();
    }
    Print(args, {{"loggedOff", true}}, [] { Line("logged off"); });
    return 0;
}

int Version(const Args& args) {
    Session session(args);
    std::wstring version = session.connection.Version();
    Print(args, {{"serviceVersion", Utf8(version)}}, [&] { Line("service version: " + Utf8(version)); });
    return 0;
}

int LogonStatus(const Args& args) {
    Session session(args);
    unsigned int status = session.connection.LogonStatus(
        args.positional.empty() ? zv::OptionalString() : zv::OptionalString(args.positional[0]));
    Print(args, {{"logonStatus", status}}, [&] { Line("logon status: " + std::to_string(status)); });
    return 0;
}

int ServerType(const Args& args) {
    Session session(args);
    zv::ServerType type = session.connection.DetermineServerType(args.positional[0]);
    Json json = {{"serverType", type.serverType}, {"gateway", nullptr}};
    if (type.gateway) {
        auto text = [](const std::optional<std::wstring>& v) { return v ? Json(Utf8(*v)) : Json(nullptr); };
        json["gateway"] = {
            {"gatewayString", text(type.gateway->gatewayString)},
            {"gatewayUrl", text(type.gateway->gatewayUrl)},
            {"values", {type.gateway->gatewayValue1, type.gateway->gatewayValue2, type.gateway->gatewayValue3}}};
    }
    Print(args, json, [&] {
        Line("server type: " + std::to_string(type.serverType));
        if (type.gateway) Line("gateway: " + json["gateway"].dump());
    });
    return 0;
}

int Trace(const Args& args) {
    const std::wstring& state = args.positional[0];
    if (state != L"on" && state != L"off") throw UsageError("trace takes on or off, not \"" + Utf8(state) + "\"");
    bool on = state == L"on";
    LONG error = zvcli::WriteUserTracingSwitch(on);
    if (error != ERROR_SUCCESS) {
        Write(stderr, "zvcli: cannot write the user's tracing switch (error " + std::to_string(error) + ")\n");
        return static_cast<int>(ZV_ERROR_FAILED);
    }
    // Without the folder the SDK traces to the debugger output instead of a file.
    std::wstring folder = zvcli::TraceFolder();
    bool folderExists = on ? zvcli::CreateFolder(folder) : zvcli::FolderExists(folder);
    bool effective =
        zvcli::TracingEffective(zvcli::TracingSwitch(HKEY_LOCAL_MACHINE), zvcli::TracingSwitch(HKEY_CURRENT_USER));
    Json json = {{"userSwitch", on ? "true" : "false"},
                 {"enabled", effective},
                 {"folder", Utf8(folder)},
                 {"folderExists", folderExists}};
    Print(args, json, [&] {
        Line(std::string("user tracing switch set to ") + (on ? "true" : "false"));
        Line(std::string("tracing is now ") + (effective ? "on" : "off") + " for programs that initialise the SDK" +
             (effective != on ? " (the machine's switch decides)" : ""));
        Line("trace folder: " + Utf8(folder));
    });
    return 0;
}

HANDLE g_stop = nullptr;
BOOL WINAPI OnConsoleControl(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

int Watch(const Args& args) {
    const unsigned int seconds = args.Number(L"seconds", 0);
    const unsigned int limit = args.Number(L"count", 0);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    std::atomic<unsigned int> seen{0};
    const bool json = args.json;
    // Runs on the SDK's callback thread.
    auto print = [&](const zv::StatusChange& change) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        FILETIME time;
        SystemTimeToFileTime(&now, &time);
        if (json) {
            Line(Json({{"time", UtcTime(time)},
                       {"connection", change.connectionHandle},
                       {"status", change.status},
                       {"window", change.window}})
                     .dump());
        } else {
            Line(UtcTime(time) + " connection " + std::to_string(change.connectionHandle) + " status " +
                 std::to_string(change.status) + " window " + std::to_string(change.window));
        }
        if (limit && ++seen >= limit) SetEvent(g_stop);
    };
    Session session(args, print);
    Write(stderr, "zvcli: watching connection " + std::to_string(session.connection.Handle()) + " (Ctrl+C to stop)\n");
    // The service announces no end of its own: once a second it is asked for
    // its version, and a failure (the process is gone) ends the watch with
    // that operation's result. The calls also keep an idle service running.
    const ULONGLONG deadline = seconds ? GetTickCount64() + seconds * 1000ull : 0;
    for (;;) {
        DWORD wait = 1000;
        if (deadline) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            wait = static_cast<DWORD>(deadline - now < wait ? deadline - now : wait);
        }
        if (WaitForSingleObject(g_stop, wait) == WAIT_OBJECT_0) break;
        session.connection.Version();
    }
    session.connection.Reset();  // no callback runs after this
    CloseHandle(g_stop);
    return 0;
}

std::vector<Command> Commands() {
    return {
        {L"status",
         "",
         "what the SDK and the service look like on this machine",
         "The library's path and version, the service's class registration (machine, user), the installation "
         "locations, whether the updater pipe listens, the tracing switches and folder, and the service's version. "
         "The service is contacted only when its class is registered.",
         0,
         0,
         {},
         {},
         Status},
        {L"headers",
         "URL [--string S]... [--flags N]",
         "authenticate a request for URL and print its header lines",
         "Creates a request context for URL, has the service prepare it (with the strings given), and prints the "
         "authentication result and the header lines to add to the request.",
         1,
         1,
         {L"string", L"flags"},
         {},
         Headers},
        {L"http",
         "[--method M] [--header H]... [--data-file F] [--timeout S] URL",
         "perform an HTTP request through the service",
         "The body goes to standard output as raw bytes; the status line and the response headers go to standard "
         "error. --data-file sends the file as the body (the method is then POST unless given).",
         1,
         1,
         {L"method", L"header", L"data-file", L"timeout"},
         {},
         Http},
        {L"cert",
         "URL",
         "the server certificate the service sees for URL",
         "Subject, issuer, validity (UTC) and SHA-1 thumbprint (hex, upper case) on one line each, and the "
         "trust-failure flags.",
         1,
         1,
         {},
         {},
         Cert},
        {L"cookies",
         "DOMAIN",
         "the service's cookies for DOMAIN",
         "One line per cookie with its fields.",
         1,
         1,
         {},
         {},
         Cookies},
        {L"epoch", "", "the service's authentication epoch", "Prints the epoch number.", 0, 0, {}, {}, Epoch},
        {L"token",
         "[URL]",
         "a secondary token from an HTTP request",
         "Creates an HTTP request (sent to URL when given) and prints its secondary token.",
         0,
         1,
         {},
         {},
         Token},
        {L"trampoline",
         "URL [--options N] [--parameter P]",
         "generate a trampoline URL for URL",
         "Prints the authentication result and the trampoline URL (handed out for result 13 only).",
         1,
         1,
         {L"options", L"parameter"},
         {},
         Trampoline},
        {L"logoff",
         "[--auth-service NAME]",
         "log off from the service (or from one authentication service)",
         "Logs the user off.",
         0,
         0,
         {L"auth-service"},
         {},
         Logoff},
        {L"version", "", "the service's version", "Prints the version the service reports.", 0, 0, {}, {}, Version},
        {L"logon-status",
         "[AUTH_SERVICE]",
         "the logon status",
         "Prints the logon status the service reports.",
         0,
         1,
         {},
         {},
         LogonStatus},
        {L"server-type",
         "URL",
         "the kind of server behind URL",
         "Prints the server type and its gateway, if any.",
         1,
         1,
         {},
         {},
         ServerType},
        {L"trace",
         "on|off",
         "turn the SDK's tracing on or off for this user",
         "Writes HKCU\\SOFTWARE\\Brennic\\Zelvar \"SDKTracingEnabled\" and, for on, creates the trace folder. "
         "Programs pick the switch up when they initialise the SDK.",
         1,
         1,
         {},
         {},
         Trace},
        {L"watch",
         "[--seconds N] [--count N]",
         "print the service's status changes until interrupted",
         "Opens a connection and prints each status change (time, connection, status, window) as it arrives on the "
         "SDK's callback thread; stops on Ctrl+C, after N seconds or after N changes.",
         0,
         0,
         {L"seconds", L"count"},
         {},
         Watch},
    };
}

const char kGlobalOptions[] =
    "Options for every command:\n"
    "  --json            machine-readable output (JSON) on standard output\n"
    "  --library PATH    the ZelvarSDK.dll to load (default: the one beside zvcli.exe)\n"
    "  --client NAME     the client name given to the service (default: zvcli)\n"
    "  --help            this text, or the command's own help after the command\n"
    "  --version         zvcli's own version (alone)\n"
    "\n"
    "Exit code: 0 on success, otherwise the failed operation's ZVResult (65531 for a bad command line).\n";

void MainHelp(const std::vector<Command>& commands) {
    std::string text = "Usage: zvcli COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n";
    for (const auto& c : commands) {
        std::string name = Utf8(c.name);
        text += "  " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') + c.summary + "\n";
    }
    Write(stdout, text + "\n" + kGlobalOptions);
}

void CommandHelp(const Command& c) {
    std::string summary = c.summary;
    summary[0] = static_cast<char>(toupper(summary[0]));
    Write(stdout, "Usage: zvcli " + Utf8(c.name) + (*c.usage ? " " : "") + c.usage + "\n\n" + summary + ".\n" +
                      c.details + "\n\n" + kGlobalOptions);
}

bool In(const std::vector<std::wstring>& list, const std::wstring& name) {
    for (const auto& item : list)
        if (item == name) return true;
    return false;
}

int Run(int argc, wchar_t** argv) {
    const std::vector<Command> commands = Commands();
    if (argc < 2) throw UsageError("no command given (zvcli --help lists them)");
    std::wstring name = argv[1];
    if (name == L"--help" || name == L"-h" || name == L"help") {
        if (argc > 2) {
            for (const auto& c : commands)
                if (c.name == std::wstring(argv[2])) return CommandHelp(c), 0;
            throw UsageError("unknown command \"" + Utf8(argv[2]) + "\"");
        }
        MainHelp(commands);
        return 0;
    }
    if (name == L"--version") {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        Line("zvcli " + Utf8(zvcli::FileVersion(self).value_or(L"(no version resource)")));
        return 0;
    }
    const Command* command = nullptr;
    for (const auto& c : commands)
        if (c.name == name) command = &c;
    if (!command) throw UsageError("unknown command \"" + Utf8(name) + "\" (zvcli --help lists them)");

    Args args;
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a.size() < 3 || a.compare(0, 2, L"--") != 0) {
            if (a == L"-h") return CommandHelp(*command), 0;
            args.positional.push_back(a);
            continue;
        }
        std::wstring option = a.substr(2);
        if (option == L"help") return CommandHelp(*command), 0;
        if (option == L"json") {
            args.json = true;
            continue;
        }
        bool global = option == L"library" || option == L"client";
        if (!global && !In(command->valueOptions, option) && !In(command->flagOptions, option)) {
            throw UsageError("unknown option \"" + Utf8(a) + "\" for " + Utf8(command->name));
        }
        if (!global && In(command->flagOptions, option)) {
            args.options[option].push_back(L"");
            continue;
        }
        if (i + 1 >= argc) throw UsageError("option \"" + Utf8(a) + "\" needs a value");
        std::wstring value = argv[++i];
        if (option == L"library") {
            args.library = value;
        } else if (option == L"client") {
            args.client = value;
        } else {
            args.options[option].push_back(value);
        }
    }
    // Numbers are checked before anything is done.
    for (const wchar_t* numeric : {L"flags", L"timeout", L"options", L"seconds", L"count"}) args.Number(numeric, 0);
    if (args.positional.size() < command->minPositional) {
        throw UsageError(Utf8(command->name) + ": missing argument (usage: zvcli " + Utf8(command->name) + " " +
                         command->usage + ")");
    }
    if (args.positional.size() > command->maxPositional) {
        throw UsageError(Utf8(command->name) + ": unexpected argument \"" +
                         Utf8(args.positional[command->maxPositional]) + "\"");
    }
    return command->run(args);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Text is written as UTF-8 with bare line feeds, the same on a console,
    // a pipe or a file.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR) SetConsoleOutputCP(CP_UTF8);
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        Write(stderr, std::string("zvcli: ") + e.what() + "\n");
        return static_cast<int>(ZV_ERROR_INVALID_PARAMETER);
    } catch (const zv::Error& e) {
        Write(stderr, std::string("zvcli: ") + e.what() + "\n");
        return static_cast<int>(e.Result());
    } catch (const std::exception& e) {
        Write(stderr, std::string("zvcli: ") + e.what() + "\n");
    } catch (...) {
        Write(stderr, "zvcli: unexpected failure\n");
    }
    return static_cast<int>(ZV_ERROR_FAILED);
}
