// The codebook, the half-precision conversions and the decode tables.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

namespace {

using kavo_cpu::float_to_half_rn;
using kavo_cpu::g_lut16;
using kavo_cpu::g_lut32;
using kavo_cpu::half_to_float;
using kavo_test::bits_of;

class Codebook : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kavo_cpu::init_lut(); }
};

TEST_F(Codebook, WorkedExamples) {
  const struct {
    uint16_t state, bits;
    float value;
  } cases[] = {{0, 0x3A25, 0.76806640625f},
               {1, 0xBB5B, -0.91943359375f},
               {4660, 0xC066, -2.19921875f},
               {65535, 0xB110, -0.158203125f}};
  for (const auto& c : cases) {
    EXPECT_EQ(g_lut16[c.state], c.bits) << c.state;
    EXPECT_EQ(g_lut32[c.state], c.value) << c.state;
  }
}

TEST_F(Codebook, MatchesIndependentReferenceForEveryState) {
  for (uint32_t s = 0; s < 65536; ++s) {
    ASSERT_EQ(g_lut16[s], kavo_test::ref_codebook_bits(s)) << s;
    ASSERT_EQ(bits_of(g_lut32[s]), bits_of(half_to_float(g_lut16[s]))) << s;
  }
}

TEST_F(Codebook, StatedFacts) {
  std::vector<uint32_t> zeros;
  std::set<uint16_t> distinct;
  float lo = 0, hi = 0;
  for (uint32_t s = 0; s < 65536; ++s) {
    if (g_lut32[s] == 0.0f) {
      zeros.push_back(s);
      EXPECT_EQ(g_lut16[s], 0x0000) << "zero must be +0 for state " << s;
    }
    distinct.insert(g_lut16[s]);
    lo = std::min(lo, g_lut32[s]);
    hi = std::max(hi, g_lut32[s]);
  }
  const std::vector<uint32_t> want = {0x150B, 0x2CA2, 0x420A, 0x5772, 0x6CDA,
                                      0x8242, 0x97AA, 0x99D9, 0xAF41};
  EXPECT_EQ(zeros, want);
  EXPECT_EQ(distinct.size(), 10598u);
  EXPECT_EQ(lo, -3.95703125f);
  EXPECT_EQ(hi, 3.97265625f);
}

TEST(HalfConversion, FloatToHalfEdgeCases) {
  const struct {
    float in;
    uint16_t out;
  } cases[] = {
      {1.0f + std::ldexp(1.0f, -11), 0x3C00},      // tie to even (down)
      {1.0f + 3 * std::ldexp(1.0f, -11), 0x3C02},  // tie to even (up)
      {65504.0f, 0x7BFF},
      {65520.0f, 0x7C00},  // rounds past the largest half
      {65536.0f, 0x7C00},
      {INFINITY, 0x7C00},
      {-INFINITY, 0xFC00},
      {1e-5f, 0x0000},  // below the smallest normal half: flushed
      {-1e-5f, 0x8000},
      {-0.0f, 0x8000},
      {std::ldexp(1.0f, -14), 0x0400},
  };
  for (const auto& c : cases) EXPECT_EQ(float_to_half_rn(c.in), c.out) << c.in;
  EXPECT_EQ(float_to_half_rn(NAN), 0x7E00);
  EXPECT_EQ(float_to_half_rn(-NAN), 0xFE00);
  EXPECT_EQ(float_to_half_rn(kavo_cpu::bits_to_float(0x7F800001u)), 0x7E00);
}

TEST(HalfConversion, HalfToFloatEdgeCases) {
  EXPECT_EQ(half_to_float(0x7C00), INFINITY);
  const float nan = half_to_float(0xFE00);
  EXPECT_TRUE(std::isnan(nan));
  EXPECT_TRUE(std::signbit(nan));
  EXPECT_EQ(bits_of(nan), 0xFFC00000u);  // quiet, payload moved up
  EXPECT_EQ(bits_of(half_to_float(0x8000)), 0x80000000u);
  EXPECT_EQ(half_to_float(0x0001), std::ldexp(1.0f, -24));  // subnormals exact
  EXPECT_EQ(half_to_float(0x83FF), -std::ldexp(1023.0f, -24));
  // Every finite half survives the round trip.
  for (uint32_t h = 0; h < 65536; ++h) {
    if (((h >> 10) & 31) == 31 || ((h >> 10) & 31) == 0) continue;
    ASSERT_EQ(float_to_half_rn(half_to_float(h)), h) << h;
  }
}

// The tables are built under a once-flag: concurrent first users all see
// complete tables. Run in a fresh process so the race is a real first use.
TEST(InitLutDeathTest, RacedFromManyThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto body = [] {
    std::vector<std::thread> ts;
    std::vector<int> ok(8, 0);
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&ok, t] {
        kavo_cpu::init_lut();
        ok[t] = g_lut16[0] == 0x3A25 && g_lut16[65535] == 0xB110 &&
                g_lut32[4660] == -2.19921875f;
      });
    for (auto& t : ts) t.join();
    for (int v : ok)
      if (!v) std::exit(1);
    std::exit(0);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
