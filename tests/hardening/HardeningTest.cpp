// Faults found in review, each shown by what it did: work items that outlive
// a failed wait, a service object left in the Global Interface Table when its
// entry cannot be stored, a string table whose size wraps, a handle that
// resets to itself, and the texts two exceptions leave in traces.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "common/StandinService.h"
#include "common/TestSupport.h"
#include "common/WorkItem.h"
#include "common/TraceCapture.h"
#include "core/ErrorHandling.h"
#include "sync/Globals.h"
#include "core/ZVImplementation.h"
#include "support/Convert.h"
#include "tables/HandleTables.h"
#include "threading/ApartmentWorkers.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

// While a thread is named here, its (n+1)-th allocation fails; the whole
// program allocates through here. (Not a thread_local: Clang 14's emulated
// thread-local storage leaves one used by a replaced operator new unresolved.)
static std::atomic<DWORD> g_failingThread{0};
static int g_allocationsBeforeFailure = -1;  // touched by the named thread only
void* operator new(size_t size) {
    if (g_failingThread.load() == GetCurrentThreadId() && g_allocationsBeforeFailure-- == 0) throw std::bad_alloc();
    if (void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, size_t) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

namespace {

const wchar_t kPool[] = L"Hardening test pool";

// A pool whose one thread is held until Release(): what is queued behind it
// runs only then, after its submitter's wait has failed.
class HeldPool {
public:
    HeldPool() {
        CreateThreadPool(kPool);
        Queue([this] { WaitForSingleObject(m_release.Get(), INFINITE); });
    }
    ~HeldPool() {
        Release();
        DestroyThreadPool(kPool);
    }
    // Returns once everything queued so far has run.
    void Release() {
        SetEvent(m_release.Get());
        ScopedHandle drained(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        Queue([&drained] { SetEvent(drained.Get()); });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(drained.Get(), 20000));
    }

private:
    static void Queue(std::function<void()> call) { FindThreadPool(kPool)->QueueWork(zvtest::Item(call)); }
    ScopedHandle m_release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// Events made right after a failed wait take the handle values just closed:
// a late item that signals a closed handle signals one of these.
bool LateItemsSignalRecycledHandles(HeldPool& pool) {
    std::vector<ScopedHandle> events;
    for (int i = 0; i < 8; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    pool.Release();
    for (const ScopedHandle& event : events)
        if (WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0) return true;
    return false;
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

}  // namespace

TEST(LateWorkItems, RunnerAndApartmentItemsThatRunAfterTheirWaitFailedTouchOnlyWhatTheyOwn) {
    HeldPool pool;
    auto ran = std::make_shared<std::atomic<bool>>(false);
    EXPECT_THROW(RunOnPoolAndWait(
                     kPool, [ran] { *ran = true; }, "Test::Late", 0),
                 ThreadPoolInvocationException);
    DWORD threadId = 0xDEAD;
    HRESULT comResult = 0x1234;
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), ReadPoolThreadId(kPool, threadId, 0));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), JoinApartmentOnPoolThread(kPool, comResult, 0));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), LeaveApartmentOnPoolThread(kPool, 0));
    EXPECT_FALSE(LateItemsSignalRecycledHandles(pool));
    EXPECT_TRUE(*ran);
    // The caller's variables belong to a frame that has moved on.
    EXPECT_EQ(0xDEADu, threadId);
    EXPECT_EQ(0x1234, comResult);
}

// The stand-in's in-process objects: their reference counts show what the
// Global Interface Table keeps. Whichever allocation of a store fails, the
// store leaves neither a cookie nor an entry behind.
TEST(TableStore, AnAllocationThatFailsAnywhereInAStoreLeavesNothingBehind) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::InprocServer));
    ComPtr<IZelvarConnection> connection;
    ComPtr<IZelvarAuthContext> context;
    ASSERT_EQ(S_OK, zvtest::CreateZelvarConnection(connection.Receive()));
    ScopedBstr url(SysAllocString(L"https://store.test/"));
    ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, context.Receive()));
    ConnectionTable connections;
    RequestContextTable contexts("RequestContextTable", "DestroyRequestContext");
    const ULONG connectionReferences = References(connection.Get()), contextReferences = References(context.Get());
    const std::function<void(unsigned int)> stores[] = {
        [&](unsigned int handle) { connections.SetData_ExclusiveLock(handle, connection.Get(), ConnectionData{}); },
        [&](unsigned int handle) { contexts.Set_ExclusiveLock(handle, context.Get()); },
    };
    for (int store = 0; store < 2; ++store) {
        bool stored = false;
        for (int failing = 0; !stored && failing < 16; ++failing) {
            const unsigned int handle = 100 * (store + 1) + failing;
            g_allocationsBeforeFailure = failing;
            g_failingThread = GetCurrentThreadId();
            try {
                stores[store](handle);
                stored = true;
            } catch (const std::bad_alloc&) {
            }
            g_failingThread = 0;
            if (stored) {
                store ? contexts.Delete_ExclusiveLock(handle) : (void)connections.Delete_ExclusiveLock(handle);
            } else {
                ComPtr<IZelvarAuthContext> found;
                EXPECT_EQ(E_HANDLE, contexts.Get_SharedLock(handle, found));
                ConnectionData data{};
                EXPECT_FALSE(connections.GetData_SharedLock(handle, data)) << "allocation " << failing;
            }
            EXPECT_EQ(connectionReferences, References(connection.Get()))
                << "store " << store << " allocation " << failing;
            EXPECT_EQ(contextReferences, References(context.Get())) << "store " << store << " allocation " << failing;
        }
        EXPECT_TRUE(stored) << "store " << store;
    }
    context.Reset();
    connection.Reset();
    zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
    CoUninitialize();
}

TEST(StringTableConversion, ATableLargerThanThirtyTwoBitsIsRefusedAsOutOfMemory) {
    // 32 elements that all point to one string of 64 Mi code units: 4 GiB
    // and a little in all, which a 32-bit sum wraps to a few hundred bytes.
    ScopedBstr text(SysAllocStringLen(nullptr, 1u << 26));
    ASSERT_NE(nullptr, text.Get());
    std::wmemset(text.Get(), L'x', 1u << 26);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 32);
    for (int i = 0; i < 32; ++i) static_cast<BSTR*>(array->pvData)[i] = text.Get();
    try {
        BSTRSafeArrayToZVChar(array);
        ADD_FAILURE() << "converted";
    } catch (const Convert::bad_alloc_message& e) {
        EXPECT_STREQ("BSTRSafeArrayToZVChar: malloc failed", e.what());
    }
    std::memset(array->pvData, 0, 32 * sizeof(BSTR));  // the elements are not the array's own
    SafeArrayDestroy(array);
}

TEST(ScopedHandleReset, ResetToTheHandleItHoldsKeepsItOpen) {
    ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE held = event.Get();
    event.Reset(held);
    DWORD flags = 0;
    EXPECT_TRUE(event.Get() == held && GetHandleInformation(held, &flags)) << "the handle was closed";
}

namespace {
// The SDK linked into this program, initialised beside the in-process
// stand-in, with one connection.
struct LinkedSdk {
    LinkedSdk() {
        EXPECT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        control = zvtest::StartStandin(zvtest::StandinHost::InprocServer);
        EXPECT_EQ(ZV_SUCCESS, sdk.Initialize());
        EXPECT_EQ(ZV_SUCCESS, sdk.CreateConnection(L"Hardening", nullptr, nullptr, &connection));
    }
    ~LinkedSdk() {
        control->ReleaseHeld();
        sdk.Uninitialize();
        control.reset();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        CoUninitialize();
    }
    ZVImplementationV9& sdk = GetImplementation();
    std::unique_ptr<zvtest::StandinControl> control;
    unsigned int connection = 0;
};
}  // namespace

// A creation work item never looks a pool up: destroying a pool holds the
// registry while it waits for the pool's thread, and an item that needs the
// registry then waits for the very thread it runs on.
TEST(CreationWorkItem, RunsToItsEndWhileThePoolRegistryIsHeld) {
    LinkedSdk linked;
    ASSERT_TRUE(linked.control->SetMethod("CreateConnection", {{"block", true}}));
    unsigned int handle = 0;
    auto creator =
        zvtest::Background([&] { return linked.sdk.CreateConnection(L"Hardening", nullptr, nullptr, &handle); });
    ASSERT_TRUE(linked.control->WaitForCalls("CreateConnection", 2));
    g_PoolRegistryLock.AcquireExclusive();
    linked.control->ReleaseHeld("CreateConnection");
    const std::future_status waited = creator.wait_for(std::chrono::seconds(20));
    g_PoolRegistryLock.ReleaseExclusive();
    EXPECT_EQ(std::future_status::ready, waited) << "the creation item waited for the pool registry";
    EXPECT_EQ(ZV_SUCCESS, creator.get());
}

// A destroy from a single-threaded apartment releases the service object
// before it returns, even while the creator pool is held by a creation.
TEST(DestroyFromSingleThreadedApartment, ReleasesTheServiceObjectBeforeItReturns) {
    LinkedSdk linked;
    unsigned int context = 0;
    ASSERT_EQ(ZV_SUCCESS, linked.sdk.CreateRequestContext(linked.connection, L"https://a.test/", 0, &context));
    ASSERT_TRUE(linked.control->SetMethod("CreateRequestContext", {{"block", true}}));
    unsigned int heldContext = 0;
    auto creator = zvtest::Background(
        [&] { return linked.sdk.CreateRequestContext(linked.connection, L"https://b.test/", 0, &heldContext); });
    ASSERT_TRUE(linked.control->WaitForCalls("CreateRequestContext", 2));
    const unsigned liveBefore = linked.control->ServerInfo()["liveObjects"].get<unsigned>();
    ZVResult result = 0;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        result = linked.sdk.DestroyRequestContext(context);
        CoUninitialize();
    }).join();
    EXPECT_EQ(ZV_SUCCESS, result);
    EXPECT_EQ(liveBefore - 1, linked.control->ServerInfo()["liveObjects"].get<unsigned>())
        << "the service object outlives the destroy";
    linked.control->ReleaseHeld("CreateRequestContext");
    creator.wait();
}
