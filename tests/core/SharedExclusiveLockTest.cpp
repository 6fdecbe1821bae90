#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/SharedExclusiveLock.h"

using namespace BrennicZelvarSDK;

namespace {
// Polls a flag for up to two seconds.
bool BecomesTrue(const std::atomic<bool>& flag) {
    for (int i = 0; i < 200 && !flag; ++i) Sleep(10);
    return flag;
}
}  // namespace

TEST(SharedExclusiveLock, ReadersShareAndAWriterWaitsForAllOfThem) {
    SharedExclusiveLock lock;
    lock.AcquireShared();
    lock.AcquireShared();  // a second reader gets in while the first holds it
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        lock.AcquireExclusive();
        writerIn = true;
        lock.ReleaseExclusive();
    });
    Sleep(200);
    EXPECT_FALSE(writerIn);
    lock.ReleaseShared();
    Sleep(200);
    EXPECT_FALSE(writerIn) << "the writer must wait for the last reader";
    lock.ReleaseShared();
    EXPECT_TRUE(BecomesTrue(writerIn));
    writer.join();
}

TEST(SharedExclusiveLock, AWaitingWriterStopsNewReadersAtOnce) {
    SharedExclusiveLock lock;
    lock.AcquireShared();
    std::atomic<bool> writerIn{false}, lateReaderIn{false};
    std::thread writer([&] {
        lock.AcquireExclusive();
        writerIn = true;
        Sleep(200);
        lock.ReleaseExclusive();
    });
    Sleep(200);  // the writer is now waiting for the first reader
    std::thread lateReader([&] {
        lock.AcquireShared();
        lateReaderIn = true;
        EXPECT_TRUE(writerIn.load()) << "a reader that came after a waiting writer must not pass it";
        lock.ReleaseShared();
    });
    Sleep(200);
    EXPECT_FALSE(lateReaderIn);
    lock.ReleaseShared();
    EXPECT_TRUE(BecomesTrue(writerIn));
    EXPECT_TRUE(BecomesTrue(lateReaderIn));
    writer.join();
    lateReader.join();
}

TEST(SharedExclusiveLock, WritersExcludeEachOther) {
    SharedExclusiveLock lock;
    int counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            lock.AcquireExclusive();
            if (++inside > 1) overlapped = true;
            ++counter;
            --inside;
            lock.ReleaseExclusive();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(400, counter);
}
