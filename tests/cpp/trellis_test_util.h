// Test-side encoder and references, written independently of the module:
// the encoder lays out packed tensors from chosen trellis streams, the
// references decode states and form products in each tier's order.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace kavo_test {

// Codebook value of a state, by double arithmetic and explicit rounding to a
// half-precision grid (no bit tricks shared with the module).
inline double ref_half_value(uint16_t h) {
  const int sign = (h >> 15) ? -1 : 1;
  const int exp = (h >> 10) & 31;
  const int man = h & 1023;
  if (exp == 0) return sign * std::ldexp(man, -24);
  if (exp == 31) return man ? NAN : sign * INFINITY;
  return sign * std::ldexp(1024 + man, exp - 25);
}

// Rounds a double that lies in the normal half range (or is zero) to the
// nearest half-precision value, ties to even, and returns its fp16 bits.
inline uint16_t ref_round_to_half_bits(double v) {
  if (v == 0) return std::signbit(v) ? 0x8000 : 0;
  const uint16_t sign = v < 0 ? 0x8000 : 0;
  const double a = std::fabs(v);
  int e;
  std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1)
  const double ulp = std::ldexp(1.0, e - 11);
  const double q = std::nearbyint(a / ulp);  // default mode: ties to even
  const double r = q * ulp;
  int e2;
  const double f2 = std::frexp(r, &e2);
  const int biased = e2 - 1 + 15;
  const int man = static_cast<int>(std::ldexp(f2, 11)) - 1024;
  return static_cast<uint16_t>(sign | (biased << 10) | man);
}

inline uint16_t ref_codebook_bits(uint32_t s) {
  uint32_t h = s * 0x5517C72u + 0x3D45AA4u;
  uint32_t r = (h & 0x8FFF8FFFu) ^ 0x3B603B60u;
  const double f = ref_half_value(static_cast<uint16_t>(r >> 16)) +
                   ref_half_value(static_cast<uint16_t>(r & 0xFFFF));
  return ref_round_to_half_bits(f);
}

inline float ref_codebook(uint32_t s) {
  return static_cast<float>(ref_half_value(ref_codebook_bits(s)));
}

// A packed weight tensor together with the state of every weight.
struct Packed {
  int64_t m = 0, k = 0;
  int R = 0;
  std::vector<uint16_t> words;   // (m/16)*(k/16)*16*R words
  std::vector<uint16_t> states;  // m*k, row-major: the state of each weight
};

// Position of state i of a tile (row, column inside the 16x16 tile).
inline void tile_position(int i, int* row, int* col) {
  const int l = i / 8, j = i % 8;
  *row = l / 4 + 8 * ((j / 2) % 2);
  *col = 2 * (l % 4) + (j % 2) + 8 * (j / 4);
}

// Bit b (0 = first, most significant) of a tile stream held as bytes.
inline int stream_bit(const std::vector<uint8_t>& S, int64_t b) {
  return (S[b / 8] >> (7 - b % 8)) & 1;
}

// Encodes one tile stream per tile (256*R bits each, most significant bit
// first) into the packed layout. streams[tile], tile = tm * (k/16) + tk.
inline Packed encode_streams(int64_t m, int64_t k, int R,
                             const std::vector<std::vector<uint8_t>>& streams) {
  Packed P;
  P.m = m;
  P.k = k;
  P.R = R;
  const int64_t tk_count = k / 16;
  P.words.assign((m / 16) * tk_count * 16 * R, 0);
  P.states.assign(m * k, 0);
  const int nbits = 256 * R;
  for (int64_t tm = 0; tm < m / 16; ++tm) {
    for (int64_t tk = 0; tk < tk_count; ++tk) {
      const auto& S = streams[tm * tk_count + tk];
      // States: 16-bit windows starting at bit R*i, wrapping.
      for (int i = 0; i < 256; ++i) {
        uint32_t st = 0;
        for (int b = 0; b < 16; ++b)
          st = (st << 1) | stream_bit(S, (R * i + b) % nbits);
        int row, col;
        tile_position(i, &row, &col);
        P.states[(tm * 16 + row) * k + tk * 16 + col] =
            static_cast<uint16_t>(st);
      }
      // Group (p, j), slot t = submi + 2*subki.
      const int64_t p = tm / 2, j = tk / 2;
      const int t = static_cast<int>((tm % 2) + 2 * (tk % 2));
      const int64_t gbase = p * (k / 16) * 32 * R + j * 64 * R;
      for (int l = 0; l < 32; ++l) {
        uint64_t chunk = 0;  // 8R bits, first stream bit most significant
        for (int b = 0; b < 8 * R; ++b)
          chunk = (chunk << 1) | stream_bit(S, 8 * R * l + b);
        // Lane word run V: chunk t at bits 8Rt..; stored little-endian.
        for (int b = 0; b < 8 * R; ++b) {
          if (!((chunk >> b) & 1)) continue;
          const int vb = 8 * R * t + b;
          P.words[gbase + 2 * R * l + vb / 16] |=
              static_cast<uint16_t>(1u << (vb % 16));
        }
      }
    }
  }
  return P;
}

inline Packed encode_random(int64_t m, int64_t k, int R, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<uint8_t>> streams((m / 16) * (k / 16));
  for (auto& S : streams) {
    S.resize(32 * R);
    for (auto& byte : S) byte = static_cast<uint8_t>(rng());
  }
  return encode_streams(m, k, R, streams);
}

// Groups of a block in visiting order: in every full round of 64 groups warp
// w owns groups 2w and 2w+1; a last partial round goes to the first warps.
inline std::vector<int64_t> visit_order(int64_t k) {
  const int64_t groups = k / 32, rounds = groups / 64, rem = groups % 64;
  std::vector<int64_t> order;
  for (int w = 0; w < 32; ++w) {
    for (int64_t r = 0; r < rounds; ++r) {
      order.push_back(64 * r + 2 * w);
      order.push_back(64 * r + 2 * w + 1);
    }
    if (2 * w < rem) {
      order.push_back(64 * rounds + 2 * w);
      order.push_back(64 * rounds + 2 * w + 1);
    }
  }
  return order;
}

// Dense float weights of a packed tensor, from its states.
inline std::vector<float> ref_dense(const Packed& P) {
  std::vector<float> W(P.states.size());
  for (size_t i = 0; i < W.size(); ++i) W[i] = ref_codebook(P.states[i]);
  return W;
}

// Scalar order: one accumulator per row; per 16-column half tile and per
// column pair lane q, four rounded products summed left to right.
inline float ref_row_scalar(const std::vector<float>& W, int64_t k, int64_t row,
                            const float* x) {
  float acc = 0.0f;
  for (int64_t j : visit_order(k)) {
    for (int subki = 0; subki < 2; ++subki) {
      const int64_t c = 32 * j + 16 * subki;
      const float* w = &W[row * k + c];
      for (int q = 0; q < 4; ++q) {
        const int c0 = 2 * q;
        const float p0 = w[c0] * x[c + c0];
        const float p1 = w[c0 + 1] * x[c + c0 + 1];
        const float p2 = w[c0 + 8] * x[c + c0 + 8];
        const float p3 = w[c0 + 9] * x[c + c0 + 9];
        const float s01 = p0 + p1;
        const float s012 = s01 + p2;
        const float s = s012 + p3;
        acc = acc + s;
      }
    }
  }
  return acc;
}

// Vector-tier order: four chains of fused multiply-adds per row (one per
// column pair 2t, 2t+1, 2t+8, 2t+9 of each half tile), combined pairwise.
inline float ref_row_fma(const std::vector<float>& W, int64_t k, int64_t row,
                         const float* x) {
  float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (int64_t j : visit_order(k)) {
    for (int subki = 0; subki < 2; ++subki) {
      const int64_t c = 32 * j + 16 * subki;
      const float* w = &W[row * k + c];
      for (int t = 0; t < 4; ++t) {
        const int c0 = 2 * t;
        s[t] = std::fma(w[c0], x[c + c0], s[t]);
        s[t] = std::fma(w[c0 + 1], x[c + c0 + 1], s[t]);
        s[t] = std::fma(w[c0 + 8], x[c + c0 + 8], s[t]);
        s[t] = std::fma(w[c0 + 9], x[c + c0 + 9], s[t]);
      }
    }
  }
  const float a = s[0] + s[1];
  const float b = s[2] + s[3];
  return a + b;
}

// Applies wscale and accumulate exactly as the kernels' epilogue does.
inline float ref_finish(float dot, float wscale, bool accum, float old) {
  const float v = dot * wscale;
  return accum ? old + v : v;
}

inline std::vector<float> random_floats(size_t n, uint64_t seed,
                                        float lo = -1.0f, float hi = 1.0f) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& f : v) f = d(rng);
  return v;
}

inline uint32_t bits_of(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

}  // namespace kavo_test
