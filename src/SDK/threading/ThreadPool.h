// The bounded work queue, the pool whose threads drain it, and the
// process-wide registry that finds pools by name.
#pragma once

#include <windows.h>

#include <deque>
#include <list>
#include <string>

#include "sync/Globals.h"
#include "threading/Worker.h"

namespace BrennicZelvarSDK {

const wchar_t* const kCallbackPoolName = L"Single worker callback pool";
const wchar_t* const kComObjectCreatorPoolName = L"COM object creator pool";
const unsigned int kPoolQueueCapacity = 0x7FFFFFFF;

class WorkQueue {
public:
    class WorkQueueListener {
    public:
        virtual void OnWorkQueued(WorkQueue& queue) = 0;

    protected:
        ~WorkQueueListener() = default;
    };

    explicit WorkQueue(unsigned int capacity);
    // Throws std::invalid_argument("NULL thread worker!") for an empty item and
    // std::overflow_error("Work queue full!") when the queue holds capacity items.
    // Listeners are told while the queue lock is still held.
    void Push(const WorkerPtr& item);
    // The oldest item, or an empty pointer.
    WorkerPtr Pop();
    void AddListener(WorkQueueListener* listener);
    void RemoveListener(WorkQueueListener* listener);
    size_t Size();

private:
    unsigned int m_capacity;
    SharedExclusiveLock m_queueLock;
    std::deque<WorkerPtr> m_items ZV_GUARDED_BY(m_queueLock);
    SharedExclusiveLock m_listenerLock;
    std::list<WorkQueueListener*> m_listeners ZV_GUARDED_BY(m_listenerLock);
};

class ThreadPool final : public WorkQueue::WorkQueueListener {
public:
    // Throws std::runtime_error "CreateSemaphore failed!", "CreateEvent failed!",
    // "_beginthreadex failed!" or std::invalid_argument "NULL thread worker!".
    ThreadPool(unsigned int threadCount, unsigned int queueCapacity);
    // Stops the threads after they have run what is queued (each thread is
    // waited for at most 5000 ms). Never returns with an exception. A thread
    // still busy after its wait keeps the queue, the semaphore and the stop
    // event alive through its own reference to them and leaves once its item
    // returns; items still queued then are released without being run. A
    // failure of the system calls while stopping ends the process.
    ~ThreadPool();  // NOLINT(bugprone-exception-escape): ending the process is the intent
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    void QueueWork(const WorkerPtr& item);
    void OnWorkQueued(WorkQueue& queue) override;

private:
    class ThreadPoolWorker;
    class Thread;
    // The queue, the work semaphore and the stop event: shared by the pool
    // and every one of its threads, so that none of them outlives another's
    // resources.
    struct SharedState;

    boost::shared_ptr<SharedState> m_state;
    std::list<boost::shared_ptr<Thread>> m_threads;
};

// Registry of named pools, guarded by g_PoolRegistryLock. Every pool made here
// has one thread and a capacity of kPoolQueueCapacity items.
// Each takes g_PoolRegistryLock itself.
void CreateThreadPool(const std::wstring& name)
    ZV_EXCLUDES(g_PoolRegistryLock);  // std::logic_error "Thread pool already exists!"
ThreadPool* FindThreadPool(const std::wstring& name)
    ZV_EXCLUDES(g_PoolRegistryLock);  // std::logic_error "Thread pool not found!"
void DestroyThreadPool(const std::wstring& name)
    ZV_EXCLUDES(g_PoolRegistryLock);  // std::logic_error "Thread pool not found!"

}  // namespace BrennicZelvarSDK
