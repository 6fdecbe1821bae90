// What the SDK costs an application, each measure printed beside its
// baseline taken in the same run: the platform calls that the same work needs
// without the SDK. Samples of the two alternate and each figure is the best
// of its samples: load from other processes only ever adds time, and it comes
// in bursts that would otherwise decide the ratio.
//
//   measure                         SDK        baseline   ratio  unit
//
// For times the ratio is SDK / baseline (lower is better); for rates it is
// SDK / baseline too (higher is better). Operations that this build does not
// offer yet are reported as such.
#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ZelvarSvrLib.h"
#include "common/StandinService.h"
#include "common/TestSupport.h"

using namespace BrennicZelvarSDK;

namespace {

double NowUs() {
    static const double ticksPerUs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / ticksPerUs;
}

double Best(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// Mean time of one call over `calls` calls, in µs.
double TimePerCall(int calls, const std::function<void()>& call) {
    const double start = NowUs();
    for (int i = 0; i < calls; ++i) call();
    return (NowUs() - start) / calls;
}

struct Pair {
    double sdk, baseline;
};

// Alternates samples of the SDK's path and of its baseline.
Pair Compare(int samples, int callsPerSample, const std::function<void()>& sdk, const std::function<void()>& baseline) {
    std::vector<double> a, b;
    for (int i = 0; i < samples; ++i) {
        b.push_back(TimePerCall(callsPerSample, baseline));
        a.push_back(TimePerCall(callsPerSample, sdk));
    }
    return {Best(a), Best(b)};
}

void PrintTime(const char* measure, Pair p) {
    printf("%-52s %12.2f %12.2f %8.3f  us per call\n", measure, p.sdk, p.baseline, p.sdk / p.baseline);
}

void PrintRate(const char* measure, Pair p, const char* unit) {
    printf("%-52s %12.0f %12.0f %8.3f  %s\n", measure, p.sdk, p.baseline, p.sdk / p.baseline, unit);
}

void PrintFigure(const char* measure, double value, const char* unit) {
    printf("%-52s %12.2f %12s %8s  %s\n", measure, value, "-", "-", unit);
}

void PrintMissing(const char* measure, unsigned result) {
    printf("%-52s not offered by this build (result %u)\n", measure, result);
}

__declspec(noinline) void EmptyFunction(int) {
    asm volatile("");
}

// ---- status events --------------------------------------------------------

// Counts status events and whether each came in order (the service fires
// status first, first + 1, ...). Used by the SDK's callback and by the raw sink.
struct EventCounter {
    std::atomic<unsigned> count{0};
    std::atomic<unsigned> outOfOrder{0};
    unsigned first = 0, expected = 0;
    HANDLE allIn = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    void Start(unsigned firstStatus, unsigned events) {
        count = 0;
        outOfOrder = 0;
        first = firstStatus;
        expected = events;
        ResetEvent(allIn);
    }
    void Arrived(unsigned status) {
        const unsigned n = count++;
        if (status != first + n) ++outOfOrder;
        if (n + 1 == expected) SetEvent(allIn);
    }
};

EventCounter g_events;

void CountingCallback(unsigned int, void*, unsigned int status, int) {
    g_events.Arrived(status);
}

// The least an application could do to receive the events itself.
class RawSink : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IZelvarEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }  // lives on the stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id != 1 || !params || params->cArgs != 2) return DISP_E_MEMBERNOTFOUND;
        g_events.Arrived(V_UI4(&params->rgvarg[1]));
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// ---- the raw platform sequence of a connection -----------------------------

struct RawConnection {
    IZelvarConnection* connection = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD adviseCookie = 0;
};

// Step times of the raw sequence, summed over its runs, in µs.
struct RawSteps {
    double create = 0, oleRun = 0, query = 0, identify = 0, findPoint = 0, advise = 0, cancel = 0, releasePoint = 0,
           release = 0;
    int runs = 0;
};

HRESULT CreateRaw(const wchar_t* clientId, IDispatch* sink, RawConnection& raw, RawSteps& steps) {
    double t0 = NowUs();
    IUnknown* unknown = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Zelvar, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (FAILED(hr)) return hr;
    double t1 = NowUs();
    hr = OleRun(unknown);
    double t2 = NowUs();
    if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IZelvarConnection, reinterpret_cast<void**>(&raw.connection));
    double t3 = NowUs();
    BSTR id = SysAllocString(clientId);
    if (SUCCEEDED(hr)) hr = raw.connection->CreateConnection(id);
    SysFreeString(id);
    double t4 = NowUs();
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(hr))
        hr = unknown->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID__IZelvarEvents, &raw.point);
    double t5 = NowUs();
    if (SUCCEEDED(hr)) hr = raw.point->Advise(sink, &raw.adviseCookie);
    double t6 = NowUs();
    if (container) container->Release();
    unknown->Release();
    steps.create += t1 - t0;
    steps.oleRun += t2 - t1;
    steps.query += t3 - t2;
    steps.identify += t4 - t3;
    steps.findPoint += t5 - t4;
    steps.advise += t6 - t5;
    ++steps.runs;
    return hr;
}

void DestroyRaw(RawConnection& raw, RawSteps& steps) {
    double t0 = NowUs();
    if (raw.connection) raw.connection->CancelAllCalls();
    double t1 = NowUs();
    if (raw.point) raw.point->Release();
    double t2 = NowUs();
    if (raw.connection) raw.connection->Release();
    double t3 = NowUs();
    raw = RawConnection();
    steps.cancel += t1 - t0;
    steps.releasePoint += t2 - t1;
    steps.release += t3 - t2;
}

void PrintRawSteps(const char* host, const RawSteps& s) {
    const double n = s.runs;
    printf(
        "  raw steps (%s, us): CoCreateInstance %.0f, OleRun %.0f, QueryInterface %.0f, CreateConnection %.0f, "
        "FindConnectionPoint %.0f, Advise %.0f | CancelAllCalls %.0f, release of the connection point %.0f, of the "
        "connection %.0f\n",
        host, s.create / n, s.oleRun / n, s.query / n, s.identify / n, s.findPoint / n, s.advise / n, s.cancel / n,
        s.releasePoint / n, s.release / n);
}

// ---- the measures ----------------------------------------------------------

std::string ClientIdOf(const char* name, unsigned handle) {
    return std::string(name) + ":ZelvarBench.exe:" + std::to_string(GetCurrentProcessId()) + ":" +
           std::to_string(handle);
}

struct Sdk {
    ZVImplementationV1Interface* v1;
    ZVImplementationV2Interface* v2;
    ZVImplementationV3Interface* v3;
    ZVImplementationV5Interface* v5;
};

void BenchConnections(const Sdk& sdk, const char* host, int rounds) {
    RawSink sink;
    RawSteps steps;
    std::vector<double> sdkCreate, sdkDestroy, rawCreate, rawDestroy;
    for (int i = 0; i < rounds; ++i) {
        RawConnection raw;
        double t0 = NowUs();
        CreateRaw(L"RawBench", &sink, raw, steps);
        double t1 = NowUs();
        DestroyRaw(raw, steps);
        double t2 = NowUs();
        rawCreate.push_back(t1 - t0);
        rawDestroy.push_back(t2 - t1);

        unsigned handle = 0;
        t0 = NowUs();
        sdk.v1->CreateConnection(L"Bench", CountingCallback, nullptr, &handle);
        t1 = NowUs();
        sdk.v1->DestroyConnection(handle);
        t2 = NowUs();
        sdkCreate.push_back(t1 - t0);
        sdkDestroy.push_back(t2 - t1);
    }
    std::string name = std::string("CreateConnection, ") + host;
    PrintTime(name.c_str(), {Best(sdkCreate), Best(rawCreate)});
    name = std::string("DestroyConnection, ") + host;
    PrintTime(name.c_str(), {Best(sdkDestroy), Best(rawDestroy)});
    PrintRawSteps(host, steps);
}

// One operation that forwards one call (GetVersion) against the same method
// called straight on a service object of the same host.
void BenchForwarding(const Sdk& sdk, unsigned handle, IZelvarConnection* raw, const char* host, int samples,
                     int calls) {
    std::string name = std::string("forwarding operation (GetVersion), ") + host;
    ZVChar* version = nullptr;
    const ZVResult probe = sdk.v3->GetVersion(handle, &version);
    if (probe != ZV_SUCCESS) return PrintMissing(name.c_str(), probe);
    sdk.v3->FreeTrampolineUrl(version);
    Pair p = Compare(
        samples, calls,
        [&] {
            ZVChar* v = nullptr;
            sdk.v3->GetVersion(handle, &v);
            sdk.v3->FreeTrampolineUrl(v);
        },
        [&] {
            BSTR v = nullptr;
            raw->GetVersion(&v);
            SysFreeString(v);
        });
    PrintTime(name.c_str(), p);
}

// 10,000 events fired by one service thread at the SDK's connection and at
// a sink of the application's own; every event must arrive, in order.
void BenchEvents(unsigned handle, const char* host, unsigned events) {
    zvtest::StandinControl control;
    RawSink sink;
    RawSteps steps;
    RawConnection raw;
    if (FAILED(CreateRaw(L"RawEvents", &sink, raw, steps))) return;
    auto fire = [&](const std::string& clientId) {
        g_events.Start(1000, events);
        const double t0 = NowUs();
        control.FireEvents(
            {{"clientId", clientId}, {"status", 1000}, {"incrementStatus", true}, {"count", events}, {"threads", 1}});
        const bool all = WaitForSingleObject(g_events.allIn, 120000) == WAIT_OBJECT_0;
        const double seconds = (NowUs() - t0) / 1e6;
        if (!all || g_events.outOfOrder) {
            printf("  %s: %u of %u events, %u out of order\n", clientId.c_str(), g_events.count.load(), events,
                   g_events.outOfOrder.load());
        }
        return events / seconds;
    };
    // The rate swings with the machine's load: three samples of each, the
    // best of each compared.
    std::vector<double> a, b;
    for (int i = 0; i < 3; ++i) {
        b.push_back(fire("RawEvents"));
        a.push_back(fire(ClientIdOf("Bench", handle)));
    }
    DestroyRaw(raw, steps);
    std::string name = std::string("status events delivered in order, ") + host;
    PrintRate(name.c_str(), {*std::max_element(a.begin(), a.end()), *std::max_element(b.begin(), b.end())},
              "events per second");
}

// Create and destroy of each kind of object a connection hands out, against
// the service's own creation method and the release of its object. Only the
// creation must succeed: on Wine the destroy of an out-of-process object
// reports the failed revocation from the Global Interface Table.
void BenchHandleKinds(const Sdk& sdk, unsigned connection, IZelvarConnection* raw, const char* host, int calls) {
    _ZV_GATEWAY_INFO gateway{const_cast<ZVChar*>(L"gw"), const_cast<ZVChar*>(L"https://gw.example.test"), 1, 2, 3};
    BSTR url = SysAllocString(L"https://app.example.test/");
    ZelvarGatewayInfo rawGateway{SysAllocString(L"https://gw.example.test"), SysAllocString(L"gw"), 1, 2, 3};
    struct Kind {
        const char* name;
        std::function<ZVResult()> sdk;
        std::function<void()> baseline;
    };
    const Kind kinds[] = {
        {"request context",
         [&] {
             unsigned h = 0;
             ZVResult r = sdk.v1->CreateRequestContext(connection, L"https://app.example.test/", 0, &h);
             if (!r) sdk.v1->DestroyRequestContext(h);
             return r;
         },
         [&] {
             IZelvarAuthContext* o = nullptr;
             raw->CreateRequestContext(url, 0, &o);
             if (o) o->Release();
         }},
        {"VPN auth context",
         [&] {
             unsigned h = 0;
             ZVResult r = sdk.v2->CreateVpnAuthContext(connection, &gateway, 0, &h);
             if (!r) sdk.v2->DestroyVpnAuthContext(h);
             return r;
         },
         [&] {
             IZelvarVpnAuthContext* o = nullptr;
             raw->CreateVpnAuthContext(&rawGateway, 0, &o);
             if (o) o->Release();
         }},
        {"HTTP request",
         [&] {
             unsigned h = 0;
             ZVResult r = sdk.v5->CreateZVHttpRequest(connection, &h);
             if (!r) sdk.v5->DestroyZVHttpRequest(h);
             return r;
         },
         [&] {
             IZelvarHttpRequest* o = nullptr;
             raw->CreateZVHttpRequest(&o);
             if (o) o->Release();
         }},
    };
    for (const Kind& kind : kinds) {
        std::string name = std::string("create + destroy ") + kind.name + ", " + host;
        const ZVResult probe = kind.sdk();
        if (probe != ZV_SUCCESS) {
            PrintMissing(name.c_str(), probe);
            continue;
        }
        PrintTime(name.c_str(), Compare(
                                    5, calls, [&] { kind.sdk(); }, kind.baseline));
    }
    SysFreeString(url);
    SysFreeString(rawGateway.gatewayUrl);
    SysFreeString(rawGateway.gatewayString);
}

// A large response body read through ReadResponseBodyStream against the same
// chunks read straight from the service's request object.
void BenchBody(const Sdk& sdk, unsigned connection, IZelvarConnection* raw, const char* host) {
    const unsigned bodyBytes = 4 << 20, chunk = 64 << 10;
    zvtest::StandinControl control;
    control.SetMethod("ReadResponseBodyStream", {{"body", {{"size", bodyBytes}}}, {"maxChunk", chunk}});
    std::string name = std::string("response body read (4 MB in 64 KB chunks), ") + host;
    std::vector<unsigned char> buffer(chunk);
    unsigned request = 0;
    auto readSdk = [&]() -> ZVResult {
        ZVResult r = sdk.v5->CreateZVHttpRequest(connection, &request);
        if (!r) r = sdk.v5->SetRequestUrl(request, L"https://app.example.test/body");
        if (!r) r = sdk.v5->SendRequestAndReceiveResponse(request);
        unsigned total = 0, got = 1;
        while (!r && got) {
            r = sdk.v5->ReadResponseBodyStream(request, buffer.data(), chunk, &got);
            total += got;
        }
        if (request) sdk.v5->DestroyZVHttpRequest(request);
        return r ? r : (total == bodyBytes ? ZV_SUCCESS : ZV_ERROR_FAILED);
    };
    auto readRaw = [&] {
        IZelvarHttpRequest* r = nullptr;
        raw->CreateZVHttpRequest(&r);
        if (!r) return;
        BSTR u = SysAllocString(L"https://app.example.test/body");
        r->SetRequestUrl(u);
        SysFreeString(u);
        r->SendRequestAndReceiveResponse();
        for (;;) {
            SAFEARRAY* data = nullptr;
            if (FAILED(r->ReadResponseBodyStream(chunk, &data)) || !data) break;
            const bool empty = data->rgsabound[0].cElements == 0;
            SafeArrayDestroy(data);
            if (empty) break;
        }
        r->Release();
    };
    const ZVResult probe = readSdk();
    if (probe != ZV_SUCCESS) return PrintMissing(name.c_str(), probe);
    Pair p = Compare(
        5, 1, [&] { readSdk(); }, readRaw);
    PrintRate(name.c_str(), {bodyBytes / p.sdk, bodyBytes / p.baseline}, "MB per second");
}

// What the handle tables add around a service object: registering it in the
// Global Interface Table, fetching it back (on an object nobody else holds,
// as an operation finds it) and revoking it.
void ExplainTableCosts(const char* host) {
    IGlobalInterfaceTable* git = nullptr;
    IZelvarConnection* connection = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                                reinterpret_cast<void**>(&git))) ||
        FAILED(zvtest::CreateZelvarConnection(&connection))) {
        return;
    }
    BSTR id = SysAllocString(L"TableCosts");
    connection->CreateConnection(id);
    SysFreeString(id);
    const int calls = 20;
    std::vector<DWORD> cookies(calls);
    int i = 0;
    const double store =
        TimePerCall(calls, [&] { git->RegisterInterfaceInGlobal(connection, IID_IZelvarConnection, &cookies[i++]); });
    connection->Release();
    const double fetch = TimePerCall(calls, [&] {
        IZelvarConnection* fetched = nullptr;
        git->GetInterfaceFromGlobal(cookies[0], IID_IZelvarConnection, reinterpret_cast<void**>(&fetched));
        if (fetched) fetched->Release();
    });
    IZelvarConnection* held = nullptr;
    git->GetInterfaceFromGlobal(cookies[0], IID_IZelvarConnection, reinterpret_cast<void**>(&held));
    const double fetchHeld = TimePerCall(calls, [&] {
        IZelvarConnection* fetched = nullptr;
        git->GetInterfaceFromGlobal(cookies[0], IID_IZelvarConnection, reinterpret_cast<void**>(&fetched));
        if (fetched) fetched->Release();
    });
    const double call = TimePerCall(calls, [&] {
        BSTR v = nullptr;
        if (held) held->GetVersion(&v);
        SysFreeString(v);
    });
    const double grant = TimePerCall(calls, [&] { CoAllowSetForegroundWindow(held, nullptr); });
    if (held) held->Release();
    i = 0;
    const double revoke = TimePerCall(calls, [&] { git->RevokeInterfaceFromGlobal(cookies[i++]); });
    git->Release();
    printf(
        "  table steps (%s, us): RegisterInterfaceInGlobal %.0f, GetInterfaceFromGlobal + Release %.0f (%.0f while "
        "another reference is held), RevokeInterfaceFromGlobal %.0f; one GetVersion call %.0f; the foreground "
        "grant before it (CoAllowSetForegroundWindow) %.0f\n",
        host, store, fetch, fetchHeld, revoke, call, grant);
}

void BenchHost(const Sdk& sdk, zvtest::StandinHost kind, const char* host, int connectionRounds) {
    zvtest::RegisterStandin(kind);
    unsigned handle = 0;
    // The first creation starts the service.
    if (sdk.v1->CreateConnection(L"Bench", CountingCallback, nullptr, &handle) != ZV_SUCCESS) {
        printf("%s: CreateConnection failed\n", host);
        return;
    }
    IZelvarConnection* raw = nullptr;
    zvtest::CreateZelvarConnection(&raw);
    BenchConnections(sdk, host, connectionRounds);
    ExplainTableCosts(host);
    BenchForwarding(sdk, handle, raw, host, 15, kind == zvtest::StandinHost::LocalServer ? 40 : 2000);
    BenchHandleKinds(sdk, handle, raw, host, kind == zvtest::StandinHost::LocalServer ? 20 : 500);
    BenchBody(sdk, handle, raw, host);
    BenchEvents(handle, host, 10000);
    if (raw) raw->Release();
    sdk.v1->DestroyConnection(handle);
}

// GetVersion with a null out-pointer runs the whole frame up to its argument
// check: re-entrancy refusal, apartment, gate, initialised check.
void BenchFrame(const Sdk& sdk) {
    const unsigned handle = 1;
    void (*volatile empty)(int) = EmptyFunction;
    Pair p = Compare(
        9, 20000, [&] { sdk.v3->GetVersion(handle, nullptr); }, [&] { empty(1); });
    PrintTime("frame alone (GetVersion refused at its argument check)", p);
}

void BenchLifecycle(const Sdk& sdk) {
    const int cycles = 20;
    const double us = TimePerCall(cycles, [&] {
        sdk.v1->Initialize();
        sdk.v1->Uninitialize();
    });
    PrintFigure("Initialize + Uninitialize", 1e6 / us, "cycles per second");
}

}  // namespace

// Arguments choose parts: lifecycle, frame, inproc, local (all by default).
int main(int argc, char** argv) {
    auto wanted = [&](const char* part) {
        if (argc < 2) return true;
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == part) return true;
        }
        return false;
    };
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Sdk sdk{zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1),
            zvtest::GetSdkInterface<ZVImplementationV2Interface>(ZV_IID_V2),
            zvtest::GetSdkInterface<ZVImplementationV3Interface>(ZV_IID_V3),
            zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5)};
    if (!sdk.v1 || !sdk.v2 || !sdk.v3 || !sdk.v5) {
        printf("ZelvarSDK.dll not found beside the benchmark\n");
        return 1;
    }
    printf("%-52s %12s %12s %8s  %s\n", "measure", "SDK", "baseline", "ratio", "unit");
    if (wanted("lifecycle")) BenchLifecycle(sdk);
    sdk.v1->Initialize();
    if (wanted("frame")) BenchFrame(sdk);
    if (wanted("inproc")) BenchHost(sdk, zvtest::StandinHost::InprocServer, "in-process host", 30);
    if (wanted("local")) BenchHost(sdk, zvtest::StandinHost::LocalServer, "local-server host", 30);
    sdk.v1->Uninitialize();
    CoUninitialize();
    return 0;
}
