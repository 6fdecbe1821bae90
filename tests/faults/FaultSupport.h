// Shared by the fault programs: steps that must end (a hang ends the program
// with a failure, since a hung thread cannot be taken back), the process
// figures that show leaks, and a fixture with the stand-in and the SDK.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "common/StandinService.h"
#include "common/TestSupport.h"

namespace zvfaults {

using namespace BrennicZelvarSDK;

const DWORD kStepLimitMs = 60000;

// Runs body on a thread of its own and waits for it at most kStepLimitMs.
inline void WithinLimit(const char* step, const std::function<void()>& body) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread runner([&body, done] {
        body();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, kStepLimitMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FAILED TEST: %s did not end within %lu ms\n", step, kStepLimitMs);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    runner.join();
    CloseHandle(done);
}

struct ProcessFigures {
    DWORD handles = 0, threads = 0;
    SIZE_T privateBytes = 0, heapBytes = 0;
};

// Counted directly, since Wine reports neither a handle count nor private
// bytes: handles by probing every handle value up to 256 Ki, private bytes
// by walking the committed private regions of the address space, and the
// bytes the heaps have handed out by walking every heap.
inline ProcessFigures SampleProcess(const char* label) {
    ProcessFigures figures;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < (1u << 18); value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++figures.handles;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) figures.privateBytes += region.RegionSize;
    }
    HANDLE heaps[64];
    const DWORD heapCount = GetProcessHeaps(64, heaps);
    for (DWORD h = 0; h < heapCount && h < 64; ++h) {
        if (!HeapLock(heaps[h])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[h], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) figures.heapBytes += entry.cbData;
        HeapUnlock(heaps[h]);
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++figures.threads;
    CloseHandle(snapshot);
    std::printf("%-12s handles %5lu  threads %3lu  private KiB %8llu  heap KiB %8llu\n", label, figures.handles,
                figures.threads, static_cast<unsigned long long>(figures.privateBytes / 1024),
                static_cast<unsigned long long>(figures.heapBytes / 1024));
    std::fflush(stdout);
    return figures;
}

// Counts the status changes the application receives; `reached` is set when
// `target` of them have come. With `hold`, the first one keeps the callback
// thread until `release` is set.
struct EventLog {
    std::atomic<unsigned> count{0}, target{0xFFFFFFFF};
    bool hold = false;
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~EventLog() {
        CloseHandle(reached);
        CloseHandle(release);
    }
    static void OnStatus(unsigned int, void* context, unsigned int, int) {
        auto* log = static_cast<EventLog*>(context);
        const unsigned seen = ++log->count;
        if (seen == log->target) SetEvent(log->reached);
        if (seen == 1 && log->hold) WaitForSingleObject(log->release, INFINITE);
    }
};

// The stand-in registered on one of its hosts and the SDK's first table.
class SdkFixture : public ::testing::Test {
protected:
    // loadSdk false: the test loads the DLL itself and holds the only reference.
    void Start(zvtest::StandinHost host, bool loadSdk = true) {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        com = true;
        control = zvtest::StartStandin(host);
        ASSERT_TRUE(control != nullptr);
        if (!loadSdk) return;
        v1 = zvtest::GetSdkInterface<ZVImplementationV1Interface>(ZV_IID_V1);
        v3 = zvtest::GetSdkInterface<ZVImplementationV3Interface>(ZV_IID_V3);
        ASSERT_TRUE(v1 && v3);
    }
    void TearDown() override {
        control.reset();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        if (com) CoUninitialize();
    }
    unsigned int Connect(EventLog* log) {
        unsigned int handle = 0;
        EXPECT_EQ(ZV_SUCCESS, v1->CreateConnection(L"Faults", EventLog::OnStatus, log, &handle));
        return handle;
    }

    std::unique_ptr<zvtest::StandinControl> control;
    ZVImplementationV1Interface* v1 = nullptr;
    ZVImplementationV3Interface* v3 = nullptr;
    bool com = false;
};

}  // namespace zvfaults
