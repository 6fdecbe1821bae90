#include "service/UpdaterServiceCommunication.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "support/Scoped.h"
#include "support/ShutdownSignal.h"
#include "support/Trace.h"

namespace BrennicZelvarSDK {

namespace {

// Each message goes out with its terminating NUL: the updater reads up to
// and including it.
const char kRepairRequest[] = "{\"MessageType\":16}\n";
const char kClosingMessage[] = "{\"MessageType\":3}\n";
static_assert(sizeof kRepairRequest == 20, "repair request is 20 bytes on the pipe");
static_assert(sizeof kClosingMessage == 19, "closing message is 19 bytes on the pipe");

void TraceConnectFailure(DWORD error) {
    TraceError(
        L"UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service with error "
        L"code %lu",
        error);
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

BOOL CFileOperation::GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    return ::GetOverlappedResult(file, overlapped, bytesTransferred, wait);
}

BOOL CFileOperation::CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
    return ::CancelIoEx(file, overlapped);
}

DWORD CFileOperation::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) {
    return ::WaitForMultipleObjects(count, handles, waitAll, timeoutMs);
}

UpdaterServiceCommunication::UpdaterServiceCommunication()
    : UpdaterServiceCommunication(std::make_shared<CFileOperation>()) {}

UpdaterServiceCommunication::UpdaterServiceCommunication(std::shared_ptr<IBncFileOperation> fileOperation)
    : fileOperation(std::move(fileOperation)) {}

bool UpdaterServiceCommunication::CompleteOverlapped(BOOL started, OVERLAPPED& overlapped, DWORD timeoutMs,
                                                     DWORD& transferred) {
    transferred = 0;
    if (!started) {
        const DWORD error = GetLastError();
        // A message longer than the read's buffer ends the read at once with
        // its first part; any other error but a pending operation ends it
        // with nothing.
        if (error == ERROR_MORE_DATA) return fileOperation->GetOverlappedResult(pipe, &overlapped, &transferred, FALSE);
        if (error != ERROR_IO_PENDING) return false;
        const HANDLE waits[2] = {overlapped.hEvent, ShutdownSignal::Event()};
        if (fileOperation->WaitForMultipleObjects(waits[1] ? 2 : 1, waits, FALSE, timeoutMs) != WAIT_OBJECT_0) {
            // Timed out or abandoned. The buffer and the overlapped structure
            // are this frame's: the operation must have ended, cancelled or
            // done, before they go.
            fileOperation->CancelIoEx(pipe, &overlapped);
        }
    }
    return fileOperation->GetOverlappedResult(pipe, &overlapped, &transferred, TRUE) != FALSE;
}

bool UpdaterServiceCommunication::WriteMessage(const char* message, DWORD size) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ioEvent.Get();
    DWORD written = 0;
    const BOOL started = fileOperation->WriteFile(pipe, message, size, nullptr, &overlapped);
    return CompleteOverlapped(started, overlapped, kWriteTimeoutMs, written);
}

bool UpdaterServiceCommunication::CommunicateToUpdaterService() {
    TraceInfo(L"UpdaterServiceCommunication::CommunicateToUpdaterService called.");
    bool result = false;

    // An exchange that would begin after shutdown began is refused as an
    // open that was aborted; so is one without an event for its operations.
    ioEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE abandon = ShutdownSignal::Event();
    if (!ioEvent) {
        TraceConnectFailure(GetLastError());
        return false;
    }
    if (abandon && fileOperation->WaitForMultipleObjects(1, &abandon, FALSE, 0) == WAIT_OBJECT_0) {
        TraceConnectFailure(ERROR_OPERATION_ABORTED);
        return false;
    }

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
            TraceConnectFailure(error);
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
    ioEvent.Reset();

    TraceInfo(L"UpdaterServiceCommunication::CommunicateToUpdaterService %ls.", result ? L"succeeded" : L"failed");
    return result;
}

bool UpdaterServiceCommunication::ReadFromPipe() {
    std::string reply;
    char buffer[kReadChunkBytes];
    // The whole reply, its later parts included, comes within the bound; a
    // read still pending then is cancelled, and the reply is what came.
    const ULONGLONG start = GetTickCount64();
    DWORD waitMs = kReplyTimeoutMs;
    for (;;) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = ioEvent.Get();
        DWORD read = 0;
        const BOOL started = fileOperation->ReadFile(pipe, buffer, kReadChunkBytes, nullptr, &overlapped);
        const bool ok = CompleteOverlapped(started, overlapped, waitMs, read);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (read > 0) reply.append(buffer, read);
        // The first complete read ends the reply; only a message that did not
        // fit the buffer is read on.
        if (ok || error != ERROR_MORE_DATA) break;
        const ULONGLONG elapsed = GetTickCount64() - start;
        waitMs = elapsed < kReplyTimeoutMs ? static_cast<DWORD>(kReplyTimeoutMs - elapsed) : 0;
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
