#include "service/UpdaterServiceCommunication.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "support/Trace.h"

namespace BrennicZelvarSDK {

namespace {

// Each message goes out with its terminating NUL: the updater reads up to
// and including it.
const char kRepairRequest[] = "{\"MessageType\":16}\n";
const char kClosingMessage[] = "{\"MessageType\":3}\n";
static_assert(sizeof kRepairRequest == 20, "repair request is 20 bytes on the pipe");
static_assert(sizeof kClosingMessage == 19, "closing message is 19 bytes on the pipe");

// True once the pipe holds bytes to read or has broken (the read that
// follows reports that); false when nothing came within timeoutMs. The pipe
// offers nothing to wait on, so it is looked at with pauses that grow to 50 ms.
// A handle that is not a pipe counts as ready.
bool WaitForReply(HANDLE pipe, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD pauseMs = 1;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(pauseMs);
        if (pauseMs < 50) pauseMs *= 2;
    }
}

}  // namespace

const wchar_t UpdaterServiceCommunication::kPipeName[] =
    L"\\\\.\\pipe\\UpdaterServicePipe-800fad42-1d0f-4f66-8e18-8a0938cdc721";

HANDLE CFileOperation::CreateFile(LPCWSTR name, DWORD desiredAccess, DWORD shareMode,
                                  LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                                  DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(name, desiredAccess, shareMode, securityAttributes, creationDisposition, flagsAndAttributes,
                         templateFile);
}

BOOL CFileOperation::WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) {
    return ::WaitNamedPipeW(name, timeoutMs);
}

BOOL CFileOperation::WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                               LPOVERLAPPED overlapped) {
    return ::WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL CFileOperation::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                              LPOVERLAPPED overlapped) {
    return ::ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL CFileOperation::CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}

UpdaterServiceCommunication::UpdaterServiceCommunication()
    : UpdaterServiceCommunication(std::make_shared<CFileOperation>()) {}

UpdaterServiceCommunication::UpdaterServiceCommunication(std::shared_ptr<IBncFileOperation> fileOperation)
    : fileOperation(std::move(fileOperation)) {}

bool UpdaterServiceCommunication::WriteMessage(const char* message, DWORD size) {
    DWORD written = 0;
    return fileOperation->WriteFile(pipe, message, size, &written, nullptr) != FALSE;
}

bool UpdaterServiceCommunication::CommunicateToUpdaterService() {
    TraceInfo(L"UpdaterServiceCommunication::CommunicateToUpdaterService called.");
    bool result = false;

    pipe = fileOperation->CreateFile(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kPipeOpenFlags,
                                     nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // Every instance of the pipe is serving another client: wait once for
        // one to come free, then try once more.
        if (error == ERROR_PIPE_BUSY) {
            if (fileOperation->WaitNamedPipe(kPipeName, kBusyPipeWaitMs))
                pipe = fileOperation->CreateFile(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                 kPipeOpenFlags, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) error = GetLastError();
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            TraceError(
                L"UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater "
                L"service with error code %lu",
                error);
            return false;
        }
    }

    if (WriteMessage(kRepairRequest, sizeof kRepairRequest)) {
        TraceInfo(L"Sent REPAIR_ZELVAR_COM_REGISTRATION message.");
        result = ReadFromPipe();
    }
    // The closing message goes out whatever became of the request; the
    // updater does not answer it.
    WriteMessage(kClosingMessage, sizeof kClosingMessage);

    fileOperation->CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;

    TraceInfo(L"UpdaterServiceCommunication::CommunicateToUpdaterService %ls.", result ? L"succeeded" : L"failed");
    return result;
}

bool UpdaterServiceCommunication::ReadFromPipe() {
    std::string reply;
    char buffer[kReadChunkBytes];
    // A reply that never comes would hold the creator pool's thread, and
    // through the gate every Uninitialize, for ever: after the bound the
    // reply counts as empty.
    if (!WaitForReply(pipe, replyTimeoutMs)) return EvaluateUpdaterReply(reply);
    for (;;) {
        DWORD read = 0;
        BOOL ok = fileOperation->ReadFile(pipe, buffer, kReadChunkBytes, &read, nullptr);
        if (read > 0) reply.append(buffer, read);
        // The first complete read ends the reply; only a message that did not
        // fit the buffer is read on.
        if (ok || GetLastError() != ERROR_MORE_DATA) break;
    }
    return EvaluateUpdaterReply(reply);
}

bool EvaluateUpdaterReply(const std::string& reply) {
    if (reply.empty()) {
        TraceError(L"ReadFromPipe received empty response.");
        return false;
    }
    try {
        const nlohmann::json value = nlohmann::json::parse(reply);
        if (!value.is_object() || !value.contains("MessageType") || !value.contains("ExitCode")) {
            TraceError(L"ReadFromPipe response does not contain required fields.");
            return false;
        }
        const uint32_t messageType = value.at("MessageType").get<uint32_t>();
        const uint32_t exitCode = value.at("ExitCode").get<uint32_t>();
        TraceInfo(L"ReadFromPipe received MessageType=%u, ExitCode=%u", messageType, exitCode);
        return messageType == UpdaterServiceCommunication::kRepairZelvarComRegistration && exitCode == 0;
    } catch (const nlohmann::json::exception&) {
        TraceError(L"ReadFromPipe failed to parse JSON response.");
        return false;
    }
}

}  // namespace BrennicZelvarSDK
