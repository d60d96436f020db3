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
  static __m512 decode16(__m512i s, bool arith) {
    if (!arith) return zmm_lut_gather(s);
    const __m512i h = _mm512_add_epi32(
        _mm512_mullo_epi32(s, zmm_u32(89226354u)), zmm_u32(64248484u));
    const __m512i r = _mm512_xor_si512(
        _mm512_and_si512(h, zmm_u32(0x8FFF8FFFu)), zmm_u32(0x3B603B60u));
    const __m256i lo16 = _mm512_cvtepi32_epi16(r);
    const __m256i hi16 = _mm512_cvtepi32_epi16(_mm512_srli_epi32(r, 16));
    const __m256h sum =
        _mm256_add_ph(_mm256_castsi256_ph(lo16), _mm256_castsi256_ph(hi16));
    return _mm512_cvtph_ps(_mm256_castph_si256(sum));
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
