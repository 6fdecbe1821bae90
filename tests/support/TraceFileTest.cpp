// The trace writer end to end in the private prefix: the real registry
// switch, the real local application-data folder and the real file.
#include <gtest/gtest.h>

#include <process.h>
#include <shlobj.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/TestSupport.h"
#include "common/TracerSession.h"
#include "support/Convert.h"
#include "support/Scoped.h"
#include "support/Trace.h"

using namespace BrennicZelvarSDK;
using zvtest::kTraceSwitchKey;
using zvtest::kTraceSwitchValue;

namespace {

const wchar_t kRuntimeDescription[] = L"Zelvar Runtime SDK DLL";
const wchar_t kRuntimeModule[] = L"ZelvarSDK_Runtime";
const char kStampPattern[] = "[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

LONG SetRegRaw(HKEY root, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, kTraceSwitchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, kTraceSwitchValue, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return rc;
}

LONG SetSwitch(HKEY root, const std::wstring& text, DWORD type = REG_SZ) {
    return SetRegRaw(root, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ClearSwitches() {
    zvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kTraceSwitchKey, kTraceSwitchValue);
    zvtest::DeleteRegValue(HKEY_CURRENT_USER, kTraceSwitchKey, kTraceSwitchValue);
}

void DeleteTraceFiles(const std::wstring& module) {
    for (std::wstring path = zvtest::FindTraceFile(module); !path.empty(); path = zvtest::FindTraceFile(module)) {
        if (!DeleteFileW(path.c_str())) break;
    }
}

std::string Narrow(const std::wstring& text) {
    return WideToUtf8String(text);
}

// Each test starts and ends with tracing off, no switch values and no trace
// file of the runtime module name.
class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        CTracer::Close();
        g_TracingEnabled = false;
        ClearSwitches();
        ASSERT_TRUE(zvtest::EnsureTraceFolder());
        DeleteTraceFiles(kRuntimeModule);
    }
    void TearDown() override {
        CTracer::Close();
        g_TracingEnabled = false;
        ClearSwitches();
        DeleteTraceFiles(kRuntimeModule);
        zvtest::EnsureTraceFolder();
    }

    // Opens the runtime trace and returns its path (empty when none).
    std::wstring OpenRuntimeTrace() {
        CTracer::Open(kRuntimeDescription, kRuntimeModule);
        return zvtest::FindTraceFile(kRuntimeModule);
    }
};

struct TracingThread {
    int id;
    static unsigned __stdcall Run(void* arg) {
        const int id = static_cast<TracingThread*>(arg)->id;
        for (int i = 0; i < 50; ++i) TraceInfo(L"thread %d line %d of a message long enough to tear", id, i);
        return 0;
    }
};

unsigned __stdcall TraceWithOverflowingFormat(void*) {
    // Two widths that together exceed what the runtime can count: the
    // formatter's assertion fires while the writer holds the trace lock.
    TraceError(L"%2147483647d%2147483647d", 1, 2);
    return 0;
}

}  // namespace

TEST_F(TraceFile, OpenNamesTheFileAndWritesTheHeader) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"true"));
    const std::wstring path = OpenRuntimeTrace();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(g_TracingEnabled);

    // <folder>\ZelvarSDK_Runtime-<UTC stamp>-<pid>-<address of the path routine>.txt
    char address[32];
    std::snprintf(address, sizeof address, "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&CTracer::GetTraceFilePath)));
    const std::string name = Narrow(path.substr(path.find_last_of(L'\\') + 1));
    const std::regex namePattern("ZelvarSDK_Runtime-[0-9]{4}_[0-9]{2}_[0-9]{2}-[0-9]{2}_[0-9]{2}_[0-9]{2}-" +
                                 std::to_string(GetCurrentProcessId()) + "-" + address + "\\.txt");
    EXPECT_TRUE(std::regex_match(name, namePattern)) << name;
    EXPECT_EQ(Narrow(zvtest::TraceFolder()), Narrow(path.substr(0, path.find_last_of(L'\\'))));

    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::string rule(43, '=');
    const std::regex header(rule + "\r\nZelvar Runtime SDK DLL \r\n\r\nStarting: " + kStampPattern +
                            "\r\n\r\nModule: ([^\r\n]*)\r\n\r\nBitness: 64\r\n" + rule + "\r\n");
    const std::string contents = zvtest::ReadFileBytes(path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(contents, match, header)) << contents;
    EXPECT_EQ(Narrow(exe), match[1].str());
}

TEST_F(TraceFile, EachLevelWritesOneLineInTheDefinedFormat) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"True"));
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());

    TraceError(L"%S: caught COM error %u", "BrennicZelvarSDK::ZVImplementationV1::Prepare", 2147500037u);
    TraceInfo(L"Initialize Starts");
    TraceWarning(L"CoAllowSetForegroundWindow failed with HResult %u", 0x80070005u);
    TraceAssert(true, L"never written");
    TraceAssert(false, L"checked %s", L"value");
    TraceInfo(L"ends with a line feed\n");

    const std::string s = kStampPattern;
    const std::regex lines(s +
                           " Err   : BrennicZelvarSDK::ZVImplementationV1::Prepare: caught COM error 2147500037\r\n" +
                           s + "       : Initialize Starts\r\n" +                                          //
                           s + " Wrn   : CoAllowSetForegroundWindow failed with HResult 2147942405\r\n" +  //
                           s + " Assert : checked value\r\n" +                                             //
                           s + "       : ends with a line feed\r\n\r\n");
    const std::string written = trace.Lines();
    EXPECT_TRUE(std::regex_match(written, lines)) << written;
}

TEST_F(TraceFile, NonAsciiTextIsWrittenAsUtf8) {
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());
    TraceInfo(L"%s|%S", L"Z\u00FCrich \u20AC \U0001F600", "plain");
    const std::string written = trace.Lines();
    EXPECT_NE(std::string::npos, written.find(" : Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80|plain\r\n")) << written;
}

TEST_F(TraceFile, WithTheSwitchOffNothingIsOpenedOrWritten) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_LOCAL_MACHINE, L"1"));
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"true"));
    EXPECT_TRUE(OpenRuntimeTrace().empty());
    EXPECT_FALSE(g_TracingEnabled);
    TraceError(L"%S: caught COM error %u", "BrennicZelvarSDK::X::Y", 1u);
    EXPECT_TRUE(zvtest::FindTraceFile(kRuntimeModule).empty());
}

TEST_F(TraceFile, TheRegistrySwitchIsReadFromBothHives) {
    struct Case {
        const wchar_t* machine;  // null: no value
        const wchar_t* user;
        bool expected;
    };
    const Case cases[] = {
        {L"True", nullptr, true}, {L"true", L"no", false},   {L"TRUE", L"", true},
        {nullptr, L"true", true}, {L"1", nullptr, false},    {L"1", L"true", false},
        {nullptr, L"1", false},   {nullptr, nullptr, false}, {L"", L"TRUE", true},
    };
    for (const Case& c : cases) {
        ClearSwitches();
        if (c.machine) {
            ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_LOCAL_MACHINE, c.machine));
        }
        if (c.user) {
            ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, c.user));
        }
        g_TracingEnabled = !c.expected;
        CTracer::Open(kRuntimeDescription, kRuntimeModule);
        EXPECT_EQ(c.expected, g_TracingEnabled) << "machine=" << Narrow(c.machine ? c.machine : L"(none)")
                                                << " user=" << Narrow(c.user ? c.user : L"(none)");
        CTracer::Close();
        DeleteTraceFiles(kRuntimeModule);
    }
}

TEST_F(TraceFile, OnlyTerminatedTextValuesCountAndLongValuesAreReadWhole) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"true"));

    // An expandable text counts like a plain one: the machine's "false" wins.
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_LOCAL_MACHINE, L"false", REG_EXPAND_SZ));
    CTracer::Open(kRuntimeDescription, kRuntimeModule);
    EXPECT_FALSE(g_TracingEnabled) << "REG_EXPAND_SZ machine value ignored";

    // A number is not a text: the machine value is not found, the user decides.
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, SetRegRaw(HKEY_LOCAL_MACHINE, REG_DWORD, &one, sizeof one));
    CTracer::Open(kRuntimeDescription, kRuntimeModule);
    EXPECT_TRUE(g_TracingEnabled) << "REG_DWORD machine value counted";
    CTracer::Close();
    DeleteTraceFiles(kRuntimeModule);

    // Text without its terminating zero is not found either.
    const wchar_t unterminated[] = {L'f', L'a', L'l', L's', L'e'};
    ASSERT_EQ(ERROR_SUCCESS, SetRegRaw(HKEY_LOCAL_MACHINE, REG_SZ, unterminated, sizeof unterminated));
    g_TracingEnabled = false;
    CTracer::Open(kRuntimeDescription, kRuntimeModule);
    EXPECT_TRUE(g_TracingEnabled) << "unterminated machine value counted";
    CTracer::Close();
    DeleteTraceFiles(kRuntimeModule);

    // A value longer than the first 102-byte read is still found (and off).
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_LOCAL_MACHINE, std::wstring(200, L'x')));
    CTracer::Open(kRuntimeDescription, kRuntimeModule);
    EXPECT_FALSE(g_TracingEnabled) << "a long machine value was not read";
}

TEST_F(TraceFile, AfterCloseLinesNoLongerReachTheFile) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"true"));
    const std::wstring path = OpenRuntimeTrace();
    ASSERT_FALSE(path.empty());
    TraceInfo(L"before close");
    CTracer::Close();
    const std::string closed = zvtest::ReadFileBytes(path);
    EXPECT_NE(std::string::npos, closed.find(" : before close\r\n"));

    EXPECT_TRUE(g_TracingEnabled);  // tracing stays on, towards the debugger
    TraceError(L"after close");
    EXPECT_EQ(closed, zvtest::ReadFileBytes(path));
}

TEST_F(TraceFile, AMissingTracingFolderLeavesTracingOnWithoutAFile) {
    ASSERT_EQ(ERROR_SUCCESS, SetSwitch(HKEY_CURRENT_USER, L"true"));
    // Other programs' trace files may be in the folder: move it aside for the
    // test and put it back afterwards.
    const std::wstring folder = zvtest::TraceFolder();
    const std::wstring aside = folder + L"-aside-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(MoveFileW(folder.c_str(), aside.c_str())) << GetLastError();
    CTracer::Open(kRuntimeDescription, kRuntimeModule);
    EXPECT_TRUE(g_TracingEnabled);
    TraceError(L"goes to the debugger output");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(folder.c_str())) << "the SDK must not create the folder";
    CTracer::Close();
    EXPECT_TRUE(MoveFileW(aside.c_str(), folder.c_str())) << GetLastError();
}

TEST_F(TraceFile, LinesFromManyThreadsNeverInterleave) {
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());
    TracingThread workers[4] = {{0}, {1}, {2}, {3}};
    std::vector<HANDLE> threads;
    for (TracingThread& w : workers)
        threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &TracingThread::Run, &w, 0, nullptr)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, threads.data(), TRUE, 60000));
    for (HANDLE h : threads) CloseHandle(h);

    const std::regex line(std::string(kStampPattern) +
                          "       : thread ([0-3]) line ([0-9]+) of a message long enough to tear\r");
    int perThread[4] = {0, 0, 0, 0};
    int total = 0;
    const std::string written = trace.Lines();
    size_t start = 0;
    for (size_t end = written.find('\n'); end != std::string::npos; end = written.find('\n', start)) {
        std::smatch m;
        const std::string one = written.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        const int id = std::stoi(m[1].str());
        EXPECT_EQ(perThread[id], std::stoi(m[2].str()));  // each thread's lines in its own order
        ++perThread[id];
        ++total;
        start = end + 1;
    }
    EXPECT_EQ(200, total);
}

TEST_F(TraceFile, AFormattingAssertionInsideTheWriterDoesNotDeadlock) {
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());
    ScopedHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &TraceWithOverflowingFormat, nullptr, 0, nullptr)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 20000)) << "the writer waited for its own lock";

    // The assertion line comes first (written while formatting), then the
    // line itself with the empty result.
    const std::string s = kStampPattern;
    const std::regex lines(s + " Assert : CUtils::FormatString error\r\n" + s + " Err   : \r\n");
    const std::string written = trace.Lines();
    EXPECT_TRUE(std::regex_match(written, lines)) << written;

    // The lock is free again.
    TraceInfo(L"still tracing");
    EXPECT_NE(std::string::npos, trace.Lines().find(" : still tracing\r\n"));
}
