// AVX2 tier: 256-bit kernels, eight lanes of a tile decoded per vector,
// products accumulated with fused multiply-add in four partial sums per row.
//
// This unit is compiled with -mavx2 -mfma -mf16c. Only avx2_kernels() may run
// before the tier is selected, so nothing here has a dynamic initialiser (the
// permutation constants are built inside the functions) and everything else
// has internal linkage.
#include <immintrin.h>

#include "kavo_trellis_cpu.h"
#include "kavo_trellis_layout.h"

namespace kavo_cpu {
namespace {

// ---------------------------------------------------------------------------
// Decode of eight states (zero-extended uint32) to their float values.

// The gather is written out so that its index register is fixed: an index
// in ymm4 shares its encoding with "no index" in plain SIB addressing, and
// some AVX2 emulators (user-mode QEMU 7.2) then read entry 0 for every lane.
// Real processors are unaffected; pinning the index (to ymm0) costs nothing
// there.
inline __m256 decode8_lut(__m256i idx) {
  __m256 mask = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  __m256 out;
  asm("vgatherdps %[mask], (%[base], %[idx], 4), %[out]"
      : [out] "=&x"(out), [mask] "+x"(mask)
      : [base] "r"(g_lut32), [idx] "Yz"(idx),
        "m"(*reinterpret_cast<const float(*)[65536]>(g_lut32)));
  return out;
}

inline __m256 decode8_arith(__m256i s) {
  const __m256i h =
      _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_set1_epi32(89226354)),
                       _mm256_set1_epi32(64248484));
  const __m256i r =
      _mm256_xor_si256(_mm256_and_si256(h, _mm256_set1_epi32(0x8FFF8FFF)),
                       _mm256_set1_epi32(0x3B603B60));
  // Narrow to 16-bit halves: per 128-bit lane, the four low halves then the
  // four high ones; the qword permute then puts all eight lo halves in the
  // low 128 bits and all eight hi halves in the high 128 bits.
  const __m256i split =
      _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15,  //
                       0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  const __m256i halves = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(r, split),
                                                  _MM_SHUFFLE(3, 1, 2, 0));
  const __m256 lo = _mm256_cvtph_ps(_mm256_castsi256_si128(halves));
  const __m256 hi = _mm256_cvtph_ps(_mm256_extracti128_si256(halves, 1));
  // The sum is exact; the one rounding is to fp16, always to nearest even.
  const __m256 sum = _mm256_add_ps(lo, hi);
  return _mm256_cvtph_ps(_mm256_cvtps_ph(sum, _MM_FROUND_TO_NEAREST_INT));
}

inline __m256 decode8(__m256i s, bool arith) {
  return arith ? decode8_arith(s) : decode8_lut(s);
}

// Read once per kernel call.
inline bool use_arith() { return g_decode_variant != DECODE_LUT; }

// ---------------------------------------------------------------------------
// Vector unpack of a group's states; fills exactly what
// unpack_group_states<R> fills.

// The four chunks (slots 0..3) of lanes 8q..8q+7, zero-extended, one vector
// per slot with lane 8q+e in element e. `lanes` is the group's word 16Rq.
template <int R>
inline void load_chunks8(const uint16_t* lanes, __m256i* c) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(lanes);
  if constexpr (R == 1) {
    // One 32-bit run per lane; chunk t is its byte t.
    const __m256i v =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i byte = _mm256_set1_epi32(0xFF);
    c[0] = _mm256_and_si256(v, byte);
    c[1] = _mm256_and_si256(_mm256_srli_epi32(v, 8), byte);
    c[2] = _mm256_and_si256(_mm256_srli_epi32(v, 16), byte);
    c[3] = _mm256_srli_epi32(v, 24);
  } else if constexpr (R == 2) {
    // Lanes are 8 bytes (four chunk words). Load lanes {e, e+1} beside
    // {e+4, e+5} so each 128-bit half transposes into the right elements.
    const __m256i ab =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bytes + 32),
                            reinterpret_cast<const __m128i*>(bytes));
    const __m256i cd =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bytes + 48),
                            reinterpret_cast<const __m128i*>(bytes + 16));
    // Per half: words 0 of both lanes, then words 1 (resp. 2, 3).
    const char z = -1;
    const __m256i w01 = _mm256_setr_epi8(  //
        0, 1, z, z, 8, 9, z, z, 2, 3, z, z, 10, 11, z, z, 0, 1, z, z, 8, 9, z,
        z, 2, 3, z, z, 10, 11, z, z);
    const __m256i w23 = _mm256_setr_epi8(  //
        4, 5, z, z, 12, 13, z, z, 6, 7, z, z, 14, 15, z, z, 4, 5, z, z, 12, 13,
        z, z, 6, 7, z, z, 14, 15, z, z);
    const __m256i ab01 = _mm256_shuffle_epi8(ab, w01);
    const __m256i cd01 = _mm256_shuffle_epi8(cd, w01);
    const __m256i ab23 = _mm256_shuffle_epi8(ab, w23);
    const __m256i cd23 = _mm256_shuffle_epi8(cd, w23);
    c[0] = _mm256_unpacklo_epi64(ab01, cd01);
    c[1] = _mm256_unpackhi_epi64(ab01, cd01);
    c[2] = _mm256_unpacklo_epi64(ab23, cd23);
    c[3] = _mm256_unpackhi_epi64(ab23, cd23);
  } else {
    // R = 3, 4: lane e in the low half and lane e+4 in the high half, four
    // 32-bit chunks each; a 4x4 transpose per half then yields the slots.
    // For R = 3 the 12-byte lanes are spread to 32-bit chunks by a byte
    // shuffle; the high-half lanes are loaded 4 bytes early so that no load
    // runs past the group.
    __m256i v[4];
    for (int e = 0; e < 4; ++e) {
      const int lo_off = 4 * R * e;
      const int hi_off = 4 * R * (e + 4) - (R == 3 ? 4 : 0);
      v[e] =
          _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bytes + hi_off),
                              reinterpret_cast<const __m128i*>(bytes + lo_off));
    }
    if constexpr (R == 3) {
      const char z = -1;
      const __m256i spread = _mm256_setr_epi8(               //
          0, 1, 2, z, 3, 4, 5, z, 6, 7, 8, z, 9, 10, 11, z,  //
          4, 5, 6, z, 7, 8, 9, z, 10, 11, 12, z, 13, 14, 15, z);
      for (int e = 0; e < 4; ++e) v[e] = _mm256_shuffle_epi8(v[e], spread);
    }
    const __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(v[0], v[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    c[0] = _mm256_unpacklo_epi64(t0, t2);
    c[1] = _mm256_unpackhi_epi64(t0, t2);
    c[2] = _mm256_unpacklo_epi64(t1, t3);
    c[3] = _mm256_unpackhi_epi64(t1, t3);
  }
}

// State j of eight lanes from their chunks `ch` and continuations `cont`:
// bits [R*(8-j), R*(8-j)+16) of ext = (ch << 16) | cont.
template <int R, int J>
inline __m256i lane_state8(__m256i ch, __m256i low) {
  constexpr int sh = R * (8 - J);
  const __m256i mask = _mm256_set1_epi32(0xFFFF);
  if constexpr (sh == 8 * R && sh >= 16) {
    return _mm256_srli_epi32(ch, sh - 16);  // the chunk's top 16 bits
  } else if constexpr (sh >= 16) {
    return _mm256_and_si256(_mm256_srli_epi32(ch, sh - 16), mask);
  } else {
    // `low` holds the low 32 bits of ext, which cover every window below.
    return _mm256_and_si256(_mm256_srli_epi32(low, sh), mask);
  }
}

template <int R>
inline void unpack_group_states_avx2(const uint16_t* buf,
                                     uint32_t (*states)[8][32]) {
  // Chunks per slot, lanes 0..31, then lanes 0..7 again so that the
  // continuation of lanes 24..31 is a plain unaligned load.
  alignas(32) uint32_t chunks[4][40];
  for (int q = 0; q < 4; ++q) {
    __m256i c[4];
    load_chunks8<R>(buf + 16 * R * q, c);
    for (int t = 0; t < 4; ++t) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(&chunks[t][8 * q]), c[t]);
      if (q == 0)
        _mm256_store_si256(reinterpret_cast<__m256i*>(&chunks[t][32]), c[t]);
    }
  }
  for (int t = 0; t < 4; ++t) {
    for (int q = 0; q < 4; ++q) {
      const uint32_t* cp = &chunks[t][8 * q];
      const __m256i ch =
          _mm256_load_si256(reinterpret_cast<const __m256i*>(cp));
      const __m256i n1 =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cp + 1));
      __m256i cont;
      if constexpr (R == 1) {
        const __m256i n2 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cp + 2));
        cont = _mm256_or_si256(_mm256_slli_epi32(n1, 8), n2);
      } else if constexpr (R == 2) {
        cont = n1;
      } else if constexpr (R == 3) {
        cont = _mm256_srli_epi32(n1, 8);
      } else {
        cont = _mm256_srli_epi32(n1, 16);
      }
      const __m256i low = _mm256_or_si256(_mm256_slli_epi32(ch, 16), cont);
      __m256i* out = reinterpret_cast<__m256i*>(&states[t][0][8 * q]);
      // states[t][j] rows are 32 words (4 vectors) apart.
      _mm256_store_si256(out + 0, lane_state8<R, 0>(ch, low));
      _mm256_store_si256(out + 4, lane_state8<R, 1>(ch, low));
      _mm256_store_si256(out + 8, lane_state8<R, 2>(ch, low));
      _mm256_store_si256(out + 12, lane_state8<R, 3>(ch, low));
      _mm256_store_si256(out + 16, lane_state8<R, 4>(ch, low));
      _mm256_store_si256(out + 20, lane_state8<R, 5>(ch, low));
      _mm256_store_si256(out + 24, lane_state8<R, 6>(ch, low));
      _mm256_store_si256(out + 28, lane_state8<R, 7>(ch, low));
    }
  }
}

inline __m256i load_states8(const uint32_t* p) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

// ---------------------------------------------------------------------------
// Kernels.

template <int R>
void decompress_impl(const uint16_t* packed, uint16_t* W, int64_t m,
                     int64_t k) {
  const Geom g = Geom::make(m, k, R);
  const bool arith = use_arith();
  const int64_t blocks = m / 32;
  alignas(32) uint32_t states[4][8][32];
  alignas(32) float dec[8][32];
  for (int64_t p = 0; p < blocks; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for_each_group(g, [&](int64_t j) {
      unpack_group_states_avx2<R>(blk + j * 64 * R, states);
      for (int subki = 0; subki < 2; ++subki) {
        for (int submi = 0; submi < 2; ++submi) {
          const int64_t k_tile = 32 * j + 16 * subki;
          const int64_t m_tile = 32 * p + 16 * submi;
          const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
          for (int jj = 0; jj < 8; ++jj)
            for (int q = 0; q < 4; ++q)
              _mm256_store_ps(&dec[jj][8 * q],
                              decode8(load_states8(&st[jj][8 * q]), arith));
          for (int l = 0; l < 32; ++l) {
            const int r0 = l >> 2, c0 = 2 * (l & 3);
            uint16_t* w00 = W + (m_tile + r0) * k + k_tile + c0;
            uint16_t* w80 = w00 + 8 * k;
            w00[0] = float_to_half_rn(dec[0][l]);
            w00[1] = float_to_half_rn(dec[1][l]);
            w80[0] = float_to_half_rn(dec[2][l]);
            w80[1] = float_to_half_rn(dec[3][l]);
            w00[8] = float_to_half_rn(dec[4][l]);
            w00[9] = float_to_half_rn(dec[5][l]);
            w80[8] = float_to_half_rn(dec[6][l]);
            w80[9] = float_to_half_rn(dec[7][l]);
          }
        }
      }
    });
  }
}

// The four operand vectors of a 16-column tile: element e holds x at tile
// column c0, c0+1, c0+8, c0+9 with c0 = 2*(e & 3).
inline void tile_operands(const float* xt, __m256* xp) {
  const __m256i pidx0 = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256i pidx1 = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
  const __m256 xlo = _mm256_loadu_ps(xt);
  const __m256 xhi = _mm256_loadu_ps(xt + 8);
  xp[0] = _mm256_permutevar8x32_ps(xlo, pidx0);
  xp[1] = _mm256_permutevar8x32_ps(xlo, pidx1);
  xp[2] = _mm256_permutevar8x32_ps(xhi, pidx0);
  xp[3] = _mm256_permutevar8x32_ps(xhi, pidx1);
}

// Both partial-sum chains of one (tile, q): rows 2q, 2q+1 (acc_top) and
// 2q+8, 2q+9 (acc_bot) of the tile.
inline void fma_tile_q(const __m256* d, const __m256* xp, float* acc_top,
                       float* acc_bot) {
  __m256 ag = _mm256_load_ps(acc_top);
  ag = _mm256_fmadd_ps(d[0], xp[0], ag);
  ag = _mm256_fmadd_ps(d[1], xp[1], ag);
  ag = _mm256_fmadd_ps(d[4], xp[2], ag);
  ag = _mm256_fmadd_ps(d[5], xp[3], ag);
  _mm256_store_ps(acc_top, ag);
  __m256 a8 = _mm256_load_ps(acc_bot);
  a8 = _mm256_fmadd_ps(d[2], xp[0], a8);
  a8 = _mm256_fmadd_ps(d[3], xp[1], a8);
  a8 = _mm256_fmadd_ps(d[6], xp[2], a8);
  a8 = _mm256_fmadd_ps(d[7], xp[3], a8);
  _mm256_store_ps(acc_bot, a8);
}

// Writes the 32 rows of one block from accbuf [submi][half][q][e].
inline void finish_block(const float (*acc)[2][4][8], float* yb, float wscale,
                         bool accum) {
  for (int submi = 0; submi < 2; ++submi) {
    for (int half = 0; half < 2; ++half) {
      for (int q = 0; q < 4; ++q) {
        const float* a = acc[submi][half][q];
        const float r_even = (a[0] + a[1]) + (a[2] + a[3]);
        const float r_odd = (a[4] + a[5]) + (a[6] + a[7]);
        const int row = 16 * submi + 8 * half + 2 * q;
        const float ve = r_even * wscale;
        const float vo = r_odd * wscale;
        if (accum) {
          yb[row] = yb[row] + ve;
          yb[row + 1] = yb[row + 1] + vo;
        } else {
          yb[row] = ve;
          yb[row + 1] = vo;
        }
      }
    }
  }
}

template <int R>
void matvec_impl(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  const bool arith = use_arith();
  alignas(32) uint32_t states[4][8][32];
  alignas(32) float accbuf[2][2][4][8];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    for (int i = 0; i < 2 * 2 * 4; ++i)
      _mm256_store_ps(&accbuf[0][0][0][0] + 8 * i, _mm256_setzero_ps());
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for_each_group(g, [&](int64_t j) {
      unpack_group_states_avx2<R>(blk + j * 64 * R, states);
      for (int subki = 0; subki < 2; ++subki) {
        __m256 xp[4];
        tile_operands(x + 32 * j + 16 * subki, xp);
        for (int submi = 0; submi < 2; ++submi) {
          const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
          for (int q = 0; q < 4; ++q) {
            __m256 d[8];
            for (int jj = 0; jj < 8; ++jj)
              d[jj] = decode8(load_states8(&st[jj][8 * q]), arith);
            fma_tile_q(d, xp, accbuf[submi][0][q], accbuf[submi][1][q]);
          }
        }
      }
    });
    finish_block(accbuf, y + 32 * p, wscale, accum);
  }
}

template <int R>
void matmul_impl(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  const bool arith = use_arith();
  alignas(32) uint32_t states[4][8][32];
  alignas(32) float accbuf[8][2][2][4][8];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    for (int64_t i = 0; i < B * 2 * 2 * 4; ++i)
      _mm256_store_ps(&accbuf[0][0][0][0][0] + 8 * i, _mm256_setzero_ps());
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for_each_group(g, [&](int64_t j) {
      unpack_group_states_avx2<R>(blk + j * 64 * R, states);
      for (int subki = 0; subki < 2; ++subki) {
        // Operands of every batch row for this tile column, formed once.
        __m256 xp[8][4];
        for (int64_t b = 0; b < B; ++b)
          tile_operands(x + b * k + 32 * j + 16 * subki, xp[b]);
        for (int submi = 0; submi < 2; ++submi) {
          const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
          for (int q = 0; q < 4; ++q) {
            __m256 w[8];
            for (int jj = 0; jj < 8; ++jj)
              w[jj] = decode8(load_states8(&st[jj][8 * q]), arith);
            for (int64_t b = 0; b < B; ++b)
              fma_tile_q(w, xp[b], accbuf[b][submi][0][q],
                         accbuf[b][submi][1][q]);
          }
        }
      }
    });
    for (int64_t b = 0; b < B; ++b)
      finish_block(accbuf[b], y + b * m + 32 * p, wscale, accum);
  }
}

void decompress_avx2(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k,
                     int R) {
  switch (R) {
    case 1: return decompress_impl<1>(packed, W, m, k);
    case 2: return decompress_impl<2>(packed, W, m, k);
    case 3: return decompress_impl<3>(packed, W, m, k);
    default: return decompress_impl<4>(packed, W, m, k);
  }
}

void matvec_avx2(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, int R, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end) {
  switch (R) {
    case 1:
      return matvec_impl<1>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
    case 2:
      return matvec_impl<2>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
    case 3:
      return matvec_impl<3>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
    default:
      return matvec_impl<4>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
  }
}

void matmul_avx2(const uint16_t* packed, const float* x, float* y, int64_t B,
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

const Kernels kAvx2 = {decompress_avx2, matvec_avx2, matmul_avx2};

}  // namespace

const Kernels* avx2_kernels() { return &kAvx2; }

}  // namespace kavo_cpu
