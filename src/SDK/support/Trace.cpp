#include "support/Trace.h"

#include <windows.h>
#include <msi.h>
#include <share.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <ostream>
#include <streambuf>
#include <stdexcept>
#include <vector>

#include "sync/Globals.h"
#include "support/Convert.h"
#include "support/Scoped.h"

namespace BrennicZelvarSDK {

std::atomic<bool> g_TracingEnabled{false};

namespace {

const wchar_t kLevelInfo[] = L"     ";
const wchar_t kLevelError[] = L"Err  ";
const wchar_t kLevelWarning[] = L"Wrn  ";
const wchar_t kLevelAssert[] = L"Assert";

const wchar_t kSwitchKey[] = L"SOFTWARE\\Brennic\\Zelvar";
const wchar_t kSwitchValue[] = L"SDKTracingEnabled";
const wchar_t kInstallerComponent[] = L"{49EFF380-B2CF-4ab8-8014-AD40BD803643}";
const wchar_t kWriteFailedText[] = L"An exception was thrown during CTracer::WriteMessage";

// A stream buffer that hands every write straight to a C runtime FILE, which
// does its own buffering.
class FileWriteBuffer : public std::streambuf {
public:
    explicit FileWriteBuffer(FILE* file) : m_file(file) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        return std::fputc(c, m_file) == EOF ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        return static_cast<std::streamsize>(std::fwrite(text, 1, static_cast<size_t>(count), m_file));
    }
    int sync() override { return std::fflush(m_file) == 0 ? 0 : -1; }

private:
    FILE* m_file;
};

// The trace file: opened for appending in text mode, so that every line feed
// reaches the disk as CR LF, and shared for reading and writing with other
// processes. The C runtime's FILE carries those modes; the C++ stream on top
// of it carries the "failed" state of the trace stream.
class TraceFileStream {
public:
    TraceFileStream() : m_stream(nullptr) { m_stream.setstate(std::ios::badbit); }
    ~TraceFileStream() { close(); }
    TraceFileStream(const TraceFileStream&) = delete;
    TraceFileStream& operator=(const TraceFileStream&) = delete;

    bool is_open() const { return m_file != nullptr; }

    // Opening an open stream, or a file that cannot be opened, marks the
    // stream failed and leaves any open file as it is.
    void open(const std::wstring& path) {
        if (m_file) {
            m_stream.setstate(std::ios::failbit);
            return;
        }
        FILE* file = _wfsopen(path.c_str(), L"a", _SH_DENYNO);
        if (!file) {
            m_stream.setstate(std::ios::failbit);
            return;
        }
        m_file = file;
        m_buffer.reset(new FileWriteBuffer(file));
        m_stream.rdbuf(m_buffer.get());
        m_stream.clear();
    }

    void close() {
        if (!m_file) return;
        m_stream.flush();
        const bool flushed = !m_stream.fail();
        m_stream.rdbuf(nullptr);
        m_buffer.reset();  // does not close the FILE it was given
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        if (!flushed || !closed) m_stream.setstate(std::ios::failbit);
    }

    std::ostream& stream() { return m_stream; }

private:
    FILE* m_file = nullptr;
    std::unique_ptr<FileWriteBuffer> m_buffer;
    std::ostream m_stream;
};

TraceFileStream g_TraceStream ZV_GUARDED_BY(g_TraceLock);

// Thread that holds g_TraceLock inside the tracer, 0 when none. A thread
// compares it only with its own id, which only that thread writes, so the
// unlocked read is safe. It lets an assertion raised while formatting inside
// the writer reach the trace without asking again for the lock, which is not
// re-entrant.
std::atomic<DWORD> g_TraceLockOwner{0};

class ZV_SCOPED_CAPABILITY TraceLockHold {
public:
    TraceLockHold() ZV_ACQUIRE(g_TraceLock) : m_hold(g_TraceLock) { g_TraceLockOwner.store(GetCurrentThreadId()); }
    ~TraceLockHold() ZV_RELEASE() { g_TraceLockOwner.store(0); }
    TraceLockHold(const TraceLockHold&) = delete;
    TraceLockHold& operator=(const TraceLockHold&) = delete;

private:
    ExclusiveLockHold m_hold;
};

bool CurrentThreadHoldsTraceLock() {
    return g_TraceLockOwner == GetCurrentThreadId();
}

// Called where CurrentThreadHoldsTraceLock() has just said yes: the hold was
// taken further up this thread's stack, by a writer the analysis cannot see
// from here (an assertion raised inside the writer's own formatting).
void TraceLockIsHeldByThisThread() ZV_ASSERT_CAPABILITY(g_TraceLock) {}

std::wstring Format(const wchar_t* format, ...) {
    std::wstring out;
    va_list args;
    va_start(args, format);
    CUtils::FormatString(out, format, args);
    va_end(args);
    return out;
}

// Formats with the Microsoft C runtime's wide printf: %s is a wide string and
// %S a narrow one. (The compiler's own stdio would read %s as narrow, so only
// the runtime's counting and "_s" forms are used here.) Returns false, with
// out empty, when the runtime refuses the format.
bool FormatWithRuntime(std::wstring& out, const wchar_t* format, va_list args, bool* writtenMatches) {
    out.clear();
    *writtenMatches = true;
    va_list counting;
    va_copy(counting, args);
    const int count = _vscwprintf(format, counting);
    va_end(counting);
    if (count < 0) return false;

    std::vector<wchar_t> buffer(static_cast<size_t>(count) + 1, L'\0');
    va_list writing;
    va_copy(writing, args);
    const int written = _vsnwprintf_s(buffer.data(), buffer.size(), _TRUNCATE, format, writing);
    va_end(writing);
    *writtenMatches = written == count;
    out.assign(buffer.data(), written >= 0 ? static_cast<size_t>(written) : wcsnlen(buffer.data(), count));
    return true;
}

// The C runtime's "%c" in its default locale: month/day/two-digit year and
// hours:minutes:seconds, in UTC.
std::wstring UtcTimeText(const wchar_t* format) {
    const __time64_t now = _time64(nullptr);
    const struct tm* utc = _gmtime64(&now);
    wchar_t text[128] = {};
    if (utc) wcsftime(text, 128, format, utc);
    return text;
}

// Writes a finished line to the open file, else to the debugger output.
void EmitLine(const std::wstring& line) ZV_REQUIRES(g_TraceLock) {
    if (g_TraceStream.is_open()) {
        g_TraceStream.stream() << WideToUtf8String(line);
        g_TraceStream.stream().flush();
    } else {
        OutputDebugStringW(line.c_str());
    }
}

// An assertion raised while this thread already holds g_TraceLock (inside
// the writer's own formatting): the line is written at once, without taking
// the lock again and without the assertion-checked formatter.
void WriteAssertionHoldingLock(const wchar_t* format, va_list args) ZV_REQUIRES(g_TraceLock) {
    try {
        std::wstring message;
        bool ignored = false;
        if (format) FormatWithRuntime(message, format, args, &ignored);
        EmitLine(UtcTimeText(L"%c") + L" " + kLevelAssert + L" : " + message + L"\n");
    } catch (...) {
        OutputDebugStringW(kWriteFailedText);
    }
}

// Reads a text value: a 102-byte first try, grown while the registry asks for
// more. Only REG_SZ and REG_EXPAND_SZ with empty or properly terminated data
// count as present.
bool ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* valueName, std::wstring& text) {
    text.clear();
    ScopedRegKey key;
    if (RegOpenKeyExW(root, subKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return false;

    std::vector<BYTE> buffer(102);
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(buffer.size());
    LONG rc = RegQueryValueExW(key.Get(), valueName, nullptr, &type, buffer.data(), &size);
    while (rc == ERROR_MORE_DATA) {
        buffer.resize(size);
        size = static_cast<DWORD>(buffer.size());
        rc = RegQueryValueExW(key.Get(), valueName, nullptr, &type, buffer.data(), &size);
    }
    if (rc != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    if (size == 0) return true;
    if (size % 2 != 0) return false;
    const auto* chars = reinterpret_cast<const wchar_t*>(buffer.data());
    const size_t units = size / 2;
    if (chars[units - 1] != L'\0') return false;
    text.assign(chars, wcsnlen(chars, units));
    return true;
}

TraceSwitchValue ReadTraceSwitch(HKEY root) {
    std::wstring text;
    const bool present = ReadRegistryText(root, kSwitchKey, kSwitchValue, text);
    return EvaluateTraceSwitchText(present, text);
}

void WriteHeader(std::ostream& out, const std::wstring& description) {
    const std::string rule(43, '=');
    wchar_t module[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, module, MAX_PATH) == 0) module[0] = L'\0';
    out << rule << "\n";
    out << WideToUtf8String(description) << " \n\n";
    out << "Starting: " << WideToUtf8String(UtcTimeText(L"%c")) << "\n\n";
    out << "Module: " << WideToUtf8String(module) << "\n\n";
    out << "Bitness: " << sizeof(void*) * 8 << "\n";
    out << rule << "\n";
    out.flush();
}

}  // namespace

// ---------------------------------------------------------------------------
// Switch decision

TraceSwitchValue EvaluateTraceSwitchText(bool present, const std::wstring& text) {
    TraceSwitchValue value{};
    value.found = present && !text.empty();
    value.on = value.found && (text == L"true" || text == L"True" || text == L"TRUE");
    return value;
}

bool DecideTracing(TraceSwitchValue machine, TraceSwitchValue user, int componentInstallState) {
    if (machine.found) return machine.on && !(user.found && !user.on);
    return componentInstallState != INSTALLSTATE_LOCAL && user.found && user.on;
}

// ---------------------------------------------------------------------------
// Trace routines

void TraceInfo(const wchar_t* format, ...) {
    if (!g_TracingEnabled) return;
    va_list args;
    va_start(args, format);
    CTracer::WriteMessage(kLevelInfo, format, args);
    va_end(args);
}

void TraceError(const wchar_t* format, ...) {
    if (!g_TracingEnabled) return;
    va_list args;
    va_start(args, format);
    CTracer::WriteMessage(kLevelError, format, args);
    va_end(args);
}

void TraceWarning(const wchar_t* format, ...) {
    if (!g_TracingEnabled) return;
    va_list args;
    va_start(args, format);
    CTracer::WriteMessage(kLevelWarning, format, args);
    va_end(args);
}

void TraceAssert(bool condition, const wchar_t* format, ...) {
    if (!g_TracingEnabled || condition) return;
    va_list args;
    va_start(args, format);
    if (CurrentThreadHoldsTraceLock()) {
        TraceLockIsHeldByThisThread();
        WriteAssertionHoldingLock(format, args);
    } else {
        CTracer::WriteMessage(kLevelAssert, format, args);
    }
    va_end(args);
}

// ---------------------------------------------------------------------------
// CUtils

std::wstring& CUtils::FormatString(std::wstring& out, const wchar_t* format, va_list args) {
    out.clear();
    if (!format) return out;
    bool writtenMatches = true;
    const bool counted = FormatWithRuntime(out, format, args, &writtenMatches);
    TraceAssert(counted, L"CUtils::FormatString error");
    if (counted) TraceAssert(writtenMatches, L"CUtils::FormatString error");
    return out;
}

// ---------------------------------------------------------------------------
// CTracer

void CTracer::WriteMessage(const wchar_t* level, const wchar_t* format, va_list args) {
    TraceLockHold hold;
    try {
        std::wstring message;
        CUtils::FormatString(message, format, args);
        const std::wstring stamp = UtcTimeText(L"%c");
        EmitLine(Format(L"%s %s : %s\n", stamp.c_str(), level, message.c_str()));
    } catch (...) {
        OutputDebugStringW(kWriteFailedText);
    }
}

std::wstring CTracer::GetTraceFilePath(const std::wstring& moduleName) {
    wchar_t localAppData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, localAppData)))
        throw std::runtime_error("Failed to get local app data folder.");
    const std::wstring folder = std::wstring(localAppData) + L"\\Brennic\\Zelvar";
    const std::wstring stamp = UtcTimeText(L"%Y_%m_%d-%H_%M_%S");
    // The routine's own address tells apart two copies of the library loaded
    // into one process.
    const void* self = reinterpret_cast<const void*>(&CTracer::GetTraceFilePath);
    return Format(L"%s\\Tracing\\%s-%s-%d-%p.txt", folder.c_str(), moduleName.c_str(), stamp.c_str(),
                  static_cast<int>(GetCurrentProcessId()), self);
}

void CTracer::Open(const std::wstring& description, const std::wstring& moduleName) {
    TraceLockHold hold;
    const TraceSwitchValue machine = ReadTraceSwitch(HKEY_LOCAL_MACHINE);
    const TraceSwitchValue user = ReadTraceSwitch(HKEY_CURRENT_USER);
    const int componentState = MsiLocateComponentW(kInstallerComponent, nullptr, nullptr);
    if (!DecideTracing(machine, user, componentState)) {
        g_TracingEnabled = false;
        return;
    }
    g_TracingEnabled = true;
    try {
        const std::wstring path = GetTraceFilePath(moduleName);
        if (g_TraceStream.is_open()) {
            g_TraceStream.open(path);  // marks the stream failed, keeps the file
            return;
        }
        g_TraceStream.open(path);
        if (g_TraceStream.is_open()) WriteHeader(g_TraceStream.stream(), description);
    } catch (...) {
        // No local application-data folder or a failed conversion: tracing
        // stays on and goes to the debugger output.
    }
}

void CTracer::Close() {
    TraceLockHold hold;
    if (g_TracingEnabled && g_TraceStream.is_open()) g_TraceStream.close();
}

}  // namespace BrennicZelvarSDK
