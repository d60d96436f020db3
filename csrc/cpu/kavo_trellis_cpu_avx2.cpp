// AVX2 tier: 256-bit kernels, eight lanes of a tile decoded per vector,
// products accumulated with fused multiply-add in four partial sums per row.
//
// This unit is compiled with -mavx2 -mfma -mf16c. Only avx2_kernels() may run
// before the tier is selected, so nothing here has a dynamic initialiser (the
// permutation constants are built inside the functions) and everything else
// has internal linkage.
#include <immintrin.h>

#include "kavo_trellis_cpu.h"
#include "kavo_trellis_decode_avx2.h"
#include "kavo_trellis_layout.h"

namespace kavo_cpu {
namespace {

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

// The chunks of a group, transposed to one row of lanes per slot: lanes
// 0..31, then lanes 0..7 again so that the continuation of lanes 24..31 is a
// plain unaligned load.
template <int R>
inline void load_group_chunks(const uint16_t* buf, uint32_t (*chunks)[40]) {
  for (int q = 0; q < 4; ++q) {
    __m256i c[4];
    load_chunks8<R>(buf + 16 * R * q, c);
    for (int t = 0; t < 4; ++t) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(&chunks[t][8 * q]), c[t]);
      if (q == 0)
        _mm256_store_si256(reinterpret_cast<__m256i*>(&chunks[t][32]), c[t]);
    }
  }
}

// The eight states of lanes 8q..8q+7 of one slot, formed in registers as
// they are decoded (`cp` = &chunks[slot][8q]); unpack_group_states<R> would
// give the same values.
template <int R>
struct LaneStates8 {
  __m256i ch, low;

  explicit LaneStates8(const uint32_t* cp) {
    ch = _mm256_load_si256(reinterpret_cast<const __m256i*>(cp));
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
    low = _mm256_or_si256(_mm256_slli_epi32(ch, 16), cont);
  }

  template <int J>
  __m256i get() const {
    return lane_state8<R, J>(ch, low);
  }
};

// ---------------------------------------------------------------------------
// Kernels.

// fp16 bits of one (tile, q): lanes 8q+e hold rows 2q + (e >> 2) and
// 2q + 8 + (e >> 2) at columns 2(e & 3) + {0, 1, 8, 9}. Pairing states 0|4
// with 1|5 (resp. 2|6 with 3|7) in the two 128-bit halves, one 16-bit
// unpack yields a whole 16-column tile row.
template <int R, bool Arith>
inline void store_tile_q(const LaneStates8<R>& ls, uint16_t* w0, int64_t k) {
  const __m256i a04 =
      _mm256_set_m128i(decode8_half<Arith>(ls.template get<4>()),
                       decode8_half<Arith>(ls.template get<0>()));
  const __m256i a15 =
      _mm256_set_m128i(decode8_half<Arith>(ls.template get<5>()),
                       decode8_half<Arith>(ls.template get<1>()));
  const __m256i a26 =
      _mm256_set_m128i(decode8_half<Arith>(ls.template get<6>()),
                       decode8_half<Arith>(ls.template get<2>()));
  const __m256i a37 =
      _mm256_set_m128i(decode8_half<Arith>(ls.template get<7>()),
                       decode8_half<Arith>(ls.template get<3>()));
  auto row = [&](int r) { return reinterpret_cast<__m256i*>(w0 + r * k); };
  _mm256_storeu_si256(row(0), _mm256_unpacklo_epi16(a04, a15));
  _mm256_storeu_si256(row(1), _mm256_unpackhi_epi16(a04, a15));
  _mm256_storeu_si256(row(8), _mm256_unpacklo_epi16(a26, a37));
  _mm256_storeu_si256(row(9), _mm256_unpackhi_epi16(a26, a37));
}

template <int R, bool Arith>
void decompress_impl(const uint16_t* packed, uint16_t* W, int64_t m,
                     int64_t k) {
  const Geom g = Geom::make(m, k, R);
  const int64_t blocks = m / 32;
  alignas(32) uint32_t chunks[4][40];
  for (int64_t p = 0; p < blocks; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    // Decompress accumulates nothing, so groups go left to right: each tile
    // row is then written as one sequential run instead of 64-byte pieces
    // scattered by the visiting order.
    for (int64_t j = 0; j < k / 32; ++j) {
      load_group_chunks<R>(blk + j * 64 * R, chunks);
      for (int subki = 0; subki < 2; ++subki) {
        for (int submi = 0; submi < 2; ++submi) {
          const int64_t k_tile = 32 * j + 16 * subki;
          const int64_t m_tile = 32 * p + 16 * submi;
          const uint32_t* ct = chunks[kSlotMap[submi][subki]];
          for (int q = 0; q < 4; ++q)
            store_tile_q<R, Arith>(LaneStates8<R>(ct + 8 * q),
                                   W + (m_tile + 2 * q) * k + k_tile, k);
        }
      }
    }
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

template <int R, DecodePath Path>
void matvec_impl(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  alignas(32) uint32_t chunks[4][40];
  alignas(32) float accbuf[2][2][4][8];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    for (int i = 0; i < 2 * 2 * 4; ++i)
      _mm256_store_ps(&accbuf[0][0][0][0] + 8 * i, _mm256_setzero_ps());
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for_each_group(g, [&](int64_t j) {
      load_group_chunks<R>(blk + j * 64 * R, chunks);
      for (int subki = 0; subki < 2; ++subki) {
        __m256 xp[4];
        tile_operands(x + 32 * j + 16 * subki, xp);
        for (int submi = 0; submi < 2; ++submi) {
          const uint32_t* ct = chunks[kSlotMap[submi][subki]];
          for (int q = 0; q < 4; ++q) {
            const LaneStates8<R> ls(ct + 8 * q);
            float* top = accbuf[submi][0][q];
            float* bot = accbuf[submi][1][q];
            __m256 ag = _mm256_load_ps(top);
            ag =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<0>()), xp[0], ag);
            ag =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<1>()), xp[1], ag);
            ag =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<4>()), xp[2], ag);
            ag =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<5>()), xp[3], ag);
            _mm256_store_ps(top, ag);
            __m256 a8 = _mm256_load_ps(bot);
            a8 =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<2>()), xp[0], a8);
            a8 =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<3>()), xp[1], a8);
            a8 =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<6>()), xp[2], a8);
            a8 =
                _mm256_fmadd_ps(decode8<Path>(ls.template get<7>()), xp[3], a8);
            _mm256_store_ps(bot, a8);
          }
        }
      }
    });
    finish_block(accbuf, y + 32 * p, wscale, accum);
  }
}

// Decodes each weight of a group once into a buffer ([slot][q][j][lane e],
// 4 KiB), then runs every batch row over it with that row's 8 partial sums
// of a tile-row half (submi) and the row's operands in registers: each
// accumulator is loaded and stored once per group and every fused
// multiply-add takes its weight straight from the buffer. The decode of the
// next group is interleaved with the products of the previous one (two
// buffers), so that decode and multiply-add instructions share the
// scheduler. Per accumulator the order stays: groups, subki 0 then 1,
// states 0, 1, 4, 5 (rows 2q, 2q+1) or 2, 3, 6, 7 (rows 2q+8, 2q+9).
template <int R, DecodePath Path>
void matmul_impl(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end) {
  using WeightBuf = float[4][4][8][8];
  const Geom g = Geom::make(m, k, R);
  alignas(32) uint32_t chunks[4][40];
  alignas(32) WeightBuf wbuf[2];
  alignas(32) float accbuf[8][2][2][4][8];
  alignas(32) __m256 xops[8][2][4];

  // Decode unit u (slot u / 4, lanes 8(u % 4)..) of the group in `chunks`.
  auto decode_unit = [&](int u, WeightBuf& wb) {
    const LaneStates8<R> ls(chunks[u >> 2] + 8 * (u & 3));
    float(*w)[8] = wb[u >> 2][u & 3];
    _mm256_store_ps(w[0], decode8<Path>(ls.template get<0>()));
    _mm256_store_ps(w[1], decode8<Path>(ls.template get<1>()));
    _mm256_store_ps(w[2], decode8<Path>(ls.template get<2>()));
    _mm256_store_ps(w[3], decode8<Path>(ls.template get<3>()));
    _mm256_store_ps(w[4], decode8<Path>(ls.template get<4>()));
    _mm256_store_ps(w[5], decode8<Path>(ls.template get<5>()));
    _mm256_store_ps(w[6], decode8<Path>(ls.template get<6>()));
    _mm256_store_ps(w[7], decode8<Path>(ls.template get<7>()));
  };
  // Products of group j (weights in wb) for batch row b, tile-row half
  // submi.
  auto fma_rows = [&](const WeightBuf& wb, int64_t b, int submi) {
    float(*acc)[4][8] = accbuf[b][submi];
    __m256 at[4], ab[4];
    for (int q = 0; q < 4; ++q) {
      at[q] = _mm256_load_ps(acc[0][q]);
      ab[q] = _mm256_load_ps(acc[1][q]);
    }
    for (int subki = 0; subki < 2; ++subki) {
      const __m256 x0 = xops[b][subki][0], x1 = xops[b][subki][1];
      const __m256 x2 = xops[b][subki][2], x3 = xops[b][subki][3];
      const float(*wt)[8][8] = wb[kSlotMap[submi][subki]];
      for (int q = 0; q < 4; ++q) {
        const float(*w)[8] = wt[q];
        at[q] = _mm256_fmadd_ps(_mm256_load_ps(w[0]), x0, at[q]);
        at[q] = _mm256_fmadd_ps(_mm256_load_ps(w[1]), x1, at[q]);
        at[q] = _mm256_fmadd_ps(_mm256_load_ps(w[4]), x2, at[q]);
        at[q] = _mm256_fmadd_ps(_mm256_load_ps(w[5]), x3, at[q]);
        ab[q] = _mm256_fmadd_ps(_mm256_load_ps(w[2]), x0, ab[q]);
        ab[q] = _mm256_fmadd_ps(_mm256_load_ps(w[3]), x1, ab[q]);
        ab[q] = _mm256_fmadd_ps(_mm256_load_ps(w[6]), x2, ab[q]);
        ab[q] = _mm256_fmadd_ps(_mm256_load_ps(w[7]), x3, ab[q]);
      }
    }
    for (int q = 0; q < 4; ++q) {
      _mm256_store_ps(acc[0][q], at[q]);
      _mm256_store_ps(acc[1][q], ab[q]);
    }
  };
  auto load_operands = [&](int64_t j) {
    for (int64_t b = 0; b < B; ++b) {
      tile_operands(x + b * k + 32 * j, xops[b][0]);
      tile_operands(x + b * k + 32 * j + 16, xops[b][1]);
    }
  };

  for (int64_t p = blk_begin; p < blk_end; ++p) {
    for (int64_t i = 0; i < B * 2 * 2 * 4; ++i)
      _mm256_store_ps(&accbuf[0][0][0][0][0] + 8 * i, _mm256_setzero_ps());
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    int64_t prev = -1;  // group whose weights wait in wbuf[cur ^ 1]
    int cur = 0;
    for_each_group(g, [&](int64_t j) {
      load_group_chunks<R>(blk + j * 64 * R, chunks);
      int u = 0;
      if (prev >= 0) {
        load_operands(prev);
        for (int64_t b = 0; b < B; ++b) {
          for (int submi = 0; submi < 2; ++submi) {
            fma_rows(wbuf[cur ^ 1], b, submi);
            if (u < 16) decode_unit(u++, wbuf[cur]);
          }
        }
      }
      for (; u < 16; ++u) decode_unit(u, wbuf[cur]);
      prev = j;
      cur ^= 1;
    });
    load_operands(prev);
    for (int64_t b = 0; b < B; ++b)
      for (int submi = 0; submi < 2; ++submi) fma_rows(wbuf[cur ^ 1], b, submi);
    for (int64_t b = 0; b < B; ++b)
      finish_block(accbuf[b], y + b * m + 32 * p, wscale, accum);
  }
}

// Each entry point picks the instance for R (any other value: 4) and for the
// decode variant, read once per call.
template <int R>
void decompress_r(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k) {
  if (use_arith())
    decompress_impl<R, true>(packed, W, m, k);
  else
    decompress_impl<R, false>(packed, W, m, k);
}

template <int R>
void matvec_r(const uint16_t* packed, const float* x, float* y, int64_t m,
              int64_t k, float wscale, bool accum, int64_t blk_begin,
              int64_t blk_end) {
  switch (decode_path()) {
    case PATH_LUT:
      return matvec_impl<R, PATH_LUT>(packed, x, y, m, k, wscale, accum,
                                      blk_begin, blk_end);
    case PATH_ARITH_CVT:
      return matvec_impl<R, PATH_ARITH_CVT>(packed, x, y, m, k, wscale, accum,
                                            blk_begin, blk_end);
    default:
      return matvec_impl<R, PATH_ARITH_FMA>(packed, x, y, m, k, wscale, accum,
                                            blk_begin, blk_end);
  }
}

template <int R>
void matmul_r(const uint16_t* packed, const float* x, float* y, int64_t B,
              int64_t m, int64_t k, float wscale, bool accum, int64_t blk_begin,
              int64_t blk_end) {
  switch (decode_path()) {
    case PATH_LUT:
      return matmul_impl<R, PATH_LUT>(packed, x, y, B, m, k, wscale, accum,
                                      blk_begin, blk_end);
    case PATH_ARITH_CVT:
      return matmul_impl<R, PATH_ARITH_CVT>(packed, x, y, B, m, k, wscale,
                                            accum, blk_begin, blk_end);
    default:
      return matmul_impl<R, PATH_ARITH_FMA>(packed, x, y, B, m, k, wscale,
                                            accum, blk_begin, blk_end);
  }
}

void decompress_avx2(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k,
                     int R) {
  switch (R) {
    case 1: return decompress_r<1>(packed, W, m, k);
    case 2: return decompress_r<2>(packed, W, m, k);
    case 3: return decompress_r<3>(packed, W, m, k);
    default: return decompress_r<4>(packed, W, m, k);
  }
}

void matvec_avx2(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, int R, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end) {
  switch (R) {
    case 1:
      return matvec_r<1>(packed, x, y, m, k, wscale, accum, blk_begin, blk_end);
    case 2:
      return matvec_r<2>(packed, x, y, m, k, wscale, accum, blk_begin, blk_end);
    case 3:
      return matvec_r<3>(packed, x, y, m, k, wscale, accum, blk_begin, blk_end);
    default:
      return matvec_r<4>(packed, x, y, m, k, wscale, accum, blk_begin, blk_end);
  }
}

void matmul_avx2(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, int R, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end) {
  switch (R) {
    case 1:
      return matmul_r<1>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                         blk_end);
    case 2:
      return matmul_r<2>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                         blk_end);
    case 3:
      return matmul_r<3>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                         blk_end);
    default:
      return matmul_r<4>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                         blk_end);
  }
}

const Kernels kAvx2 = {decompress_avx2, matvec_avx2, matmul_avx2};

}  // namespace

const Kernels* avx2_kernels() { return &kAvx2; }

}  // namespace kavo_cpu
