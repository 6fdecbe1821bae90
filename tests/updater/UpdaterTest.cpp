// The exchange with the updater service over a scripted pipe: the bytes
// written, busy, absent and failing pipes, the read loop, the time-outs and
// abandonment of pending reads and writes, and the reply's verdict. The real
// pipe to the stand-in updater runs in the repair program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
const std::string kEmpty = "Err|ReadFromPipe received empty response.";
const DWORD kWrite = UpdaterServiceCommunication::kWriteTimeoutMs;
const DWORD kReply = UpdaterServiceCommunication::kReplyTimeoutMs;

// How a scripted read or write ends: at once; pending until the wait for it,
// which it ends; pending until cancelled; or pending, done just as the wait
// for it ran out (the cancellation then finds nothing to cancel).
enum class Ends { AtOnce, AtTheWait, Never, AsItIsCancelled };

// A pipe that answers from a script and records every call.
class ScriptedPipe : public IBncFileOperation {
public:
    struct Op {
        BOOL ok;
        std::string bytes;  // what a read gives
        DWORD error;
        Ends ends;
    };
    HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD flags, HANDLE templateFile) override {
        EXPECT_EQ(std::wstring(UpdaterServiceCommunication::kPipeName), name);
        // Identification only (a process squatting on the pipe's name cannot act as the user), and overlapped.
        EXPECT_EQ(std::vector<DWORD>({GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | FILE_FLAG_OVERLAPPED}),
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
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) override {
        writes.emplace_back(static_cast<const char*>(buffer), size);
        Op op = writeOps.empty() ? Op{TRUE, std::string(size, 'w'), 0, Ends::AtOnce} : writeOps.front();
        if (!writeOps.empty()) writeOps.pop_front();
        return Start(file, written, overlapped, op);
    }
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) override {
        readSizes.push_back(size);
        Op op = reads.empty() ? Op{FALSE, "", ERROR_BROKEN_PIPE, Ends::AtOnce} : reads.front();
        if (!reads.empty()) reads.pop_front();
        memcpy(buffer, op.bytes.data(), std::min<size_t>(size, op.bytes.size()));
        return Start(file, read, overlapped, op);
    }
    BOOL CloseHandle(HANDLE handle) override {
        EXPECT_FALSE(inFlight) << "closed with an operation in flight";
        closed.push_back(handle);
        return TRUE;
    }
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) override {
        EXPECT_FALSE(waitAll);
        // One handle: whether the exchange was abandoned before it began.
        if (count == 1) return abandonedAtStart ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        EXPECT_TRUE(inFlight && count == 2 && handles[0] == inFlight->hEvent && handles[1]);
        operationWaits.push_back(timeoutMs);
        if (current.ends == Ends::AtTheWait) return WAIT_OBJECT_0;
        return abandonedMidway ? WAIT_OBJECT_0 + 1 : WAIT_TIMEOUT;
    }
    BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) override {
        EXPECT_TRUE(file == kPipe && overlapped == inFlight);
        ++cancels;
        if (current.ends != Ends::Never) return SetLastError(ERROR_NOT_FOUND), FALSE;
        current = Op{FALSE, "", ERROR_OPERATION_ABORTED, Ends::AtOnce};
        return TRUE;
    }
    BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) override {
        EXPECT_TRUE(file == kPipe && overlapped == inFlight);
        if (current.ends == Ends::Never) {
            ADD_FAILURE() << "waited for an operation that never ends";
            current = Op{FALSE, "", ERROR_OPERATION_ABORTED, Ends::AtOnce};
        }
        EXPECT_TRUE(wait || current.error == ERROR_MORE_DATA);
        inFlight = nullptr;
        *transferred = static_cast<DWORD>(current.bytes.size());
        SetLastError(current.ok ? 0 : current.error);
        return current.ok;
    }

    std::deque<DWORD> openErrors;  // one per CreateFile, 0 opens the pipe
    DWORD waitError = 0;
    std::deque<Op> writeOps, reads;  // by default writes succeed and reads find the pipe broken
    bool abandonedAtStart = false, abandonedMidway = false;
    int creates = 0, cancels = 0;
    std::vector<DWORD> waits, operationWaits;
    std::vector<std::string> writes;
    std::vector<DWORD> readSizes;
    std::vector<HANDLE> closed;

private:
    // Overlapped always, the byte count left to the overlapped result.
    BOOL Start(HANDLE file, LPDWORD count, LPOVERLAPPED overlapped, const Op& op) {
        EXPECT_TRUE(file == kPipe && !count && overlapped && overlapped->hEvent && !inFlight);
        current = op;
        inFlight = overlapped;
        if (op.ends != Ends::AtOnce) return SetLastError(ERROR_IO_PENDING), FALSE;
        if (!op.ok && op.error != ERROR_MORE_DATA) inFlight = nullptr;  // failed to start: nothing to complete
        SetLastError(op.ok ? 0 : op.error);
        return op.ok;
    }
    Op current;
    LPOVERLAPPED inFlight = nullptr;
};

using Op = ScriptedPipe::Op;
const std::string kConfirmation = "{\"MessageType\":16,\"ExitCode\":0}\n";
Op Ok(const std::string& bytes, Ends ends = Ends::AtOnce) {
    return Op{TRUE, bytes, 0, ends};
}
Op Fails(DWORD error, const std::string& bytes = "", Ends ends = Ends::AtOnce) {
    return Op{FALSE, bytes, error, ends};
}

TEST(UpdaterExchange, ABusyPipeIsWaitedForOnceAndAFailureReportsItsOwnError) {
    struct Case {
        std::deque<DWORD> openErrors;
        DWORD waitError;
        bool abandoned;  // shutdown began before the exchange
        int creates;
        bool connected;
        const char* error;
    };
    const Case cases[] = {
        {{ERROR_PIPE_BUSY, 0}, 0, false, 2, true, nullptr},
        {{ERROR_PIPE_BUSY}, ERROR_SEM_TIMEOUT, false, 1, false, "121"},
        {{ERROR_PIPE_BUSY, ERROR_ACCESS_DENIED}, 0, false, 2, false, "5"},
        {{ERROR_FILE_NOT_FOUND}, 0, false, 1, false, "2"},
        {{0}, 0, true, 0, false, "995"},
    };
    for (const Case& c : cases) {
        auto pipe = std::make_shared<ScriptedPipe>();
        pipe->openErrors = c.openErrors;
        pipe->waitError = c.waitError;
        pipe->abandonedAtStart = c.abandoned;
        pipe->reads = {Ok(kConfirmation)};
        TraceCapture trace(true);
        EXPECT_EQ(c.connected, UpdaterServiceCommunication(pipe).CommunicateToUpdaterService());
        EXPECT_EQ(c.creates, pipe->creates);
        const bool busy = c.openErrors.front() == ERROR_PIPE_BUSY;
        EXPECT_EQ(busy ? std::vector<DWORD>{1000} : std::vector<DWORD>{}, pipe->waits);
        EXPECT_EQ(c.connected ? kBothMessages : std::vector<std::string>{}, pipe->writes);
        EXPECT_EQ(c.connected ? 1u : 0u, pipe->closed.size());
        if (c.error) {
            EXPECT_TRUE(trace.HasLine(kConnectFailed + c.error)) << c.error;
        }
    }
}

// Both messages go out, the closing one whatever became of the request, and
// the handle is closed. Each read or write is waited for within its bound, or
// until shutdown, then cancelled: a failed request write reads nothing, a
// read that never ends is the empty reply. Only a reply that did not fit the
// read is read on.
TEST(UpdaterExchange, ReadsAndWritesEndWithinTheirBoundOrAtShutdown) {
    const Op hung = Ok("", Ends::Never);
    struct Case {
        const char* name;
        std::deque<Op> writes, reads;
        bool abandoned, confirmed;
        size_t readCount;
        std::vector<DWORD> operationWaits;
        int cancels;
        std::string traced;
    };
    const Case cases[] = {
        {"confirmed", {}, {Ok(kConfirmation), Ok(kConfirmation)}, false, true, 1, {}, 0, ""},
        {"request write fails", {Fails(ERROR_NO_DATA)}, {Ok(kConfirmation)}, false, false, 0, {}, 0, ""},
        {"request write never ends", {hung}, {Ok(kConfirmation)}, false, false, 0, {kWrite}, 1, ""},
        {"reply never comes", {}, {hung}, false, false, 1, {kReply}, 1, kEmpty},
        {"reply comes later", {}, {Ok(kConfirmation, Ends::AtTheWait)}, false, true, 1, {kReply}, 0, ""},
        {"reply comes as its bound runs out",
         {},
         {Ok(kConfirmation, Ends::AsItIsCancelled)},
         false,
         true,
         1,
         {kReply},
         1,
         ""},
        {"closing write never ends", {Ok(""), hung}, {Ok(kConfirmation)}, false, true, 1, {kWrite}, 1, ""},
        {"shutdown while writing", {hung, hung}, {}, true, false, 0, {kWrite, kWrite}, 2, ""},
        {"shutdown while waiting for the reply", {}, {hung}, true, false, 1, {kReply}, 1, kEmpty},
        {"reply that did not fit",
         {},
         {Fails(ERROR_MORE_DATA, "{\"MessageType\":16,"), Ok("\"ExitCode\":0}"), Ok("x")},
         false,
         true,
         2,
         {},
         0,
         ""},
        {"first complete read ends the reply",
         {},
         {Ok("{\"MessageType\":16,"), Ok("\"ExitCode\":0}")},
         false,
         false,
         1,
         {},
         0,
         "Err|ReadFromPipe failed to parse JSON response."},
        {"another read error ends it with what came",
         {},
         {Fails(ERROR_BROKEN_PIPE, kConfirmation, Ends::AtTheWait), Ok("x")},
         false,
         true,
         1,
         {kReply},
         0,
         ""},
    };
    for (const Case& c : cases) {
        auto pipe = std::make_shared<ScriptedPipe>();
        pipe->writeOps = c.writes;
        pipe->reads = c.reads;
        pipe->abandonedMidway = c.abandoned;
        TraceCapture trace(true);
        EXPECT_EQ(c.confirmed, UpdaterServiceCommunication(pipe).CommunicateToUpdaterService()) << c.name;
        EXPECT_EQ(kBothMessages, pipe->writes) << c.name;
        EXPECT_EQ(std::vector<DWORD>(c.readCount, 512), pipe->readSizes) << c.name;
        EXPECT_EQ(c.operationWaits, pipe->operationWaits) << c.name;
        EXPECT_EQ(c.cancels, pipe->cancels) << c.name;
        EXPECT_EQ(std::vector<HANDLE>{kPipe}, pipe->closed) << c.name;
        EXPECT_TRUE(c.traced.empty() || trace.HasLine(c.traced)) << c.name << "\n" << trace.Contents();
        EXPECT_EQ(c.readCount > 0, trace.Contains("Sent REPAIR_ZELVAR_COM_REGISTRATION message.")) << c.name;
        EXPECT_TRUE(trace.Contains(std::string("UpdaterServiceCommunication::CommunicateToUpdaterService ") +
                                   (c.confirmed ? "succeeded." : "failed.")))
            << c.name;
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
        EXPECT_TRUE(trace.HasLine(c.traced)) << c.reply << "\n" << trace.Contents();
    }
}

}  // namespace
