// The 512-bit decode-bound loop over a decode of 16 states; included by the
// AVX-512 and AVX-512-FP16 units, each with its own decode.
#pragma once

// GCC 12's 512-bit intrinsics start from self-initialised "undefined"
// vectors that -Wmaybe-uninitialized reports once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include "kavo_trellis_cpu.h"

namespace {

inline __m512i zmm_mix(__m512i s) {
  const __m512i h =
      _mm512_add_epi32(_mm512_mullo_epi32(s, _mm512_set1_epi32(89226354)),
                       _mm512_set1_epi32(64248484));
  return _mm512_xor_si512(_mm512_and_si512(h, _mm512_set1_epi32(0x8FFF8FFF)),
                          _mm512_set1_epi32(0x3B603B60));
}

template <typename Decode, bool kLut>
float zmm_run(const uint32_t* states, int64_t n, int64_t reps) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const __m512 x = _mm512_set1_ps(0.5f);
  auto dec = [](__m512i s) {
    if (kLut) return _mm512_i32gather_ps(s, kavo_cpu::g_lut32, 4);
    return Decode::arith(s);
  };
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 64) {
      a0 = _mm512_fmadd_ps(dec(_mm512_load_si512(states + i)), x, a0);
      a1 = _mm512_fmadd_ps(dec(_mm512_load_si512(states + i + 16)), x, a1);
      a2 = _mm512_fmadd_ps(dec(_mm512_load_si512(states + i + 32)), x, a2);
      a3 = _mm512_fmadd_ps(dec(_mm512_load_si512(states + i + 48)), x, a3);
    }
  }
  return _mm512_reduce_add_ps(
      _mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
}

}  // namespace
