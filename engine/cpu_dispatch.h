// The one place that knows the processor: which vector paths this machine can run,
// and which level of them the engine uses.
//
// Every vector path goes through here. Loops written in plain C++ are compiled once
// per level (run<Loop>: the same source under each level's target attribute, so the
// compiler vectorises it for that instruction set); hand-written kernels are called
// where at(level) says so. No level changes a result: each fast value is kept only
// when its whole error interval gives the stored value (engine/README.md), so the
// level decides the speed alone.
//
// The level is decided once per process: the highest the processor and the
// operating system support (cpuid, and xgetbv for the register state the system
// saves), or a lower one named by the environment variable TM_CPU_LEVEL (portable,
// sse2, avx2, avx512), which tests and benchmarks use to run every level on one
// machine. A level above what the machine supports is never used.
#pragma once

#include <cstdint>
#include <utility>

// The vector kernels need GCC's target attributes (one binary, code for several
// instruction sets); they are built for 32- and 64-bit x86, on Linux and with MinGW.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__clang__)
#define TM_X86_KERNELS 1
#define TM_TARGET_AVX2 __attribute__((target("avx2")))
#define TM_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx512dq")))
#endif

// A loop body that is compiled into each level's copy of its caller.
#define TM_LOOP_BODY inline __attribute__((always_inline))

namespace tm_cpu {

// Each level includes the ones below it.
enum class Level : int32_t {
    Portable = 0, // plain C++ loops as the compiler builds them for the baseline target
    SSE2 = 1,     // and the hand-written SSE2 kernels
    AVX2 = 2,     // and the loops compiled for AVX2, the AVX2 kernels
    AVX512 = 3,   // and the loops compiled for AVX-512 (F, VL, DQ), the AVX-512 kernels
};
constexpr int32_t kLevelCount = 4;
constexpr const char* kLevelVariable = "TM_CPU_LEVEL";

// "portable", "sse2", "avx2", "avx512".
const char* levelName(Level level);
// The level of one of those names (exactly as written); false for any other text.
bool levelNamed(const char* name, Level* level);
// The rule: the supported level, or the requested one where it names a lower level.
// Unset, empty or unknown requests change nothing.
Level chosenLevel(Level supported, const char* requested);

// What this processor and its operating system support.
Level supportedLevel();
// What the engine uses: chosenLevel(supportedLevel(), TM_CPU_LEVEL).
Level activeLevel();
inline bool at(Level level) { return activeLevel() >= level; }

#if defined(TM_X86_KERNELS)
template <auto Loop, class... Args>
TM_TARGET_AVX2 decltype(auto) runAvx2(Args&&... args)
{
    return Loop(std::forward<Args>(args)...);
}
template <auto Loop, class... Args>
TM_TARGET_AVX512 decltype(auto) runAvx512(Args&&... args)
{
    return Loop(std::forward<Args>(args)...);
}
#endif

// Calls Loop (a TM_LOOP_BODY function) in its copy for the active level: compiled
// for AVX-512 or AVX2 where the level has them, else as built for the baseline.
template <auto Loop, class... Args>
inline decltype(auto) run(Args&&... args)
{
#if defined(TM_X86_KERNELS)
    if (at(Level::AVX512))
        return runAvx512<Loop>(std::forward<Args>(args)...);
    if (at(Level::AVX2))
        return runAvx2<Loop>(std::forward<Args>(args)...);
#endif
    return Loop(std::forward<Args>(args)...);
}

} // namespace tm_cpu
