#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "sync/SharedExclusiveLock.h"
#include "support/Scoped.h"

using namespace BrennicZelvarSDK;

// These tests take and release the lock's raw operations on one thread and
// the other on another, and leave holds open across threads on purpose: the
// compiler's lock analysis cannot follow a hold between threads.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {
// A thread that is blocked in the lock is seen as "not signalled within a
// short time"; one that must get in has ten seconds.
const DWORD kBlockedMs = 300;
const DWORD kGetsInMs = 10000;

struct Signal {
    ScopedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void Set() { SetEvent(event.Get()); }
    bool Within(DWORD ms) const { return WaitForSingleObject(event.Get(), ms) == WAIT_OBJECT_0; }
};
}  // namespace

TEST(SharedExclusiveLock, ReadersHoldItTogetherAndAWriterWaitsForTheLastOne) {
    SharedExclusiveLock lock;
    const int readerCount = 6;
    std::vector<Signal> in(readerCount);
    Signal leave;
    std::vector<std::thread> readers;
    for (int i = 0; i < readerCount; ++i) {
        readers.emplace_back([&, i] {
            lock.AcquireShared();
            in[i].Set();
            leave.Within(INFINITE);
        });
    }
    for (auto& reader : in) ASSERT_TRUE(reader.Within(kGetsInMs)) << "readers must hold the lock together";
    Signal writerIn;
    std::thread writer([&] {
        lock.AcquireExclusive();
        writerIn.Set();
        lock.ReleaseExclusive();
    });
    leave.Set();
    for (auto& reader : readers) reader.join();
    for (int i = 0; i < readerCount - 1; ++i) lock.ReleaseShared();  // holds are not tied to their thread
    EXPECT_FALSE(writerIn.Within(kBlockedMs)) << "the writer must wait for the last reader";
    lock.ReleaseShared();
    EXPECT_TRUE(writerIn.Within(kGetsInMs));
    writer.join();
}

TEST(SharedExclusiveLock, AWaitingWriterStopsNewReadersWhoWaitUntilItReleases) {
    SharedExclusiveLock lock;
    lock.AcquireShared();
    Signal writerIn, writerRelease, lateReaderIn;
    std::thread writer([&] {
        lock.AcquireExclusive();
        writerIn.Set();
        writerRelease.Within(INFINITE);
        lock.ReleaseExclusive();
    });
    ASSERT_FALSE(writerIn.Within(kBlockedMs));  // the writer now waits for the first reader
    std::thread lateReader([&] {
        lock.AcquireShared();
        lateReaderIn.Set();
        lock.ReleaseShared();
    });
    EXPECT_FALSE(lateReaderIn.Within(kBlockedMs)) << "a reader after a waiting writer must not pass it";
    lock.ReleaseShared();
    EXPECT_TRUE(writerIn.Within(kGetsInMs));
    EXPECT_FALSE(lateReaderIn.Within(kBlockedMs)) << "a reader must wait while the writer holds the lock";
    writerRelease.Set();
    EXPECT_TRUE(lateReaderIn.Within(kGetsInMs));
    writer.join();
    lateReader.join();
}

// A thread that holds the lock and asks for it exclusively is not let in; it
// goes on only once its first hold is released (here by the test's thread).
TEST(SharedExclusiveLock, IsNotReentrant) {
    for (bool firstShared : {true, false}) {
        SharedExclusiveLock lock;
        Signal firstHeld, secondHeld;
        std::thread thread([&] {
            firstShared ? lock.AcquireShared() : lock.AcquireExclusive();
            firstHeld.Set();
            lock.AcquireExclusive();
            secondHeld.Set();
            lock.ReleaseExclusive();
        });
        ASSERT_TRUE(firstHeld.Within(kGetsInMs));
        EXPECT_FALSE(secondHeld.Within(kBlockedMs)) << "first hold shared: " << firstShared;
        firstShared ? lock.ReleaseShared() : lock.ReleaseExclusive();
        EXPECT_TRUE(secondHeld.Within(kGetsInMs));
        thread.join();
    }
}

// Many threads in both modes for about two seconds, each yielding inside its
// hold so that they meet in every state: a writer is always alone, and every
// thread finishes (a lost wake-up leaves one waiting for ever).
TEST(SharedExclusiveLock, ManyThreadsInBothModesNeverOverlapAWriterAndNeverHang) {
    SharedExclusiveLock* lock = new SharedExclusiveLock;  // left to threads that might hang
    const int threadCount = 8;
    const DWORD until = GetTickCount() + 2000;
    auto readers = std::make_shared<std::atomic<int>>(0);
    auto writers = std::make_shared<std::atomic<int>>(0);
    auto overlaps = std::make_shared<std::atomic<int>>(0);
    auto writes = std::make_shared<std::atomic<int>>(0);
    std::vector<HANDLE> done;
    for (int t = 0; t < threadCount; ++t) {
        HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        done.push_back(finished);
        std::thread([=] {
            for (int i = 0; static_cast<int>(until - GetTickCount()) > 0; ++i) {
                if ((i + t) % 3 == 0) {
                    lock->AcquireExclusive();
                    if (++*writers != 1 || *readers != 0) ++*overlaps;
                    ++*writes;
                    SwitchToThread();
                    --*writers;
                    lock->ReleaseExclusive();
                } else {
                    lock->AcquireShared();
                    ++*readers;
                    if (*writers != 0) ++*overlaps;
                    SwitchToThread();
                    --*readers;
                    lock->ReleaseShared();
                }
            }
            SetEvent(finished);
        }).detach();
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(threadCount, done.data(), TRUE, 30000)) << "a thread hangs";
    for (HANDLE finished : done) CloseHandle(finished);
    EXPECT_EQ(0, overlaps->load());
    EXPECT_GT(writes->load(), 0);
    delete lock;
}

// A release without a hold is refused and leaves the lock as it was: a writer
// still gets in, and still keeps a reader out while it holds the lock.
TEST(SharedExclusiveLock, AnUnmatchedReleaseIsRefusedAndLeavesTheLockWorking) {
    const std::function<void(SharedExclusiveLock&)> misuses[] = {
        [](SharedExclusiveLock& lock) { lock.ReleaseShared(); },
        [](SharedExclusiveLock& lock) {
            lock.AcquireShared();
            lock.ReleaseShared();
            lock.ReleaseShared();
        },
        [](SharedExclusiveLock& lock) { lock.ReleaseExclusive(); },
    };
    for (size_t i = 0; i < sizeof misuses / sizeof misuses[0]; ++i) {
        auto* lock = new SharedExclusiveLock;  // left to a thread that might hang
        misuses[i](*lock);
        Signal writerIn, readerIn;
        std::thread([&] {
            lock->AcquireExclusive();
            writerIn.Set();
        }).detach();
        ASSERT_TRUE(writerIn.Within(kGetsInMs)) << "misuse " << i << " wedged the lock";
        std::thread reader([&] {
            lock->AcquireShared();
            readerIn.Set();
            lock->ReleaseShared();
        });
        EXPECT_FALSE(readerIn.Within(kBlockedMs)) << "misuse " << i << " let a reader in beside the writer";
        lock->ReleaseExclusive();
        EXPECT_TRUE(readerIn.Within(kGetsInMs)) << "misuse " << i;
        reader.join();
        delete lock;
    }
}

// A reader queued behind a writer, while the reader let in before it has not
// woken yet (it is suspended in its wait), blocks instead of spinning: its
// thread uses next to no processor time while it waits.
TEST(SharedExclusiveLock, AQueuedReaderBlocksWhileThePreviousReaderHasNotWoken) {
    struct Reader {
        SharedExclusiveLock* lock;
        Signal in;
        HANDLE thread = nullptr;
        static DWORD WINAPI Run(void* self) {
            static_cast<Reader*>(self)->lock->AcquireShared();
            static_cast<Reader*>(self)->in.Set();
            return 0;
        }
        void Start() { thread = CreateThread(nullptr, 0, &Run, this, 0, nullptr); }
    };
    SharedExclusiveLock lock;
    Reader first{&lock, {}}, queued{&lock, {}};
    Signal writerIn;
    lock.AcquireExclusive();
    first.Start();
    ASSERT_FALSE(first.in.Within(kBlockedMs));
    SuspendThread(first.thread);
    lock.ReleaseExclusive();  // lets the suspended reader in
    std::thread writer([&] {
        lock.AcquireExclusive();
        writerIn.Set();
        lock.ReleaseExclusive();
    });
    ASSERT_FALSE(writerIn.Within(kBlockedMs));
    queued.Start();
    EXPECT_FALSE(queued.in.Within(1000));
    FILETIME times[4];
    ASSERT_TRUE(GetThreadTimes(queued.thread, &times[0], &times[1], &times[2], &times[3]));
    const ULONGLONG used = (ULARGE_INTEGER{{times[2].dwLowDateTime, times[2].dwHighDateTime}}.QuadPart +
                            ULARGE_INTEGER{{times[3].dwLowDateTime, times[3].dwHighDateTime}}.QuadPart);
    EXPECT_LT(used, 1000000u) << "the queued reader used " << used / 10000 << " ms of processor time waiting";
    ResumeThread(first.thread);
    EXPECT_TRUE(first.in.Within(kGetsInMs));
    lock.ReleaseShared();
    EXPECT_TRUE(writerIn.Within(kGetsInMs));
    EXPECT_TRUE(queued.in.Within(kGetsInMs));
    writer.join();
    for (HANDLE thread : {first.thread, queued.thread}) CloseHandle(thread);
}
