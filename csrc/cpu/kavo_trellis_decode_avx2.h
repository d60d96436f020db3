// The AVX2 tier's decode of eight trellis states, shared by the tier's unit
// and the decode-bound benchmark so that the benchmark's ceiling measures
// exactly the kernels' decode. Include only from units compiled with AVX2,
// FMA and F16C; everything is in an unnamed namespace (private to each unit).
#pragma once

#include <immintrin.h>

#include "kavo_trellis_cpu.h"

namespace kavo_cpu {
namespace {

// Decode of eight states (zero-extended uint32) to their float values.

// The gather is written out so that its index register is fixed: an index
// in ymm4 shares its encoding with "no index" in plain SIB addressing, and
// some AVX2 emulators (user-mode QEMU 7.2) then read entry 0 for every lane.
// Real processors are unaffected; pinning the index (to ymm0) costs nothing
// there.
inline __m256 decode8_lut(__m256i idx) {
  __m256 mask = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  __m256 out;
  asm("vgatherdps %[mask], (%[base], %[idx], 4), %[out]"
      : [out] "=&x"(out), [mask] "+x"(mask)
      : [base] "r"(g_lut32), [idx] "Yz"(idx),
        "m"(*reinterpret_cast<const float(*)[65536]>(g_lut32)));
  return out;
}

// h = s * 0x5517C72 + 0x3D45AA4 (mod 2^32): both fp16 halves of the
// codebook word, before the mask.
inline __m256i decode_mix(__m256i s) {
  return _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_set1_epi32(89226354)),
                          _mm256_set1_epi32(64248484));
}

// The exact float32 sum of the two halves of (h & 0x8FFF8FFF) ^ 0x3B603B60,
// widened with integer operations instead of conversions and shuffles. Each
// half is normal with biased exponent 011xx, so its float32 bits are its
// sign, then the exponent 011111xx (bias 112 added: the fixed bits are
// constants), then its ten mantissa bits: half bits 11..0 (mask, then xor)
// land on float bits 24..13. An arithmetic shift by 3 puts the high half
// there with its sign still in bit 31; madd (lo16 * 2^13, sign-extended) does
// the same for the low half in one instruction.
inline __m256 decode_sum(__m256i h) {
  const __m256i keep = _mm256_set1_epi32(static_cast<int>(0x81FFE000u));
  const __m256i flip = _mm256_set1_epi32(0x3F6C0000);
  const __m256i hi = _mm256_srai_epi32(h, 3);
  const __m256i lo = _mm256_madd_epi16(h, _mm256_set1_epi32(1 << 13));
  const __m256 fhi =
      _mm256_castsi256_ps(_mm256_xor_si256(_mm256_and_si256(hi, keep), flip));
  const __m256 flo =
      _mm256_castsi256_ps(_mm256_xor_si256(_mm256_and_si256(lo, keep), flip));
  return _mm256_add_ps(flo, fhi);  // exact
}

// How a product kernel decodes, chosen once per call: the table, or the
// arithmetic decode with its one rounding done either by the conversion
// instructions (any MXCSR state) or, while MXCSR rounds to nearest (always,
// unless a caller changed it), by two cheaper multiply instructions.
enum DecodePath { PATH_LUT, PATH_ARITH_CVT, PATH_ARITH_FMA };

template <DecodePath P>
inline __m256 decode8(__m256i s) {
  if constexpr (P == PATH_LUT) {
    return decode8_lut(s);
  } else if constexpr (P == PATH_ARITH_CVT) {
    // Immediate rounding control: independent of MXCSR.
    const __m256 x = decode_sum(decode_mix(s));
    return _mm256_cvtph_ps(_mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT));
  } else {
    // Rounds the exact sum x to 11 significant bits (fp16: every sum is a
    // normal half or zero). c = x * (2^13 + 1) holds x rounded at c's ulp,
    // which is x's fp16 ulp, and c - 2^13 x, fused, takes it out exactly;
    // ties go to even because no sum has more than 15 significant bits.
    // Equal to g_lut32 for all 65536 states (tests), under round-to-nearest
    // only.
    const __m256 x = decode_sum(decode_mix(s));
    const __m256 c = _mm256_mul_ps(x, _mm256_set1_ps(8193.0f));
    return _mm256_fnmadd_ps(x, _mm256_set1_ps(8192.0f), c);
  }
}

// fp16 bits of eight states. The arithmetic path converts the exact sum with
// the instruction's own round-to-nearest-even; the table value is a half, so
// its conversion is exact.
template <bool Arith>
inline __m128i decode8_half(__m256i s) {
  if constexpr (Arith) {
    return _mm256_cvtps_ph(decode_sum(decode_mix(s)),
                           _MM_FROUND_TO_NEAREST_INT);
  } else {
    return _mm256_cvtps_ph(decode8_lut(s), _MM_FROUND_TO_NEAREST_INT);
  }
}

// Read once per kernel call.
inline bool use_arith() { return g_decode_variant != DECODE_LUT; }

inline DecodePath decode_path() {
  if (!use_arith()) return PATH_LUT;
  return _MM_GET_ROUNDING_MODE() == _MM_ROUND_NEAREST ? PATH_ARITH_FMA
                                                      : PATH_ARITH_CVT;
}

}  // namespace
}  // namespace kavo_cpu
