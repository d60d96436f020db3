#include <immintrin.h>

#include "decode_bound.h"
#include "kavo_trellis_cpu.h"

namespace {

inline __m256 decode8(__m256i s, bool lut) {
  if (lut) return _mm256_i32gather_ps(kavo_cpu::g_lut32, s, 4);
  // The kernel's arithmetic decode: halves widened with integer operations,
  // summed exactly, rounded to fp16 precision with c - 2^13 x, c = x (2^13+1).
  const __m256i h =
      _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_set1_epi32(89226354)),
                       _mm256_set1_epi32(64248484));
  const __m256i keep = _mm256_set1_epi32(static_cast<int>(0x81FFE000u));
  const __m256i flip = _mm256_set1_epi32(0x3F6C0000);
  const __m256i hi = _mm256_srai_epi32(h, 3);
  const __m256i lo = _mm256_madd_epi16(h, _mm256_set1_epi32(1 << 13));
  const __m256 x = _mm256_add_ps(
      _mm256_castsi256_ps(_mm256_xor_si256(_mm256_and_si256(lo, keep), flip)),
      _mm256_castsi256_ps(_mm256_xor_si256(_mm256_and_si256(hi, keep), flip)));
  const __m256 c = _mm256_mul_ps(x, _mm256_set1_ps(8193.0f));
  return _mm256_fnmadd_ps(x, _mm256_set1_ps(8192.0f), c);
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
