// The AVX2 decode-bound loop, over the tier's own decode.
#include "decode_bound.h"
#include "kavo_trellis_decode_avx2.h"

namespace {

using kavo_cpu::DecodePath;

template <DecodePath P>
float run(const uint32_t* states, int64_t n, int64_t reps) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const __m256 x = _mm256_set1_ps(0.5f);
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 32) {
      auto dec = [&](int64_t o) {
        return kavo_cpu::decode8<P>(_mm256_load_si256(
            reinterpret_cast<const __m256i*>(states + i + o)));
      };
      a0 = _mm256_fmadd_ps(dec(0), x, a0);
      a1 = _mm256_fmadd_ps(dec(8), x, a1);
      a2 = _mm256_fmadd_ps(dec(16), x, a2);
      a3 = _mm256_fmadd_ps(dec(24), x, a3);
    }
  }
  alignas(32) float out[8];
  _mm256_store_ps(out,
                  _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  return out[0] + out[7];
}

}  // namespace

extern "C" float kavo_decode_bound_avx2(const uint32_t* states,
                                        const uint16_t* /*words*/, int64_t n,
                                        int64_t reps, bool lut) {
  return lut ? run<kavo_cpu::PATH_LUT>(states, n, reps)
             : run<kavo_cpu::PATH_ARITH_FMA>(states, n, reps);
}
