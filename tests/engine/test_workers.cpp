#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tm_workers.h"

// Every part runs exactly once, and the parts cover the range contiguously in part
// order with sizes differing by at most one, for many (count, parts) on teams of
// several sizes; jobs repeat on one team, with part counts above and below its size.
TEST(Workers, EveryPartRunsOnceAndThePartsTileTheRange)
{
    for (int32_t threads : {1, 2, 3, 8}) {
        TMWorkers team(threads);
        ASSERT_GE(team.Threads(), 1);
        ASSERT_LE(team.Threads(), threads);
        for (int64_t count : {0, 1, 2, 5, 7, 64, 1000, 4097})
            for (int32_t parts : {1, 2, 3, 4, 7, 8, 13, 64}) {
                std::vector<int64_t> begins(parts, -1), ends(parts, -1);
                std::vector<std::atomic<int32_t>> runs(parts);
                std::vector<std::atomic<int32_t>> hits(static_cast<size_t>(count));
                team.For(count, parts, [&](int32_t part, int64_t begin, int64_t end) {
                    runs[part].fetch_add(1);
                    begins[part] = begin;
                    ends[part] = end;
                    for (int64_t i = begin; i < end; ++i)
                        hits[i].fetch_add(1);
                });
                SCOPED_TRACE(testing::Message() << threads << " threads, " << count << " items, " << parts << " parts");
                int64_t next = 0;
                for (int32_t p = 0; p < parts; ++p) {
                    EXPECT_EQ(runs[p].load(), 1);
                    EXPECT_EQ(begins[p], next);
                    EXPECT_LE(ends[p] - begins[p], count / parts + 1);
                    EXPECT_GE(ends[p] - begins[p], count / parts);
                    next = ends[p];
                }
                EXPECT_EQ(next, count);
                for (int64_t i = 0; i < count; ++i)
                    ASSERT_EQ(hits[i].load(), 1) << "item " << i;
            }
    }
}

// A job started from inside a job runs inline and completes before the outer part
// goes on; a team of 1 runs every part on the calling thread; the null team runs
// the same split as a real one.
TEST(Workers, NestedJobsAndTheInlinePaths)
{
    TMWorkers team(4);
    std::vector<std::atomic<int32_t>> cells(6 * 5);
    team.For(6, 6, [&](int32_t outer, int64_t, int64_t) {
        std::atomic<int32_t> inner{0};
        team.For(5, 5, [&](int32_t part, int64_t begin, int64_t end) {
            EXPECT_EQ(end - begin, 1);
            cells[outer * 5 + part].fetch_add(1);
            inner.fetch_add(1);
        });
        EXPECT_EQ(inner.load(), 5);
    });
    for (auto& c : cells)
        EXPECT_EQ(c.load(), 1);

    TMWorkers single(1);
    EXPECT_EQ(single.Threads(), 1);
    // Each thread has its own copy of a thread_local: its address names the thread
    // (the Windows builds have no std::thread to ask).
    static thread_local int threadMarker;
    const int* caller = &threadMarker;
    int32_t ran = 0;
    single.For(100, 7, [&](int32_t, int64_t, int64_t) {
        EXPECT_EQ(&threadMarker, caller);
        ++ran;
    });
    EXPECT_EQ(ran, 7);

    std::vector<int64_t> fromTeam(9), inline_(9);
    team.For(50, 9, [&](int32_t part, int64_t begin, int64_t) { fromTeam[part] = begin; });
    TMForParts(nullptr, 50, 9, [&](int32_t part, int64_t begin, int64_t) { inline_[part] = begin; });
    EXPECT_EQ(fromTeam, inline_);
}

// The default and the part counts stay within their limits.
TEST(Workers, CountsStayInRange)
{
    const int32_t cores = TMDefaultThreadCount();
    EXPECT_GE(cores, 1);
    EXPECT_LE(cores, TMMaxThreads);
    EXPECT_GE(TMWorkers(0).Threads(), 1);
    struct Case {
        int32_t threads;
        int64_t count, minPerPart;
        int32_t parts;
    };
    for (const Case& c : {Case{1, 1000, 1, 1}, Case{8, 1000, 1, 8}, Case{8, 3, 1, 3}, Case{8, 100, 40, 2},
                          Case{8, 10, 40, 1}, Case{4, 0, 1, 1}, Case{0, 50, 1, 1}})
        EXPECT_EQ(TMPartsFor(c.threads, c.count, c.minPerPart), c.parts)
            << c.threads << " threads, " << c.count << " items, " << c.minPerPart << " each";
}
