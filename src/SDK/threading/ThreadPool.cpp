#include "threading/ThreadPool.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <map>
#include <stdexcept>

#include "sync/Globals.h"
#include "threading/ModuleReference.h"
#include "support/Scoped.h"

namespace BrennicZelvarSDK {

// ---------------------------------------------------------------------------
// WorkQueue

WorkQueue::WorkQueue(unsigned int capacity) : m_capacity(capacity) {}

void WorkQueue::Push(const WorkerPtr& item) {
    ExclusiveLockHold queueHold(m_queueLock);
    if (!item) throw std::invalid_argument("NULL thread worker!");
    if (m_items.size() >= m_capacity) throw std::overflow_error("Work queue full!");
    m_items.push_back(item);

    // Listeners hear of the item while the queue lock is still held, so the
    // semaphore count of a pool never lags behind what a thread can pop.
    SharedLockHold listenerHold(m_listenerLock);
    for (WorkQueueListener* listener : m_listeners) listener->OnWorkQueued(*this);
}

WorkerPtr WorkQueue::Pop() {
    ExclusiveLockHold queueHold(m_queueLock);
    WorkerPtr item;
    if (!m_items.empty()) {
        item.swap(m_items.front());
        m_items.pop_front();
    }
    return item;
}

void WorkQueue::AddListener(WorkQueueListener* listener) {
    ExclusiveLockHold hold(m_listenerLock);
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
}

void WorkQueue::RemoveListener(WorkQueueListener* listener) {
    ExclusiveLockHold hold(m_listenerLock);
    auto it = std::find(m_listeners.begin(), m_listeners.end(), listener);
    if (it != m_listeners.end()) m_listeners.erase(it);
}

size_t WorkQueue::Size() {
    ExclusiveLockHold hold(m_queueLock);
    return m_items.size();
}

// ---------------------------------------------------------------------------
// ThreadPool internals

namespace {

const DWORD kThreadStopWaitMs = 5000;

// A failure of the operating system while a pool is torn down leaves threads
// in an unknown state; the destructor cannot report it, so it ends the
// process (the exception escapes a noexcept destructor).
[[noreturn]] void FatalPoolFailure(const char* what) {
    throw std::runtime_error(what);
}

}  // namespace

struct ThreadPool::SharedState {
    explicit SharedState(unsigned int capacity) : queue(capacity) {
        workSemaphore.Reset(CreateSemaphoreW(nullptr, 0, static_cast<LONG>(capacity), nullptr));
        if (!workSemaphore) throw std::runtime_error("CreateSemaphore failed!");
        stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stopEvent) throw std::runtime_error("CreateEvent failed!");
        semaphoreHandle = &workSemaphore;
        stopEventHandle = &stopEvent;
    }

    WorkQueue queue;
    ScopedHandle workSemaphore;  // one unit per queued item no thread has taken yet
    ScopedHandle stopEvent;      // manual reset; set once, when the pool goes
    // What the pool threads read to build their wait list.
    const ScopedHandle* semaphoreHandle = nullptr;
    const ScopedHandle* stopEventHandle = nullptr;
};

// The loop of one pool thread. It holds its own reference to the pool's
// shared state rather than to the pool: a thread that outlives the
// destructor's wait still finds its queue and handles intact.
class ThreadPool::ThreadPoolWorker : public Worker {
public:
    explicit ThreadPoolWorker(const boost::shared_ptr<SharedState>& state) : m_state(state) {}

    unsigned int Execute() override {
        // The semaphore comes first: a thread that finds both signalled takes
        // work, so a pool being destroyed still runs what was queued.
        const HANDLE waitList[2] = {m_state->semaphoreHandle->Get(), m_state->stopEventHandle->Get()};
        for (;;) {
            const DWORD waited = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
            if (waited == WAIT_FAILED) throw std::runtime_error("WaitForMultipleObjects failed!");
            if (waited == WAIT_OBJECT_0 + 1 || waited == WAIT_ABANDONED_0 + 1) return 0;
            WorkerPtr item = m_state->queue.Pop();
            if (item) item->Execute();
        }
    }

private:
    boost::shared_ptr<SharedState> m_state;
};

// One pool thread: the worker it runs and its handle. The running thread
// holds a reference to its own Thread object, so the handle and the worker
// are released by whichever of the pool and the thread lets go last.
class ThreadPool::Thread {
public:
    static boost::shared_ptr<Thread> Start(const WorkerPtr& worker) {
        if (!worker) throw std::invalid_argument("NULL thread worker!");
        boost::shared_ptr<Thread> thread(new Thread(worker));
        auto* startArgument = new boost::shared_ptr<Thread>(thread);
        // The thread holds the module until it has left the module's code: a
        // thread still busy when the pool stopped waiting for it returns
        // into mapped code whatever the application unloads meanwhile.
        const HANDLE handle = StartThreadInOwnModule(&Thread::Main, startArgument);
        if (!handle) {
            delete startArgument;
            throw std::runtime_error("_beginthreadex failed!");
        }
        thread->m_handle.Reset(handle);
        return thread;
    }

    HANDLE Handle() const { return m_handle.Get(); }

private:
    explicit Thread(const WorkerPtr& worker) : m_worker(worker) {}

    static unsigned Main(void* argument) {
        auto* startArgument = static_cast<boost::shared_ptr<Thread>*>(argument);
        boost::shared_ptr<Thread> self(*startArgument);
        delete startArgument;
        return self->m_worker->Execute();
    }

    WorkerPtr m_worker;
    ScopedHandle m_handle;
};

// ---------------------------------------------------------------------------
// ThreadPool

ThreadPool::ThreadPool(unsigned int threadCount, unsigned int queueCapacity)
    : m_state(boost::make_shared<SharedState>(queueCapacity)) {
    try {
        for (unsigned int i = 0; i < threadCount; ++i) {
            WorkerPtr worker(new ThreadPoolWorker(m_state));
            m_threads.push_back(Thread::Start(worker));
        }
    } catch (...) {
        // Threads already started must not be left waiting on a pool that
        // never came to be.
        SetEvent(m_state->stopEvent.Get());
        for (const auto& thread : m_threads) WaitForSingleObject(thread->Handle(), kThreadStopWaitMs);
        throw;
    }
    m_state->queue.AddListener(this);
}

ThreadPool::~ThreadPool() {  // NOLINT(bugprone-exception-escape): see FatalPoolFailure
    m_state->queue.RemoveListener(this);
    if (!SetEvent(m_state->stopEvent.Get())) FatalPoolFailure("SignalEvent failed!");
    for (const auto& thread : m_threads) {
        // A thread still busy after its wait is not an error: it holds the
        // shared state itself and leaves when its item returns.
        if (WaitForSingleObject(thread->Handle(), kThreadStopWaitMs) == WAIT_FAILED)
            FatalPoolFailure("WaitForSingleObject failed!");
    }
    m_threads.clear();
    // Items nobody took are released without being run, even while a late
    // thread still holds the queue.
    while (m_state->queue.Pop()) {
    }
    m_state.reset();
}

void ThreadPool::QueueWork(const WorkerPtr& item) {
    m_state->queue.Push(item);
}

void ThreadPool::OnWorkQueued(WorkQueue&) {
    if (!ReleaseSemaphore(m_state->workSemaphore.Get(), 1, nullptr))
        throw std::runtime_error("ReleaseSemaphore failed!");
}

// ---------------------------------------------------------------------------
// Pool registry

namespace {

// Ordered by plain comparison of code units; guarded by g_PoolRegistryLock.
// Never destroyed: pools exist only while the SDK is initialised, and then
// the SDK holds its own module, so the registry holds pools at unload time
// only when the process ends. Their threads are gone by then, and tearing
// them down under the loader lock could only wait or touch a dead apartment.
std::map<std::wstring, boost::shared_ptr<ThreadPool>>* const g_PoolRegistry ZV_PT_GUARDED_BY(g_PoolRegistryLock) =
    new std::map<std::wstring, boost::shared_ptr<ThreadPool>>();

}  // namespace

void CreateThreadPool(const std::wstring& name) {
    ExclusiveLockHold hold(g_PoolRegistryLock);
    if (g_PoolRegistry->count(name)) throw std::logic_error("Thread pool already exists!");
    boost::shared_ptr<ThreadPool> pool(new ThreadPool(1, kPoolQueueCapacity));
    g_PoolRegistry->emplace(name, pool);
}

ThreadPool* FindThreadPool(const std::wstring& name) {
    SharedLockHold hold(g_PoolRegistryLock);
    auto it = g_PoolRegistry->find(name);
    if (it == g_PoolRegistry->end()) throw std::logic_error("Thread pool not found!");
    return it->second.get();
}

void DestroyThreadPool(const std::wstring& name) {
    ExclusiveLockHold hold(g_PoolRegistryLock);
    auto it = g_PoolRegistry->find(name);
    if (it == g_PoolRegistry->end()) throw std::logic_error("Thread pool not found!");
    // Dropping the registry's reference stops and joins the pool's thread
    // while the registry is still locked.
    g_PoolRegistry->erase(it);
}

}  // namespace BrennicZelvarSDK
