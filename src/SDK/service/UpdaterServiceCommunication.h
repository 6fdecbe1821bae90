// The exchange with the machine's updater service over its named pipe: a
// request to repair the service's COM registration, the updater's one-line
// JSON verdict, and a closing message.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "support/Scoped.h"

namespace BrennicZelvarSDK {

// The file functions the exchange uses, so that the pipe can be replaced.
// The names follow the platform's: with UNICODE defined (as in every unit of
// this library) CreateFile and WaitNamedPipe are spelt CreateFileW and
// WaitNamedPipeW by the platform headers, for declarations and calls alike.
// The last three complete, cancel and wait for the overlapped reads and
// writes; a replacement pipe decides through them when its operations end.
class IBncFileOperation {
public:
    virtual HANDLE CreateFile(LPCWSTR name, DWORD desiredAccess, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                              DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) = 0;
    virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                           LPOVERLAPPED overlapped) = 0;
    virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                          LPOVERLAPPED overlapped) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) = 0;
    virtual BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) = 0;
    virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) = 0;
    virtual ~IBncFileOperation() = default;
};

// Each call goes unchanged to the Windows function of the same name.
class CFileOperation : public IBncFileOperation {
public:
    HANDLE CreateFile(LPCWSTR name, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                      DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) override;
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                   LPOVERLAPPED overlapped) override;
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) override;
    BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) override;
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) override;
};

// One object per repair attempt. Not thread-safe; the creator pool's single
// thread is its only user.
class UpdaterServiceCommunication {
public:
    static const wchar_t kPipeName[];
    // Message type of the repair request and of a confirming reply.
    static constexpr unsigned kRepairZelvarComRegistration = 16;
    // Message type of the closing message.
    static constexpr unsigned kClosing = 3;
    // How long a busy pipe is waited for, once.
    static constexpr DWORD kBusyPipeWaitMs = 1000;
    // Bytes asked for by each read of the reply.
    static constexpr DWORD kReadChunkBytes = 512;
    // The pipe is opened for identification only, so that a process that took
    // the pipe's name first cannot act as the application's user; and
    // overlapped, so that no read or write of the exchange waits unbounded.
    static constexpr DWORD kPipeOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED;
    // A message of a few bytes goes into the pipe's buffer at once; a write
    // still waiting after this has an updater that does not read.
    static constexpr DWORD kWriteTimeoutMs = 5000;
    // The reply, all its reads together, follows the updater's repair of a
    // few registrations, seconds at most: one that has not come within a
    // minute is not coming, and the creation fails rather than wait on.
    static constexpr DWORD kReplyTimeoutMs = 60000;

    UpdaterServiceCommunication();
    explicit UpdaterServiceCommunication(std::shared_ptr<IBncFileOperation> fileOperation);
    UpdaterServiceCommunication(const UpdaterServiceCommunication&) = delete;
    UpdaterServiceCommunication& operator=(const UpdaterServiceCommunication&) = delete;

    // Asks the updater to repair the COM registration; true only when it
    // replied with MessageType 16 and ExitCode 0. Never throws of its own.
    bool CommunicateToUpdaterService();
    // Reads and judges the reply on the open pipe.
    bool ReadFromPipe();

    // From the moment Uninitialize raises the shutdown signal until the next
    // Initialize clears it, every exchange, the one in progress included,
    // ends at its next wait (its pending read or write cancelled) and an
    // exchange that has not begun fails at once, so that nothing the updater
    // does holds Uninitialize.

private:
    bool WriteMessage(const char* message, DWORD size);
    // Ends the read or write started on the pipe with `overlapped` (started
    // is what ReadFile or WriteFile returned): waits at most timeoutMs or
    // until exchanges are abandoned, then cancels it and waits for the
    // cancellation. Its success; bytes transferred; the last error is its own.
    bool CompleteOverlapped(BOOL started, OVERLAPPED& overlapped, DWORD timeoutMs, DWORD& transferred);

    std::shared_ptr<IBncFileOperation> fileOperation;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    ScopedHandle ioEvent;  // the overlapped operations' event, during an exchange
};

// The verdict on one reply text, apart from the pipe: true when it is one
// JSON object whose "MessageType" is 16 and "ExitCode" is 0. Traces as
// ReadFromPipe does.
bool EvaluateUpdaterReply(const std::string& reply);

}  // namespace BrennicZelvarSDK
