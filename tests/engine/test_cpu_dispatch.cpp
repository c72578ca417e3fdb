// The dispatch seam: which level the engine runs at, and the environment through
// which CTest runs the exactness tests once per level (tests/engine/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cpu_dispatch.h"

namespace {

using tm_cpu::Level;

// With TM_CPU_LEVEL set, the program runs at that level or not at all: where this
// processor cannot run it, every test is skipped (a lower level would pass for it),
// and a name that is no level fails the run (it would silently test the top level).
class RequestedLevel : public testing::Environment {
public:
    void SetUp() override
    {
        const char* requested = std::getenv(tm_cpu::kLevelVariable);
        if (!requested || !*requested)
            return;
        Level named;
        ASSERT_TRUE(tm_cpu::levelNamed(requested, &named))
            << tm_cpu::kLevelVariable << "=" << requested << " names no level";
        if (named > tm_cpu::supportedLevel()) {
            std::printf("%s=%s: this processor cannot run that vector level (it supports %s)\n", tm_cpu::kLevelVariable,
                        requested, tm_cpu::levelName(tm_cpu::supportedLevel()));
            GTEST_SKIP();
        }
        std::printf("vector level %s\n", tm_cpu::levelName(tm_cpu::activeLevel()));
    }
};

testing::Environment* const requestedLevel = testing::AddGlobalTestEnvironment(new RequestedLevel);

} // namespace

TEST(CpuDispatch, ANamedLevelLowersTheLevelAndNothingRaisesIt)
{
    const struct {
        Level supported;
        const char* requested;
        Level chosen;
    } cases[] = {
        {Level::AVX512, nullptr, Level::AVX512},      {Level::AVX512, "", Level::AVX512},
        {Level::AVX512, "avx2", Level::AVX2},         {Level::AVX512, "sse2", Level::SSE2},
        {Level::AVX512, "portable", Level::Portable}, {Level::AVX2, "avx512", Level::AVX2},
        {Level::SSE2, "avx2", Level::SSE2},           {Level::Portable, "sse2", Level::Portable},
        {Level::AVX2, "avx2", Level::AVX2},           {Level::AVX512, "AVX2", Level::AVX512},
        {Level::AVX512, "avx2 ", Level::AVX512},      {Level::AVX2, "fast", Level::AVX2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tm_cpu::chosenLevel(c.supported, c.requested), c.chosen)
            << tm_cpu::levelName(c.supported) << " with " << (c.requested ? c.requested : "(unset)");
    for (int32_t i = 0; i < tm_cpu::kLevelCount; ++i) {
        Level back;
        ASSERT_TRUE(tm_cpu::levelNamed(tm_cpu::levelName(static_cast<Level>(i)), &back));
        EXPECT_EQ(back, static_cast<Level>(i));
    }
}

TEST(CpuDispatch, TheActiveLevelIsTheOneRequested)
{
    const char* requested = std::getenv(tm_cpu::kLevelVariable);
    Level named;
    if (requested && tm_cpu::levelNamed(requested, &named))
        EXPECT_EQ(tm_cpu::activeLevel(), named);
    else
        EXPECT_EQ(tm_cpu::activeLevel(), tm_cpu::supportedLevel());
}

TEST(CpuDispatch, DetectionAgreesWithTheCompilersProcessorModel)
{
#if defined(TM_X86_KERNELS)
    // GCC's own model (cpuid and the saved register state) for the same features.
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx512 =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    const Level expected = avx2 && avx512 ? Level::AVX512 : avx2 ? Level::AVX2 : Level::SSE2;
    EXPECT_EQ(tm_cpu::supportedLevel(), expected);
#else
    GTEST_SKIP() << "no vector kernels in this build";
#endif
}
