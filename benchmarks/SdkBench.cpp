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
#include <thread>
#include <vector>

#include "ZelvarSvrLib.h"
#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "sync/SharedExclusiveLock.h"

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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Best figure of each side and the median of the ratios of the samples taken
// side by side. The ratio is the figure to compare: each pair ran within a
// moment of each other, so the load of the machine weighs on both alike, and
// the median leaves out the pairs a burst of load fell on. The best figures
// show what each costs when the machine lets it run.
struct Pair {
    double sdk, baseline, ratio;
};

Pair Summarise(const std::vector<double>& a, const std::vector<double>& b, bool higherIsBetter) {
    std::vector<double> ratios;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
    if (higherIsBetter)
        return {*std::max_element(a.begin(), a.end()), *std::max_element(b.begin(), b.end()), Median(ratios)};
    return {Best(a), Best(b), Median(ratios)};
}

// Alternates short samples of the SDK's path and of its baseline, the one or
// the other first in turn. Samples are kept short (well under a time slice of
// the scheduler) so that many pairs escape the load of the machine whole.
Pair Compare(int samples, int callsPerSample, const std::function<void()>& sdk, const std::function<void()>& baseline) {
    std::vector<double> a, b;
    for (int i = 0; i < samples; ++i) {
        if (i % 2) {
            a.push_back(TimePerCall(callsPerSample, sdk));
            b.push_back(TimePerCall(callsPerSample, baseline));
        } else {
            b.push_back(TimePerCall(callsPerSample, baseline));
            a.push_back(TimePerCall(callsPerSample, sdk));
        }
    }
    return Summarise(a, b, false);
}

void PrintTime(const char* measure, Pair p) {
    printf("%-64s %10.2f %10.2f %7.3f  us per call (best / best %.3f)\n", measure, p.sdk, p.baseline, p.ratio,
           p.sdk / p.baseline);
}

void PrintRate(const char* measure, Pair p, const char* unit) {
    printf("%-64s %10.0f %10.0f %7.3f  %s (best / best %.3f)\n", measure, p.sdk, p.baseline, p.ratio, unit,
           p.sdk / p.baseline);
}

void PrintFigure(const char* measure, double value, const char* unit) {
    printf("%-64s %10.2f %10s %7s  %s\n", measure, value, "-", "-", unit);
}

void PrintMissing(const char* measure, unsigned result) {
    printf("%-64s not offered by this build (result %u)\n", measure, result);
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
    ZVImplementationV6Interface* v6;
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
    PrintTime(name.c_str(), Summarise(sdkCreate, rawCreate, false));
    name = std::string("DestroyConnection, ") + host;
    PrintTime(name.c_str(), Summarise(sdkDestroy, rawDestroy, false));
    PrintRawSteps(host, steps);
}

// Operations that forward one call against the same method called straight
// on a service object of the same host: GetAuthEpoch (the frame, the look-up
// and the call) and GetVersion (besides, the foreground grant before the call
// and a string to convert).
void BenchForwarding(const Sdk& sdk, unsigned handle, IZelvarConnection* raw, const char* host, int samples,
                     int calls) {
    struct Operation {
        const char* name;
        std::function<ZVResult()> sdk;
        std::function<void()> baseline;
    };
    const Operation operations[] = {
        {"forwarding operation (GetAuthEpoch), ",
         [&] {
             unsigned epoch = 0;
             return sdk.v6->GetAuthEpoch(handle, &epoch);
         },
         [&] {
             UINT epoch = 0;
             raw->GetAuthEpoch(&epoch);
         }},
        {"forwarding operation (GetVersion), ",
         [&] {
             ZVChar* v = nullptr;
             const ZVResult r = sdk.v3->GetVersion(handle, &v);
             sdk.v3->FreeTrampolineUrl(v);
             return r;
         },
         [&] {
             BSTR v = nullptr;
             raw->GetVersion(&v);
             SysFreeString(v);
         }},
    };
    for (const Operation& operation : operations) {
        const std::string name = operation.name + std::string(host);
        const ZVResult probe = operation.sdk();
        if (probe != ZV_SUCCESS) {
            PrintMissing(name.c_str(), probe);
            continue;
        }
        PrintTime(name.c_str(), Compare(
                                    samples, calls, [&] { operation.sdk(); }, operation.baseline));
    }
}

// `threads` threads of the multithreaded apartment make `calls` calls each,
// all at once; the figure is calls per second over all of them.
double Throughput(int threads, int calls, const std::function<void()>& call) {
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> ready{0}, running{threads};
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ++ready;
            WaitForSingleObject(start, INFINITE);
            for (int c = 0; c < calls; ++c) call();
            if (--running == 0) SetEvent(done);
            CoUninitialize();
        });
    }
    while (ready < threads) Sleep(0);
    const double t0 = NowUs();
    SetEvent(start);
    WaitForSingleObject(done, INFINITE);
    const double seconds = (NowUs() - t0) / 1e6;
    for (std::thread& t : pool) t.join();
    CloseHandle(start);
    CloseHandle(done);
    return threads * calls / seconds;
}

// Forwarding operations from 1, 2, 4 and 8 threads at once against the same
// threads making the raw call: the gate and the data lock are taken shared and
// must not make the callers wait for each other. The threads stay up for the
// whole measure and run short rounds, raw and SDK in turn (the one or the
// other first), each round started and ended by every thread together; the
// rate of a round is its calls over the time from its start until the last
// thread is done. Waiting threads yield their processor.
void BenchThreads(const Sdk& sdk, unsigned handle, IZelvarConnection* raw, const char* host, int samples,
                  int callsPerThread) {
    for (int threads : {1, 2, 4, 8}) {
        std::atomic<int> round{0}, done{0}, ready{0};
        std::atomic<bool> stop{false};
        auto sdkRound = [](int r) { return r % 4 == 2 || r % 4 == 3; };  // raw, SDK, SDK, raw, raw, ...
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                ++ready;
                for (int seen = 0;;) {
                    while (round.load() == seen && !stop) SwitchToThread();
                    if (stop) break;
                    seen = round.load();
                    for (int c = 0; c < callsPerThread; ++c) {
                        if (sdkRound(seen)) {
                            unsigned epoch = 0;
                            sdk.v6->GetAuthEpoch(handle, &epoch);
                        } else {
                            UINT epoch = 0;
                            raw->GetAuthEpoch(&epoch);
                        }
                    }
                    ++done;
                }
                CoUninitialize();
            });
        }
        while (ready < threads) SwitchToThread();
        std::vector<double> a, b;
        for (int r = 1; r <= 2 * samples; ++r) {
            done = 0;
            const double t0 = NowUs();
            round = r;
            while (done < threads) SwitchToThread();
            const double rate = threads * callsPerThread / ((NowUs() - t0) / 1e6);
            (sdkRound(r) ? a : b).push_back(rate);
        }
        stop = true;
        for (std::thread& t : pool) t.join();
        const std::string name = "GetAuthEpoch from " + std::to_string(threads) + " threads, " + host;
        PrintRate(name.c_str(), Summarise(a, b, true), "calls per second");
    }
}

// The frame alone (gate, data lock, apartment; GetVersion refused at its
// argument check) from 1, 2, 4 and 8 threads at once: with nothing but shared
// holds, the rate can only grow with the threads up to the number of cores.
void BenchFrameThreads(const Sdk& sdk) {
    for (int threads : {1, 2, 4, 8}) {
        std::vector<double> rates;
        for (int i = 0; i < 5; ++i) {
            rates.push_back(Throughput(threads, 200000 / threads, [&] { sdk.v3->GetVersion(1, nullptr); }));
        }
        const std::string name = "frame alone from " + std::to_string(threads) + " threads";
        PrintFigure(name.c_str(), *std::max_element(rates.begin(), rates.end()), "calls per second");
    }
}

// The same work with `live` request contexts alive on the connection and with
// none, in phases (none, live, none, ...): a forwarding operation on the
// connection and GetHeaders on the oldest request context, each paired sample
// by sample with the raw call on a service object; creating and destroying one
// more request context, paired with what the platform alone does for it
// (create the service object, register it in the Global Interface Table,
// revoke it, release it).
//
// Filling the table takes minutes, and the load of the machine changes in
// that time. So beside the plain growth (median time with live handles over
// median time with none) each measure prints its growth against its
// baseline: the SDK-over-baseline ratio with live handles over the same ratio
// with none. The baselines do not go through the SDK's tables, so this second
// figure is the SDK's own growth with the load taken out.
void BenchScale(const Sdk& sdk, unsigned connection, IZelvarConnection* raw, const char* host, unsigned live,
                int cycles, int samples, int calls, int creations) {
    unsigned oldest = 0;
    if (sdk.v1->CreateRequestContext(connection, L"https://app.example.test/", 0, &oldest) != ZV_SUCCESS) {
        return PrintMissing("request contexts at scale", 0);
    }
    BSTR url = SysAllocString(L"https://app.example.test/");
    IZelvarAuthContext* rawContext = nullptr;
    raw->CreateRequestContext(url, 0, &rawContext);
    IGlobalInterfaceTable* git = nullptr;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                     reinterpret_cast<void**>(&git));
    if (!rawContext || !git) {
        if (rawContext) rawContext->Release();
        if (git) git->Release();
        SysFreeString(url);
        sdk.v1->DestroyRequestContext(oldest);
        return PrintMissing("raw request context or Global Interface Table", 0);
    }

    struct Measure {
        const char* name;
        int calls;
        std::function<void()> sdk, baseline;
    };
    const Measure measures[] = {
        {"GetAuthEpoch", calls,
         [&] {
             unsigned epoch = 0;
             sdk.v6->GetAuthEpoch(connection, &epoch);
         },
         [&] {
             UINT epoch = 0;
             raw->GetAuthEpoch(&epoch);
         }},
        {"GetHeaders (oldest context)", calls,
         [&] {
             ZVChar** headers = nullptr;
             sdk.v1->GetHeaders(oldest, &headers);
             sdk.v1->FreeHeaders(headers);
         },
         [&] {
             SAFEARRAY* headers = nullptr;
             rawContext->GetHeaders(&headers);
             if (headers) SafeArrayDestroy(headers);
         }},
        {"create + destroy request context", creations,
         [&] {
             unsigned h = 0;
             if (sdk.v1->CreateRequestContext(connection, L"https://app.example.test/", 0, &h) == ZV_SUCCESS)
                 sdk.v1->DestroyRequestContext(h);
         },
         [&] {
             IZelvarAuthContext* o = nullptr;
             DWORD cookie = 0;
             raw->CreateRequestContext(url, 0, &o);
             if (o && SUCCEEDED(git->RegisterInterfaceInGlobal(o, IID_IZelvarAuthContext, &cookie)))
                 git->RevokeInterfaceFromGlobal(cookie);
             if (o) o->Release();
         }},
    };
    const int kMeasures = sizeof(measures) / sizeof(measures[0]);
    std::vector<double> sdkTimes[2][kMeasures], rawTimes[2][kMeasures];  // [with live handles][measure]
    std::vector<double> phaseSdk, phaseRaw;  // create + destroy, median of each phase in turn
    auto measureAll = [&](int withLive) {
        for (int m = 0; m < kMeasures; ++m) {
            std::vector<double> a, b;
            for (int i = 0; i < samples; ++i) {
                b.push_back(TimePerCall(measures[m].calls, measures[m].baseline));
                a.push_back(TimePerCall(measures[m].calls, measures[m].sdk));
            }
            sdkTimes[withLive][m].insert(sdkTimes[withLive][m].end(), a.begin(), a.end());
            rawTimes[withLive][m].insert(rawTimes[withLive][m].end(), b.begin(), b.end());
            if (m == kMeasures - 1) {
                phaseSdk.push_back(Median(a));
                phaseRaw.push_back(Median(b));
            }
        }
    };
    double filling = 0, emptying = 0;
    std::vector<unsigned> handles(live);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        measureAll(0);
        double t0 = NowUs();
        for (unsigned& h : handles) sdk.v1->CreateRequestContext(connection, L"https://app.example.test/", 0, &h);
        filling += (NowUs() - t0) / live / cycles;
        measureAll(1);
        t0 = NowUs();
        for (unsigned h : handles) sdk.v1->DestroyRequestContext(h);
        emptying += (NowUs() - t0) / live / cycles;
    }
    measureAll(0);
    sdk.v1->DestroyRequestContext(oldest);
    rawContext->Release();
    SysFreeString(url);
    git->Release();

    const std::string scale = ", " + std::to_string(live) + " live / none, " + std::string(host);
    double growth[2] = {0, 0};  // create + destroy: SDK, platform
    for (int m = 0; m < kMeasures; ++m) {
        const double none = Median(sdkTimes[0][m]), with = Median(sdkTimes[1][m]);
        const Pair noneVsRaw = Summarise(sdkTimes[0][m], rawTimes[0][m], false);
        const Pair withVsRaw = Summarise(sdkTimes[1][m], rawTimes[1][m], false);
        printf("%-64s %10.2f %10.2f %7.3f  us per call; against the baseline %.3f (none %.3f, live %.3f)\n",
               (measures[m].name + scale).c_str(), with, none, with / none, withVsRaw.ratio / noneVsRaw.ratio,
               noneVsRaw.ratio, withVsRaw.ratio);
        growth[0] = with - none;
        growth[1] = Median(rawTimes[1][m]) - Median(rawTimes[0][m]);
    }
    printf("  create + destroy grows by %.0f us; the platform's own create, register, revoke and release by %.0f us\n",
           growth[0], growth[1]);
    printf("  create + destroy by phase (none, live, none, ...), medians in us: SDK");
    for (double t : phaseSdk) printf(" %.0f", t);
    printf("; platform");
    for (double t : phaseRaw) printf(" %.0f", t);
    printf("\n  %u request contexts created at %.0f us each, destroyed at %.0f us each (%s)\n", live, filling, emptying,
           host);
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
    PrintRate(name.c_str(), Summarise(a, b, true), "events per second");
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
    PrintRate(name.c_str(), {bodyBytes / p.sdk, bodyBytes / p.baseline, 1 / p.ratio}, "MB per second");
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

struct HostPlan {
    zvtest::StandinHost kind;
    const char* name;
    int connectionRounds;
    int forwardSamples, forwardCalls;   // pairs of samples, calls per sample of a forwarding operation
    int handleKindCalls;                // create + destroy per sample
    int threadSamples, callsPerThread;  // pairs of samples, calls per thread and sample at 1 to 8 threads
    int scaleCycles;                    // none / live phases
    int scaleSamples, scaleCreations;   // pairs of samples per phase, create + destroy per sample
};

// A part is wanted when it is named, or when no part of its group is.
bool Wanted(int argc, char** argv, const char* part) {
    static const std::vector<std::vector<std::string>> groups = {{"lifecycle", "frame", "inproc", "local"},
                                                                 {"threads", "scale", "more"}};
    for (const auto& group : groups) {
        if (std::find(group.begin(), group.end(), part) == group.end()) continue;
        bool anyNamed = false;
        for (int i = 1; i < argc; ++i) {
            if (argv[i] == std::string(part)) return true;
            anyNamed = anyNamed || std::find(group.begin(), group.end(), argv[i]) != group.end();
        }
        return !anyNamed;
    }
    return false;
}

void BenchHost(const Sdk& sdk, const HostPlan& plan, int argc, char** argv, unsigned live) {
    const zvtest::StandinHost kind = plan.kind;
    const char* host = plan.name;
    const int connectionRounds = plan.connectionRounds;
    zvtest::RegisterStandin(kind);
    unsigned handle = 0;
    // The first creation starts the service.
    if (sdk.v1->CreateConnection(L"Bench", CountingCallback, nullptr, &handle) != ZV_SUCCESS) {
        printf("%s: CreateConnection failed\n", host);
        return;
    }
    IZelvarConnection* raw = nullptr;
    zvtest::CreateZelvarConnection(&raw);
    BenchForwarding(sdk, handle, raw, host, plan.forwardSamples, plan.forwardCalls);
    if (Wanted(argc, argv, "threads")) BenchThreads(sdk, handle, raw, host, plan.threadSamples, plan.callsPerThread);
    if (Wanted(argc, argv, "scale")) {
        BenchScale(sdk, handle, raw, host, live, plan.scaleCycles, plan.scaleSamples, plan.forwardCalls,
                   plan.scaleCreations);
    }
    if (Wanted(argc, argv, "more")) {
        BenchConnections(sdk, host, connectionRounds);
        ExplainTableCosts(host);
        BenchHandleKinds(sdk, handle, raw, host, plan.handleKindCalls);
        BenchBody(sdk, handle, raw, host);
        BenchEvents(handle, host, 10000);
    }
    if (raw) raw->Release();
    sdk.v1->DestroyConnection(handle);
}

// GetVersion with a null out-pointer runs the whole frame up to its argument
// check: re-entrancy refusal, apartment, gate, initialised check. Once from a
// thread already in the multithreaded apartment, once from a thread in none,
// which the frame joins to the apartment and takes out again on every call.
void BenchFrame(const Sdk& sdk) {
    const unsigned handle = 1;
    void (*volatile empty)(int) = EmptyFunction;
    Pair p = Compare(
        9, 20000, [&] { sdk.v3->GetVersion(handle, nullptr); }, [&] { empty(1); });
    PrintTime("frame alone (GetVersion refused at its argument check)", p);
    std::thread([&] {
        p = Compare(
            9, 20000, [&] { sdk.v3->GetVersion(handle, nullptr); }, [&] { empty(1); });
    }).join();
    PrintTime("frame alone, from a thread in no apartment", p);
}

// The platform steps inside one call, each on its own (µs).
void ExplainCallSteps() {
    const int calls = 200000;
    SharedExclusiveLock lock;
    volatile DWORD sink = 0;
    const double hold = TimePerCall(calls, [&] {
        lock.AcquireShared();
        lock.ReleaseShared();
    });
    const double threadId = TimePerCall(calls, [&] { sink = GetCurrentThreadId(); });
    const double apartmentType = TimePerCall(calls, [&] {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        sink = CoGetApartmentType(&type, &qualifier);
    });
    const double joinAgain = TimePerCall(calls, [] {
        if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) CoUninitialize();
    });
    double joinFresh = 0;
    std::thread([&] {
        joinFresh = TimePerCall(calls, [] {
            if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) CoUninitialize();
        });
    }).join();
    printf(
        "  call steps (us): shared acquire + release of the lock %.3f, GetCurrentThreadId %.3f, CoGetApartmentType "
        "%.3f, CoInitializeEx + CoUninitialize on a thread already in the multithreaded apartment %.3f, on a thread "
        "in none %.3f\n",
        hold, threadId, apartmentType, joinAgain, joinFresh);
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

// Arguments choose parts: lifecycle, frame, inproc, local, and within a host
// threads, scale, more (all by default); live=N sets the live handles of the
// scale measure (10,000 by default).
int main(int argc, char** argv) {
    unsigned live = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("live=", 0) == 0) live = std::stoul(argv[i] + 5);
    }
    auto wanted = [&](const char* part) { return Wanted(argc, argv, part); };
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Sdk sdk{zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1),
            zvtest::GetSdkInterface<ZVImplementationV2Interface>(ZV_IID_V2),
            zvtest::GetSdkInterface<ZVImplementationV3Interface>(ZV_IID_V3),
            zvtest::GetSdkInterface<ZVImplementationV5Interface>(ZV_IID_V5),
            zvtest::GetSdkInterface<ZVImplementationV6Interface>(ZV_IID_V6)};
    if (!sdk.v1 || !sdk.v2 || !sdk.v3 || !sdk.v5 || !sdk.v6) {
        printf("ZelvarSDK.dll not found beside the benchmark\n");
        return 1;
    }
    printf("%-64s %10s %10s %7s  %s\n", "measure", "SDK", "baseline", "ratio", "unit");
    if (wanted("lifecycle")) BenchLifecycle(sdk);
    sdk.v1->Initialize();
    if (wanted("frame")) {
        BenchFrame(sdk);
        ExplainCallSteps();
        BenchFrameThreads(sdk);
    }
    const HostPlan inproc{zvtest::StandinHost::InprocServer, "in-process host", 30, 301, 100, 500, 301, 300, 2, 41, 5};
    const HostPlan local{zvtest::StandinHost::LocalServer, "local-server host", 30, 201, 2, 20, 61, 4, 1, 41, 3};
    if (wanted("inproc")) BenchHost(sdk, inproc, argc, argv, live);
    if (wanted("local")) BenchHost(sdk, local, argc, argv, live);
    sdk.v1->Uninitialize();
    CoUninitialize();
    return 0;
}
