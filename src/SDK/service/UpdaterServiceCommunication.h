// The exchange with the machine's updater service over its named pipe: a
// request to repair the service's COM registration, the updater's one-line
// JSON verdict, and a closing message.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace BrennicZelvarSDK {

// The five file functions the exchange uses, so that the pipe can be
// replaced. The names follow the platform's: with UNICODE defined (as in
// every unit of this library) CreateFile and WaitNamedPipe are spelt
// CreateFileW and WaitNamedPipeW by the platform headers, for declarations
// and calls alike.
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
    // The pipe is opened for identification only: a process that took the
    // pipe's name first cannot act as the application's user.
    static constexpr DWORD kPipeOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    // How long the reply is waited for before it counts as empty: long enough
    // for any repair, short of for ever.
    static constexpr DWORD kReplyTimeoutMs = 300000;

    UpdaterServiceCommunication();
    explicit UpdaterServiceCommunication(std::shared_ptr<IBncFileOperation> fileOperation);
    UpdaterServiceCommunication(const UpdaterServiceCommunication&) = delete;
    UpdaterServiceCommunication& operator=(const UpdaterServiceCommunication&) = delete;

    // Asks the updater to repair the COM registration; true only when it
    // replied with MessageType 16 and ExitCode 0. Never throws of its own.
    bool CommunicateToUpdaterService();
    // Reads and judges the reply on the open pipe.
    bool ReadFromPipe();
    // Replaces kReplyTimeoutMs for this object.
    void SetReplyTimeout(DWORD timeoutMs) { replyTimeoutMs = timeoutMs; }

private:
    bool WriteMessage(const char* message, DWORD size);

    std::shared_ptr<IBncFileOperation> fileOperation;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD replyTimeoutMs = kReplyTimeoutMs;
};

// The verdict on one reply text, apart from the pipe: true when it is one
// JSON object whose "MessageType" is 16 and "ExitCode" is 0. Traces as
// ReadFromPipe does.
bool EvaluateUpdaterReply(const std::string& reply);

}  // namespace BrennicZelvarSDK
