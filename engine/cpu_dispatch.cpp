#include "cpu_dispatch.h"

#include <cstdlib>
#include <cstring>

#if defined(TM_X86_KERNELS)
#include <cpuid.h>
#endif

namespace tm_cpu {
namespace {

constexpr const char* kNames[kLevelCount] = {"portable", "sse2", "avx2", "avx512"};

#if defined(TM_X86_KERNELS)
// The register state the operating system saves on a thread switch (XCR0). A
// processor may have AVX while the system does not save its registers: then it
// cannot be used. Only asked when cpuid reports OSXSAVE.
uint64_t savedState()
{
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

Level detect()
{
    uint32_t a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(d & (1u << 26))) // SSE2
        return Level::Portable;
    const bool osxsave = (c & (1u << 27)) != 0, avx = (c & (1u << 28)) != 0;
    if (!osxsave || !avx)
        return Level::SSE2;
    const uint64_t state = savedState();
    constexpr uint64_t kVectorState = 0x6;  // SSE and AVX registers
    constexpr uint64_t kAvx512State = 0xe6; // and the mask and upper ZMM registers
    if ((state & kVectorState) != kVectorState)
        return Level::SSE2;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & (1u << 5))) // AVX2
        return Level::SSE2;
    const uint32_t avx512 = (1u << 16) | (1u << 17) | (1u << 31); // F, DQ, VL
    if ((b & avx512) == avx512 && (state & kAvx512State) == kAvx512State)
        return Level::AVX512;
    return Level::AVX2;
}
#elif defined(__SSE2__)
// The baseline of the target: the SSE2 kernels are built, the others are not.
Level detect() { return Level::SSE2; }
#else
Level detect() { return Level::Portable; }
#endif

} // namespace

const char* levelName(Level level)
{
    const int32_t i = static_cast<int32_t>(level);
    return i >= 0 && i < kLevelCount ? kNames[i] : "unknown";
}

bool levelNamed(const char* name, Level* level)
{
    if (!name)
        return false;
    for (int32_t i = 0; i < kLevelCount; ++i)
        if (std::strcmp(name, kNames[i]) == 0) {
            *level = static_cast<Level>(i);
            return true;
        }
    return false;
}

Level chosenLevel(Level supported, const char* requested)
{
    Level named;
    if (!levelNamed(requested, &named) || named >= supported)
        return supported;
    return named;
}

Level supportedLevel()
{
    static const Level level = detect();
    return level;
}

Level activeLevel()
{
    static const Level level = chosenLevel(supportedLevel(), std::getenv(kLevelVariable));
    return level;
}

} // namespace tm_cpu
