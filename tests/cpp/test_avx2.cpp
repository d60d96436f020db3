// AVX2 tier: decode, the vector unpack of a group's states, and the
// fused-multiply-add products, checked bit for bit against the scalar tier and
// the test-side references.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

namespace {

using namespace kavo_test;
using kavo_cpu::DecodeVariant;
using kavo_cpu::Kernels;

const char* variant_name(DecodeVariant v) {
  switch (v) {
    case kavo_cpu::DECODE_AUTO: return "auto";
    case kavo_cpu::DECODE_ARITH: return "arith";
    default: return "lut";
  }
}

// Element-wise bit equality, reporting the first difference.
template <typename T>
::testing::AssertionResult same_bits(const std::vector<T>& got,
                                     const std::vector<T>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = 0; i < got.size(); ++i) {
    uint32_t a = 0, b = 0;
    std::memcpy(&a, &got[i], sizeof(T));
    std::memcpy(&b, &want[i], sizeof(T));
    if (a != b) {
      std::ostringstream msg;
      msg << "element " << i << ": got " << +got[i] << " (0x" << std::hex << a
          << "), want " << +want[i] << " (0x" << b << ")";
      return ::testing::AssertionFailure() << msg.str();
    }
  }
  return ::testing::AssertionSuccess();
}

class Avx2Tier : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_variant_ = kavo_cpu::g_decode_variant;
    kavo_cpu::init_lut();
    if (!kavo_cpu::tier_available(kavo_cpu::TIER_AVX2))
      GTEST_SKIP() << "AVX2 tier not available (needs AVX2, FMA and F16C)";
    avx2_ = kavo_cpu::g_tier_tables[kavo_cpu::TIER_AVX2];
    scalar_ = kavo_cpu::g_tier_tables[kavo_cpu::TIER_SCALAR];
  }
  void TearDown() override { kavo_cpu::g_decode_variant = saved_variant_; }

  // All rows of every batch row, one matmul call over all blocks.
  std::vector<float> matmul(const Kernels* t, const Packed& P,
                            const std::vector<float>& x, int64_t B,
                            float wscale, bool accum,
                            std::vector<float> y) const {
    t->matmul(P.words.data(), x.data(), y.data(), B, P.m, P.k, P.R, wscale,
              accum, 0, P.m / 32);
    return y;
  }
  // The same through one matvec call per batch row.
  std::vector<float> matvecs(const Kernels* t, const Packed& P,
                             const std::vector<float>& x, int64_t B,
                             float wscale, bool accum,
                             std::vector<float> y) const {
    for (int64_t b = 0; b < B; ++b)
      t->matvec(P.words.data(), x.data() + b * P.k, y.data() + b * P.m, P.m,
                P.k, P.R, wscale, accum, 0, P.m / 32);
    return y;
  }

  const Kernels* avx2_ = nullptr;
  const Kernels* scalar_ = nullptr;
  DecodeVariant saved_variant_ = kavo_cpu::DECODE_AUTO;
};

constexpr DecodeVariant kAllVariants[] = {
    kavo_cpu::DECODE_AUTO, kavo_cpu::DECODE_ARITH, kavo_cpu::DECODE_LUT};
constexpr DecodeVariant kBothPaths[] = {kavo_cpu::DECODE_ARITH,
                                        kavo_cpu::DECODE_LUT};

// Random words are random streams, so every state of every lane, slot and
// wrap-around is exercised; a wrong state from the vector unpack shows up as
// a wrong value at its position.
TEST_F(Avx2Tier, DecompressMatchesScalarAndEncoderStates) {
  struct Case {
    int R;
    int64_t m, k;
  };
  const Case cases[] = {{1, 64, 192},  {2, 32, 2112}, {3, 64, 192},
                        {4, 32, 4096}, {1, 32, 64},   {3, 32, 2112},
                        {2, 64, 64},   {4, 64, 192}};
  for (const Case& c : cases) {
    const Packed P = encode_random(c.m, c.k, c.R, 100 + c.R * 7 + c.k);
    std::vector<uint16_t> want(P.m * P.k, 0xDEAD);
    scalar_->decompress(P.words.data(), want.data(), P.m, P.k, P.R);
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_EQ(want[i], ref_codebook_bits(P.states[i])) << "scalar, i=" << i;
    for (DecodeVariant v : kAllVariants) {
      SCOPED_TRACE(::testing::Message()
                   << "R=" << c.R << " m=" << c.m << " k=" << c.k
                   << " decode=" << variant_name(v));
      kavo_cpu::g_decode_variant = v;
      std::vector<uint16_t> got(P.m * P.k, 0xDEAD);
      avx2_->decompress(P.words.data(), got.data(), P.m, P.k, P.R);
      EXPECT_TRUE(same_bits(got, want));
    }
  }
}

// R = 4 states i = 0, 4, 8, ... of a tile are disjoint 16-bit words of its
// stream, so 1024 tiles whose stream words are 64T + n hold every state. The
// weights are read back exactly through the product with one-hot rows (a
// decompress would hide an unrounded sum, the product does not).
TEST_F(Avx2Tier, BothDecodesGiveTheTableValueOfEveryState) {
  const int64_t m = 128, k = 64, B = 8;
  const int64_t tiles = (m / 16) * (k / 16);  // 32 per tensor
  std::vector<bool> seen(65536, false);
  for (int64_t tensor = 0; tensor < 1024 / tiles; ++tensor) {
    std::vector<std::vector<uint8_t>> streams(tiles);
    for (int64_t t = 0; t < tiles; ++t) {
      const uint32_t first = static_cast<uint32_t>(64 * (tensor * tiles + t));
      for (uint32_t n = 0; n < 64; ++n) {
        streams[t].push_back(static_cast<uint8_t>((first + n) >> 8));
        streams[t].push_back(static_cast<uint8_t>(first + n));
      }
    }
    const Packed P = encode_streams(m, k, 4, streams);
    for (uint16_t s : P.states) seen[s] = true;
    for (DecodeVariant v : kBothPaths) {
      kavo_cpu::g_decode_variant = v;
      for (int64_t g = 0; g < k / B; ++g) {
        std::vector<float> x(B * k, 0.0f);
        for (int64_t b = 0; b < B; ++b) x[b * k + B * g + b] = 1.0f;
        const std::vector<float> y =
            matmul(avx2_, P, x, B, 1.0f, false, std::vector<float>(B * m));
        for (int64_t b = 0; b < B; ++b) {
          for (int64_t r = 0; r < m; ++r) {
            const uint16_t s = P.states[r * k + B * g + b];
            ASSERT_EQ(bits_of(y[b * m + r]), bits_of(kavo_cpu::g_lut32[s]))
                << "state 0x" << std::hex << s << std::dec
                << " decode=" << variant_name(v);
          }
        }
      }
    }
  }
  for (uint32_t s = 0; s < 65536; ++s) ASSERT_TRUE(seen[s]) << "state " << s;
}

// Tensor `n` of the 16 R = 4 tensors (128 x 64) that together hold every
// state (see the test above).
Packed every_state_tensor(int64_t n) {
  const int64_t m = 128, k = 64, tiles = (m / 16) * (k / 16);
  std::vector<std::vector<uint8_t>> streams(tiles);
  for (int64_t t = 0; t < tiles; ++t) {
    for (uint32_t i = 0; i < 64; ++i) {
      const uint32_t word = static_cast<uint32_t>(64 * (n * tiles + t)) + i;
      streams[t].push_back(static_cast<uint8_t>(word >> 8));
      streams[t].push_back(static_cast<uint8_t>(word));
    }
  }
  return encode_streams(m, k, 4, streams);
}

// Decompress narrows the exact sum of the two halves (or the table value)
// with the conversion instruction, a path of its own: every state, both
// decodes, against g_lut16.
TEST_F(Avx2Tier, DecompressGivesTheTableBitsOfEveryState) {
  for (int64_t n = 0; n < 16; ++n) {
    const Packed P = every_state_tensor(n);
    for (DecodeVariant v : kBothPaths) {
      kavo_cpu::g_decode_variant = v;
      std::vector<uint16_t> got(P.m * P.k, 0xDEAD);
      avx2_->decompress(P.words.data(), got.data(), P.m, P.k, P.R);
      for (int64_t i = 0; i < P.m * P.k; ++i)
        ASSERT_EQ(got[i], kavo_cpu::g_lut16[P.states[i]])
            << "state 0x" << std::hex << P.states[i] << std::dec
            << " decode=" << variant_name(v);
    }
  }
}

// Outside round-to-nearest the products decode through the conversion
// instructions instead; one-hot products stay exact under rounding toward
// zero, so every state must still come out as its table value.
TEST_F(Avx2Tier, ProductsDecodeEveryStateUnderADirectedMode) {
  const unsigned csr = _mm_getcsr();
  _MM_SET_ROUNDING_MODE(_MM_ROUND_TOWARD_ZERO);
  kavo_cpu::g_decode_variant = kavo_cpu::DECODE_ARITH;
  const int64_t B = 8;
  for (int64_t n = 0; n < 16; ++n) {
    const Packed P = every_state_tensor(n);
    for (int64_t g = 0; g < P.k / B; ++g) {
      std::vector<float> x(B * P.k, 0.0f);
      for (int64_t b = 0; b < B; ++b) x[b * P.k + B * g + b] = 1.0f;
      const std::vector<float> y =
          matmul(avx2_, P, x, B, 1.0f, false, std::vector<float>(B * P.m));
      const std::vector<float> yv =
          matvecs(avx2_, P, x, B, 1.0f, false, std::vector<float>(B * P.m));
      for (int64_t b = 0; b < B; ++b) {
        for (int64_t r = 0; r < P.m; ++r) {
          const uint16_t s = P.states[r * P.k + B * g + b];
          const uint32_t want = bits_of(kavo_cpu::g_lut32[s]);
          if (bits_of(y[b * P.m + r]) != want ||
              bits_of(yv[b * P.m + r]) != want) {
            _mm_setcsr(csr);
            FAIL() << "state 0x" << std::hex << s;
          }
        }
      }
    }
  }
  _mm_setcsr(csr);
}

// Both products against the fused-multiply-add reference order, for both
// decode paths; B runs through 1..8 across the cases.
TEST_F(Avx2Tier, ProductsFollowTheFmaOrderBitForBit) {
  struct Case {
    int R;
    int64_t B, m, k;
    float wscale;
    bool accum;
  };
  const Case cases[] = {
      {1, 1, 32, 64, 1.0f, false},     {2, 2, 64, 192, 0.375f, true},
      {3, 3, 32, 2112, -1.25f, false}, {4, 4, 32, 4096, 0.8125f, true},
      {4, 5, 64, 64, 2.5f, false},     {1, 6, 32, 2112, 0.5f, true},
      {2, 7, 32, 4096, -0.75f, false}, {3, 8, 64, 192, 1.5f, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "R=" << c.R << " B=" << c.B << " m=" << c.m << " k=" << c.k
                 << " accum=" << c.accum);
    const Packed P = encode_random(c.m, c.k, c.R, 300 + c.B);
    const std::vector<float> Wd = ref_dense(P);
    const std::vector<float> x = random_floats(c.B * c.k, 400 + c.B);
    // Overwriting must not read y, so start it as NaN there.
    const std::vector<float> y0 =
        c.accum ? random_floats(c.B * c.m, 500 + c.B, -4.0f, 4.0f)
                : std::vector<float>(c.B * c.m,
                                     std::numeric_limits<float>::quiet_NaN());
    std::vector<float> want(c.B * c.m);
    for (int64_t b = 0; b < c.B; ++b)
      for (int64_t r = 0; r < c.m; ++r)
        want[b * c.m + r] =
            ref_finish(ref_row_fma(Wd, c.k, r, x.data() + b * c.k), c.wscale,
                       c.accum, y0[b * c.m + r]);
    for (DecodeVariant v : kBothPaths) {
      SCOPED_TRACE(variant_name(v));
      kavo_cpu::g_decode_variant = v;
      EXPECT_TRUE(
          same_bits(matmul(avx2_, P, x, c.B, c.wscale, c.accum, y0), want));
      EXPECT_TRUE(
          same_bits(matvecs(avx2_, P, x, c.B, c.wscale, c.accum, y0), want));
    }
  }
}

// Decoded weights are multiples of 2^-13 below 4 in magnitude; with integer
// activations whose magnitudes sum below 512 every product and partial sum
// is exact, so the summation order cannot matter and the tiers agree.
TEST_F(Avx2Tier, ExactSumsMatchTheScalarTier) {
  const int64_t B = 3, m = 64;
  for (int R = 1; R <= 4; ++R) {
    for (int64_t k : {192, 2112}) {
      SCOPED_TRACE(::testing::Message() << "R=" << R << " k=" << k);
      const Packed P = encode_random(m, k, R, 600 + R);
      std::mt19937 rng(700 + R);
      std::vector<float> x(B * k, 0.0f);
      for (int64_t b = 0; b < B; ++b) {
        int budget = 511;
        while (budget > 0) {
          const int mag = std::min(budget, 1 + static_cast<int>(rng() % 3));
          x[b * k + rng() % k] += (rng() & 1) ? mag : -mag;
          budget -= mag;
        }
      }
      const std::vector<float> y0 = random_floats(B * m, 800 + R);
      const float wscale = 0.625f;
      const std::vector<float> want =
          matmul(scalar_, P, x, B, wscale, true, y0);
      EXPECT_TRUE(same_bits(matmul(avx2_, P, x, B, wscale, true, y0), want));
      EXPECT_TRUE(same_bits(matvecs(avx2_, P, x, B, wscale, true, y0), want));
    }
  }
}

// Block ranges: a split never changes a bit, rows outside the range keep
// their contents, an empty range writes nothing.
TEST_F(Avx2Tier, BlockRangesTouchOnlyTheirRows) {
  const int64_t B = 4, m = 128, k = 192, nblk = m / 32;
  const Packed P = encode_random(m, k, 3, 900);
  const std::vector<float> x = random_floats(B * k, 901);
  const float wscale = 1.75f;
  for (bool accum : {false, true}) {
    SCOPED_TRACE(accum ? "accum" : "overwrite");
    const std::vector<float> y0 = random_floats(B * m, 902 + accum);
    // Runs matmul (or matvec per batch row) over the given ranges in turn.
    auto run = [&](bool use_matmul,
                   std::initializer_list<std::pair<int64_t, int64_t>> ranges) {
      std::vector<float> y = y0;
      for (auto [b0, b1] : ranges) {
        if (use_matmul) {
          avx2_->matmul(P.words.data(), x.data(), y.data(), B, m, k, P.R,
                        wscale, accum, b0, b1);
        } else {
          for (int64_t b = 0; b < B; ++b)
            avx2_->matvec(P.words.data(), x.data() + b * k, y.data() + b * m, m,
                          k, P.R, wscale, accum, b0, b1);
        }
      }
      return y;
    };
    for (bool use_matmul : {true, false}) {
      SCOPED_TRACE(use_matmul ? "matmul" : "matvec");
      const std::vector<float> whole = run(use_matmul, {{0, nblk}});
      EXPECT_TRUE(same_bits(run(use_matmul, {{0, 1}, {1, nblk}}), whole));
      EXPECT_TRUE(same_bits(run(use_matmul, {{2, nblk}, {0, 2}}), whole));
      EXPECT_TRUE(same_bits(run(use_matmul, {{2, 2}, {3, 1}}), y0));
      // Blocks 1 and 2 only: rows 32..95 of every batch row.
      const std::vector<float> part = run(use_matmul, {{1, 3}});
      std::vector<float> want = y0;
      for (int64_t b = 0; b < B; ++b)
        for (int64_t r = 32; r < 96; ++r) want[b * m + r] = whole[b * m + r];
      EXPECT_TRUE(same_bits(part, want));
    }
  }
}

}  // namespace
