#include <immintrin.h>

#include "decode_bound.h"
#include "kavo_trellis_cpu.h"

namespace {

inline __m256 decode8(__m256i s, bool lut) {
  if (lut) return _mm256_i32gather_ps(kavo_cpu::g_lut32, s, 4);
  const __m256i h =
      _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_set1_epi32(89226354)),
                       _mm256_set1_epi32(64248484));
  const __m256i r =
      _mm256_xor_si256(_mm256_and_si256(h, _mm256_set1_epi32(0x8FFF8FFF)),
                       _mm256_set1_epi32(0x3B603B60));
  const __m256i split =
      _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0,
                       1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m256i halves = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(r, split),
                                                  _MM_SHUFFLE(3, 1, 2, 0));
  const __m256 sum =
      _mm256_add_ps(_mm256_cvtph_ps(_mm256_castsi256_si128(halves)),
                    _mm256_cvtph_ps(_mm256_extracti128_si256(halves, 1)));
  return _mm256_cvtph_ps(_mm256_cvtps_ph(sum, _MM_FROUND_TO_NEAREST_INT));
}

template <bool kLut>
float run(const uint32_t* states, int64_t n, int64_t reps) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const __m256 x = _mm256_set1_ps(0.5f);
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 32) {
      auto ld = [&](int64_t o) {
        return _mm256_load_si256(
            reinterpret_cast<const __m256i*>(states + i + o));
      };
      a0 = _mm256_fmadd_ps(decode8(ld(0), kLut), x, a0);
      a1 = _mm256_fmadd_ps(decode8(ld(8), kLut), x, a1);
      a2 = _mm256_fmadd_ps(decode8(ld(16), kLut), x, a2);
      a3 = _mm256_fmadd_ps(decode8(ld(24), kLut), x, a3);
    }
  }
  alignas(32) float out[8];
  _mm256_store_ps(out,
                  _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  return out[0] + out[7];
}

}  // namespace

extern "C" float kavo_decode_bound_avx2(const uint32_t* states, int64_t n,
                                        int64_t reps, bool lut) {
  return lut ? run<true>(states, n, reps) : run<false>(states, n, reps);
}
