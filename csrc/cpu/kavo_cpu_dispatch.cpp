// Decode tables and tier selection. Built for baseline x86-64: this is the
// code that runs before a tier is chosen.
#include <cpuid.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "kavo_trellis_cpu.h"

namespace kavo_cpu {

alignas(64) uint16_t g_lut16[65536];
alignas(64) float g_lut32[65536];
DecodeVariant g_decode_variant = DECODE_AUTO;

const char* const g_tier_names[TIER_COUNT] = {"scalar", "avx2", "avx512",
                                              "avx512fp16"};
const Kernels* g_tier_tables[TIER_COUNT] = {nullptr, nullptr, nullptr, nullptr};
std::atomic<int> g_active{-1};

namespace {

std::once_flag g_lut_once;
std::once_flag g_tables_once;

void build_lut() {
  for (uint32_t s = 0; s < 65536; ++s) {
    const uint16_t v = codebook_value(s);
    g_lut16[s] = v;
    g_lut32[s] = half_to_float(v);
  }
}

void ensure_tables() {
  std::call_once(g_tables_once, [] {
    init_lut();
    g_tier_tables[TIER_SCALAR] = scalar_kernels();
    g_tier_tables[TIER_AVX2] = avx2_kernels();
    g_tier_tables[TIER_AVX512] = avx512_kernels();
    g_tier_tables[TIER_AVX512FP16] = avx512fp16_kernels();
  });
}

// Processor features, each counted only when the operating system also saves
// the register state it needs (XCR0).
struct CpuFeatures {
  bool avx2 = false, fma = false, f16c = false;
  bool avx512f = false, avx512bw = false, avx512vl = false, avx512fp16 = false;
};

uint64_t read_xcr0() {
  uint32_t lo, hi;
  // xgetbv encoded by hand so that this unit needs no -mxsave.
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

CpuFeatures probe_cpu() {
  CpuFeatures f;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool osxsave = (c >> 27) & 1;
  const bool avx = (c >> 28) & 1;
  if (!osxsave || !avx) return f;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm_state = (xcr0 & 0x6) == 0x6;
  const bool zmm_state = ymm_state && (xcr0 & 0xE0) == 0xE0;
  if (!ymm_state) return f;
  f.fma = (c >> 12) & 1;
  f.f16c = (c >> 29) & 1;
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  f.avx2 = (b >> 5) & 1;
  if (zmm_state) {
    f.avx512f = (b >> 16) & 1;
    f.avx512bw = (b >> 30) & 1;
    f.avx512vl = (b >> 31) & 1;
    f.avx512fp16 = (d >> 23) & 1;
  }
  return f;
}

const CpuFeatures& cpu() {
  static const CpuFeatures f = probe_cpu();
  return f;
}

int tier_index(const char* name) {
  for (int t = 0; t < static_cast<int>(TIER_COUNT); ++t)
    if (std::strcmp(name, g_tier_names[t]) == 0) return t;
  return -1;
}

}  // namespace

void init_lut() { std::call_once(g_lut_once, build_lut); }

bool tier_cpu_supported(Tier t) {
  const CpuFeatures& f = cpu();
  switch (t) {
    case TIER_SCALAR: return true;
    case TIER_AVX2: return f.avx2 && f.fma && f.f16c;
    case TIER_AVX512: return f.avx512f && f.avx512vl && f.avx512bw;
    case TIER_AVX512FP16:
      return f.avx512f && f.avx512vl && f.avx512bw && f.avx512fp16;
    default: return false;
  }
}

bool tier_available(Tier t) {
  ensure_tables();
  if (t >= TIER_COUNT) return false;
  return g_tier_tables[t] != nullptr && tier_cpu_supported(t);
}

Tier resolve_auto() {
  for (int t = static_cast<int>(TIER_COUNT) - 1; t > 0; --t)
    if (tier_available(static_cast<Tier>(t))) return static_cast<Tier>(t);
  return TIER_SCALAR;
}

void set_tier_by_name(const char* name) {
  ensure_tables();
  if (std::strcmp(name, "auto") == 0) {
    g_active.store(static_cast<int>(resolve_auto()));
    return;
  }
  const int t = tier_index(name);
  if (t < 0)
    throw std::runtime_error(std::string("unknown kavo CPU isa tier: ") + name +
                             " (want scalar|avx2|avx512|avx512fp16|auto)");
  if (!tier_available(static_cast<Tier>(t)))
    throw std::runtime_error(std::string("kavo CPU isa tier unavailable: ") +
                             name);
  g_active.store(t);
}

const Kernels& active() {
  ensure_tables();
  int t = g_active.load();
  if (t >= 0) return *g_tier_tables[t];
  const char* env = std::getenv("KAVO_CPU_ISA");
  if (env != nullptr && env[0] != '\0')
    set_tier_by_name(env);
  else
    g_active.store(static_cast<int>(resolve_auto()));
  t = g_active.load();
  return *g_tier_tables[t];
}

const char* active_name() {
  active();
  return g_tier_names[g_active.load()];
}

}  // namespace kavo_cpu
