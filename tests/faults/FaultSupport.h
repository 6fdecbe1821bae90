// Shared by the fault programs: steps that must end (a hang ends the program
// with a failure, since a hung thread cannot be taken back) and the process
// figures that show leaks.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <functional>
#include <thread>

namespace zvfaults {

const DWORD kStepLimitMs = 60000;

// Runs body on a thread of its own and waits for it at most limitMs.
inline void WithinLimit(const char* step, const std::function<void()>& body, DWORD limitMs = kStepLimitMs) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread runner([&body, done] {
        body();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, limitMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FAILED: %s did not end within %lu ms\n", step, static_cast<unsigned long>(limitMs));
        std::fflush(stderr);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    runner.join();
    CloseHandle(done);
}

struct ProcessFigures {
    DWORD handles = 0;
    DWORD threads = 0;
    SIZE_T privateBytes = 0;
};

// Counted directly, since Wine reports neither a handle count nor private
// bytes: handles by probing every handle value up to 256 Ki, private bytes
// by walking the committed private regions of the address space.
inline ProcessFigures SampleProcess() {
    ProcessFigures figures;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < (1u << 18); value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++figures.handles;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) figures.privateBytes += region.RegionSize;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++figures.threads;
    CloseHandle(snapshot);
    return figures;
}

inline void PrintFigures(const char* label, const ProcessFigures& figures) {
    std::printf("%-12s handles %5lu  threads %3lu  private KiB %8llu\n", label,
                static_cast<unsigned long>(figures.handles), static_cast<unsigned long>(figures.threads),
                static_cast<unsigned long long>(figures.privateBytes / 1024));
    std::fflush(stdout);
}

}  // namespace zvfaults
