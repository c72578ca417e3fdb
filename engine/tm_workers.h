// A small team of worker threads for one render or one preview redraw.
//
// The team runs one job at a time: a function over parts 0..P-1 of a range of
// `count` items (rows, cells) split into P fixed contiguous pieces, and returns when
// every part is done. The split depends only on the count and the part count, never
// on timing, and parts are independent of each other, so a result cannot depend on
// which thread ran which part. The calling thread takes part in every job.
//
// Rules for job functions:
// - they never call into the host (progress, cancel, buffers): those stay on the
//   calling thread, between jobs;
// - they do not throw (engine code does not throw; an exception leaving a worker
//   would end the process);
// - a job may start another job on the same team: the inner job runs its parts
//   inline on the thread that started it.
//
// A team of 1 thread starts no thread and runs every job inline. A thread that cannot
// be started is done without: the team shrinks, and results stay the same.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

// The thread count a render uses by default: every core the process may use, at
// least 1 and at most TMMaxThreads.
int32_t TMDefaultThreadCount();

// Upper limit of a team's threads (and of every thread-count setting).
constexpr int32_t TMMaxThreads = 1024;

// Part `part` of `count` items split into `parts` contiguous pieces: [*begin, *end).
// Piece sizes differ by at most one item; parts beyond count are empty.
inline void TMSplitRange(int64_t count, int32_t parts, int32_t part, int64_t* begin, int64_t* end)
{
    *begin = count * part / parts;
    *end = count * (part + 1) / parts;
}

// The part count for `count` items when each part should hold at least `minPerPart`
// items: between 1 and threads.
int32_t TMPartsFor(int32_t threads, int64_t count, int64_t minPerPart);

struct TMWorkerPool;

class TMWorkers {
public:
    // A job's body: part `part` of the range covers items [begin, end).
    using Body = void (*)(void* context, int32_t part, int64_t begin, int64_t end);

    // threads: the team's size including the calling thread, limited to
    // 1..TMMaxThreads (0 or less: TMDefaultThreadCount()).
    explicit TMWorkers(int32_t threads);
    ~TMWorkers();
    TMWorkers(const TMWorkers&) = delete;
    TMWorkers& operator=(const TMWorkers&) = delete;

    // Threads that take part in a job, the calling thread included.
    int32_t Threads() const { return threads_; }

    // Tests only: stages split their work as finely as the team allows instead of
    // into pieces large enough to pay for the hand-over, so that small images reach
    // every boundary between pieces.
    void SetFineGrain(bool fine) { fineGrain_ = fine; }
    bool FineGrain() const { return fineGrain_; }

    // The part count for `count` items of at least `minPerPart` each (1 each with
    // the fine grain): TMPartsFor on this team.
    int32_t PartsFor(int64_t count, int64_t minPerPart) const
    {
        return TMPartsFor(threads_, count, fineGrain_ ? 1 : minPerPart);
    }

    // Runs body over `parts` pieces of `count` items (parts < 1 counts as 1) and
    // waits for all of them.
    void Run(int64_t count, int32_t parts, Body body, void* context);

    // The same with a callable f(part, begin, end).
    template <class F>
    void For(int64_t count, int32_t parts, F&& f)
    {
        using Callable = typename std::remove_reference<F>::type;
        Run(
            count, parts,
            [](void* context, int32_t part, int64_t begin, int64_t end) {
                (*static_cast<Callable*>(context))(part, begin, end);
            },
            const_cast<void*>(static_cast<const void*>(&f)));
    }

private:
    int32_t threads_ = 1;
    bool fineGrain_ = false;
    bool running_ = false; // a job is in progress: a nested Run goes inline
    TMWorkerPool* pool_ = nullptr;
};

// Runs f over the parts on `workers`, or inline when workers is null.
template <class F>
void TMForParts(TMWorkers* workers, int64_t count, int32_t parts, F&& f)
{
    if (workers != nullptr) {
        workers->For(count, parts, f);
        return;
    }
    if (parts < 1)
        parts = 1;
    for (int32_t part = 0; part < parts; ++part) {
        int64_t begin, end;
        TMSplitRange(count, parts, part, &begin, &end);
        f(part, begin, end);
    }
}

// Threads of a team, 1 for none.
inline int32_t TMThreadsOf(const TMWorkers* workers) { return workers != nullptr ? workers->Threads() : 1; }

// TMWorkers::PartsFor, 1 for no team.
inline int32_t TMPartsOn(const TMWorkers* workers, int64_t count, int64_t minPerPart)
{
    return workers != nullptr ? workers->PartsFor(count, minPerPart) : 1;
}

// Zeroes `bytes` bytes at p, in parts of at least 1 MB on the team (a fresh working
// buffer's first touch, page faults included, is a large share of clearing it).
inline void TMClearBytes(TMWorkers* workers, void* p, int64_t bytes)
{
    constexpr int64_t kMinPartBytes = 1 << 20;
    TMForParts(workers, bytes, TMPartsOn(workers, bytes, kMinPartBytes), [p](int32_t, int64_t begin, int64_t end) {
        std::memset(static_cast<uint8_t*>(p) + begin, 0, static_cast<size_t>(end - begin));
    });
}
