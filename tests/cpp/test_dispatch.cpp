// Tier selection: the automatic choice, KAVO_CPU_ISA, and explicit setting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "kavo_trellis_cpu.h"

namespace {

using namespace kavo_cpu;

// Each test starts from "no tier chosen yet" and leaves the environment and
// the active tier as it found them.
class TierSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* v = std::getenv("KAVO_CPU_ISA");
    had_env_ = v != nullptr;
    if (had_env_) saved_env_ = v;
    saved_active_ = g_active.load();
    g_active.store(-1);
  }
  void TearDown() override {
    if (had_env_)
      setenv("KAVO_CPU_ISA", saved_env_.c_str(), 1);
    else
      unsetenv("KAVO_CPU_ISA");
    g_active.store(saved_active_);
  }
  static std::string error_of(void (*f)()) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  bool had_env_ = false;
  std::string saved_env_;
  int saved_active_ = -1;
};

TEST_F(TierSelection, AutomaticChoiceIsTheBestAvailableTier) {
  unsetenv("KAVO_CPU_ISA");
  const Tier best = resolve_auto();
  for (int t = best + 1; t < static_cast<int>(TIER_COUNT); ++t)
    EXPECT_FALSE(tier_available(static_cast<Tier>(t)));
  EXPECT_TRUE(tier_available(best));
  EXPECT_STREQ(active_name(), g_tier_names[best]);
  // Where the processor is known (emulated runs), the choice is checked.
  if (const char* want = std::getenv("KAVO_EXPECT_AUTO_TIER")) {
    EXPECT_STREQ(active_name(), want);
  }
}

TEST_F(TierSelection, EmptyVariableMeansAutomatic) {
  setenv("KAVO_CPU_ISA", "", 1);
  EXPECT_STREQ(active_name(), g_tier_names[resolve_auto()]);
}

TEST_F(TierSelection, VariableForcesEachAvailableTier) {
  for (int t = 0; t < static_cast<int>(TIER_COUNT); ++t) {
    g_active.store(-1);
    setenv("KAVO_CPU_ISA", g_tier_names[t], 1);
    if (tier_available(static_cast<Tier>(t))) {
      EXPECT_STREQ(active_name(), g_tier_names[t]);
      EXPECT_EQ(&active(), g_tier_tables[t]);
    } else {
      EXPECT_EQ(
          error_of([] { active(); }),
          std::string("kavo CPU isa tier unavailable: ") + g_tier_names[t]);
      EXPECT_EQ(g_active.load(), -1);
    }
  }
  g_active.store(-1);
  setenv("KAVO_CPU_ISA", "auto", 1);
  EXPECT_STREQ(active_name(), g_tier_names[resolve_auto()]);
}

TEST_F(TierSelection, BadVariableFailsEveryUseUntilATierIsSet) {
  setenv("KAVO_CPU_ISA", "AVX2", 1);
  const std::string msg =
      "unknown kavo CPU isa tier: AVX2 (want "
      "scalar|avx2|avx512|avx512fp16|auto)";
  EXPECT_EQ(error_of([] { active(); }), msg);
  EXPECT_EQ(error_of([] { active_name(); }), msg);  // read again, fails again
  EXPECT_EQ(g_active.load(), -1);
  set_tier_by_name("scalar");
  EXPECT_STREQ(active_name(), "scalar");
  set_tier_by_name("auto");
  EXPECT_STREQ(active_name(), g_tier_names[resolve_auto()]);
}

TEST_F(TierSelection, SetByNameRejectsInexactNamesAndKeepsTheTier) {
  set_tier_by_name("scalar");
  for (const char* bad : {"avx512 ", "", "Scalar", "sse"}) {
    try {
      set_tier_by_name(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("unknown kavo CPU isa tier: ") + bad +
                    " (want scalar|avx2|avx512|avx512fp16|auto)");
    }
    EXPECT_STREQ(active_name(), "scalar");
  }
}

TEST_F(TierSelection, FeatureTestsAreConsistent) {
  EXPECT_TRUE(tier_cpu_supported(TIER_SCALAR));
  EXPECT_FALSE(tier_cpu_supported(static_cast<Tier>(7)));
  EXPECT_FALSE(tier_available(static_cast<Tier>(7)));
  // Each 512-bit tier needs the features of the ones below it here.
  if (tier_cpu_supported(TIER_AVX512FP16)) {
    EXPECT_TRUE(tier_cpu_supported(TIER_AVX512));
  }
  EXPECT_NE(g_tier_tables[TIER_SCALAR], nullptr);
}

}  // namespace
