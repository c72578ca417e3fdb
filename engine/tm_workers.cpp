#include "tm_workers.h"

#include <atomic>
#include <new>

// The platform seam: a lock, a condition variable and a thread that runs a function.
// The Windows builds use kernel32's threads, slim reader/writer locks and condition
// variables, so the DLLs import only system DLLs (their cross compilers have no
// std::thread); every other build uses the standard library's.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // GetActiveProcessorCount: Windows 7
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

class Lock {
public:
    void Acquire() { AcquireSRWLockExclusive(&lock_); }
    void Release() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* Native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class Condition {
public:
    Condition() { InitializeConditionVariable(&cv_); }
    // Called with the lock held; returns with it held.
    void Wait(Lock& lock) { SleepConditionVariableSRW(&cv_, lock.Native(), INFINITE, 0); }
    void WakeAll() { WakeAllConditionVariable(&cv_); }

private:
    CONDITION_VARIABLE cv_;
};

class Thread {
public:
    bool Start(void (*run)(void*), void* arg)
    {
        run_ = run;
        arg_ = arg;
        handle_ = CreateThread(nullptr, 0, &Thread::Entry, this, 0, nullptr);
        return handle_ != nullptr;
    }
    void Join()
    {
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Entry(LPVOID self)
    {
        Thread* thread = static_cast<Thread*>(self);
        thread->run_(thread->arg_);
        return 0;
    }
    HANDLE handle_ = nullptr;
    void (*run_)(void*) = nullptr;
    void* arg_ = nullptr;
};

int32_t ProcessorCount()
{
    // Every group's processors: the process may run on all of them on current Windows.
    DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 && count < 0x7fffffff ? static_cast<int32_t>(count) : 1;
}

} // namespace
#else
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

class Lock {
public:
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }
    std::mutex& Native() { return mutex_; }

private:
    std::mutex mutex_;
};

class Condition {
public:
    // Called with the lock held; returns with it held.
    void Wait(Lock& lock)
    {
        std::unique_lock<std::mutex> held(lock.Native(), std::adopt_lock);
        cv_.wait(held);
        held.release();
    }
    void WakeAll() { cv_.notify_all(); }

private:
    std::condition_variable cv_;
};

class Thread {
public:
    bool Start(void (*run)(void*), void* arg)
    {
        // std::thread reports a failed start by throwing; the engine does not throw,
        // so the failure becomes a thread fewer.
        try {
            thread_ = std::thread(run, arg);
        } catch (...) {
            return false;
        }
        return true;
    }
    void Join() { thread_.join(); }

private:
    std::thread thread_;
};

int32_t ProcessorCount()
{
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 && count < 0x7fffffffu ? static_cast<int32_t>(count) : 1;
}

} // namespace
#endif

int32_t TMDefaultThreadCount()
{
    int32_t count = ProcessorCount();
    return count < 1 ? 1 : count > TMMaxThreads ? TMMaxThreads : count;
}

int32_t TMPartsFor(int32_t threads, int64_t count, int64_t minPerPart)
{
    if (threads <= 1 || count <= 0)
        return 1;
    int64_t most = minPerPart > 1 ? count / minPerPart : count;
    if (most < 1)
        return 1;
    return most < threads ? static_cast<int32_t>(most) : threads;
}

// Shared by the calling thread and the workers. A job is published under the lock
// with a new generation number; a worker that sees it registers as active, claims
// parts from the atomic counter until none are left and reports how many it ran.
// The caller returns only when every part is done and no worker is still active, so
// no worker can claim a part of the next job with the previous job's body.
struct TMWorkerPool {
    Lock lock;
    Condition wake;     // a new job or the end of the team
    Condition finished; // a worker left a job
    uint64_t generation = 0;
    bool stop = false;
    TMWorkers::Body body = nullptr;
    void* context = nullptr;
    int64_t count = 0;
    int32_t parts = 0;
    std::atomic<int32_t> nextPart{0};
    int32_t partsDone = 0; // under the lock
    int32_t active = 0;    // workers inside the current job, under the lock
    Thread* threads = nullptr;
    int32_t started = 0;
};

namespace {

// Claims and runs parts of the current job; returns how many this thread ran.
int32_t RunParts(TMWorkerPool& pool, TMWorkers::Body body, void* context, int64_t count, int32_t parts)
{
    int32_t ran = 0;
    for (;;) {
        int32_t part = pool.nextPart.fetch_add(1, std::memory_order_relaxed);
        if (part >= parts)
            return ran;
        int64_t begin, end;
        TMSplitRange(count, parts, part, &begin, &end);
        body(context, part, begin, end);
        ++ran;
    }
}

void WorkerLoop(void* arg)
{
    TMWorkerPool& pool = *static_cast<TMWorkerPool*>(arg);
    uint64_t seen = 0;
    pool.lock.Acquire();
    for (;;) {
        while (!pool.stop && pool.generation == seen)
            pool.wake.Wait(pool.lock);
        if (pool.stop)
            break;
        seen = pool.generation;
        TMWorkers::Body body = pool.body;
        void* context = pool.context;
        int64_t count = pool.count;
        int32_t parts = pool.parts;
        ++pool.active;
        pool.lock.Release();

        int32_t ran = RunParts(pool, body, context, count, parts);

        pool.lock.Acquire();
        pool.partsDone += ran;
        --pool.active;
        if (pool.active == 0 && pool.partsDone == pool.parts)
            pool.finished.WakeAll();
    }
    pool.lock.Release();
}

} // namespace

TMWorkers::TMWorkers(int32_t threads)
{
    if (threads <= 0)
        threads = TMDefaultThreadCount();
    if (threads > TMMaxThreads)
        threads = TMMaxThreads;
    if (threads == 1)
        return;
    pool_ = new (std::nothrow) TMWorkerPool;
    if (pool_ != nullptr)
        pool_->threads = new (std::nothrow) Thread[threads - 1];
    if (pool_ == nullptr || pool_->threads == nullptr) {
        delete pool_;
        pool_ = nullptr;
        return;
    }
    for (int32_t i = 0; i < threads - 1; ++i) {
        if (!pool_->threads[i].Start(&WorkerLoop, pool_))
            break;
        ++pool_->started;
    }
    threads_ = pool_->started + 1;
}

TMWorkers::~TMWorkers()
{
    if (pool_ == nullptr)
        return;
    pool_->lock.Acquire();
    pool_->stop = true;
    pool_->wake.WakeAll();
    pool_->lock.Release();
    for (int32_t i = 0; i < pool_->started; ++i)
        pool_->threads[i].Join();
    delete[] pool_->threads;
    delete pool_;
}

void TMWorkers::Run(int64_t count, int32_t parts, Body body, void* context)
{
    if (parts < 1)
        parts = 1;
    if (pool_ == nullptr || parts == 1 || running_) {
        for (int32_t part = 0; part < parts; ++part) {
            int64_t begin, end;
            TMSplitRange(count, parts, part, &begin, &end);
            body(context, part, begin, end);
        }
        return;
    }

    TMWorkerPool& pool = *pool_;
    running_ = true;
    pool.lock.Acquire();
    // A worker that woke too late for the previous job may still be leaving it.
    while (pool.active > 0)
        pool.finished.Wait(pool.lock);
    pool.body = body;
    pool.context = context;
    pool.count = count;
    pool.parts = parts;
    pool.partsDone = 0;
    pool.nextPart.store(0, std::memory_order_relaxed);
    ++pool.generation;
    pool.wake.WakeAll();
    pool.lock.Release();

    int32_t ran = RunParts(pool, body, context, count, parts);

    pool.lock.Acquire();
    pool.partsDone += ran;
    while (pool.partsDone < parts || pool.active > 0)
        pool.finished.Wait(pool.lock);
    pool.lock.Release();
    running_ = false;
}
