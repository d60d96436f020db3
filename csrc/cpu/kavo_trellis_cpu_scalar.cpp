// Portable reference kernels. Every product and every sum is a separate
// float32 operation in the bracketing written below; this unit is compiled
// with -ffp-contract=off so the compiler can neither fuse nor reorder them.
#include "kavo_trellis_cpu.h"
#include "kavo_trellis_layout.h"

namespace kavo_cpu {
namespace {

constexpr int kSlot[2][2] = {{0, 2}, {1, 3}};

template <int R>
inline void split_chunks(const uint16_t* buf, uint32_t (*chunks)[32]) {
  for (int l = 0; l < 32; ++l) {
    uint32_t c[4];
    lane_chunks<R>(buf, l, c);
    for (int t = 0; t < 4; ++t) chunks[t][l] = c[t];
  }
}

template <int R>
void decompress_impl(const uint16_t* packed, uint16_t* W, int64_t m,
                     int64_t k) {
  const Geom g = Geom::make(m, k, R);
  const int64_t blocks = m / 32;
  for (int64_t p = 0; p < blocks; ++p) {
    const uint16_t* blk = packed + p * g.weight_row_step;
    for_each_group(g, [&](int64_t j) {
      uint32_t chunks[4][32];
      split_chunks<R>(blk + j * 64 * R, chunks);
      for (int subki = 0; subki < 2; ++subki) {
        for (int submi = 0; submi < 2; ++submi) {
          const int64_t k_tile = 32 * j + 16 * subki;
          const int64_t m_tile = 32 * p + 16 * submi;
          const uint32_t* ch = chunks[kSlot[submi][subki]];
          for (int l = 0; l < 32; ++l) {
            uint16_t s[8];
            lane_states<R>(ch[l], lane_cont<R>(ch, l), s);
            const int r0 = l >> 2, c0 = 2 * (l & 3);
            uint16_t* w00 = W + (m_tile + r0) * k + k_tile + c0;
            uint16_t* w80 = w00 + 8 * k;
            w00[0] = g_lut16[s[0]];
            w00[1] = g_lut16[s[1]];
            w80[0] = g_lut16[s[2]];
            w80[1] = g_lut16[s[3]];
            w00[8] = g_lut16[s[4]];
            w00[9] = g_lut16[s[5]];
            w80[8] = g_lut16[s[6]];
            w80[9] = g_lut16[s[7]];
          }
        }
      }
    });
  }
}

// Adds one tile's contribution for B activation rows into acc[b][16*submi..].
// With B = 1 this is exactly the matrix-vector step.
template <int R>
inline void tile_rows(const uint32_t* ch, const float* x, int64_t xstride,
                      int64_t B, int64_t co_base, int submi, float (*acc)[32]) {
  for (int l = 0; l < 32; ++l) {
    uint16_t s[8];
    lane_states<R>(ch[l], lane_cont<R>(ch, l), s);
    const float w0 = g_lut32[s[0]], w1 = g_lut32[s[1]], w2 = g_lut32[s[2]],
                w3 = g_lut32[s[3]], w4 = g_lut32[s[4]], w5 = g_lut32[s[5]],
                w6 = g_lut32[s[6]], w7 = g_lut32[s[7]];
    const int gi = 16 * submi + (l >> 2);
    const int64_t co = co_base + 2 * (l & 3);
    for (int64_t b = 0; b < B; ++b) {
      const float* xc = x + b * xstride + co;
      acc[b][gi] =
          acc[b][gi] + (((w0 * xc[0] + w1 * xc[1]) + w4 * xc[8]) + w5 * xc[9]);
      acc[b][gi + 8] = acc[b][gi + 8] +
                       (((w2 * xc[0] + w3 * xc[1]) + w6 * xc[8]) + w7 * xc[9]);
    }
  }
}

template <int R>
void matmul_impl(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    float acc[8][32];
    for (int64_t b = 0; b < B; ++b)
      for (int r = 0; r < 32; ++r) acc[b][r] = 0.0f;
    const uint16_t* blk = packed + p * g.weight_row_step;
    for_each_group(g, [&](int64_t j) {
      uint32_t chunks[4][32];
      split_chunks<R>(blk + j * 64 * R, chunks);
      for (int subki = 0; subki < 2; ++subki)
        for (int submi = 0; submi < 2; ++submi)
          tile_rows<R>(chunks[kSlot[submi][subki]], x, k, B,
                       32 * j + 16 * subki, submi, acc);
    });
    for (int64_t b = 0; b < B; ++b) {
      float* yp = y + b * m + 32 * p;
      for (int r = 0; r < 32; ++r) {
        const float v = acc[b][r] * wscale;
        yp[r] = accum ? yp[r] + v : v;
      }
    }
  }
}

// The matrix-vector kernel is the one-row case of the batch kernel: the
// sequence of operations per output element is identical, and m is not read
// when B = 1.
template <int R>
void matvec_impl(const uint16_t* packed, const float* x, float* y, int64_t k,
                 float wscale, bool accum, int64_t blk_begin, int64_t blk_end) {
  matmul_impl<R>(packed, x, y, 1, 0, k, wscale, accum, blk_begin, blk_end);
}

void decompress_scalar(const uint16_t* packed, uint16_t* W, int64_t m,
                       int64_t k, int R) {
  switch (R) {
    case 1: return decompress_impl<1>(packed, W, m, k);
    case 2: return decompress_impl<2>(packed, W, m, k);
    case 3: return decompress_impl<3>(packed, W, m, k);
    default: return decompress_impl<4>(packed, W, m, k);
  }
}

void matvec_scalar(const uint16_t* packed, const float* x, float* y,
                   int64_t /*m*/, int64_t k, int R, float wscale, bool accum,
                   int64_t blk_begin, int64_t blk_end) {
  switch (R) {
    case 1:
      return matvec_impl<1>(packed, x, y, k, wscale, accum, blk_begin, blk_end);
    case 2:
      return matvec_impl<2>(packed, x, y, k, wscale, accum, blk_begin, blk_end);
    case 3:
      return matvec_impl<3>(packed, x, y, k, wscale, accum, blk_begin, blk_end);
    default:
      return matvec_impl<4>(packed, x, y, k, wscale, accum, blk_begin, blk_end);
  }
}

void matmul_scalar(const uint16_t* packed, const float* x, float* y, int64_t B,
                   int64_t m, int64_t k, int R, float wscale, bool accum,
                   int64_t blk_begin, int64_t blk_end) {
  switch (R) {
    case 1:
      return matmul_impl<1>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
    case 2:
      return matmul_impl<2>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
    case 3:
      return matmul_impl<3>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
    default:
      return matmul_impl<4>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
  }
}

constexpr Kernels kScalar = {decompress_scalar, matvec_scalar, matmul_scalar};

}  // namespace

const Kernels* scalar_kernels() { return &kScalar; }

}  // namespace kavo_cpu
