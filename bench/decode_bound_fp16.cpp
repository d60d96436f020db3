#include "decode_bound.h"
#include "decode_bound_zmm.h"

namespace {

// A vector of 32 word states, as the kernels keep them: the hash's halves
// come from 16-bit products (lo16 = lo16(s*cl) + dl, hi16 = hi16(s*cl) +
// lo16(s*ch) + dh + carry), one 32-wide half add sums them, and the sums come
// out in lane order.
struct Fp16Decode {
  static constexpr bool kWords = true;
  static void arith_words(__m512i s, __m512& w0, __m512& w1) {
    const __m512i cl =
        _mm512_set1_epi16(static_cast<short>(89226354u & 0xFFFF));
    const __m512i ch = _mm512_set1_epi16(static_cast<short>(89226354u >> 16));
    const __m512i dl =
        _mm512_set1_epi16(static_cast<short>(64248484u & 0xFFFF));
    const __m512i dh = _mm512_set1_epi16(static_cast<short>(64248484u >> 16));
    const __m512i lo = _mm512_add_epi16(_mm512_mullo_epi16(s, cl), dl);
    const __mmask32 carry = _mm512_cmplt_epu16_mask(lo, dl);
    __m512i hi = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_mulhi_epu16(s, cl), _mm512_mullo_epi16(s, ch)),
        dh);
    hi = _mm512_mask_sub_epi16(hi, carry, hi, _mm512_set1_epi16(-1));
    const __m512i m = _mm512_set1_epi16(static_cast<short>(0x8FFF));
    const __m512i k = _mm512_set1_epi16(0x3B60);
    const __m512i a = _mm512_xor_si512(_mm512_and_si512(lo, m), k);
    const __m512i b = _mm512_xor_si512(_mm512_and_si512(hi, m), k);
    const __m512i sb = _mm512_castph_si512(
        _mm512_add_ph(_mm512_castsi512_ph(a), _mm512_castsi512_ph(b)));
    w0 = _mm512_cvtph_ps(_mm512_castsi512_si256(sb));
    w1 = _mm512_cvtph_ps(_mm512_extracti64x4_epi64(sb, 1));
  }
};

}  // namespace

extern "C" float kavo_decode_bound_fp16(const uint32_t* states, int64_t n,
                                        int64_t reps, bool lut) {
  return lut ? zmm_run<Fp16Decode, true>(states, n, reps)
             : zmm_run<Fp16Decode, false>(states, n, reps);
}
