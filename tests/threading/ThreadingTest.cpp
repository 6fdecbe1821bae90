// The bounded work queue, the pools that drain it, the registry that finds
// pools by name, and running work on a pool while the caller waits.
#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/TraceCapture.h"
#include "common/WorkItem.h"
#include "core/ErrorHandling.h"
#include "sync/SharedExclusiveLock.h"
#include "support/Scoped.h"
#include "threading/ApartmentWorkers.h"
#include "threading/PoolRunner.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;
using zvtest::Item;

namespace {

// Waits are bounded so that a broken pool fails instead of hanging the run.
const DWORD kTestWaitMs = 20000;
const wchar_t kPool[] = L"Threading test pool";

ScopedHandle ManualEvent() {
    return ScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// What the items record, from whichever thread runs them.
struct Record {
    SharedExclusiveLock lock;
    std::vector<int> order;
    std::vector<DWORD> threads;
    void Add(int id) {
        ExclusiveLockHold hold(lock);
        order.push_back(id);
        threads.push_back(GetCurrentThreadId());
    }
};

// A registered pool for the length of one test.
struct RegisteredPool {
    RegisteredPool() { CreateThreadPool(kPool); }
    ~RegisteredPool() { DestroyThreadPool(kPool); }
};

template <class Exception>
std::string ThrownText(const std::function<void()>& step) {
    try {
        step();
    } catch (const Exception& e) {
        return e.what();
    }
    return "nothing thrown";
}

}  // namespace

TEST(ThreadPool, RunsItemsInQueueOrderOnItsOneThreadAndRefusesOverflow) {
    Record record;
    ScopedHandle started = ManualEvent(), release = ManualEvent();
    {
        ThreadPool pool(1, 1);
        pool.QueueWork(Item([&] {
            SetEvent(started.Get());
            WaitForSingleObject(release.Get(), kTestWaitMs);
            record.Add(0);
        }));
        // Once the blocker runs the queue is empty again and takes one item.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.Get(), kTestWaitMs));
        pool.QueueWork(Item([&] { record.Add(1); }));
        EXPECT_EQ("Work queue full!", ThrownText<std::overflow_error>([&] { pool.QueueWork(Item()); }));
        EXPECT_THROW(pool.QueueWork(WorkerPtr()), std::invalid_argument);
        SetEvent(release.Get());
    }
    EXPECT_EQ((std::vector<int>{0, 1}), record.order);
    EXPECT_EQ(record.threads[0], record.threads[1]);
    EXPECT_NE(GetCurrentThreadId(), record.threads[0]);
    // A semaphore needs a maximum count of at least one.
    EXPECT_EQ("CreateSemaphore failed!", ThrownText<std::runtime_error>([] { ThreadPool pool(1, 0); }));
}

TEST(ThreadPool, DestructionRunsTheItemsStillQueued) {
    ScopedHandle release = ManualEvent();
    Record record;
    auto* pool = new ThreadPool(1, 100);
    pool->QueueWork(Item([&] {
        WaitForSingleObject(release.Get(), kTestWaitMs);
        record.Add(0);
    }));
    for (int i = 1; i <= 3; ++i) pool->QueueWork(Item([&record, i] { record.Add(i); }));
    // The destructor stops the thread while three items are still queued;
    // the thread must take them before it leaves.
    ScopedHandle destroyed = ManualEvent();
    std::thread destroyer([&] {
        delete pool;
        SetEvent(destroyed.Get());
    });
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(destroyed.Get(), 300)) << "destruction did not wait for the item";
    SetEvent(release.Get());
    destroyer.join();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), record.order);
}

TEST(PoolRunner, ApartmentWorkersPutThePoolThreadIntoTheMultithreadedApartmentAndTakeItOut) {
    RegisteredPool pool;
    auto apartment = [] {
        APTTYPE type = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        HRESULT hr = E_FAIL;
        RunOnPoolAndWait(
            kPool, [&] { hr = CoGetApartmentType(&type, &qualifier); }, "Test");
        return SUCCEEDED(hr) && type == APTTYPE_MTA && qualifier == APTTYPEQUALIFIER_NONE;
    };
    HRESULT joined = E_UNEXPECTED;
    ASSERT_EQ(WAIT_OBJECT_0, JoinApartmentOnPoolThread(kPool, joined, kTestWaitMs));
    EXPECT_EQ(S_OK, joined);
    EXPECT_TRUE(apartment()) << "the pool thread did not join the apartment";
    DWORD poolThread = 0, seen = 1;
    ASSERT_EQ(WAIT_OBJECT_0, ReadPoolThreadId(kPool, poolThread, kTestWaitMs));
    RunOnPoolAndWait(
        kPool, [&] { seen = GetCurrentThreadId(); }, "Test");
    EXPECT_EQ(seen, poolThread);
    EXPECT_NE(GetCurrentThreadId(), poolThread);
    ASSERT_EQ(WAIT_OBJECT_0, LeaveApartmentOnPoolThread(kPool, kTestWaitMs));
    EXPECT_FALSE(apartment()) << "the pool thread is still in the apartment it joined";
}

TEST(PoolRunner, ResultsAndExceptionsOfTheWorkReachTheCaller) {
    RegisteredPool pool;
    zvtest::TraceCapture trace(true);
    EXPECT_NO_THROW(RunOnPoolAndCheck("Test::Check", kPool, []() -> HRESULT { return S_FALSE; }));
    ZVResult result = ZV_SUCCESS;

    // An exception of the work is raised again on the caller's thread; the pool thread goes on.
    DWORD poolThread = 0, later = 0;
    EXPECT_EQ("work failed", ThrownText<std::runtime_error>([&] {
                  RunOnPoolAndCheck("Test::Throwing", kPool, [&]() -> HRESULT {
                      poolThread = GetCurrentThreadId();
                      throw std::runtime_error("work failed");
                  });
              }));
    RunOnPoolAndWait(
        kPool, [&] { later = GetCurrentThreadId(); }, "Test::Later");
    EXPECT_EQ(poolThread, later);
    EXPECT_NE(GetCurrentThreadId(), later);
    EXPECT_THROW(RunOnPoolAndWait(kPool, boost::function<void()>(), "Test::Empty"), boost::bad_function_call);
    EXPECT_EQ("Thread pool not found!", ThrownText<std::logic_error>([] {
                  RunOnPoolAndWait(
                      L"No such pool", [] {}, "Test::Missing");
              }));
    // An empty callable signals nothing.
    auto done = boost::make_shared<ScopedHandle>(MakeCompletionEvent());
    EXPECT_THROW(DelegateWorker(done, boost::function<void()>()).Execute(), boost::bad_function_call);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(done->Get(), 0));

    // A null service pointer on the way to a user interface is an E_FAIL with a trace.
    try {
        UICapablePtr<IUnknown> empty;
        (void)empty.operator->();
    } catch (...) {
        result = HandleApiException("Test::UI");
    }
    EXPECT_EQ(ZV_ERROR_FAILED, result);
    EXPECT_TRUE(trace.InOrder({"UICapablePtr null dereference", "Test::UI: caught COM error 2147500037"}));
}
