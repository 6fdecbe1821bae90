// Stand-in updater service. Serves the updater pipe the SDK talks to, records
// every message it receives byte for byte, and answers the repair request as
// its command line says: by running a registration command and reporting its
// exit code, with a fixed reply, with garbage, or not at all. It can also keep
// the pipe busy for a while before the first client gets through.
//
// UpdaterService.exe [options]
//   --log <file>             append each received message as "<length>:<bytes>\n"
//   --ready-event <name>     set this named event once clients can connect
//   --repair-command <cmd>   run on a repair request (MessageType 16); its exit
//                            code becomes the reply's ExitCode
//   --reply <text>           reply with <text> and a line feed instead
//   --reply-file <file>      reply with the file's bytes exactly instead
//   --no-reply               disconnect after the request without replying
//   --never-read             accept the client and never read its request
//   --no-answer              read the request and never answer
//   --reply-delay-ms <n>     answer the request only after n ms
//   --in-buffer <n>          bytes the pipe buffers towards the updater
//                            (default 4096; 0: a client's write waits for a read)
//   --stall-event <name>     set this named event once it has accepted the
//                            client (--never-read) or read its request
//   --busy-ms <n>            hold the only pipe instance with a client of its
//                            own for n ms before serving
//   --connections <n>        clients to serve before exiting (default 1; 0: no end)
//   --lifetime-ms <n>        exit with code 3 after n ms whatever happens
//                            (default 60000; 0: no limit)
// Exit code: 0 after serving, 2 for a bad command line or pipe failure.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

namespace {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\UpdaterServicePipe-800fad42-1d0f-4f66-8e18-8a0938cdc721";
constexpr DWORD kPipeBufferBytes = 4096;

enum class ReplyMode { RepairResult, FixedBytes, None };
// What it does with a client before it answers.
enum class Stall { None, NeverRead, NoAnswer };

struct Options {
    std::wstring logPath;
    std::wstring readyEvent;
    std::wstring repairCommand;
    std::wstring stallEvent;
    ReplyMode replyMode = ReplyMode::RepairResult;
    Stall stall = Stall::None;
    DWORD replyDelayMs = 0;
    DWORD inBufferBytes = kPipeBufferBytes;
    std::string replyBytes;
    DWORD busyMs = 0;
    int connections = 1;
    DWORD lifetimeMs = 60000;
};

std::string Narrow(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

bool ReadWholeFile(const std::wstring& path, std::string& out) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--no-reply") {
            options.replyMode = ReplyMode::None;
        } else if (arg == L"--never-read") {
            options.stall = Stall::NeverRead;
        } else if (arg == L"--no-answer") {
            options.stall = Stall::NoAnswer;
        } else if (!hasValue) {
            fwprintf(stderr, L"UpdaterService: %ls needs a value or is unknown\n", arg.c_str());
            return false;
        } else if (arg == L"--log") {
            options.logPath = argv[++i];
        } else if (arg == L"--ready-event") {
            options.readyEvent = argv[++i];
        } else if (arg == L"--repair-command") {
            options.repairCommand = argv[++i];
        } else if (arg == L"--reply") {
            options.replyMode = ReplyMode::FixedBytes;
            options.replyBytes = Narrow(argv[++i]) + "\n";
        } else if (arg == L"--reply-file") {
            options.replyMode = ReplyMode::FixedBytes;
            if (!ReadWholeFile(argv[++i], options.replyBytes)) {
                fwprintf(stderr, L"UpdaterService: cannot read %ls\n", argv[i]);
                return false;
            }
        } else if (arg == L"--busy-ms") {
            options.busyMs = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--stall-event") {
            options.stallEvent = argv[++i];
        } else if (arg == L"--reply-delay-ms") {
            options.replyDelayMs = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--in-buffer") {
            options.inBufferBytes = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--connections") {
            options.connections = _wtoi(argv[++i]);
        } else if (arg == L"--lifetime-ms") {
            options.lifetimeMs = static_cast<DWORD>(_wtoi(argv[++i]));
        } else {
            fwprintf(stderr, L"UpdaterService: unknown option %ls\n", arg.c_str());
            return false;
        }
    }
    return true;
}

void SignalEvent(const std::wstring& name) {
    if (name.empty()) return;
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!event) return;
    SetEvent(event);
    CloseHandle(event);
}

// Appends one received message to the log, so a test sees each write of the
// client as it arrived.
void LogMessage(const Options& options, const std::string& message) {
    if (options.logPath.empty()) return;
    std::ofstream out(options.logPath.c_str(), std::ios::binary | std::ios::app);
    out << message.size() << ':' << message << '\n';
}

// One message of the client (the pipe is in message mode), or false when the
// client has gone.
bool ReadMessage(HANDLE pipe, std::string& message) {
    message.clear();
    char buffer[kPipeBufferBytes];
    for (;;) {
        DWORD read = 0;
        BOOL ok = ReadFile(pipe, buffer, sizeof buffer, &read, nullptr);
        message.append(buffer, read);
        if (ok) return true;
        if (GetLastError() != ERROR_MORE_DATA) return !message.empty();
    }
}

bool IsRepairRequest(const std::string& message) {
    // The client terminates its text with a NUL: the JSON ends before it.
    std::string text = message.substr(0, message.find('\0'));
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    return value.is_object() && value.contains("MessageType") && value["MessageType"].is_number_unsigned() &&
           value["MessageType"].get<unsigned>() == 16;
}

// Runs the configured registration command and returns its exit code.
DWORD RunRepairCommand(const std::wstring& command) {
    if (command.empty()) return 0;
    std::wstring commandLine = command;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        DWORD error = GetLastError();
        fwprintf(stderr, L"UpdaterService: cannot start repair command (%lu)\n", error);
        return error;
    }
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    wprintf(L"UpdaterService: repair command exited with %lu\n", exitCode);
    fflush(stdout);
    return exitCode;
}

void WriteReply(HANDLE pipe, const std::string& reply) {
    DWORD written = 0;
    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
}

void ServeClient(const Options& options, HANDLE pipe) {
    std::string message;
    if (options.stall == Stall::NeverRead) {
        // Holds the client until the lifetime ends, its request unread.
        SignalEvent(options.stallEvent);
        Sleep(INFINITE);
    }
    if (!ReadMessage(pipe, message)) return;
    LogMessage(options, message);
    SignalEvent(options.stallEvent);
    if (options.stall == Stall::NoAnswer) Sleep(INFINITE);

    if (IsRepairRequest(message)) {
        Sleep(options.replyDelayMs);
        DWORD exitCode = RunRepairCommand(options.repairCommand);
        switch (options.replyMode) {
            case ReplyMode::RepairResult:
                WriteReply(pipe, "{\"MessageType\":16,\"ExitCode\":" + std::to_string(exitCode) + "}\n");
                break;
            case ReplyMode::FixedBytes:
                WriteReply(pipe, options.replyBytes);
                break;
            case ReplyMode::None:
                return;
        }
    } else if (options.replyMode == ReplyMode::None) {
        return;
    }
    // Everything else the client sends (the closing message) is recorded
    // until it closes its end.
    while (ReadMessage(pipe, message)) LogMessage(options, message);
}

HANDLE CreatePipeInstance(const Options& options) {
    return CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                            kPipeBufferBytes, options.inBufferBytes, 0, nullptr);
}

DWORD WINAPI LifetimeWatchdog(void* parameter) {
    Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter)));
    fwprintf(stderr, L"UpdaterService: lifetime over\n");
    ExitProcess(3);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    if (options.lifetimeMs > 0) {
        HANDLE watchdog = CreateThread(nullptr, 0, LifetimeWatchdog,
                                       reinterpret_cast<void*>(static_cast<ULONG_PTR>(options.lifetimeMs)), 0, nullptr);
        if (watchdog) CloseHandle(watchdog);
    }

    HANDLE pipe = CreatePipeInstance(options);
    if (pipe == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"UpdaterService: CreateNamedPipe failed (%lu)\n", GetLastError());
        return 2;
    }

    if (options.busyMs > 0) {
        // The only instance is taken by a client of our own, so that the
        // SDK's first open finds the pipe busy.
        HANDLE occupier = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (occupier == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"UpdaterService: cannot occupy the pipe (%lu)\n", GetLastError());
            return 2;
        }
        ConnectNamedPipe(pipe, nullptr);
        SignalEvent(options.readyEvent);
        Sleep(options.busyMs);
        CloseHandle(occupier);
        DisconnectNamedPipe(pipe);
    } else {
        SignalEvent(options.readyEvent);
    }

    for (int served = 0; options.connections == 0 || served < options.connections; ++served) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            fwprintf(stderr, L"UpdaterService: ConnectNamedPipe failed (%lu)\n", GetLastError());
            CloseHandle(pipe);
            return 2;
        }
        ServeClient(options, pipe);
        FlushFileBuffers(pipe);
        DisconnectNamedPipe(pipe);
    }
    CloseHandle(pipe);
    return 0;
}
