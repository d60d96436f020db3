// Kernels called directly under a caller's floating-point environment. The
// operations run them under the default environment on every thread; called
// directly, decoded values and exact products keep their values in every
// mode, and their bits in every mode but rounding down (where an exactly
// cancelling sum is -0 by IEEE rules). The half-precision tier's native
// addition follows the current rounding mode by design.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cfenv>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

namespace {

using namespace kavo_cpu;
using namespace kavo_test;

struct FpEnv {
  const char* name;
  int round;
  bool ftz_daz;
};

const FpEnv kEnvs[] = {
    {"nearest", FE_TONEAREST, false}, {"up", FE_UPWARD, false},
    {"down", FE_DOWNWARD, false},     {"zero", FE_TOWARDZERO, false},
    {"nearest+ftz+daz", FE_TONEAREST, true}, {"up+ftz+daz", FE_UPWARD, true},
};

// Sets an environment for the scope and restores the previous one.
class ScopedEnv {
 public:
  explicit ScopedEnv(const FpEnv& e) : csr_(_mm_getcsr()) {
    std::fesetround(e.round);
    if (e.ftz_daz) _mm_setcsr(_mm_getcsr() | 0x8040);
  }
  ~ScopedEnv() {
    std::fesetround(FE_TONEAREST);
    _mm_setcsr(csr_);
  }

 private:
  unsigned csr_;
};

TEST(FpEnvironment, DecodeAndExactProductsIgnoreRoundingAndFlushModes) {
  init_lut();
  const Packed P = encode_random(64, 192, 3, 21);
  std::vector<uint16_t> want(P.m * P.k);
  scalar_kernels()->decompress(P.words.data(), want.data(), P.m, P.k, 3);
  // Small integers: every product and sum is exact in float32.
  std::vector<float> x(2 * P.k);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(int(i % 5) - 2);
  int checked = 0;
  for (int t = 0; t < static_cast<int>(TIER_COUNT); ++t) {
    if (!tier_available(static_cast<Tier>(t))) continue;
    const Kernels& k = *g_tier_tables[t];
    std::vector<float> y0(2 * P.m);
    k.matmul(P.words.data(), x.data(), y0.data(), 2, P.m, P.k, 3, 1.0f, false, 0, 2);
    for (const FpEnv& e : kEnvs) {
      // The half-precision tier's native addition rounds in the current
      // mode: under a directed mode its decode may differ by design.
      const bool directed = e.round != FE_TONEAREST;
      if (t == TIER_AVX512FP16 && directed) continue;
      for (DecodeVariant v : {DECODE_ARITH, DECODE_LUT}) {
        const DecodeVariant saved = g_decode_variant;
        g_decode_variant = v;
        std::vector<uint16_t> W(P.m * P.k);
        std::vector<float> y(2 * P.m);
        {
          ScopedEnv env(e);
          k.decompress(P.words.data(), W.data(), P.m, P.k, 3);
          k.matmul(P.words.data(), x.data(), y.data(), 2, P.m, P.k, 3, 1.0f,
                   false, 0, 2);
        }
        g_decode_variant = saved;
        const bool bitwise = e.round != FE_DOWNWARD;
        for (size_t i = 0; i < W.size(); ++i) {
          if (bitwise) {
            ASSERT_EQ(W[i], want[i]) << g_tier_names[t] << " " << e.name << " " << i;
          } else {
            ASSERT_EQ(half_to_float(W[i]), half_to_float(want[i]))
                << g_tier_names[t] << " " << e.name << " " << i;
          }
        }
        for (size_t i = 0; i < y.size(); ++i) {
          if (bitwise) {
            ASSERT_EQ(bits_of(y[i]), bits_of(y0[i]))
                << g_tier_names[t] << " " << e.name << " " << i;
          } else {
            ASSERT_EQ(y[i], y0[i]) << g_tier_names[t] << " " << e.name << " " << i;
          }
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0);
}

// The tables are built once, by whichever call comes first: a caller rounding
// down must not leave -0 in them for the cancelling states.
TEST(FpEnvironmentDeathTest, TableBuiltWhileRoundingDownHoldsPositiveZeros) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto body = [] {
    std::fesetround(FE_DOWNWARD);
    init_lut();
    std::fesetround(FE_TONEAREST);
    for (uint32_t s = 0; s < 65536; ++s)
      if (g_lut16[s] != ref_codebook_bits(s)) std::exit(1);
    std::exit(0);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(FpEnvironment, HalfPrecisionTierFollowsADirectedMode) {
  init_lut();
  if (!tier_available(TIER_AVX512FP16))
    GTEST_SKIP() << "tier avx512fp16 is not available on this processor";
  // All 65,536 states in R = 4 windows at i = 0, 4, 8, ...; decoded upward,
  // the states whose exact sum is not a half value round up instead.
  const Packed P = encode_random(128, 2048, 4, 5);
  std::vector<uint16_t> nearest(P.m * P.k), up(P.m * P.k);
  const Kernels& k = *g_tier_tables[TIER_AVX512FP16];
  k.decompress(P.words.data(), nearest.data(), P.m, P.k, 4);
  {
    ScopedEnv env(kEnvs[1]);
    k.decompress(P.words.data(), up.data(), P.m, P.k, 4);
  }
  int differ = 0;
  for (size_t i = 0; i < up.size(); ++i) {
    if (up[i] == nearest[i]) continue;
    ++differ;
    ASSERT_GT(half_to_float(up[i]), half_to_float(nearest[i])) << i;
  }
  EXPECT_GT(differ, 0);
}

}  // namespace
