#include "decode_bound.h"
#include "decode_bound_zmm.h"

namespace {

struct Fp16Decode {
  static __m512 arith(__m512i s) {
    const __m512i r = zmm_mix(s);
    const __m256h lo = _mm256_castsi256_ph(_mm512_cvtepi32_epi16(r));
    const __m256h hi =
        _mm256_castsi256_ph(_mm512_cvtepi32_epi16(_mm512_srli_epi32(r, 16)));
    return _mm512_cvtxph_ps(_mm256_add_ph(lo, hi));
  }
};

}  // namespace

extern "C" float kavo_decode_bound_fp16(const uint32_t* states, int64_t n,
                                        int64_t reps, bool lut) {
  return lut ? zmm_run<Fp16Decode, true>(states, n, reps)
             : zmm_run<Fp16Decode, false>(states, n, reps);
}
