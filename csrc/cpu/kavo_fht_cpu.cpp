// Normalised fast Walsh-Hadamard transform, applied block by block to rows.
// Plain float32 code for every processor; no tier takes part.
#include "kavo_fht_cpu.h"

#include <cmath>

namespace kavo_cpu {

void fht_inplace(float* x, int64_t n) {
  for (int64_t h = 1; h < n; h *= 2) {
    for (int64_t i0 = 0; i0 < n; i0 += 2 * h) {
      for (int64_t j = i0; j < i0 + h; ++j) {
        const float a = x[j], b = x[j + h];
        x[j] = a + b;
        x[j + h] = a - b;
      }
    }
  }
  const float r = static_cast<float>(std::sqrt(static_cast<double>(n)));
  for (int64_t i = 0; i < n; ++i) x[i] = x[i] / r;
}

void blockdiag_fht_rows(float* x, int64_t rows, int64_t n, const int* meta,
                        int64_t nblocks) {
  if (rows <= 0 || nblocks <= 0) return;
  for (int64_t r = 0; r < rows; ++r) {
    float* row = x + r * n;
    for (int64_t b = 0; b < nblocks; ++b) {
      const int64_t offset = meta[4 * b];
      const int64_t bs = meta[4 * b + 1];
      fht_inplace(row + offset, bs);
    }
  }
}

BlockCheck check_block_table(const int* meta, int64_t nblocks, int64_t n) {
  for (int64_t b = 0; b < nblocks; ++b) {
    const int64_t offset = meta[4 * b], bs = meta[4 * b + 1];
    if (bs <= 0) continue;
    if ((bs & (bs - 1)) != 0) return {b, BLOCK_NOT_POW2};
    if (offset < 0) return {b, BLOCK_NEG_OFFSET};
    if (offset + bs > n) return {b, BLOCK_PAST_END};
  }
  return {-1, BLOCK_OK};
}

}  // namespace kavo_cpu
