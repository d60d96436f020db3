#include "decode_bound.h"
#include "decode_bound_zmm.h"

namespace {

// Both halves are built as float32 bits straight from the hash (each is a
// normal half with biased exponent 12..15), added exactly, and the sum is
// rounded to 11 significant bits as x*8193 - x*8192 (the second step fused).
struct Avx512Decode {
  static constexpr bool kWords = false;
  static constexpr int kRn = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  static __m512 arith(__m512i s) {
    const __m512i h = zmm_hash(s);
    const __m512i mask = _mm512_set1_epi32(static_cast<int>(0x81FFE000u));
    const __m512i bias = _mm512_set1_epi32(0x3F6C0000);
    const __m512i hi =
        _mm512_xor_si512(_mm512_and_si512(_mm512_srai_epi32(h, 3), mask), bias);
    const __m512i lo = _mm512_xor_si512(
        _mm512_and_si512(_mm512_srai_epi32(_mm512_slli_epi32(h, 16), 3), mask),
        bias);
    const __m512 sum = _mm512_add_round_ps(_mm512_castsi512_ps(hi),
                                           _mm512_castsi512_ps(lo), kRn);
    const __m512 c = _mm512_mul_round_ps(sum, _mm512_set1_ps(8193.0f), kRn);
    return _mm512_fmadd_round_ps(sum, _mm512_set1_ps(-8192.0f), c, kRn);
  }
  static void arith2(__m512i s0, __m512i s1, __m512& w0, __m512& w1) {
    w0 = arith(s0);
    w1 = arith(s1);
  }
};

}  // namespace

extern "C" float kavo_decode_bound_avx512(const uint32_t* states, int64_t n,
                                          int64_t reps, bool lut) {
  return lut ? zmm_run<Avx512Decode, true>(states, n, reps)
             : zmm_run<Avx512Decode, false>(states, n, reps);
}
