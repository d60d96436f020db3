// Kernel throughput: decompress, matvec and matmul (B = 8) of every tier this
// processor can run, R = 1 to 4, on three layer shapes. Each iteration is one
// call over all row blocks on the calling thread, so the figures are per core.
//
// Names are kernel/tier/R/mxk, e.g. "matvec/avx2/R2/4096x4096", so that
// --benchmark_filter can pick a kernel, a tier or a shape.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decode_bound.h"
#include "kavo_trellis_cpu.h"

namespace {

using kavo_cpu::Kernels;
using kavo_cpu::Tier;

struct Shape {
  int64_t m, k;
};

constexpr Shape kShapes[] = {{4096, 4096}, {11008, 4096}, {4096, 11008}};
constexpr int64_t kBatch = 8;
constexpr int kMaxR = 4;

// Every bit pattern is a valid packed tensor, so one buffer of random words
// sized for the largest case serves every (m, k, R) as a prefix. Built once:
// regenerating per benchmark would cost more than some runs themselves.
struct Buffers {
  std::vector<uint16_t> packed;
  std::vector<float> x, y;
  std::vector<uint16_t> w;
  // The decompress output, 64-byte aligned like the tensors the operation
  // allocates (a large vector's data is typically 16 bytes past a page).
  uint16_t* w_out = nullptr;

  Buffers() {
    int64_t max_mk = 0, max_m = 0, max_k = 0;
    for (const Shape& s : kShapes) {
      max_mk = std::max(max_mk, s.m * s.k);
      max_m = std::max(max_m, s.m);
      max_k = std::max(max_k, s.k);
    }
    std::mt19937_64 rng(0x6b61766fULL);
    packed.resize(static_cast<size_t>(max_mk / 16 * kMaxR));
    for (size_t i = 0; i < packed.size(); i += 4) {
      const uint64_t r = rng();
      std::memcpy(&packed[i], &r, sizeof r);
    }
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    x.resize(static_cast<size_t>(kBatch * max_k));
    for (float& v : x) v = u(rng);
    y.assign(static_cast<size_t>(kBatch * max_m), 0.0f);
    // Touched now so that page faults do not land in the first decompress.
    w.assign(static_cast<size_t>(max_mk + 32), 0);
    w_out = reinterpret_cast<uint16_t*>(
        (reinterpret_cast<uintptr_t>(w.data()) + 63) & ~uintptr_t{63});
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

void set_rate(benchmark::State& state, const Shape& s) {
  state.counters["Wps"] = benchmark::Counter(
      static_cast<double>(s.m * s.k) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void bm_decompress(benchmark::State& state, const Kernels* kern, Shape s,
                   int R) {
  Buffers& b = buffers();
  for (auto _ : state) {
    kern->decompress(b.packed.data(), b.w_out, s.m, s.k, R);
    benchmark::DoNotOptimize(b.w_out);
    benchmark::ClobberMemory();
  }
  set_rate(state, s);
}

void bm_matvec(benchmark::State& state, const Kernels* kern, Shape s, int R) {
  Buffers& b = buffers();
  for (auto _ : state) {
    kern->matvec(b.packed.data(), b.x.data(), b.y.data(), s.m, s.k, R, 1.0f,
                 false, 0, s.m / 32);
    benchmark::DoNotOptimize(b.y.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, s);
}

void bm_matmul(benchmark::State& state, const Kernels* kern, Shape s, int R) {
  Buffers& b = buffers();
  for (auto _ : state) {
    kern->matmul(b.packed.data(), b.x.data(), b.y.data(), kBatch, s.m, s.k, R,
                 1.0f, false, 0, s.m / 32);
    benchmark::DoNotOptimize(b.y.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, s);
}

template <class Fn>
void register_kernel(const char* kernel, const char* tier, const Kernels* kern,
                     Fn fn) {
  for (const Shape& s : kShapes) {
    for (int R = 1; R <= kMaxR; ++R) {
      const std::string name = std::string(kernel) + "/" + tier + "/R" +
                               std::to_string(R) + "/" + std::to_string(s.m) +
                               "x" + std::to_string(s.k);
      benchmark::RegisterBenchmark(name.c_str(), fn, kern, s, R)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

// The decode-bound ceiling: 64 KiB of random states (as a kernel's unpacked
// group buffers would hold them) decoded and fed to fused multiply-adds.
using DecodeBoundFn = float (*)(const uint32_t*, const uint16_t*, int64_t,
                                int64_t, bool);

void bm_decode_bound(benchmark::State& state, DecodeBoundFn fn, bool lut) {
  constexpr int64_t kStates = 16384, kReps = 16;
  static std::vector<uint32_t> storage(kStates + kStates / 2 + 16);
  uint32_t* states = reinterpret_cast<uint32_t*>(
      (reinterpret_cast<uintptr_t>(storage.data()) + 63) & ~uintptr_t{63});
  uint16_t* words = reinterpret_cast<uint16_t*>(states + kStates);
  std::mt19937 rng(7);
  for (int64_t i = 0; i < kStates; ++i)
    words[i] = static_cast<uint16_t>(states[i] = rng() & 0xFFFF);
  for (auto _ : state)
    benchmark::DoNotOptimize(fn(states, words, kStates, kReps, lut));
  state.counters["Wps"] =
      benchmark::Counter(static_cast<double>(kStates * kReps) *
                             static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  kavo_cpu::init_lut();

  std::string tiers;
  for (unsigned t = 0; t < kavo_cpu::TIER_COUNT; ++t) {
    if (!kavo_cpu::tier_available(static_cast<Tier>(t))) continue;
    const char* name = kavo_cpu::g_tier_names[t];
    const Kernels* kern = kavo_cpu::g_tier_tables[t];
    tiers += tiers.empty() ? name : std::string(",") + name;
    register_kernel("decompress", name, kern, bm_decompress);
    register_kernel("matvec", name, kern, bm_matvec);
    register_kernel("matmul_B8", name, kern, bm_matmul);
  }
  const struct {
    Tier tier;
    DecodeBoundFn fn;
  } bounds[] = {{kavo_cpu::TIER_AVX2, kavo_decode_bound_avx2},
                {kavo_cpu::TIER_AVX512, kavo_decode_bound_avx512},
                {kavo_cpu::TIER_AVX512FP16, kavo_decode_bound_fp16}};
  for (const auto& b : bounds) {
    if (!kavo_cpu::tier_cpu_supported(b.tier)) continue;
    for (bool lut : {false, true}) {
      const std::string name = std::string("decode_bound/") +
                               kavo_cpu::g_tier_names[b.tier] +
                               (lut ? "/lut" : "/arith");
      benchmark::RegisterBenchmark(name.c_str(), bm_decode_bound, b.fn, lut)
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
  }

  benchmark::AddCustomContext("kavo_tiers", tiers);
  benchmark::AddCustomContext("kavo_auto_tier",
                              kavo_cpu::g_tier_names[kavo_cpu::resolve_auto()]);

  // A short default run: the scalar tier takes tens of milliseconds per call
  // and the whole suite should finish in a few minutes. A later
  // --benchmark_min_time on the command line overrides this one.
  std::vector<char*> args(argv, argv + argc);
  static char min_time[] = "--benchmark_min_time=0.15";
  args.insert(args.begin() + 1, min_time);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
