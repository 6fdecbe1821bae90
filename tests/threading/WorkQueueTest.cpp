#include <gtest/gtest.h>

#include <stdexcept>

#include "threading/ThreadPool.h"

using namespace BrennicZelvarSDK;

namespace {

class NamedItem : public Worker {
public:
    explicit NamedItem(int id) : id(id) {}
    unsigned int Execute() override { return 0; }
    int id;
};

class CountingListener : public WorkQueue::WorkQueueListener {
public:
    // Runs under the queue's own lock, which is not re-entrant: it must not
    // call back into the queue.
    void OnWorkQueued(WorkQueue&) override { ++calls; }
    int calls = 0;
};

int IdOf(const WorkerPtr& item) {
    return static_cast<NamedItem&>(*item).id;
}

}  // namespace

TEST(WorkQueue, PopsInTheOrderItemsWerePushedThenEmpty) {
    WorkQueue queue(10);
    for (int i = 1; i <= 5; ++i) queue.Push(WorkerPtr(new NamedItem(i)));
    EXPECT_EQ(5u, queue.Size());
    for (int i = 1; i <= 5; ++i) {
        WorkerPtr item = queue.Pop();
        ASSERT_TRUE(item);
        EXPECT_EQ(i, IdOf(item));
    }
    EXPECT_FALSE(queue.Pop());
    EXPECT_EQ(0u, queue.Size());
}

TEST(WorkQueue, RefusesAnEmptyItemAndAFullQueueWithoutNotifying) {
    WorkQueue queue(2);
    CountingListener listener;
    queue.AddListener(&listener);

    try {
        queue.Push(WorkerPtr());
        FAIL() << "an empty item was queued";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("NULL thread worker!", e.what());
    }
    queue.Push(WorkerPtr(new NamedItem(1)));
    queue.Push(WorkerPtr(new NamedItem(2)));
    try {
        queue.Push(WorkerPtr(new NamedItem(3)));
        FAIL() << "a full queue took another item";
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ("Work queue full!", e.what());
    }
    EXPECT_EQ(2, listener.calls);
    EXPECT_EQ(2u, queue.Size());

    // Room again after a pop.
    EXPECT_EQ(1, IdOf(queue.Pop()));
    queue.Push(WorkerPtr(new NamedItem(4)));
    EXPECT_EQ(3, listener.calls);
    EXPECT_EQ(2, IdOf(queue.Pop()));
    EXPECT_EQ(4, IdOf(queue.Pop()));
}

TEST(WorkQueue, ListenersAreToldOncePerItemAfterItIsQueuedAndCanLeave) {
    WorkQueue queue(10);
    CountingListener first, second;
    queue.AddListener(&first);
    queue.AddListener(&first);  // no duplicates
    queue.AddListener(&second);

    queue.Push(WorkerPtr(new NamedItem(1)));
    EXPECT_EQ(1, first.calls);
    EXPECT_EQ(1, second.calls);

    queue.RemoveListener(&first);
    queue.Push(WorkerPtr(new NamedItem(2)));
    EXPECT_EQ(1, first.calls);
    EXPECT_EQ(2, second.calls);
}
