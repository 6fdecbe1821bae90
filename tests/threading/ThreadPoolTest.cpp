#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/SharedExclusiveLock.h"
#include "support/Scoped.h"
#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {

// Waits in the tests are bounded so that a broken pool fails instead of
// hanging the run.
const DWORD kTestWaitMs = 20000;

class FunctionItem : public Worker {
public:
    explicit FunctionItem(std::function<void()> f) : m_f(std::move(f)) {}
    unsigned int Execute() override {
        m_f();
        return 0;
    }

private:
    std::function<void()> m_f;
};

WorkerPtr Item(std::function<void()> f) {
    return WorkerPtr(new FunctionItem(std::move(f)));
}

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

// Destroys a pool on a thread of its own, so that the test can act while
// the destructor waits.
struct PoolDestroyer {
    static unsigned __stdcall Run(void* pool) {
        delete static_cast<ThreadPool*>(pool);
        return 0;
    }
};

}  // namespace

TEST(ThreadPool, RunsItemsInQueueOrderOnItsOneThread) {
    Record record;
    ScopedHandle done = ManualEvent();
    {
        ThreadPool pool(1, 100);
        for (int i = 0; i < 20; ++i) pool.QueueWork(Item([&record, i] { record.Add(i); }));
        pool.QueueWork(Item([&done] { SetEvent(done.Get()); }));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.Get(), kTestWaitMs));
    }
    ASSERT_EQ(20u, record.order.size());
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(i, record.order[i]);
        EXPECT_EQ(record.threads[0], record.threads[i]);
    }
    EXPECT_NE(GetCurrentThreadId(), record.threads[0]);
}

TEST(ThreadPool, QueueWorkRefusesEmptyItemsAndAFullQueue) {
    ScopedHandle started = ManualEvent();
    ScopedHandle release = ManualEvent();
    Record record;
    {
        ThreadPool pool(1, 1);
        EXPECT_THROW(pool.QueueWork(WorkerPtr()), std::invalid_argument);
        pool.QueueWork(Item([&] {
            SetEvent(started.Get());
            WaitForSingleObject(release.Get(), kTestWaitMs);
            record.Add(0);
        }));
        // Once the blocker runs the queue is empty again and takes one item.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.Get(), kTestWaitMs));
        pool.QueueWork(Item([&] { record.Add(1); }));
        try {
            pool.QueueWork(Item([&] { record.Add(2); }));
            FAIL() << "a full pool queue took another item";
        } catch (const std::overflow_error& e) {
            EXPECT_STREQ("Work queue full!", e.what());
        }
        SetEvent(release.Get());
    }
    EXPECT_EQ((std::vector<int>{0, 1}), record.order);
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

    // The destructor sets the stop event while the three items are still
    // queued; the thread must take them before it leaves.
    ScopedHandle destroyer(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &PoolDestroyer::Run, pool, 0, nullptr)));
    ASSERT_TRUE(destroyer);
    Sleep(300);
    {
        ExclusiveLockHold hold(record.lock);
        EXPECT_TRUE(record.order.empty());
    }
    SetEvent(release.Get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(destroyer.Get(), kTestWaitMs));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), record.order);
}

TEST(ThreadPool, ASlowItemHoldsDestructionOnlyForTheWaitAndItsThreadEndsCleanlyLater) {
    // The items outlive this test's frame when it fails early, so what they
    // touch lives on the heap, shared with them.
    struct SlowState {
        ScopedHandle started = ManualEvent();
        ScopedHandle release = ManualEvent();
        volatile LONG slowFinished = 0;
        volatile LONG queuedBehindRan = 0;
        DWORD poolThreadId = 0;
    };
    auto state = std::make_shared<SlowState>();
    struct ReleaseOnExit {
        HANDLE event;
        ~ReleaseOnExit() { SetEvent(event); }
    } releaseOnExit{state->release.Get()};

    auto* pool = new ThreadPool(1, 100);
    pool->QueueWork(Item([state] {
        state->poolThreadId = GetCurrentThreadId();
        SetEvent(state->started.Get());
        WaitForSingleObject(state->release.Get(), 60000);
        InterlockedExchange(&state->slowFinished, 1);
    }));
    pool->QueueWork(Item([state] { InterlockedExchange(&state->queuedBehindRan, 1); }));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state->started.Get(), kTestWaitMs));
    ScopedHandle poolThread(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, state->poolThreadId));
    ASSERT_TRUE(poolThread);

    const ULONGLONG before = GetTickCount64();
    delete pool;
    const ULONGLONG elapsed = GetTickCount64() - before;

    // The destructor gave the thread its full wait, then went on without it.
    EXPECT_GE(elapsed, 4900u);
    EXPECT_EQ(0, state->slowFinished);

    // The late thread still owns the queue and handles it uses: it finishes
    // its item, leaves through the stop event and ends with exit code 0.
    // The item queued behind it was released with the pool, never run.
    SetEvent(state->release.Get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(poolThread.Get(), kTestWaitMs));
    DWORD exitCode = 1;
    ASSERT_TRUE(GetExitCodeThread(poolThread.Get(), &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(1, state->slowFinished);
    EXPECT_EQ(0, state->queuedBehindRan);
}

TEST(PoolRegistry, CreatesFindsAndDestroysByExactName) {
    const std::wstring name = L"Registry test pool";
    CreateThreadPool(name);
    ThreadPool* pool = FindThreadPool(name);
    ASSERT_NE(nullptr, pool);
    EXPECT_EQ(pool, FindThreadPool(name));

    try {
        CreateThreadPool(name);
        FAIL() << "a second pool of the same name was created";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Thread pool already exists!", e.what());
    }
    EXPECT_EQ(pool, FindThreadPool(name));  // the existing pool is untouched

    // Names compare code unit by code unit.
    EXPECT_THROW(FindThreadPool(L"registry test pool"), std::logic_error);
    EXPECT_THROW(FindThreadPool(name + L" "), std::logic_error);

    // The registered pool really runs work.
    ScopedHandle done = ManualEvent();
    pool->QueueWork(Item([&] { SetEvent(done.Get()); }));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.Get(), kTestWaitMs));

    DestroyThreadPool(name);
    try {
        FindThreadPool(name);
        FAIL() << "a destroyed pool was found";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Thread pool not found!", e.what());
    }
    try {
        DestroyThreadPool(name);
        FAIL() << "a missing pool was destroyed";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Thread pool not found!", e.what());
    }
    // The name is free again.
    CreateThreadPool(name);
    DestroyThreadPool(name);
}

TEST(PoolRegistry, CreatingTheCreatorPoolTwiceFailsTheSecondTime) {
    CreateThreadPool(kComObjectCreatorPoolName);
    EXPECT_THROW(CreateThreadPool(kComObjectCreatorPoolName), std::logic_error);
    DestroyThreadPool(kComObjectCreatorPoolName);
}

TEST(ThreadPool, ASemaphoreThePlatformRefusesFailsConstruction) {
    // A semaphore needs a maximum count of at least one.
    try {
        ThreadPool pool(1, 0);
        FAIL() << "a pool without queue room was built";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("CreateSemaphore failed!", e.what());
    }
}
