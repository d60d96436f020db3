// The AVX-512 tier: the 512-bit kernel template with a decode that widens
// both halves of a state to float32, adds them exactly and rounds once to
// half precision (rounding fixed in the instruction, not taken from MXCSR).
//
// Built with AVX-512F/BW/VL. Only avx512_kernels() is visible outside this
// unit, and it runs no vector instruction: it is called on every processor.
#include "kavo_trellis_cpu_zmm.h"

namespace kavo_cpu {
namespace {

struct DecodeAvx512 {
  static __m512 decode16(__m512i s, bool arith) {
    if (!arith) return zmm_lut_gather(s);
    const __m512i h = _mm512_add_epi32(
        _mm512_mullo_epi32(s, zmm_u32(89226354u)), zmm_u32(64248484u));
    const __m512i r = _mm512_xor_si512(
        _mm512_and_si512(h, zmm_u32(0x8FFF8FFFu)), zmm_u32(0x3B603B60u));
    const __m256i lo16 = _mm512_cvtepi32_epi16(r);
    const __m256i hi16 = _mm512_cvtepi32_epi16(_mm512_srli_epi32(r, 16));
    // Both halves are normal with exponents 2^-3..2^0, so the sum is exact
    // and the conversion below is the only rounding.
    const __m512 sum =
        _mm512_add_ps(_mm512_cvtph_ps(lo16), _mm512_cvtph_ps(hi16));
    return _mm512_cvtph_ps(_mm512_cvtps_ph(sum, _MM_FROUND_TO_NEAREST_INT));
  }
};

void decompress_avx512(const uint16_t* packed, uint16_t* W, int64_t m,
                       int64_t k, int R) {
  zmm_decompress<DecodeAvx512>(packed, W, m, k, R);
}

void matvec_avx512(const uint16_t* packed, const float* x, float* y, int64_t m,
                   int64_t k, int R, float wscale, bool accum,
                   int64_t blk_begin, int64_t blk_end) {
  zmm_matvec<DecodeAvx512>(packed, x, y, m, k, R, wscale, accum, blk_begin,
                           blk_end);
}

void matmul_avx512(const uint16_t* packed, const float* x, float* y, int64_t B,
                   int64_t m, int64_t k, int R, float wscale, bool accum,
                   int64_t blk_begin, int64_t blk_end) {
  zmm_matmul<DecodeAvx512>(packed, x, y, B, m, k, R, wscale, accum, blk_begin,
                           blk_end);
}

constexpr Kernels kAvx512 = {decompress_avx512, matvec_avx512, matmul_avx512};

}  // namespace

const Kernels* avx512_kernels() { return &kAvx512; }

}  // namespace kavo_cpu
