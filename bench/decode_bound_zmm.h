// The 512-bit decode-bound loop: rows of 32 states decoded by a tier's own
// policy, in the layout its kernels keep (32-bit elements or words).
#pragma once

#include <cstdint>

#include "kavo_trellis_cpu_zmm.h"

namespace {

template <typename D, bool kArith>
float zmm_run(const uint32_t* states, const uint16_t* words, int64_t n,
              int64_t reps) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const __m512 x = _mm512_set1_ps(0.5f);
  for (int64_t r = 0; r < reps; ++r) {
    for (int64_t i = 0; i < n; i += 64) {
      __m512 w0, w1, w2, w3;
      if constexpr (D::kWordStates) {
        // A row of 32 words takes the room of 16 elements.
        const auto* row = reinterpret_cast<const uint32_t*>(words + i);
        kavo_cpu::zmm_decode_row<D, kArith>(row, w0, w1);
        kavo_cpu::zmm_decode_row<D, kArith>(row + 16, w2, w3);
      } else {
        kavo_cpu::zmm_decode_row<D, kArith>(states + i, w0, w1);
        kavo_cpu::zmm_decode_row<D, kArith>(states + i + 32, w2, w3);
      }
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
