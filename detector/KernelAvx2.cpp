// The model kernel for AVX2: 8 pixels per vector, two vectors per block.
// Compiled with -mavx2 alone (no FMA), so only the dispatcher may call it.
#include "detector/KernelBody.h"

namespace tarvolen {
namespace {

struct Avx2 {
    static constexpr int kLanes = 8;
    using F = __m256;
    using M = __m256;  // all-ones or all-zero lanes

    static TARVOLEN_ALWAYS_INLINE F load(const float* p) { return _mm256_load_ps(p); }
    // A vector is half a cache line here, so skipping unchanged ones would
    // not keep lines clean often enough to pay for the test: always store.
    static TARVOLEN_ALWAYS_INLINE void storeResult(float* p, F v) { _mm256_store_ps(p, v); }
    static TARVOLEN_ALWAYS_INLINE F broadcast(float x) { return _mm256_set1_ps(x); }
    static TARVOLEN_ALWAYS_INLINE F add(F a, F b) { return _mm256_add_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE F div(F a, F b) { return _mm256_div_ps(a, b); }
    // a > b ? a : b, as the scalar comparisons read (b when either is NaN).
    static TARVOLEN_ALWAYS_INLINE F greaterOf(F a, F b) { return _mm256_max_ps(a, b); }

    // Ordered comparisons are false for NaN, as the scalar operators are;
    // notGreater is !(a > b), true for NaN.
    static TARVOLEN_ALWAYS_INLINE M greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static TARVOLEN_ALWAYS_INLINE M greaterOrEqual(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static TARVOLEN_ALWAYS_INLINE M notGreater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NGT_UQ); }
    static TARVOLEN_ALWAYS_INLINE M equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }

    static TARVOLEN_ALWAYS_INLINE F select(M m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
    static TARVOLEN_ALWAYS_INLINE M both(M a, M b) { return _mm256_and_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE M either(M a, M b) { return _mm256_or_ps(a, b); }
    static TARVOLEN_ALWAYS_INLINE M andNot(M a, M b) { return _mm256_andnot_ps(b, a); }  // a and not b
    static TARVOLEN_ALWAYS_INLINE M invert(M a) {
        return _mm256_xor_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(-1)));
    }
    static TARVOLEN_ALWAYS_INLINE M none() { return _mm256_setzero_ps(); }
    static TARVOLEN_ALWAYS_INLINE bool any(M m) { return _mm256_movemask_ps(m) != 0; }
    static TARVOLEN_ALWAYS_INLINE bool all(M m) { return _mm256_movemask_ps(m) == 0xFF; }
    static TARVOLEN_ALWAYS_INLINE unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }
    static TARVOLEN_ALWAYS_INLINE M fromBits(unsigned bits) {
        const __m256i lane = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), lane);
        return _mm256_castsi256_ps(_mm256_cmpeq_epi32(set, lane));
    }

    static TARVOLEN_ALWAYS_INLINE __m256i widenBytes(const std::uint8_t* p) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static TARVOLEN_ALWAYS_INLINE F bytesToFloats(const std::uint8_t* p) {
        return _mm256_cvtepi32_ps(widenBytes(p));
    }
    static TARVOLEN_ALWAYS_INLINE M nonZeroBytes(const std::uint8_t* p) {
        return invert(_mm256_castsi256_ps(_mm256_cmpeq_epi32(widenBytes(p), _mm256_setzero_si256())));
    }
    // Low byte of each 32-bit lane (all lanes at most 255).
    static TARVOLEN_ALWAYS_INLINE void storeBytes(std::uint8_t* p, __m256i v) {
        const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(words, words));
    }
    static TARVOLEN_ALWAYS_INLINE void storeEventBytes(std::uint8_t* p, M m) {
        storeBytes(p, _mm256_and_si256(_mm256_castps_si256(m), _mm256_set1_epi32(255)));
    }

    // The window average of 8 pixels (see BlockJob).
    static TARVOLEN_ALWAYS_INLINE F windowAverage(const BlockJob& job, std::size_t pixel) {
        const __m256i gray = widenBytes(job.gray + pixel);
        const __m256i squared = _mm256_srli_epi32(
            _mm256_mullo_epi32(_mm256_mullo_epi32(gray, gray), _mm256_set1_epi32(0x8081)), 23);
        const __m256i sum =
            job.sums == nullptr
                ? squared
                : _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(job.sums + pixel)),
                                   squared);
        // t = (sum * multiplier) >> 32, even and odd lanes apart.
        const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(job.divisor.multiplier));
        const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(sum, multiplier), 32);
        const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(sum, 32), multiplier);
        const __m256i t = _mm256_blend_epi32(even, odd, 0xAA);
        const __m256i half =
            _mm256_srl_epi32(_mm256_sub_epi32(sum, t), _mm_cvtsi32_si128(job.divisor.shift1));
        const __m256i quotient =
            _mm256_srl_epi32(_mm256_add_epi32(t, half), _mm_cvtsi32_si128(job.divisor.shift2));
        const __m256i average = _mm256_and_si256(quotient, _mm256_set1_epi32(255));
        storeBytes(job.averagedOut + pixel, average);
        return _mm256_cvtepi32_ps(average);
    }
};

}  // namespace

void updateBlocksAvx2(const BlockJob& job) { updateBlocks<Avx2>(job); }

}  // namespace tarvolen
