// The 512-bit trellis kernels, written once over a decode policy D and the
// bit width R. Included by the two 512-bit tier units, each compiled with its
// own instruction-set flags; everything here is in an unnamed namespace so
// that neither unit exports (or shares with baseline code) any of it.
//
// D is a stateless type with one operation,
//   static __m512 decode16(__m512i s, bool arith);
// taking 16 states (low 16 bits of each element) to their codebook values.
//
// The products keep four fused multiply-add chains per output row, fed in the
// visiting order of the layout and combined as (q0 + q1) + (q2 + q3): the same
// arithmetic as the 256-bit tier, so the two give identical bits.
#pragma once

// GCC 12's 512-bit intrinsics start from self-initialised "undefined"
// vectors, which -Wmaybe-uninitialized reports once inlined. The pragma
// covers only the intrinsic headers' own lines.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cstdint>

#include "kavo_trellis_cpu.h"
#include "kavo_trellis_layout.h"

namespace kavo_cpu {
namespace {

// Read once per kernel call: only DECODE_LUT selects the table.
inline bool zmm_use_arith() { return g_decode_variant != DECODE_LUT; }

inline __m512 zmm_lut_gather(__m512i idx) {
  return _mm512_i32gather_ps(idx, g_lut32, 4);
}

// Element e holds base + 2*(e mod 4): permuting a k-tile's 16 activations by
// zmm_pidx(0), (1), (8), (9) lines up columns c0, c0+1, c0+8, c0+9 with the
// lanes that own them (c0 = 2*(lane mod 4)).
inline __m512i zmm_pidx(int base) {
  return _mm512_add_epi32(
      _mm512_set1_epi32(base),
      _mm512_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6, 0, 2, 4, 6, 0, 2, 4, 6));
}

// Element e holds step*e + add.
inline __m512i zmm_iota(int step, int add) {
  return _mm512_setr_epi32(add, step + add, 2 * step + add, 3 * step + add,
                           4 * step + add, 5 * step + add, 6 * step + add,
                           7 * step + add, 8 * step + add, 9 * step + add,
                           10 * step + add, 11 * step + add, 12 * step + add,
                           13 * step + add, 14 * step + add, 15 * step + add);
}

inline __m512i zmm_u32(uint32_t v) {
  return _mm512_set1_epi32(static_cast<int>(v));
}

// Dword d of each of 16 lanes whose runs of R dwords lie back to back in v
// (lane e's run starts at dword R*e): a transpose by cross-vector permutes.
template <int R>
inline __m512i zmm_lane_dword(const __m512i* v, int d) {
  if constexpr (R == 1) {
    return v[0];
  } else if constexpr (R == 2) {
    return _mm512_permutex2var_epi32(v[0], zmm_iota(2, d), v[1]);
  } else if constexpr (R == 3) {
    // Lanes 0-7 read dwords 0..23 (v0, v1), lanes 8-15 dwords 24..47 (v1, v2).
    const __m512i a = _mm512_permutex2var_epi32(v[0], zmm_iota(3, d), v[1]);
    const __m512i b =
        _mm512_permutex2var_epi32(v[1], zmm_iota(3, d - 16), v[2]);
    return _mm512_mask_blend_epi32(0xFF00, a, b);
  } else {
    // Lanes 0-7 from (v0, v1), lanes 8-15 from (v2, v3); the permute reads
    // only the low five index bits, so one index vector serves both.
    const __m512i idx = zmm_iota(4, d);
    const __m512i a = _mm512_permutex2var_epi32(v[0], idx, v[1]);
    const __m512i b = _mm512_permutex2var_epi32(v[2], idx, v[3]);
    return _mm512_mask_blend_epi32(0xFF00, a, b);
  }
}

// The four chunks (one per slot) of lanes 16h .. 16h+15, zero-extended.
template <int R>
inline void zmm_lane_chunks(const uint16_t* buf, int h, __m512i* c) {
  __m512i v[R];
  for (int i = 0; i < R; ++i)
    v[i] = _mm512_loadu_si512(buf + 32 * R * h + 32 * i);
  if constexpr (R == 1) {
    const __m512i d0 = v[0];
    const __m512i m8 = zmm_u32(0xFFu);
    c[0] = _mm512_and_si512(d0, m8);
    c[1] = _mm512_and_si512(_mm512_srli_epi32(d0, 8), m8);
    c[2] = _mm512_and_si512(_mm512_srli_epi32(d0, 16), m8);
    c[3] = _mm512_srli_epi32(d0, 24);
  } else if constexpr (R == 2) {
    const __m512i d0 = zmm_lane_dword<R>(v, 0);
    const __m512i d1 = zmm_lane_dword<R>(v, 1);
    const __m512i m16 = zmm_u32(0xFFFFu);
    c[0] = _mm512_and_si512(d0, m16);
    c[1] = _mm512_srli_epi32(d0, 16);
    c[2] = _mm512_and_si512(d1, m16);
    c[3] = _mm512_srli_epi32(d1, 16);
  } else if constexpr (R == 3) {
    const __m512i d0 = zmm_lane_dword<R>(v, 0);
    const __m512i d1 = zmm_lane_dword<R>(v, 1);
    const __m512i d2 = zmm_lane_dword<R>(v, 2);
    const __m512i m24 = zmm_u32(0xFFFFFFu);
    c[0] = _mm512_and_si512(d0, m24);
    c[1] = _mm512_and_si512(
        _mm512_or_si512(_mm512_srli_epi32(d0, 24), _mm512_slli_epi32(d1, 8)),
        m24);
    c[2] = _mm512_and_si512(
        _mm512_or_si512(_mm512_srli_epi32(d1, 16), _mm512_slli_epi32(d2, 16)),
        m24);
    c[3] = _mm512_srli_epi32(d2, 8);
  } else {
    for (int t = 0; t < 4; ++t) c[t] = zmm_lane_dword<R>(v, t);
  }
}

// State J of every lane: the 16-bit window of (chunk << 16 | cont) that ends
// R*(8-J) bits above the bottom; windows reaching past bit 31 of the 32-bit
// form are taken from the chunk alone.
template <int R, int J>
inline void zmm_store_state(__m512i chunk, __m512i cont, uint32_t* out) {
  constexpr int sh = R * (8 - J);
  __m512i s;
  if constexpr (sh >= 16) {
    s = _mm512_srli_epi32(chunk, sh - 16);
  } else {
    s = _mm512_or_si512(_mm512_slli_epi32(chunk, 16 - sh),
                        _mm512_srli_epi32(cont, sh));
  }
  _mm512_store_si512(out, _mm512_and_si512(s, zmm_u32(0xFFFFu)));
}

// Vector form of unpack_group_states<R>: states[slot][j][l] for the group at
// buf. states must be 64-byte aligned.
template <int R>
inline void zmm_unpack_group(const uint16_t* buf, uint32_t (*states)[8][32]) {
  __m512i c[2][4];
  zmm_lane_chunks<R>(buf, 0, c[0]);
  zmm_lane_chunks<R>(buf, 1, c[1]);
  for (int t = 0; t < 4; ++t) {
    for (int h = 0; h < 2; ++h) {
      const __m512i self = c[h][t];
      const __m512i other = c[h ^ 1][t];
      // Chunks of lanes l+1 (and l+2), wrapping from lane 31 to lane 0.
      const __m512i n1 = _mm512_alignr_epi32(other, self, 1);
      __m512i cont;
      if constexpr (R == 1) {
        const __m512i n2 = _mm512_alignr_epi32(other, self, 2);
        cont = _mm512_or_si512(_mm512_slli_epi32(n1, 8), n2);
      } else if constexpr (R == 2) {
        cont = n1;
      } else if constexpr (R == 3) {
        cont = _mm512_srli_epi32(n1, 8);
      } else {
        cont = _mm512_srli_epi32(n1, 16);
      }
      uint32_t(*st)[32] = states[t];
      zmm_store_state<R, 0>(self, cont, st[0] + 16 * h);
      zmm_store_state<R, 1>(self, cont, st[1] + 16 * h);
      zmm_store_state<R, 2>(self, cont, st[2] + 16 * h);
      zmm_store_state<R, 3>(self, cont, st[3] + 16 * h);
      zmm_store_state<R, 4>(self, cont, st[4] + 16 * h);
      zmm_store_state<R, 5>(self, cont, st[5] + 16 * h);
      zmm_store_state<R, 6>(self, cont, st[6] + 16 * h);
      zmm_store_state<R, 7>(self, cont, st[7] + 16 * h);
    }
  }
}

inline __m512i zmm_load_state(const uint32_t (*st)[32], int j, int h) {
  return _mm512_load_si512(st[j] + 16 * h);
}

// Half-precision bits of 16 decoded values, zero-extended to 32 bits. Exact:
// every decoded value is a half-precision number.
inline __m512i zmm_half_bits(__m512 v) {
  return _mm512_cvtepu16_epi32(_mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
}

template <typename D, int R, bool Arith>
void zmm_decompress_body(const uint16_t* packed, uint16_t* W, int64_t m,
                         int64_t k) {
  const Geom g = Geom::make(m, k, R);
  const int64_t blocks = m / 32;
  alignas(64) uint32_t states[4][8][32];
  // Rows r and r+1 of a tile half come from lanes 4r .. 4r+7: dwords 0-3 of
  // the column pair vector (cols 0-7) then dwords 0-3 of cols 8-15, and so on.
  const __m512i rows01 =
      _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
  const __m512i rows23 = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13,
                                           14, 15, 28, 29, 30, 31);
  for (int64_t p = 0; p < blocks; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for (int w = 0; w < 32; ++w) {
      const int64_t nk = g.warp_k(w);
      for (int64_t ki = 0; ki < nk; ++ki) {
        const int64_t grp = warp_group(w, ki);
        zmm_unpack_group<R>(blk + grp * 64 * R, states);
        for (int subki = 0; subki < 2; ++subki) {
          for (int submi = 0; submi < 2; ++submi) {
            const int64_t k_tile = 32 * grp + 16 * subki;
            const int64_t m_tile = 32 * p + 16 * submi;
            const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
            for (int h = 0; h < 2; ++h) {
              __m512i hb[8];
              for (int j = 0; j < 8; ++j)
                hb[j] =
                    zmm_half_bits(D::decode16(zmm_load_state(st, j, h), Arith));
              // Column pairs: j = 0,1 (row r0, cols c0, c0+1), 2,3 (row r0+8),
              // 4,5 (row r0, cols c0+8, c0+9), 6,7 (row r0+8).
              __m512i pr[4];
              for (int q = 0; q < 4; ++q)
                pr[q] = _mm512_or_si512(hb[2 * q],
                                        _mm512_slli_epi32(hb[2 * q + 1], 16));
              for (int half = 0; half < 2; ++half) {
                const __m512i lo = pr[half];      // cols 0-7
                const __m512i hi = pr[half + 2];  // cols 8-15
                const __m512i r01 = _mm512_permutex2var_epi32(lo, rows01, hi);
                const __m512i r23 = _mm512_permutex2var_epi32(lo, rows23, hi);
                uint16_t* row0 = W + (m_tile + 4 * h + 8 * half) * k + k_tile;
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(row0),
                                    _mm512_castsi512_si256(r01));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(row0 + k),
                                    _mm512_extracti64x4_epi64(r01, 1));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(row0 + 2 * k),
                                    _mm512_castsi512_si256(r23));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(row0 + 3 * k),
                                    _mm512_extracti64x4_epi64(r23, 1));
              }
            }
          }
        }
      }
    }
  }
}

template <typename D, int R>
void zmm_decompress_impl(const uint16_t* packed, uint16_t* W, int64_t m,
                         int64_t k) {
  if (zmm_use_arith())
    zmm_decompress_body<D, R, true>(packed, W, m, k);
  else
    zmm_decompress_body<D, R, false>(packed, W, m, k);
}

// Writes rows 32p .. 32p+31 from acc[submi][half][h] (16 lanes each, four
// partial sums per row).
inline void zmm_finish_block(const float (*acc)[2][2][16], float* yb,
                             float wscale, bool accum) {
  for (int submi = 0; submi < 2; ++submi) {
    for (int half = 0; half < 2; ++half) {
      for (int h = 0; h < 2; ++h) {
        for (int rq = 0; rq < 4; ++rq) {
          const float* q4 = acc[submi][half][h] + 4 * rq;
          const float v = (q4[0] + q4[1]) + (q4[2] + q4[3]);
          const float s = v * wscale;
          float* o = yb + 16 * submi + 8 * half + 4 * h + rq;
          *o = accum ? *o + s : s;
        }
      }
    }
  }
}

template <typename D, int R, bool Arith>
void zmm_matvec_body(const uint16_t* packed, const float* x, float* y,
                     int64_t m, int64_t k, float wscale, bool accum,
                     int64_t blk_begin, int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  const __m512i px0 = zmm_pidx(0), px1 = zmm_pidx(1);
  const __m512i px2 = zmm_pidx(8), px3 = zmm_pidx(9);
  alignas(64) uint32_t states[4][8][32];
  alignas(64) float accbuf[2][2][2][16];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    // [submi][half][h]: kept in registers for the whole block.
    __m512 acc[2][2][2];
    for (auto& a : acc)
      for (auto& b : a)
        for (auto& c : b) c = _mm512_setzero_ps();
    for (int w = 0; w < 32; ++w) {
      const int64_t nk = g.warp_k(w);
      for (int64_t ki = 0; ki < nk; ++ki) {
        const int64_t grp = warp_group(w, ki);
        zmm_unpack_group<R>(blk + grp * 64 * R, states);
        for (int subki = 0; subki < 2; ++subki) {
          const __m512 xt = _mm512_loadu_ps(x + 32 * grp + 16 * subki);
          const __m512 xp0 = _mm512_permutexvar_ps(px0, xt);
          const __m512 xp1 = _mm512_permutexvar_ps(px1, xt);
          const __m512 xp2 = _mm512_permutexvar_ps(px2, xt);
          const __m512 xp3 = _mm512_permutexvar_ps(px3, xt);
          for (int submi = 0; submi < 2; ++submi) {
            const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
            for (int h = 0; h < 2; ++h) {
              __m512 ag = acc[submi][0][h];
              __m512 a8 = acc[submi][1][h];
              ag = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 0, h), Arith),
                                   xp0, ag);
              ag = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 1, h), Arith),
                                   xp1, ag);
              ag = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 4, h), Arith),
                                   xp2, ag);
              ag = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 5, h), Arith),
                                   xp3, ag);
              a8 = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 2, h), Arith),
                                   xp0, a8);
              a8 = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 3, h), Arith),
                                   xp1, a8);
              a8 = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 6, h), Arith),
                                   xp2, a8);
              a8 = _mm512_fmadd_ps(D::decode16(zmm_load_state(st, 7, h), Arith),
                                   xp3, a8);
              acc[submi][0][h] = ag;
              acc[submi][1][h] = a8;
            }
          }
        }
      }
    }
    for (int submi = 0; submi < 2; ++submi)
      for (int half = 0; half < 2; ++half)
        for (int h = 0; h < 2; ++h)
          _mm512_store_ps(accbuf[submi][half][h], acc[submi][half][h]);
    zmm_finish_block(accbuf, y + 32 * p, wscale, accum);
  }
}

template <typename D, int R>
void zmm_matvec_impl(const uint16_t* packed, const float* x, float* y,
                     int64_t m, int64_t k, float wscale, bool accum,
                     int64_t blk_begin, int64_t blk_end) {
  if (zmm_use_arith())
    zmm_matvec_body<D, R, true>(packed, x, y, m, k, wscale, accum, blk_begin,
                                blk_end);
  else
    zmm_matvec_body<D, R, false>(packed, x, y, m, k, wscale, accum, blk_begin,
                                 blk_end);
}

template <typename D, int R, bool Arith>
void zmm_matmul_body(const uint16_t* packed, const float* x, float* y,
                     int64_t B, int64_t m, int64_t k, float wscale, bool accum,
                     int64_t blk_begin, int64_t blk_end) {
  const Geom g = Geom::make(m, k, R);
  const __m512i px[4] = {zmm_pidx(0), zmm_pidx(1), zmm_pidx(8), zmm_pidx(9)};
  alignas(64) uint32_t states[4][8][32];
  alignas(64) float accbuf[8][2][2][2][16];
  // The permuted activations of one k-tile for every batch row, built once
  // and reused by the tile's four (submi, h) halves.
  alignas(64) float xpbuf[8][4][16];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for (int64_t b = 0; b < B; ++b)
      for (int i = 0; i < 8; ++i)
        _mm512_store_ps(&accbuf[b][0][0][0][0] + 16 * i, _mm512_setzero_ps());
    for (int w = 0; w < 32; ++w) {
      const int64_t nk = g.warp_k(w);
      for (int64_t ki = 0; ki < nk; ++ki) {
        const int64_t grp = warp_group(w, ki);
        zmm_unpack_group<R>(blk + grp * 64 * R, states);
        for (int subki = 0; subki < 2; ++subki) {
          const int64_t k_tile = 32 * grp + 16 * subki;
          for (int64_t b = 0; b < B; ++b) {
            const __m512 xt = _mm512_loadu_ps(x + b * k + k_tile);
            for (int i = 0; i < 4; ++i)
              _mm512_store_ps(xpbuf[b][i], _mm512_permutexvar_ps(px[i], xt));
          }
          for (int submi = 0; submi < 2; ++submi) {
            const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
            for (int h = 0; h < 2; ++h) {
              __m512 wv[8];
              for (int j = 0; j < 8; ++j)
                wv[j] = D::decode16(zmm_load_state(st, j, h), Arith);
              for (int64_t b = 0; b < B; ++b) {
                const __m512 xp0 = _mm512_load_ps(xpbuf[b][0]);
                const __m512 xp1 = _mm512_load_ps(xpbuf[b][1]);
                const __m512 xp2 = _mm512_load_ps(xpbuf[b][2]);
                const __m512 xp3 = _mm512_load_ps(xpbuf[b][3]);
                float* pg = accbuf[b][submi][0][h];
                float* p8 = accbuf[b][submi][1][h];
                __m512 ag = _mm512_load_ps(pg);
                __m512 a8 = _mm512_load_ps(p8);
                ag = _mm512_fmadd_ps(wv[0], xp0, ag);
                ag = _mm512_fmadd_ps(wv[1], xp1, ag);
                ag = _mm512_fmadd_ps(wv[4], xp2, ag);
                ag = _mm512_fmadd_ps(wv[5], xp3, ag);
                a8 = _mm512_fmadd_ps(wv[2], xp0, a8);
                a8 = _mm512_fmadd_ps(wv[3], xp1, a8);
                a8 = _mm512_fmadd_ps(wv[6], xp2, a8);
                a8 = _mm512_fmadd_ps(wv[7], xp3, a8);
                _mm512_store_ps(pg, ag);
                _mm512_store_ps(p8, a8);
              }
            }
          }
        }
      }
    }
    for (int64_t b = 0; b < B; ++b)
      zmm_finish_block(accbuf[b], y + b * m + 32 * p, wscale, accum);
  }
}

template <typename D, int R>
void zmm_matmul_impl(const uint16_t* packed, const float* x, float* y,
                     int64_t B, int64_t m, int64_t k, float wscale, bool accum,
                     int64_t blk_begin, int64_t blk_end) {
  if (zmm_use_arith())
    zmm_matmul_body<D, R, true>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                                blk_end);
  else
    zmm_matmul_body<D, R, false>(packed, x, y, B, m, k, wscale, accum,
                                 blk_begin, blk_end);
}

template <typename D>
void zmm_decompress(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k,
                    int R) {
  switch (R) {
    case 1: zmm_decompress_impl<D, 1>(packed, W, m, k); break;
    case 2: zmm_decompress_impl<D, 2>(packed, W, m, k); break;
    case 3: zmm_decompress_impl<D, 3>(packed, W, m, k); break;
    default: zmm_decompress_impl<D, 4>(packed, W, m, k); break;
  }
}

template <typename D>
void zmm_matvec(const uint16_t* packed, const float* x, float* y, int64_t m,
                int64_t k, int R, float wscale, bool accum, int64_t blk_begin,
                int64_t blk_end) {
  switch (R) {
    case 1:
      zmm_matvec_impl<D, 1>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    case 2:
      zmm_matvec_impl<D, 2>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    case 3:
      zmm_matvec_impl<D, 3>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    default:
      zmm_matvec_impl<D, 4>(packed, x, y, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
  }
}

template <typename D>
void zmm_matmul(const uint16_t* packed, const float* x, float* y, int64_t B,
                int64_t m, int64_t k, int R, float wscale, bool accum,
                int64_t blk_begin, int64_t blk_end) {
  switch (R) {
    case 1:
      zmm_matmul_impl<D, 1>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    case 2:
      zmm_matmul_impl<D, 2>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    case 3:
      zmm_matmul_impl<D, 3>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
    default:
      zmm_matmul_impl<D, 4>(packed, x, y, B, m, k, wscale, accum, blk_begin,
                            blk_end);
      break;
  }
}

}  // namespace
}  // namespace kavo_cpu
