// Cross-tier differential fuzzing: random packed words, shapes, bit widths,
// batch sizes, block ranges, accumulate mode and decode variants. Every tier
// must decompress to the scalar tier's bits; the vector tiers' products must
// equal the test-side fused-multiply-add reference bit for bit, the scalar
// tier's the scalar-order reference; rows outside the block range must stay
// untouched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

using namespace kavo_cpu;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  init_lut();
  const int R = 1 + data[0] % 4;
  const int64_t m = 32 * (1 + data[1] % 3);
  const int64_t k = 64 * (1 + data[2] % 40);
  const int64_t B = 1 + data[3] % 8;
  const auto variant = static_cast<DecodeVariant>(data[4] % 3);
  const int64_t blocks = m / 32;
  const int64_t b0 = data[5] % (blocks + 1);
  const int64_t b1 = b0 + data[6] % (blocks - b0 + 1);
  const bool accum = data[7] & 1;
  const float wscale = static_cast<float>(static_cast<int8_t>(data[8])) / 32.0f;
  data += 9;
  size -= 9;

  std::vector<uint16_t> words((m / 16) * (k / 16) * 16 * R);
  for (size_t i = 0; i < words.size(); ++i) {
    const uint8_t lo = size ? data[(2 * i) % size] : 0;
    const uint8_t hi = size ? data[(2 * i + 1) % size] : 0;
    words[i] = static_cast<uint16_t>((hi << 8 | lo) ^ (i * 0x9E37u));
  }
  std::vector<float> x(B * k);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<float>(
               static_cast<int8_t>(size ? data[(3 * i + 7) % size] ^ i : i)) /
           16.0f;
  std::vector<float> old(B * m);
  for (size_t i = 0; i < old.size(); ++i)
    old[i] = 0.25f * static_cast<float>(i % 7);

  const DecodeVariant saved = g_decode_variant;
  g_decode_variant = variant;

  std::vector<uint16_t> W0(m * k);
  scalar_kernels()->decompress(words.data(), W0.data(), m, k, R);
  std::vector<float> Wf(m * k);
  for (size_t i = 0; i < Wf.size(); ++i) Wf[i] = half_to_float(W0[i]);

  for (int t = 0; t < static_cast<int>(TIER_COUNT); ++t) {
    if (!tier_available(static_cast<Tier>(t))) continue;
    const Kernels& kern = *g_tier_tables[t];
    std::vector<uint16_t> W(m * k, 0xDEAD);
    kern.decompress(words.data(), W.data(), m, k, R);
    check(W == W0);

    std::vector<float> y = old, yv = old;
    kern.matmul(words.data(), x.data(), y.data(), B, m, k, R, wscale, accum, b0,
                b1);
    for (int64_t b = 0; b < B; ++b)
      kern.matvec(words.data(), x.data() + b * k, yv.data() + b * m, m, k, R,
                  wscale, accum, b0, b1);
    for (int64_t b = 0; b < B; ++b) {
      for (int64_t r = 0; r < m; ++r) {
        const size_t i = b * m + r;
        float want = old[i];
        if (r >= 32 * b0 && r < 32 * b1) {
          const float* xb = x.data() + b * k;
          const float dot = t == TIER_SCALAR
                                ? kavo_test::ref_row_scalar(Wf, k, r, xb)
                                : kavo_test::ref_row_fma(Wf, k, r, xb);
          want = kavo_test::ref_finish(dot, wscale, accum, old[i]);
        }
        check(kavo_test::bits_of(y[i]) == kavo_test::bits_of(want));
        check(kavo_test::bits_of(yv[i]) == kavo_test::bits_of(want));
      }
    }
  }
  g_decode_variant = saved;
  return 0;
}
