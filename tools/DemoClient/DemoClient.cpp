// ZelvarDemo: what an application does with ZelvarSDK.dll. It loads the DLL
// from its own folder, obtains all nine interface tables, initialises the SDK,
// opens a connection to the service and gets one web request authenticated:
// a request context for its URL, Prepare (during which the service reports a
// status change on the SDK's callback thread), the headers to add, the
// response reported back; then a trampoline URL, the server type, the
// service's version, CancelAllCalls, the destroys, Uninitialize and the trace
// file.
//
// Usage: ZelvarDemo.exe [--no-connection] [--wait-ms N]
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

#include "DemoHttps.h"
#include "ZelvarSDK.h"

using namespace BrennicZelvarSDK;

namespace {

struct StatusEvents {
    HANDLE arrived;
    std::atomic<long> count;
    unsigned int lastStatus;
    int lastWindow;
    DWORD threadId;
};

void OnStatusChange(unsigned int handle, void* context, unsigned int status, int window) {
    auto* events = static_cast<StatusEvents*>(context);
    events->lastStatus = status;
    events->lastWindow = window;
    events->threadId = GetCurrentThreadId();
    ++events->count;
    wprintf(L"  callback: connection %u status %u window %d (thread %lu)\n", handle, status, window,
            GetCurrentThreadId());
    fflush(stdout);
    SetEvent(events->arrived);
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    return s.substr(0, s.find_last_of(L'\\'));
}

// The newest trace file of this process, printed as it is (UTF-8).
void PrintTraceFile() {
    wchar_t base[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base);
    std::wstring folder = std::wstring(base) + L"\\Brennic\\Zelvar\\Tracing";
    std::wstring pattern = folder + L"\\ZelvarSDK_Runtime-*-" + std::to_wstring(GetCurrentProcessId()) + L"-*.txt";
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        wprintf(L"no trace file found in %ls\n", folder.c_str());
        return;
    }
    std::wstring newest;
    do {
        std::wstring name = data.cFileName;
        if (name > newest) newest = name;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::wstring path = folder + L"\\" + newest;
    wprintf(L"---- trace file %ls ----\n", path.c_str());
    fflush(stdout);
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD got = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        DWORD written = 0;
        WriteFile(out, buffer, got, &written, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    wprintf(L"---- end of trace file ----\n");
}

int Fail(const wchar_t* what, unsigned int result) {
    wprintf(L"FAILED: %ls returned %u\n", what, result);
    return 1;
}

// Wine cannot revoke an object of another process from the Global Interface
// Table (0x8001011D, after removing the entry); Windows revokes it and the
// destroy returns 0. The handle is gone either way, which a second destroy
// shows with ZV_ERROR_INVALID_HANDLE.
bool DestroyedDespiteWineGap(const wchar_t* what, ZVResult first, ZVResult second) {
    wprintf(L"%ls -> %u, again -> %u (the handle is gone)\n", what, first, second);
    if (first == ZV_ERROR_FAILED) {
        wprintf(L"  (known Wine gap: the GIT revoke of a cross-process object fails; see the trace)\n");
    }
    return (first == ZV_SUCCESS || first == ZV_ERROR_FAILED) && second == ZV_ERROR_INVALID_HANDLE;
}

// The typical request of an application, one function per step, so that
// further steps (an HTTP request made by the service) slot in between.
class Demo {
public:
    Demo(ZVImplementationV1Interface* v1, ZVImplementationV4Interface* v4, DWORD waitMs)
        : m_v1(v1),
          m_v2(v4->GetPreviousInterface()->GetPreviousInterface()),
          m_v3(v4->GetPreviousInterface()),
          m_waitMs(waitMs) {
        m_events.arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Demo() { CloseHandle(m_events.arrived); }

    bool OpenConnection() {
        ZVResult r = m_v1->CreateConnection(L"ZelvarDemo", OnStatusChange, &m_events, &m_connection);
        wprintf(L"CreateConnection -> %u, handle %u\n", r, m_connection);
        return Check(L"CreateConnection", r);
    }

    bool OpenRequestContext(const wchar_t* url) {
        ZVResult r = m_v1->CreateRequestContext(m_connection, url, 0, &m_context);
        wprintf(L"CreateRequestContext(%ls) -> %u, handle %u\n", url, r, m_context);
        return Check(L"CreateRequestContext", r);
    }

    // The service may show its logon window while it prepares; it reports
    // that as a status change, which arrives on the SDK's callback thread.
    bool PrepareRequest() {
        const ZVChar* strings[] = {L"GET", L"Accept: text/html", nullptr};
        unsigned int result = 0;
        ZVResult r = m_v1->Prepare(m_context, strings, &result);
        wprintf(L"Prepare -> %u, authentication result %u\n", r, result);
        if (!Check(L"Prepare", r)) return false;
        if (WaitForSingleObject(m_events.arrived, m_waitMs) != WAIT_OBJECT_0) {
            wprintf(L"no status change arrived within %lu ms\n", m_waitMs);
            return false;
        }
        wprintf(L"status change received: status %u window %d on the SDK's callback thread %lu\n", m_events.lastStatus,
                m_events.lastWindow, m_events.threadId);
        return true;
    }

    bool FetchHeaders() {
        ZVChar** headers = nullptr;
        ZVResult r = m_v1->GetHeaders(m_context, &headers);
        wprintf(L"GetHeaders -> %u\n", r);
        if (!Check(L"GetHeaders", r)) return false;
        for (ZVChar** line = headers; *line; ++line) wprintf(L"  header: %ls\n", *line);
        m_v1->FreeHeaders(headers);
        return true;
    }

    // The application sent its own request with those headers; it tells the
    // service what came back.
    bool ReportResponse() {
        const ZVChar* strings[] = {L"HTTP/1.1 200 OK", L"Content-Type: text/html", nullptr};
        ZVResult r = m_v2->ReportHttpResponse(m_context, 200, strings);
        wprintf(L"ReportHttpResponse(200) -> %u\n", r);
        return Check(L"ReportHttpResponse", r);
    }

    bool GenerateTrampoline(const wchar_t* target) {
        ZVChar* url = nullptr;
        unsigned int result = 0;
        ZVResult r = m_v3->GenerateTrampolineUrl(m_connection, target, 0, nullptr, &url, &result);
        wprintf(L"GenerateTrampolineUrl -> %u, authentication result %u, url %ls\n", r, result, url ? url : L"(none)");
        m_v3->FreeTrampolineUrl(url);
        return Check(L"GenerateTrampolineUrl", r);
    }

    bool ShowServerType(const wchar_t* serverUrl) {
        _ZV_SERVER_TYPE_INFO* info = nullptr;
        ZVResult r = m_v3->DetermineServerType(m_connection, serverUrl, &info);
        wprintf(L"DetermineServerType(%ls) -> %u", serverUrl, r);
        if (info) {
            wprintf(L", server type %u", info->serverType);
            if (info->gatewayInfo) {
                wprintf(L", gateway url %ls, gateway string %ls, values %u %u %u", info->gatewayInfo->gatewayUrl,
                        info->gatewayInfo->gatewayString, info->gatewayInfo->gatewayValue1,
                        info->gatewayInfo->gatewayValue2, info->gatewayInfo->gatewayValue3);
            }
        }
        wprintf(L"\n");
        m_v3->FreeServerTypeInfo(info);
        return Check(L"DetermineServerType", r);
    }

    bool ShowVersion() {
        ZVChar* version = nullptr;
        ZVResult r = m_v3->GetVersion(m_connection, &version);
        wprintf(L"GetVersion -> %u, version %ls\n", r, version ? version : L"(none)");
        m_v1->FreeTranslatedUrl(version);
        return Check(L"GetVersion", r);
    }

    bool CancelCalls() {
        ZVResult r = m_v1->CancelAllCalls(m_connection);
        wprintf(L"CancelAllCalls -> %u\n", r);
        return Check(L"CancelAllCalls", r);
    }

    bool CloseRequestContext() {
        ZVResult first = m_v1->DestroyRequestContext(m_context);
        return DestroyedDespiteWineGap(L"DestroyRequestContext", first, m_v1->DestroyRequestContext(m_context));
    }

    unsigned int Connection() const { return m_connection; }
    bool CloseConnection() {
        ZVResult first = m_v1->DestroyConnection(m_connection);
        return DestroyedDespiteWineGap(L"DestroyConnection", first, m_v1->DestroyConnection(m_connection));
    }

private:
    static bool Check(const wchar_t* what, ZVResult r) {
        if (r == ZV_SUCCESS) return true;
        Fail(what, r);
        return false;
    }

    ZVImplementationV1Interface* m_v1;
    ZVImplementationV2Interface* m_v2;
    ZVImplementationV3Interface* m_v3;
    DWORD m_waitMs;
    StatusEvents m_events{};
    unsigned int m_connection = 0;
    unsigned int m_context = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool connect = true;
    DWORD waitMs = 10000;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--no-connection") == 0) connect = false;
        if (wcscmp(argv[i], L"--wait-ms") == 0 && i + 1 < argc) waitMs = wcstoul(argv[++i], nullptr, 10);
    }

    // Tracing on for this user, into <local app data>\Brennic\Zelvar\Tracing.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Brennic\\Zelvar", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        const wchar_t on[] = L"true";
        RegSetValueExW(key, L"SDKTracingEnabled", 0, REG_SZ, reinterpret_cast<const BYTE*>(on), sizeof on);
        RegCloseKey(key);
    }
    wchar_t base[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base);
    SHCreateDirectoryExW(nullptr, (std::wstring(base) + L"\\Brennic\\Zelvar\\Tracing").c_str(), nullptr);

    HMODULE sdk = LoadLibraryW((ExeFolder() + L"\\ZelvarSDK.dll").c_str());
    if (!sdk) return Fail(L"LoadLibrary(ZelvarSDK.dll)", GetLastError());
    auto queryInterface =
        reinterpret_cast<ZVQueryInterfaceFn>(reinterpret_cast<void*>(GetProcAddress(sdk, "QueryInterface")));
    if (!queryInterface) return Fail(L"GetProcAddress(QueryInterface)", GetLastError());

    const wchar_t* ids[] = {ZV_IID_V1, ZV_IID_V2, ZV_IID_V3, ZV_IID_V4, ZV_IID_V5,
                            ZV_IID_V6, ZV_IID_V7, ZV_IID_V8, ZV_IID_V9};
    void* tables[9] = {};
    for (int i = 0; i < 9; ++i) {
        if (!queryInterface(ids[i], &tables[i])) return Fail(L"QueryInterface", i + 1);
        wprintf(L"V%d interface table at %p\n", i + 1, tables[i]);
    }
    // Walk from V9 down to V1 with GetPreviousInterface.
    auto* v9 = static_cast<ZVImplementationV9Interface*>(tables[8]);
    void* walked = v9->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface()
                       ->GetPreviousInterface();
    wprintf(L"V9 walked down eight times reaches %p (%ls)\n", walked, walked == tables[0] ? L"V1" : L"WRONG");
    if (walked != tables[0]) return 1;

    auto* v1 = static_cast<ZVImplementationV1Interface*>(tables[0]);
    ZVResult r = v1->Initialize();
    wprintf(L"Initialize -> %u\n", r);
    if (r != ZV_SUCCESS) return Fail(L"Initialize", r);

    int exitCode = 0;
    if (connect) {
        Demo demo(v1, static_cast<ZVImplementationV4Interface*>(tables[3]), waitMs);
        if (demo.OpenConnection()) {
            bool ok = demo.OpenRequestContext(L"https://intranet.zelvar.test/reports") && demo.PrepareRequest() &&
                      demo.FetchHeaders() && demo.ReportResponse() &&
                      demo.GenerateTrampoline(L"https://intranet.zelvar.test/reports") &&
                      demo.ShowServerType(L"https://gateway.zelvar.test/") && demo.ShowVersion() &&
                      demo.CancelCalls() && demo.CloseRequestContext();
            ok = DemoHttpsRequest(queryInterface, demo.Connection()) == 0 && ok;
            ok = demo.CloseConnection() && ok;
            if (!ok) exitCode = 1;
        } else {
            exitCode = 1;
        }
    }

    r = v1->Uninitialize();
    wprintf(L"Uninitialize -> %u\n", r);
    if (r != ZV_SUCCESS) exitCode = Fail(L"Uninitialize", r);
    fflush(stdout);
    PrintTraceFile();
    return exitCode;
}
