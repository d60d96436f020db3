// The scalar tier against the test-side encoder and references.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

namespace {

using namespace kavo_test;

const kavo_cpu::Kernels& scalar() {
  kavo_cpu::init_lut();
  return *kavo_cpu::scalar_kernels();
}

std::vector<uint16_t> decompress(const Packed& P, int R) {
  std::vector<uint16_t> W(P.m * P.k, 0xDEAD);
  scalar().decompress(P.words.data(), W.data(), P.m, P.k, R);
  return W;
}

TEST(ScalarDecompress, RoundTripsEncodedStates) {
  const struct { int64_t m, k; } shapes[] = {{32, 64}, {64, 192}, {32, 2112}};
  for (const auto& s : shapes)
    for (int R = 1; R <= 4; ++R) {
      const Packed P = encode_random(s.m, s.k, R, 17 * R + s.k);
      const auto W = decompress(P, R);
      for (size_t i = 0; i < W.size(); ++i)
        ASSERT_EQ(W[i], ref_codebook_bits(P.states[i]))
            << "m=" << s.m << " k=" << s.k << " R=" << R << " i=" << i;
    }
}

TEST(ScalarDecompress, ConstantWordsAndUnexpectedR) {
  // All-zero words are state 0 everywhere, all-ones state 0xFFFF; an R
  // outside 1..3 reads the 4-bit layout.
  for (int R : {1, 2, 3, 4, 0, 7}) {
    const int width = (R >= 1 && R <= 3) ? R : 4;
    for (uint16_t word : {uint16_t{0}, uint16_t{0xFFFF}}) {
      Packed P;
      P.m = 32;
      P.k = 64;
      P.words.assign(8 * 16 * width, word);
      const auto W = decompress(P, R);
      const uint16_t want = word ? 0xB110 : 0x3A25;
      for (uint16_t v : W) ASSERT_EQ(v, want) << "R=" << R;
    }
  }
}

TEST(ScalarDecompress, WordsHoldingTheirIndexR2) {
  Packed P;
  P.m = 32;
  P.k = 64;
  P.words.resize(256);
  for (int i = 0; i < 256; ++i) P.words[i] = static_cast<uint16_t>(i);
  const auto W = decompress(P, 2);
  const struct {
    int r, c;
    uint16_t v;
  } cases[] = {{0, 0, 0x3A25},  {8, 9, 0xBB5B},   {16, 0, 0xBB5B},
               {0, 16, 0x3B74}, {16, 16, 0x34B6}, {0, 2, 0x3924}};
  for (const auto& c : cases)
    EXPECT_EQ(W[c.r * 64 + c.c], c.v) << c.r << "," << c.c;
}

TEST(ScalarDecompress, OneBitChangesOnlyTheWindowsCoveringIt) {
  // A stream bit lies in 16/R consecutive windows of one tile (5 or 6 for
  // R = 3), and in no other tile.
  for (int R = 1; R <= 4; ++R) {
    Packed P = encode_random(32, 64, R, 5 + R);
    const auto before = decompress(P, R);
    P.words[2 * R * 9 + R - 1] ^= 0x0010;  // a bit of lane 9
    const auto after = decompress(P, R);
    int per_tile[8] = {};
    for (int r = 0; r < 32; ++r)
      for (int c = 0; c < 64; ++c)
        if (before[r * 64 + c] != after[r * 64 + c])
          ++per_tile[r / 16 + 2 * (c / 16)];
    int tiles = 0, changed = 0;
    for (int n : per_tile) tiles += n > 0, changed += n;
    EXPECT_EQ(tiles, 1) << "R=" << R;
    if (R == 3) {
      EXPECT_TRUE(changed == 5 || changed == 6) << changed;
    } else {
      EXPECT_EQ(changed, 16 / R) << "R=" << R;
    }
  }
}

// Products: the scalar kernels must reproduce the reference order exactly.
struct ProductCase {
  int64_t m, k;
  int R;
};

void PrintTo(const ProductCase& c, std::ostream* os) {
  *os << c.m << "x" << c.k << " R" << c.R;
}

class ScalarProducts : public ::testing::TestWithParam<ProductCase> {};

TEST_P(ScalarProducts, MatvecAndMatmulBitExact) {
  const auto [m, k, R] = GetParam();
  const Packed P = encode_random(m, k, R, 1000 + m + k + R);
  const auto W = ref_dense(P);
  const int64_t B = 5;
  const auto x = random_floats(B * k, 77 + R, -2.0f, 2.0f);
  const float wscale = 0.37f;
  const auto old = random_floats(B * m, 99);
  for (bool accum : {false, true}) {
    std::vector<float> y = old;
    scalar().matmul(P.words.data(), x.data(), y.data(), B, m, k, R, wscale,
                    accum, 0, m / 32);
    for (int64_t b = 0; b < B; ++b) {
      std::vector<float> yv(old.begin() + b * m, old.begin() + (b + 1) * m);
      scalar().matvec(P.words.data(), x.data() + b * k, yv.data(), m, k, R,
                      wscale, accum, 0, m / 32);
      for (int64_t r = 0; r < m; ++r) {
        const float want = ref_finish(ref_row_scalar(W, k, r, x.data() + b * k),
                                      wscale, accum, old[b * m + r]);
        ASSERT_EQ(bits_of(y[b * m + r]), bits_of(want))
            << "matmul b=" << b << " r=" << r << " accum=" << accum;
        ASSERT_EQ(bits_of(yv[r]), bits_of(want))
            << "matvec b=" << b << " r=" << r << " accum=" << accum;
      }
    }
  }
}

TEST_P(ScalarProducts, BlockRangesOnlyTouchTheirRowsAndSplitsAgree) {
  const auto [m, k, R] = GetParam();
  const Packed P = encode_random(m, k, R, 3 + R);
  const auto x = random_floats(2 * k, 5);
  const int64_t blocks = m / 32;
  std::vector<float> whole(2 * m, NAN);
  scalar().matmul(P.words.data(), x.data(), whole.data(), 2, m, k, R, 1.0f,
                  false, 0, blocks);
  std::vector<float> split(2 * m, NAN);
  for (int64_t b = 0; b < blocks; ++b) {
    // Empty ranges write nothing; a one-block range writes only its rows.
    scalar().matmul(P.words.data(), x.data(), split.data(), 2, m, k, R, 1.0f,
                    false, b, b);
    for (int64_t r = 32 * b; r < m; ++r) ASSERT_TRUE(std::isnan(split[r]));
    scalar().matmul(P.words.data(), x.data(), split.data(), 2, m, k, R, 1.0f,
                    false, b, b + 1);
    for (int64_t r = 32 * (b + 1); r < m; ++r)
      ASSERT_TRUE(std::isnan(split[r]));
  }
  for (int64_t i = 0; i < 2 * m; ++i)
    ASSERT_EQ(bits_of(split[i]), bits_of(whole[i]));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScalarProducts,
                         ::testing::Values(ProductCase{32, 64, 1},
                                           ProductCase{64, 192, 2},
                                           ProductCase{96, 2112, 3},
                                           ProductCase{64, 4096, 4},
                                           ProductCase{64, 128, 2}));

TEST(ScalarProducts, OneHotSelectsAColumnAndNanSpreads) {
  const Packed P = encode_random(64, 128, 3, 8);
  const auto W = ref_dense(P);
  std::vector<float> x(128, 0.0f);
  x[77] = 1.0f;
  std::vector<float> y(64);
  scalar().matvec(P.words.data(), x.data(), y.data(), 64, 128, 3, 1.0f, false,
                  0, 2);
  for (int r = 0; r < 64; ++r) EXPECT_EQ(y[r], W[r * 128 + 77]) << r;
  x[5] = NAN;
  scalar().matvec(P.words.data(), x.data(), y.data(), 64, 128, 3, 1.0f, false,
                  0, 2);
  for (int r = 0; r < 64; ++r) EXPECT_TRUE(std::isnan(y[r])) << r;
}

TEST(ScalarProducts, OverwriteKeepsNegativeZero) {
  const Packed P = encode_random(32, 64, 2, 4);
  std::vector<float> x(64, 0.0f), y(32, 1.0f);
  scalar().matvec(P.words.data(), x.data(), y.data(), 32, 64, 2, -1.0f, false,
                  0, 1);
  for (float v : y) EXPECT_EQ(bits_of(v), 0x80000000u);  // (+0) * -1 = -0
}

}  // namespace
