// The AVX-512 half-precision tier: the 512-bit kernel template with a decode
// that adds the two halves of a state in native half precision. The exact sum
// is rounded once under the current rounding mode, which in the default mode
// (nearest, ties to even) matches the table and the AVX-512 tier bit for bit.
//
// Built with AVX-512F/BW/VL and AVX-512-FP16. Only avx512fp16_kernels() is
// visible outside this unit, and it runs no vector instruction.
#include "kavo_trellis_cpu_zmm.h"

namespace kavo_cpu {
namespace {

struct DecodeFp16 {
  // Rows come as even lanes (s0) and odd lanes (s1), so that one 32-wide
  // half add serves both and its words fall out in lane order.
  static constexpr bool kPairLanes = true;

  // The 32 sums of a row as half-precision words, lane l in word l: word
  // blends put lane 2i's half in the low word of element i and lane 2i+1's
  // in the high word; the mask and xor apply to each word alike. The word
  // swaps are byte shuffles rather than shifts: in the products the one
  // 512-bit multiply-add port is the busy one, and shifts would share it.
  static __m512i sums(__m512i s0, __m512i s1) {
    const __m512i h0 = zmm_hash(s0), h1 = zmm_hash(s1);
    const __m512i mask = zmm_u32(0x8FFF8FFFu), bits = zmm_u32(0x3B603B60u);
    const __m512i swap =
        _mm512_set4_epi32(0x0D0C0F0E, 0x09080B0A, 0x05040706, 0x01000302);
    const __mmask32 odd = 0xAAAAAAAAu;
    const __m512i lo = _mm512_xor_si512(
        _mm512_and_si512(
            _mm512_mask_blend_epi16(odd, h0, _mm512_shuffle_epi8(h1, swap)),
            mask),
        bits);
    const __m512i hi = _mm512_xor_si512(
        _mm512_and_si512(
            _mm512_mask_blend_epi16(odd, _mm512_shuffle_epi8(h0, swap), h1),
            mask),
        bits);
    return _mm512_castph_si512(
        _mm512_add_ph(_mm512_castsi512_ph(lo), _mm512_castsi512_ph(hi)));
  }

  static void decode_row(__m512i s0, __m512i s1, bool arith, __m512& w0,
                         __m512& w1) {
    if (!arith) {
      zmm_lut_row_paired(s0, s1, w0, w1);
      return;
    }
    const __m512i sb = sums(s0, s1);
    w0 = _mm512_cvtph_ps(_mm512_castsi512_si256(sb));
    w1 = _mm512_cvtph_ps(_mm512_extracti64x4_epi64(sb, 1));
  }

  static __m512i half_row(__m512i s0, __m512i s1, bool arith) {
    if (!arith) {
      __m512 w0, w1;
      zmm_lut_row_paired(s0, s1, w0, w1);
      return zmm_join_halves(zmm_to_half(w0), zmm_to_half(w1));
    }
    return sums(s0, s1);
  }
};

void decompress_fp16(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k,
                     int R) {
  zmm_decompress<DecodeFp16>(packed, W, m, k, R);
}

void matvec_fp16(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, int R, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end) {
  zmm_matvec<DecodeFp16>(packed, x, y, m, k, R, wscale, accum, blk_begin,
                         blk_end);
}

void matmul_fp16(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, int R, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end) {
  zmm_matmul<DecodeFp16>(packed, x, y, B, m, k, R, wscale, accum, blk_begin,
                         blk_end);
}

constexpr Kernels kFp16 = {decompress_fp16, matvec_fp16, matmul_fp16};

}  // namespace

const Kernels* avx512fp16_kernels() { return &kFp16; }

}  // namespace kavo_cpu
