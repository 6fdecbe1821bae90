// Faults found in review, each shown by what it did: work items that outlive
// a failed wait, a service object left in the Global Interface Table when
// its entry cannot be stored, a string table whose size wraps, a handle that
// resets to itself, and the texts two exceptions leave in traces.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "common/StandinService.h"
#include "common/TracerSession.h"
#include "core/ErrorHandling.h"
#include "support/Convert.h"
#include "support/Scoped.h"
#include "tables/HandleTables.h"
#include "threading/ApartmentWorkers.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

// Allocation failure on demand: when set to n >= 0, the (n+1)-th allocation
// of this thread fails. Everything in this program allocates through here.
static thread_local int t_allocationsBeforeFailure = -1;

void* operator new(size_t size) {
    if (t_allocationsBeforeFailure >= 0 && t_allocationsBeforeFailure-- == 0) throw std::bad_alloc();
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

const DWORD kTestWaitMs = 20000;
const wchar_t kPool[] = L"Hardening test pool";

class CallWorker : public Worker {
public:
    explicit CallWorker(std::function<void()> call) : m_call(std::move(call)) {}
    unsigned int Execute() override {
        m_call();
        return 0;
    }

private:
    std::function<void()> m_call;
};

// A pool whose one thread is held by an item until Release(): whatever is
// queued behind it runs only then, after its submitter's wait has failed.
class HeldPool {
public:
    HeldPool() : m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        CreateThreadPool(kPool);
        const HANDLE release = m_release.Get();
        Queue([release] { WaitForSingleObject(release, INFINITE); });
    }
    ~HeldPool() {
        Release();
        DestroyThreadPool(kPool);
    }
    // Lets the held item go; returns once everything queued so far has run.
    void Release() {
        SetEvent(m_release.Get());
        ScopedHandle drained(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const HANDLE done = drained.Get();
        Queue([done] { SetEvent(done); });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, kTestWaitMs));
    }

private:
    static void Queue(std::function<void()> call) {
        FindThreadPool(kPool)->QueueWork(boost::make_shared<CallWorker>(std::move(call)));
    }
    ScopedHandle m_release;
};

// Events made right after a failed wait take the handle values just closed:
// a late item that signals a closed handle signals one of these.
std::vector<ScopedHandle> TakeFreedHandleValues() {
    std::vector<ScopedHandle> events;
    for (int i = 0; i < 8; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return events;
}

bool AnySignalled(const std::vector<ScopedHandle>& events) {
    for (const ScopedHandle& event : events)
        if (WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0) return true;
    return false;
}

ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

}  // namespace

TEST(LateWorkItems, ARunnerItemThatRunsAfterItsWaitFailedSignalsOnlyItsOwnEvent) {
    HeldPool pool;
    auto ran = std::make_shared<std::atomic<bool>>(false);
    EXPECT_THROW(RunOnPoolAndWait(kPool, [ran] { *ran = true; }, "BrennicZelvarSDK::Test::Late", 0),
                 ThreadPoolInvocationException);
    const std::vector<ScopedHandle> recycled = TakeFreedHandleValues();
    pool.Release();
    EXPECT_TRUE(*ran);
    EXPECT_FALSE(AnySignalled(recycled)) << "a late item signalled a handle its submitter had closed";
}

TEST(LateWorkItems, ApartmentItemsThatRunAfterTheirWaitFailedTouchOnlyWhatTheyOwn) {
    HeldPool pool;
    DWORD threadId = 0xDEAD;
    HRESULT comResult = 0x1234;
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ReadPoolThreadId(kPool, threadId, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), JoinApartmentOnPoolThread(kPool, comResult, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), LeaveApartmentOnPoolThread(kPool, 0));
    const std::vector<ScopedHandle> recycled = TakeFreedHandleValues();
    pool.Release();
    // The caller's variables belong to a frame that has moved on.
    EXPECT_EQ(0xDEADu, threadId);
    EXPECT_EQ(0x1234, comResult);
    EXPECT_FALSE(AnySignalled(recycled)) << "a late item signalled a handle its submitter had closed";
}

// Service objects of the stand-in's in-process host: their reference counts
// show what the Global Interface Table keeps.
class TableStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, zvtest::RegisterStandin(zvtest::StandinHost::InprocServer));
        ASSERT_EQ(S_OK, zvtest::CreateZelvarConnection(&connection));
        ScopedBstr url(SysAllocString(L"https://store.test/"));
        ASSERT_EQ(S_OK, connection->CreateRequestContext(url.Get(), 0, &context));
    }
    void TearDown() override {
        if (context) context->Release();
        if (connection) connection->Release();
        zvtest::RegisterStandin(zvtest::StandinHost::LocalServer);
        CoUninitialize();
    }
    IZelvarConnection* connection = nullptr;
    IZelvarAuthContext* context = nullptr;
};

TEST_F(TableStoreTest, AnEntryThatCannotBeAllocatedLeavesNothingInTheGlobalInterfaceTable) {
    ConnectionTable connections;
    RequestContextTable contexts("RequestContextTable", "DestroyRequestContext");
    const ULONG connectionReferences = References(connection);
    const ULONG contextReferences = References(context);

    t_allocationsBeforeFailure = 0;
    EXPECT_THROW(connections.SetData_ExclusiveLock(7, connection, ConnectionData{0, nullptr, nullptr}),
                 std::bad_alloc);
    t_allocationsBeforeFailure = 0;
    EXPECT_THROW(contexts.Set_ExclusiveLock(8, context), std::bad_alloc);
    t_allocationsBeforeFailure = -1;

    EXPECT_EQ(connectionReferences, References(connection));
    EXPECT_EQ(contextReferences, References(context));
    ComPtr<IZelvarConnection> noConnection;
    EXPECT_EQ(E_HANDLE, connections.Get_SharedLock(7, noConnection));
    ComPtr<IZelvarAuthContext> noContext;
    EXPECT_EQ(E_HANDLE, contexts.Get_SharedLock(8, noContext));

    // The tables still store and give back what they can allocate.
    ASSERT_EQ(S_OK, contexts.Set_ExclusiveLock(8, context));
    ComPtr<IZelvarAuthContext> stored;
    EXPECT_EQ(S_OK, contexts.Get_SharedLock(8, stored));
    EXPECT_EQ(context, stored.Get());
}

TEST(StringTableConversion, ATableLargerThanThirtyTwoBitsIsRefusedAsOutOfMemory) {
    // 32 elements that all point to one string of 64 Mi code units: 4 GiB
    // and a little in all, which a 32-bit sum wraps to a few hundred bytes.
    const UINT length = 1u << 26;
    ScopedBstr text(SysAllocStringLen(nullptr, length));
    ASSERT_NE(nullptr, text.Get());
    std::wmemset(text.Get(), L'x', length);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 32);
    ASSERT_NE(nullptr, array);
    for (int i = 0; i < 32; ++i) static_cast<BSTR*>(array->pvData)[i] = text.Get();
    try {
        BSTRSafeArrayToZVChar(array);
        ADD_FAILURE() << "a table of more than 4 GiB was converted";
    } catch (const Convert::bad_alloc_message& e) {
        EXPECT_STREQ("BSTRSafeArrayToZVChar: malloc failed", e.what());
    }
    // The elements are not the array's own.
    std::memset(array->pvData, 0, 32 * sizeof(BSTR));
    SafeArrayDestroy(array);
}

TEST(ScopedHandleReset, ResetToTheHandleItHoldsKeepsItOpen) {
    ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE held = event.Get();
    event.Reset(held);
    EXPECT_EQ(held, event.Get());
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(held, &flags)) << "the handle was closed";
}

TEST(ExceptionTexts, AFailedPoolWaitAndRunningOutOfMemoryReadTheSameOnEveryRuntime) {
    EXPECT_STREQ("Unknown exception", ThreadPoolInvocationException().what());
    zvtest::TracerSession trace;
    ASSERT_TRUE(trace.IsOpen());
    const auto handle = [](std::function<void()> raise, const char* name) -> ZVResult {
        try {
            raise();
        } catch (...) {
            return HandleApiException(name);
        }
        return ZV_SUCCESS;
    };
    EXPECT_EQ(ZV_ERROR_FAILED, handle([] { throw std::bad_alloc(); }, "BrennicZelvarSDK::Test::Memory"));
    EXPECT_EQ(ZV_ERROR_FAILED, handle([] { throw Convert::bad_alloc_message("BSTRToZVChar: malloc failed"); },
                                      "BrennicZelvarSDK::Test::Convert"));
    const std::string lines = trace.Lines();
    EXPECT_NE(std::string::npos,
              lines.find(" Err   : BrennicZelvarSDK::Test::Memory: caught unexpected std::exception; what=bad "
                         "allocation\r\n"))
        << lines;
    EXPECT_NE(std::string::npos,
              lines.find(" Err   : BrennicZelvarSDK::Test::Convert: caught unexpected std::exception; "
                         "what=BSTRToZVChar: malloc failed\r\n"))
        << lines;
}
