// SSE2 and AVX2 kernels of the log scanner (x86-64).  SSE2 is part of
// x86-64; the AVX2 functions carry their own target attribute, so the rest
// of the module stays baseline and AVX2 is chosen at run time.
#include "scanner.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace opsdeck::scanner {
namespace {

// The sum of the 16 byte counters.
inline uint64_t byte_sum(__m128i acc) {
    const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// A terminator byte gives -1 (0xff) per lane; the byte counters are summed
// into 64-bit lanes before they could wrap (255 rounds).
uint64_t count_any_sse2(const unsigned char *p, std::size_t n, bool &suspect) {
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    __m128i odd = zero;
    uint64_t terms = 0;
    std::size_t i = 0;
    while (n - i >= 16) {
        std::size_t rounds = (n - i) / 16;
        if (rounds > 255) rounds = 255;
        __m128i acc = zero;
        for (; rounds; --rounds, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i - 1));
            const __m128i after_cr = _mm_cmpeq_epi8(w, cr);
            const __m128i t = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_andnot_si128(after_cr, _mm_cmpeq_epi8(v, lf)));
            acc = _mm_sub_epi8(acc, t);
            odd = _mm_or_si128(odd, _mm_and_si128(after_cr, v));
        }
        terms += byte_sum(acc);
    }
    if (_mm_movemask_epi8(odd)) suspect = true;
    bool rest_odd = false;
    terms += scalar_kernels.count(p + i, n - i, rest_odd);
    suspect |= rest_odd;
    return terms;
}

// Most logs hold no CR at all.  While none shows up, a terminator is an LF
// and no byte follows a CR: one compare per byte fewer and no second load.
// Counts 128-byte groups up to the first one holding a CR; returns the
// bytes covered and adds their LFs to `terms`.  The group counters stay
// below 256: at most 8 per group, summed every 31 groups.
std::size_t lf_only_sse2(const unsigned char *p, std::size_t n, uint64_t &terms) {
    if (p[-1] == '\r') return 0;
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    __m128i acc = zero;
    std::size_t i = 0;
    for (unsigned groups = 0; n - i >= 128; i += 128) {
        __m128i seen = zero, group = zero;
        for (int k = 0; k < 8; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16 * k));
            group = _mm_sub_epi8(group, _mm_cmpeq_epi8(v, lf));
            seen = _mm_or_si128(seen, _mm_cmpeq_epi8(v, cr));
        }
        if (_mm_movemask_epi8(seen)) break;
        acc = _mm_add_epi8(acc, group);
        if (++groups == 31) terms += byte_sum(acc), acc = zero, groups = 0;
    }
    terms += byte_sum(acc);
    return i;
}

uint64_t count_sse2(const unsigned char *p, std::size_t n, bool &suspect) {
    uint64_t terms = 0;
    const std::size_t i = lf_only_sse2(p, n, terms);
    return terms + count_any_sse2(p + i, n - i, suspect);
}

inline uint64_t bits16(__m128i m, int shift) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(m))) << shift;
}

void masks_sse2(const unsigned char *p, uint64_t &cr, uint64_t &lf, uint64_t &high) {
    const __m128i vcr = _mm_set1_epi8('\r'), vlf = _mm_set1_epi8('\n');
    cr = lf = high = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        cr |= bits16(_mm_cmpeq_epi8(v, vcr), 16 * k);
        lf |= bits16(_mm_cmpeq_epi8(v, vlf), 16 * k);
        high |= bits16(v, 16 * k);
    }
}

// The set bits of m as positions base + bit.  Suspects come at random, so
// a loop per bit would mispredict its branch at nearly every block: four
// are written unconditionally (out has room for them), and only a fifth
// one loops.
inline std::size_t flatten(unsigned m, std::size_t base, uint32_t *out) {
    const auto at = static_cast<uint32_t>(base);
    const auto count = static_cast<std::size_t>(__builtin_popcount(m));
    out[0] = at + static_cast<uint32_t>(__builtin_ctzll(m | 1ull << 32));
    m &= m - 1;
    out[1] = at + static_cast<uint32_t>(__builtin_ctzll(m | 1ull << 32));
    m &= m - 1;
    out[2] = at + static_cast<uint32_t>(__builtin_ctzll(m | 1ull << 32));
    m &= m - 1;
    out[3] = at + static_cast<uint32_t>(__builtin_ctzll(m | 1ull << 32));
    m &= m - 1;
    for (std::size_t j = 4; m; ++j, m &= m - 1) out[j] = at + static_cast<uint32_t>(__builtin_ctz(m));
    return count;
}

std::size_t suspects_sse2(const unsigned char *p, std::size_t n, uint32_t *out) {
    const __m128i cr = _mm_set1_epi8('\r');
    std::size_t k = 0, i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i - 1));
        k += flatten(static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(w, cr), v))), i, out + k);
    }
    const std::size_t rest = scalar_kernels.suspects(p + i, n - i, out + k);
    for (std::size_t j = k; j < k + rest; ++j) out[j] += static_cast<uint32_t>(i);
    return k + rest;
}

__attribute__((target("avx2"))) inline uint64_t byte_sum(__m256i acc) {
    const __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(half)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
}

__attribute__((target("avx2"))) uint64_t count_any_avx2(const unsigned char *p, std::size_t n, bool &suspect) {
    const __m256i cr = _mm256_set1_epi8('\r'), lf = _mm256_set1_epi8('\n'), zero = _mm256_setzero_si256();
    __m256i odd = zero;
    uint64_t terms = 0;
    std::size_t i = 0;
    while (n - i >= 32) {
        std::size_t rounds = (n - i) / 32;
        if (rounds > 255) rounds = 255;
        __m256i acc = zero;
        for (; rounds; --rounds, i += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i - 1));
            const __m256i after_cr = _mm256_cmpeq_epi8(w, cr);
            const __m256i t =
                _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_andnot_si256(after_cr, _mm256_cmpeq_epi8(v, lf)));
            acc = _mm256_sub_epi8(acc, t);
            odd = _mm256_or_si256(odd, _mm256_and_si256(after_cr, v));
        }
        terms += byte_sum(acc);
    }
    if (_mm256_movemask_epi8(odd)) suspect = true;
    bool rest_odd = false;
    terms += scalar_kernels.count(p + i, n - i, rest_odd);
    suspect |= rest_odd;
    return terms;
}

// As lf_only_sse2, in groups of 256 bytes.
__attribute__((target("avx2"))) std::size_t lf_only_avx2(const unsigned char *p, std::size_t n, uint64_t &terms) {
    if (p[-1] == '\r') return 0;
    const __m256i cr = _mm256_set1_epi8('\r'), lf = _mm256_set1_epi8('\n'), zero = _mm256_setzero_si256();
    __m256i acc = zero;
    std::size_t i = 0;
    for (unsigned groups = 0; n - i >= 256; i += 256) {
        __m256i seen = zero, group = zero;
        for (int k = 0; k < 8; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 32 * k));
            group = _mm256_sub_epi8(group, _mm256_cmpeq_epi8(v, lf));
            seen = _mm256_or_si256(seen, _mm256_cmpeq_epi8(v, cr));
        }
        if (!_mm256_testz_si256(seen, seen)) break;
        acc = _mm256_add_epi8(acc, group);
        if (++groups == 31) terms += byte_sum(acc), acc = zero, groups = 0;
    }
    terms += byte_sum(acc);
    return i;
}

__attribute__((target("avx2"))) uint64_t count_avx2(const unsigned char *p, std::size_t n, bool &suspect) {
    uint64_t terms = 0;
    const std::size_t i = lf_only_avx2(p, n, terms);
    return terms + count_any_avx2(p + i, n - i, suspect);
}

__attribute__((target("avx2"))) inline uint64_t bits32(__m256i m, int shift) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(m))) << shift;
}

__attribute__((target("avx2"))) void masks_avx2(const unsigned char *p, uint64_t &cr, uint64_t &lf,
                                                 uint64_t &high) {
    const __m256i vcr = _mm256_set1_epi8('\r'), vlf = _mm256_set1_epi8('\n');
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    cr = bits32(_mm256_cmpeq_epi8(a, vcr), 0) | bits32(_mm256_cmpeq_epi8(b, vcr), 32);
    lf = bits32(_mm256_cmpeq_epi8(a, vlf), 0) | bits32(_mm256_cmpeq_epi8(b, vlf), 32);
    high = bits32(a, 0) | bits32(b, 32);
}

__attribute__((target("avx2"))) std::size_t suspects_avx2(const unsigned char *p, std::size_t n, uint32_t *out) {
    const __m256i cr = _mm256_set1_epi8('\r');
    std::size_t k = 0, i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i - 1));
        k += flatten(static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(w, cr), v))), i,
                     out + k);
    }
    const std::size_t rest = scalar_kernels.suspects(p + i, n - i, out + k);
    for (std::size_t j = k; j < k + rest; ++j) out[j] += static_cast<uint32_t>(i);
    return k + rest;
}

}  // namespace

const Kernels sse2_kernels = {Isa::sse2, count_sse2, masks_sse2, suspects_sse2};
const Kernels avx2_kernels = {Isa::avx2, count_avx2, masks_avx2, suspects_avx2};

}  // namespace opsdeck::scanner
#endif
