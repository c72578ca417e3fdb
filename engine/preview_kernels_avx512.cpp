// The refresh's vector kernels on eight pixels at a time in 512-bit registers, for
// processors with AVX-512 (F, VL, DQ).
#include "cpu_dispatch.h"

#if defined(TM_X86_KERNELS)
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "preview_mapping.h"
#include "preview_refresh.h"

// Everything below is compiled for AVX-512 (see preview_kernels.inc).
#pragma GCC target("avx512f,avx512vl,avx512dq")
// GCC 12's AVX-512 conversion and shift intrinsics start from an undefined
// register, which its own uninitialised-use warning reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace tm_preview {
namespace {

// Lanes of eight pixels (see preview_kernels.inc).
struct Lanes512 {
    static constexpr int32_t kWidth = 8;
    using D = __m512d;
    using F = __m256;
    using I = __m256i;
    using M = __mmask8;

    static D set(double v) { return _mm512_set1_pd(v); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D loadFloats(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D abs(D a) { return _mm512_abs_pd(a); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D truncate(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D floor(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }

    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M mAll() { return 0xff; }
    static M mNone() { return 0; }
    static M mAnd(M a, M b) { return a & b; }
    static M mOr(M a, M b) { return a | b; }
    static M mAndNot(M a, M b) { return static_cast<M>(a & ~b); }
    static M mNot(M a) { return static_cast<M>(~a); }
    static bool any(M a) { return a != 0; }
    static D zeroUnless(M m, D a) { return _mm512_maskz_mov_pd(m, a); }
    // a where m is clear, b where it is set.
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, a, b); }

    static F setF(float v) { return _mm256_set1_ps(v); }
    static F loadF(const float* p) { return _mm256_loadu_ps(p); }
    static F mulF(F a, F b) { return _mm256_mul_ps(a, b); }
    static D widen(F a) { return _mm512_cvtps_pd(a); }

    static I setI(int32_t v) { return _mm256_set1_epi32(v); }
    static I toInt(D a) { return _mm512_cvttpd_epi32(a); }
    static F toFloat(I a) { return _mm256_cvtepi32_ps(a); }
    static I maxI(I a, I b) { return _mm256_max_epi32(a, b); }
    static I addI(I a, I b) { return _mm256_add_epi32(a, b); }
    static I mulI(I a, I b) { return _mm256_mullo_epi32(a, b); }
    static I shiftRight8(I a) { return _mm256_srli_epi32(a, 8); }
    static M eqI(I a, I b) { return _mm256_cmpeq_epi32_mask(a, b); }
    static I addOneWhere(I a, M m) { return _mm256_mask_add_epi32(a, m, a, _mm256_set1_epi32(1)); }
    static I loadSamples(const uint16_t* p)
    {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static void storeInts(int32_t* p, I a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
    static void storeFlags(int32_t* p, M m) { storeInts(p, _mm256_maskz_mov_epi32(m, _mm256_set1_epi32(1))); }
    // Each lane's 0..255 as one byte.
    static void storeBytes(uint8_t* p, I a)
    {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_cvtepi32_epi8(a));
    }

    static D gather(const double* base, I index) { return _mm512_i32gather_pd(index, base, 8); }
    // src where m is clear.
    static D gatherWhere(D src, M m, const double* base, I index)
    {
        return _mm512_mask_i32gather_pd(src, m, index, base, 8);
    }
    // The low 8 bits of each lane's bits.
    static I lowByte(D a)
    {
        return _mm512_cvtepi64_epi32(_mm512_and_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(0xff)));
    }

    // The wide float lanes, sixteen at a time.
    static constexpr int32_t kWide = 16;
    using Wf = __m512;
    using Wm = __mmask16;
    static Wf wSet(float v) { return _mm512_set1_ps(v); }
    static Wf wLoad(const float* p) { return _mm512_loadu_ps(p); }
    static void wStore(float* p, Wf v) { _mm512_storeu_ps(p, v); }
    static Wf wAdd(Wf a, Wf b) { return _mm512_add_ps(a, b); }
    static Wf wSub(Wf a, Wf b) { return _mm512_sub_ps(a, b); }
    static Wf wMul(Wf a, Wf b) { return _mm512_mul_ps(a, b); }
    static Wf wAbs(Wf a) { return _mm512_abs_ps(a); }
    static Wm wLt(Wf a, Wf b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static Wm wLe(Wf a, Wf b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
    static Wm wNone() { return 0; }
    static Wf wZeroUnless(Wm m, Wf a) { return _mm512_maskz_mov_ps(m, a); }
    // a where m is clear, b where it is set.
    static Wf wSelect(Wm m, Wf a, Wf b) { return _mm512_mask_blend_ps(m, a, b); }
    // 2^n for the integer n = bits(sum) - bits(shift), -126 < n < 128.
    static Wf wScale(Wf sum, Wf shift)
    {
        const __m512i n = _mm512_sub_epi32(_mm512_castps_si512(sum), _mm512_castps_si512(shift));
        return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_add_epi32(n, _mm512_set1_epi32(127)), 23));
    }
};

} // namespace

#include "preview_kernels.inc"

int32_t mapPixels32Avx512(const DisplayThresholds& thr, const float* lnB, const float* lum, const float* const lnR[3],
                          int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                          int32_t* bin, int32_t* certain, bool linear)
{
    return linear
               ? mapPixels32<Lanes512, true>(thr, lnB, lum, lnR, n, curve, s, k, localWeight, display, bin, certain)
               : mapPixels32<Lanes512, false>(thr, lnB, lum, lnR, n, curve, s, k, localWeight, display, bin, certain);
}

int32_t mapPixels16Avx512(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n,
                          const Blend16& bl, uint8_t* const display[3], int32_t* bin, int32_t* certain)
{
    return mapPixels16<Lanes512>(lnR, lum, raw, n, bl, display, bin, certain);
}

void expFloatAvx512(const float* x, float* out, int32_t n) { expFloatArray<Lanes512>(x, out, n); }

} // namespace tm_preview

#endif
