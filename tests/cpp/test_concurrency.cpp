// Process-wide state under concurrent use: the first use of the decode
// tables and of the tier table from many threads at once, and tier changes
// while other threads run products.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "kavo_trellis_cpu.h"
#include "trellis_test_util.h"

namespace {

using namespace kavo_cpu;
using namespace kavo_test;

// In a fresh process (threadsafe death tests re-run the binary), many
// threads make the very first calls together.
TEST(ConcurrencyDeathTest, FirstUseFromManyThreads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto body = [] {
    const Packed P = encode_random(64, 128, 2, 9);
    std::atomic<bool> go{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
      ts.emplace_back([&, t] {
        while (!go.load()) {
        }
        const char* name = active_name();
        const Kernels& k = active();
        if (std::strcmp(name, g_tier_names[resolve_auto()]) != 0) ++bad;
        std::vector<uint16_t> W(P.m * P.k);
        k.decompress(P.words.data(), W.data(), P.m, P.k, 2);
        for (size_t i = 0; i < W.size(); ++i)
          if (W[i] != ref_codebook_bits(P.states[i])) {
            ++bad;
            break;
          }
        if (!tier_available(TIER_SCALAR) || (t & 1 && g_lut16[0] != 0x3A25))
          ++bad;
      });
    go = true;
    for (auto& t : ts) t.join();
    std::exit(bad.load() == 0 ? 0 : 1);
  };
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

// A tier set while products run affects only later active() calls; every
// product sees one whole tier's result.
TEST(Concurrency, TierChangesBetweenCalls) {
  init_lut();
  const int saved = g_active.load();
  const Packed P = encode_random(64, 256, 3, 4);
  const auto x = random_floats(P.k, 8);
  std::vector<std::vector<float>> want;  // one result per available tier
  for (int t = 0; t < static_cast<int>(TIER_COUNT); ++t) {
    if (!tier_available(static_cast<Tier>(t))) continue;
    std::vector<float> y(P.m);
    g_tier_tables[t]->matvec(P.words.data(), x.data(), y.data(), P.m, P.k, 3,
                             1.0f, false, 0, 2);
    want.push_back(y);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, runs{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w)
    workers.emplace_back([&] {
      std::vector<float> y(P.m);
      while (!stop.load()) {
        active().matvec(P.words.data(), x.data(), y.data(), P.m, P.k, 3, 1.0f,
                        false, 0, 2);
        bool any = false;
        for (const auto& v : want) any |= std::memcmp(v.data(), y.data(), 4 * y.size()) == 0;
        if (!any) ++bad;
        ++runs;
      }
    });
  for (int i = 0; i < 200; ++i) set_tier_by_name(i % 2 ? "scalar" : "auto");
  while (runs.load() < 50) std::this_thread::yield();
  stop = true;
  for (auto& t : workers) t.join();
  g_active.store(saved);
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
