// The C++ layer's cost over the raw tables: the same operation through both,
// in alternating rounds, against the stand-in service's in-process host (so
// that the SDK's own frame, not a process boundary, dominates each call).
// Run: wine build/bin/ZelvarWrapperBench.exe (in the test prefix).
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "ZelvarSDK.hpp"
#include "common/StandinService.h"
#include "common/TestSupport.h"

namespace {

template <class F>
double UsPerCall(int calls, F call) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) call();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / calls;
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (zvtest::RegisterStandin(zvtest::StandinHost::InprocServer) != S_OK) return 1;
    try {
        zv::Sdk sdk(zvtest::ExeDirectory() + L"\\ZelvarSDK.dll");
        zv::Connection connection = sdk.Connect(L"WrapperBench");
        const unsigned int handle = connection.Handle();
        const int calls = 5000, rounds = 6;
        double raw = 0, wrapped = 0;
        for (int round = 0; round < rounds; ++round) {
            raw += UsPerCall(calls, [&] { sdk.V1().ClearAllCredentials(handle); });
            wrapped += UsPerCall(calls, [&] { connection.ClearAllCredentials(); });
        }
        std::printf("ClearAllCredentials, in-process service, %d calls x %d rounds each\n", calls, rounds);
        std::printf("  raw table:  %.2f us per call\n", raw / rounds);
        std::printf("  C++ layer:  %.2f us per call (ratio %.3f)\n", wrapped / rounds, wrapped / raw);
    } catch (const zv::Error& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    CoUninitialize();
    return 0;
}
