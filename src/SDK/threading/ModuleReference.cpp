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

// Where a thread is executing now: inside this module, outside it, or not
// known (its context could not be read).
enum class Whereabouts { Inside, Outside, Unknown };

// The caller's context is read without SuspendThread. A thread that suspends
// another and is killed before it resumes it leaves that thread suspended for
// good, and at process exit that is exactly what happens: the caller returns
// from Uninitialize, the application ends, ExitProcess kills this thread, and
// a suspension that reached the caller during ExitProcess kept the process
// from ever ending. GetThreadContext on a running thread has the system
// interrupt it just long enough to record its registers (an APC on Windows, a
// signal on Wine), and nothing is left pending when the asking thread dies.
// The snapshot is enough here: once the caller has set its flag it runs only
// the few instructions that return from Uninitialize, with no call into
// another module, so an instruction pointer seen outside the module after
// that means the caller has left it for good.
Whereabouts WhereIs(HANDLE thread, ULONG_PTR moduleBegin, ULONG_PTR moduleEnd) {
    if (WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return Whereabouts::Outside;  // the thread has ended
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context)) return Whereabouts::Unknown;
#if defined(_M_X64) || defined(__x86_64__)
    const auto at = static_cast<ULONG_PTR>(context.Rip);
#elif defined(_M_ARM64) || defined(__aarch64__)
    const auto at = static_cast<ULONG_PTR>(context.Pc);
#else
    const auto at = static_cast<ULONG_PTR>(context.Eip);
#endif
    return at >= moduleBegin && at < moduleEnd ? Whereabouts::Inside : Whereabouts::Outside;
}

// How long a caller whose context cannot be read is waited for. After that
// the reference is kept: the module then stays loaded until the process
// ends, which is safe, where unmapping code a thread may still run is not.
constexpr int kUnreadableContextTries = 1000;

unsigned GiveBackWhenCallerHasLeft(void* argument) {
    const std::unique_ptr<HandOver> handOver(static_cast<HandOver*>(argument));
    while (!handOver->left.load(std::memory_order_acquire)) Sleep(1);
    // The module's image, read once from its headers for every check below.
    const auto base = reinterpret_cast<const BYTE*>(handOver->reference);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto begin = reinterpret_cast<ULONG_PTR>(base), end = begin + nt->OptionalHeader.SizeOfImage;
    for (int unreadable = 0; handOver->caller;) {
        const Whereabouts where = WhereIs(handOver->caller.Get(), begin, end);
        if (where == Whereabouts::Outside) break;
        if (where == Whereabouts::Unknown && ++unreadable == kUnreadableContextTries) return 0;
        Sleep(1);
    }
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
    const DWORD access = SYNCHRONIZE | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;
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
