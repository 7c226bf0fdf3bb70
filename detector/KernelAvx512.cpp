// The model kernel for AVX-512: one block of 16 pixels per vector. Compiled
// with -mavx512f alone (no FMA), so only the dispatcher may call it.
#include "detector/KernelBody.h"

namespace tarvolen {
namespace {

struct Avx512 {
    static constexpr int kLanes = 16;
    using F = __m512;
    using M = __mmask16;

    static TARVOLEN_ALWAYS_INLINE F load(const float* p) { return _mm512_load_ps(p); }
    // A vector is a whole cache line: an unchanged one is not stored, so the
    // line stays clean and is never written back to memory. On real scenes
    // most lines of a model keep their bits from one update to the next.
    static TARVOLEN_ALWAYS_INLINE void storeResult(float* p, F v) {
        if (_mm512_cmpneq_epi32_mask(_mm512_castps_si512(v), _mm512_load_si512(p)) != 0)
            _mm512_store_ps(p, v);
    }
    static TARVOLEN_ALWAYS_INLINE F broadcast(float x) { return _mm512_set1_ps(x); }
    static TARVOLEN_ALWAYS_INLINE F add(F a, F b) { return _mm512_add_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F div(F a, F b) { return _mm512_div_ps(a, b); }
    // a > b ? a : b, as the scalar comparisons read (b when either is NaN).
    static TARVOLEN_ALWAYS_INLINE F greaterOf(F a, F b) { return _mm512_max_ps(a, b); }

    // Ordered comparisons are false for NaN, as the scalar operators are;
    // notGreater is !(a > b), true for NaN.
    static TARVOLEN_ALWAYS_INLINE M greater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static TARVOLEN_ALWAYS_INLINE M greaterOrEqual(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    static TARVOLEN_ALWAYS_INLINE M notGreater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NGT_UQ); }
    static TARVOLEN_ALWAYS_INLINE M equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }

    static TARVOLEN_ALWAYS_INLINE F select(M m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
    static TARVOLEN_ALWAYS_INLINE M both(M a, M b) { return static_cast<M>(a & b); }
    static TARVOLEN_ALWAYS_INLINE M either(M a, M b) { return static_cast<M>(a | b); }
    static TARVOLEN_ALWAYS_INLINE M andNot(M a, M b) { return static_cast<M>(a & ~b); }
    static TARVOLEN_ALWAYS_INLINE M invert(M a) { return static_cast<M>(~a); }
    static TARVOLEN_ALWAYS_INLINE M none() { return 0; }
    static TARVOLEN_ALWAYS_INLINE bool any(M m) { return m != 0; }
    static TARVOLEN_ALWAYS_INLINE bool all(M m) { return m == 0xFFFF; }
    static TARVOLEN_ALWAYS_INLINE unsigned bits(M m) { return m; }
    static TARVOLEN_ALWAYS_INLINE M fromBits(unsigned bits) { return static_cast<M>(bits); }

    static TARVOLEN_ALWAYS_INLINE __m512i widenBytes(const std::uint8_t* p) {
        return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static TARVOLEN_ALWAYS_INLINE F bytesToFloats(const std::uint8_t* p) {
        return _mm512_cvtepi32_ps(widenBytes(p));
    }
    static TARVOLEN_ALWAYS_INLINE M nonZeroBytes(const std::uint8_t* p) {
        const __m512i v = widenBytes(p);
        return _mm512_test_epi32_mask(v, v);
    }
    static TARVOLEN_ALWAYS_INLINE void storeEventBytes(std::uint8_t* p, M m) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm512_cvtepi32_epi8(_mm512_maskz_set1_epi32(m, 255)));
    }

    // The window average of 16 pixels (see BlockJob).
    static TARVOLEN_ALWAYS_INLINE F windowAverage(const BlockJob& job, std::size_t pixel) {
        const __m512i gray = widenBytes(job.gray + pixel);
        const __m512i squared = _mm512_srli_epi32(
            _mm512_mullo_epi32(_mm512_mullo_epi32(gray, gray), _mm512_set1_epi32(0x8081)), 23);
        const __m512i sum =
            job.sums == nullptr ? squared : _mm512_add_epi32(_mm512_loadu_si512(job.sums + pixel), squared);
        // t = (sum * multiplier) >> 32, even and odd lanes apart.
        const __m512i multiplier = _mm512_set1_epi32(static_cast<int>(job.divisor.multiplier));
        const __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(sum, multiplier), 32);
        const __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(sum, 32), multiplier);
        const __m512i t = _mm512_mask_blend_epi32(0xAAAA, even, odd);
        const __m512i half =
            _mm512_srl_epi32(_mm512_sub_epi32(sum, t), _mm_cvtsi32_si128(job.divisor.shift1));
        const __m512i quotient =
            _mm512_srl_epi32(_mm512_add_epi32(t, half), _mm_cvtsi32_si128(job.divisor.shift2));
        // The low byte of each quotient, as a cast to a byte keeps it.
        const __m128i average = _mm512_cvtepi32_epi8(quotient);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(job.averagedOut + pixel), average);
        return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(average));
    }
};

}  // namespace

void updateBlocksAvx512(const BlockJob& job) { updateBlocks<Avx512>(job); }

}  // namespace tarvolen
