// The 512-bit trellis kernels, written once over a decode policy D and the
// bit width R. Included by the two 512-bit tier units, each compiled with its
// own instruction-set flags; everything here is in an unnamed namespace so
// that neither unit exports (or shares with baseline code) any of it.
//
// D is a stateless type that decodes one row j of a tile (the 32 lanes'
// states) at a time:
//   static constexpr bool kWordStates;
//     false: the row's states are held as two vectors of 32-bit elements,
//     lanes 0-15 (s0) then 16-31 (s1);
//     true: as one vector of 16-bit words in lane order (what a decode that
//     works on words wants); the s1 arguments below are then absent;
//   static void decode_row(__m512i s0, __m512i s1, bool arith,
//                          __m512& w0, __m512& w1);
//     the codebook values of lanes 0-15 (w0) and 16-31 (w1);
//   static __m512i half_row(__m512i s0, __m512i s1, bool arith);
//     the same values as 32 half-precision words in lane order.
//
// The products keep four fused multiply-add chains per output row, fed in the
// visiting order of the layout and combined as (q0 + q1) + (q2 + q3): the same
// arithmetic as the 256-bit tier, so the two give identical bits.
#pragma once

// GCC 12's 512-bit intrinsics start from self-initialised "undefined"
// vectors, which -Wmaybe-uninitialized (or, in a helper that is not inlined,
// -Wuninitialized) reports. The pragma covers only the intrinsic headers'
// own lines.
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

// Word e holds 2*e + add.
inline __m512i zmm_iota16(int add) {
  return _mm512_add_epi16(
      _mm512_set1_epi16(static_cast<short>(add)),
      _mm512_set_epi16(62, 60, 58, 56, 54, 52, 50, 48, 46, 44, 42, 40, 38, 36,
                       34, 32, 30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6,
                       4, 2, 0));
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

// Shared decode pieces. h = s * 89226354 + 64248484 (mod 2^32).
inline __m512i zmm_hash(__m512i s) {
  return _mm512_add_epi32(_mm512_mullo_epi32(s, zmm_u32(89226354u)),
                          zmm_u32(64248484u));
}

// 16 decoded values as half-precision words. Exact: every decoded value is a
// half-precision number.
inline __m256i zmm_to_half(__m512 v) {
  return _mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT);
}

inline __m512i zmm_join_halves(__m256i lo, __m256i hi) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// State J of every lane from lo = (chunk << 16 | cont) mod 2^32 and hi =
// chunk: the 16-bit window of chunk << 16 | cont that ends R*(8-J) bits above
// the bottom. Windows reaching past bit 31 of lo come from the chunk alone.
// The mask is skipped where the shift already leaves only 16 bits.
template <int R, int J>
inline __m512i zmm_state(__m512i hi, __m512i lo) {
  constexpr int sh = R * (8 - J);
  constexpr int lo_bits = 16 + (8 * R < 16 ? 8 * R : 16);
  if constexpr (sh > 16) {
    const __m512i s = _mm512_srli_epi32(hi, sh - 16);
    return sh == 8 * R ? s : _mm512_and_si512(s, zmm_u32(0xFFFFu));
  } else {
    const __m512i s = _mm512_srli_epi32(lo, sh);
    return sh + 16 >= lo_bits ? s : _mm512_and_si512(s, zmm_u32(0xFFFFu));
  }
}

template <int R>
inline void zmm_store_states(__m512i hi, __m512i lo, uint32_t (*st)[32],
                             int off) {
  _mm512_store_si512(st[0] + off, zmm_state<R, 0>(hi, lo));
  _mm512_store_si512(st[1] + off, zmm_state<R, 1>(hi, lo));
  _mm512_store_si512(st[2] + off, zmm_state<R, 2>(hi, lo));
  _mm512_store_si512(st[3] + off, zmm_state<R, 3>(hi, lo));
  _mm512_store_si512(st[4] + off, zmm_state<R, 4>(hi, lo));
  _mm512_store_si512(st[5] + off, zmm_state<R, 5>(hi, lo));
  _mm512_store_si512(st[6] + off, zmm_state<R, 6>(hi, lo));
  _mm512_store_si512(st[7] + off, zmm_state<R, 7>(hi, lo));
}

// State J of all 32 lanes as words in lane order, from hi/lo of lanes 0-15
// (index 0) and 16-31 (index 1). The word permute truncates, so no mask is
// needed, and a window that is a whole high word needs no shift either.
template <int R, int J>
inline __m512i zmm_state_words(const __m512i* hi, const __m512i* lo) {
  constexpr int sh = R * (8 - J);
  constexpr bool from_hi = sh > 16;
  constexpr int bit = from_hi ? sh - 16 : sh;
  const __m512i* src = from_hi ? hi : lo;
  const __m512i words = zmm_iota16(bit == 16 ? 1 : 0);
  if constexpr (bit == 16 || bit == 0)
    return _mm512_permutex2var_epi16(src[0], words, src[1]);
  else
    return _mm512_permutex2var_epi16(_mm512_srli_epi32(src[0], bit), words,
                                     _mm512_srli_epi32(src[1], bit));
}

template <int R>
inline void zmm_store_state_words(const __m512i* hi, const __m512i* lo,
                                  uint32_t (*st)[32]) {
  _mm512_store_si512(st[0], zmm_state_words<R, 0>(hi, lo));
  _mm512_store_si512(st[1], zmm_state_words<R, 1>(hi, lo));
  _mm512_store_si512(st[2], zmm_state_words<R, 2>(hi, lo));
  _mm512_store_si512(st[3], zmm_state_words<R, 3>(hi, lo));
  _mm512_store_si512(st[4], zmm_state_words<R, 4>(hi, lo));
  _mm512_store_si512(st[5], zmm_state_words<R, 5>(hi, lo));
  _mm512_store_si512(st[6], zmm_state_words<R, 6>(hi, lo));
  _mm512_store_si512(st[7], zmm_state_words<R, 7>(hi, lo));
}

// Vector form of unpack_group_states<R> for the group at buf. Row j of slot t
// is held in states[t][j] as lanes 0-31 or, with Words, as 32 words in its
// first 64 bytes. states must be 64-byte aligned.
template <int R, bool Words>
inline void zmm_unpack_group(const uint16_t* buf, uint32_t (*states)[8][32]) {
  __m512i c[2][4];
  zmm_lane_chunks<R>(buf, 0, c[0]);
  zmm_lane_chunks<R>(buf, 1, c[1]);
  for (int t = 0; t < 4; ++t) {
    __m512i lo[2], hi[2];
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
      lo[h] = _mm512_or_si512(_mm512_slli_epi32(self, 16), cont);
      hi[h] = self;
    }
    if constexpr (Words) {
      zmm_store_state_words<R>(hi, lo, states[t]);
    } else {
      zmm_store_states<R>(hi[0], lo[0], states[t], 0);
      zmm_store_states<R>(hi[1], lo[1], states[t], 16);
    }
  }
}

template <typename D, bool Arith>
inline void zmm_decode_row(const uint32_t* row, __m512& w0, __m512& w1) {
  if constexpr (D::kWordStates)
    D::decode_row(_mm512_load_si512(row), Arith, w0, w1);
  else
    D::decode_row(_mm512_load_si512(row), _mm512_load_si512(row + 16), Arith,
                  w0, w1);
}

// Tile rows 8*half + {0, 2}, {1, 3}, {4, 6}, {5, 7} of one tile, 16 words
// each, as four vectors of two rows. Rows j = 2*half + {0, 1} hold columns
// c0, c0+1 and rows j + 4 columns c0+8, c0+9; after interleaving j, j+1 (and
// j+4, j+5) word by word, 128-bit lane q holds tile row 2q (unpacklo) or
// 2q+1 (unpackhi), columns 0-7 (and 8-15).
template <typename D, bool Arith>
inline void zmm_tile_rows(const uint32_t (*st)[32], int half, __m512i* out) {
  const int j = 2 * half;
  auto row = [&](int i) {
    if constexpr (D::kWordStates)
      return D::half_row(_mm512_load_si512(st[i]), Arith);
    else
      return D::half_row(_mm512_load_si512(st[i]),
                         _mm512_load_si512(st[i] + 16), Arith);
  };
  const __m512i h0 = row(j), h1 = row(j + 1), h4 = row(j + 4), h5 = row(j + 5);
  const __m512i a_lo = _mm512_unpacklo_epi16(h0, h1);
  const __m512i a_hi = _mm512_unpackhi_epi16(h0, h1);
  const __m512i b_lo = _mm512_unpacklo_epi16(h4, h5);
  const __m512i b_hi = _mm512_unpackhi_epi16(h4, h5);
  const __m512i rows_a = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i rows_b = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  out[0] = _mm512_permutex2var_epi64(a_lo, rows_a, b_lo);
  out[1] = _mm512_permutex2var_epi64(a_hi, rows_a, b_hi);
  out[2] = _mm512_permutex2var_epi64(a_lo, rows_b, b_lo);
  out[3] = _mm512_permutex2var_epi64(a_hi, rows_b, b_hi);
}

// One 64-byte line of W. Streaming stores bypass the caches: a large W
// would only evict everything else on its way out, and a full-line streaming
// store skips the read a regular store's line fill costs.
template <bool Stream>
inline void zmm_store_line(uint16_t* dst, __m512i v) {
  if constexpr (Stream)
    _mm512_stream_si512(reinterpret_cast<__m512i*>(dst), v);
  else
    _mm512_storeu_si512(dst, v);
}

// The 8 lines (64 bytes each) that rows 8*half .. 8*half+7 of tile row
// submi take from one group: line[q] is row 4*(q/2) + q%2 and line[q + 4]
// the row two below it.
template <typename D, bool Arith>
inline void zmm_group_lines(const uint32_t (*states)[8][32], int submi,
                            int half, __m512i* line) {
  __m512i a[4], b[4];
  zmm_tile_rows<D, Arith>(states[kSlotMap[submi][0]], half, a);
  zmm_tile_rows<D, Arith>(states[kSlotMap[submi][1]], half, b);
  for (int q = 0; q < 4; ++q) {
    line[q] = _mm512_shuffle_i64x2(a[q], b[q], 0x44);
    line[q + 4] = _mm512_shuffle_i64x2(a[q], b[q], 0xEE);
  }
}

// The order of groups does not matter here, so they are taken left to right
// two at a time: each row gets 128 contiguous bytes at once, which the
// memory system drains at nearly twice the rate of lone 64-byte lines
// scattered over 32 rows.
template <typename D, int R, bool Arith, bool Stream>
void zmm_decompress_body(const uint16_t* packed, uint16_t* W, int64_t m,
                         int64_t k) {
  const Geom g = Geom::make(m, k, R);
  const int64_t blocks = m / 32;
  alignas(64) uint32_t states[2][4][8][32];
  for (int64_t p = 0; p < blocks; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for (int64_t grp = 0; grp < k / 32; grp += 2) {
      for (int i = 0; i < 2; ++i)
        zmm_unpack_group<R, D::kWordStates>(blk + (grp + i) * 64 * R,
                                            states[i]);
      for (int submi = 0; submi < 2; ++submi) {
        uint16_t* row0 = W + (32 * p + 16 * submi) * k + 32 * grp;
        for (int half = 0; half < 2; ++half) {
          __m512i l0[8], l1[8];
          zmm_group_lines<D, Arith>(states[0], submi, half, l0);
          zmm_group_lines<D, Arith>(states[1], submi, half, l1);
          for (int q = 0; q < 8; ++q) {
            uint16_t* dst =
                row0 + (8 * half + 4 * ((q % 4) / 2) + q % 2 + 2 * (q / 4)) * k;
            zmm_store_line<Stream>(dst, l0[q]);
            zmm_store_line<Stream>(dst + 32, l1[q]);
          }
        }
      }
    }
  }
}

// Outputs above this many bytes are streamed: they would not stay in the
// private caches anyway, and caching them only evicts the caller's data.
constexpr int64_t kZmmStreamBytes = int64_t{1} << 20;

template <typename D, int R, bool Arith>
void zmm_decompress_store(const uint16_t* packed, uint16_t* W, int64_t m,
                          int64_t k) {
  // Every line store is aligned when W and the row pitch are.
  const bool stream = reinterpret_cast<uintptr_t>(W) % 64 == 0 && k % 32 == 0 &&
                      m * k * 2 > kZmmStreamBytes;
  if (stream) {
    zmm_decompress_body<D, R, Arith, true>(packed, W, m, k);
    // Streaming stores are weakly ordered: publish W before returning.
    _mm_sfence();
  } else {
    zmm_decompress_body<D, R, Arith, false>(packed, W, m, k);
  }
}

template <typename D, int R>
void zmm_decompress_impl(const uint16_t* packed, uint16_t* W, int64_t m,
                         int64_t k) {
  if (zmm_use_arith())
    zmm_decompress_store<D, R, true>(packed, W, m, k);
  else
    zmm_decompress_store<D, R, false>(packed, W, m, k);
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
    for_each_group(g, [&](int64_t grp) {
      zmm_unpack_group<R, D::kWordStates>(blk + grp * 64 * R, states);
      for (int subki = 0; subki < 2; ++subki) {
        const __m512 xt = _mm512_loadu_ps(x + 32 * grp + 16 * subki);
        const __m512 xp[4] = {
            _mm512_permutexvar_ps(px0, xt), _mm512_permutexvar_ps(px1, xt),
            _mm512_permutexvar_ps(px2, xt), _mm512_permutexvar_ps(px3, xt)};
        for (int submi = 0; submi < 2; ++submi) {
          const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
          // Row j feeds chain half = (j/2) % 2 with activation pattern
          // xp[(j%2) + 2*(j/4)]; each chain still takes j in the order
          // 0, 1, 4, 5 (or 2, 3, 6, 7).
          for (int j = 0; j < 8; ++j) {
            __m512 w0, w1;
            zmm_decode_row<D, Arith>(st[j], w0, w1);
            const __m512 xj = xp[(j % 2) + 2 * (j / 4)];
            __m512* a = acc[submi][(j / 2) % 2];
            a[0] = _mm512_fmadd_ps(w0, xj, a[0]);
            a[1] = _mm512_fmadd_ps(w1, xj, a[1]);
          }
        }
      }
    });
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
  // Columns 0, 2, 4, 6, then 1, 3, 5, 7, then 8, 10, .. 14, then 9, .. 15:
  // each quarter, repeated four times, is one of the four activation
  // patterns (see zmm_pidx), so a 128-bit broadcast load builds it.
  const __m512i deal =
      _mm512_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7, 8, 10, 12, 14, 9, 11, 13, 15);
  alignas(64) uint32_t states[4][8][32];
  alignas(64) float accbuf[8][2][2][2][16];
  // One k-tile's activations of every batch row in that order: one
  // permute per row, shared by both tile rows (submi) of the group, and the
  // patterns come from loads rather than from the shuffle port.
  alignas(64) float xdbuf[8][16];
  for (int64_t p = blk_begin; p < blk_end; ++p) {
    const uint16_t* blk = packed + p * g.tileCountK * 32 * R;
    for (int64_t b = 0; b < B; ++b)
      for (int i = 0; i < 8; ++i)
        _mm512_store_ps(&accbuf[b][0][0][0][0] + 16 * i, _mm512_setzero_ps());
    for_each_group(g, [&](int64_t grp) {
      zmm_unpack_group<R, D::kWordStates>(blk + grp * 64 * R, states);
      for (int subki = 0; subki < 2; ++subki) {
        const int64_t k_tile = 32 * grp + 16 * subki;
        for (int64_t b = 0; b < B; ++b)
          _mm512_store_ps(
              xdbuf[b],
              _mm512_permutexvar_ps(deal, _mm512_loadu_ps(x + b * k + k_tile)));
        for (int submi = 0; submi < 2; ++submi) {
          const uint32_t(*st)[32] = states[kSlotMap[submi][subki]];
          // The whole tile, decoded once for all B rows: wv[j][h].
          __m512 wv[8][2];
          for (int j = 0; j < 8; ++j)
            zmm_decode_row<D, Arith>(st[j], wv[j][0], wv[j][1]);
          for (int64_t b = 0; b < B; ++b) {
            const __m512 xp0 = _mm512_broadcast_f32x4(_mm_load_ps(xdbuf[b]));
            const __m512 xp1 =
                _mm512_broadcast_f32x4(_mm_load_ps(xdbuf[b] + 4));
            const __m512 xp2 =
                _mm512_broadcast_f32x4(_mm_load_ps(xdbuf[b] + 8));
            const __m512 xp3 =
                _mm512_broadcast_f32x4(_mm_load_ps(xdbuf[b] + 12));
            for (int h = 0; h < 2; ++h) {
              float* pg = accbuf[b][submi][0][h];
              float* p8 = accbuf[b][submi][1][h];
              __m512 ag = _mm512_load_ps(pg);
              __m512 a8 = _mm512_load_ps(p8);
              ag = _mm512_fmadd_ps(wv[0][h], xp0, ag);
              ag = _mm512_fmadd_ps(wv[1][h], xp1, ag);
              ag = _mm512_fmadd_ps(wv[4][h], xp2, ag);
              ag = _mm512_fmadd_ps(wv[5][h], xp3, ag);
              a8 = _mm512_fmadd_ps(wv[2][h], xp0, a8);
              a8 = _mm512_fmadd_ps(wv[3][h], xp1, a8);
              a8 = _mm512_fmadd_ps(wv[6][h], xp2, a8);
              a8 = _mm512_fmadd_ps(wv[7][h], xp3, a8);
              _mm512_store_ps(pg, ag);
              _mm512_store_ps(p8, a8);
            }
          }
        }
      }
    });
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
