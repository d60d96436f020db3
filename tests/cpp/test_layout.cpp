// The lane routines and the visiting order, against worked examples and the
// test-side encoder.
#include <gtest/gtest.h>

#include <vector>

#include "kavo_trellis_cpu.h"
#include "kavo_trellis_layout.h"
#include "trellis_test_util.h"

namespace {

using namespace kavo_cpu;

TEST(Layout, WorkedLaneR2) {
  // Lane 31's first word 0xA5C3 continues into lane 0's first word 0x3C5A.
  std::vector<uint16_t> group(128, 0);
  group[124] = 0xA5C3;
  group[0] = 0x3C5A;
  uint32_t chunks[32];
  for (int l = 0; l < 32; ++l) {
    uint32_t c[4];
    lane_chunks<2>(group.data(), l, c);
    chunks[l] = c[0];
  }
  EXPECT_EQ(chunks[31], 0xA5C3u);
  EXPECT_EQ(lane_cont<2>(chunks, 31), 0x3C5Au);
  uint16_t s[8];
  lane_states<2>(chunks[31], lane_cont<2>(chunks, 31), s);
  const uint16_t want[8] = {0xA5C3, 0x970C, 0x5C33, 0x70CF,
                            0xC33C, 0x0CF1, 0x33C5, 0xCF16};
  for (int j = 0; j < 8; ++j) EXPECT_EQ(s[j], want[j]) << j;
}

TEST(Layout, LaneChunksSplitTheLaneBitsForEveryR) {
  // Chunk t is bits 8Rt.. of the lane's little-endian word run.
  const uint16_t words[8] = {0x3210, 0x7654, 0xBA98, 0xFEDC,
                             0x1357, 0x9BDF, 0x2468, 0xACE0};
  auto bits = [&](int from, int n) {
    uint64_t v = 0;
    for (int b = n - 1; b >= 0; --b)
      v = (v << 1) | ((words[(from + b) / 16] >> ((from + b) % 16)) & 1);
    return static_cast<uint32_t>(v);
  };
  uint32_t c[4];
  for (int R = 1; R <= 4; ++R) {
    switch (R) {
      case 1: lane_chunks<1>(words, 0, c); break;
      case 2: lane_chunks<2>(words, 0, c); break;
      case 3: lane_chunks<3>(words, 0, c); break;
      default: lane_chunks<4>(words, 0, c); break;
    }
    for (int t = 0; t < 4; ++t)
      EXPECT_EQ(c[t], bits(8 * R * t, 8 * R)) << "R=" << R << " t=" << t;
  }
}

TEST(Layout, ContinuationWrapsAcrossLanesR1) {
  uint32_t ch[32];
  for (int l = 0; l < 32; ++l) ch[l] = static_cast<uint32_t>(l * 7 + 3) & 0xFF;
  // Lane 31 needs lane 0 and lane 1; lane 30 needs lanes 31 and 0.
  EXPECT_EQ(lane_cont<1>(ch, 31), (ch[0] << 8) | ch[1]);
  EXPECT_EQ(lane_cont<1>(ch, 30), (ch[31] << 8) | ch[0]);
}

TEST(Layout, GeomAndVisitingOrder) {
  const struct {
    int64_t k, k_per_block, warp_rem;
  } cases[] = {{64, 0, 1},   {192, 0, 3},  {2048, 2, 0},
               {2112, 2, 1}, {4096, 4, 0}, {11008, 10, 12}};
  for (const auto& c : cases) {
    const Geom g = Geom::make(64, c.k, 2);
    EXPECT_EQ(g.k_per_block, c.k_per_block) << c.k;
    EXPECT_EQ(g.warp_rem, c.warp_rem) << c.k;
    std::vector<int64_t> order;
    for_each_group(g, [&](int64_t j) { order.push_back(j); });
    EXPECT_EQ(order, kavo_test::visit_order(c.k)) << c.k;
    std::vector<int64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int64_t j = 0; j < c.k / 32; ++j) ASSERT_EQ(sorted[j], j) << c.k;
  }
  const std::vector<int64_t> head = {0, 1, 64, 65, 2, 3, 66, 67};
  std::vector<int64_t> order;
  for_each_group(Geom::make(32, 4096, 2),
                 [&](int64_t j) { order.push_back(j); });
  EXPECT_EQ(std::vector<int64_t>(order.begin(), order.begin() + 8), head);
}

TEST(Layout, UnpackGroupStatesMatchesEncoder) {
  for (int R = 1; R <= 4; ++R) {
    const kavo_test::Packed P =
        kavo_test::encode_random(32, 32 * 2, R, 100 + R);
    uint32_t states[4][8][32];
    switch (R) {
      case 1: unpack_group_states<1>(P.words.data(), states); break;
      case 2: unpack_group_states<2>(P.words.data(), states); break;
      case 3: unpack_group_states<3>(P.words.data(), states); break;
      default: unpack_group_states<4>(P.words.data(), states); break;
    }
    for (int submi = 0; submi < 2; ++submi)
      for (int subki = 0; subki < 2; ++subki)
        for (int i = 0; i < 256; ++i) {
          int row, col;
          kavo_test::tile_position(i, &row, &col);
          const uint16_t want =
              P.states[(16 * submi + row) * P.k + 16 * subki + col];
          ASSERT_EQ(states[kSlotMap[submi][subki]][i % 8][i / 8], want)
              << "R=" << R << " slot=" << kSlotMap[submi][subki] << " i=" << i;
        }
  }
}

}  // namespace
