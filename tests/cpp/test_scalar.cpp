#include <gtest/gtest.h>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

using namespace kavo_test;

TEST(Smoke, DecompressMatchesEncoder) {
  kavo_cpu::init_lut();
  for (int R = 1; R <= 4; ++R) {
    Packed P = encode_random(64, 128, R, 7 + R);
    std::vector<uint16_t> W(P.m * P.k, 0xDEAD);
    kavo_cpu::scalar_kernels()->decompress(P.words.data(), W.data(), P.m, P.k, R);
    for (size_t i = 0; i < W.size(); ++i)
      ASSERT_EQ(W[i], ref_codebook_bits(P.states[i])) << "R=" << R << " i=" << i;
  }
}
