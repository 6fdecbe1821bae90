// The trace writer end to end in the private prefix (the real registry
// switch, the real local application-data folder and the real file), and the
// pure rules behind it: the switch's decision and the formatting.
#include <windows.h>
// (after windows.h)
#include <msi.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/TestSupport.h"
#include "common/TraceCapture.h"
#include "support/Trace.h"

using namespace BrennicZelvarSDK;

namespace {

const wchar_t kSwitchKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kSwitchValue[] = L"SDKTracingEnabled";
const char kStamp[] = "[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

int FilesOfThisProcess() {
    WIN32_FIND_DATAW found;
    const std::wstring pattern = zvtest::TraceCapture::TracingFolder() + L"\\ZelvarSDK_Runtime-*-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-*.txt";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int count = 1;
    while (FindNextFileW(search, &found)) ++count;
    FindClose(search);
    return count;
}

// The file's lines after its header.
std::string Lines(const zvtest::TraceCapture& trace) {
    const std::string all = trace.Contents(), rule(43, '=');
    const size_t second = all.find(rule, rule.size());
    return second == std::string::npos ? std::string() : all.substr(second + rule.size() + 2);
}

// Each test starts and ends with tracing closed and off and no switch values.
class TraceFile : public ::testing::Test {
protected:
    static void Off() {
        CTracer::Close();
        g_TracingEnabled = false;
        zvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kSwitchKey, kSwitchValue);
        zvtest::DeleteRegValue(HKEY_CURRENT_USER, kSwitchKey, kSwitchValue);
    }
    void SetUp() override {
        { zvtest::TraceCapture removesOldFilesOfThisProcessId; }  // process ids are reused
        Off();
    }
    void TearDown() override { Off(); }
    static bool OpensWith(HKEY root, DWORD type, const void* data, DWORD size) {
        EXPECT_EQ(ERROR_SUCCESS, zvtest::SetRegValue(root, kSwitchKey, kSwitchValue, type, data, size));
        CTracer::Open(L"Zelvar Runtime SDK DLL", L"ZelvarSDK_Runtime");
        const bool on = g_TracingEnabled;
        CTracer::Close();
        return on;
    }
};

}  // namespace

TEST_F(TraceFile, EachLevelWritesOneLineInTheDefinedFormatAsUtf8) {
    zvtest::TraceCapture trace(true);
    TraceError(L"%S: caught COM error %u", "BrennicZelvarSDK::ZVImplementationV1::Prepare", 2147500037u);
    TraceInfo(L"Initialize Starts");
    TraceWarning(L"CoAllowSetForegroundWindow failed with HResult %u", 0x80070005u);
    TraceAssert(true, L"never written");
    TraceAssert(false, L"checked %s", L"value");
    TraceInfo(L"ends with a line feed\n");
    TraceInfo(L"%s|%S", L"Z\u00FCrich \u20AC \U0001F600", "plain");
    const std::string s = kStamp;
    const std::regex lines(s +
                           " Err   : BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147500037\r\n" +
                           s + "       : Initialize Starts\r\n" +                                          //
                           s + " Wrn   : CoAllowSetForegroundWindow failed with HResult 2147942405\r\n" +  //
                           s + " Assert : checked value\r\n" +                                             //
                           s + "       : ends with a line feed\r\n\r\n" +                                  //
                           s + "       : Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80\\|plain\r\n");
    EXPECT_TRUE(std::regex_match(Lines(trace), lines)) << Lines(trace);
    // After Close tracing stays on, towards the debugger: the file is not written.
    const std::string closed = trace.Contents();
    CTracer::Close();
    EXPECT_TRUE(g_TracingEnabled);
    TraceError(L"after close");
    EXPECT_EQ(closed, trace.Contents());
}

TEST_F(TraceFile, TheSwitchCountsOnlyTerminatedTextValuesReadWhole) {
    ASSERT_EQ(ERROR_SUCCESS, zvtest::SetRegString(HKEY_CURRENT_USER, kSwitchKey, kSwitchValue, L"true"));
    const std::wstring expandFalse = L"false", longText(200, L'x');
    const wchar_t unterminated[] = L"falseX";  // stored without the X: no terminator follows
    const DWORD one = 1;
    // An expandable text counts like a plain one: the machine's "false" wins,
    // and nothing is opened or written.
    EXPECT_FALSE(OpensWith(HKEY_LOCAL_MACHINE, REG_EXPAND_SZ, expandFalse.c_str(), 12));
    TraceError(L"nowhere");
    EXPECT_EQ(0, FilesOfThisProcess());
    // A number or an unterminated text is not found: the user's "true" decides.
    EXPECT_TRUE(OpensWith(HKEY_LOCAL_MACHINE, REG_DWORD, &one, sizeof one));
    EXPECT_TRUE(OpensWith(HKEY_LOCAL_MACHINE, REG_SZ, unterminated, 10));
    // A value longer than the first 102-byte read is still found (and off).
    EXPECT_FALSE(OpensWith(HKEY_LOCAL_MACHINE, REG_SZ, longText.c_str(), 402));
}

TEST_F(TraceFile, AMissingTracingFolderLeavesTracingOnWithoutAFileAndIsNotCreated) {
    ASSERT_EQ(ERROR_SUCCESS, zvtest::SetRegString(HKEY_CURRENT_USER, kSwitchKey, kSwitchValue, L"true"));
    // Other programs' trace files may be in the folder: it is moved aside and back.
    const std::wstring folder = zvtest::TraceCapture::TracingFolder();
    const std::wstring aside = folder + L"-aside-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(MoveFileW(folder.c_str(), aside.c_str())) << GetLastError();
    CTracer::Open(L"Zelvar Runtime SDK DLL", L"ZelvarSDK_Runtime");
    EXPECT_TRUE(g_TracingEnabled);
    TraceError(L"goes to the debugger output");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str()));
    CTracer::Close();
    EXPECT_TRUE(MoveFileW(aside.c_str(), folder.c_str())) << GetLastError();
}

TEST_F(TraceFile, LinesFromManyThreadsNeverInterleave) {
    zvtest::TraceCapture trace(true);
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id)
        threads.emplace_back([id] {
            for (int i = 0; i < 50; ++i) TraceInfo(L"thread %d line %d of a message long enough to tear", id, i);
        });
    for (auto& t : threads) t.join();
    const std::regex line(std::string(kStamp) +
                          "       : thread ([0-3]) line ([0-9]+) of a message long enough to tear\r");
    int perThread[4] = {0, 0, 0, 0}, total = 0;
    const std::string written = Lines(trace);
    for (size_t start = 0, end = written.find('\n'); end != std::string::npos;
         start = end + 1, end = written.find('\n', start)) {
        std::smatch m;
        const std::string one = written.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        EXPECT_EQ(perThread[std::stoi(m[1].str())]++, std::stoi(m[2].str()));  // each thread's lines in its order
        ++total;
    }
    EXPECT_EQ(200, total);
}

TEST_F(TraceFile, AFormattingAssertionInsideTheWriterDoesNotDeadlock) {
    zvtest::TraceCapture trace(true);
    // Two widths that together exceed what the runtime can count: the
    // formatter's assertion fires while the writer holds the trace lock.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread writer([done] {
        TraceError(L"%2147483647d%2147483647d", 1, 2);
        SetEvent(done);
    });
    const DWORD waited = WaitForSingleObject(done, 20000);
    waited == WAIT_OBJECT_0 ? writer.join() : writer.detach();
    ASSERT_EQ(WAIT_OBJECT_0, waited) << "the writer waited for its own lock";
    TraceInfo(L"still tracing");
    const std::string s = kStamp;
    EXPECT_TRUE(std::regex_match(Lines(trace), std::regex(s + " Assert : CUtils::FormatString error\r\n" + s +
                                                          " Err   : \r\n" + s + "       : still tracing\r\n")))
        << Lines(trace);
}

namespace {
std::wstring Format(const wchar_t* format, ...) {
    std::wstring out = L"stale";
    va_list args;
    va_start(args, format);
    CUtils::FormatString(out, format, args);
    va_end(args);
    return out;
}
TraceSwitchValue Value(const wchar_t* text) {
    return EvaluateTraceSwitchText(true, text);
}
const TraceSwitchValue kMissing = EvaluateTraceSwitchText(false, L"true");
}  // namespace

TEST(FormatString, ANullFormatGivesNothingAndALongTextIsNeverCut) {
    EXPECT_EQ(L"", Format(nullptr));
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(L"[" + longText + L"]", Format(L"[%s]", longText.c_str()));
}

TEST(TraceSwitch, OnlyTheThreeSpellingsOfTrueAreOnAndTheMachineDecidesUnlessTheUserTurnsItOff) {
    for (const wchar_t* text : {L"true", L"True", L"TRUE"}) EXPECT_TRUE(Value(text).found && Value(text).on);
    for (const wchar_t* text : {L"tRUE", L"1", L"true ", L"false"}) EXPECT_TRUE(Value(text).found && !Value(text).on);
    EXPECT_FALSE(Value(L"").found || Value(L"").on);
    EXPECT_FALSE(kMissing.found || kMissing.on);
    const int here = INSTALLSTATE_UNKNOWN, local = INSTALLSTATE_LOCAL;
    EXPECT_TRUE(DecideTracing(Value(L"True"), kMissing, here));
    EXPECT_FALSE(DecideTracing(Value(L"true"), Value(L"no"), here));
    EXPECT_TRUE(DecideTracing(Value(L"TRUE"), Value(L""), here));
    EXPECT_TRUE(DecideTracing(Value(L"true"), Value(L"true"), local));
    EXPECT_FALSE(DecideTracing(Value(L"1"), Value(L"true"), here));
    // Without a machine value the user decides, unless the component is installed locally.
    EXPECT_TRUE(DecideTracing(kMissing, Value(L"true"), INSTALLSTATE_ABSENT));
    EXPECT_FALSE(DecideTracing(kMissing, Value(L"true"), local));
    EXPECT_FALSE(DecideTracing(kMissing, Value(L"false"), here));
    EXPECT_FALSE(DecideTracing(kMissing, kMissing, here));
    EXPECT_TRUE(DecideTracing(Value(L""), Value(L"True"), here));
}
