// The 512-bit decode-bound loop over a decode of 32 states at a time (two
// vectors of 32-bit states, or one of words); included by the AVX-512 and
// AVX-512-FP16 units, each with its own decode, in the layout its kernels
// keep.
#pragma once

// GCC 12's 512-bit intrinsics start from self-initialised "undefined"
// vectors that -Wmaybe-uninitialized (or -Wuninitialized) reports once
// inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cstdint>

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
  // A word decode reads its 32 states as the first words of the buffer: the
  // values differ, the work does not.
  const uint16_t* words = reinterpret_cast<const uint16_t*>(states);
  auto dec = [&](int64_t i, __m512& w0, __m512& w1) {
    if constexpr (kLut) {
      w0 = _mm512_i32gather_ps(_mm512_load_si512(states + i), kavo_cpu::g_lut32,
                               4);
      w1 = _mm512_i32gather_ps(_mm512_load_si512(states + i + 16),
                               kavo_cpu::g_lut32, 4);
    } else if constexpr (Decode::kWords) {
      Decode::arith_words(_mm512_load_si512(words + i), w0, w1);
    } else {
      Decode::arith2(_mm512_load_si512(states + i),
                     _mm512_load_si512(states + i + 16), w0, w1);
    }
  };
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 64) {
      __m512 w0, w1, w2, w3;
      dec(i, w0, w1);
      dec(i + 32, w2, w3);
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
