// The exchange's decisions with the pipe replaced by a scripted one: what it
// opens, waits for, writes and reads on each path, and the reply's verdict.
#include <gtest/gtest.h>

#include <deque>

#include "common/TraceFileCapture.h"
#include "service/UpdaterServiceCommunication.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;

namespace {

HANDLE const kPipe = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4242));
const std::string kRepairRequest("{\"MessageType\":16}\n\0", 20);
const std::string kClosingMessage("{\"MessageType\":3}\n\0", 19);

class ScriptedPipe : public IBncFileOperation {
public:
    struct Open {
        HANDLE result;
        DWORD error;
    };
    struct Read {
        BOOL ok;
        std::string bytes;
        DWORD error;
    };
    struct CreateCall {
        std::wstring name;
        DWORD access, share, disposition, flags;
        bool security, templateFile;
    };

    HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD flags, HANDLE templateFile) override {
        creates.push_back({name, access, share, disposition, flags, security != nullptr, templateFile != nullptr});
        Open open = opens.empty() ? Open{kPipe, 0} : opens.front();
        if (!opens.empty()) opens.pop_front();
        SetLastError(open.error);
        return open.result;
    }
    BOOL WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) override {
        waits.push_back({name, timeoutMs});
        SetLastError(waitError);
        return waitResult;
    }
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) override {
        EXPECT_EQ(kPipe, file);
        EXPECT_EQ(nullptr, overlapped);
        writes.emplace_back(static_cast<const char*>(buffer), size);
        const bool ok = writeResults.empty() ? true : writeResults.front();
        if (!writeResults.empty()) writeResults.pop_front();
        *written = ok ? size : 0;
        SetLastError(ok ? 0 : ERROR_NO_DATA);
        return ok;
    }
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) override {
        EXPECT_EQ(kPipe, file);
        EXPECT_EQ(nullptr, overlapped);
        readSizes.push_back(size);
        if (reads.empty()) {
            *read = 0;
            SetLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        Read next = reads.front();
        reads.pop_front();
        memcpy(buffer, next.bytes.data(), next.bytes.size());
        *read = static_cast<DWORD>(next.bytes.size());
        SetLastError(next.error);
        return next.ok;
    }
    BOOL CloseHandle(HANDLE handle) override {
        closed.push_back(handle);
        return TRUE;
    }

    std::deque<Open> opens;
    BOOL waitResult = TRUE;
    DWORD waitError = 0;
    std::deque<bool> writeResults;
    std::deque<Read> reads;

    std::vector<CreateCall> creates;
    std::vector<std::pair<std::wstring, DWORD>> waits;
    std::vector<std::string> writes;
    std::vector<DWORD> readSizes;
    std::vector<HANDLE> closed;
};

const std::wstring kPipeName = L"\\\\.\\pipe\\UpdaterServicePipe-800fad42-1d0f-4f66-8e18-8a0938cdc721";

TEST(UpdaterExchangeTest, OpensTheUpdaterPipeForReadingAndWriting) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads.push_back({TRUE, "{\"MessageType\":16,\"ExitCode\":0}\n", 0});
    UpdaterServiceCommunication communication(pipe);
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    ASSERT_EQ(1u, pipe->creates.size());
    EXPECT_EQ(kPipeName, pipe->creates[0].name);
    EXPECT_EQ(0xC0000000u, pipe->creates[0].access);
    EXPECT_EQ(0u, pipe->creates[0].share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), pipe->creates[0].disposition);
    // Identification only: a process squatting on the pipe's name cannot act as the user.
    EXPECT_EQ(static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), pipe->creates[0].flags);
    EXPECT_FALSE(pipe->creates[0].security);
    EXPECT_FALSE(pipe->creates[0].templateFile);
    EXPECT_EQ((std::vector<std::string>{kRepairRequest, kClosingMessage}), pipe->writes);
    EXPECT_EQ(std::vector<DWORD>{512}, pipe->readSizes);
    EXPECT_EQ(std::vector<HANDLE>{kPipe}, pipe->closed);
}

TEST(UpdaterExchangeTest, FailedRequestWriteReadsNothingButStillSendsTheClosingMessage) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->writeResults = {false, true};
    pipe->reads.push_back({TRUE, "{\"MessageType\":16,\"ExitCode\":0}\n", 0});
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ((std::vector<std::string>{kRepairRequest, kClosingMessage}), pipe->writes);
    EXPECT_TRUE(pipe->readSizes.empty());
    EXPECT_EQ(std::vector<HANDLE>{kPipe}, pipe->closed);
    EXPECT_NO_TRACE(trace, kTraceInfo, "Sent REPAIR_ZELVAR_COM_REGISTRATION message.");
    EXPECT_TRACE(trace, kTraceInfo, "UpdaterServiceCommunication::CommunicateToUpdaterService failed.");
}

TEST(UpdaterExchangeTest, AbsentUpdaterIsNotWaitedFor) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->opens = {{INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND}};
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(1u, pipe->creates.size());
    EXPECT_TRUE(pipe->waits.empty());
    EXPECT_TRUE(pipe->writes.empty());
    EXPECT_TRUE(pipe->closed.empty());
}

TEST(UpdaterExchangeTest, BusyPipeIsWaitedForOnceForOneSecond) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->opens = {{INVALID_HANDLE_VALUE, ERROR_PIPE_BUSY}, {kPipe, 0}};
    pipe->reads.push_back({TRUE, "{\"MessageType\":16,\"ExitCode\":0}", 0});
    UpdaterServiceCommunication communication(pipe);
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    ASSERT_EQ(1u, pipe->waits.size());
    EXPECT_EQ(kPipeName, pipe->waits[0].first);
    EXPECT_EQ(1000u, pipe->waits[0].second);
    EXPECT_EQ(2u, pipe->creates.size());
    EXPECT_EQ(2u, pipe->writes.size());
}

TEST(UpdaterExchangeTest, FailedWaitReportsTheWaitsError) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->opens = {{INVALID_HANDLE_VALUE, ERROR_PIPE_BUSY}};
    pipe->waitResult = FALSE;
    pipe->waitError = ERROR_SEM_TIMEOUT;
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(1u, pipe->creates.size());
    EXPECT_TRUE(pipe->writes.empty());
    EXPECT_TRACE(trace, kTraceError,
                 "UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service "
                 "with error code 121");
}

TEST(UpdaterExchangeTest, FailedSecondOpenReportsItsError) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->opens = {{INVALID_HANDLE_VALUE, ERROR_PIPE_BUSY}, {INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED}};
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(2u, pipe->creates.size());
    EXPECT_TRUE(pipe->writes.empty());
    EXPECT_TRUE(pipe->closed.empty());
    EXPECT_TRACE(trace, kTraceError,
                 "UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service "
                 "with error code 5");
}

TEST(UpdaterExchangeTest, ReadsOnOnlyWhileTheReplyDidNotFit) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads.push_back({FALSE, "{\"MessageType\":16,", ERROR_MORE_DATA});
    pipe->reads.push_back({TRUE, "\"ExitCode\":0}\n", 0});
    pipe->reads.push_back({TRUE, "garbage that is never read", 0});
    UpdaterServiceCommunication communication(pipe);
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    EXPECT_EQ((std::vector<DWORD>{512, 512}), pipe->readSizes);
}

TEST(UpdaterExchangeTest, AFirstCompleteReadEndsTheReplyEvenIfCutShort) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads.push_back({TRUE, "{\"MessageType\":16,", 0});
    pipe->reads.push_back({TRUE, "\"ExitCode\":0}\n", 0});
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(std::vector<DWORD>{512}, pipe->readSizes);
    EXPECT_TRACE(trace, kTraceError, "ReadFromPipe failed to parse JSON response.");
}

TEST(UpdaterExchangeTest, AReadErrorOtherThanMoreDataEndsTheReplyWithWhatWasRead) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads.push_back({FALSE, "{\"MessageType\":16,\"ExitCode\":0}", ERROR_BROKEN_PIPE});
    pipe->reads.push_back({TRUE, "ignored", 0});
    UpdaterServiceCommunication communication(pipe);
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(std::vector<DWORD>{512}, pipe->readSizes);
}

TEST(UpdaterExchangeTest, NothingReadIsAnEmptyResponse) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads.push_back({FALSE, "", ERROR_BROKEN_PIPE});
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(pipe);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(2u, pipe->writes.size());
    EXPECT_TRACE(trace, kTraceError, "ReadFromPipe received empty response.");
}

TEST(EvaluateUpdaterReplyTest, NumbersConvertAsTheJsonLibraryConvertsThem) {
    EXPECT_TRUE(EvaluateUpdaterReply(" {\"MessageType\" : 16 , \"ExitCode\" : 0 } \r\n"));
    // 4294967312 does not fit 32 bits; the conversion keeps the low 32 bits.
    EXPECT_TRUE(EvaluateUpdaterReply("{\"MessageType\":4294967312,\"ExitCode\":0}"));
    EXPECT_FALSE(EvaluateUpdaterReply("{\"MessageType\":16,\"ExitCode\":-1}"));
    EXPECT_FALSE(EvaluateUpdaterReply("{\"MessageType\":16,\"ExitCode\":{}}"));
    EXPECT_FALSE(EvaluateUpdaterReply("{\"MessageType\":[16],\"ExitCode\":0}"));
    // The JSON library takes a NUL for the end of its input: a reply ended
    // like the SDK's own messages is accepted, and nothing after the NUL counts.
    EXPECT_TRUE(EvaluateUpdaterReply(std::string("{\"MessageType\":16,\"ExitCode\":0}\n\0", 33)));
    EXPECT_TRUE(EvaluateUpdaterReply(std::string("{\"MessageType\":16,\"ExitCode\":0}\0garbage", 39)));
    EXPECT_FALSE(EvaluateUpdaterReply("16"));
    EXPECT_FALSE(EvaluateUpdaterReply(""));
}

}  // namespace
