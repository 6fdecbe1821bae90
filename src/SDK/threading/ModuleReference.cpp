#include "threading/ModuleReference.h"

#include <memory>
#include <new>

#include "support/Scoped.h"

namespace BrennicZelvarSDK {

namespace {

HMODULE g_OwnModuleReference ZV_GUARDED_BY(g_InitLock) = nullptr;

// A new counted reference to this module, or null.
HMODULE ReferenceOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ReferenceOwnModule),
                            &module))
        return nullptr;
    return module;
}

struct ThreadStart {
    unsigned (*body)(void*);
    void* argument;
    HMODULE module;
};

DWORD WINAPI ThreadInOwnModule(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    const unsigned exitCode = start.body(start.argument);
    FreeLibraryAndExitThread(start.module, exitCode);
}

// What the hand-over thread needs: the reference it gives back, the thread
// that called the last Uninitialize, and the flag that thread sets last.
struct HandOver {
    explicit HandOver(HMODULE module) : reference(module) {}
    HMODULE reference;
    ScopedHandle caller;
    std::atomic<bool> left{false};
};

// True while the thread's instruction pointer lies in this module. Once the
// caller has set its flag it runs only the few instructions that return from
// Uninitialize, with no call into another module, so an instruction pointer
// outside the module then means the caller has left it for good.
bool ExecutesInModule(HANDLE thread, HMODULE module) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;  // the thread has ended
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    bool inside = false;
    if (GetThreadContext(thread, &context)) {
        const auto base = reinterpret_cast<const BYTE*>(module);
        const auto* nt =
            reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
#if defined(_M_X64) || defined(__x86_64__)
        const auto at = static_cast<ULONG_PTR>(context.Rip);
#elif defined(_M_ARM64) || defined(__aarch64__)
        const auto at = static_cast<ULONG_PTR>(context.Pc);
#else
        const auto at = static_cast<ULONG_PTR>(context.Eip);
#endif
        inside = at >= reinterpret_cast<ULONG_PTR>(base) &&
                 at < reinterpret_cast<ULONG_PTR>(base) + nt->OptionalHeader.SizeOfImage;
    }
    ResumeThread(thread);
    return inside;
}

unsigned GiveBackWhenCallerHasLeft(void* argument) {
    const std::unique_ptr<HandOver> handOver(static_cast<HandOver*>(argument));
    while (!handOver->left.load(std::memory_order_acquire)) Sleep(1);
    while (handOver->caller && ExecutesInModule(handOver->caller.Get(), handOver->reference)) Sleep(1);
    FreeLibrary(handOver->reference);
    return 0;
}

}  // namespace

void HoldOwnModule() {
    if (!g_OwnModuleReference) g_OwnModuleReference = ReferenceOwnModule();
}

std::atomic<bool>& HandOverOwnModule() {
    static std::atomic<bool> s_nobodyWaits{false};
    if (!g_OwnModuleReference) return s_nobodyWaits;
    std::unique_ptr<HandOver> handOver(new (std::nothrow) HandOver(g_OwnModuleReference));
    if (!handOver) return s_nobodyWaits;  // the module then stays loaded until the process ends
    const DWORD access = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;
    HANDLE caller = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &caller, access, FALSE, 0))
        handOver->caller.Reset(caller);
    // Once started, the thread owns the hand-over and deletes it only after
    // the caller has set the flag.
    std::atomic<bool>& left = handOver->left;
    const ScopedHandle thread(StartThreadInOwnModule(&GiveBackWhenCallerHasLeft, handOver.get()));
    if (!thread) return s_nobodyWaits;
    static_cast<void>(handOver.release());  // the thread deletes it
    g_OwnModuleReference = nullptr;
    return left;
}

HANDLE StartThreadInOwnModule(unsigned (*body)(void*), void* argument) {
    ThreadStart* start = new (std::nothrow) ThreadStart{body, argument, ReferenceOwnModule()};
    if (!start) return nullptr;
    if (!start->module) {
        delete start;
        return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 0, &ThreadInOwnModule, start, 0, nullptr);
    if (!thread) {
        FreeLibrary(start->module);
        delete start;
    }
    return thread;
}

}  // namespace BrennicZelvarSDK
