// The packed trellis layout: group geometry, the lane routines that turn a
// group's words into 16-bit states, and the order in which kernels visit the
// groups of a 32-row block (which fixes the order of accumulation).
//
// All of it is in an unnamed namespace so that each tier unit, compiled with
// its own instruction-set flags, keeps private copies (see kavo_trellis_cpu.h).
#pragma once

#include <cstdint>

namespace kavo_cpu {
namespace {

struct Geom {
  int64_t tileCountM;
  int64_t tileCountK;
  int64_t u16_per_tile;
  int64_t utb;          // words from group to group: 64*R
  int64_t weight_step;  // words between the two group pairs of a warp: 4096*R
  int64_t weight_row_step;  // words from block to block: (k/16)*32*R
  int64_t k_per_block;      // groups every warp visits in a block
  int64_t warp_rem;         // warps 0..warp_rem-1 visit two groups more

  static Geom make(int64_t m, int64_t k, int R) {
    Geom g;
    g.tileCountM = m / 16;
    g.tileCountK = k / 16;
    g.u16_per_tile = 16 * static_cast<int64_t>(R);
    g.utb = 64 * static_cast<int64_t>(R);
    g.weight_step = 4096 * static_cast<int64_t>(R);
    g.weight_row_step = g.tileCountK * 32 * R;
    g.k_per_block = 2 * (k / 2048);
    g.warp_rem = (g.tileCountK % 128) / 4;
    return g;
  }

  // Number of groups warp w visits in each block.
  int64_t warp_k(int w) const { return k_per_block + (w < warp_rem ? 2 : 0); }
};

// Group index j visited by warp w at its step ki.
inline int64_t warp_group(int w, int64_t ki) {
  return 2 * (w + 32 * (ki >> 1)) + (ki & 1);
}

// Calls f(j) for every group of a block, in visiting order.
template <typename F>
inline void for_each_group(const Geom& g, F&& f) {
  for (int w = 0; w < 32; ++w) {
    const int64_t n = g.warp_k(w);
    for (int64_t ki = 0; ki < n; ++ki) f(warp_group(w, ki));
  }
}

// Slot of the tile [submi][subki] inside a group.
constexpr int kSlotMap[2][2] = {{0, 2}, {1, 3}};

// The four 8R-bit chunks of lane l (chunk t is bits 8Rt.. of the lane's
// little-endian 32R-bit word run).
template <int R>
inline void lane_chunks(const uint16_t* buf, int l, uint32_t* out) {
  const uint16_t* p = buf + 2 * R * l;
  if constexpr (R == 1) {
    const uint32_t v = p[0] | (static_cast<uint32_t>(p[1]) << 16);
    out[0] = v & 0xFFu;
    out[1] = (v >> 8) & 0xFFu;
    out[2] = (v >> 16) & 0xFFu;
    out[3] = v >> 24;
  } else if constexpr (R == 2) {
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
    out[3] = p[3];
  } else if constexpr (R == 3) {
    const uint32_t r1 = p[0] | (static_cast<uint32_t>(p[1]) << 16);
    const uint32_t r2 = p[2] | (static_cast<uint32_t>(p[3]) << 16);
    const uint32_t r3 = p[4] | (static_cast<uint32_t>(p[5]) << 16);
    out[0] = r1 & 0xFFFFFFu;
    out[1] = ((r1 >> 24) | (r2 << 8)) & 0xFFFFFFu;
    out[2] = ((r2 >> 16) | (r3 << 16)) & 0xFFFFFFu;
    out[3] = r3 >> 8;
  } else {
    out[0] = p[0] | (static_cast<uint32_t>(p[1]) << 16);
    out[1] = p[2] | (static_cast<uint32_t>(p[3]) << 16);
    out[2] = p[4] | (static_cast<uint32_t>(p[5]) << 16);
    out[3] = p[6] | (static_cast<uint32_t>(p[7]) << 16);
  }
}

// The 16 stream bits that follow lane l's chunk, from the next lanes of the
// same slot, wrapping from lane 31 to lane 0.
template <int R>
inline uint32_t lane_cont(const uint32_t* chunk, int l) {
  const uint32_t n1 = chunk[(l + 1) & 31];
  if constexpr (R == 1) {
    return ((n1 << 8) | (chunk[(l + 2) & 31] & 0xFFu)) & 0xFFFFu;
  } else if constexpr (R == 2) {
    return n1 & 0xFFFFu;
  } else if constexpr (R == 3) {
    return n1 >> 8;
  } else {
    return n1 >> 16;
  }
}

// The lane's 8 states: 16-bit windows of (chunk, cont) stepping by R bits.
template <int R>
inline void lane_states(uint32_t chunk, uint32_t cont, uint16_t* s) {
  const uint64_t ext = (static_cast<uint64_t>(chunk) << 16) | cont;
  for (int j = 0; j < 8; ++j)
    s[j] = static_cast<uint16_t>((ext >> (R * (8 - j))) & 0xFFFFu);
}

// All 1,024 states of a group: states[slot][j][l], zero-extended.
template <int R>
inline void unpack_group_states(const uint16_t* buf,
                                uint32_t (*states)[8][32]) {
  uint32_t chunks[4][32];
  for (int l = 0; l < 32; ++l) {
    uint32_t c[4];
    lane_chunks<R>(buf, l, c);
    for (int t = 0; t < 4; ++t) chunks[t][l] = c[t];
  }
  for (int t = 0; t < 4; ++t) {
    for (int l = 0; l < 32; ++l) {
      uint16_t s[8];
      lane_states<R>(chunks[t][l], lane_cont<R>(chunks[t], l), s);
      for (int j = 0; j < 8; ++j) states[t][j][l] = s[j];
    }
  }
}

}  // namespace
}  // namespace kavo_cpu
