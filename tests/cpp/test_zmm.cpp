// The two 512-bit tiers (AVX-512 and AVX-512-FP16) share one kernel template;
// every test runs against both and skips where the processor lacks the tier.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

using namespace kavo_test;

namespace {

struct ZmmTier {
  kavo_cpu::Tier tier;
  const char* name;
};

void PrintTo(const ZmmTier& t, std::ostream* os) { *os << t.name; }

const ZmmTier kZmmTiers[] = {{kavo_cpu::TIER_AVX512, "avx512"},
                             {kavo_cpu::TIER_AVX512FP16, "avx512fp16"}};

// Restores the process-wide decode variant however a test ends.
class VariantGuard {
 public:
  VariantGuard() : saved_(kavo_cpu::g_decode_variant) {}
  ~VariantGuard() { kavo_cpu::g_decode_variant = saved_; }
  void set(kavo_cpu::DecodeVariant v) { kavo_cpu::g_decode_variant = v; }

 private:
  kavo_cpu::DecodeVariant saved_;
};

const kavo_cpu::DecodeVariant kAllVariants[] = {
    kavo_cpu::DECODE_AUTO, kavo_cpu::DECODE_ARITH, kavo_cpu::DECODE_LUT};
const kavo_cpu::DecodeVariant kProductVariants[] = {kavo_cpu::DECODE_ARITH,
                                                    kavo_cpu::DECODE_LUT};

class ZmmTierTest : public ::testing::TestWithParam<ZmmTier> {
 protected:
  void SetUp() override {
    if (!kavo_cpu::tier_available(GetParam().tier))
      GTEST_SKIP() << "tier " << GetParam().name
                   << " is not available on this processor";
    K = kavo_cpu::g_tier_tables[GetParam().tier];
  }

  // The AVX2 tier's table when it can run here, else null.
  static const kavo_cpu::Kernels* avx2() {
    return kavo_cpu::tier_available(kavo_cpu::TIER_AVX2)
               ? kavo_cpu::g_tier_tables[kavo_cpu::TIER_AVX2]
               : nullptr;
  }

  const kavo_cpu::Kernels* K = nullptr;
};

// ref_row_fma of every row of W for B activation rows: dots[b * m + row].
std::vector<float> ref_dots(const Packed& P, const std::vector<float>& x,
                            int64_t B) {
  const std::vector<float> W = ref_dense(P);
  std::vector<float> dots(B * P.m);
  for (int64_t b = 0; b < B; ++b)
    for (int64_t r = 0; r < P.m; ++r)
      dots[b * P.m + r] = ref_row_fma(W, P.k, r, x.data() + b * P.k);
  return dots;
}

// R = 4 tensor whose states at i = 0, 4, 8, ... of its 1,024 tiles (the
// disjoint 16-bit words of each stream) run through all 65,536 values.
Packed encode_every_state_r4() {
  std::vector<std::vector<uint8_t>> streams(1024);
  for (int t = 0; t < 1024; ++t) {
    streams[t].resize(128);
    for (int n = 0; n < 64; ++n) {
      const int v = 64 * t + n;
      streams[t][2 * n] = static_cast<uint8_t>(v >> 8);
      streams[t][2 * n + 1] = static_cast<uint8_t>(v & 0xFF);
    }
  }
  return encode_streams(128, 2048, 4, streams);
}

TEST_P(ZmmTierTest, DecompressEqualsScalarForEveryVariant) {
  VariantGuard guard;
  const kavo_cpu::Kernels* scalar =
      kavo_cpu::g_tier_tables[kavo_cpu::TIER_SCALAR];
  struct Shape {
    int64_t m, k;
  };
  for (const Shape s : {Shape{32, 64}, Shape{64, 2112}}) {
    for (int R = 1; R <= 4; ++R) {
      const Packed P = encode_random(s.m, s.k, R, 100 + 10 * R + s.k);
      std::vector<uint16_t> want(P.m * P.k, 0x7E00);
      scalar->decompress(P.words.data(), want.data(), P.m, P.k, R);
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(want[i], ref_codebook_bits(P.states[i])) << "scalar i=" << i;
      for (const auto v : kAllVariants) {
        guard.set(v);
        // 0x7E00 (a NaN) is never a decoded value: it exposes gaps.
        std::vector<uint16_t> got(P.m * P.k, 0x7E00);
        K->decompress(P.words.data(), got.data(), P.m, P.k, R);
        ASSERT_EQ(got, want)
            << "m=" << s.m << " k=" << s.k << " R=" << R << " variant=" << v;
      }
      if (R == 4) {
        // Any width other than 1..3 reads the 4-bit layout.
        std::vector<uint16_t> got(P.m * P.k, 0x7E00);
        K->decompress(P.words.data(), got.data(), P.m, P.k, 0);
        ASSERT_EQ(got, want) << "R=0";
      }
    }
  }
}

// Outputs over 1 MiB that start on a 64-byte boundary take the streaming
// store path; the same size one element off a boundary, the regular one.
TEST_P(ZmmTierTest, LargeDecompressAlignedAndMisaligned) {
  VariantGuard guard;
  const kavo_cpu::Kernels* scalar =
      kavo_cpu::g_tier_tables[kavo_cpu::TIER_SCALAR];
  const int64_t m = 256, k = 4160;  // 2.03 MiB of output
  for (const int R : {2, 3}) {
    const Packed P = encode_random(m, k, R, 500 + R);
    std::vector<uint16_t> want(m * k);
    scalar->decompress(P.words.data(), want.data(), m, k, R);
    for (const size_t offset : {0, 1}) {
      for (const auto v : kProductVariants) {
        guard.set(v);
        std::vector<uint16_t> buf(m * k + 64, 0x7E00);
        const uintptr_t addr = reinterpret_cast<uintptr_t>(buf.data());
        uint16_t* out = buf.data() + ((64 - addr % 64) % 64) / 2 + offset;
        K->decompress(P.words.data(), out, m, k, R);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), out))
            << "R=" << R << " offset=" << offset << " variant=" << v;
      }
    }
  }
}

TEST_P(ZmmTierTest, DecodeMatchesTableForAllStates) {
  VariantGuard guard;
  const Packed P = encode_every_state_r4();
  std::vector<bool> seen(65536, false);
  for (int64_t r = 0; r < P.m; ++r)
    for (int64_t c = 0; c < P.k; ++c) seen[P.states[r * P.k + c]] = true;
  for (uint32_t s = 0; s < 65536; ++s) ASSERT_TRUE(seen[s]) << "state " << s;

  for (const auto v : kProductVariants) {
    guard.set(v);
    std::vector<uint16_t> got(P.m * P.k, 0x7E00);
    K->decompress(P.words.data(), got.data(), P.m, P.k, 4);
    for (size_t i = 0; i < got.size(); ++i) {
      const uint16_t s = P.states[i];
      ASSERT_EQ(got[i], kavo_cpu::g_lut16[s])
          << "state " << s << " variant=" << v;
      ASSERT_EQ(got[i], ref_codebook_bits(s)) << "state " << s;
    }
  }
}

// Matrix-vector and matrix-matrix products against the fused-multiply-add
// reference, over every width, the warp layouts of k and batch sizes 1..8.
TEST_P(ZmmTierTest, ProductsMatchFmaOrder) {
  VariantGuard guard;
  const kavo_cpu::Kernels* ref_tier = avx2();
  const int64_t m = 64, nblk = m / 32;
  const float wscale = 1.37f;
  for (const int64_t k : {64, 192, 2112, 4096}) {
    for (int R = 1; R <= 4; ++R) {
      const Packed P = encode_random(m, k, R, 7000 + 31 * k + R);
      const std::vector<float> x = random_floats(8 * k, 9000 + k + R);
      const std::vector<float> old = random_floats(8 * m, 11 + k + R, -4, 4);
      const std::vector<float> dots = ref_dots(P, x, 8);
      for (const auto v : kProductVariants) {
        guard.set(v);
        const std::string where = "k=" + std::to_string(k) +
                                  " R=" + std::to_string(R) +
                                  " variant=" + std::to_string(v);
        // Matrix-vector per activation row, overwriting a NaN-filled y.
        std::vector<float> yv(8 * m);
        for (int64_t b = 0; b < 8; ++b) {
          float* yb = yv.data() + b * m;
          std::fill(yb, yb + m, std::numeric_limits<float>::quiet_NaN());
          K->matvec(P.words.data(), x.data() + b * k, yb, m, k, R, wscale,
                    false, 0, nblk);
          for (int64_t r = 0; r < m; ++r)
            ASSERT_EQ(bits_of(yb[r]),
                      bits_of(ref_finish(dots[b * m + r], wscale, false, 0)))
                << where << " matvec b=" << b << " row=" << r;
        }
        for (int64_t B = 1; B <= 8; ++B) {
          std::vector<float> y(B * m, std::numeric_limits<float>::quiet_NaN());
          K->matmul(P.words.data(), x.data(), y.data(), B, m, k, R, wscale,
                    false, 0, nblk);
          for (int64_t i = 0; i < B * m; ++i)
            ASSERT_EQ(bits_of(y[i]), bits_of(yv[i]))
                << where << " matmul B=" << B << " i=" << i;
          std::vector<float> ya(old.begin(), old.begin() + B * m);
          K->matmul(P.words.data(), x.data(), ya.data(), B, m, k, R, wscale,
                    true, 0, nblk);
          for (int64_t i = 0; i < B * m; ++i)
            ASSERT_EQ(bits_of(ya[i]),
                      bits_of(ref_finish(dots[i], wscale, true, old[i])))
                << where << " matmul accum B=" << B << " i=" << i;
          if (ref_tier) {
            std::vector<float> y2(B * m, 0.0f);
            ref_tier->matmul(P.words.data(), x.data(), y2.data(), B, m, k, R,
                             wscale, false, 0, nblk);
            for (int64_t i = 0; i < B * m; ++i)
              ASSERT_EQ(bits_of(y[i]), bits_of(y2[i]))
                  << where << " vs avx2 B=" << B << " i=" << i;
          }
        }
        std::vector<float> ya(old.begin(), old.begin() + m);
        K->matvec(P.words.data(), x.data(), ya.data(), m, k, R, wscale, true, 0,
                  nblk);
        for (int64_t r = 0; r < m; ++r)
          ASSERT_EQ(bits_of(ya[r]),
                    bits_of(ref_finish(dots[r], wscale, true, old[r])))
              << where << " matvec accum row=" << r;
        if (ref_tier) {
          std::vector<float> y2(m, 0.0f);
          ref_tier->matvec(P.words.data(), x.data(), y2.data(), m, k, R, wscale,
                           false, 0, nblk);
          for (int64_t r = 0; r < m; ++r)
            ASSERT_EQ(bits_of(yv[r]), bits_of(y2[r]))
                << where << " matvec vs avx2 row=" << r;
        }
      }
    }
  }
}

// Block ranges: only rows of [begin, end) change, whatever the split.
TEST_P(ZmmTierTest, BlockRangesTouchOnlyTheirRows) {
  const int64_t m = 128, k = 192, B = 3, nblk = m / 32;
  const float wscale = 0.5f;
  const Packed P = encode_random(m, k, 3, 4242);
  const std::vector<float> x = random_floats(B * k, 4343);
  const std::vector<float> dots = ref_dots(P, x, B);
  const std::vector<float> init = random_floats(B * m, 4444, -2, 2);

  struct Case {
    int64_t begin, end;
    bool accum;
  };
  const Case cases[] = {{0, 4, false}, {1, 3, false}, {1, 3, true},
                        {3, 4, true},  {2, 2, false}, {3, 1, true}};
  for (const Case& c : cases) {
    for (const int64_t nb : {int64_t{1}, B}) {
      std::vector<float> y(init.begin(), init.begin() + nb * m);
      if (nb == 1)
        K->matvec(P.words.data(), x.data(), y.data(), m, k, 3, wscale, c.accum,
                  c.begin, c.end);
      else
        K->matmul(P.words.data(), x.data(), y.data(), nb, m, k, 3, wscale,
                  c.accum, c.begin, c.end);
      for (int64_t b = 0; b < nb; ++b) {
        for (int64_t r = 0; r < m; ++r) {
          const int64_t i = b * m + r;
          const bool inside = r / 32 >= c.begin && r / 32 < c.end;
          const float want =
              inside ? ref_finish(dots[i], wscale, c.accum, init[i]) : init[i];
          ASSERT_EQ(bits_of(y[i]), bits_of(want))
              << "range [" << c.begin << "," << c.end << ") accum=" << c.accum
              << " B=" << nb << " b=" << b << " row=" << r;
        }
      }
    }
  }

  // Any split of the blocks over calls gives the bits of one call.
  std::vector<float> whole(B * m), split(B * m);
  K->matmul(P.words.data(), x.data(), whole.data(), B, m, k, 3, wscale, false,
            0, nblk);
  for (const auto& r : {std::pair<int64_t, int64_t>{2, 3}, {0, 2}, {3, 4}})
    K->matmul(P.words.data(), x.data(), split.data(), B, m, k, 3, wscale, false,
              r.first, r.second);
  for (int64_t i = 0; i < B * m; ++i)
    ASSERT_EQ(bits_of(split[i]), bits_of(whole[i])) << "i=" << i;
}

INSTANTIATE_TEST_SUITE_P(Tiers, ZmmTierTest, ::testing::ValuesIn(kZmmTiers),
                         [](const ::testing::TestParamInfo<ZmmTier>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
