// NEON kernels of the log scanner (aarch64, where NEON is always present).
#include "scanner.h"

#if defined(__aarch64__)
#include <arm_neon.h>

namespace opsdeck::scanner {
namespace {

// A terminator byte gives 0xff per lane; subtracting it counts one.  The
// byte counters are summed before they could wrap (255 rounds).
uint64_t count_any_neon(const unsigned char *p, std::size_t n, bool &suspect) {
    const uint8x16_t cr = vdupq_n_u8('\r'), lf = vdupq_n_u8('\n');
    uint8x16_t odd = vdupq_n_u8(0);
    uint64_t terms = 0;
    std::size_t i = 0;
    while (n - i >= 16) {
        std::size_t rounds = (n - i) / 16;
        if (rounds > 255) rounds = 255;
        uint8x16_t acc = vdupq_n_u8(0);
        for (; rounds; --rounds, i += 16) {
            const uint8x16_t v = vld1q_u8(p + i);
            const uint8x16_t w = vld1q_u8(p + i - 1);
            const uint8x16_t after_cr = vceqq_u8(w, cr);
            const uint8x16_t t = vorrq_u8(vceqq_u8(v, cr), vbicq_u8(vceqq_u8(v, lf), after_cr));
            acc = vsubq_u8(acc, t);
            odd = vorrq_u8(odd, vandq_u8(after_cr, v));
        }
        terms += vaddlvq_u8(acc);
    }
    if (vmaxvq_u8(odd) >= 0x80) suspect = true;
    bool rest_odd = false;
    terms += scalar_kernels.count(p + i, n - i, rest_odd);
    suspect |= rest_odd;
    return terms;
}

// While no CR shows up, LFs only, in groups of 128 bytes (as lf_only_sse2
// in scanner_x86.cpp): returns the bytes covered, their LFs added to `terms`.
std::size_t lf_only_neon(const unsigned char *p, std::size_t n, uint64_t &terms) {
    if (p[-1] == '\r') return 0;
    const uint8x16_t cr = vdupq_n_u8('\r'), lf = vdupq_n_u8('\n');
    uint8x16_t acc = vdupq_n_u8(0);
    std::size_t i = 0;
    for (unsigned groups = 0; n - i >= 128; i += 128) {
        uint8x16_t seen = vdupq_n_u8(0), group = vdupq_n_u8(0);
        for (int k = 0; k < 8; ++k) {
            const uint8x16_t v = vld1q_u8(p + i + 16 * k);
            group = vsubq_u8(group, vceqq_u8(v, lf));
            seen = vorrq_u8(seen, vceqq_u8(v, cr));
        }
        if (vmaxvq_u8(seen)) break;
        acc = vaddq_u8(acc, group);
        if (++groups == 31) terms += vaddlvq_u8(acc), acc = vdupq_n_u8(0), groups = 0;
    }
    terms += vaddlvq_u8(acc);
    return i;
}

uint64_t count_neon(const unsigned char *p, std::size_t n, bool &suspect) {
    uint64_t terms = 0;
    const std::size_t i = lf_only_neon(p, n, terms);
    return terms + count_any_neon(p + i, n - i, suspect);
}

// 64 lane masks (0x00 / 0xff) to 64 bits, one per byte.
inline uint64_t bits64(uint8x16_t m0, uint8x16_t m1, uint8x16_t m2, uint8x16_t m3) {
    const uint8x16_t weight = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t s0 = vpaddq_u8(vandq_u8(m0, weight), vandq_u8(m1, weight));
    uint8x16_t s1 = vpaddq_u8(vandq_u8(m2, weight), vandq_u8(m3, weight));
    s0 = vpaddq_u8(s0, s1);
    s0 = vpaddq_u8(s0, s0);
    return vgetq_lane_u64(vreinterpretq_u64_u8(s0), 0);
}

void masks_neon(const unsigned char *p, uint64_t &cr, uint64_t &lf, uint64_t &high) {
    const uint8x16_t a = vld1q_u8(p), b = vld1q_u8(p + 16), c = vld1q_u8(p + 32), d = vld1q_u8(p + 48);
    const uint8x16_t vcr = vdupq_n_u8('\r'), vlf = vdupq_n_u8('\n'), top = vdupq_n_u8(0x80);
    cr = bits64(vceqq_u8(a, vcr), vceqq_u8(b, vcr), vceqq_u8(c, vcr), vceqq_u8(d, vcr));
    lf = bits64(vceqq_u8(a, vlf), vceqq_u8(b, vlf), vceqq_u8(c, vlf), vceqq_u8(d, vlf));
    high = bits64(vcgeq_u8(a, top), vcgeq_u8(b, top), vcgeq_u8(c, top), vcgeq_u8(d, top));
}

// Blocks without a suspect are passed over whole; the rare others byte by byte.
std::size_t suspects_neon(const unsigned char *p, std::size_t n, uint32_t *out) {
    const uint8x16_t cr = vdupq_n_u8('\r');
    std::size_t k = 0, i = 0;
    for (; n - i >= 16; i += 16) {
        const uint8x16_t hit = vandq_u8(vceqq_u8(vld1q_u8(p + i - 1), cr), vld1q_u8(p + i));
        if (vmaxvq_u8(hit) < 0x80) continue;
        const std::size_t found = scalar_kernels.suspects(p + i, 16, out + k);
        for (std::size_t j = k; j < k + found; ++j) out[j] += static_cast<uint32_t>(i);
        k += found;
    }
    const std::size_t rest = scalar_kernels.suspects(p + i, n - i, out + k);
    for (std::size_t j = k; j < k + rest; ++j) out[j] += static_cast<uint32_t>(i);
    return k + rest;
}

}  // namespace

const Kernels neon_kernels = {Isa::neon, count_neon, masks_neon, suspects_neon};

}  // namespace opsdeck::scanner
#endif
