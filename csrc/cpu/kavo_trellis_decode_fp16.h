// The decode policy of the "avx512fp16" tier for the 512-bit kernel template,
// shared by the tier's unit and the decode-bound benchmark so that the
// benchmark's ceiling measures exactly the kernels' decode. Include only from
// units compiled with AVX-512F/BW/VL and AVX-512-FP16; everything is in an
// unnamed namespace.
#pragma once

#include "kavo_trellis_cpu_zmm.h"

namespace kavo_cpu {
namespace {

struct DecodeFp16 {
  // A row's 32 states as words, so that the hash and the half add each take
  // the whole row at once and the sums fall out in lane order.
  static constexpr bool kWordStates = true;

  // The 32 sums of a row as half-precision words, lane l in word l. The
  // hash's two halves come from 16-bit products of the state (s < 2^16) and
  // the constant's halves: lo16 = lo16(s*cl) + dl, hi16 = hi16(s*cl) +
  // lo16(s*ch) + dh + the carry out of lo16. Three word multiplies stand in
  // for the four micro-ops of two 32-bit ones on the single 512-bit
  // multiply port, and no word shuffling is left to do.
  static __m512i sums(__m512i s) {
    constexpr uint32_t kC = 89226354u, kD = 64248484u;
    const __m512i cl = _mm512_set1_epi16(static_cast<short>(kC & 0xFFFF));
    const __m512i ch = _mm512_set1_epi16(static_cast<short>(kC >> 16));
    const __m512i dl = _mm512_set1_epi16(static_cast<short>(kD & 0xFFFF));
    const __m512i dh = _mm512_set1_epi16(static_cast<short>(kD >> 16));
    const __m512i lo = _mm512_add_epi16(_mm512_mullo_epi16(s, cl), dl);
    const __mmask32 carry = _mm512_cmplt_epu16_mask(lo, dl);
    __m512i hi = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_mulhi_epu16(s, cl), _mm512_mullo_epi16(s, ch)),
        dh);
    hi = _mm512_mask_sub_epi16(hi, carry, hi, _mm512_set1_epi16(-1));
    const __m512i mask = _mm512_set1_epi16(static_cast<short>(0x8FFF));
    const __m512i bits = _mm512_set1_epi16(0x3B60);
    const __m512i a = _mm512_xor_si512(_mm512_and_si512(lo, mask), bits);
    const __m512i b = _mm512_xor_si512(_mm512_and_si512(hi, mask), bits);
    return _mm512_castph_si512(
        _mm512_add_ph(_mm512_castsi512_ph(a), _mm512_castsi512_ph(b)));
  }

  static void lut_row(__m512i s, __m512& w0, __m512& w1) {
    w0 = zmm_lut_gather(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(s)));
    w1 = zmm_lut_gather(_mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(s, 1)));
  }

  static void decode_row(__m512i s, bool arith, __m512& w0, __m512& w1) {
    if (!arith) {
      lut_row(s, w0, w1);
      return;
    }
    const __m512i sb = sums(s);
    w0 = _mm512_cvtph_ps(_mm512_castsi512_si256(sb));
    w1 = _mm512_cvtph_ps(_mm512_extracti64x4_epi64(sb, 1));
  }

  static __m512i half_row(__m512i s, bool arith) {
    if (!arith) {
      __m512 w0, w1;
      lut_row(s, w0, w1);
      return zmm_join_halves(zmm_to_half(w0), zmm_to_half(w1));
    }
    return sums(s);
  }
};

}  // namespace
}  // namespace kavo_cpu
