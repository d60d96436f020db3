// The AVX-512 half-precision tier: the 512-bit kernel template with a decode
// that adds the two halves of a state in native half precision. The exact sum
// is rounded once under the current rounding mode, which in the default mode
// (nearest, ties to even) matches the table and the AVX-512 tier bit for bit.
//
// Built with AVX-512F/BW/VL and AVX-512-FP16. Only avx512fp16_kernels() is
// visible outside this unit, and it runs no vector instruction.
#include "kavo_trellis_decode_fp16.h"

namespace kavo_cpu {
namespace {

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
