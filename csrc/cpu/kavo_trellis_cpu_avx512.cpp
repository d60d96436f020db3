// The AVX-512 tier: the 512-bit kernel template with a decode that builds
// both halves of a state as float32, adds them exactly and rounds once to
// half precision, round to nearest even whatever MXCSR says: every float step
// of the decode carries its own rounding mode.
//
// Built with AVX-512F/BW/VL. Only avx512_kernels() is visible outside this
// unit, and it runs no vector instruction: it is called on every processor.
#include "kavo_trellis_decode_avx512.h"

namespace kavo_cpu {
namespace {

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
