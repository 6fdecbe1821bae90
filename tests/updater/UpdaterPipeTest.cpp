// The updater exchange over the real named pipe, against the stand-in updater
// service running as a separate process.
#include <gtest/gtest.h>

#include "common/RegistryIsolation.h"
#include "common/TestSupport.h"
#include "common/TraceFileCapture.h"
#include "service/UpdaterServiceCommunication.h"
#include "updater/StandinUpdater.h"

using namespace BrennicZelvarSDK;
using namespace zvtest;

namespace {

const std::string kRepairRequest("{\"MessageType\":16}\n\0", 20);
const std::string kClosingMessage("{\"MessageType\":3}\n\0", 19);
const std::vector<std::string> kBothMessages = {kRepairRequest, kClosingMessage};

// Counts the calls the exchange makes, passing each on to the real pipe.
class CountingFileOperation : public CFileOperation {
public:
    HANDLE CreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD flags, HANDLE templateFile) override {
        ++creates;
        return CFileOperation::CreateFile(name, access, share, security, disposition, flags, templateFile);
    }
    BOOL WaitNamedPipe(LPCWSTR name, DWORD timeoutMs) override {
        waitTimeouts.push_back(timeoutMs);
        return CFileOperation::WaitNamedPipe(name, timeoutMs);
    }
    int creates = 0;
    std::vector<DWORD> waitTimeouts;
};

TEST(UpdaterPipeTest, ConfirmedRepairSendsTheRequestAndTheClosingMessageWithTheirNuls) {
    StandinUpdater updater({});
    ASSERT_TRUE(updater.Ready());
    TraceFileCapture trace;
    UpdaterServiceCommunication communication;
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(0u, updater.Finish());
    const std::vector<std::string> messages = updater.Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(20u, messages[0].size());
    EXPECT_EQ(kRepairRequest, messages[0]);
    EXPECT_EQ(19u, messages[1].size());
    EXPECT_EQ(kClosingMessage, messages[1]);

    EXPECT_TRACE(trace, kTraceInfo, "UpdaterServiceCommunication::CommunicateToUpdaterService called.");
    EXPECT_TRACE(trace, kTraceInfo, "Sent REPAIR_ZELVAR_COM_REGISTRATION message.");
    EXPECT_TRACE(trace, kTraceInfo, "ReadFromPipe received MessageType=16, ExitCode=0");
    EXPECT_TRACE(trace, kTraceInfo, "UpdaterServiceCommunication::CommunicateToUpdaterService succeeded.");
}

struct ReplyCase {
    const char* name;
    std::string reply;
    bool confirmed;
    const char* level;
    const char* trace;
};

std::ostream& operator<<(std::ostream& out, const ReplyCase& c) {
    return out << c.name;
}

class UpdaterReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(UpdaterReplyTest, ReplyDecidesTheOutcomeAndTheClosingMessageIsAlwaysSent) {
    const ReplyCase& c = GetParam();
    TemporaryFile reply(c.reply);
    StandinUpdater updater({L"--reply-file", reply.Path()});
    ASSERT_TRUE(updater.Ready());
    TraceFileCapture trace;
    UpdaterServiceCommunication communication;
    EXPECT_EQ(c.confirmed, communication.CommunicateToUpdaterService());
    EXPECT_EQ(0u, updater.Finish());
    EXPECT_EQ(kBothMessages, updater.Messages());
    EXPECT_TRACE(trace, c.level, c.trace);
    EXPECT_TRACE(trace, kTraceInfo,
                 std::string("UpdaterServiceCommunication::CommunicateToUpdaterService ") +
                     (c.confirmed ? "succeeded." : "failed."));
}

const char kFields[] = "ReadFromPipe response does not contain required fields.";
const char kParse[] = "ReadFromPipe failed to parse JSON response.";

INSTANTIATE_TEST_SUITE_P(
    Replies, UpdaterReplyTest,
    ::testing::Values(
        ReplyCase{"Confirmed", "{\"MessageType\":16,\"ExitCode\":0}\n", true, kTraceInfo,
                  "ReadFromPipe received MessageType=16, ExitCode=0"},
        ReplyCase{"ConfirmedWithOtherMembersNoLineFeed", "{\"ExitCode\":0,\"Detail\":[1],\"MessageType\":16}", true,
                  kTraceInfo, "ReadFromPipe received MessageType=16, ExitCode=0"},
        ReplyCase{"ConfirmedEndingInNul", std::string("{\"MessageType\":16,\"ExitCode\":0}\n\0", 33), true, kTraceInfo,
                  "ReadFromPipe received MessageType=16, ExitCode=0"},
        ReplyCase{"ExitCode5", "{\"MessageType\":16,\"ExitCode\":5}\n", false, kTraceInfo,
                  "ReadFromPipe received MessageType=16, ExitCode=5"},
        ReplyCase{"MessageType3", "{\"MessageType\":3,\"ExitCode\":0}\n", false, kTraceInfo,
                  "ReadFromPipe received MessageType=3, ExitCode=0"},
        ReplyCase{"NoExitCode", "{\"MessageType\":16}\n", false, kTraceError, kFields},
        ReplyCase{"NoMessageType", "{\"ExitCode\":0}\n", false, kTraceError, kFields},
        ReplyCase{"Array", "[16,0]\n", false, kTraceError, kFields},
        ReplyCase{"NotJson", "repair done\n", false, kTraceError, kParse},
        ReplyCase{"ExitCodeString", "{\"MessageType\":16,\"ExitCode\":\"0\"}\n", false, kTraceError, kParse},
        ReplyCase{"ExitCodeNull", "{\"MessageType\":16,\"ExitCode\":null}\n", false, kTraceError, kParse},
        ReplyCase{"TwoValues", "{\"MessageType\":16,\"ExitCode\":0}{\"MessageType\":16,\"ExitCode\":0}", false,
                  kTraceError, kParse},
        ReplyCase{"Comment", "{\"MessageType\":16,\"ExitCode\":0} // ok\n", false, kTraceError, kParse},
        // Only the first 512 bytes are read: the object is cut off.
        ReplyCase{"LongerThanOneRead",
                  "{\"MessageType\":16,\"ExitCode\":0,\"Padding\":\"" + std::string(600, 'p') + "\"}\n", false,
                  kTraceError, kParse}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(UpdaterPipeTest, UpdaterThatHangsUpWithoutReplyingGivesAnEmptyResponse) {
    StandinUpdater updater({L"--no-reply"});
    ASSERT_TRUE(updater.Ready());
    TraceFileCapture trace;
    UpdaterServiceCommunication communication;
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(0u, updater.Finish());
    const std::vector<std::string> messages = updater.Messages();
    ASSERT_GE(messages.size(), 1u);
    EXPECT_EQ(kRepairRequest, messages[0]);
    EXPECT_TRACE(trace, kTraceError, "ReadFromPipe received empty response.");
}

TEST(UpdaterPipeTest, NoUpdaterListeningFailsToConnect) {
    auto files = std::make_shared<CountingFileOperation>();
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(files);
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    // Not busy, just absent: no wait and no second attempt.
    EXPECT_EQ(1, files->creates);
    EXPECT_TRUE(files->waitTimeouts.empty());
    EXPECT_TRACE(trace, kTraceError,
                 "UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service "
                 "with error code 2");
    EXPECT_NO_TRACE(trace, kTraceInfo, "Sent REPAIR_ZELVAR_COM_REGISTRATION message.");
}

TEST(UpdaterPipeTest, BusyPipeThatFreesWithinTheWaitProceeds) {
    StandinUpdater updater({L"--busy-ms", L"300"});
    ASSERT_TRUE(updater.Ready());
    auto files = std::make_shared<CountingFileOperation>();
    UpdaterServiceCommunication communication(files);
    EXPECT_TRUE(communication.CommunicateToUpdaterService());
    EXPECT_EQ(0u, updater.Finish());
    EXPECT_EQ(kBothMessages, updater.Messages());
    EXPECT_EQ(2, files->creates);
    EXPECT_EQ(std::vector<DWORD>{1000}, files->waitTimeouts);
}

TEST(UpdaterPipeTest, BusyPipeThatStaysBusyFailsAfterOneWait) {
    StandinUpdater updater({L"--busy-ms", L"5000"});
    ASSERT_TRUE(updater.Ready());
    auto files = std::make_shared<CountingFileOperation>();
    TraceFileCapture trace;
    UpdaterServiceCommunication communication(files);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(communication.CommunicateToUpdaterService());
    const ULONGLONG elapsed = GetTickCount64() - start;
    updater.Finish(0);
    EXPECT_EQ(1, files->creates);
    EXPECT_EQ(std::vector<DWORD>{1000}, files->waitTimeouts);
    // The one wait lasts its full second (less the tick's granularity).
    EXPECT_GE(elapsed, 950u);
    EXPECT_TRUE(updater.Messages().empty());
    EXPECT_TRACE(trace, kTraceError,
                 "UpdaterServiceCommunication::CommunicateToUpdaterService failed to connect to updater service "
                 "with error code 121");
}

TEST(UpdaterPipeTest, UpdaterRunsItsRepairCommandAndReportsItsExitCode) {
    const wchar_t kRepairedKey[] = L"Software\\ZelvarTest\\UpdaterRepair";
    ScopedRegistryKeyIsolation isolation(HKEY_CURRENT_USER, kRepairedKey);
    {
        StandinUpdater updater(
            {L"--repair-command", L"reg.exe add HKCU\\Software\\ZelvarTest\\UpdaterRepair /v Repaired /d yes /f"});
        ASSERT_TRUE(updater.Ready());
        UpdaterServiceCommunication communication;
        EXPECT_TRUE(communication.CommunicateToUpdaterService());
        EXPECT_EQ(0u, updater.Finish());
        RegValue value;
        ASSERT_TRUE(ReadRegValue(HKEY_CURRENT_USER, kRepairedKey, L"Repaired", value));
        EXPECT_EQ(RegSzBytes(L"yes"), value.bytes);
    }
    {
        StandinUpdater updater({L"--repair-command", L"cmd.exe /c exit 7"});
        ASSERT_TRUE(updater.Ready());
        TraceFileCapture trace;
        UpdaterServiceCommunication communication;
        EXPECT_FALSE(communication.CommunicateToUpdaterService());
        EXPECT_EQ(0u, updater.Finish());
        EXPECT_EQ(kBothMessages, updater.Messages());
        EXPECT_TRACE(trace, kTraceInfo, "ReadFromPipe received MessageType=16, ExitCode=7");
    }
}

}  // namespace
