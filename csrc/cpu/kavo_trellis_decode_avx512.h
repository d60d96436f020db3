// The decode policy of the "avx512" tier for the 512-bit kernel template,
// shared by the tier's unit and the decode-bound benchmark so that the
// benchmark's ceiling measures exactly the kernels' decode. Include only from
// units compiled with AVX-512F/BW/VL; everything is in an unnamed namespace.
#pragma once

#include "kavo_trellis_cpu_zmm.h"

namespace kavo_cpu {
namespace {

struct DecodeAvx512 {
  static constexpr bool kWordStates = false;
  static constexpr int kRn = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

  // The exact float32 sum of a state's two halves. Each half is a normal
  // number with biased exponent 12..15, so its float32 bits are its sign,
  // binary 0111 1 over the exponent's low three bits, and its mantissa: an
  // arithmetic shift of the hash puts the sign and the 15 other bits in
  // place, and one and/xor applies the codebook's mask and xor together with
  // that exponent fix-up.
  static __m512 sum16(__m512i s) {
    const __m512i h = zmm_hash(s);
    const __m512i mask = zmm_u32(0x81FFE000u), bits = zmm_u32(0x3F6C0000u);
    const __m512i hi =
        _mm512_xor_si512(_mm512_and_si512(_mm512_srai_epi32(h, 3), mask), bits);
    const __m512i lo = _mm512_xor_si512(
        _mm512_and_si512(_mm512_srai_epi32(_mm512_slli_epi32(h, 16), 3), mask),
        bits);
    // Exact, but a cancelling pair gives -0 when rounding down: fix the mode.
    return _mm512_add_round_ps(_mm512_castsi512_ps(hi), _mm512_castsi512_ps(lo),
                               kRn);
  }

  // The sum rounded to 11 significant bits (half precision; every non-zero
  // sum is a normal half): c = RN(8193 x), then c - 8192 x in one fused
  // step. Checked against the table for all 65,536 states.
  static __m512 arith16(__m512i s) {
    const __m512 x = sum16(s);
    const __m512 c = _mm512_mul_round_ps(x, _mm512_set1_ps(8193.0f), kRn);
    return _mm512_fmadd_round_ps(x, _mm512_set1_ps(-8192.0f), c, kRn);
  }

  static void decode_row(__m512i s0, __m512i s1, bool arith, __m512& w0,
                         __m512& w1) {
    if (!arith) {
      w0 = zmm_lut_gather(s0);
      w1 = zmm_lut_gather(s1);
      return;
    }
    w0 = arith16(s0);
    w1 = arith16(s1);
  }

  static __m512i half_row(__m512i s0, __m512i s1, bool arith) {
    if (!arith)
      return zmm_join_halves(zmm_to_half(zmm_lut_gather(s0)),
                             zmm_to_half(zmm_lut_gather(s1)));
    // The conversion rounds the exact sum to nearest even itself.
    return zmm_join_halves(zmm_to_half(sum16(s0)), zmm_to_half(sum16(s1)));
  }
};

}  // namespace
}  // namespace kavo_cpu
