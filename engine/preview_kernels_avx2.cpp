// The refresh's vector kernels on four pixels at a time in 256-bit registers, for
// processors with AVX2.
#include "cpu_dispatch.h"

#if defined(TM_X86_KERNELS)
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "preview_mapping.h"
#include "preview_refresh.h"

// Everything below is compiled for AVX2 (see preview_kernels.inc).
#pragma GCC target("avx2")
// GCC 12's gather intrinsics start from an undefined register, which its own
// uninitialised-use warning reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace tm_preview {
namespace {

// Lanes of four pixels (see preview_kernels.inc). A mask is a vector of four 64-bit
// lanes, all ones where set; the int32 lanes are one 128-bit register, so masks and
// integers meet through narrow (64-bit lanes to 32) and widen (32 to 64).
struct Lanes256 {
    static constexpr int32_t kWidth = 4;
    using D = __m256d;
    using F = __m128;
    using I = __m128i;
    using M = __m256d;

    static D set(double v) { return _mm256_set1_pd(v); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D loadFloats(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D truncate(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D floor(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }

    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M mAll() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    static M mNone() { return _mm256_setzero_pd(); }
    static M mAnd(M a, M b) { return _mm256_and_pd(a, b); }
    static M mOr(M a, M b) { return _mm256_or_pd(a, b); }
    static M mAndNot(M a, M b) { return _mm256_andnot_pd(b, a); }
    static M mNot(M a) { return _mm256_xor_pd(a, mAll()); }
    static bool any(M a) { return _mm256_movemask_pd(a) != 0; }
    static D zeroUnless(M m, D a) { return _mm256_and_pd(m, a); }
    // a where m is clear, b where it is set.
    static D select(M m, D a, D b) { return _mm256_blendv_pd(a, b, m); }

    static F setF(float v) { return _mm_set1_ps(v); }
    static F loadF(const float* p) { return _mm_loadu_ps(p); }
    static F mulF(F a, F b) { return _mm_mul_ps(a, b); }
    static D widen(F a) { return _mm256_cvtps_pd(a); }

    // The low halves of the four 64-bit lanes, as four int32 lanes.
    static I narrow(__m256i a)
    {
        return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    }
    static M widenMask(I a) { return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(a)); }

    static I setI(int32_t v) { return _mm_set1_epi32(v); }
    static I toInt(D a) { return _mm256_cvttpd_epi32(a); }
    static F toFloat(I a) { return _mm_cvtepi32_ps(a); }
    static I maxI(I a, I b) { return _mm_max_epi32(a, b); }
    static I addI(I a, I b) { return _mm_add_epi32(a, b); }
    static I mulI(I a, I b) { return _mm_mullo_epi32(a, b); }
    static I shiftRight8(I a) { return _mm_srli_epi32(a, 8); }
    static M eqI(I a, I b) { return widenMask(_mm_cmpeq_epi32(a, b)); }
    // A set lane is -1 in the narrowed mask.
    static I addOneWhere(I a, M m) { return _mm_sub_epi32(a, narrow(_mm256_castpd_si256(m))); }
    static I loadSamples(const uint16_t* p)
    {
        return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static void storeInts(int32_t* p, I a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }
    static void storeFlags(int32_t* p, M m) { storeInts(p, _mm_srli_epi32(narrow(_mm256_castpd_si256(m)), 31)); }
    // Each lane's 0..255 as one byte.
    static void storeBytes(uint8_t* p, I a)
    {
        const I words = _mm_packus_epi32(a, a);
        const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        std::memcpy(p, &bytes, sizeof bytes);
    }

    static D gather(const double* base, I index)
    {
        alignas(16) int32_t at[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(at), index);
        return _mm256_setr_pd(base[at[0]], base[at[1]], base[at[2]], base[at[3]]);
    }
    // src where m is clear.
    static D gatherWhere(D src, M m, const double* base, I index)
    {
        return _mm256_mask_i32gather_pd(src, base, index, m, 8);
    }
    // The low 8 bits of each lane's bits.
    static I lowByte(D a) { return narrow(_mm256_and_si256(_mm256_castpd_si256(a), _mm256_set1_epi64x(0xff))); }

    // The wide float lanes, eight at a time; their mask is all ones where set.
    static constexpr int32_t kWide = 8;
    using Wf = __m256;
    using Wm = __m256;
    static Wf wSet(float v) { return _mm256_set1_ps(v); }
    static Wf wLoad(const float* p) { return _mm256_loadu_ps(p); }
    static void wStore(float* p, Wf v) { _mm256_storeu_ps(p, v); }
    static Wf wAdd(Wf a, Wf b) { return _mm256_add_ps(a, b); }
    static Wf wSub(Wf a, Wf b) { return _mm256_sub_ps(a, b); }
    static Wf wMul(Wf a, Wf b) { return _mm256_mul_ps(a, b); }
    static Wf wAbs(Wf a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    static Wm wLt(Wf a, Wf b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static Wm wLe(Wf a, Wf b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static Wm wNone() { return _mm256_setzero_ps(); }
    static Wf wZeroUnless(Wm m, Wf a) { return _mm256_and_ps(m, a); }
    // a where m is clear, b where it is set.
    static Wf wSelect(Wm m, Wf a, Wf b) { return _mm256_blendv_ps(a, b, m); }
    // 2^n for the integer n = bits(sum) - bits(shift), -126 < n < 128.
    static Wf wScale(Wf sum, Wf shift)
    {
        const __m256i n = _mm256_sub_epi32(_mm256_castps_si256(sum), _mm256_castps_si256(shift));
        return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(n, _mm256_set1_epi32(127)), 23));
    }
};

} // namespace

#include "preview_kernels.inc"

int32_t mapPixels32Avx2(const DisplayThresholds& thr, const float* lnB, const float* lum, const float* const lnR[3],
                        int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                        int32_t* bin, int32_t* certain, bool linear)
{
    return linear
               ? mapPixels32<Lanes256, true>(thr, lnB, lum, lnR, n, curve, s, k, localWeight, display, bin, certain)
               : mapPixels32<Lanes256, false>(thr, lnB, lum, lnR, n, curve, s, k, localWeight, display, bin, certain);
}

int32_t mapPixels16Avx2(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n, const Blend16& bl,
                        uint8_t* const display[3], int32_t* bin, int32_t* certain)
{
    return mapPixels16<Lanes256>(lnR, lum, raw, n, bl, display, bin, certain);
}

void expFloatAvx2(const float* x, float* out, int32_t n) { expFloatArray<Lanes256>(x, out, n); }

} // namespace tm_preview

#endif
