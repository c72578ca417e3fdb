// Memory bandwidth of this machine, for the thread model in bench/README.md: how
// fast 1, 2 and every core can stream float arrays far larger than the caches, as
// the render's stages do. Prints GB/s for read (a sum), write (a fill) and copy
// (bytes read plus bytes written), best of five passes, each on the worker team the
// engine uses.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tm_workers.h"

namespace {

constexpr int64_t kFloats = int64_t{64} << 20; // 256 MB per array

using Clock = std::chrono::steady_clock;

template <typename F>
double bestSeconds(F&& pass)
{
    double best = 1e30;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        pass();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

} // namespace

int main()
{
    std::vector<float> a(kFloats, 1.0f), b(kFloats, 2.0f);
    std::vector<int> teams = {1, 2};
    if (TMDefaultThreadCount() > 2)
        teams.push_back(TMDefaultThreadCount());
    std::printf("threads  read GB/s  write GB/s  copy GB/s\n");
    for (const int threads : teams) {
        TMWorkers team(threads);
        const int32_t parts = team.Threads();
        std::vector<float> sums(static_cast<size_t>(parts));
        const double read = bestSeconds([&] {
            team.For(kFloats, parts, [&](int32_t part, int64_t begin, int64_t end) {
                // Eight independent sums: the loop is limited by loads, not by adds.
                float s[8] = {};
                for (int64_t i = begin; i + 8 <= end; i += 8)
                    for (int k = 0; k < 8; ++k)
                        s[k] += a[i + k];
                sums[part] = s[0] + s[1] + s[2] + s[3] + s[4] + s[5] + s[6] + s[7];
            });
        });
        const double write = bestSeconds([&] {
            team.For(kFloats, parts,
                     [&](int32_t, int64_t begin, int64_t end) { std::fill(b.begin() + begin, b.begin() + end, 3.0f); });
        });
        const double copy = bestSeconds([&] {
            team.For(kFloats, parts, [&](int32_t, int64_t begin, int64_t end) {
                std::memcpy(b.data() + begin, a.data() + begin, static_cast<size_t>(end - begin) * sizeof(float));
            });
        });
        const double bytes = static_cast<double>(kFloats) * sizeof(float);
        std::printf("%7d  %9.1f  %10.1f  %9.1f%s\n", parts, bytes / read / 1e9, bytes / write / 1e9,
                    2 * bytes / copy / 1e9, sums[0] == 0.0f ? " (no data)" : "");
    }
    return 0;
}
