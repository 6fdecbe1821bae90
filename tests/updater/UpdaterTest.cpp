// The exchange with the updater service over a scripted pipe: the bytes
// written, busy, absent and failing pipes, the read loop and the reply's
// verdict. The real pipe to the stand-in updater runs in the repair program.
#include <gtest/gtest.h>

#include <deque>

#include "common/TraceCapture.h"
#include "service/UpdaterServiceCommunication.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;

namespace {

HANDLE const kPipe = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4242));
const std::string kRepairRequest("{\"MessageType\":16}\n\0", 20);
const std::string kClosingMessage("{\"MessageType\":3}\n\0", 19);
const std::vector<std::string> kBothMessages = {kRepairRequest, kClosingMessage};
const std::string kConnectFailed =
    "Err|UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service with error "
    "code ";

bool Traced(const TraceCapture& trace, const std::string& levelAndMessage) {
    for (const std::string& m : trace.Messages())
        if (m == levelAndMessage) return true;
    return false;
}

// A pipe that answers from a script and records every call.
class ScriptedPipe : public IBncFileOperation {
public:
    struct Read {
        BOOL ok;
        std::string bytes;
        DWORD error;
    };
    HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD flags, HANDLE templateFile) override {
        EXPECT_EQ(std::wstring(UpdaterServiceCommunication::kPipeName), name);
        // Identification only: a process squatting on the pipe's name cannot act as the user.
        EXPECT_EQ(std::vector<DWORD>({GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION}),
                  std::vector<DWORD>({access, share, disposition, flags}));
        EXPECT_TRUE(!security && !templateFile);
        ++creates;
        DWORD error = openErrors.empty() ? 0 : openErrors.front();
        if (!openErrors.empty()) openErrors.pop_front();
        SetLastError(error);
        return error ? INVALID_HANDLE_VALUE : kPipe;
    }
    BOOL WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) override {
        EXPECT_EQ(std::wstring(UpdaterServiceCommunication::kPipeName), name);
        waits.push_back(timeoutMs);
        SetLastError(waitError);
        return waitError == 0;
    }
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) override {
        EXPECT_EQ(kPipe, file);
        writes.emplace_back(static_cast<const char*>(buffer), size);
        const bool ok = writes.size() > failedWrites;
        *written = ok ? size : 0;
        return ok;
    }
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED) override {
        EXPECT_EQ(kPipe, file);
        readSizes.push_back(size);
        Read next = reads.empty() ? Read{FALSE, "", ERROR_BROKEN_PIPE} : reads.front();
        if (!reads.empty()) reads.pop_front();
        memcpy(buffer, next.bytes.data(), next.bytes.size());
        *read = static_cast<DWORD>(next.bytes.size());
        SetLastError(next.error);
        return next.ok;
    }
    BOOL CloseHandle(HANDLE handle) override {
        closed.push_back(handle);
        return TRUE;
    }

    std::deque<DWORD> openErrors;  // one per CreateFile, 0 opens the pipe
    DWORD waitError = 0;
    size_t failedWrites = 0;  // the first n writes fail
    std::deque<Read> reads;
    int creates = 0;
    std::vector<DWORD> waits;
    std::vector<std::string> writes;
    std::vector<DWORD> readSizes;
    std::vector<HANDLE> closed;
};

const ScriptedPipe::Read kConfirmed{TRUE, "{\"MessageType\":16,\"ExitCode\":0}\n", 0};

TEST(UpdaterExchange, OneReadOfAConfirmingReplyBetweenTheTwoMessagesThenTheHandleIsClosed) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->reads = {kConfirmed, kConfirmed};
    EXPECT_TRUE(UpdaterServiceCommunication(pipe).CommunicateToUpdaterService());
    EXPECT_EQ(1, pipe->creates);
    EXPECT_EQ(kBothMessages, pipe->writes);
    EXPECT_EQ(std::vector<DWORD>{512}, pipe->readSizes);
    EXPECT_EQ(std::vector<HANDLE>{kPipe}, pipe->closed);
}

TEST(UpdaterExchange, AFailedRequestReadsNothingButStillSendsTheClosingMessage) {
    auto pipe = std::make_shared<ScriptedPipe>();
    pipe->failedWrites = 1;
    pipe->reads = {kConfirmed};
    TraceCapture trace(true);
    EXPECT_FALSE(UpdaterServiceCommunication(pipe).CommunicateToUpdaterService());
    EXPECT_EQ(kBothMessages, pipe->writes);
    EXPECT_TRUE(pipe->readSizes.empty());
    EXPECT_EQ(std::vector<HANDLE>{kPipe}, pipe->closed);
    EXPECT_FALSE(trace.Contains("Sent REPAIR_ZELVAR_COM_REGISTRATION message."));
    EXPECT_TRUE(trace.Contains("UpdaterServiceCommunication::CommunicateToUpdaterService failed."));
}

TEST(UpdaterExchange, ABusyPipeIsWaitedForOnceAndAFailureReportsItsOwnError) {
    struct Case {
        std::deque<DWORD> openErrors;
        DWORD waitError;
        int creates;
        bool connected;
        const char* error;
    };
    const Case cases[] = {
        {{ERROR_PIPE_BUSY, 0}, 0, 2, true, nullptr},
        {{ERROR_PIPE_BUSY}, ERROR_SEM_TIMEOUT, 1, false, "121"},
        {{ERROR_PIPE_BUSY, ERROR_ACCESS_DENIED}, 0, 2, false, "5"},
        {{ERROR_FILE_NOT_FOUND}, 0, 1, false, "2"},
    };
    for (const Case& c : cases) {
        auto pipe = std::make_shared<ScriptedPipe>();
        pipe->openErrors = c.openErrors;
        pipe->waitError = c.waitError;
        pipe->reads = {kConfirmed};
        TraceCapture trace(true);
        EXPECT_EQ(c.connected, UpdaterServiceCommunication(pipe).CommunicateToUpdaterService());
        EXPECT_EQ(c.creates, pipe->creates);
        const bool busy = c.openErrors.front() == ERROR_PIPE_BUSY;
        EXPECT_EQ(busy ? std::vector<DWORD>{1000} : std::vector<DWORD>{}, pipe->waits);
        EXPECT_EQ(c.connected ? kBothMessages : std::vector<std::string>{}, pipe->writes);
        EXPECT_EQ(c.connected ? 1u : 0u, pipe->closed.size());
        if (c.error) {
            EXPECT_TRUE(Traced(trace, kConnectFailed + c.error)) << c.error;
        }
    }
}

TEST(UpdaterExchange, OnlyAReplyThatDidNotFitIsReadOn) {
    struct Case {
        std::deque<ScriptedPipe::Read> reads;
        size_t readCount;
        bool confirmed;
    };
    const Case cases[] = {
        {{{FALSE, "{\"MessageType\":16,", ERROR_MORE_DATA}, {TRUE, "\"ExitCode\":0}\n", 0}, {TRUE, "more", 0}},
         2,
         true},
        // A first complete read ends the reply even when the object is cut short.
        {{{TRUE, "{\"MessageType\":16,", 0}, {TRUE, "\"ExitCode\":0}\n", 0}}, 1, false},
        // Another read error ends the reply with what was read.
        {{{FALSE, "{\"MessageType\":16,\"ExitCode\":0}", ERROR_BROKEN_PIPE}, {TRUE, "x", 0}}, 1, true},
    };
    for (const Case& c : cases) {
        auto pipe = std::make_shared<ScriptedPipe>();
        pipe->reads = c.reads;
        EXPECT_EQ(c.confirmed, UpdaterServiceCommunication(pipe).CommunicateToUpdaterService());
        EXPECT_EQ(std::vector<DWORD>(c.readCount, 512), pipe->readSizes);
    }
}

TEST(UpdaterReply, OnlyMessageType16WithExitCode0ConfirmsAndEachVerdictIsTraced) {
    const std::string fields = "Err|ReadFromPipe response does not contain required fields.";
    const std::string parse = "Err|ReadFromPipe failed to parse JSON response.";
    const struct {
        std::string reply;
        bool confirmed;
        std::string traced;
    } cases[] = {
        {" {\"MessageType\" : 16 , \"ExitCode\" : 0 } \r\n", true, "|ReadFromPipe received MessageType=16, ExitCode=0"},
        {"{\"ExitCode\":0,\"Detail\":[1],\"MessageType\":16}", true,
         "|ReadFromPipe received MessageType=16, ExitCode=0"},
        // The JSON library takes a NUL for the end of its input.
        {std::string("{\"MessageType\":16,\"ExitCode\":0}\0garbage", 39), true,
         "|ReadFromPipe received MessageType=16, ExitCode=0"},
        // 4294967312 does not fit 32 bits; the conversion keeps the low 32 bits.
        {"{\"MessageType\":4294967312,\"ExitCode\":0}", true, "|ReadFromPipe received MessageType=16, ExitCode=0"},
        {"{\"MessageType\":16,\"ExitCode\":5}", false, "|ReadFromPipe received MessageType=16, ExitCode=5"},
        {"{\"MessageType\":3,\"ExitCode\":0}", false, "|ReadFromPipe received MessageType=3, ExitCode=0"},
        {"{\"MessageType\":16,\"ExitCode\":-1}", false, "|ReadFromPipe received MessageType=16, ExitCode=4294967295"},
        {"{\"MessageType\":16}", false, fields},
        {"{\"ExitCode\":0}", false, fields},
        {"[16,0]", false, fields},
        {"16", false, fields},
        {"repair done", false, parse},
        {"{\"MessageType\":16,\"ExitCode\":\"0\"}", false, parse},
        {"{\"MessageType\":16,\"ExitCode\":{}}", false, parse},
        {"{\"MessageType\":16,\"ExitCode\":0}{\"MessageType\":16,\"ExitCode\":0}", false, parse},
        {"", false, "Err|ReadFromPipe received empty response."},
    };
    for (const auto& c : cases) {
        TraceCapture trace(true);
        EXPECT_EQ(c.confirmed, EvaluateUpdaterReply(c.reply)) << c.reply;
        EXPECT_TRUE(Traced(trace, c.traced)) << c.reply << "\n" << trace.Contents();
    }
}

}  // namespace
