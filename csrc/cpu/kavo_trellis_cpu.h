// Codebook, half-precision conversions, decode tables, the kernel table and
// tier dispatch.
//
// Everything inline in this header lives in an unnamed namespace: each unit
// that includes it gets its own private copy. The tier units are compiled with
// AVX flags, and a shared (weak) copy of an inline helper could otherwise be
// picked by the linker for code that runs on processors without AVX.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

namespace kavo_cpu {

enum DecodeVariant : unsigned int {
  DECODE_AUTO = 0,
  DECODE_ARITH = 1,
  DECODE_LUT = 2,
};

// Decode tables: fp16 bits and float value of each 16-bit trellis state.
// All zero until init_lut() has run; immutable afterwards.
extern uint16_t g_lut16[65536];
extern float g_lut32[65536];
// Read once at the start of every vector kernel call; written only by the
// module's decode-variant control function.
extern DecodeVariant g_decode_variant;

// Builds both tables on the first call; later calls return at once.
void init_lut();

struct Kernels {
  void (*decompress)(const uint16_t* packed, uint16_t* W, int64_t m, int64_t k,
                     int R);
  void (*matvec)(const uint16_t* packed, const float* x, float* y, int64_t m,
                 int64_t k, int R, float wscale, bool accum, int64_t blk_begin,
                 int64_t blk_end);
  void (*matmul)(const uint16_t* packed, const float* x, float* y, int64_t B,
                 int64_t m, int64_t k, int R, float wscale, bool accum,
                 int64_t blk_begin, int64_t blk_end);
};

enum Tier : unsigned int {
  TIER_SCALAR = 0,
  TIER_AVX2 = 1,
  TIER_AVX512 = 2,
  TIER_AVX512FP16 = 3,
  TIER_COUNT = 4,
};

extern const char* const g_tier_names[TIER_COUNT];
extern const Kernels* g_tier_tables[TIER_COUNT];
// -1 until the tier is first chosen, then 0..3.
extern std::atomic<int> g_active;

// One accessor per tier unit; each only returns an address (or null when the
// tier is not built) and runs no vector instruction.
const Kernels* scalar_kernels();
const Kernels* avx2_kernels();
const Kernels* avx512_kernels();
const Kernels* avx512fp16_kernels();

bool tier_cpu_supported(Tier t);
bool tier_available(Tier t);
Tier resolve_auto();
void set_tier_by_name(const char* name);
const Kernels& active();
const char* active_name();

namespace {

inline float bits_to_float(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

inline uint32_t float_to_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Exact widening of binary16 bits.
inline float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exp = (h >> 10) & 0x1Fu;
  const uint32_t man = h & 0x3FFu;
  if (exp == 0) {
    if (man == 0) return bits_to_float(sign);
    // Subnormal: value is man * 2^-24, exact in binary32.
    const float v = static_cast<float>(man) * bits_to_float(0x33800000u);
    return sign ? -v : v;
  }
  if (exp == 31) return bits_to_float(sign | 0x7F800000u | (man << 13));
  return bits_to_float(sign | ((exp + 112) << 23) | (man << 13));
}

// Narrowing to binary16, round to nearest even. Magnitudes below the smallest
// normal half flush to a signed zero; NaN becomes the quiet NaN 0x7E00.
inline uint16_t float_to_half_rn(float f) {
  const uint32_t x = float_to_bits(f);
  const uint32_t sign = (x >> 16) & 0x8000u;
  const uint32_t ax = x & 0x7FFFFFFFu;
  if (ax > 0x477FFFFFu)
    return static_cast<uint16_t>(sign | (ax > 0x7F800000u ? 0x7E00u : 0x7C00u));
  if (ax < 0x38800000u) return static_cast<uint16_t>(sign);
  const uint32_t e = (ax >> 23) - 112;
  const uint32_t m = (ax >> 13) & 0x3FFu;
  const uint32_t rem = ax & 0x1FFFu;
  uint32_t out = sign | (e << 10) | m;
  if (rem > 0x1000u || (rem == 0x1000u && (out & 1u))) ++out;
  return static_cast<uint16_t>(out);
}

// The "3inst" codebook: LCG step, mask/xor into two fp16 halves, exact sum,
// one rounding to half precision.
inline uint16_t codebook_value(uint32_t s) {
  const uint32_t h = s * 89226354u + 64248484u;
  const uint32_t r = (h & 0x8FFF8FFFu) ^ 0x3B603B60u;
  const float f = half_to_float(static_cast<uint16_t>(r >> 16)) +
                  half_to_float(static_cast<uint16_t>(r & 0xFFFFu));
  // The sum is exact, so only a cancelling pair could see the rounding
  // mode (it gives -0 when rounding down): those states decode to +0.
  return f == 0.0f ? uint16_t{0} : float_to_half_rn(f);
}

}  // namespace
}  // namespace kavo_cpu
