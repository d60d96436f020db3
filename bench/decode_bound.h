// Decode-bound loops: decode already-unpacked states and feed one fused
// multiply-add per weight, nothing else. Their rate is the ceiling the
// product kernels are held against. Each tier's loop lives in a unit compiled
// with that tier's flags and exposes one plain function (no templates or
// library types cross the unit boundary). Returns a checksum; `n` states are
// decoded `reps` times, from `states` (one per 32-bit element) or, for a tier
// whose kernels keep states as 16-bit words, from `words`: both hold the same
// random states.
#pragma once

#include <cstdint>

extern "C" {
float kavo_decode_bound_avx2(const uint32_t* states, const uint16_t* words,
                             int64_t n, int64_t reps, bool lut);
float kavo_decode_bound_avx512(const uint32_t* states, const uint16_t* words,
                               int64_t n, int64_t reps, bool lut);
float kavo_decode_bound_fp16(const uint32_t* states, const uint16_t* words,
                             int64_t n, int64_t reps, bool lut);
}
