// The AVX-512-FP16 decode-bound loop, over the tier's own decode.
#include "decode_bound.h"
#include "decode_bound_zmm.h"
#include "kavo_trellis_decode_fp16.h"

extern "C" float kavo_decode_bound_fp16(const uint32_t* states,
                                        const uint16_t* words, int64_t n,
                                        int64_t reps, bool lut) {
  using D = kavo_cpu::DecodeFp16;
  return lut ? zmm_run<D, false>(states, words, n, reps)
             : zmm_run<D, true>(states, words, n, reps);
}
