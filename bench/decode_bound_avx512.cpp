#include "decode_bound.h"
#include "decode_bound_zmm.h"

namespace {

struct Avx512Decode {
  static __m512 arith(__m512i s) {
    const __m512i r = zmm_mix(s);
    const __m512 lo = _mm512_cvtph_ps(_mm512_cvtepi32_epi16(r));
    const __m512 hi =
        _mm512_cvtph_ps(_mm512_cvtepi32_epi16(_mm512_srli_epi32(r, 16)));
    return _mm512_cvtph_ps(
        _mm512_cvtps_ph(_mm512_add_ps(lo, hi), _MM_FROUND_TO_NEAREST_INT));
  }
};

}  // namespace

extern "C" float kavo_decode_bound_avx512(const uint32_t* states, int64_t n,
                                          int64_t reps, bool lut) {
  return lut ? zmm_run<Avx512Decode, true>(states, n, reps)
             : zmm_run<Avx512Decode, false>(states, n, reps);
}
