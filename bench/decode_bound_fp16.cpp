#include "decode_bound.h"
#include "decode_bound_zmm.h"

namespace {

// Two vectors of states, s0 for even lanes and s1 for odd ones, share the
// narrowing: word blends interleave their low halves and their high halves,
// one 32-wide half add sums them, and the sums come out in lane order.
struct Fp16Decode {
  static void arith2(__m512i s0, __m512i s1, __m512& w0, __m512& w1) {
    const __m512i h0 = zmm_hash(s0), h1 = zmm_hash(s1);
    const __m512i m = _mm512_set1_epi32(static_cast<int>(0x8FFF8FFFu));
    const __m512i k = _mm512_set1_epi32(0x3B603B60);
    const __m512i lo = _mm512_xor_si512(
        _mm512_and_si512(
            _mm512_mask_blend_epi16(0xAAAAAAAAu, h0, _mm512_slli_epi32(h1, 16)),
            m),
        k);
    const __m512i hi = _mm512_xor_si512(
        _mm512_and_si512(
            _mm512_mask_blend_epi16(0xAAAAAAAAu, _mm512_srli_epi32(h0, 16), h1),
            m),
        k);
    const __m512i sb = _mm512_castph_si512(
        _mm512_add_ph(_mm512_castsi512_ph(lo), _mm512_castsi512_ph(hi)));
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
