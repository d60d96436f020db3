// The 512-bit decode-bound loop over a decode of 2 x 16 states; included by
// the AVX-512 and AVX-512-FP16 units, each with its own decode. Pairs match
// the kernels, which decode two vectors of states at a time.
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

inline __m512i zmm_hash(__m512i s) {
  return _mm512_add_epi32(_mm512_mullo_epi32(s, _mm512_set1_epi32(89226354)),
                          _mm512_set1_epi32(64248484));
}

template <typename Decode, bool kLut>
float zmm_run(const uint32_t* states, int64_t n, int64_t reps) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const __m512 x = _mm512_set1_ps(0.5f);
  auto dec = [](const uint32_t* p, __m512& w0, __m512& w1) {
    const __m512i s0 = _mm512_load_si512(p), s1 = _mm512_load_si512(p + 16);
    if (kLut) {
      w0 = _mm512_i32gather_ps(s0, kavo_cpu::g_lut32, 4);
      w1 = _mm512_i32gather_ps(s1, kavo_cpu::g_lut32, 4);
    } else {
      Decode::arith2(s0, s1, w0, w1);
    }
  };
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 64) {
      __m512 w0, w1, w2, w3;
      dec(states + i, w0, w1);
      dec(states + i + 32, w2, w3);
      a0 = _mm512_fmadd_ps(w0, x, a0);
      a1 = _mm512_fmadd_ps(w1, x, a1);
      a2 = _mm512_fmadd_ps(w2, x, a2);
      a3 = _mm512_fmadd_ps(w3, x, a3);
    }
  }
  return _mm512_reduce_add_ps(
      _mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
}

}  // namespace
